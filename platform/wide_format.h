// printf-style formatting into UTF-16: %d %i %u %x %X %ld %lu %lx %lld %llx %c %s
// (8-bit text) %ws and %S (wide), %ls, %p, %%, widths, precisions ("%.*ws") and flags.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <string>

namespace hvm {

// Writes at most chars-1 characters and a terminator. Returns the length the
// full result has, or -1 when it did not fit (the output is then cut).
int FormatWideV(char16_t* buffer, size_t chars, const char16_t* format, va_list args);
int FormatWideBuf(char16_t* buffer, size_t chars, const char16_t* format, ...);
std::u16string FormatWide(const char16_t* format, ...);

}  // namespace hvm
