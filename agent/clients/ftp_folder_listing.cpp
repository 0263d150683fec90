// Listing a folder with MLSD (LIST on servers without it) and bringing the
// entry cache in line: listed children are created or refreshed, children the
// server no longer names leave the cache unless something still uses them.
// A file is refreshed by listing its folder, so that its times come from the
// same kind of listing as before.
#include <algorithm>
#include <ctime>
#include <unordered_set>

#include "agent/clients/ftp_client.h"
#include "agent/service/ntstatus.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

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

void Tell(Connection& connection, const FileEntry& entry, uint16_t event) {
  if (connection.hooks.serverChanged) connection.hooks.serverChanged(connection, entry, event);
}

// True when the kernel's view of the entry changed.
bool StoreListed(FileEntry& entry, const FtpListedItem& item) {
  if (entry.flags & kEntryWrittenLocally) return false;  // the local copy is newer than the server's
  bool wasDirectory = entry.IsDirectory();
  uint64_t oldSize = entry.size;
  FileTime oldTime = entry.serverModifiedTime;
  FileTime time = item.modified ? item.modified : (entry.serverModifiedTime ? entry.serverModifiedTime : NowFileTime());
  entry.creationTime = time;
  entry.lastWriteTime = time;
  entry.changeTime = time;
  entry.serverModifiedTime = time;
  entry.flags &= ~kEntryDeletedOnServer;
  if (item.isDirectory) {
    entry.flags |= kEntryDirectory;
  } else {
    entry.flags &= ~kEntryDirectoryBits;
    entry.size = item.size;
  }
  return oldTime != 0 && (wasDirectory != item.isDirectory || oldTime != time || (!item.isDirectory && oldSize != item.size));
}

// The name as the drive shows it; empty when it is no valid UTF-8.
std::u16string DriveName(const std::string& name) {
  std::u16string wide = Utf8ToUtf16(name);
  return Utf16ToUtf8(wide) == name ? wide : std::u16string();
}

bool IsNoSuchCommand(long reply) { return reply == 500 || reply == 501 || reply == 502 || reply == 504; }

}  // namespace

NTSTATUS FtpClient::ListDirectory(std::u16string_view serverPath, FileEntry* entry, const char16_t*) {
  if (DWORD error = Connect()) return Failed(error, nullptr, STATUS_UNSUCCESSFUL);
  std::string path = FtpPathOf(serverPath);
  if (entry && !entry->IsDirectory()) {
    // A file: its folder's listing refreshes it, and tells whether it is still there.
    std::u16string_view parentCache = ParentPathOf(entry->Path());
    FileEntry* parent = connection_->entries.LookUp(parentCache);
    size_t slash = path.rfind('/');
    std::string folder(path, 0, slash == std::string::npos || slash == 0 ? 1 : slash);
    NTSTATUS status = ListFolder(folder, parentCache, parent, entry);
    if (status != STATUS_SUCCESS) return status;
    return (entry->flags & kEntryDeletedOnServer) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
  }
  std::u16string cachePath = CachePathOf(*connection_, serverPath);
  if (entry) cachePath.assign(entry->Path().data(), entry->Path().size());
  if (!entry) entry = connection_->entries.LookUp(cachePath);
  if (!entry && PathBelowConnection(*connection_, cachePath).empty()) entry = RootEntry();
  return ListFolder(path, cachePath, entry, entry);
}

DWORD FtpClient::FetchListing(const std::string& folder, std::vector<FtpListedItem>& items) {
  std::string text;
  DWORD error = 0;
  if (mlsd_ != Mlsd::No) {
    error = session_->List(folder, true, text);
    if (!error) {
      mlsd_ = Mlsd::Yes;
    } else if (IsNoSuchCommand(session_->lastReply())) {
      WideDbgPrint(u"ftp: no MLSD on this server, LIST from now on\n");
      mlsd_ = Mlsd::No;
    } else {
      return error;
    }
  }
  if (mlsd_ == Mlsd::No) {
    text.clear();
    error = session_->List(folder, false, text);
    if (error) return error;
  }
  items = ParseFtpListing(text, mlsd_ == Mlsd::Yes ? FtpListingForm::Mlsd : FtpListingForm::List,
                          static_cast<int64_t>(std::time(nullptr)));
  return 0;
}

NTSTATUS FtpClient::ListFolder(const std::string& folder, std::u16string_view cachePath, FileEntry* folderEntry,
                               FileEntry* mustStay) {
  std::vector<FtpListedItem> items;
  DWORD error = FetchListing(folder, items);
  if (error) {
    ReportFailure(mlsd_ == Mlsd::Yes ? "MLSD" : "LIST", error, Utf8ToUtf16(folder));
    return Failed(error, nullptr, STATUS_OBJECT_NAME_NOT_FOUND);
  }
  MergeListing(cachePath, folderEntry, items, mustStay);
  return STATUS_SUCCESS;
}

void FtpClient::MergeListing(std::u16string_view cachePath, FileEntry* folder, const std::vector<FtpListedItem>& items,
                             FileEntry* mustStay) {
  EntryCache& cache = connection_->entries;
  bool relisting = folder != nullptr && folder->lastRefreshTime != 0;
  bool childrenChanged = false;
  std::vector<FileEntry*> listed;
  for (const FtpListedItem& item : items) {
    std::u16string name = DriveName(item.name);
    if (name.empty()) {
      WideDbgPrint(u"ftp: a name that is no UTF-8 is left out: %s\n", item.name.c_str());
      continue;
    }
    if (name == u"Thumbs.db:encryptable") continue;
    std::u16string childPath = std::u16string(cachePath) + u"\\" + name;
    if (childPath.size() > kEntryMaxPathChars) continue;
    FileEntry* child = cache.LookUp(childPath);
    bool isNew = child == nullptr;
    if (!child) child = cache.NewEntry(childPath);
    if (!child) continue;
    child->parent = folder;
    if (StoreListed(*child, item)) {
      DropCache(child);
      Tell(*connection_, *child, child->IsDirectory() ? SHCNE_UPDATEDIR : SHCNE_UPDATEITEM);
    }
    child->lastRefreshTime = NowFileTime();
    listed.push_back(child);
    childrenChanged = childrenChanged || (isNew && relisting);
  }
  if (folder && folder->IsDirectory()) {
    size_t before = cache.size();
    DropVanished(folder, listed, mustStay);
    childrenChanged = childrenChanged || cache.size() < before;
    if (childrenChanged) Tell(*connection_, *folder, SHCNE_UPDATEDIR);
    folder->lastRefreshTime = NowFileTime();
  }
}

void FtpClient::DropVanished(FileEntry* folder, const std::vector<FileEntry*>& listed, FileEntry* mustStay) {
  std::unordered_set<const FileEntry*> named(listed.begin(), listed.end());
  std::u16string folderPath(folder->Path());
  EntryCache& cache = connection_->entries;
  // Each vanished child with everything below it, kept whole when any part is in use.
  std::vector<std::vector<FileEntry*>> subtrees;
  for (auto it = cache.LowerBound(folderPath + u"\\"); it != cache.end(); ++it) {
    FileEntry* e = *it;
    if (e == folder) continue;
    if (!PathIsAtOrBelow(e->Path(), folderPath)) break;
    std::u16string_view rest = e->Path().substr(folderPath.size());
    bool direct = rest.size() > 1 && rest.find(u'\\', 1) == std::u16string_view::npos;
    if (direct) {
      subtrees.push_back(named.count(e) ? std::vector<FileEntry*>{} : std::vector<FileEntry*>{e});
    } else if (!subtrees.empty() && !subtrees.back().empty()) {
      subtrees.back().push_back(e);
    }
  }
  for (auto& tree : subtrees) {
    if (tree.empty()) continue;
    bool used = std::any_of(tree.begin(), tree.end(),
                            [&](FileEntry* e) { return e == mustStay || IsInUse(*connection_, e); });
    if (used) {
      tree.front()->flags |= kEntryDeletedOnServer;
      continue;
    }
    const FileEntry& gone = *tree.front();
    Tell(*connection_, gone, gone.IsDirectory() ? SHCNE_RMDIR : SHCNE_DELETE);
    for (auto e = tree.rbegin(); e != tree.rend(); ++e) cache.DiscardEntry(*e, true);
  }
}

}  // namespace hvm
