// FileEntry records and the sections background jobs attach to them.
#include "agent/service/file_entry.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

namespace hvm {

FileEntry::FileEntry() = default;

FileEntry::~FileEntry() {
  DetachAllSections(*this);
  if (localCopy != kNoFile) close(localCopy);
  if (secondCopy != kNoFile) close(secondCopy);
}

std::u16string_view FileEntry::Path() const { return std::u16string_view(path, pathChars); }

// A path ends at its first NUL, as the fixed array it is kept in does.
void FileEntry::SetPath(std::u16string_view newPath) {
  size_t n = std::min(newPath.size(), kEntryMaxPathChars);
  n = std::min(n, newPath.substr(0, n).find(u'\0'));
  std::fill(std::begin(path), std::end(path), u'\0');
  std::copy_n(newPath.data(), n, path);
  pathChars = static_cast<uint16_t>(n);
}

std::u16string_view FileEntry::Name() const {
  std::u16string_view p = Path();
  size_t slash = p.rfind(u'\\');
  if (slash == std::u16string_view::npos) return {};
  return p.substr(slash + 1);
}

bool AttachSection(FileEntry& entry, AttachedSection* section, uint8_t kind, bool ownLock) {
  if (section == nullptr) return false;
  std::lock_guard<std::recursive_mutex> guard(entry.lock);
  AttachedSection** link = &entry.sections;
  for (; *link != nullptr; link = &(*link)->next) {
    if (*link == section) return false;
  }
  section->kind = kind;
  section->detached = false;
  section->next = nullptr;
  if (ownLock && !section->lock) section->lock = std::make_unique<std::mutex>();
  *link = section;
  if (entry.owner != nullptr) entry.owner->NoteSectionAttached();
  return true;
}

namespace {

// Unlinks under the entry lock; true when it was there.
bool UnlinkSection(FileEntry& entry, AttachedSection* section) {
  std::lock_guard<std::recursive_mutex> guard(entry.lock);
  for (AttachedSection** link = &entry.sections; *link != nullptr; link = &(*link)->next) {
    if (*link == section) {
      *link = section->next;
      section->next = nullptr;
      return true;
    }
  }
  return false;
}

void EndSection(AttachedSection* section) {
  section->detached = true;
  if (section->cleanup) section->cleanup(*section);
  delete section;
}

}  // namespace

void DetachSection(FileEntry& entry, AttachedSection* section) {
  if (section == nullptr) return;
  EntryCache* owner = entry.owner;
  std::unique_lock<std::mutex> deferredGuard;
  if (owner != nullptr) deferredGuard = owner->LockDeferred();
  if (!UnlinkSection(entry, section)) return;
  bool freeEntry = false;
  if (owner != nullptr) {
    std::lock_guard<std::recursive_mutex> guard(entry.lock);
    freeEntry = entry.sections == nullptr && owner->TakeDeferredLocked(&entry);
  }
  if (deferredGuard.owns_lock()) deferredGuard.unlock();
  EndSection(section);
  // A parked entry goes with its last section; it is no longer in any cache.
  if (freeEntry) owner->FreeEntry(&entry, false);
}

void DetachAllSections(FileEntry& entry) {
  std::vector<AttachedSection*> list;
  {
    std::lock_guard<std::recursive_mutex> guard(entry.lock);
    for (AttachedSection* s = entry.sections; s != nullptr; s = s->next) list.push_back(s);
    entry.sections = nullptr;
  }
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    (*it)->next = nullptr;
    EndSection(*it);
  }
}

}  // namespace hvm
