// How an entry is reported to callers: attributes, times, sizes.
#pragma once
#include <cstdint>

#include "agent/service/file_entry.h"

namespace hvm {

inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;

// 0x90 for a folder; 0x80 for a file, 0x81 when read-only (and, in listings,
// while it holds a lock).
uint32_t ReportedAttributes(const FileEntry& entry, bool forListing);
// The last-write time, or the change time (then also stored) when the
// last-write time is no calendar date from 1900 on.
FileTime ReportedLastWriteTime(FileEntry& entry);
// The size as reported: 0 while none is known.
uint64_t ReportedSize(const FileEntry& entry);

}  // namespace hvm
