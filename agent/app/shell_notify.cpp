// The shell notification queue and its consumer.
#include "agent/app/shell_notify.h"

#include <chrono>
#include <cstring>

#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "driver/invalidate_record.h"
#include "platform/control_device.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr auto kIdleWait = std::chrono::milliseconds(100);

bool IsTemporaryName(std::u16string_view cachePath) {
  size_t slash = cachePath.rfind(u'\\');
  std::u16string_view name = slash == std::u16string_view::npos ? cachePath : cachePath.substr(slash + 1);
  return !name.empty() && name[0] == u'~';
}

void Trace(const ShellNotice& notice) {
  if (notice.event == SHCNE_UPDATEDIR)
    WideDbgPrint(u"###SHChangeNotify %ld %ws\n", static_cast<long>(notice.event), notice.drivePath.c_str());
  else
    WideDbgPrint(u"###SHChangeNotify type=%ld %ws\n", static_cast<long>(notice.event),
                 notice.drivePath.c_str());
}

HANDLE OpenDevice() {
  return CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

}  // namespace

ShellNotifyQueue::~ShellNotifyQueue() { StopConsumer(); }

bool ShellNotifyQueue::Queue(const Connection& connection, std::u16string_view cachePath,
                             uint16_t event) {
  if (IsTemporaryName(cachePath)) return false;
  ShellNotice notice;
  notice.event = event;
  notice.connection = connection.Name();
  notice.path = PathBelowConnection(connection, cachePath);
  if (notice.path.empty()) notice.path = u"\\";
  notice.drivePath = DrivePathOf(connection, cachePath);
  {
    std::lock_guard<std::mutex> guard(lock_);
    notices_.push_back(std::move(notice));
  }
  wake_.notify_one();
  return true;
}

bool ShellNotifyQueue::Take(ShellNotice& notice) {
  std::lock_guard<std::mutex> guard(lock_);
  if (notices_.empty()) return false;
  notice = std::move(notices_.front());
  notices_.pop_front();
  return true;
}

size_t ShellNotifyQueue::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return notices_.size();
}

void ShellNotifyQueue::StartConsumer() {
  std::lock_guard<std::mutex> guard(lock_);
  if (consumer_.joinable()) return;
  stopping_ = false;
  consumer_ = std::thread([this] { Consume(); });
}

void ShellNotifyQueue::StopConsumer() {
  std::thread consumer;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    consumer = std::move(consumer_);
  }
  wake_.notify_all();
  if (consumer.joinable()) consumer.join();
}

void ShellNotifyQueue::Consume() {
  HANDLE device = INVALID_HANDLE_VALUE;
  for (;;) {
    ShellNotice notice;
    if (!Take(notice)) {
      std::unique_lock<std::mutex> lock(lock_);
      if (stopping_) break;
      wake_.wait_for(lock, kIdleWait, [this] { return stopping_ || !notices_.empty(); });
      continue;
    }
    Trace(notice);
    if (device == INVALID_HANDLE_VALUE) device = OpenDevice();
    if (device != INVALID_HANDLE_VALUE && !SendInvalidation(notice, device)) {
      // The driver may have been restarted: the next notice opens it afresh.
      CloseHandle(device);
      device = INVALID_HANDLE_VALUE;
    }
  }
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
}

bool SendInvalidation(const ShellNotice& notice, HANDLE device) {
  driver::InvalidatePathRecord record;
  std::memset(&record, 0, sizeof record);
  record.marker = kRecordMarker;
  GetCurrentUserSidString(record.sid, static_cast<int>(kSidChars - 1));
  CopyWide(record.name, kConnectionNameChars, notice.connection);
  CopyWide(record.path, kPathChars, notice.path);
  bool ownDevice = device == INVALID_HANDLE_VALUE;
  if (ownDevice) device = OpenDevice();
  if (device == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, IOCTL_INVALIDATE_PATH, &record, sizeof record, nullptr, 0,
                            &returned, nullptr);
  if (!ok) WideDbgPrint(u"Ioctl failed with code %d\n", static_cast<int>(GetLastError()));
  if (ownDevice) CloseHandle(device);
  return ok;
}

ShellNotifyQueue& AgentShellNotifyQueue() {
  static ShellNotifyQueue queue;
  return queue;
}

void QueueShellNotify(const Connection& connection, const FileEntry& entry, uint16_t event) {
  AgentShellNotifyQueue().Queue(connection, entry.Path(), event);
}

}  // namespace hvm
