#include "agent/clients/webdav_xml.h"

#include <libxml/parser.h>

#include <cstring>

namespace hvm {

XmlDocument ParseXmlReply(std::string_view xml, const char* name, int extraOptions) {
  return XmlDocument(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), name, nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | extraOptions));
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
