// Kept apart from the client: the error-text and remote-client headers both
// name the buffer size, so they are not included into one file.
#include "agent/clients/webdav_error_text.h"

#include "agent/app/error_texts.h"

namespace hvm {

const char16_t* WebDavErrorText(uint32_t code, char16_t* buffer, size_t chars) {
  return GetErrorText(code, buffer, chars);
}

}  // namespace hvm
