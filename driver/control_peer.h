// One accepted connection on the control socket (one CreateFile of the
// device). Answers may be queued from any thread and never block it: a peer
// has its own writer and a bounded queue of answers. A peer that stops
// reading (its queue overflows, or nothing goes out for the liveness time)
// is dropped: its socket is shut down, so its reader ends and the driver
// forgets it.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace hvm::driver {

class ControlPeer {
 public:
  ControlPeer(int fd, uid_t uid);
  ~ControlPeer();
  ControlPeer(const ControlPeer&) = delete;
  ControlPeer& operator=(const ControlPeer&) = delete;

  // A piece of an answer's data, sent without first copying the pieces together.
  struct Part {
    const void* data;
    size_t size;
  };

  uid_t uid() const { return uid_; }
  // Queues one answer of at most outLength bytes; error statuses carry no
  // data. False when the peer is closed or was dropped by this answer.
  bool Answer(NTSTATUS status, const void* data, uint32_t bytes, uint32_t outLength);
  // The same with the data gathered from parts (at most three).
  bool Answer(NTSTATUS status, std::initializer_list<Part> parts, uint32_t outLength);
  // An answer with a descriptor attached to its first byte (SCM_RIGHTS); the
  // caller keeps its own. The peer's calls are sequential, so nothing is
  // queued before it; a peer whose socket cannot take it at once is dropped.
  bool AnswerWithDescriptor(NTSTATUS status, const void* data, uint32_t bytes, uint32_t outLength,
                            int descriptor);
  // A peer's calls are sequential, so it has at most one call with the agent
  // at a time: false when one is still there (the new one must not queue,
  // or a peer streaming calls behind one the agent holds grows the driver
  // without end).
  bool BeginForwardedCall() { return !forwarding_.exchange(true); }
  void EndForwardedCall() { forwarding_.store(false); }
  // The reader is done: pending answers are discarded and the writer ends.
  void MarkClosed();
  bool closed() const;
  bool dropped() const;

  // Answers a peer may leave unread before it is dropped.
  static constexpr size_t kMaxQueuedBytes = 2u << 20;

 private:
  bool SendNow(const uint8_t* header, const Part* parts, size_t count, size_t& sent,
               int descriptor = -1);
  bool Answer(NTSTATUS status, std::initializer_list<Part> parts, uint32_t outLength, int descriptor);
  void Drop(const char* why);
  void WriterLoop();
  bool WriteFrame(std::vector<uint8_t>& frame);

  int fd_;
  uid_t uid_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::vector<uint8_t>> queue_;
  size_t queuedBytes_ = 0;
  bool writing_ = false;  // the writer holds a frame outside the queue
  bool closed_ = false;
  bool dropped_ = false;
  std::atomic<bool> forwarding_{false};
  std::thread writer_;
};

// An IOCTL_GET_REQUEST kept pending until the driver has a request for it.
struct PendingAgentCall {
  std::shared_ptr<ControlPeer> peer;
  uint32_t outLength = 0;
  bool areaMapped = false;  // the loop has the Connection's shared area mapped
};

}  // namespace hvm::driver
