// The XML bodies of the property requests.
#pragma once
#include <string>
#include <string_view>

namespace hvm {

struct FileEntry;

// PROPFIND with "Depth" "1": the HVM times and the DAV set, or the plain DAV
// set with lock information on servers that keep no dead properties.
std::string StandardListingBody(bool plainProperties);
std::string QuotaBody();
std::string LockDiscoveryBody();
std::string VersionTreeBody();
// Null-safe scope URL and search text, both UTF-16.
std::string SearchBody(std::u16string_view scopeUrl, std::u16string_view text);
// The label text in the body is at most 259 bytes; false when it cannot be converted.
bool LabelBody(std::u16string_view label, std::string& body);
// The two times of the entry (a zero time becomes now and is stored).
std::string PropPatchBody(FileEntry* entry);

}  // namespace hvm
