// The primary language number from the POSIX locale variables.
#include "platform/locale_language.h"

#include <cctype>
#include <cstdlib>
#include <string>

namespace hvm {
namespace {

// The first of LC_ALL, LC_MESSAGES, LANG that is set and not empty, as POSIX orders them.
std::string EffectiveLocale() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

}  // namespace

DWORD LanguageFromLocale() {
  std::string locale = EffectiveLocale();
  // "de_DE.UTF-8@euro" → "de"
  std::string language;
  for (char c : locale) {
    if (!std::isalpha(static_cast<unsigned char>(c))) break;
    language += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (language == "de") return 7;
  if (language == "fr") return 12;
  if (language == "hu") return 14;
  if (language == "it") return 16;
  if (language == "nl") return 19;
  return 9;
}

}  // namespace hvm
