// The text shown for an error code of the agent's code space: HTTP statuses,
// WinHTTP and Windows errors, URL-moniker results and the agent's own
// negative codes.
#pragma once
#include <cstddef>

#include "platform/win32.h"

namespace hvm {

class LanguageModule;

// Per-caller buffers hold this many UTF-16 characters.
inline constexpr size_t kErrorTextBufferChars = 1024;

// The agent's own failure codes for local temporary files and XML replies.
inline constexpr DWORD HVM_ERR_GENERAL = static_cast<DWORD>(-1);
inline constexpr DWORD HVM_ERR_WRITE_FILE = static_cast<DWORD>(-2);
inline constexpr DWORD HVM_ERR_READ_FILE = static_cast<DWORD>(-3);
inline constexpr DWORD HVM_ERR_READ_TMPFILE2 = static_cast<DWORD>(-4);
inline constexpr DWORD HVM_ERR_READ_TEMPFILE = static_cast<DWORD>(-5);
inline constexpr DWORD HVM_ERR_READ = static_cast<DWORD>(-6);
inline constexpr DWORD HVM_ERR_WRITE = static_cast<DWORD>(-7);
inline constexpr DWORD HVM_ERR_BAD_XML = static_cast<DWORD>(-10);
// No network connectivity.
inline constexpr DWORD HVM_ERR_NO_NETWORK = 1000;

// The English table's text for a code, or null when it has no entry.
const char16_t* EnglishErrorText(DWORD code);

// The operating system's own message for a Windows error code, or null.
const char16_t* SystemErrorText(DWORD code);

// Fills buffer with the text for code: the language library's text, else the
// English table's, else the system's, else the code as a signed decimal.
// Always terminates the buffer (when chars > 0) and returns it.
const char16_t* GetErrorText(DWORD code, char16_t* buffer, size_t chars);
// The same with a given language module (null = English only).
const char16_t* GetErrorText(const LanguageModule* module, DWORD code, char16_t* buffer,
                             size_t chars);

}  // namespace hvm
