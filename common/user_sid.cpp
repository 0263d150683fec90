// The current user's SID text: the usual form of a Unix user, "S-1-22-1-<uid>".
// The driver files a user's Connections under it.
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/moorlib.h"

namespace hvm {
namespace {

std::string CurrentUserSid() { return "S-1-22-1-" + std::to_string(getuid()); }

}  // namespace

int GetCurrentUserSidString(char* buffer, int length) {
  if (buffer != nullptr && length > 0) buffer[0] = 0;
  const std::string sid = CurrentUserSid();
  const auto needed = static_cast<int>(sid.size());
  if (buffer == nullptr || length <= 0) return needed;
  strncpy(buffer, sid.c_str(), static_cast<size_t>(length));
  // A text that fills the buffer exactly leaves no room for the terminator:
  // that too is reported with the needed length, never as success.
  return needed >= length ? needed : 0;
}

int GetCurrentUserSidString(char16_t* buffer, int length) {
  if (buffer == nullptr || length <= 0) return GetCurrentUserSidString(static_cast<char*>(nullptr), 0);
  std::string narrow(static_cast<size_t>(length), '\0');
  const int result = GetCurrentUserSidString(narrow.data(), length);
  // The SID text is ASCII: each byte is one character.
  size_t i = 0;
  for (; i < narrow.size() && narrow[i] != 0; ++i) buffer[i] = static_cast<unsigned char>(narrow[i]);
  if (i < static_cast<size_t>(length)) buffer[i] = 0;
  return result;
}

}  // namespace hvm
