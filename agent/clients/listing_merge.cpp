#include "agent/clients/listing_merge.h"

#include <algorithm>
#include <unordered_set>

namespace hvm {
namespace {

bool IsInUse(const Connection& connection, const FileEntry* entry) {
  if (entry->useCount || entry->handleCount || (entry->flags & kEntryWrittenLocally) || entry->sections ||
      entry->readers.load() || connection.lastListed == entry)
    return true;
  for (OpenHandle* h = connection.openHandles.head(); h; h = h->next)
    if (h->entry == entry || h->position == entry) return true;
  return false;
}

struct SeenState {
  bool directory;
  uint64_t size;
  FileTime modified;
};

SeenState SeenOf(const FileEntry& entry) { return {entry.IsDirectory(), entry.size, entry.serverModifiedTime}; }

bool ChangedOnServer(const SeenState& before, const FileEntry& entry) {
  if (before.directory != entry.IsDirectory()) return true;
  if (before.modified != 0 && before.modified != entry.serverModifiedTime) return true;
  return !entry.IsDirectory() && before.size != entry.size;
}

void TellServerChange(Connection& connection, const FileEntry& entry, uint16_t event) {
  if (connection.hooks.serverChanged) connection.hooks.serverChanged(connection, entry, event);
}

// Each vanished child goes with everything below it; a subtree any part of
// which is in use stays, marked deleted on the server.
void DropVanished(Connection& connection, FileEntry* folder, const std::vector<FileEntry*>& listed,
                  const FileEntry* mustStay) {
  std::unordered_set<const FileEntry*> named(listed.begin(), listed.end());
  std::u16string folderPath(folder->Path());
  EntryCache& cache = connection.entries;
  std::vector<std::vector<FileEntry*>> subtrees;
  for (auto it = cache.LowerBound(folderPath + u"\\"); it != cache.end(); ++it) {
    FileEntry* e = *it;
    if (e == folder) continue;
    if (!PathIsAtOrBelow(e->Path(), folderPath)) break;
    std::u16string_view rest = e->Path().substr(folderPath.size());
    bool direct = rest.size() > 1 && rest.find(u'\\', 1) == std::u16string_view::npos;
    if (direct) {
      if (named.count(e)) subtrees.emplace_back();
      else subtrees.push_back({e});
    } else if (!subtrees.empty() && !subtrees.back().empty()) {
      subtrees.back().push_back(e);
    }
  }
  for (auto& tree : subtrees) {
    if (tree.empty() || PendingFirstUpload(*tree.front())) continue;
    if (std::any_of(tree.begin(), tree.end(),
                    [&](FileEntry* e) { return e == mustStay || IsInUse(connection, e); })) {
      tree.front()->flags |= kEntryDeletedOnServer;
      continue;
    }
    const FileEntry& gone = *tree.front();
    TellServerChange(connection, gone, gone.IsDirectory() ? SHCNE_RMDIR : SHCNE_DELETE);
    for (auto e = tree.rbegin(); e != tree.rend(); ++e) cache.DiscardEntry(*e, true);
  }
}

}  // namespace

void StoreListedChild(FileEntry& entry, const ListedChild& child) {
  if (entry.flags & kEntryWrittenLocally) return;  // the local copy is newer than the server's
  if (child.lastWriteTime != 0) {
    entry.lastWriteTime = child.lastWriteTime;
    if (entry.creationTime == 0) entry.creationTime = child.lastWriteTime;
  } else if (entry.lastWriteTime == 0) {
    entry.lastWriteTime = entry.creationTime = NowFileTime();
  }
  entry.changeTime = entry.lastWriteTime;
  entry.serverModifiedTime = entry.lastWriteTime;
  entry.flags &= ~kEntryDeletedOnServer;
  if (child.isLink) entry.flags |= kEntrySpecial;
  else entry.flags &= ~kEntrySpecial;
  if (child.isDirectory) {
    entry.flags |= kEntryDirectory;
  } else {
    entry.flags &= ~kEntryDirectoryBits;
    entry.size = child.size;
  }
}

bool MergeListing(Connection& connection, std::u16string_view folderCachePath, FileEntry* folder,
                  const std::vector<ListedChild>& children, const FileEntry* mustStay,
                  const std::function<void(FileEntry&)>& changed) {
  bool relisting = folder != nullptr && folder->lastRefreshTime != 0;
  bool childrenChanged = false;
  std::vector<FileEntry*> listed;
  listed.reserve(children.size());
  for (const ListedChild& item : children) {
    std::u16string childPath = std::u16string(folderCachePath) + u"\\" + item.name;
    if (childPath.size() > kEntryMaxPathChars) continue;
    FileEntry* child = connection.entries.LookUp(childPath);
    bool isNew = child == nullptr;
    if (!child) child = connection.entries.NewEntry(childPath);
    if (!child) return false;
    SeenState before = SeenOf(*child);
    child->parent = folder;
    StoreListedChild(*child, item);
    child->lastRefreshTime = NowFileTime();
    listed.push_back(child);
    if (isNew) {
      childrenChanged = childrenChanged || relisting;
    } else if (ChangedOnServer(before, *child)) {
      if (changed) changed(*child);
      TellServerChange(connection, *child, child->IsDirectory() ? SHCNE_UPDATEDIR : SHCNE_UPDATEITEM);
    }
  }
  if (folder && folder->IsDirectory()) {
    size_t cached = connection.entries.size();
    DropVanished(connection, folder, listed, mustStay);
    if (connection.entries.size() < cached) childrenChanged = true;
  }
  if (folder && childrenChanged) TellServerChange(connection, *folder, SHCNE_UPDATEDIR);
  if (folder) folder->lastRefreshTime = NowFileTime();
  return true;
}

}  // namespace hvm
