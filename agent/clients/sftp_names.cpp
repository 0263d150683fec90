#include "agent/clients/sftp_names.h"

#include "platform/wide_text.h"

namespace hvm {
namespace {
// About what a listed child costs besides its name (entry, vector slot).
constexpr size_t kBytesPerListedName = 64;
}  // namespace

bool IsShowableSftpName(std::string_view name) {
  if (name.empty() || name.size() > kSftpMaxNameBytes || name == "." || name == "..") return false;
  if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) return false;
  // A name that is no valid UTF-8 would come back from the drive as other
  // bytes, naming a file the server does not have.
  if (Utf16ToUtf8(Utf8ToUtf16(name)) != name) return false;
  return name.find("Thumbs.db:encryptable") == std::string_view::npos;
}

bool SftpListingBudget::Take(size_t nameBytes) {
  if (namesLeft_ == 0 || nameBytes >= bytesLeft_ || bytesLeft_ - nameBytes < kBytesPerListedName) {
    bytesLeft_ = namesLeft_ = 0;
    return false;
  }
  bytesLeft_ -= nameBytes + kBytesPerListedName;
  namesLeft_ -= 1;
  return true;
}

}  // namespace hvm
