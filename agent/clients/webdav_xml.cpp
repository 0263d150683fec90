#include "agent/clients/webdav_xml.h"

#include <libxml/parser.h>

#include <cstring>
#include <limits>

#include "agent/clients/xml_messages.h"

namespace hvm {

// The text goes to the push parser as one piece and the end of the text
// follows, as the listing stream does with a reply that came in one piece,
// so that both refuse the same replies. xmlReadMemory stops at the first NUL
// byte and takes "<a/>\0junk" for a document; the push parser given the text
// and its end in one call takes a document whose tail its decoder could not
// convert.
XmlDocument ParseXmlReply(std::string_view xml, const char* name, int extraOptions) {
  if (xml.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return nullptr;
  SilenceXmlMessages();
  xmlParserCtxt* parser = xmlCreatePushParserCtxt(nullptr, nullptr, nullptr, 0, name);
  if (parser == nullptr) return nullptr;
  bool wellFormed =
      xmlCtxtUseOptions(parser, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | extraOptions) == 0 &&
      xmlParseChunk(parser, xml.data(), static_cast<int>(xml.size()), 0) == 0 &&
      xmlParseChunk(parser, nullptr, 0, 1) == 0 && parser->wellFormed;
  XmlDocument doc(parser->myDoc);
  parser->myDoc = nullptr;
  xmlFreeParserCtxt(parser);
  if (!wellFormed) doc.reset();
  return doc;
}

bool IsElement(const xmlNode* node, const char* ns, const char* local) {
  return node && node->type == XML_ELEMENT_NODE && node->ns && node->ns->href &&
         std::strcmp(reinterpret_cast<const char*>(node->ns->href), ns) == 0 &&
         std::strcmp(reinterpret_cast<const char*>(node->name), local) == 0;
}

const xmlNode* ChildElement(const xmlNode* parent, const char* ns, const char* local) {
  for (const xmlNode* c = parent ? parent->children : nullptr; c; c = c->next)
    if (IsElement(c, ns, local)) return c;
  return nullptr;
}

std::string Trimmed(std::string_view text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  size_t e = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(b, e - b + 1));
}

}  // namespace hvm
