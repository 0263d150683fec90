// The user-visible text of a code the WebDAV client met (HTTP status,
// WinHTTP or Windows error, the agent's own codes), through the agent's
// language and English tables.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hvm {

const char16_t* WebDavErrorText(uint32_t code, char16_t* buffer, size_t chars);

}  // namespace hvm
