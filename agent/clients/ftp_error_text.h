// The English texts of the WinINet codes the FTP client reports.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hvm {

// The text of a WinINet code (ending in one blank), or null when it is not one.
const char16_t* FtpInetErrorText(uint32_t code);
// The agent's text of a code outside WinINet's space (system text, else the number), in buffer.
const char16_t* FtpFallbackErrorText(uint32_t code, char16_t* buffer, size_t chars);

}  // namespace hvm
