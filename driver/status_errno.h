// How the outcome of a request reaches its callers: an errno for the mount,
// a Win32 error code for the control socket.
#pragma once
#include "platform/win32.h"

namespace hvm::driver {

// Registration refused because all 25 cells of the user's slot hold other names.
inline constexpr NTSTATUS STATUS_TOO_MANY_NAMES = 0xC00000CD;
inline constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
inline constexpr NTSTATUS STATUS_OPLOCK_NOT_GRANTED = 0xC00000E2;
inline constexpr NTSTATUS STATUS_USER_MAPPED_FILE = 0xC0000243;

// errno (positive) for a failed status; 0 for success and warnings the mount
// treats as success.
int ErrnoFromStatus(NTSTATUS status);
// The Win32 error a control call reports for a status (0 on success).
// Statuses without a Win32 counterpart travel unchanged, so a caller still
// sees them (the full user table answers 0xFFFFFFFE).
DWORD Win32ErrorFromStatus(NTSTATUS status);

}  // namespace hvm::driver
