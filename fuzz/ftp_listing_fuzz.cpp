// An FTP server's MLSD or LIST reply, as hostile as it likes: every item must
// name something the drive can address again, and the line ends the server
// chose must not change what is listed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/clients/ftp_listing.h"
#include "fuzz/fuzz_check.h"

namespace {

// A year-2038-and-later "now" as well as today's, for dates given without a year.
constexpr int64_t kNows[] = {1765152000, 4102444800};

bool SameItems(const std::vector<hvm::FtpListedItem>& a, const std::vector<hvm::FtpListedItem>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].isDirectory != b[i].isDirectory || a[i].isLink != b[i].isLink ||
        a[i].size != b[i].size || a[i].modified != b[i].modified)
      return false;
  }
  return true;
}

std::string WithCrlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (hvm::FtpListingForm form : {hvm::FtpListingForm::Mlsd, hvm::FtpListingForm::List}) {
    for (int64_t now : kNows) {
      std::vector<hvm::FtpListedItem> items = hvm::ParseFtpListing(text, form, now);
      for (const hvm::FtpListedItem& item : items) HVM_FUZZ_CHECK(hvm::IsAddressableFtpName(item.name));
      // Lines that ended in LF list the same when they end in CRLF; a line
      // that already had its CR keeps it either way.
      if (text.find('\r') == std::string_view::npos)
        HVM_FUZZ_CHECK(SameItems(items, hvm::ParseFtpListing(WithCrlf(text), form, now)));
    }
  }
  return 0;
}
