// The status and message record of the request being answered, handed to the
// protocol clients with every operation.
#pragma once
#include <cstdint>
#include <string>

#include "agent/service/file_entry.h"
#include "platform/win32.h"

namespace hvm {

inline constexpr size_t kReplyMessageChars = 260;  // 259 and a terminator

struct ReplyArea {
  NTSTATUS status = 0;
  char16_t message[kReplyMessageChars] = {};  // the client's text when it fails
  char16_t path[kEntryPathChars] = {};        // cache path of the request's name
  std::u16string serverPath;                  // server path of that name
  uint32_t connectionHandle = 0;              // for a pending answer's IOCTL_CLEANUP_DONE
  uint32_t requestId = 0;
};

}  // namespace hvm
