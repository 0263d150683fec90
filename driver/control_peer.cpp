#include "driver/control_peer.h"

#include <algorithm>

#include "agent/service/ntstatus.h"
#include "driver/status_errno.h"
#include "platform/control_device.h"

namespace hvm::driver {

bool ControlPeer::Answer(NTSTATUS status, const void* data, uint32_t bytes, uint32_t outLength) {
  std::lock_guard<std::mutex> guard(writeLock_);
  if (closed_) return false;
  // Like a buffered device call: an error status returns no output, a
  // warning (buffer overflow) still returns what was filled.
  bool isError = (status & 0xC0000000u) == 0xC0000000u || status == STATUS_NO_FREE_USER_SLOT;
  uint32_t returned = isError ? 0 : std::min(bytes, outLength);
  return WriteControlAnswer(fd_, Win32ErrorFromStatus(status), data, returned);
}

void ControlPeer::MarkClosed() {
  std::lock_guard<std::mutex> guard(writeLock_);
  closed_ = true;
}

bool ControlPeer::closed() const {
  std::lock_guard<std::mutex> guard(writeLock_);
  return closed_;
}

}  // namespace hvm::driver
