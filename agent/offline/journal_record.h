// One record of a site's offline journal ("<site>.sys") and of its list of
// changes under way ("<site>.pending"): fixed 536 bytes in the machine's
// byte order, so that a record is always rewritten in place.
#pragma once
#include <cstddef>
#include <cstdint>

#include "agent/service/file_time.h"

namespace hvm {

inline constexpr size_t kJournalPathChars = 260;

// JournalRecord::state in the journal.
inline constexpr uint32_t kJournalFree = 1;
inline constexpr uint32_t kJournalFolder = 2;       // folder available offline
inline constexpr uint32_t kJournalFolderTree = 4;   // ... with all its subfolders
inline constexpr uint32_t kJournalFile = 8;         // file copied

// JournalRecord::state in the list of changes under way. Time: the local
// file's modification time when the upload began, or the journal's server
// time of a file deleted while offline.
inline constexpr uint32_t kPendingUpload = 16;
inline constexpr uint32_t kPendingDelete = 32;

#pragma pack(push, 1)
struct JournalRecord {
  uint32_t state;                        // 0
  uint32_t reserved;                     // 4: written as 0
  char16_t path[kJournalPathChars];      // 8: "\dir\file", zero-terminated
  FileTime serverTime;                   // 528
};
#pragma pack(pop)

static_assert(sizeof(JournalRecord) == 536);
static_assert(offsetof(JournalRecord, state) == 0);
static_assert(offsetof(JournalRecord, reserved) == 4);
static_assert(offsetof(JournalRecord, path) == 8);
static_assert(offsetof(JournalRecord, serverTime) == 528);

}  // namespace hvm
