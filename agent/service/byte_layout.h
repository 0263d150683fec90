// Writing Windows structures field by field at their byte offsets.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace hvm {

inline void Put8(uint8_t* base, size_t offset, uint8_t value) { base[offset] = value; }
inline void Put32(uint8_t* base, size_t offset, uint32_t value) {
  std::memcpy(base + offset, &value, sizeof value);
}
inline void Put64(uint8_t* base, size_t offset, uint64_t value) {
  std::memcpy(base + offset, &value, sizeof value);
}
inline void PutWide(uint8_t* base, size_t offset, std::u16string_view text) {
  std::memcpy(base + offset, text.data(), text.size() * sizeof(char16_t));
}
inline uint32_t Get32(const uint8_t* base, size_t offset) {
  uint32_t value;
  std::memcpy(&value, base + offset, sizeof value);
  return value;
}
inline uint64_t Get64(const uint8_t* base, size_t offset) {
  uint64_t value;
  std::memcpy(&value, base + offset, sizeof value);
  return value;
}

}  // namespace hvm
