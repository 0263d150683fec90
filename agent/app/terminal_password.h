// A password typed on the controlling terminal without echo, for
// `moorgate --connect` of a site that does not save its password.
#pragma once
#include <string>
#include <string_view>

namespace hvm {

// Writes prompt to the terminal and reads one line with echo off; false when
// there is no terminal or nothing was typed (end of input, Ctrl-D).
// At most maxBytes are kept.
bool ReadTerminalPassword(std::string_view prompt, std::string& password, size_t maxBytes);

}  // namespace hvm
