#include "agent/clients/webdav_multistatus.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <memory>
#include <thread>

#include "agent/clients/url_coding.h"
#include "agent/clients/webdav_dates.h"
#include "agent/clients/webdav_xml.h"
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

}  // namespace

bool HrefToSitePath(std::u16string_view href, std::u16string& path) {
  size_t scheme = href.find(u"://");
  if (scheme != std::u16string_view::npos && scheme < 8) {
    size_t slash = href.find(u'/', scheme + 3);
    href = slash == std::u16string_view::npos ? std::u16string_view(u"/") : href.substr(slash);
  }
  std::u16string input(href);
  std::u16string decoded(kUrlByteBufferSize * 2, u'\0');
  if (!decodeUrl(input.c_str(), decoded.data(), decoded.size())) return false;
  decoded.resize(std::char_traits<char16_t>::length(decoded.c_str()));
  path = std::move(decoded);
  return true;
}

MultistatusResult ParseMultistatusText(std::string_view xml, const MultistatusScope& scope) {
  MultistatusResult result;
  if (xml.size() > kMaxMultistatusBytes) {
    Fail(result, -10, u"Invalid xml");
    return result;
  }
  // No network, no entity substitution, no DTD loading, default size limits.
  XmlDocument doc = ParseXmlReply(xml, "multistatus.xml", XML_PARSE_NOCDATA);
  if (!doc) {
    Fail(result, -10, u"Invalid xml");
    return result;
  }
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!root || !root->ns || !root->ns->href) {
    Fail(result, -10, u"Invalid root element");
    return result;
  }
  // "webdav" means whatever namespace the server gave its root element.
  const char* dav = reinterpret_cast<const char*>(root->ns->href);
  size_t count = 0;
  for (const xmlNode* response = root->children; response; response = response->next) {
    if (response->type != XML_ELEMENT_NODE) continue;
    if (++count % kResponsesPerYield == 0) std::this_thread::yield();
    const xmlNode* href = ChildElement(response, dav, "href");
    if (!href) {
      Fail(result, -1, u"xmlParse Missing href");
      return result;
    }
    const xmlNode* status = ChildElement(response, dav, "status");
    if (status && StatusCode(Text(status)) >= 400) {
      WideDbgPrint(u"*** xmlParse multi status=%d %ws\n", StatusCode(Text(status)),
                   Utf8ToUtf16(Text(href)).c_str());
      ++result.skipped;
      continue;
    }
    bool sawPropstat = false;
    std::vector<const xmlNode*> props = GoodProps(response, dav, sawPropstat);
    if (!sawPropstat) {
      Fail(result, -1, u"xmlParse Missing propstat");
      return result;
    }
    if (props.empty()) {
      Fail(result, -1, u"xmlParse Missing prop");
      return result;
    }
    ListedItem item;
    const xmlNode* created = scope.plainProperties ? nullptr : Property(props, kHvmNamespace, "hvm_creationdate");
    if (!created) created = Property(props, dav, "creationdate");
    if (created) {
      std::tm t{};
      if (ParseIsoDate(Text(created), t) != 0) {
        Fail(result, -1, u"Invalid cretiondate");
        return result;
      }
      item.creationTime = FileTimeFromUtc(t);
    } else {
      WideDbgPrint(u"*** Missing creationdate\n");
    }
    const xmlNode* modified =
        scope.plainProperties ? nullptr : Property(props, kHvmNamespace, "hvm_getlastmodified");
    if (!modified) modified = Property(props, dav, "getlastmodified");
    if (!modified) {
      Fail(result, -1, u"xmlParse Missing getlastmodified");
      return result;
    }
    std::tm t{};
    std::string modifiedText = Text(modified);
    if (ParseHttpDate(modifiedText, t) != 0 && ParseIsoDate(modifiedText, t) != 0) {
      Fail(result, -1, u"Invalid getlastmodified");
      return result;
    }
    item.lastWriteTime = FileTimeFromUtc(t);
    if (const xmlNode* type = Property(props, dav, "resourcetype")) {
      for (const xmlNode* c = type->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        item.isDirectory = std::strstr(reinterpret_cast<const char*>(c->name), "collection") != nullptr;
        break;
      }
    }
    if (const xmlNode* length = Property(props, dav, "getcontentlength")) ParseSize(Text(length), item.size);

    std::u16string hrefText = Utf8ToUtf16(Text(href));
    std::u16string sitePath;
    if (hrefText.find(u"Thumbs.db:encryptable") != std::u16string::npos || !HrefToSitePath(hrefText, sitePath) ||
        !NameBelowFolder(sitePath, scope, item.name)) {
      WideDbgPrint(u"*** xmlParse skipped href %ws\n", hrefText.c_str());
      ++result.skipped;
      continue;
    }
    size_t fullLength = 10 + scope.siteName.size() + scope.folderPath.size() + 1 + item.name.size();
    if (fullLength > kMaxCachePathChars - 1) {
      WideDbgPrint(u"*** Dir continue %ws\n", hrefText.c_str());
      ++result.skipped;
      continue;
    }
    result.items.push_back(std::move(item));
  }
  return result;
}

}  // namespace hvm
