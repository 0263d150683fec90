// Synchronisation's view of a connected site, through its protocol client.
#include "agent/offline/connection_sync_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "agent/clients/client_factory.h"
#include "agent/clients/remote_client.h"
#include "agent/service/ntstatus.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr uint64_t kDownloadPiece = 1 << 20;

bool IsUsable(const FileEntry* entry) {
  return entry != nullptr && !(entry->flags & (kEntryDeletedOnServer | kEntryDeletePending));
}

RemoteItem ItemOf(const FileEntry& entry) {
  RemoteItem item;
  item.name = std::u16string(entry.Name());
  item.folder = entry.IsDirectory();
  item.size = entry.size == kNoSize ? kUnknownItemSize : entry.size;
  item.modified = entry.lastWriteTime;
  return item;
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::u16string ConnectionSyncServer::CachePath(std::u16string_view path) const {
  std::u16string cachePath = connection_.RootPath();
  if (!path.empty() && path != u"\\") {
    if (path.front() != u'\\') cachePath += u'\\';
    cachePath += path;
  }
  return cachePath;
}

void ConnectionSyncServer::Prepare(ReplyArea& area, std::u16string_view cachePath) const {
  CopyWide(area.path, kEntryPathChars, cachePath);
  area.serverPath = ServerPathOf(connection_, cachePath);
}

FileEntry* ConnectionSyncServer::Resolve(std::u16string_view path, NTSTATUS& status) {
  status = STATUS_SUCCESS;
  std::u16string cachePath = CachePath(path);
  if (cachePath.size() > kEntryMaxPathChars) {
    status = STATUS_NAME_TOO_LONG;
    return nullptr;
  }
  FileEntry* entry = connection_.entries.LookUp(cachePath);
  if (IsUsable(entry)) return entry;
  if (cachePath == connection_.RootPath()) {
    entry = connection_.client->RootEntry();
    if (entry == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    return entry;
  }
  std::u16string_view below = PathBelowConnection(connection_, cachePath);
  FileEntry* parent = Resolve(ParentPathOf(below), status);
  if (parent == nullptr) return nullptr;
  status = RefreshDirectory(connection_, *parent);
  if (status != STATUS_SUCCESS) return nullptr;
  entry = connection_.entries.LookUp(cachePath);
  if (!IsUsable(entry)) {
    status = STATUS_OBJECT_NAME_NOT_FOUND;
    return nullptr;
  }
  return entry;
}

NTSTATUS ConnectionSyncServer::List(std::u16string_view folder, std::vector<RemoteItem>& items) {
  items.clear();
  NTSTATUS status;
  FileEntry* entry = Resolve(folder, status);
  if (entry == nullptr) return status;
  if (!entry->IsDirectory()) return STATUS_NOT_A_DIRECTORY;
  status = RefreshDirectory(connection_, *entry);
  if (status != STATUS_SUCCESS) return status;
  std::u16string prefix(entry->Path());
  for (auto it = connection_.entries.LowerBound(prefix); it != connection_.entries.end(); ++it) {
    FileEntry* child = *it;
    if (!PathIsAtOrBelow(child->Path(), prefix)) break;
    if (child->parent == entry && child != entry && IsUsable(child)) items.push_back(ItemOf(*child));
  }
  return STATUS_SUCCESS;
}

NTSTATUS ConnectionSyncServer::Stat(std::u16string_view path, RemoteItem& item) {
  NTSTATUS status;
  FileEntry* entry = Resolve(path, status);
  if (entry == nullptr) return status;
  status = connection_.client->ListDirectory(ServerPathOf(connection_, entry->Path()), entry, nullptr);
  if (status != STATUS_SUCCESS) return status;
  item = ItemOf(*entry);
  return STATUS_SUCCESS;
}

NTSTATUS ConnectionSyncServer::Download(std::u16string_view path, uint64_t, int fd) {
  NTSTATUS status;
  FileEntry* entry = Resolve(path, status);
  if (entry == nullptr) return status;
  ReplyArea area;
  Prepare(area, entry->Path());
  uint64_t size = entry->size == kNoSize ? 0 : entry->size;
  auto buffer = std::make_unique<uint8_t[]>(kDownloadPiece);
  for (uint64_t offset = 0; offset < size; offset += kDownloadPiece) {
    uint64_t end = std::min(size, offset + kDownloadPiece);
    status = connection_.client->Get(entry, area, offset, end, buffer.get(), 0);
    if (status != STATUS_SUCCESS) return status;
    if (!WriteAll(fd, buffer.get(), static_cast<size_t>(end - offset))) return STATUS_DATA_ERROR;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ConnectionSyncServer::Upload(std::u16string_view path, int fd) {
  std::u16string cachePath = CachePath(path);
  NTSTATUS status;
  FileEntry* entry = Resolve(path, status);
  ReplyArea area;
  Prepare(area, cachePath);
  if (entry == nullptr) {
    // A file the server does not have yet: its entry beside the others.
    FileEntry* parent = Resolve(PathBelowConnection(connection_, ParentPathOf(cachePath)), status);
    if (parent == nullptr) return status;
    entry = connection_.entries.LookUp(cachePath);
    if (entry == nullptr) entry = connection_.entries.NewEntry(cachePath);
    if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    entry->parent = parent;
    entry->flags = 0;
    entry->size = 0;
    entry->creationTime = entry->changeTime = entry->lastWriteTime = NowFileTime();
    status = connection_.client->CreateFile(entry, area);
    if (status != STATUS_SUCCESS) return status;
  }
  if (entry->IsDirectory()) return STATUS_FILE_IS_A_DIRECTORY;
  // The client uploads an entry's written local copy at its close.
  int copy = dup(fd);
  if (copy < 0) return STATUS_INSUFFICIENT_RESOURCES;
  int previous = entry->localCopy;
  entry->localCopy = copy;
  entry->flags |= kEntryWrittenLocally;
  struct stat info {};
  if (fstat(copy, &info) == 0) entry->size = static_cast<uint64_t>(info.st_size);
  OpenHandle handle;
  handle.entry = entry;
  status = connection_.client->CloseAfterWrite(&handle, area, 1, 0);
  ListingChanged(entry->parent);
  ReportUploadEnd(connection_, *entry, status);
  entry->flags &= ~kEntryWrittenLocally;
  close(copy);
  entry->localCopy = previous;
  return status;
}

NTSTATUS ConnectionSyncServer::MakeFolder(std::u16string_view path) {
  std::u16string cachePath = CachePath(path);
  ReplyArea area;
  Prepare(area, cachePath);
  NTSTATUS status = connection_.client->MakeDirectory(area);
  if (status != STATUS_SUCCESS) return status;
  // The parent's listing brings the new folder into the cache.
  FileEntry* parent = Resolve(PathBelowConnection(connection_, ParentPathOf(cachePath)), status);
  return parent != nullptr ? RefreshDirectory(connection_, *parent) : status;
}

NTSTATUS ConnectionSyncServer::Delete(std::u16string_view path, bool) {
  NTSTATUS status;
  FileEntry* entry = Resolve(path, status);
  if (entry == nullptr) return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
  ReplyArea area;
  Prepare(area, entry->Path());
  status = connection_.client->Delete(entry, area);
  if (status != STATUS_SUCCESS) return status;
  ListingChanged(entry->parent);
  if (entry->useCount == 0 && entry->handleCount == 0) {
    connection_.entries.Remove(entry);
    ForgetEntry(connection_, *entry);
    connection_.entries.DiscardEntry(entry, false);
  } else {
    entry->flags |= kEntryDeletedOnServer;
  }
  return STATUS_SUCCESS;
}

bool ConnectionSyncServer::MinutePrecision() const {
  // FTP listings in the LIST form carry minutes at best.
  return connection_.clientKind == ClientKind::Ftp;
}

}  // namespace hvm
