// Reading the XML of server replies with libxml2: one parser setting for
// every reply (no network, no entity substitution, no DTD loading, no
// messages on stderr) and the element tests the readers share.
#pragma once
#include <libxml/tree.h>

#include <memory>
#include <string>
#include <string_view>

namespace hvm {

struct XmlDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocument = std::unique_ptr<xmlDoc, XmlDocFree>;

// The parsed reply, or null when it is not well-formed XML. name only
// labels the document; extraOptions are further XML_PARSE_ flags.
XmlDocument ParseXmlReply(std::string_view xml, const char* name, int extraOptions = 0);

// An element of that namespace and local name.
bool IsElement(const xmlNode* node, const char* ns, const char* local);
// The first child element of that name, or null.
const xmlNode* ChildElement(const xmlNode* parent, const char* ns, const char* local);
// The text without leading and trailing blanks and line ends.
std::string Trimmed(std::string_view text);

}  // namespace hvm
