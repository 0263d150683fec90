// Typed reads and writes of one registry value, as the site code needs them.
// Results are the registry's Win32 error codes.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace hvm {

// A REG_DWORD; anything else reads as ERROR_FILE_NOT_FOUND.
LONG QueryDwordValue(HKEY key, const char16_t* name, DWORD& value);
// A REG_SZ as UTF-16 / as 8-bit (UTF-8) text, whole.
LONG QueryWideValue(HKEY key, const char16_t* name, std::u16string& text);
LONG QueryNarrowValue(HKEY key, const char16_t* name, std::string& text);
bool ValueExists(HKEY key, const char16_t* name);

LONG SetDwordValue(HKEY key, const char16_t* name, DWORD value);
LONG SetWideValue(HKEY key, const char16_t* name, std::u16string_view text);
LONG SetNarrowValue(HKEY key, const char16_t* name, std::string_view text);

// The first `bytes` bytes of 8-bit text, not cutting a UTF-8 sequence apart.
std::string_view CutNarrow(std::string_view text, size_t bytes);
// The text of a fixed 8-bit field: up to the first NUL or chars.
std::string_view NarrowField(const char* field, size_t chars);
// Copies 8-bit text into a fixed field of `chars` bytes (terminator included).
void CopyNarrow(char* field, size_t chars, std::string_view text);

}  // namespace hvm
