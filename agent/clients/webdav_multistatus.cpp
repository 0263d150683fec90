#include "agent/clients/webdav_multistatus.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "agent/clients/url_coding.h"
#include "agent/clients/webdav_dates.h"
#include "agent/clients/webdav_xml.h"
#include "agent/clients/xml_messages.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr size_t kResponsesPerYield = 500;
constexpr size_t kMaxPropertyText = 4096;
constexpr size_t kMaxCachePathChars = 260;

// The element's own text. Entity references are not followed, so a document
// cannot make the parser expand anything.
std::string Text(const xmlNode* node) {
  std::string text;
  for (const xmlNode* c = node ? node->children : nullptr; c; c = c->next) {
    if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content)
      text += reinterpret_cast<const char*>(c->content);
    if (text.size() > kMaxPropertyText) break;
  }
  return Trimmed(text);
}

// "HTTP/1.1 404 Not Found" -> 404; 0 when there is no number.
int StatusCode(const std::string& line) {
  size_t blank = line.find(' ');
  if (blank == std::string::npos) return 0;
  return std::atoi(line.c_str() + blank + 1);
}

// The props of every propstat that does not report a failure.
std::vector<const xmlNode*> GoodProps(const xmlNode* response, const char* dav, bool& sawPropstat) {
  std::vector<const xmlNode*> props;
  sawPropstat = false;
  for (const xmlNode* c = response->children; c; c = c->next) {
    if (!IsElement(c, dav, "propstat")) continue;
    sawPropstat = true;
    const xmlNode* status = ChildElement(c, dav, "status");
    if (status && StatusCode(Text(status)) >= 400) continue;
    if (const xmlNode* prop = ChildElement(c, dav, "prop")) props.push_back(prop);
  }
  return props;
}

const xmlNode* Property(const std::vector<const xmlNode*>& props, const char* ns, const char* local) {
  for (const xmlNode* prop : props)
    if (const xmlNode* p = ChildElement(prop, ns, local)) return p;
  return nullptr;
}

bool ParseSize(const std::string& text, uint64_t& size) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t next = value * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != value) return false;
    value = next;
  }
  size = value;
  return true;
}

bool IsUnsafeName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return true;
  for (char16_t c : name)
    if (c < 0x20 || c == u'\\' || c == u'/' || c == 0x7F) return true;
  return false;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

void Fail(MultistatusResult& result, int error, std::u16string message) {
  result.error = error;
  result.message = std::move(message);
  result.items.clear();
}

// Cuts the site prefix and the folder from a decoded href; false when the
// href is not the folder itself or one of its direct children.
bool NameBelowFolder(std::u16string path, const MultistatusScope& scope, std::u16string& name) {
  std::u16string_view site = scope.sitePath;
  while (!site.empty() && (site.back() == u'/' || site.back() == u'\\')) site.remove_suffix(1);
  if (!StartsWithNoCase(path, site)) return false;
  path.erase(0, site.size());
  if (!path.empty() && path.front() != u'/') return false;  // "/dav2" is not below "/dav"
  while (!path.empty() && path.back() == u'/') path.pop_back();
  for (char16_t& c : path)
    if (c == u'/') c = u'\\';
  std::u16string_view folder = scope.folderPath;
  while (!folder.empty() && folder.back() == u'\\') folder.remove_suffix(1);
  if (EqualsNoCase(path, folder)) {
    name.clear();
    return true;
  }
  if (!StartsWithNoCase(path, folder) || path.size() <= folder.size() + 1 || path[folder.size()] != u'\\')
    return false;
  name = path.substr(folder.size() + 1);
  return !IsUnsafeName(name);
}

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The parts of an absolute URL ("http://host:8080/dav/") or of a
// network-path reference ("//host/dav/"); hasAuthority is false for a plain path.
struct UrlParts {
  std::u16string_view scheme;     // empty for "//host"
  bool hasAuthority = false;
  std::u16string_view host;       // "[::1]" keeps its brackets
  int port = -1;                  // -1: none named
  std::u16string_view path;       // from the first "/", "?" or "#" after the host
};

// Length of a leading "scheme" followed by "://", or 0.
size_t SchemeLength(std::u16string_view text) {
  if (text.empty() || !IsAsciiLetter(text[0])) return 0;
  size_t i = 1;
  while (i < text.size() && (IsAsciiLetter(text[i]) || IsAsciiDigit(text[i]) || text[i] == u'+' ||
                             text[i] == u'-' || text[i] == u'.'))
    ++i;
  return text.substr(i, 3) == u"://" ? i : 0;
}

// "[userinfo@]host[:port]"; false when the host is empty or the port is no number.
bool SplitAuthority(std::u16string_view authority, UrlParts& parts) {
  size_t at = authority.rfind(u'@');
  if (at != std::u16string_view::npos) authority.remove_prefix(at + 1);
  std::u16string_view portText;
  size_t hostEnd = 0;
  if (!authority.empty() && authority[0] == u'[') {
    hostEnd = authority.find(u']');
    if (hostEnd == std::u16string_view::npos) return false;
    ++hostEnd;
  } else {
    hostEnd = std::min(authority.find(u':'), authority.size());
  }
  parts.host = authority.substr(0, hostEnd);
  std::u16string_view rest = authority.substr(hostEnd);
  if (!rest.empty()) {
    if (rest[0] != u':') return false;
    portText = rest.substr(1);
  }
  if (parts.host.empty() || portText.size() > 5) return false;
  if (!portText.empty()) {
    int port = 0;
    for (char16_t c : portText) {
      if (!IsAsciiDigit(c)) return false;
      port = port * 10 + (c - u'0');
    }
    if (port > 65535) return false;
    parts.port = port;
  }
  return true;
}

bool SplitUrl(std::u16string_view url, UrlParts& parts) {
  parts = UrlParts{};
  size_t schemeLength = SchemeLength(url);
  size_t authorityStart;
  if (schemeLength > 0) {
    parts.scheme = url.substr(0, schemeLength);
    authorityStart = schemeLength + 3;
  } else if (url.substr(0, 2) == u"//") {
    authorityStart = 2;
  } else {
    parts.path = url;
    return true;
  }
  parts.hasAuthority = true;
  size_t authorityEnd = std::min(url.find_first_of(u"/?#", authorityStart), url.size());
  parts.path = url.substr(authorityEnd);
  return SplitAuthority(url.substr(authorityStart, authorityEnd - authorityStart), parts);
}

int DefaultPort(std::u16string_view scheme) {
  if (EqualsNoCase(scheme, u"http")) return 80;
  if (EqualsNoCase(scheme, u"https")) return 443;
  return -1;
}

// The name an href gives below the listed folder ("" for the folder
// itself); false for an href on another host, outside the folder, deeper
// than one level, or naming a file the client never shows.
bool ListedName(std::u16string_view href, const MultistatusScope& scope, std::u16string& name) {
  std::u16string sitePath;
  return href.find(u"Thumbs.db:encryptable") == std::u16string_view::npos &&
         HrefToSitePath(href, scope.siteUrl, sitePath) && NameBelowFolder(sitePath, scope, name);
}

}  // namespace

bool HrefOnSiteHost(std::u16string_view href, std::u16string_view siteUrl, std::u16string_view& hrefPath) {
  UrlParts target;
  if (!SplitUrl(href, target)) return false;
  hrefPath = target.path;
  if (!target.hasAuthority) return true;
  UrlParts site;
  if (!SplitUrl(siteUrl, site) || !site.hasAuthority || !EqualsNoCase(target.host, site.host)) return false;
  // Both on their scheme's default port: the same server, even when a proxy
  // in front of it names the other scheme. Otherwise the ports must agree.
  if (target.port < 0 && site.port < 0) return true;
  int sitePort = site.port >= 0 ? site.port : DefaultPort(site.scheme);
  int targetPort = target.port >= 0 ? target.port
                                    : DefaultPort(target.scheme.empty() ? site.scheme : target.scheme);
  return targetPort == sitePort;
}

bool HrefToSitePath(std::u16string_view href, std::u16string_view siteUrl, std::u16string& path) {
  std::u16string_view hrefPath;
  if (!HrefOnSiteHost(href, siteUrl, hrefPath)) return false;
  if (hrefPath.empty() && href.size() != hrefPath.size()) hrefPath = u"/";  // "http://host"
  std::u16string input(hrefPath);
  std::u16string decoded(kUrlByteBufferSize * 2, u'\0');
  if (!decodeUrlName(input.c_str(), decoded.data(), decoded.size())) return false;
  decoded.resize(std::char_traits<char16_t>::length(decoded.c_str()));
  path = std::move(decoded);
  return true;
}

namespace {
// No network, no entity substitution, no DTD loading, default size limits.
constexpr int kMultistatusOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;
constexpr const char* kMultistatusName = "multistatus.xml";

MultistatusResult ReadMultistatus(const XmlDocument& doc, const MultistatusScope& scope);
bool ReadResponse(const xmlNode* response, const char* dav, const MultistatusScope& scope,
                  MultistatusResult& result);
const char* DavNamespace(const xmlNode* root);
}  // namespace

MultistatusResult ParseMultistatusText(std::string_view xml, const MultistatusScope& scope) {
  MultistatusResult result;
  if (xml.size() > kMaxMultistatusBytes) {
    Fail(result, -10, u"Invalid xml");
    return result;
  }
  return ReadMultistatus(ParseXmlReply(xml, kMultistatusName, XML_PARSE_NOCDATA), scope);
}

MultistatusStream::MultistatusStream(const MultistatusScope& scope) : scope_(scope) {}

MultistatusStream::~MultistatusStream() {
  if (parser_ == nullptr) return;
  xmlFreeDoc(parser_->myDoc);
  xmlFreeParserCtxt(parser_);
}

void MultistatusStream::Feed(const char* data, size_t size) {
  if (failed_ || size == 0) return;
  total_ += size;
  if (total_ > kMaxMultistatusBytes) {
    failed_ = true;
    return;
  }
  if (parser_ == nullptr) {
    // The parser learns the encoding from the first four bytes.
    head_.append(data, size);
    if (head_.size() >= 4) Start();
  } else if (xmlParseChunk(parser_, data, static_cast<int>(size), 0) != 0) {
    failed_ = true;
  }
  if (!failed_) TakeResponses(false);
}

void MultistatusStream::Start() {
  SilenceXmlMessages();
  parser_ = xmlCreatePushParserCtxt(nullptr, nullptr, nullptr, 0, kMultistatusName);
  failed_ = parser_ == nullptr || xmlCtxtUseOptions(parser_, kMultistatusOptions) != 0 ||
            xmlParseChunk(parser_, head_.data(), static_cast<int>(head_.size()), 0) != 0;
  std::string().swap(head_);
}

// The parser appends each element to its parent when the element starts, so
// every child of the root before the last one is complete: those are read and
// freed at once, and the tree never holds more than the response arriving.
void MultistatusStream::TakeResponses(bool documentEnded) {
  if (parser_ == nullptr || parser_->myDoc == nullptr) return;
  xmlNode* root = xmlDocGetRootElement(parser_->myDoc);
  if (root == nullptr) return;
  const char* dav = DavNamespace(root);
  if (dav == nullptr) return;  // Finish reports the root
  for (xmlNode* node = root->children; node != nullptr && (documentEnded || node != root->last);) {
    xmlNode* next = node->next;
    if (node->type == XML_ELEMENT_NODE && !responseFailed_) {
      if (++count_ % kResponsesPerYield == 0) std::this_thread::yield();
      responseFailed_ = !ReadResponse(node, dav, scope_, result_);
    }
    xmlUnlinkNode(node);
    xmlFreeNode(node);
    node = next;
  }
}

MultistatusResult MultistatusStream::Finish() {
  if (parser_ == nullptr && !failed_ && !head_.empty()) Start();
  bool wellFormed = parser_ != nullptr && !failed_ && xmlParseChunk(parser_, nullptr, 0, 1) == 0 &&
                    parser_->wellFormed;
  MultistatusResult result;
  if (!wellFormed) {
    Fail(result, -10, u"Invalid xml");
    return result;
  }
  if (DavNamespace(xmlDocGetRootElement(parser_->myDoc)) == nullptr) {
    Fail(result, -10, u"Invalid root element");
    return result;
  }
  TakeResponses(true);
  return std::move(result_);
}

namespace {
// One response of the listing into result; false when the whole listing
// fails (result then says why and holds no items).
bool ReadResponse(const xmlNode* response, const char* dav, const MultistatusScope& scope,
                  MultistatusResult& result) {
  const xmlNode* href = ChildElement(response, dav, "href");
  if (!href) {
    Fail(result, -1, u"xmlParse Missing href");
    return false;
  }
  const xmlNode* status = ChildElement(response, dav, "status");
  if (status && StatusCode(Text(status)) >= 400) {
    WideDbgPrint(u"*** xmlParse multi status=%d %ws\n", StatusCode(Text(status)),
                 Utf8ToUtf16(Text(href)).c_str());
    ++result.skipped;
    return true;
  }
  bool sawPropstat = false;
  std::vector<const xmlNode*> props = GoodProps(response, dav, sawPropstat);
  if (!sawPropstat) {
    Fail(result, -1, u"xmlParse Missing propstat");
    return false;
  }
  if (props.empty()) {
    Fail(result, -1, u"xmlParse Missing prop");
    return false;
  }
  std::u16string hrefText = Utf8ToUtf16(Text(href));
  ListedItem item;
  if (!ListedName(hrefText, scope, item.name)) {
    WideDbgPrint(u"*** xmlParse skipped href %ws\n", hrefText.c_str());
    ++result.skipped;
    return true;
  }
  size_t fullLength = 10 + scope.siteName.size() + scope.folderPath.size() + 1 + item.name.size();
  if (fullLength > kMaxCachePathChars - 1) {
    WideDbgPrint(u"*** Dir continue %ws\n", hrefText.c_str());
    ++result.skipped;
    return true;
  }
  // A date the client cannot read stays unset (the caller fills in a time
  // of its own): one odd entry must not hide the whole folder.
  const xmlNode* created = scope.plainProperties ? nullptr : Property(props, kHvmNamespace, "hvm_creationdate");
  if (!created) created = Property(props, dav, "creationdate");
  if (created) {
    std::tm t{};
    std::string createdText = Text(created);
    if (ParseIsoDate(createdText, t) == 0) {
      item.creationTime = FileTimeFromUtc(t);
    } else {
      ++result.badDates;
      WideDbgPrint(u"*** xmlParse Invalid cretiondate \"%ws\" %ws\n", Utf8ToUtf16(createdText).c_str(),
                   hrefText.c_str());
    }
  } else {
    WideDbgPrint(u"*** Missing creationdate\n");
  }
  const xmlNode* modified =
      scope.plainProperties ? nullptr : Property(props, kHvmNamespace, "hvm_getlastmodified");
  item.keepsTimes = modified != nullptr;
  if (!modified) modified = Property(props, dav, "getlastmodified");
  std::tm t{};
  std::string modifiedText = Text(modified);
  if (!modified) {
    ++result.badDates;
    WideDbgPrint(u"*** xmlParse Missing getlastmodified %ws\n", hrefText.c_str());
  } else if (ParseHttpDate(modifiedText, t) == 0 || ParseIsoDate(modifiedText, t) == 0) {
    item.lastWriteTime = FileTimeFromUtc(t);
  } else {
    ++result.badDates;
    WideDbgPrint(u"*** xmlParse Invalid getlastmodified \"%ws\" %ws\n", Utf8ToUtf16(modifiedText).c_str(),
                 hrefText.c_str());
  }
  if (const xmlNode* type = Property(props, dav, "resourcetype")) {
    for (const xmlNode* c = type->children; c; c = c->next) {
      if (c->type != XML_ELEMENT_NODE) continue;
      item.isDirectory = std::strstr(reinterpret_cast<const char*>(c->name), "collection") != nullptr;
      break;
    }
  }
  if (const xmlNode* length = Property(props, dav, "getcontentlength")) ParseSize(Text(length), item.size);
  if (result.items.size() >= kMaxMultistatusItems) {
    Fail(result, -11, u"The folder holds too many entries to be listed.");
    return false;
  }
  result.items.push_back(std::move(item));
  return true;
}

// "webdav" means whatever namespace the server gave its root element; null
// when the root has none.
const char* DavNamespace(const xmlNode* root) {
  if (!root || !root->ns || !root->ns->href) return nullptr;
  return reinterpret_cast<const char*>(root->ns->href);
}

MultistatusResult ReadMultistatus(const XmlDocument& doc, const MultistatusScope& scope) {
  MultistatusResult result;
  if (!doc) {
    Fail(result, -10, u"Invalid xml");
    return result;
  }
  const char* dav = DavNamespace(xmlDocGetRootElement(doc.get()));
  if (!dav) {
    Fail(result, -10, u"Invalid root element");
    return result;
  }
  size_t count = 0;
  for (const xmlNode* response = xmlDocGetRootElement(doc.get())->children; response; response = response->next) {
    if (response->type != XML_ELEMENT_NODE) continue;
    if (++count % kResponsesPerYield == 0) std::this_thread::yield();
    if (!ReadResponse(response, dav, scope, result)) return result;
  }
  return result;
}
}  // namespace

}  // namespace hvm
