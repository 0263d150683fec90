#include "agent/clients/listing_merge.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace hvm {

bool IsInUse(const Connection& connection, const FileEntry* entry) {
  if (entry->useCount || entry->handleCount || (entry->flags & kEntryWrittenLocally) || entry->sections ||
      entry->readers.load() || connection.lastListed == entry)
    return true;
  for (OpenHandle* h = connection.openHandles.head(); h; h = h->next)
    if (h->entry == entry || h->position == entry) return true;
  return false;
}

SeenState SeenOf(const FileEntry& entry) { return {entry.IsDirectory(), entry.size, entry.serverModifiedTime}; }

// A time the service made up itself (0) is no server state to compare with.
bool ChangedOnServer(const SeenState& before, const FileEntry& entry) {
  if (before.directory != entry.IsDirectory()) return true;
  if (before.modified != 0 && before.modified != entry.serverModifiedTime) return true;
  return !entry.IsDirectory() && before.size != entry.size;
}

void TellServerChange(Connection& connection, const FileEntry& entry, uint16_t event) {
  if (connection.hooks.serverChanged) connection.hooks.serverChanged(connection, entry, event);
}

void DropVanished(Connection& connection, FileEntry* folder, const std::vector<FileEntry*>& listed,
                  const FileEntry* mustStay) {
  std::vector<const FileEntry*> named(listed.begin(), listed.end());
  std::sort(named.begin(), named.end());
  std::u16string folderPath(folder->Path());
  EntryCache& cache = connection.entries;
  // Each vanished child with everything below it.
  std::vector<std::vector<FileEntry*>> subtrees;
  for (auto it = cache.LowerBound(folderPath + u"\\"); it != cache.end(); ++it) {
    FileEntry* e = *it;
    if (e == folder) continue;
    if (!PathIsAtOrBelow(e->Path(), folderPath)) break;
    std::u16string_view rest = e->Path().substr(folderPath.size());
    bool direct = rest.size() > 1 && rest.find(u'\\', 1) == std::u16string_view::npos;
    if (direct) {
      // A listed child gets a placeholder that collects nothing.
      if (std::binary_search(named.begin(), named.end(), e)) subtrees.emplace_back();
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

namespace {

// The listed spelling a cached entry takes; exact tells whether it is the entry's own.
struct Pick {
  size_t index;
  bool exact;
};

}  // namespace

std::vector<bool> TakenSpellings(Connection& connection, std::u16string_view folderCachePath,
                                 const std::vector<std::u16string>& paths) {
  EntryCache& cache = connection.entries;
  std::vector<bool> taken(paths.size(), true);
  // A folder with nothing cached below it (a first listing) has no spellings to keep.
  auto below = cache.LowerBound(std::u16string(folderCachePath) + u"\\");
  if (below == cache.end() || !PathIsAtOrBelow((*below)->Path(), folderCachePath) ||
      (*below)->Path().size() <= folderCachePath.size())
    return taken;
  std::unordered_map<FileEntry*, Pick> picks;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (paths[i].empty()) continue;  // the folder itself
    FileEntry* entry = cache.LookUp(paths[i]);
    if (entry == nullptr) continue;  // new: the caller keeps the first of several
    taken[i] = false;
    bool exact = entry->Path() == paths[i];
    auto [at, first] = picks.try_emplace(entry, Pick{i, exact});
    if (!first && exact && !at->second.exact) at->second = Pick{i, true};
  }
  for (auto& [entry, pick] : picks) {
    if (!pick.exact && !entry->IsDirectory()) {
      if (IsInUse(connection, entry)) continue;  // left out: an upload must not reach another file
      cache.Remove(entry);
      entry->SetPath(paths[pick.index]);
      cache.Insert(entry);
    }
    taken[pick.index] = true;
  }
  return taken;
}

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
  std::vector<std::u16string> paths = ChildPathsOf(folderCachePath, children);
  std::vector<bool> taken = TakenSpellings(connection, folderCachePath, paths);
  std::unordered_set<const FileEntry*> made;
  for (size_t i = 0; i < children.size(); ++i) {
    const ListedChild& item = children[i];
    const std::u16string& childPath = paths[i];
    if (childPath.size() > kEntryMaxPathChars || !taken[i]) continue;
    FileEntry* child = connection.entries.LookUp(childPath);
    bool isNew = child == nullptr;
    if (!isNew && made.count(child)) continue;  // a second spelling of a name made just now
    if (!child) child = connection.entries.NewEntry(childPath);
    if (!child) return false;
    if (isNew) made.insert(child);
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
