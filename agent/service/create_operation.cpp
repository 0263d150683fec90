// Create (operation 0): resolving the name, the disposition rules, opening,
// creating or replacing, and registering the open handle.
#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include "agent/clients/remote_client.h"
#include "agent/service/local_copy.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr int kMaxResolveIterations = 100000;
constexpr FileTime kRecheckAge = 3 * kFileTimeTicksPerSecond;
constexpr FileTime kRecentDeleteAge = 2 * kFileTimeTicksPerSecond;
constexpr size_t kAccessOffset = 524;
constexpr uint32_t kWriteAccessBits =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES;

struct CreateRequest {
  uint32_t disposition = 0;
  bool wantDir = false;
  bool wantFile = false;
  bool openTarget = false;
  bool deleteOnClose = false;
  uint32_t access = 0;
  uint32_t offeredToken = 0;
};

CreateRequest Decode(const RequestContext& ctx) {
  CreateRequest c;
  uint32_t options = ctx.Word(1);
  c.disposition = CreateDispositionOf(options);
  c.wantDir = (options & FILE_DIRECTORY_FILE) != 0;
  c.wantFile = (options & FILE_NON_DIRECTORY_FILE) != 0;
  c.deleteOnClose = (options & FILE_DELETE_ON_CLOSE) != 0;
  c.openTarget = (ctx.request.Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
  if (ctx.DataLength() >= kAccessOffset + 4) std::memcpy(&c.access, ctx.request.data + kAccessOffset, 4);
  c.offeredToken = ctx.DataWord(0);
  return c;
}

void NotFound(RequestContext& ctx) { ctx.Answer(STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST); }

// A listing that failed because the server did not answer says so (and the
// log tells why, at most every half minute), rather than "no such file".
void AnswerListingFailure(RequestContext& ctx, NTSTATUS status) {
  if (status != STATUS_UNEXPECTED_NETWORK_ERROR) return NotFound(ctx);
  static std::atomic<FileTime> lastLogged{0};
  FileTime now = NowFileTime();
  if (now - lastLogged.load() > 30 * kFileTimeTicksPerSecond) {
    lastLogged = now;
    WideDbgPrint(1, 1, u"%ws: the server does not answer; %ws cannot be reached\n",
                 std::u16string(ctx.connection.Name()).c_str(), ctx.area.serverPath.c_str());
  }
  ctx.Answer(STATUS_UNEXPECTED_NETWORK_ERROR);
}

FileEntry* NearestCachedAncestor(const EntryCache& cache, std::u16string_view name) {
  std::u16string_view prefix = name;
  while (true) {
    size_t slash = prefix.rfind(u'\\');
    if (slash == std::u16string_view::npos) return nullptr;
    prefix = prefix.substr(0, slash);
    if (FileEntry* found = cache.LookUp(prefix)) return found;
  }
}

enum class Resolution { Resolved, Answered };

// Step 2: looks the name up, listing the nearest cached ancestor from the
// server while it is missing. A listing that fails (or brings nothing new)
// ends the search with the name not found; the disposition decides whether
// that is the answer or the name is created.
Resolution ResolveName(RequestContext& ctx, FileEntry*& entry) {
  Connection& c = ctx.connection;
  FileEntry* lastListed = nullptr;
  bool listedOnce = false;
  // Resolution starts from the site root, which the client makes on demand.
  if (c.entries.empty()) c.client->RootEntry();
  for (int i = 0; i < kMaxResolveIterations; ++i) {
    entry = c.entries.LookUp(ctx.name);
    if (entry != nullptr) return Resolution::Resolved;
    FileEntry* ancestor = NearestCachedAncestor(c.entries, ctx.name);
    std::u16string serverPath = ctx.area.serverPath;
    if (!c.entries.empty()) {
      if (ancestor == nullptr || !ancestor->IsDirectory() ||
          (ancestor->flags & kEntryWrittenLocally))
        return Resolution::Resolved;
      serverPath = ServerPathOf(c, ancestor->Path());
    }
    // A listing that brought nothing new would be repeated forever.
    if ((listedOnce && ancestor == lastListed) || (ancestor != nullptr && ancestor->IsDeletePending())) {
      NotFound(ctx);
      return Resolution::Resolved;
    }
    NTSTATUS status = c.client->ListDirectory(serverPath, ancestor, ctx.name.c_str());
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
      ctx.Answer(status);
      return Resolution::Answered;
    }
    if (status == STATUS_UNEXPECTED_NETWORK_ERROR) {
      AnswerListingFailure(ctx, status);
      return Resolution::Answered;
    }
    if (status != STATUS_SUCCESS) {
      NotFound(ctx);
      return Resolution::Resolved;
    }
    if (ancestor != nullptr) ancestor->lastRefreshTime = NowFileTime();
    lastListed = ancestor;
    listedOnce = true;
  }
  WideDbgPrint(u"******** endless cycle *******\n");
  return Resolution::Answered;
}

// Step 3 for the root after a network failure; false after an answer.
bool RecheckRootAfterNetworkError(RequestContext& ctx, FileEntry& entry) {
  if (ComparePaths(entry.Path(), ctx.connection.RootPath()) != 0 ||
      ctx.loop.previousStatus != STATUS_UNEXPECTED_NETWORK_ERROR)
    return true;
  if (RefreshDirectory(ctx.connection, entry) != STATUS_SUCCESS) {
    entry.flags |= kEntryReadFailed;
    NotFound(ctx);
    return false;
  }
  entry.flags &= ~kEntryStrikeBits;
  return true;
}

// Step 4: an opened folder is listed again.
bool ListOpenedDirectory(RequestContext& ctx, FileEntry* entry, const CreateRequest& c) {
  bool isDirectory = c.wantDir || (entry != nullptr && entry->IsDirectory());
  if (!isDirectory) return true;
  if (entry != nullptr && (entry->flags & kEntryWrittenLocally)) return true;
  if (entry == nullptr && !ctx.connection.entries.empty()) return true;
  if (entry != nullptr && entry->IsDirectory() && !ListingExpired(ctx.connection, *entry, NowFileTime()))
    return true;
  NTSTATUS status = ctx.connection.client->ListDirectory(ctx.area.serverPath, entry, nullptr);
  if (status == STATUS_INSUFFICIENT_RESOURCES) {
    ctx.Answer(status);
    return false;
  }
  if (status != STATUS_SUCCESS) {
    AnswerListingFailure(ctx, status);
    return false;
  }
  if (entry == nullptr) entry = ctx.connection.entries.LookUp(ctx.name);
  if (entry != nullptr && entry->IsDirectory()) StampListing(*entry);
  else if (entry != nullptr) entry->lastRefreshTime = NowFileTime();
  return true;
}

// Step 7: an existing file not touched for a while is checked against the server.
bool OpenExisting(RequestContext& ctx, FileEntry& entry) {
  ctx.Answer(STATUS_SUCCESS, FILE_OPENED);
  FileTime now = NowFileTime();
  bool recheck = !entry.IsDirectory() && !entry.HasLocalCopy() && entry.handleCount == 0 &&
                 entry.lockCount == 0 && !(entry.flags & kEntrySpecial) &&
                 now - entry.lastRefreshTime > kRecheckAge;
  if (!recheck) return true;
  uint64_t oldSize = entry.size;
  FileTime oldModified = entry.serverModifiedTime;
  uint32_t oldFlags = entry.flags;
  NTSTATUS status = entry.IsDeletePending()
                        ? STATUS_OBJECT_NAME_NOT_FOUND
                        : ctx.connection.client->ListDirectory(ctx.area.serverPath, &entry, nullptr);
  if (status == STATUS_UNEXPECTED_NETWORK_ERROR) {
    AnswerListingFailure(ctx, status);
    return false;
  }
  if (status != STATUS_SUCCESS) {
    ctx.Answer(STATUS_ACCESS_DENIED, 0);
    return false;
  }
  bool timesDiffer = IsValidCalendarTime(oldModified) &&
                     IsValidCalendarTime(entry.serverModifiedTime) &&
                     oldModified != entry.serverModifiedTime;
  if (timesDiffer || oldSize != entry.size || (oldFlags & kEntryStrikeBits)) {
    timespec o = UnixFromFileTime(oldModified), n = UnixFromFileTime(entry.serverModifiedTime);
    tm ot{}, nt{};
    gmtime_r(&o.tv_sec, &ot);
    gmtime_r(&n.tv_sec, &nt);
    WideDbgPrint(2, logLevel, u"#Propfind (old<>new)%02d:%.02d:%.02d<>%02d:%.02d:%.02d %ws\n",
                 ot.tm_hour, ot.tm_min, ot.tm_sec, nt.tm_hour, nt.tm_min, nt.tm_sec,
                 std::u16string(entry.Path()).c_str());
    ctx.connection.client->DropLocalCopy(&entry, ctx.area);
    ctx.reply.data[4] = 1;
    entry.flags &= ~kEntryStrikeBits;
    entry.lastRefreshTime = now;
  }
  return true;
}

bool LinkToParent(RequestContext& ctx, FileEntry& entry) {
  FileEntry* parent = ctx.connection.entries.LookUp(ParentPathOf(entry.Path()));
  if (parent == nullptr) return false;
  entry.parent = parent;
  return true;
}

// Step 8's file branch; false after an answer.
bool CreateFileEntry(RequestContext& ctx, FileEntry& entry) {
  if (entry.IsReadOnly()) {
    ctx.Answer(STATUS_ACCESS_DENIED);
    return false;
  }
  entry.flags &= ~kEntryDirectoryBits;
  entry.size = kNoSize;
  if (ctx.name.find(u"Thumbs.db:encryptable") != std::u16string::npos) {
    ctx.Answer(STATUS_ACCESS_DENIED);
    return false;
  }
  FileTime now = NowFileTime();
  entry.creationTime = entry.changeTime = entry.lastWriteTime = now;
  NTSTATUS status = ctx.connection.client->CreateFile(&entry, ctx.area);
  // A refusal by the server is reported, whatever code the client chose for it.
  if (status != STATUS_SUCCESS) {
    ctx.Answer(status);
    return false;
  }
  // A client that made the file now has nothing left to guard at the upload.
  if (!(entry.flags & kEntryCreatePending)) entry.flags &= ~kEntryMustBeNew;
  entry.flags &= ~kEntryDeletePending;
  CloseLocalCopy(ctx.connection, entry, CopyKind::Local);
  if (WriteLocalCopy(ctx.connection, entry, nullptr, 0, 0, CopyKind::Local) != kLocalCopyWritten) {
    ctx.Answer(STATUS_DATA_ERROR);
    return false;
  }
  return true;
}

// Step 8's folder branch; false after an answer.
bool CreateDirectoryEntry(RequestContext& ctx, FileEntry& entry) {
  if (entry.IsDeletePending() && NowFileTime() - entry.lastRefreshTime < kRecentDeleteAge) {
    ctx.Answer(STATUS_ACCESS_DENIED, FILE_DOES_NOT_EXIST);
    return false;
  }
  NTSTATUS status = ctx.connection.client->MakeDirectory(ctx.area);
  if (status != STATUS_SUCCESS) {
    ctx.Answer(status);
    return false;
  }
  entry.flags |= kEntryDirectory | kEntryWrittenLocally;
  entry.flags &= ~kEntryDeletePending;
  entry.lastRefreshTime = NowFileTime();
  return true;
}

// Step 8; false after an answer.
bool CreateOrReplace(RequestContext& ctx, FileEntry& entry, const CreateRequest& c) {
  if (!c.wantDir && !c.wantFile) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return false;
  }
  // A name the client cannot put into a request is refused before it is made.
  if (!ctx.connection.client->CarriesPath(ctx.area.serverPath)) {
    ctx.Answer(STATUS_NAME_TOO_LONG);
    return false;
  }
  bool made = c.wantFile ? CreateFileEntry(ctx, entry) : CreateDirectoryEntry(ctx, entry);
  if (!made) return false;
  ListingChangedAt(ctx.connection, ParentPathOf(ctx.name));
  EntryCache& cache = ctx.connection.entries;
  if (cache.Contains(&entry)) {
    cache.Remove(&entry);
    if (!LinkToParent(ctx, entry)) {
      cache.Insert(&entry);
      ctx.Answer(STATUS_OBJECT_NAME_COLLISION);
      return false;
    }
    cache.Insert(&entry);
    ctx.Answer(STATUS_SUCCESS, c.disposition == FILE_OVERWRITE ? FILE_OVERWRITTEN : FILE_CREATED);
  } else {
    entry.size = kNoSize;
    ctx.Answer(STATUS_SUCCESS, c.disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN);
  }
  return true;
}

FileEntry* NewEntry(RequestContext& ctx) {
  FileEntry* entry = ctx.connection.entries.NewEntry(ctx.name);
  if (entry == nullptr) return nullptr;
  FileTime now = NowFileTime();
  entry->creationTime = entry->changeTime = entry->lastWriteTime = now;
  entry->lastRefreshTime = now;
  return entry;
}

// Step 9; false after an answer.
bool RegisterOpen(RequestContext& ctx, FileEntry& entry, const CreateRequest& c) {
  bool writes = c.deleteOnClose || c.disposition == FILE_SUPERSEDE ||
                c.disposition == FILE_OVERWRITE || c.disposition == FILE_OVERWRITE_IF ||
                (c.access & kWriteAccessBits) != 0;
  if (c.wantFile && writes) {
    if (ctx.connection.client->BeginWrite(&entry, ctx.area, 1, nullptr) != STATUS_SUCCESS) {
      entry.flags |= kEntryReadOnly;
      ctx.Answer(STATUS_ACCESS_DENIED, 0);
      return false;
    }
    entry.flags &= ~kEntryReadOnly;
  }
  auto* handle = new (std::nothrow) OpenHandle();
  if (handle == nullptr) {
    ctx.Answer(STATUS_INSUFFICIENT_RESOURCES);
    return false;
  }
  handle->fileObject = ctx.request.FileObject;
  handle->entry = &entry;
  ctx.connection.openHandles.Push(handle);
  if (c.deleteOnClose) entry.flags |= kEntryDeletePending | kEntryDeleteOnClose;
  if (entry.fileToken == 0) entry.fileToken = c.offeredToken;
  entry.useCount += 1;
  entry.handleCount += 1;

  uint64_t size = entry.size;
  ctx.reply.value = size == kNoSize ? kUnknownSize : static_cast<uint32_t>(size);
  if (size == kNoSize) entry.size = 0;
  ctx.SetReplyDataWord(0, entry.fileToken);
  ctx.reply.data[5] = static_cast<uint8_t>(entry.handleCount);
  ctx.reply.data[6] = static_cast<uint8_t>(entry.useCount);
  ctx.reply.data[kCreateReplyMadeAtCleanup] = (entry.flags & kEntryCreatePending) ? 1 : 0;
  ctx.SetReplyDataWord(2, size == kNoSize ? 0 : static_cast<uint32_t>(size >> 32));
  return true;
}

enum class Plan { NotFound, Collision, Open, Create, Replace };

Plan ChoosePlan(const FileEntry* entry, uint32_t disposition) {
  bool pending = entry != nullptr && entry->IsDeletePending();
  // Open and overwrite need the name to exist.
  if ((entry == nullptr || pending) && (disposition == FILE_OPEN || disposition == FILE_OVERWRITE))
    return Plan::NotFound;
  if (entry == nullptr) return Plan::Create;
  if (pending) return Plan::Replace;
  switch (disposition) {
    case FILE_CREATE: return Plan::Collision;
    case FILE_OPEN:
    case FILE_OPEN_IF: return Plan::Open;
    default: return Plan::Replace;  // supersede, overwrite (truncates), overwrite-if
  }
}

// Steps 5 to 8; the entry to register, or null after an answer.
FileEntry* Decide(RequestContext& ctx, FileEntry* entry, const CreateRequest& c) {
  if (c.openTarget) {
    FileEntry* target = entry == nullptr
                            ? ctx.connection.entries.LookUp(ParentPathOf(ctx.name))
                            : entry->parent;
    if (target == nullptr) {
      ctx.Answer(STATUS_INVALID_DEVICE_REQUEST);
      return nullptr;
    }
    ctx.Answer(STATUS_SUCCESS, entry == nullptr ? FILE_DOES_NOT_EXIST : FILE_EXISTS);
    return target;
  }
  switch (ChoosePlan(entry, c.disposition)) {
    case Plan::NotFound:
      NotFound(ctx);
      return nullptr;
    case Plan::Collision:
      ctx.Answer(STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS);
      return nullptr;
    case Plan::Open:
      return OpenExisting(ctx, *entry) ? entry : nullptr;
    case Plan::Replace:
      return CreateOrReplace(ctx, *entry, c) ? entry : nullptr;
    case Plan::Create: {
      FileEntry* created = NewEntry(ctx);
      if (created == nullptr) {
        ctx.Answer(STATUS_INSUFFICIENT_RESOURCES);
        return nullptr;
      }
      // Neither the cache nor the listing knew the name: a client that makes
      // it later must not replace a file someone else made meanwhile.
      created->flags |= kEntryMustBeNew;
      if (CreateOrReplace(ctx, *created, c)) return created;
      ForgetEntry(ctx.connection, *created);
      ctx.connection.entries.DiscardEntry(created, true);
      return nullptr;
    }
  }
  return nullptr;
}

// Names are compared without regard to case. A server that tells case apart
// holds a cached file under the entry's spelling, so the requests for it take
// that one, not the spelling this open asked with (which may name another file).
void UsePath(RequestContext& ctx, std::u16string_view path) {
  CopyWide(ctx.area.path, kEntryPathChars, path);
  ctx.area.serverPath = ServerPathOf(ctx.connection, path);
}

void TakeEntrySpelling(RequestContext& ctx, const FileEntry* entry) {
  if (entry == nullptr || entry->Path() == ctx.name) return;
  UsePath(ctx, entry->Path());
}

// A new name in a folder reached under another spelling goes into the folder
// as the server spells it: a server that tells case apart has no folder of
// the spelling asked with.
void TakeParentSpelling(RequestContext& ctx) {
  std::u16string_view parentPath = ParentPathOf(ctx.name);
  const FileEntry* parent = ctx.connection.entries.LookUp(parentPath);
  if (parent == nullptr || parent->Path() == parentPath) return;
  std::u16string spelled(parent->Path());
  spelled += std::u16string_view(ctx.name).substr(parentPath.size());
  ctx.name = std::move(spelled);
  UsePath(ctx, ctx.name);
}

}  // namespace

void CreateOperation(RequestContext& ctx) {
  CreateRequest c = Decode(ctx);
  std::memset(ctx.reply.data, 0, 12);
  if (c.wantDir && c.wantFile) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return;
  }
  FileEntry* entry = nullptr;
  if (ResolveName(ctx, entry) == Resolution::Answered) return;
  TakeEntrySpelling(ctx, entry);
  if (entry != nullptr) {
    if (!RecheckRootAfterNetworkError(ctx, *entry)) return;
    if (c.wantFile && entry->IsDirectory()) {
      ctx.Answer(STATUS_FILE_IS_A_DIRECTORY);
      return;
    }
    if (c.wantDir && !entry->IsDirectory()) {
      ctx.Answer(STATUS_NOT_A_DIRECTORY);
      return;
    }
  }
  if (!ListOpenedDirectory(ctx, entry, c)) return;
  // The listing may have brought the name into the cache.
  if (entry == nullptr) {
    entry = ctx.connection.entries.LookUp(ctx.name);
    TakeEntrySpelling(ctx, entry);
    if (entry == nullptr) TakeParentSpelling(ctx);
  }
  FileEntry* target = Decide(ctx, entry, c);
  if (target == nullptr) return;
  NTSTATUS decided = ctx.reply.status;
  uint32_t information = ctx.reply.information;
  if (!RegisterOpen(ctx, *target, c)) return;
  ctx.Answer(decided, information);
}

}  // namespace hvm
