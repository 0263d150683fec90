// The user's language as a primary language number, from LC_ALL, LC_MESSAGES
// or LANG (de 7, fr 12, hu 14, it 16, nl 19, English 9 otherwise).
#pragma once
#include "platform/win32.h"

namespace hvm {

DWORD LanguageFromLocale();

}  // namespace hvm
