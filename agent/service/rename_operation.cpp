// Rename (set information class 10): refusals, the client's move, and the
// cache brought to the new name.
#include <cstring>
#include <vector>

#include "agent/clients/remote_client.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"

namespace hvm {
namespace {

std::u16string NewNameOf(const RequestContext& ctx) {
  size_t chars = ctx.DataLength() / 2;
  std::u16string name(chars, u'\0');
  std::memcpy(name.data(), ctx.request.data, chars * 2);
  return name;
}

bool HasUndeletedChild(const Connection& c, const FileEntry& directory) {
  for (FileEntry* other : c.entries) {
    if (other->parent == &directory && !other->IsDeletePending()) return true;
  }
  return false;
}

// The entry cached under the new name; false after an answer. As on a local
// disk, a file replaces a file and a folder replaces an empty folder, open
// or not; the replaced entry's handles live on detached from the name.
bool AcceptReplaced(RequestContext& ctx, FileEntry* existing) {
  if (existing == nullptr || existing == ctx.entry || existing->IsDeletePending()) return true;
  if ((ctx.Word(3) & 0xFF) == 0) {
    ctx.Answer(STATUS_OBJECT_NAME_COLLISION);
    return false;
  }
  if (existing->IsDirectory() != ctx.entry->IsDirectory()) {
    ctx.Answer(existing->IsDirectory() ? STATUS_FILE_IS_A_DIRECTORY : STATUS_NOT_A_DIRECTORY);
    return false;
  }
  if (!existing->IsDirectory()) return true;
  // Only an empty folder may go: the server's view decides.
  if (RefreshDirectory(ctx.connection, *existing) != STATUS_SUCCESS) {
    ctx.Answer(STATUS_UNEXPECTED_NETWORK_ERROR);
    return false;
  }
  if (HasUndeletedChild(ctx.connection, *existing)) {
    ctx.Answer(STATUS_DIRECTORY_NOT_EMPTY);
    return false;
  }
  return true;
}

void RetireReplaced(RequestContext& ctx, FileEntry& replaced) {
  Connection& c = ctx.connection;
  replaced.flags |= kEntryDeletePending;
  if (replaced.useCount == 0 && replaced.handleCount == 0) {
    for (OpenHandle* h = c.openHandles.head(); h != nullptr; h = h->next) {
      if (h->entry == &replaced) h->entry = ctx.entry;
    }
    ForgetEntry(c, replaced);
    c.entries.DiscardEntry(&replaced, true);
  } else {
    // Its handles live on, but the server file is the moved one now: their
    // cleanup must neither delete nor upload anything.
    replaced.flags |= kEntryDeletedOnServer;
    replaced.flags &= ~kEntryWrittenLocally;
    replaced.lockToken.clear();
    c.entries.Remove(&replaced);
    replaced.SetPath(u"");
  }
}

// The entry and everything cached below it move to the new path; entries
// whose new path would be too long leave the cache.
void MoveInCache(RequestContext& ctx, FileEntry* target, const std::u16string& newPath) {
  EntryCache& cache = ctx.connection.entries;
  std::u16string oldPath(ctx.entry->Path());
  std::vector<FileEntry*> moving;
  for (auto it = cache.Find(ctx.entry); it != cache.end() && PathIsAtOrBelow((*it)->Path(), oldPath); ++it)
    moving.push_back(*it);
  if (moving.empty()) moving.push_back(ctx.entry);
  for (FileEntry* e : moving) cache.Remove(e);
  ctx.entry->parent = target;
  for (FileEntry* e : moving) {
    std::u16string path = newPath + std::u16string(e->Path().substr(oldPath.size()));
    if (path.size() > kEntryMaxPathChars) {
      ForgetEntry(ctx.connection, *e);
      cache.DiscardEntry(e, false);
      continue;
    }
    e->SetPath(path);
    cache.Insert(e);
  }
}

// Uploads streamed from local copies were sent to the server paths the
// rename is about to change: the moving entry's, those below a moving
// folder, and the replaced file's.
void LeaveOldPaths(RequestContext& ctx, FileEntry* replaced) {
  RemoteClient& client = *ctx.connection.client;
  EntryCache& cache = ctx.connection.entries;
  std::u16string oldPath(ctx.entry->Path());
  client.LeavePath(ctx.entry);
  if (ctx.entry->IsDirectory())
    for (auto it = cache.Find(ctx.entry); it != cache.end() && PathIsAtOrBelow((*it)->Path(), oldPath); ++it)
      if (*it != ctx.entry) client.LeavePath(*it);
  if (replaced != nullptr && replaced != ctx.entry) client.LeavePath(replaced);
}

}  // namespace

void RenameOperation(RequestContext& ctx) {
  FileEntry& entry = *ctx.entry;
  std::u16string name = NewNameOf(ctx);
  if (name.empty() || name.find_first_of(u"\\/") != std::u16string::npos ||
      name.find(u'\0') != std::u16string::npos) {
    ctx.Answer(STATUS_OBJECT_NAME_INVALID);
    return;
  }
  if (entry.IsReadOnly()) {
    ctx.Answer(STATUS_ACCESS_DENIED);
    return;
  }
  OpenHandle* targetHandle = ctx.connection.openHandles.Find(ctx.Word(2));
  FileEntry* target = targetHandle != nullptr ? targetHandle->entry : nullptr;
  if (target == nullptr) {
    ctx.Answer(STATUS_NOT_SAME_DEVICE);
    return;
  }
  if (!entry.IsDirectory() && !BeginWriteIfUnlocked(ctx)) return;
  std::u16string newPath = std::u16string(target->Path()) + u"\\" + name;
  if (newPath.size() > kEntryMaxPathChars) {
    ctx.Answer(STATUS_NAME_TOO_LONG);
    return;
  }
  FileEntry* existing = ctx.connection.entries.LookUp(newPath);
  if (!AcceptReplaced(ctx, existing)) return;
  // A file the new name spells otherwise is replaced where it is: a server
  // that tells case apart would keep both.
  if (existing != nullptr && existing != &entry && existing->Path() != newPath)
    newPath = std::u16string(existing->Path());
  std::u16string destination = ServerPathOf(ctx.connection, newPath);
  if (!ctx.connection.client->CarriesPath(destination)) {
    ctx.Answer(STATUS_NAME_TOO_LONG);
    return;
  }
  if (entry.IsDirectory()) destination += u'/';
  LeaveOldPaths(ctx, existing);
  NTSTATUS status = ctx.connection.client->Move(&entry, ctx.area, target, destination);
  if (status != STATUS_SUCCESS) {
    ctx.Answer(status);
    return;
  }
  if (existing != nullptr && existing != &entry) RetireReplaced(ctx, *existing);
  ListingChanged(entry.parent);
  ListingChanged(target);
  MoveInCache(ctx, target, newPath);
}

}  // namespace hvm
