// Set information (operation 6): times, disposition, position, end of file;
// rename lives in rename_operation.cpp.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "agent/clients/remote_client.h"
#include "agent/service/byte_layout.h"
#include "agent/service/local_copy.h"
#include "agent/service/operations.h"

namespace hvm {

void RenameOperation(RequestContext& ctx);

namespace {

enum SetClass : uint32_t {
  FileBasicInformation = 4,
  FileRenameInformation = 10,
  FileDispositionInformation = 13,
  FilePositionInformation = 14,
  FileEndOfFileInformation = 20,
  FileClass23 = 23,
};

// The least each class's buffer must hold.
size_t MinimumLength(uint32_t infoClass) {
  switch (infoClass) {
    case FileBasicInformation: return 36;
    case FileDispositionInformation: return 1;
    case FilePositionInformation: return 8;
    case FileEndOfFileInformation: return 8;
    default: return 0;
  }
}

void SetBasic(RequestContext& ctx) {
  FileEntry& e = *ctx.entry;
  const uint8_t* d = ctx.request.data;
  e.flags |= kEntryTimesSet;
  // A time that is no calendar date (0 and -1 among them) means "leave it".
  if (FileTime t = Get64(d, 24); IsValidCalendarTime(t)) e.changeTime = t;
  if (FileTime t = Get64(d, 0); IsValidCalendarTime(t)) e.creationTime = t;
  if (FileTime t = Get64(d, 16); IsValidCalendarTime(t)) e.lastWriteTime = t;
}

bool HasUndeletedChild(const Connection& c, const FileEntry& directory) {
  for (FileEntry* other : c.entries) {
    if (other->parent == &directory && !other->IsDeletePending()) return true;
  }
  return false;
}

// A folder is removed with everything below it on the server: its cached
// children may be a listing of minutes ago, so the server's own view decides
// unless the folder was listed a moment ago (by the look-up of this removal).
// False after an answer.
bool FolderEmptyOnServer(RequestContext& ctx, FileEntry& folder) {
  constexpr FileTime kJustListed = kFileTimeTicksPerSecond;
  FileTime now = NowFileTime();
  bool fresh = folder.childrenListedTime != 0 && now >= folder.childrenListedTime &&
               now - folder.childrenListedTime < kJustListed;
  if (NTSTATUS listed = fresh ? STATUS_SUCCESS : RefreshDirectory(ctx.connection, folder);
      listed != STATUS_SUCCESS) {
    // A server that does not answer says so; a folder it no longer has is gone.
    ctx.Answer(listed == STATUS_UNEXPECTED_NETWORK_ERROR ? listed : STATUS_OBJECT_NAME_NOT_FOUND);
    return false;
  }
  if (HasUndeletedChild(ctx.connection, folder)) {
    ctx.Answer(STATUS_DIRECTORY_NOT_EMPTY);
    return false;
  }
  return true;
}

void SetDisposition(RequestContext& ctx) {
  FileEntry& e = *ctx.entry;
  if (e.IsDirectory() && HasUndeletedChild(ctx.connection, e)) {
    ctx.Answer(STATUS_DIRECTORY_NOT_EMPTY);
    return;
  }
  if (e.IsReadOnly()) {
    ctx.Answer(STATUS_ACCESS_DENIED);
    return;
  }
  if (ctx.connection.client->BeginWrite(&e, ctx.area, 1, nullptr) != STATUS_SUCCESS) {
    ctx.Answer(STATUS_ACCESS_DENIED, 0);
    return;
  }
  if (ctx.request.data[0] != 0 && e.IsDirectory() && !FolderEmptyOnServer(ctx, e)) return;
  if (ctx.request.data[0] != 0) e.flags |= kEntryDeletePending;
}

// Copies the server's bytes [0, length) into the local copy; false after an answer.
bool FetchIntoLocalCopy(RequestContext& ctx, uint64_t length) {
  std::vector<uint8_t> piece(ctx.connection.pieceSize);
  for (uint64_t at = 0; at < length;) {
    uint64_t n = std::min<uint64_t>(piece.size(), length - at);
    if (ctx.connection.client->Get(ctx.entry, ctx.area, at, at + n, piece.data(), 0) != STATUS_SUCCESS) {
      ctx.Answer(STATUS_UNEXPECTED_NETWORK_ERROR);
      return false;
    }
    if (WriteLocalCopy(ctx.connection, *ctx.entry, piece.data(), at, static_cast<size_t>(n),
                       CopyKind::Local) != kLocalCopyWritten) {
      ctx.Answer(STATUS_DATA_ERROR);
      return false;
    }
    at += n;
  }
  return true;
}

// End of file: the driver changed the size already; the local copy is made
// to hold the contents at that size, so that cleanup uploads the change.
void SetEndOfFile(RequestContext& ctx) {
  FileEntry& e = *ctx.entry;
  if (e.IsDirectory()) {
    ctx.Answer(STATUS_INVALID_DEVICE_REQUEST);
    return;
  }
  if (e.IsReadOnly()) {
    ctx.Answer(STATUS_ACCESS_DENIED);
    return;
  }
  if (!BeginWriteIfUnlocked(ctx)) return;
  uint64_t newSize = Get64(ctx.request.data, 0);
  if (!e.HasLocalCopy()) {
    uint64_t known = ctx.sizeBeforeRequest == kNoSize ? 0 : ctx.sizeBeforeRequest;
    if (!FetchIntoLocalCopy(ctx, std::min(known, newSize))) return;
    if (WriteLocalCopy(ctx.connection, e, nullptr, 0, 0, CopyKind::Local) != kLocalCopyWritten) {
      ctx.Answer(STATUS_DATA_ERROR);
      return;
    }
  }
  bool truncated = ftruncate(e.localCopy, static_cast<off_t>(newSize)) == 0;
  ctx.connection.client->LocalCopyChanged(&e, newSize);
  if (!truncated) {
    ctx.Answer(STATUS_DATA_ERROR);
    return;
  }
  e.size = newSize;
  e.flags |= kEntryWrittenLocally;
  e.lastWriteTime = NowFileTime();
  ctx.SetReplyValue64(newSize);
}

}  // namespace

void SetInformationOperation(RequestContext& ctx) {
  uint32_t infoClass = ctx.Word(1);
  if (ctx.DataLength() < MinimumLength(infoClass)) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return;
  }
  switch (infoClass) {
    case FileBasicInformation: SetBasic(ctx); break;
    case FileRenameInformation: RenameOperation(ctx); break;
    case FileDispositionInformation: SetDisposition(ctx); break;
    case FilePositionInformation: ctx.SetReplyValue64(Get64(ctx.request.data, 0)); break;
    case FileEndOfFileInformation: SetEndOfFile(ctx); break;
    case FileClass23: break;
    default: ctx.Answer(STATUS_INVALID_PARAMETER); break;
  }
}

}  // namespace hvm
