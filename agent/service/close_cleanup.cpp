// Close (operation 2), cleanup (operation 18) and token replacement (15).
#include "agent/clients/remote_client.h"
#include "agent/service/local_copy.h"
#include "agent/service/operations.h"
#include "common/moorlib.h"

namespace hvm {
namespace {

// After a successful upload: the offline copy and the busy-path set learn of it.
void AfterCloseAfterWrite(RequestContext& ctx, FileEntry& entry, bool hadLocalCopy) {
  Connection& c = ctx.connection;
  std::u16string_view path = entry.Path();
  if (hadLocalCopy && c.offlineFeature && !(c.Options() & kSiteOffline) &&
      c.hooks.offlineCopyUpdated &&
      (!c.hooks.offlineUpdateAllowed || c.hooks.offlineUpdateAllowed(path)))
    c.hooks.offlineCopyUpdated(c, entry);
  if (entry.useCount == 0 && c.hooks.pathReleased) c.hooks.pathReleased(c, path);
}

// The client's close after write will send the written copy to the server.
bool UploadsAtClose(const FileEntry& entry) {
  return !entry.IsDirectory() && (entry.flags & kEntryWrittenLocally) && entry.HasLocalCopy();
}

// An upload of the close after write has ended: the folder's next listing
// comes from the server, and an upload nobody waits for tells its end.
void AfterUpload(RequestContext& ctx, FileEntry& entry, NTSTATUS status, bool nobodyWaits) {
  ListingChanged(entry.parent);
  // An offline drive stores into its cache; only a pending upload's job reports later.
  if (!nobodyWaits || status == STATUS_PENDING || (ctx.connection.Options() & kSiteOffline)) return;
  ReportUploadEnd(ctx.connection, entry, status);
}

void FreeHandle(RequestContext& ctx) {
  ctx.connection.openHandles.Unlink(ctx.handle);
  delete ctx.handle;
  ctx.handle = nullptr;
}

// Close of the last use of a file whose delete is pending: it leaves the cache.
void DropDeletedEntry(RequestContext& ctx, FileEntry& entry) {
  Connection& c = ctx.connection;
  entry.flags &= ~kEntryDeleteOnClose;
  c.entries.Remove(&entry);
  ForgetEntry(c, entry);
  if (!entry.lockToken.empty()) c.client->Unlock(&entry, ctx.area, kCommandMode, nullptr);
  // The handle being closed still points at the entry; nothing else does.
  ctx.handle->entry = nullptr;
  c.entries.DiscardEntry(&entry, false);
  ctx.reply.value = 0;
}

// Removal takes effect at once, also while other handles hold the entry:
// it leaves the server and the cache now, so that a new file of the same
// name becomes an entry of its own and the remaining handles can never
// reach it. False when the server refused.
bool RemoveWhileOpen(RequestContext& ctx, FileEntry& entry) {
  Connection& c = ctx.connection;
  if (c.client->Delete(&entry, ctx.area) != STATUS_SUCCESS) return false;
  if (c.offlineFeature && c.hooks.offlineDeleted) c.hooks.offlineDeleted(c, entry);
  ListingChanged(entry.parent);
  entry.flags |= kEntryDeletedOnServer;
  entry.flags &= ~kEntryWrittenLocally;
  entry.lockToken.clear();  // the lock went with the file
  c.entries.Remove(&entry);
  ForgetEntry(c, entry);
  return true;
}

}  // namespace

void CloseOperation(RequestContext& ctx) {
  FileEntry& entry = *ctx.entry;
  if (entry.useCount > 0) entry.useCount -= 1;
  WideDbgPrint(u"MJ_CLOSE useCount=%d  %ws\n", static_cast<int>(entry.useCount),
               std::u16string(entry.Path()).c_str());
  ctx.SetReplyDataWord(0, entry.useCount);
  if (entry.useCount == 0) entry.fileToken = 0;
  if (!entry.IsDeletePending()) {
    bool hadLocalCopy = entry.HasLocalCopy();
    bool uploads = UploadsAtClose(entry);
    NTSTATUS status = ctx.connection.client->CloseAfterWrite(ctx.handle, ctx.area, 1, 0);
    if (status == STATUS_SUCCESS) AfterCloseAfterWrite(ctx, entry, hadLocalCopy);
    // The close is the file's last release: its program is gone from it.
    if (uploads) AfterUpload(ctx, entry, status, true);
    ctx.Answer(status == STATUS_PENDING ? STATUS_PENDING : STATUS_SUCCESS);
    ctx.reply.value = LocalCopyIndicator(entry);
  } else if (entry.useCount == 0) {
    DropDeletedEntry(ctx, entry);
  }
  FreeHandle(ctx);
}

void CleanupOperation(RequestContext& ctx) {
  FileEntry& entry = *ctx.entry;
  ctx.handle->pattern.clear();
  if (entry.handleCount > 0) entry.handleCount -= 1;
  if (entry.handleCount != 0) {
    // A delete-on-close open keeps the file until its own end.
    bool removeNow = entry.IsDeletePending() &&
                   !(entry.flags & (kEntryDeletedOnServer | kEntryDeleteOnClose));
    if (removeNow && !RemoveWhileOpen(ctx, entry)) {
      ctx.Answer(STATUS_CANNOT_DELETE);
      entry.flags &= ~kEntryDeletePending;
    }
    ctx.reply.value = LocalCopyIndicator(entry);
    return;
  }
  Connection& c = ctx.connection;
  if (!entry.IsDeletePending()) {
    bool hadLocalCopy = entry.HasLocalCopy();
    bool uploads = UploadsAtClose(entry);
    // Times set without a write are stored on the server by this close.
    if (entry.flags & kEntryTimesSet) ListingChanged(entry.parent);
    NTSTATUS status = c.client->CloseAfterWrite(ctx.handle, ctx.area, 1, 0);
    if (status == STATUS_SUCCESS) AfterCloseAfterWrite(ctx, entry, hadLocalCopy);
    if (uploads) AfterUpload(ctx, entry, status, (ctx.Word(0) & kCleanupNobodyWaits) != 0);
    // A new file that someone else made on the server meanwhile says so; every
    // other failed upload is a cancelled one.
    if (status != STATUS_SUCCESS && status != STATUS_PENDING && status != STATUS_OBJECT_NAME_COLLISION)
      status = STATUS_CANCELLED;
    if (!entry.IsDirectory() && entry.lockCount > 0) c.client->Unlock(&entry, ctx.area, 1, nullptr);
    ctx.Answer(status);
    ctx.reply.value = LocalCopyIndicator(entry);
    return;
  }
  entry.flags &= ~kEntryWrittenLocally;
  CloseLocalCopy(c, entry, CopyKind::Local);
  ctx.reply.value = 0;
  if (entry.flags & kEntryDeletedOnServer) return;
  if (c.client->Delete(&entry, ctx.area) == STATUS_SUCCESS) {
    if (c.offlineFeature && c.hooks.offlineDeleted) c.hooks.offlineDeleted(c, entry);
    entry.flags |= kEntryDeletePending | kEntryDeletedOnServer;
    ListingChanged(entry.parent);
  } else {
    ctx.Answer(STATUS_CANNOT_DELETE);
    entry.flags &= ~kEntryDeletePending;
  }
}

void TokenReplaceOperation(RequestContext& ctx) {
  if (ctx.DataLength() < 12) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return;
  }
  uint32_t stale = ctx.DataWord(0);
  uint32_t replacement = ctx.DataWord(2);
  for (FileEntry* entry : ctx.connection.entries) {
    if (entry->fileToken == stale) {
      entry->fileToken = replacement;
      break;
    }
  }
}

}  // namespace hvm
