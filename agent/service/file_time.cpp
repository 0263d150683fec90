#include "agent/service/file_time.h"

namespace hvm {

FileTime NowFileTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FileTimeFromUnix(ts);
}

FileTime FileTimeFromUnix(const timespec& ts) {
  int64_t ticks = static_cast<int64_t>(ts.tv_sec) * static_cast<int64_t>(kFileTimeTicksPerSecond) +
                  ts.tv_nsec / 100;
  int64_t value = ticks + static_cast<int64_t>(kFileTimeUnixEpoch);
  return value < 0 ? 0 : static_cast<FileTime>(value);
}

timespec UnixFromFileTime(FileTime ft) {
  int64_t ticks = static_cast<int64_t>(ft) - static_cast<int64_t>(kFileTimeUnixEpoch);
  timespec ts{};
  int64_t perSecond = static_cast<int64_t>(kFileTimeTicksPerSecond);
  int64_t seconds = ticks / perSecond;
  int64_t rest = ticks % perSecond;
  if (rest < 0) {
    rest += perSecond;
    seconds -= 1;
  }
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>(rest * 100);
  return ts;
}

bool IsValidCalendarTime(FileTime ft) {
  // Values with the top bit set do not convert to a date at all.
  if (ft >= (uint64_t{1} << 63)) return false;
  timespec ts = UnixFromFileTime(ft);
  tm parts{};
  if (gmtime_r(&ts.tv_sec, &parts) == nullptr) return false;
  int year = parts.tm_year + 1900;
  return year >= 1900 && year <= 30827 && parts.tm_mon >= 0 && parts.tm_mon <= 11 &&
         parts.tm_mday >= 1 && parts.tm_mday <= 31;
}

}  // namespace hvm
