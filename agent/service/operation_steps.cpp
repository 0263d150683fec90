// Steps several operations share.
#include "agent/clients/remote_client.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"

namespace hvm {

bool IsWritableFile(RequestContext& ctx) {
  if (ctx.entry->IsDirectory()) {
    ctx.Answer(STATUS_INVALID_DEVICE_REQUEST);
    return false;
  }
  if (ctx.entry->IsReadOnly()) {
    ctx.Answer(STATUS_ACCESS_DENIED);
    return false;
  }
  return true;
}

bool BeginWriteIfUnlocked(RequestContext& ctx) {
  if (ctx.entry->lockCount != 0) return true;
  if (ctx.connection.client->BeginWrite(ctx.entry, ctx.area, 1, nullptr) == STATUS_SUCCESS) return true;
  ctx.Answer(STATUS_ACCESS_DENIED, 0);
  return false;
}

NTSTATUS RefreshDirectory(Connection& connection, FileEntry& directory) {
  if (!connection.client) return STATUS_OBJECT_NAME_NOT_FOUND;
  NTSTATUS status =
      connection.client->ListDirectory(ServerPathOf(connection, directory.Path()), &directory, nullptr);
  if (status == STATUS_SUCCESS) {
    StampListing(directory);
    connection.lastListed = &directory;
  }
  return status;
}

bool ListingExpired(const Connection& connection, const FileEntry& directory, FileTime now) {
  constexpr FileTime kTicksPerMinute = 60 * kFileTimeTicksPerSecond;
  FileTime listed = directory.childrenListedTime;
  // A clock set back makes the age unknown: the listing is made again.
  if (listed == 0 || now < listed) return true;
  FileTime period = FileTime{RefreshPeriodMinutes(connection.RefreshMinutes())} * kTicksPerMinute;
  return now - listed >= period;
}

void StampListing(FileEntry& directory) {
  directory.lastRefreshTime = directory.childrenListedTime = NowFileTime();
}

void ListingChanged(FileEntry* directory) {
  if (directory != nullptr && directory->IsDirectory()) directory->childrenListedTime = 0;
}

void ListingChangedAt(Connection& connection, std::u16string_view directoryPath) {
  ListingChanged(connection.entries.LookUp(directoryPath));
}

void ExpireAllListings(Connection& connection) {
  for (FileEntry* entry : connection.entries) ListingChanged(entry);
}

void ForgetEntry(Connection& connection, FileEntry& entry) {
  for (OpenHandle* h = connection.openHandles.head(); h != nullptr; h = h->next) {
    if (h->position == &entry) {
      h->position = nullptr;
      h->positionPath.clear();
    }
  }
  if (connection.lastListed == &entry) connection.lastListed = nullptr;
  for (FileEntry* other : connection.entries) {
    if (other->parent == &entry) other->parent = nullptr;
  }
}

void ReportUploadEnd(Connection& connection, const FileEntry& entry, NTSTATUS status) {
  UploadNotice notice;
  notice.file = DrivePathOf(connection, entry.Path());
  notice.failed = status != STATUS_SUCCESS;
  if (notice.failed && entry.uploadFailure) {
    notice.errorText = entry.uploadFailure->errorText;
    notice.backupPath = entry.uploadFailure->backupPath;
  } else if (notice.failed) {
    notice.errorText = NtStatusName(status);
  }
  if (notice.failed) {
    WideDbgPrint(1, 1, u"%ws: the upload of %ws failed: %ws; the written contents are in %s\n",
                 std::u16string(connection.Name()).c_str(), notice.file.c_str(), notice.errorText.c_str(),
                 notice.backupPath.empty() ? "no backup copy" : notice.backupPath.c_str());
  }
  if (connection.hooks.uploadEnded) connection.hooks.uploadEnded(connection, notice);
}

uint32_t LocalCopyIndicator(const FileEntry& entry) {
  return entry.HasLocalCopy() ? 1u : kNoLocalCopy;
}

}  // namespace hvm
