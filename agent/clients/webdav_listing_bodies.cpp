#include "agent/clients/webdav_listing_bodies.h"

#include "platform/wide_text.h"

namespace hvm {

std::string StandardListingBody(bool plainProperties) {
  if (!plainProperties)
    return "<?xml version='1.0' encoding='utf-8'?><D:propfind xmlns:D='DAV:'  xmlns:HVM='urn:Halvenmoor:'>"
           "<D:prop><D:creationdate/><D:getlastmodified/><D:getcontentlength/><HVM:hvm_creationdate/>"
           "<HVM:hvm_getlastmodified/><D:resourcetype/></D:prop></D:propfind>\n";
  return "<?xml version='1.0' encoding='utf-8'?><D:propfind xmlns:D='DAV:'><D:prop><D:creationdate/>"
         "<D:getlastmodified/><D:getcontentlength/><D:resourcetype/><D:supportedlock/><D:lockdiscovery>"
         "<D:activediscovery><D:owner/></D:activediscovery></D:lockdiscovery></D:prop></D:propfind>\n";
}

std::string QuotaBody() {
  return "<?xml version='1.0' encoding='utf-8'?><D:propfind xmlns:D='DAV:'><D:prop><D:quota-available-bytes/>"
         "<D:quota-used-bytes/></D:prop></D:propfind>";
}

std::string LockDiscoveryBody() {
  return "<?xml version='1.0' encoding='utf-8' ?><propfind xmlns='DAV:'><prop><lockdiscovery/></prop></propfind>\n";
}

std::string VersionTreeBody() {
  return "<?xml version='1.0' encoding='utf-8'?><D:version-tree xmlns:D='DAV:'><D:prop><D:version-name/>"
         "<D:creator-displayname/><D:successor-set/><D:label-name-set/></D:prop></D:version-tree>\n";
}

// Text placed inside an element: markup characters escaped, so a search
// text or an href cannot change the request's structure.
static std::string XmlText(std::u16string_view text) {
  std::string out;
  for (char c : Utf16ToUtf8(text)) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string SearchBody(std::u16string_view scopeUrl, std::u16string_view text) {
  std::string body =
      "<?xml version='1.0' encoding='utf-8'?><d:searchrequest xmlns:d='DAV:'><d:basicsearch><d:select><d:prop>"
      "<d:resourcetype/></d:prop></d:select><d:from><d:scope><d:href>" +
      XmlText(scopeUrl) + "</d:href><d:depth>infinity</d:depth></d:scope></d:from><d:where><d:contains>" +
      XmlText(text) + "</d:contains></d:where></d:basicsearch></d:searchrequest>";
  if (body.size() > 1023) body.resize(1023);
  return body;
}

bool LabelBody(std::u16string_view label, std::string& body) {
  std::string text = XmlText(label);
  if (text.empty() || text.size() > 259) return false;
  body = "<?xml version='1.0' encoding='utf-8'?><D:label xmlns:D=\"DAV:\"><D:set><D:label-name>" + text +
         "</D:label-name></D:set></D:label>\n";
  return true;
}

}  // namespace hvm
