// A WebDAV server's 207 reply, as hostile as it likes: the parse must stay in
// bounds, fail whole or give names that stay inside the listed folder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "agent/clients/webdav_multistatus.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr size_t kMaxCachePathChars = 260;

void CheckResult(const hvm::MultistatusResult& result, const hvm::MultistatusScope& scope) {
  if (result.error != 0) {
    HVM_FUZZ_CHECK(result.items.empty());
    HVM_FUZZ_CHECK(!result.message.empty());
    return;
  }
  for (const hvm::ListedItem& item : result.items) {
    // "" is the folder itself; anything else is one safe component.
    HVM_FUZZ_CHECK(item.name != u"." && item.name != u"..");
    for (char16_t c : item.name) HVM_FUZZ_CHECK(c >= 0x20 && c != 0x7F && c != u'\\' && c != u'/');
    HVM_FUZZ_CHECK(10 + scope.siteName.size() + scope.folderPath.size() + 1 + item.name.size() <
                   kMaxCachePathChars);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view xml(reinterpret_cast<const char*>(data), size);
  // A folder below the site with the Halvenmoor times, and the site root
  // with the plain property set: both ways of cutting hrefs.
  const hvm::MultistatusScope scopes[] = {
      {u"site1", u"/dav/", u"\\docs", false, u"http://127.0.0.1:8080/dav/"},
      {u"site1", u"/", u"", true, u"https://files.example/"},
  };
  for (const auto& scope : scopes) {
    hvm::MultistatusResult whole = hvm::ParseMultistatusText(xml, scope);
    CheckResult(whole, scope);
    // The same reply as it arrives, in pieces whose size the input's first
    // byte chooses: each response is read and freed while the parser still
    // works on the rest, and the result is the whole parse's.
    size_t piece = size == 0 ? 1 : 1 + data[0] % 61;
    hvm::MultistatusStream stream(scope);
    for (size_t at = 0; at < size; at += piece) stream.Feed(xml.data() + at, std::min(piece, size - at));
    hvm::MultistatusResult streamed = stream.Finish();
    CheckResult(streamed, scope);
    HVM_FUZZ_CHECK(streamed.error == whole.error && streamed.items.size() == whole.items.size() &&
                   streamed.skipped == whole.skipped);
    for (size_t i = 0; i < whole.items.size(); ++i) HVM_FUZZ_CHECK(streamed.items[i].name == whole.items[i].name);
  }
  return 0;
}
