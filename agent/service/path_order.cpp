// The order of the entry cache: case-insensitive, backslash lowest.
#include <algorithm>

#include "agent/service/file_entry.h"

namespace hvm {
namespace {

// Simple upper-case mapping for the scripts names usually use.
char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
      (c >= 0x430 && c <= 0x44F))
    return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  // Latin Extended-A pairs: upper on even code points, except in the two
  // runs where the upper letter sits on the odd one.
  bool evenUpper = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
  bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
  if (evenUpper && (c & 1)) return static_cast<char16_t>(c - 1);
  if (oddUpper && !(c & 1)) return static_cast<char16_t>(c - 1);
  return c;
}

uint32_t OrderKey(char16_t c) { return c == u'\\' ? 0u : uint32_t{FoldCase(c)} + 1u; }

}  // namespace

int ComparePaths(std::u16string_view a, std::u16string_view b) {
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    uint32_t ka = OrderKey(a[i]);
    uint32_t kb = OrderKey(b[i]);
    if (ka != kb) return ka < kb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool PathIsAtOrBelow(std::u16string_view path, std::u16string_view prefix) {
  if (path.size() < prefix.size()) return false;
  if (ComparePaths(path.substr(0, prefix.size()), prefix) != 0) return false;
  return path.size() == prefix.size() || path[prefix.size()] == u'\\';
}

bool EntryPathLess::operator()(const FileEntry* a, const FileEntry* b) const {
  return ComparePaths(a->Path(), b->Path()) < 0;
}
bool EntryPathLess::operator()(const FileEntry* a, std::u16string_view b) const {
  return ComparePaths(a->Path(), b) < 0;
}
bool EntryPathLess::operator()(std::u16string_view a, const FileEntry* b) const {
  return ComparePaths(a, b->Path()) < 0;
}

}  // namespace hvm
