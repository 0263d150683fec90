// The request loop: the GET_REQUEST exchange, in the order the driver expects.
#include "agent/service/request_loop.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "agent/service/operations.h"
#include "agent/service/request_dispatch.h"
#include "common/moorlib.h"
#include "platform/control_device.h"
#include "platform/data_area.h"
#include "platform/start_thread.h"
#include "platform/wide_text.h"

namespace hvm {

static_assert(kWideChannelBufferSize <= kMaxControlBuffer, "a wide piece fits one control frame");

namespace {

constexpr uint32_t kMillisecondsPerMinute = 60000;

struct FreeRecord {
  void operator()(void* record) const { std::free(record); }
};

bool RefreshWanted(const Connection& c) {
  return (c.Options() & kSiteActiveRefresh) && c.mapped && c.connected && c.loopRunning;
}

// Periodic refresh of the last listed folder while the site asks for it.
void RefreshLoop(Connection& c) {
  while (RefreshWanted(c)) {
    {
      std::lock_guard<std::recursive_mutex> guard(c.requestLock);
      if (RefreshWanted(c) && c.lastListed != nullptr) RefreshDirectory(c, *c.lastListed);
    }
    uint32_t minutes = RefreshPeriodMinutes(c.RefreshMinutes());
    std::unique_lock<std::mutex> lock(c.wakeLock);
    c.wake.wait_for(lock, std::chrono::milliseconds(uint64_t{minutes} * kMillisecondsPerMinute),
                    [&c] { return !RefreshWanted(c); });
  }
}

void EndLoop(Connection& c, HANDLE device) {
  WideDbgPrint(u"***Cycle closed %ws\n", std::u16string(c.Name()).c_str());
  CloseHandle(device);
  if (c.hooks.loopEnded) c.hooks.loopEnded(c);
  {
    std::lock_guard<std::mutex> lock(c.wakeLock);
    c.loopRunning = 0;
  }
  c.wake.notify_all();
  std::lock_guard<std::recursive_mutex> guard(c.requestLock);
  c.lastListed = nullptr;
}

// The Connection's shared area, fetched on the loop's own device and mapped
// only when it is what was agreed: a sealed memory file of the expected size.
// nullptr when there is none; the loop then takes every byte in the records.
std::unique_ptr<DataAreaMapping> MapSharedArea(Connection& c, HANDLE device) {
  if (!c.sharedAreaAgreed) return nullptr;
  SharedAreaRecord record{};
  record.marker = kRecordMarker;
  record.connectionHandle = c.connectionHandle;
  SharedAreaRecord answer{};
  DWORD returned = 0;
  int fd = -1;
  if (!DeviceIoControlTakingDescriptor(device, IOCTL_SHARED_AREA, &record, sizeof record, &answer,
                                       sizeof answer, &returned, &fd)) {
    WideDbgPrint(u"Shared area not handed over (%d)\n", static_cast<int>(GetLastError()));
    return nullptr;
  }
  std::unique_ptr<DataAreaMapping> mapping;
  bool expected = returned == sizeof answer && answer.slotCount == kSharedSlotCount &&
                  answer.slotSize == kSharedSlotSize && answer.areaSize == kSharedAreaSize;
  if (expected && IsSealedDataArea(fd, kSharedAreaSize)) {
    mapping = DataAreaMapping::Map(fd, kSharedAreaSize);
  } else {
    WideDbgPrint(u"Shared area refused: not the sealed area agreed\n");
  }
  if (fd >= 0) close(fd);  // the mapping keeps the pages
  return mapping;
}

}  // namespace

uint32_t RunRequestLoop(Connection& c) {
  // Zeroed records with room for a wide piece. calloc hands out fresh pages
  // without writing them, so the loop's first call is not held up by
  // clearing two megabytes: until it comes, the driver fails the
  // Connection's requests at once.
  std::unique_ptr<ReplyRecord, FreeRecord> reply(
      static_cast<ReplyRecord*>(std::calloc(1, sizeof(ReplyRecord))));
  std::unique_ptr<RequestRecord, FreeRecord> request(
      static_cast<RequestRecord*>(std::calloc(1, sizeof(RequestRecord))));
  if (!reply || !request) return kLoopCannotOpenDevice;
  HANDLE device = CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    WideDbgPrint(u"handle is null lastError=%ld\n", static_cast<long>(GetLastError()));
    return kLoopCannotOpenDevice;
  }
  reply->marker = kRecordMarker;
  reply->status = STATUS_INVALID_DEVICE_REQUEST;
  c.loopRunning = 1;
  std::u16string url(WideField(c.site ? c.site->url : nullptr, c.site ? kSiteUrlChars : 0));
  WideDbgPrint(u"***Cycle is begining...%ws %ws\n", std::u16string(c.Name()).c_str(), url.c_str());
  if ((c.Options() & kSiteActiveRefresh) && !c.refreshThread.joinable() &&
      !StartThread(c.refreshThread, RefreshLoop, std::ref(c)))
    WideDbgPrint(u"No thread for the periodic refresh of %ws\n", std::u16string(c.Name()).c_str());

  LoopState state;
  std::unique_ptr<DataAreaMapping> area = MapSharedArea(c, device);
  if (area) {
    state.area = area->base();
    reply->loopFlags = kLoopAreaMapped;
  }
  const RequestRecord* answered = nullptr;
  // The records have room for a wide piece; a Connection of 64 KiB pieces
  // asks with the 65,589-byte buffers as before.
  const size_t pieceSize = std::min(c.pieceSize, kWidePieceSize);
  const DWORD requestBytes = static_cast<DWORD>(ChannelBufferSizeFor(pieceSize));
  while (c.mapped) {
    reply->connectionHandle = c.connectionHandle;
    DWORD returned = 0;
    DWORD replyBytes = static_cast<DWORD>(ReplyBytesFor(answered, pieceSize));
    if (!DeviceIoControl(device, IOCTL_GET_REQUEST, reply.get(), replyBytes, request.get(),
                         requestBytes, &returned, nullptr)) {
      WideDbgPrint(u"Ioctl failed with code %d\n", static_cast<int>(GetLastError()));
      break;
    }
    if (returned == 0) {
      c.connected = 0;
      break;
    }
    if (!ProcessRequest(c, state, *request, *reply, returned)) break;
    answered = request.get();
  }
  EndLoop(c, device);
  return 0;
}

void JoinRequestLoop(Connection& connection) {
  // Called from the loop's own end (its loopEnded hook) there is nothing to wait for.
  auto self = std::this_thread::get_id();
  if (connection.loopThread.joinable() && connection.loopThread.get_id() != self)
    connection.loopThread.join();
  connection.wake.notify_all();
  if (connection.refreshThread.joinable() && connection.refreshThread.get_id() != self)
    connection.refreshThread.join();
}

bool StartRequestLoop(Connection& connection) {
  // A previous loop of this Connection has ended; its thread is collected first.
  JoinRequestLoop(connection);
  return StartThread(connection.loopThread, [&connection] { RunRequestLoop(connection); });
}

}  // namespace hvm
