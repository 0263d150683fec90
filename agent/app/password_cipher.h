// The enciphered form of a site password kept in the registry value
// "Settings": AES-256-GCM under a key built into the agent, a fresh random
// nonce per write, stored as text. The tag makes a damaged or foreign value
// detectable, so it can read as "no password saved" instead of as garbage.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace hvm {

// The longest stored text the registry value may hold (bytes, terminator included).
inline constexpr size_t kSettingsValueBytes = 256;
// The longest password that is enciphered (bytes).
inline constexpr size_t kCipherPasswordBytes = 59;

// The text to store for password; false when it is too long or the cipher failed.
bool EncipherPassword(std::string_view password, std::string& stored);
// The password behind a stored text; false for a damaged, foreign or
// unsupported value (password is then empty). What password held before is
// wiped, and so is every buffer the clear text passed through.
bool DecipherPassword(std::string_view stored, std::string& password);
// The same into clear, a buffer of room bytes the caller owns; length tells
// how many bytes the password has. The cipher writes the clear text before
// it checks the tag, so on every failure all of clear is wiped.
bool DecipherPasswordInto(std::string_view stored, unsigned char* clear, size_t room, size_t& length);

}  // namespace hvm
