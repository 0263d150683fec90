#include "agent/service/tests/scripted_driver.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/runtime_paths.h"

namespace hvm::test {

ScriptedDriver::ScriptedDriver() {
  char folder[] = "/tmp/hvm-service-test-XXXXXX";
  if (mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp");
  runtimeDir_ = folder;
  setenv("HALVENMOOR_RUNTIME_DIR", runtimeDir_.c_str(), 1);
  listenFd_ = ListenControlSocket(ControlSocketPath());
  if (listenFd_ < 0) throw std::runtime_error("listen");
}

ScriptedDriver::~ScriptedDriver() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  if (listenFd_ >= 0) shutdown(listenFd_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  if (loopFd_ >= 0) close(loopFd_);
  if (listenFd_ >= 0) close(listenFd_);
  unlink(ControlSocketPath().c_str());
  rmdir(runtimeDir_.c_str());
}

std::vector<uint8_t> ScriptedDriver::AcceptLoop() {
  loopFd_ = accept(listenFd_, nullptr, nullptr);
  if (loopFd_ < 0) throw std::runtime_error("accept");
  acceptThread_ = std::thread([this] { AcceptOthers(); });
  ControlFrame frame;
  if (ReadControlFrame(loopFd_, frame) == 1 && frame.code == IOCTL_SHARED_AREA) {
    areaAsked_ = true;
    if (areaFd_ < 0) {
      WriteControlAnswer(loopFd_, 31, nullptr, 0);  // ERROR_GEN_FAILURE: none here
    } else {
      // The answer header and record, the descriptor riding on the first byte.
      uint8_t answer[8 + sizeof(SharedAreaRecord)] = {};
      uint32_t bytes = sizeof(SharedAreaRecord);
      std::memcpy(answer + 4, &bytes, 4);
      std::memcpy(answer + 8, &areaRecord_, sizeof areaRecord_);
      iovec part{answer, sizeof answer};
      alignas(cmsghdr) uint8_t control[kDescriptorControlSize];
      msghdr message{};
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      AttachDescriptor(message, control, areaFd_);
      if (sendmsg(loopFd_, &message, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof answer))
        throw std::runtime_error("area answer");
    }
    if (ReadControlFrame(loopFd_, frame) != 1) throw std::runtime_error("no GET_REQUEST");
  }
  if (frame.code != IOCTL_GET_REQUEST) throw std::runtime_error("no GET_REQUEST");
  lastOutLength_ = frame.outLength;
  return frame.input;
}

std::vector<uint8_t> ScriptedDriver::Exchange(const RequestRecord& request) {
  uint32_t length = static_cast<uint32_t>(kRequestHeaderSize + request.dataLength + 3);
  if (length > sizeof(RequestRecord)) length = sizeof(RequestRecord);
  if (!WriteControlAnswer(loopFd_, 0, &request, length)) throw std::runtime_error("answer");
  ControlFrame frame;
  if (ReadControlFrame(loopFd_, frame) != 1 || frame.code != IOCTL_GET_REQUEST)
    throw std::runtime_error("loop did not call again");
  lastOutLength_ = frame.outLength;
  return frame.input;
}

void ScriptedDriver::Suspend() { WriteControlAnswer(loopFd_, 0, nullptr, 0); }

void ScriptedDriver::AcceptOthers() {
  while (true) {
    pollfd p{listenFd_, POLLIN, 0};
    int ready = poll(&p, 1, 100);
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stopping_) return;
    }
    if (ready <= 0) continue;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    ControlFrame frame;
    while (ReadControlFrame(fd, frame) == 1) {
      uint32_t answer = 0;
      WriteControlAnswer(fd, 0, &answer, sizeof answer);
      if (frame.code == IOCTL_CLEANUP_DONE) {
        std::lock_guard<std::mutex> guard(lock_);
        cleanupDone_.push_back(CleanupDone{frame.input});
        changed_.notify_all();
      }
    }
    close(fd);
  }
}

std::vector<CleanupDone> ScriptedDriver::WaitCleanupDone(size_t n) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait_for(guard, std::chrono::seconds(5), [&] { return cleanupDone_.size() >= n; });
  return cleanupDone_;
}

}  // namespace hvm::test
