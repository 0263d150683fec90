// The driver's end of the control socket, scripted by a test: it hands one
// RequestRecord at a time to the agent's real request loop and returns the
// ReplyRecord that the loop's next IOCTL_GET_REQUEST carries. Other
// connections (IOCTL_CLEANUP_DONE) are answered and recorded.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/service/channel_records.h"
#include "platform/control_device.h"

namespace hvm::test {

struct CleanupDone {
  std::vector<uint8_t> bytes;  // the record as received
};

class ScriptedDriver {
 public:
  ScriptedDriver();  // a fresh runtime folder and a listening socket
  ~ScriptedDriver();

  // Answers the loop's IOCTL_SHARED_AREA with this descriptor (kept by the
  // caller) and record; set before AcceptLoop.
  void OfferArea(int descriptor, const SharedAreaRecord& record) {
    areaFd_ = descriptor;
    areaRecord_ = record;
  }
  // The loop asked for the area (and got it, when one was offered).
  bool areaAsked() const { return areaAsked_; }
  // Waits for the loop's first call and returns the initial reply it carried.
  std::vector<uint8_t> AcceptLoop();
  // Completes the pending call with request (48 + dataLength bytes, +3 as the
  // driver returns them) and returns the reply the next call carries.
  std::vector<uint8_t> Exchange(const RequestRecord& request);
  // Completes the pending call with 0 bytes: the driver suspended the Connection.
  void Suspend();
  // The output length the loop's latest IOCTL_GET_REQUEST announced.
  uint32_t lastOutLength() const { return lastOutLength_; }
  // Waits (up to 5 s) until n cleanup-done records arrived.
  std::vector<CleanupDone> WaitCleanupDone(size_t n);

 private:
  void AcceptOthers();

  std::string runtimeDir_;
  int listenFd_ = -1;
  int loopFd_ = -1;
  uint32_t lastOutLength_ = 0;
  int areaFd_ = -1;
  SharedAreaRecord areaRecord_{};
  bool areaAsked_ = false;
  std::thread acceptThread_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<CleanupDone> cleanupDone_;
  bool stopping_ = false;
};

}  // namespace hvm::test
