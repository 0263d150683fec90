#include "agent/clients/webdav_dates.h"

#include <cstdio>
#include <cstring>

namespace hvm {
namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr size_t kMaxDateChars = 29;

// Reads count digits at pos; false when one is not a digit.
bool Digits(std::string_view text, size_t pos, size_t count, int& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool InRange(const std::tm& t) {
  return t.tm_mon >= 0 && t.tm_mon < 12 && t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_hour <= 23 &&
         t.tm_min <= 59 && t.tm_sec <= 60 && t.tm_year >= 1601 - 1900 && t.tm_year <= 30827 - 1900;
}

}  // namespace

int ParseIsoDate(std::string_view text, std::tm& out) {
  if (text.size() > kMaxDateChars) return 1;
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':')
    return 2;
  std::tm t{};
  int year, month;
  if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, t.tm_mday) ||
      !Digits(text, 11, 2, t.tm_hour) || !Digits(text, 14, 2, t.tm_min) || !Digits(text, 17, 2, t.tm_sec))
    return 2;
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  if (!InRange(t)) return 2;
  out = t;
  return 0;
}

int ParseHttpDate(std::string_view text, std::tm& out) {
  if (text.size() > kMaxDateChars) return 1;
  if (text.size() < 25 || text[3] != ',' || text[4] != ' ' || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':')
    return 2;
  std::tm t{};
  int year;
  if (!Digits(text, 5, 2, t.tm_mday) || !Digits(text, 12, 4, year) || !Digits(text, 17, 2, t.tm_hour) ||
      !Digits(text, 20, 2, t.tm_min) || !Digits(text, 23, 2, t.tm_sec))
    return 2;
  t.tm_mon = -1;
  for (int m = 0; m < 12; ++m)
    if (text.substr(8, 3) == kMonths[m]) t.tm_mon = m;
  t.tm_year = year - 1900;
  if (!InRange(t)) return 2;
  out = t;
  return 0;
}

FileTime FileTimeFromUtc(const std::tm& utc) {
  std::tm copy = utc;
  time_t seconds = timegm(&copy);
  return static_cast<FileTime>(static_cast<int64_t>(seconds) * static_cast<int64_t>(kFileTimeTicksPerSecond) +
                               static_cast<int64_t>(kFileTimeUnixEpoch));
}

std::tm UtcFromFileTime(FileTime time) {
  int64_t ticks = static_cast<int64_t>(time) - static_cast<int64_t>(kFileTimeUnixEpoch);
  time_t seconds = static_cast<time_t>(ticks / static_cast<int64_t>(kFileTimeTicksPerSecond));
  std::tm out{};
  gmtime_r(&seconds, &out);
  return out;
}

std::string FormatIsoDate(const std::tm& t) {
  char text[64];
  snprintf(text, sizeof text, "%d-%.02d-%.02dT%.02d:%.02d:%.02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
           t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::string FormatHttpDate(const std::tm& t) {
  char text[64];
  snprintf(text, sizeof text, "%s, %.02d %s %.04d %.02d:%.02d:%.02d GMT", kWeekdays[(t.tm_wday % 7 + 7) % 7],
           t.tm_mday, kMonths[(t.tm_mon % 12 + 12) % 12], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

}  // namespace hvm
