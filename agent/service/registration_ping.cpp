// The ping thread: tells the driver once a second that the agent is alive, so
// that a busy request is waited for and a dead agent is noticed.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "agent/service/registration.h"
#include "common/moorlib.h"
#include "platform/control_device.h"
#include "platform/wide_format.h"
#include "platform/ui.h"

namespace hvm {
namespace {

constexpr auto kPingInterval = std::chrono::milliseconds(1000);

struct Pinger {
  std::mutex lock;
  std::condition_variable wake;
  std::thread thread;
  bool stopping = false;
};

Pinger& ThePinger() {
  static Pinger pinger;
  return pinger;
}

HANDLE OpenDevice() {
  return CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

void Run() {
  Pinger& pinger = ThePinger();
  HANDLE device = OpenDevice();
  if (device == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    WideDbgPrint(u"CreateFile QLODE failed with code %d\n", static_cast<int>(error));
    CurrentUi().MessageBox(FormatWide(u"CreateFile QLODE failed with code=%ld", static_cast<long>(error)),
                           u"Severe Error", MB_OK | MB_ICONSTOP | MB_DEFAULT_DESKTOP_ONLY);
    return;
  }
  PingRecord record;
  std::memset(&record, 0, sizeof record);
  record.marker = kRecordMarker;
  GetCurrentUserSidString(record.sid, static_cast<int>(kSidChars - 1));
  std::unique_lock<std::mutex> lock(pinger.lock);
  while (!pinger.stopping) {
    lock.unlock();
    PingRecord answer = record;
    DWORD returned = 0;
    if (device == INVALID_HANDLE_VALUE) {
      device = OpenDevice();
    } else if (DeviceIoControl(device, IOCTL_PING, &record, sizeof record, &answer, sizeof answer, &returned,
                        nullptr)) {
      record.slotHandle = answer.slotHandle;
    } else {
      DWORD error = GetLastError();
      WideDbgPrint(u"Ioctl failed with code %ld\n", static_cast<long>(error));
      // A restarted driver: its socket is new and it knows no slot of ours yet.
      if (error == ERROR_BROKEN_PIPE) {
        CloseHandle(device);
        device = OpenDevice();
        record.slotHandle = 0;
      }
    }
    lock.lock();
    pinger.wake.wait_for(lock, kPingInterval, [&pinger] { return pinger.stopping; });
  }
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
}

}  // namespace

void StartPingThread() {
  Pinger& pinger = ThePinger();
  std::lock_guard<std::mutex> guard(pinger.lock);
  if (pinger.thread.joinable()) return;
  pinger.stopping = false;
  pinger.thread = std::thread(Run);
}

void StopPingThread() {
  Pinger& pinger = ThePinger();
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(pinger.lock);
    pinger.stopping = true;
    thread = std::move(pinger.thread);
  }
  pinger.wake.notify_all();
  if (thread.joinable()) thread.join();
}

bool PingThreadRunning() {
  Pinger& pinger = ThePinger();
  std::lock_guard<std::mutex> guard(pinger.lock);
  return pinger.thread.joinable() && !pinger.stopping;
}

}  // namespace hvm
