// The per-Connection entry cache and the deferred list.
#include <unistd.h>

#include <algorithm>
#include <new>

#include "agent/service/file_entry.h"

namespace hvm {

EntryCache::~EntryCache() {
  std::vector<FileEntry*> all(entries_.begin(), entries_.end());
  entries_.clear();
  for (FileEntry* entry : all) delete entry;
  std::lock_guard<std::mutex> guard(deferredLock_);
  for (FileEntry* entry : deferred_) delete entry;
  deferred_.clear();
}

FileEntry* EntryCache::LookUp(std::u16string_view path) const {
  if (path.size() > kEntryMaxPathChars) path = path.substr(0, kEntryMaxPathChars);
  auto it = entries_.find(path);
  return it == entries_.end() ? nullptr : *it;
}

bool EntryCache::Insert(FileEntry* entry) {
  if (entry == nullptr) return false;
  return entries_.insert(entry).second;
}

FileEntry* EntryCache::NewEntry(std::u16string_view path) {
  auto* entry = new (std::nothrow) FileEntry();
  if (entry == nullptr) return nullptr;
  entry->SetPath(path);
  entry->owner = this;
  if (!Insert(entry)) {
    delete entry;
    return nullptr;
  }
  return entry;
}

FileEntry* EntryCache::FindOrNewEntry(std::u16string_view path, bool& made) {
  made = false;
  if (path.size() > kEntryMaxPathChars) path = path.substr(0, kEntryMaxPathChars);
  auto at = entries_.lower_bound(path);
  if (at != entries_.end() && ComparePaths((*at)->Path(), path) == 0) return *at;
  auto* entry = new (std::nothrow) FileEntry();
  if (entry == nullptr) return nullptr;
  entry->SetPath(path);
  entry->owner = this;
  entries_.insert(at, entry);
  made = true;
  return entry;
}

FileEntry* EntryCache::CloneEntry(const FileEntry& from, std::u16string_view path) {
  auto* entry = new (std::nothrow) FileEntry();
  if (entry == nullptr) return nullptr;
  entry->parent = from.parent;
  entry->fileToken = from.fileToken;
  entry->creationTime = from.creationTime;
  entry->changeTime = from.changeTime;
  entry->lastWriteTime = from.lastWriteTime;
  entry->serverModifiedTime = from.serverModifiedTime;
  entry->lastRefreshTime = from.lastRefreshTime;
  entry->childrenListedTime = from.childrenListedTime;
  entry->size = from.size;
  entry->useCount = from.useCount;
  entry->handleCount = from.handleCount;
  entry->lockCount = from.lockCount;
  entry->readCount = from.readCount;
  entry->lockToken = from.lockToken;
  // Each record closes its own descriptors, so the copy gets duplicates.
  entry->localCopy = from.localCopy == kNoFile ? kNoFile : dup(from.localCopy);
  entry->secondCopy = from.secondCopy == kNoFile ? kNoFile : dup(from.secondCopy);
  entry->backgroundUsers = from.backgroundUsers;
  entry->flags = from.flags;
  entry->owner = this;
  entry->SetPath(path);
  if (!Insert(entry)) {
    delete entry;
    return nullptr;
  }
  return entry;
}

void EntryCache::Remove(FileEntry* entry) {
  if (entry == nullptr) return;
  auto it = entries_.find(entry->Path());
  if (it != entries_.end() && *it == entry) entries_.erase(it);
}

void EntryCache::FreeEntry(FileEntry* entry, bool alsoRemove) {
  if (entry == nullptr) return;
  DetachAllSections(*entry);
  entry->lockToken.clear();
  if (entry->localCopy != kNoFile) close(entry->localCopy);
  entry->localCopy = kNoFile;
  if (entry->secondCopy != kNoFile) close(entry->secondCopy);
  entry->secondCopy = kNoFile;
  if (alsoRemove && !entries_.empty()) Remove(entry);
  delete entry;
}

void EntryCache::DiscardEntry(FileEntry* entry, bool alsoRemove) {
  if (entry == nullptr) return;
  {
    std::lock_guard<std::mutex> deferredGuard(deferredLock_);
    std::lock_guard<std::recursive_mutex> entryGuard(entry->lock);
    if (entry->sections != nullptr) {
      if (alsoRemove && !entries_.empty()) Remove(entry);
      entry->owner = this;
      deferred_.push_back(entry);
      return;
    }
  }
  FreeEntry(entry, alsoRemove);
}

bool EntryCache::Contains(const FileEntry* entry) const {
  if (entry == nullptr) return false;
  auto it = entries_.find(entry->Path());
  return it != entries_.end() && *it == entry;
}

EntryCache::Iterator EntryCache::Find(const FileEntry* entry) const {
  if (entry == nullptr) return entries_.end();
  auto it = entries_.find(entry->Path());
  return (it != entries_.end() && *it == entry) ? it : entries_.end();
}

bool EntryCache::SectionWalkDue() {
  bool attached = sectionAttached_.exchange(false);
  if (attached || sectionsLeft_ || ++roundsWithoutWalk_ >= kSectionWalkRounds) {
    roundsWithoutWalk_ = 0;
    return true;
  }
  return false;
}

size_t EntryCache::DeferredCount() const {
  std::lock_guard<std::mutex> guard(deferredLock_);
  return deferred_.size();
}

std::unique_lock<std::mutex> EntryCache::LockDeferred() const {
  return std::unique_lock<std::mutex>(deferredLock_);
}

bool EntryCache::TakeDeferredLocked(FileEntry* entry) {
  auto it = std::find(deferred_.begin(), deferred_.end(), entry);
  if (it == deferred_.end()) return false;
  // A job that still counts itself a reader touches the entry after its last
  // section went: the entry stays parked and the housekeeping frees it later.
  if (entry->readers.load() >= 1) return false;
  deferred_.erase(it);
  return true;
}

size_t EntryCache::FreeDeferred(const std::function<bool(const FileEntry&)>& held) {
  std::vector<FileEntry*> unheld;
  {
    std::lock_guard<std::mutex> guard(deferredLock_);
    auto kept = std::stable_partition(deferred_.begin(), deferred_.end(), [&held](FileEntry* entry) {
      std::lock_guard<std::recursive_mutex> entryGuard(entry->lock);
      return held(*entry);
    });
    unheld.assign(kept, deferred_.end());
    deferred_.erase(kept, deferred_.end());
  }
  // Ending a section may wait for its job, which takes the deferred lock to detach.
  for (FileEntry* entry : unheld) FreeEntry(entry, false);
  return unheld.size();
}

}  // namespace hvm
