// Parsing a 207 multistatus listing into plain records. A reply that is not
// a multistatus fails whole and the caller changes nothing; one response the
// client cannot use (an href outside the listed folder or on another host,
// "..", an overlong name) is skipped and logged, and a date it cannot read is
// left unset, so one bad entry never hides the folder. Hostile replies (DTD
// network access, entity expansion) are never followed.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/service/file_time.h"

struct _xmlParserCtxt;  // libxml2's push parser

namespace hvm {

inline constexpr const char* kHvmNamespace = "urn:Halvenmoor:";
// Replies larger than this are not parsed at all.
inline constexpr size_t kMaxMultistatusBytes = 64u << 20;
// A listing naming more entries fails whole: short responses within the byte
// limit would otherwise cost the cache gigabytes.
inline constexpr size_t kMaxMultistatusItems = 262144;

struct ListedItem {
  std::u16string name;          // empty: the listed folder itself
  bool isDirectory = false;
  uint64_t size = 0;
  FileTime creationTime = 0;    // 0 when the reply had none
  FileTime lastWriteTime = 0;
  bool keepsTimes = false;      // the times came from properties of their own (a PROPPATCH's)
};

struct MultistatusScope {
  std::u16string_view siteName;     // for the cache path length rule
  std::u16string_view sitePath;     // decoded path part of the site URL, e.g. u"/dav"
  std::u16string_view folderPath;   // the folder below the site, "\"-separated, e.g. u"\\docs"; empty = root
  bool plainProperties = false;     // site flag 0x2: the DAV times even when HVM ones exist
  std::u16string_view siteUrl;      // "http://host:port/dav/": hrefs naming another host are left out;
                                    // empty: only hrefs without a host are taken
};

struct MultistatusResult {
  int error = 0;                    // 0, or -10 for unparsable XML, -1 for a missing element,
                                    // -11 for more items than kMaxMultistatusItems
  std::u16string message;           // the message box text of a failure
  std::vector<ListedItem> items;
  size_t skipped = 0;               // responses left out (error status, outside, too long)
  size_t badDates = 0;              // dates left unset because they could not be read
};

MultistatusResult ParseMultistatusText(std::string_view xml, const MultistatusScope& scope);

// The same parse of a reply fed piece by piece as it arrives: each response
// is read as soon as it is complete, so that the parsing of a large folder's
// listing goes on while the server still writes it and little is left when
// its last byte comes. Finish gives what ParseMultistatusText gives for the
// whole text. The texts the scope names must outlive the stream.
class MultistatusStream {
 public:
  explicit MultistatusStream(const MultistatusScope& scope);
  ~MultistatusStream();
  MultistatusStream(const MultistatusStream&) = delete;
  MultistatusStream& operator=(const MultistatusStream&) = delete;
  void Feed(const char* data, size_t size);
  MultistatusResult Finish();

 private:
  void Start();
  void TakeResponses(bool documentEnded);
  ::_xmlParserCtxt* parser_ = nullptr;
  MultistatusScope scope_;
  MultistatusResult result_;   // the responses read so far
  std::string head_;  // the first bytes, until there are enough to tell the encoding
  size_t total_ = 0;
  size_t count_ = 0;           // responses read
  bool failed_ = false;        // too large, or the parser refused it
  bool responseFailed_ = false;  // a response failed the listing: the rest is only freed
};

// The path of an href on the site's server: scheme and host cut, decoded.
// False when it cannot be decoded, or when it names a host (or port) other
// than siteUrl's; with an empty siteUrl only hrefs without a host pass.
bool HrefToSitePath(std::u16string_view href, std::u16string_view siteUrl, std::u16string& path);

// Whether an href's scheme and authority ("http://Host:80", "//host") name the
// server of siteUrl: host names equal without regard to case, and the same
// port (a port not named is the scheme's default; two unnamed ports agree
// whatever the schemes). An href without a host always passes. hrefPath
// receives the rest of the href (its path). False for another server.
bool HrefOnSiteHost(std::u16string_view href, std::u16string_view siteUrl, std::u16string_view& hrefPath);

}  // namespace hvm
