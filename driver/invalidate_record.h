// Input of IOCTL_INVALIDATE_PATH: a path changed on the server, so the kernel
// must forget its cached entry and attributes. Same head as InternalRequest.
#pragma once
#include <cstddef>
#include <cstdint>

#include "agent/service/channel_records.h"

namespace hvm::driver {

#pragma pack(push, 1)
struct InvalidatePathRecord {
  uint8_t marker;                       // 0: 0xFF
  uint8_t padding;                      // 1
  char16_t sid[kSidChars];              // 2: the caller's own SID
  char16_t name[kConnectionNameChars];  // 122: connection name
  char16_t path[kPathChars];            // 248: path below the connection, "\docs\a.txt"
};
#pragma pack(pop)

static_assert(sizeof(InvalidatePathRecord) == 768);
static_assert(offsetof(InvalidatePathRecord, sid) == 2);
static_assert(offsetof(InvalidatePathRecord, name) == 122);
static_assert(offsetof(InvalidatePathRecord, path) == 248);

}  // namespace hvm::driver
