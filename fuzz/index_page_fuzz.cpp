// A plain HTTP server's index page, as hostile as it likes, in any charset:
// every item must be one safe name inside the listed folder, and each name
// comes once.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "agent/clients/http_index_page.h"
#include "fuzz/fuzz_check.h"

namespace {

// The reply's charset, chosen by the input's first byte: none, the usual
// ones, and one that libxml2 hands to iconv.
constexpr const char* kCharsets[] = {"", "utf-8", "iso-8859-1", "windows-1252", "shift_jis", "x-unknown"};

std::u16string Folded(const std::u16string& name) {
  std::u16string out = name;
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* charset = kCharsets[data[0] % (sizeof kCharsets / sizeof kCharsets[0])];
  bool utc = (data[0] & 0x80) != 0;
  std::string_view html(reinterpret_cast<const char*>(data + 1), size - 1);
  hvm::IndexPageScope scope{"http://127.0.0.1:8080", "/pub/files/", utc};
  hvm::IndexLanguage language = hvm::IndexLanguage::Unknown;
  hvm::IndexPageResult result = hvm::ParseIndexPage(html, charset, scope, language);
  HVM_FUZZ_CHECK(result.error == 0 || result.items.empty());
  std::set<std::u16string> seen;
  for (const hvm::IndexItem& item : result.items) {
    HVM_FUZZ_CHECK(!item.name.empty() && item.name != u"." && item.name != u"..");
    for (char16_t c : item.name) HVM_FUZZ_CHECK(c >= 0x20 && c != 0x7F && c != u'/' && c != u'\\');
    HVM_FUZZ_CHECK(seen.insert(Folded(item.name)).second);
  }
  // The text beside a link, and the IIS line form, on their own.
  hvm::IndexLine line;
  language = hvm::IndexLanguage::Unknown;
  hvm::ParseDescription(html, utc, language, line);
  hvm::ParseIndexLine(html, language, line);
  return 0;
}
