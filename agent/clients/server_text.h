// Texts a server chose (an FTP reply line, an SSH disconnect message) end up
// in message boxes, logs and terminals: they are cut to a length, never inside
// a UTF-8 character, and lose their control characters, a terminal's escape
// sequences among them.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace hvm {

std::string ServerTextForUser(std::string_view text, size_t maxBytes = 255);

}  // namespace hvm
