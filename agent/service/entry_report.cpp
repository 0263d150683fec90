#include "agent/service/entry_report.h"

namespace hvm {

uint32_t ReportedAttributes(const FileEntry& entry, bool forListing) {
  if (entry.IsDirectory()) return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL;
  bool readOnly = entry.IsReadOnly() || (forListing && entry.lockCount != 0);
  return FILE_ATTRIBUTE_NORMAL | (readOnly ? FILE_ATTRIBUTE_READONLY : 0);
}

FileTime ReportedLastWriteTime(FileEntry& entry) {
  if (!IsValidCalendarTime(entry.lastWriteTime)) entry.lastWriteTime = entry.changeTime;
  return entry.lastWriteTime;
}

uint64_t ReportedSize(const FileEntry& entry) { return entry.size == kNoSize ? 0 : entry.size; }

}  // namespace hvm
