// Folder listings of FTP servers: the machine form of MLSD and the human
// forms of LIST (Unix "ls -l" and DOS/IIS), turned into one item per name.
// Every line is server input: unknown or broken lines are skipped, sizes are
// 64-bit and checked for overflow, and names that cannot be addressed again
// (empty, ".", "..", with a slash, backslash or control character) are left out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/service/file_time.h"

namespace hvm {

// A listing of more names fails: each costs the entry cache about a kilobyte.
inline constexpr size_t kMaxFtpListedEntries = 262144;

struct FtpListedItem {
  std::string name;        // the server's bytes (UTF-8 expected)
  bool isDirectory = false;
  bool isLink = false;     // a symbolic link of a LIST line (kept as a file)
  uint64_t size = 0;
  FileTime modified = 0;   // 0: the line gave no usable time
};

enum class FtpListingForm : uint8_t { Mlsd, List };

// One MLSD line ("fact=value;...; name"); false for the folder itself, its
// parent and lines that name nothing usable.
bool ParseMlsdLine(std::string_view line, FtpListedItem& item);
// One LIST line in the Unix or the DOS/IIS form. nowUnix decides the year of
// a date given without one (the last such date not later than a day from now).
bool ParseListLine(std::string_view line, int64_t nowUnix, FtpListedItem& item);
// Every usable line of a whole reply (lines end in CRLF or LF) into items;
// false, with items empty, as soon as more than kMaxFtpListedEntries names come.
bool ParseFtpListing(std::string_view text, FtpListingForm form, int64_t nowUnix, std::vector<FtpListedItem>& items);
// The same as a value: empty for a reply of too many names.
std::vector<FtpListedItem> ParseFtpListing(std::string_view text, FtpListingForm form, int64_t nowUnix);
// True when the name may become a path component of the drive.
bool IsAddressableFtpName(std::string_view name);

}  // namespace hvm
