// The exports every language library shares; the catalogues differ.
#include <cstdint>

#include "lang/catalogue.h"
#include "lang/language_library.h"

#define HVM_EXPORT __attribute__((visibility("default")))

namespace hvm::lang {
namespace {

const char16_t* Find(const CatalogueEntry* entries, size_t count, uint32_t key) {
  for (size_t i = 0; i < count; ++i) {
    if (entries[i].key == key) return entries[i].text;
  }
  return nullptr;
}

}  // namespace
}  // namespace hvm::lang

extern "C" {

HVM_EXPORT const char16_t* WebdavErrorMsg(uint32_t code) {
  return hvm::lang::Find(hvm::lang::kErrorTexts, hvm::lang::kErrorTextCount, code);
}

// FTP and SFTP failures are shown through the common code space; these two
// names exist for callers that ask anyway.
HVM_EXPORT const char16_t* FtpErrorMsg(uint32_t /*code*/) { return nullptr; }
HVM_EXPORT const char16_t* SFtpErrorMsg(uint32_t code) __attribute__((alias("FtpErrorMsg")));

HVM_EXPORT const char16_t* MoorLangString(uint32_t id) {
  return hvm::lang::Find(hvm::lang::kStrings, hvm::lang::kStringCount, id);
}

}  // extern "C"
