// The data of one language library: its error catalogue and its string
// table, each a list of (number, text) pairs. Every library defines both.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hvm::lang {

struct CatalogueEntry {
  uint32_t key;  // error code (negative codes as their 32-bit pattern) or string number
  const char16_t* text;
};

extern const CatalogueEntry kErrorTexts[];
extern const size_t kErrorTextCount;
extern const CatalogueEntry kStrings[];
extern const size_t kStringCount;

// The agent's own negative codes as they arrive.
constexpr uint32_t Own(int32_t code) { return static_cast<uint32_t>(code); }

}  // namespace hvm::lang
