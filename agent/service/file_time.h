// FILETIME values (100-ns units since 1601-01-01 UTC) as entries keep them.
#pragma once
#include <cstdint>
#include <ctime>

namespace hvm {

using FileTime = uint64_t;

inline constexpr FileTime kFileTimeUnixEpoch = 116444736000000000ull;
inline constexpr FileTime kFileTimeTicksPerSecond = 10000000ull;

FileTime NowFileTime();
FileTime FileTimeFromUnix(const timespec& ts);
timespec UnixFromFileTime(FileTime ft);
// True when the value converts to a calendar date from the year 1900 on.
bool IsValidCalendarTime(FileTime ft);

}  // namespace hvm
