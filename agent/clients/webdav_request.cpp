// Composing one request: method, headers in their fixed order, the bodies
// that PerformRequest builds itself (LOCK, PROPPATCH), and the report line.
#include <strings.h>

#include <cstring>

#include "agent/clients/url_coding.h"
#include "agent/clients/webdav_client.h"
#include "agent/clients/webdav_dates.h"
#include "agent/clients/webdav_listing_bodies.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr size_t kMaxBodyBytes = 767;
constexpr size_t kMaxHeaderLine = 1535;
constexpr long kStrikeTimeoutMs = 3000;

bool KeepsRequestOpen(char kind) {
  return std::strchr("ODFHLPTN", kind) != nullptr;  // OPTIONS PROPFIND SEARCH HEAD LOCK REPORT GET PUT
}

bool IsQuietFailure(char kind, uint32_t siteFlags) {
  return kind == 'H' || kind == 'U' || (kind == 'L' && (siteFlags & kSiteLockingOff)) ||
         (kind == 'W' && (siteFlags & kSitePlainProperties));
}

std::string LockBody(const SiteRecord* site) {
  std::string body =
      "<?xml version='1.0' encoding='utf-8'?><D:lockinfo xmlns:D='DAV:'><D:lockscope><D:exclusive/>"
      "</D:lockscope><D:locktype><D:write/></D:locktype><D:owner>";
  if (site) body.append(site->login, strnlen(site->login, sizeof site->login));
  body += "</D:owner></D:lockinfo>";
  if (body.size() > kMaxBodyBytes) body.resize(kMaxBodyBytes);
  return body;
}

// A zero time becomes now (and is stored in the entry).
std::tm EntryTime(FileTime& time) {
  if (time == 0) time = NowFileTime();
  return UtcFromFileTime(time);
}

std::string WithoutTrailingSlash(std::string url) {
  if (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

}  // namespace

std::string PropPatchBody(FileEntry* entry) {
  std::string created = entry ? FormatIsoDate(EntryTime(entry->creationTime)) : "";
  std::string written = entry ? FormatHttpDate(EntryTime(entry->lastWriteTime)) : "";
  std::string body =
      "<?xml version='1.0' encoding='utf-8'?><D:propertyupdate xmlns:D='DAV:' xmlns:HVM='urn:Halvenmoor:'>"
      "<D:set><D:prop><HVM:hvm_creationdate>" +
      created + "Z</HVM:hvm_creationdate><HVM:hvm_getlastmodified>" + written +
      "</HVM:hvm_getlastmodified></D:prop></D:set></D:propertyupdate>";
  return body.size() > kMaxBodyBytes ? body.substr(0, kMaxBodyBytes) : body;
}

const char* MethodOfKind(char kind) {
  switch (kind) {
    case 'A': return "UPDATE";
    case 'B': return "LABEL";
    case 'C': return "COPY";
    case 'D': return "PROPFIND";
    case 'E': return "DELETE";
    case 'F': return "SEARCH";
    case 'H': return "HEAD";
    case 'I': return "CHECKIN";
    case 'K': return "UNCHECKOUT";
    case 'L': return "LOCK";
    case 'M': return "MKCOL";
    case 'N': return "PUT";
    case 'O': return "OPTIONS";
    case 'P': return "REPORT";
    case 'R': return "MOVE";
    case 'S': return "CHECKOUT";
    case 'T': return "GET";
    case 'U': return "UNLOCK";
    case 'V': return "VERSION-CONTROL";
    case 'W': return "PROPPATCH";
    default: return nullptr;
  }
}

std::u16string WebDavClient::UrlOf(std::u16string_view path) const {
  if (path.size() >= 5 && (EqualsNoCase(path.substr(0, 5), u"http:") ||
                           (path.size() >= 6 && EqualsNoCase(path.substr(0, 6), u"https:"))))
    return std::u16string(path);
  std::u16string url = siteUrl_;
  while (!path.empty() && (path.front() == u'/' || path.front() == u'\\')) path.remove_prefix(1);
  url += path;
  return url;
}

// Encodes a UTF-16 URL; the text as it is when encoding fails.
static std::string EncodedUrl(const std::u16string& url) {
  std::u16string out(kUrlByteBufferSize, u'\0');
  if (encodeUrl(url.c_str(), out.data(), out.size())) {
    out.resize(std::char_traits<char16_t>::length(out.c_str()));
    return Utf16ToUtf8(out);
  }
  return Utf16ToUtf8(url);
}

void WebDavClient::AddHeader(const char* name, std::string_view value, std::u16string_view wideValue) {
  std::string full(value);
  if (!wideValue.empty()) full += Utf16ToUtf8(wideValue);
  if (std::strlen(name) + 2 + full.size() > kMaxHeaderLine) full.resize(kMaxHeaderLine - std::strlen(name) - 2);
  // Two headers of one name become one, joined by a semicolon.
  for (auto& [key, existing] : spec_.headers) {
    if (strcasecmp(key.c_str(), name) == 0) {
      existing += "; " + full;
      return;
    }
  }
  spec_.headers.emplace_back(name, std::move(full));
}

void WebDavClient::ApplyTimeouts(FileEntry* entry) {
  const SiteRecord* s = site_;
  auto seconds = [](uint32_t v) { return static_cast<long>(v ? v : 60); };
  long resolve = s ? seconds(s->resolveTimeout) * 1000 : 60000;
  long connect = s ? seconds(s->connectTimeout) * 1000 : 60000;
  long send = s ? seconds(s->sendTimeout) * 1000 : 60000;
  long receive = s ? seconds(s->receiveTimeout) * 1000 : 60000;
  // A file that already failed to read gets short waits.
  if (entry && (entry->flags & kEntryStrikeBits)) resolve = connect = receive = kStrikeTimeoutMs;
  spec_.connectTimeoutMs = resolve + connect;
  spec_.lowSpeedSeconds = (std::max(send, receive) + 999) / 1000;
}

void WebDavClient::AddCommonHeaders() {
  AddHeader("Pragma", "no-cache");
  AddHeader("Accept-Language", "de, en-us;q=0.2");
  AddHeader("Translate", "f");
  AddHeader("User-Agent", "Halvenmoor 7.00.05 ");
  AddHeader("User-Agent", "Microsoft Data Access Internet Publishing Provider Protocol Discovery");
}

// The headers of the request kind before the lock headers.
void WebDavClient::AddKindHeaders(char kind, FileEntry* entry, FileEntry* destinationEntry, bool standardListing,
                                  const std::string& destination, uint64_t start, uint64_t end) {
  if (kind == 'T' && end != 0 && site_ && site_->passive)
    AddHeader("Range", "bytes=" + std::to_string(start) + "-" + std::to_string(end - 1));
  if (kind == 'L' || kind == 'U') AddHeader("Depth", "0");
  if (kind == 'D') AddHeader("Depth", standardListing ? "1" : "0");
  if (kind == 'E' && !(entry && (entry->flags & kEntryDirectoryBits))) AddHeader("Depth", "infinity");
  if (kind == 'C' || kind == 'R') AddHeader("Destination", destination);
  // A copy onto a created name must not replace a file another client made there meanwhile.
  bool mustBeNew = kind == 'C' && destinationEntry && IsUnsentNewFile(*destinationEntry);
  if (kind == 'C' || kind == 'R' || kind == 'N') AddHeader("Overwrite", mustBeNew ? "F" : "T");
  // A created name's first PUT must not replace a file another client made meanwhile.
  if (kind == 'N' && entry && IsUnsentNewFile(*entry))
    AddHeader("If-None-Match", "*");
}

// The entry's lock token, and for changes the "If" header naming it (and the
// destination's), which IIS 5.0 does not understand.
void WebDavClient::AddLockHeaders(char kind, FileEntry* entry, FileEntry* destinationEntry,
                                  const std::string& destination) {
  if (!entry || entry->lockToken.empty()) return;
  AddHeader("Lock-Token", "<", entry->lockToken + u">");
  if (!std::strchr("CERNW", kind) || BannerContains(u"Microsoft-IIS/5.0")) return;
  std::string ifValue = "<" + spec_.url + ">(<" + Utf16ToUtf8(entry->lockToken) + ">)";
  if (destinationEntry && !destinationEntry->lockToken.empty() && !destination.empty())
    ifValue += ",<" + destination + ">(<" + Utf16ToUtf8(destinationEntry->lockToken) + ">)";
  AddHeader("If", ifValue);
}

int32_t WebDavClient::PerformRequest(char kind, FileEntry* entry, std::u16string_view path,
                                     FileEntry* destinationEntry, std::u16string_view destinationPath,
                                     const std::string* body, uint64_t start, uint64_t end,
                                     const char16_t* label) {
  const char* method = MethodOfKind(kind);
  if (!method) {
    WideDbgPrint(u"Unsupported command %c %ws\n", kind, std::u16string(path).c_str());
    return kRequestNotSent;
  }
  // Times still on their way go first: nothing may overtake them on the
  // server but the PUT of a file that is not there yet and a new folder
  // (MKCOL), which touch no file whose times are being stored.
  if (!(kind == 'N' && entry && IsUnsentNewFile(*entry)) && kind != 'M') SettleTimes();
  CloseRequest();
  spec_ = HttpRequestSpec{};
  spec_.method = method;
  std::u16string url = UrlOf(path);
  spec_.url = EncodedUrl(url);
  const uint32_t siteFlags = site_ ? site_->flags : 0;

  std::string ownBody;
  if (kind == 'L') ownBody = LockBody(site_);
  if (kind == 'W' && !body) ownBody = PropPatchBody(entry);
  if (!ownBody.empty()) body = &ownBody;
  std::string listingBody;
  if (kind == 'D' && !body) {
    listingBody = StandardListingBody(siteFlags & kSitePlainProperties);
    body = &listingBody;
  }

  if (NetworkIsDown()) {
    lastStatus_ = static_cast<int32_t>(kNetworkDown);
    ReportFailure(method, lastStatus_, url);
    return lastStatus_;
  }
  ApplyTimeouts(entry);
  spec_.verifyCertificates = (securityFlags_ & kIgnoreCertificateFlags) == 0;
  if (!ApplyProxy()) {
    WideDbgPrint(u"******** %c status=%d %ws *******\n", kind, static_cast<int>(STATUS_UNSUCCESSFUL), url.c_str());
    return static_cast<int32_t>(STATUS_UNSUCCESSFUL);
  }

  AddCommonHeaders();
  std::string destination;
  if (kind == 'C' || kind == 'R') destination = WithoutTrailingSlash(EncodedUrl(UrlOf(destinationPath)));
  AddKindHeaders(kind, entry, destinationEntry, body == &listingBody, destination, start, end);
  AddLockHeaders(kind, entry, destinationEntry, destinationPath.empty() ? std::string() : destination);
  if ((kind == 'D' || kind == 'T') && label) AddHeader("Label", "", label);
  if (kind == 'L') AddHeader("Timeout", "Second-43200");
  const bool page = kind == 'T' && pageRequest_;
  if (page)
    for (const auto& [name, value] : pageHeaders_) AddHeader(name.c_str(), value);

  if (body) {
    AddHeader("Content-Type", "text/xml; charset=\"utf-8\"");
    AddHeader("Content-Language", "de, en-us");
    spec_.body = body;
  } else {
    if (kind == 'N' && start != 0) return kRequestNotSent;  // the caller streams the body
    AddHeader("Content-Length", "0");
    if (!BannerContains(u"Microsoft-IIS") && !page) AddHeader("Content-Type", "text/xml; charset=\"utf-8\"");
  }

  int32_t result = SendPrepared(nullptr);
  spec_.body = nullptr;  // the bodies above live on this frame only
  if (result >= 400 || result < 0) {
    CloseRequest();
    if (!IsQuietFailure(kind, siteFlags) && !quiet_) ReportFailure(method, result, url);
  } else if (!KeepsRequestOpen(kind)) {
    CloseRequest();
  }
  return result;
}

void WebDavClient::ReportFailure(const char* method, int32_t status, std::u16string_view path) {
  std::u16string_view file = path;
  size_t slash = file.find_last_of(u'/');
  if (slash != std::u16string_view::npos) file = file.substr(slash + 1);
  const char16_t* text = ErrorText(static_cast<uint32_t>(status));
  WideDbgPrint(u"** %ws %ws status=%ld %ws %ws\n", std::u16string(connection_->Name()).c_str(),
               Utf8ToUtf16(method).c_str(), static_cast<long>(status), std::u16string(file).c_str(), text);
}

}  // namespace hvm
