// One accepted connection on the control socket (one CreateFile of the
// device). Answers may be written from any thread; the reader thread owns the
// descriptor and closes it only after marking the peer closed.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/win32.h"

namespace hvm::driver {

class ControlPeer {
 public:
  ControlPeer(int fd, uid_t uid) : fd_(fd), uid_(uid) {}
  uid_t uid() const { return uid_; }
  // Writes one answer of at most outLength bytes; error statuses carry no data.
  bool Answer(NTSTATUS status, const void* data, uint32_t bytes, uint32_t outLength);
  void MarkClosed();
  bool closed() const;

 private:
  int fd_;
  uid_t uid_;
  mutable std::mutex writeLock_;
  bool closed_ = false;
};

// An IOCTL_GET_REQUEST kept pending until the driver has a request for it.
struct PendingAgentCall {
  std::shared_ptr<ControlPeer> peer;
  uint32_t outLength = 0;
};

}  // namespace hvm::driver
