// Listing a folder (or refreshing one file) with PROPFIND, and bringing the
// entry cache in line with the reply: listed children are created or
// refreshed, children the server no longer names are dropped unless in use.
#include <algorithm>
#include <unordered_set>

#include "agent/clients/listing_merge.h"
#include "agent/clients/webdav_client.h"
#include "agent/clients/webdav_dates.h"
#include "agent/clients/webdav_multistatus.h"
#include "agent/clients/webdav_sections.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

bool IsPlainFile(const FileEntry* entry) { return entry && !entry->IsDirectory(); }

// A job is still working on the entry, or someone reads it right now.
bool IsBusy(FileEntry* entry) {
  if (entry->readers.load() != 0) return true;
  std::lock_guard<std::recursive_mutex> guard(entry->lock);
  for (AttachedSection* s = entry->sections; s; s = s->next)
    if (auto* block = dynamic_cast<WebDavSection*>(s); block && !block->IsFinished()) return true;
  return false;
}

// A time the reply did not carry (or that could not be read) keeps the one the
// entry had, or becomes the current time for a new entry. The server's
// modification time stays 0 then: a made-up time is no change on the server.
void StoreListed(FileEntry& entry, const ListedItem& item) {
  if (item.keepsTimes) entry.flags |= kEntryServerKeepsTimes;
  else entry.flags &= ~kEntryServerKeepsTimes;
  if (entry.flags & kEntryWrittenLocally) return;  // the local copy is newer than the server's
  FileTime now = NowFileTime();
  if (item.creationTime) entry.creationTime = item.creationTime;
  else if (!entry.creationTime) entry.creationTime = now;
  if (item.lastWriteTime) entry.lastWriteTime = item.lastWriteTime;
  else if (!entry.lastWriteTime) entry.lastWriteTime = now;
  entry.changeTime = entry.lastWriteTime;
  entry.serverModifiedTime = item.lastWriteTime;
  entry.flags &= ~kEntryDeletedOnServer;
  if (item.isDirectory) {
    entry.flags |= kEntryDirectory;
  } else {
    entry.flags &= ~kEntryDirectoryBits;
    entry.size = item.size;
  }
}

}  // namespace

NTSTATUS WebDavClient::ListDirectory(std::u16string_view serverPath, FileEntry* entry, const char16_t*) {
  if (IsPlainFile(entry) && !entry->Name().empty() && entry->Name().front() == u'~') return STATUS_SUCCESS;
  if (IsPlainFile(entry) && BannerContains(u"lighttpd")) return HeadRefresh(serverPath, entry);
  if (entry && IsBusy(entry)) return STATUS_SUCCESS;
  // The first listing after connecting is made like any other; only its
  // failures stay unreported.
  std::u16string path(serverPath);
  if ((entry == nullptr || entry->IsDirectory()) && !path.empty() && path.back() != u'/') path += u'/';
  int32_t status = PerformRequest('D', entry, path, nullptr, {}, nullptr, 0, 0, nullptr);
  quiet_ = false;
  if (status < 0) return STATUS_INSUFFICIENT_RESOURCES;
  // No HTTP answer at all (refused, timed out): the server is not reachable.
  if (status >= kFirstTransportError) return STATUS_UNEXPECTED_NETWORK_ERROR;
  if (IsSuccessStatus(status)) {
    std::u16string cachePath = entry ? std::u16string(entry->Path()) : connection_->RootPath();
    return ParseListing(cachePath, entry);
  }
  if (IsPlainFile(entry) && IsSharePoint()) return STATUS_SUCCESS;
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS WebDavClient::HeadRefresh(std::u16string_view serverPath, FileEntry* entry) {
  int32_t status = PerformRequest('H', entry, serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  if (status < 0) return STATUS_INSUFFICIENT_RESOURCES;
  if (!IsSuccessStatus(status)) {
    CloseRequest();
    return STATUS_UNSUCCESSFUL;
  }
  std::string modified = transport_.Header("Last-Modified").substr(0, 255);
  std::string length = transport_.Header("Content-Length");
  CloseRequest();
  std::tm t{};
  if (ParseHttpDate(modified, t) == 0 && !(entry->flags & kEntryWrittenLocally) && !entry->HasLocalCopy()) {
    SeenState before = SeenOf(*entry);
    entry->lastWriteTime = FileTimeFromUtc(t);
    entry->serverModifiedTime = entry->lastWriteTime;
    // A changed file usually changed its size too; a stale size would fail every read.
    if (!length.empty() && length.find_first_not_of("0123456789") == std::string::npos && length.size() < 20)
      entry->size = std::stoull(length);
    if (ChangedOnServer(before, *entry)) TellServerChange(*connection_, *entry, SHCNE_UPDATEITEM);
  }
  return STATUS_SUCCESS;
}

// Entries of a folder that cannot be shown are reported once per folder, so
// that they do not vanish without a word.
void WebDavClient::ReportUnlisted(std::u16string_view folderCachePath, size_t count) {
  if (!unlistedReported_.insert(std::u16string(folderCachePath)).second) return;
  WideDbgPrint(1, 1, u"%ws: %d entries listed in %ws cannot be shown on the drive (names too long, not usable, or differing from another only in case)\n",
               std::u16string(connection_->Name()).c_str(), static_cast<int>(count),
               std::u16string(PathBelowConnection(*connection_, folderCachePath)).c_str());
}

NTSTATUS WebDavClient::ParseListing(std::u16string_view folderCachePath, FileEntry* folder) {
  // Parsed while it arrives: a large folder's listing is mostly read by the
  // time the server has written its last entry.
  std::u16string sitePath = SitePath();
  std::u16string_view below = PathBelowConnection(*connection_, folderCachePath);
  MultistatusScope scope{connection_->Name(), sitePath, below, site_ && (site_->flags & kSitePlainProperties),
                         siteUrl_};
  MultistatusStream stream(scope);
  DWORD error = ReadReplyPieces([&stream](const char* piece, size_t got) { stream.Feed(piece, got); });
  CloseRequest();
  if (error) {
    WideDbgPrint(u"WinhttpParse returned status=%ld\n", static_cast<long>(error));
    return STATUS_UNSUCCESSFUL;
  }
  MultistatusResult result = stream.Finish();
  if (result.error) {
    // The cache stays as it was; the user learns why the folder did not change.
    WideDbgPrint(u"WinhttpParse returned status=%ld\n", static_cast<long>(result.error));
    Ask(result.message, connection_->Name(), MB_OK | MB_ICONERROR);
    return STATUS_UNSUCCESSFUL;
  }
  if (result.skipped > 0) ReportUnlisted(folderCachePath, result.skipped);
  return ApplyListing(folderCachePath, folder, result.items);
}

NTSTATUS WebDavClient::ApplyListing(std::u16string_view folderCachePath, FileEntry* folder,
                                    const std::vector<ListedItem>& items) {
  if (!folder) folder = connection_->entries.LookUp(folderCachePath);
  // A first listing shows what the kernel has not seen yet: no notice for it.
  bool relisting = folder != nullptr && folder->lastRefreshTime != 0;
  bool childrenChanged = false;
  std::vector<FileEntry*> listed;
  bool listedFolder = false;
  std::vector<std::u16string> paths = ChildPathsOf(folderCachePath, items);
  std::vector<bool> taken = TakenSpellings(*connection_, folderCachePath, paths);
  std::unordered_set<const FileEntry*> made;
  size_t unlisted = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const ListedItem& item = items[i];
    if (item.name.empty()) {
      if (folder) {
        StoreListed(*folder, item);
        listedFolder = item.isDirectory;
      }
      continue;
    }
    listedFolder = true;
    const std::u16string& childPath = paths[i];
    // A longer path would be cut to another name's; a second spelling of one
    // name would mix two files.
    if (childPath.size() > kEntryMaxPathChars || !taken[i]) {
      unlisted += 1;
      continue;
    }
    bool isNew = false;
    FileEntry* child = connection_->entries.FindOrNewEntry(childPath, isNew);
    if (!child) return STATUS_INSUFFICIENT_RESOURCES;
    if (!isNew && made.count(child)) {
      unlisted += 1;
      continue;
    }
    if (isNew) made.insert(child);
    SeenState before = SeenOf(*child);
    child->parent = folder;
    StoreListed(*child, item);
    listed.push_back(child);
    // The kernel holds nothing of a child never reported: the folder's notice covers it.
    if (isNew) {
      childrenChanged = childrenChanged || relisting;
    } else if (ChangedOnServer(before, *child)) {
      TellServerChange(*connection_, *child, child->IsDirectory() ? SHCNE_UPDATEDIR : SHCNE_UPDATEITEM);
    }
  }
  if (unlisted > 0) ReportUnlisted(folderCachePath, unlisted);
  if (folder && listedFolder && folder->IsDirectory()) {
    size_t cached = connection_->entries.size();
    DropVanished(*connection_, folder, listed, nullptr);
    if (connection_->entries.size() < cached) childrenChanged = true;
  }
  if (folder && childrenChanged) TellServerChange(*connection_, *folder, SHCNE_UPDATEDIR);
  if (folder) folder->lastRefreshTime = NowFileTime();
  return STATUS_SUCCESS;
}

}  // namespace hvm
