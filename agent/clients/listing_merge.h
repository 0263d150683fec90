// Bringing the entry cache in line with one folder listing from a server:
// listed children are created or refreshed, children the server no longer
// names are dropped unless in use (then marked deleted on the server), and the
// kernel hears of what changed. Shared by the clients that list plainly.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/service/connection.h"

namespace hvm {

struct ListedChild {
  std::u16string name;        // one path component
  bool isDirectory = false;
  bool isLink = false;        // shown as what it points to
  uint64_t size = 0;
  FileTime lastWriteTime = 0; // 0: the server gave none; the entry keeps its own
};

// folder may be null (nothing cached for folderCachePath); children are then
// created without a parent. Returns false when an entry could not be made.
// mustStay (may be null) is kept like an entry in use when it vanished: its
// caller still holds it. changed (may be empty) hears of each known child the
// server changed, before the kernel does.
bool MergeListing(Connection& connection, std::u16string_view folderCachePath, FileEntry* folder,
                  const std::vector<ListedChild>& children, const FileEntry* mustStay = nullptr,
                  const std::function<void(FileEntry&)>& changed = {});

// Which items of one listing the cache takes (true) and which it leaves
// out. Names are compared without regard to case, so a server may list
// several for one entry; taking them all gave one file's size with another's
// bytes. Of several names for a cached entry the one spelled as the entry
// is taken, else the first listed; a file whose own spelling is gone takes
// the new one, unless it is in use (an upload must not reach another file),
// when the new name is left out. Of several new names the caller takes the
// first: a later one finds the entry the first one made in the same pass.
// childPaths holds each item's cache path, empty for the folder itself.
std::vector<bool> TakenSpellings(Connection& connection, std::u16string_view folderCachePath,
                                 const std::vector<std::u16string>& childPaths);
// The cache paths of a listing's items below folderCachePath (empty for an empty name).
template <typename Item>
std::vector<std::u16string> ChildPathsOf(std::u16string_view folderCachePath, const std::vector<Item>& items) {
  std::vector<std::u16string> paths;
  paths.reserve(items.size());
  for (const Item& item : items)
    paths.push_back(item.name.empty() ? std::u16string() : std::u16string(folderCachePath) + u"\\" + item.name);
  return paths;
}

// A created file the server gets only with its first upload: its absence
// from a listing is expected, not a deletion.
inline bool PendingFirstUpload(const FileEntry& entry) {
  return (entry.flags & kEntryCreatePending) && (entry.flags & kEntryWrittenLocally);
}

// Someone holds the entry (an open, a read, a local copy newer than the
// server's, the position of a folder query): a listing that no longer names
// it marks it deleted on the server instead of dropping it.
bool IsInUse(const Connection& connection, const FileEntry* entry);

// What the kernel may hold of a child: its kind, size and server time.
struct SeenState {
  bool directory;
  uint64_t size;
  FileTime modified;
};
SeenState SeenOf(const FileEntry& entry);
bool ChangedOnServer(const SeenState& before, const FileEntry& entry);
void TellServerChange(Connection& connection, const FileEntry& entry, uint16_t event);

// Drops each cached child of folder that listed does not hold, with
// everything below it; a subtree any part of which is in use (or is
// mustStay, which may be null) stays, marked deleted on the server.
void DropVanished(Connection& connection, FileEntry* folder, const std::vector<FileEntry*>& listed,
                  const FileEntry* mustStay);

// Stores what a listing said about one entry, unless its local copy is newer.
void StoreListedChild(FileEntry& entry, const ListedChild& child);

}  // namespace hvm
