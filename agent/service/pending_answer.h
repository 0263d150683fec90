// Finishing a close or cleanup that was answered STATUS_PENDING.
#pragma once
#include <cstdint>

#include "platform/win32.h"

namespace hvm {

// Sends IOCTL_CLEANUP_DONE with requestId and the final status (0, or
// STATUS_CANCELLED after a failure) on a freshly opened handle of the control
// device. Callable from any thread; false when the driver could not be told.
bool FinishPendingRequest(uint32_t connectionHandle, uint32_t requestId, NTSTATUS finalStatus);

}  // namespace hvm
