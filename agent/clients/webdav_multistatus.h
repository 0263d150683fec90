// Parsing a 207 multistatus listing into plain records. The parse is all or
// nothing: on any error the caller changes nothing. Hostile replies (no DTD
// network access, no entity expansion, hrefs outside the listed folder,
// "..", overlong names) are refused or skipped, never followed.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/service/file_time.h"

namespace hvm {

inline constexpr const char* kHvmNamespace = "urn:Halvenmoor:";
// Replies larger than this are not parsed at all.
inline constexpr size_t kMaxMultistatusBytes = 64u << 20;

struct ListedItem {
  std::u16string name;          // empty: the listed folder itself
  bool isDirectory = false;
  uint64_t size = 0;
  FileTime creationTime = 0;    // 0 when the reply had none
  FileTime lastWriteTime = 0;
};

struct MultistatusScope {
  std::u16string_view siteName;     // for the cache path length rule
  std::u16string_view sitePath;     // decoded path part of the site URL, e.g. u"/dav"
  std::u16string_view folderPath;   // the folder below the site, "\"-separated, e.g. u"\\docs"; empty = root
  bool plainProperties = false;     // site flag 0x2: the DAV times even when HVM ones exist
};

struct MultistatusResult {
  int error = 0;                    // 0, or -10 for unparsable XML, -1 for a missing element
  std::u16string message;           // the message box text of a failure
  std::vector<ListedItem> items;
  size_t skipped = 0;               // responses left out (error status, outside, too long)
};

MultistatusResult ParseMultistatusText(std::string_view xml, const MultistatusScope& scope);

// The path of an href below the site: scheme and host cut, decoded. Empty
// optional-like result (false) when it cannot be decoded.
bool HrefToSitePath(std::u16string_view href, std::u16string& path);

}  // namespace hvm
