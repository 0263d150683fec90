// Reading a web server's generated directory page into plain records: IIS
// directory browsing (English and German), Apache mod_autoindex, nginx
// autoindex, lighttpd dirlisting and Python's http.server. The page goes
// through libxml2's HTML parser; every link is then judged on its own: only
// links that name a direct child of the listed folder on the same server
// become entries (no other hosts, no "..", no query strings or fragments, no
// names with separators or control characters). Sizes and times come from
// the text beside a link where the page gives them exactly.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/service/file_time.h"

namespace hvm {

// Pages larger than this are not read at all.
inline constexpr size_t kMaxIndexPageBytes = 16u << 20;
// A page naming more children fails whole: short links within the byte limit
// would otherwise cost the cache gigabytes.
inline constexpr size_t kMaxIndexPageItems = 262144;

// Decided by the first description line that names a weekday.
enum class IndexLanguage : uint8_t { Unknown, English, German };

// What one description line says about its entry.
struct IndexLine {
  bool hasTime = false;
  FileTime time = 0;          // UTC
  bool isDirectory = false;   // a directory marker: "<dir>" (IIS), "Directory" as the last word (lighttpd)
  bool hasSize = false;       // an exact byte count (not "1.2K")
  uint64_t size = 0;
};

// One IIS description line ("Monday, January 05, 2026  3:17 PM   <dir>" or
// "Montag, 5. Januar 2026 15:17   1234"), server local time. 0, or -1 when the
// line lacks the expected separators; the language is decided on the way.
int ParseIndexLine(std::string_view line, IndexLanguage& language, IndexLine& out);

// The text beside a link in any of the known page forms: the IIS form first,
// then a date "2026-01-05", "2026-Jan-05" or "05-Jan-2026" with its time and
// a size or directory marker after it. False when it names no date.
// datesInUtc: the page's dates are UTC (nginx) rather than server local time.
bool ParseDescription(std::string_view text, bool datesInUtc, IndexLanguage& language, IndexLine& out);

struct IndexPageScope {
  std::string_view origin;       // "http://host:port" of the site, as configured
  std::string_view folderPath;   // the listed folder's URL path, percent-decoded, ending in "/"
  bool datesInUtc = false;
};

// The name of a direct child of the folder that href points at; false for
// every other link. isDirectory: the href ends in "/".
bool NameFromHref(std::string_view href, const IndexPageScope& scope, std::u16string& name, bool& isDirectory);

struct IndexItem {
  std::u16string name;
  bool isDirectory = false;
  IndexLine line;               // what the page says beside the link
};

struct IndexPageResult {
  int error = 0;                // 0, -1 when the page is too large or no HTML at all,
                                // -2 when it names more than kMaxIndexPageItems children
  std::vector<IndexItem> items; // in page order, each name once (case-insensitively)
  size_t skipped = 0;           // links that name no child of the folder
};

// charset: from the reply's "Content-Type", empty when it named none.
IndexPageResult ParseIndexPage(std::string_view html, std::string_view charset, const IndexPageScope& scope,
                               IndexLanguage& language);

}  // namespace hvm
