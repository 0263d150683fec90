// UTF-16 text helpers for the fixed wide arrays of records and entries.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace hvm {

std::u16string Utf8ToUtf16(std::string_view utf8);     // invalid bytes become U+FFFD
std::string Utf16ToUtf8(std::u16string_view utf16);    // lone surrogates become U+FFFD
// The text of a fixed array: up to the first NUL or maxChars.
std::u16string_view WideField(const char16_t* field, size_t maxChars);
// Copies at most dstChars-1 characters and terminates; returns the characters copied.
size_t CopyWide(char16_t* dst, size_t dstChars, std::u16string_view src);
// Ordinal comparison ignoring case (simple upper-case mapping), <0, 0, >0.
int CompareNoCase(std::u16string_view a, std::u16string_view b);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);
// text in upper case by the same mapping: equal for two texts exactly when
// EqualsNoCase is true, so it can key a plain ordered index.
std::u16string UpperCaseSimple(std::u16string_view text);
// A control character (U+0001 to U+001F, U+007F) in text. Listings leave
// names with one out, so no new file, folder or copy may take such a name:
// it would be made on the server and never be seen again.
bool HasControlCharacters(std::u16string_view text);

}  // namespace hvm
