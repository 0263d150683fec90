#include "agent/clients/server_text.h"

namespace hvm {

std::string ServerTextForUser(std::string_view text, size_t maxBytes) {
  if (text.size() > maxBytes) {
    size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut);
  }
  std::string shown(text);
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return shown;
}

}  // namespace hvm
