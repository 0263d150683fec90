// The two date forms of WebDAV replies (ISO 8601 and RFC 1123), and the
// forms the client writes into PROPPATCH.
#pragma once
#include <ctime>
#include <string>
#include <string_view>

#include "agent/service/file_time.h"

namespace hvm {

// 0 and the broken-down UTC time; 1 when longer than 29 characters; 2 when a
// separator is misplaced, a field is no number or out of range, or the month
// is unknown. Whatever follows the seconds (fraction, zone) is ignored.
int ParseIsoDate(std::string_view text, std::tm& out);
// "Wdy, DD Mon YYYY HH:MM:SS GMT"; the zone is not read, the time is UTC.
int ParseHttpDate(std::string_view text, std::tm& out);

// Broken-down UTC time to FILETIME and back (whole seconds).
FileTime FileTimeFromUtc(const std::tm& utc);
std::tm UtcFromFileTime(FileTime time);

// "%d-%.02d-%.02dT%.02d:%.02d:%.02d" and the RFC 1123 form with " GMT".
std::string FormatIsoDate(const std::tm& utc);
std::string FormatHttpDate(const std::tm& utc);

}  // namespace hvm
