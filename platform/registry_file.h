// The registry's text form: the ".reg" layout regedit exports, read into and
// written from an in-memory tree of keys and values.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\KOLV\Halvenmoor\site1]
//   "Url"="http://host/dav/"          REG_SZ; \\ and \" are the only escapes
//   "Auto"=dword:00000001             REG_DWORD
//   "Blob"=hex:01,02,ff               REG_BINARY, long lists continue after ",\"
//   "Path"=hex(2):25,00,54,00,00,00   REG_EXPAND_SZ and every other type: hex(<type>)
//   @="..."                           the key's default value
//
// Strings that the quoted form cannot carry exactly (line breaks, inner NULs,
// no terminator, broken UTF-16) are written as hex(1), so nothing is lost.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace hvm {

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

struct RegValue {
  std::u16string name;  // empty: the default value
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct RegKeyNode {
  std::u16string path;           // below the root, components joined by '\'; as first written
  std::vector<RegValue> values;  // in the order they were first set
};

// Key paths compare without regard to case, as the registry does.
struct NoCaseLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const;
};
using RegistryTree = std::map<std::u16string, RegKeyNode, NoCaseLess>;

// What parsing a text cost: value names compared while values were stored.
struct RegParseCounts {
  uint64_t nameComparisons = 0;
};

// Parses a file's text. Every key lies under rootName ("HKEY_CURRENT_USER");
// parents of a key exist even when the text does not name them. A value
// named twice in one key keeps its first place and the data written last.
// On failure problem reads "<fileName>:<line>: <what is wrong>". counts,
// when given, is added to.
bool ParseRegText(std::string_view text, const std::string& fileName,
                  std::u16string_view rootName, RegistryTree& tree, std::string& problem,
                  RegParseCounts* counts = nullptr);
// The text of a tree, keys in case-insensitive order (parents first).
std::string FormatRegText(const RegistryTree& tree, std::u16string_view rootName);

// Adds path and every parent of it that is missing.
void AddKeyWithParents(RegistryTree& tree, const std::u16string& path);

}  // namespace hvm
