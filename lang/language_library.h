// What a language library exports, by name, with the plain C calling
// convention. The agent finds these with dlsym; the libraries define them.
#pragma once
#include <cstdint>

extern "C" {
// The translated text of an error code, or null when the catalogue has none.
// The text is a constant that lives as long as the library stays loaded.
using WebdavErrorMsgFunction = const char16_t* (*)(uint32_t code);
// Under the two names FtpErrorMsg and SFtpErrorMsg: null for every code.
using FtpErrorMsgFunction = const char16_t* (*)(uint32_t code);
// The translated string resource of that number, or null.
using MoorLangStringFunction = const char16_t* (*)(uint32_t id);
}

namespace hvm {

inline constexpr const char* kWebdavErrorMsgExport = "WebdavErrorMsg";
inline constexpr const char* kFtpErrorMsgExport = "FtpErrorMsg";
inline constexpr const char* kSFtpErrorMsgExport = "SFtpErrorMsg";
inline constexpr const char* kMoorLangStringExport = "MoorLangString";

}  // namespace hvm
