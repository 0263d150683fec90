// Steps several operations share.
#include "agent/clients/remote_client.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"

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

bool ListedJustNow(const FileEntry& directory) {
  constexpr FileTime kFreshListingAge = kFileTimeTicksPerSecond;
  FileTime now = NowFileTime();
  return directory.childrenListedTime != 0 && now >= directory.childrenListedTime &&
         now - directory.childrenListedTime < kFreshListingAge;
}

void StampListing(FileEntry& directory) {
  directory.lastRefreshTime = directory.childrenListedTime = NowFileTime();
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

uint32_t LocalCopyIndicator(const FileEntry& entry) {
  return entry.HasLocalCopy() ? 1u : kNoLocalCopy;
}

}  // namespace hvm
