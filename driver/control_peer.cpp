#include "driver/control_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "agent/service/ntstatus.h"
#include "driver/liveness.h"
#include "driver/status_errno.h"
#include "driver/trace.h"
#include "platform/control_device.h"
#include "platform/start_thread.h"

namespace hvm::driver {

namespace {
// The answer header of the socket framing: u32 error, u32 bytesReturned.
constexpr size_t kHeaderSize = 8;
constexpr int kPollSliceMs = 200;

void StoreU32(uint8_t* at, uint32_t value) { memcpy(at, &value, sizeof value); }
}  // namespace

ControlPeer::ControlPeer(int fd, uid_t uid) : fd_(fd), uid_(uid) {}

ControlPeer::~ControlPeer() { MarkClosed(); }

bool ControlPeer::Answer(NTSTATUS status, const void* data, uint32_t bytes, uint32_t outLength) {
  return Answer(status, {Part{data, data == nullptr ? 0 : bytes}}, outLength);
}

bool ControlPeer::Answer(NTSTATUS status, std::initializer_list<Part> given, uint32_t outLength) {
  return Answer(status, given, outLength, -1);
}

bool ControlPeer::AnswerWithDescriptor(NTSTATUS status, const void* data, uint32_t bytes,
                                       uint32_t outLength, int descriptor) {
  return Answer(status, {Part{data, data == nullptr ? 0 : bytes}}, outLength, descriptor);
}

bool ControlPeer::Answer(NTSTATUS status, std::initializer_list<Part> given, uint32_t outLength,
                         int descriptor) {
  // Like a buffered device call: an error status returns no output, a
  // warning (buffer overflow) still returns what was filled.
  bool isError = (status & 0xC0000000u) == 0xC0000000u || status == STATUS_NO_FREE_USER_SLOT;
  constexpr size_t kMaxParts = 3;
  Part parts[kMaxParts] = {};
  size_t count = 0;
  size_t returned = 0;
  for (const Part& part : given) {
    if (part.size == 0) continue;
    if (isError || count == kMaxParts || part.data == nullptr || returned >= outLength) break;
    parts[count] = Part{part.data, std::min<size_t>(part.size, outLength - returned)};
    returned += parts[count++].size;
  }
  uint8_t header[kHeaderSize];
  StoreU32(header, Win32ErrorFromStatus(status));
  StoreU32(header + 4, static_cast<uint32_t>(returned));

  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return false;
  size_t total = kHeaderSize + returned;
  size_t sent = 0;
  if (queue_.empty() && !writing_) {
    if (!SendNow(header, parts, count, sent, descriptor)) {
      Drop("went away");
      return false;
    }
    if (sent == total) return true;
  }
  if (descriptor >= 0 && sent == 0) {
    // The descriptor travels with the first byte, which the writer cannot send.
    Drop("could not take a descriptor");
    return false;
  }
  if (queuedBytes_ + (total - sent) > kMaxQueuedBytes) {
    Drop("stopped reading its answers");
    return false;
  }
  // What did not go out at once is copied for the writer.
  std::vector<uint8_t> frame;
  frame.reserve(total - sent);
  auto keep = [&frame, &sent](const void* bytes, size_t size) {
    size_t skip = std::min(sent, size);
    sent -= skip;
    frame.insert(frame.end(), static_cast<const uint8_t*>(bytes) + skip,
                 static_cast<const uint8_t*>(bytes) + size);
  };
  keep(header, kHeaderSize);
  for (size_t i = 0; i < count; ++i) keep(parts[i].data, parts[i].size);
  queuedBytes_ += frame.size();
  queue_.push_back(std::move(frame));
  if (!writer_.joinable() && !StartThread(writer_, &ControlPeer::WriterLoop, this)) {
    Drop("has answers waiting and no thread could be started to send them");
    return false;
  }
  wake_.notify_one();
  return true;
}

// One non-blocking gathered send; sent tells how much went out. False on a
// broken connection.
bool ControlPeer::SendNow(const uint8_t* header, const Part* parts, size_t count, size_t& sent,
                          int descriptor) {
  iovec pieces[4] = {{const_cast<uint8_t*>(header), kHeaderSize}};
  size_t used = 1;
  for (size_t i = 0; i < count; ++i)
    if (parts[i].size > 0) pieces[used++] = {const_cast<void*>(parts[i].data), parts[i].size};
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = used;
  alignas(cmsghdr) uint8_t control[kDescriptorControlSize];
  if (descriptor >= 0) AttachDescriptor(message, control, descriptor);
  while (true) {
    ssize_t done = sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (done >= 0) {
      sent = static_cast<size_t>(done);
      return true;
    }
    if (errno == EINTR) continue;
    sent = 0;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

// The lock is held.
void ControlPeer::Drop(const char* why) {
  if (closed_) return;
  DirectPrint("quenlode: control connection of uid %u dropped: it %s\n",
              static_cast<unsigned>(uid_), why);
  closed_ = true;
  dropped_ = true;
  queue_.clear();
  queuedBytes_ = 0;
  shutdown(fd_, SHUT_RDWR);  // its reader ends and the driver forgets it
  wake_.notify_all();
}

void ControlPeer::WriterLoop() {
  std::unique_lock<std::mutex> guard(lock_);
  while (true) {
    wake_.wait(guard, [this] { return closed_ || !queue_.empty(); });
    if (closed_) return;
    std::vector<uint8_t> frame = std::move(queue_.front());
    queue_.pop_front();
    writing_ = true;
    guard.unlock();
    bool written = WriteFrame(frame);
    guard.lock();
    writing_ = false;
    queuedBytes_ -= std::min(queuedBytes_, frame.size());
    if (!written) Drop("stopped reading its answers");
  }
}

// Writes one frame, waiting for room; false when nothing went out for the
// liveness time or the connection broke. A closed peer ends the wait.
bool ControlPeer::WriteFrame(std::vector<uint8_t>& frame) {
  auto stallLimit = std::chrono::seconds(LivenessSeconds());
  auto lastProgress = std::chrono::steady_clock::now();
  size_t at = 0;
  while (at < frame.size()) {
    if (closed()) return true;
    ssize_t done = send(fd_, frame.data() + at, frame.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (done > 0) {
      at += static_cast<size_t>(done);
      lastProgress = std::chrono::steady_clock::now();
      continue;
    }
    if (done < 0 && errno == EINTR) continue;
    if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (std::chrono::steady_clock::now() - lastProgress > stallLimit) return false;
    pollfd wait{fd_, POLLOUT, 0};
    poll(&wait, 1, kPollSliceMs);
  }
  return true;
}

void ControlPeer::MarkClosed() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!closed_) {
      closed_ = true;
      queue_.clear();
      queuedBytes_ = 0;
    }
    wake_.notify_all();
  }
  if (writer_.joinable() && writer_.get_id() != std::this_thread::get_id()) writer_.join();
}

bool ControlPeer::closed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return closed_;
}

bool ControlPeer::dropped() const {
  std::lock_guard<std::mutex> guard(lock_);
  return dropped_;
}

}  // namespace hvm::driver
