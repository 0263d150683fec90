// Device control (operation 14): the shell modules' commands.
#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "agent/clients/remote_client.h"
#include "agent/service/byte_layout.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr uint32_t kCommandBeginWrite = 0x142000;
constexpr uint32_t kCommandLockToggle = 0x142004;
constexpr uint32_t kCommandServerCopy = 0x142008;
constexpr uint32_t kCommandStateQuery = 0x1420C4;
constexpr uint32_t kOfflineCommandFirst = 0x142100;
constexpr uint32_t kOfflineCommandLast = 0x142110;
constexpr uint32_t kNoEntryResult = 0xFFFFFFFF;
constexpr size_t kTargetOffset = 248;
constexpr size_t kDestinationOffset = 768;
constexpr size_t kResultOffset = 1288;
constexpr size_t kPathFieldChars = 260;

struct Command {
  RequestContext& ctx;
  InternalRequest request{};          // the command as sent (missing bytes zero)
  uint8_t* answer = nullptr;          // the InternalRequest in the reply data
  char16_t* resultText = nullptr;     // reply offset 248, 260 characters

  void SetResult(uint32_t value) { Put32(answer, kResultOffset, value); }
};

std::u16string WideAt(const uint8_t* base, size_t offset, size_t maxChars) {
  std::u16string text;
  for (size_t i = 0; i < maxChars; ++i) {
    char16_t c;
    std::memcpy(&c, base + offset + i * 2, 2);
    if (c == 0) break;
    text += c;
  }
  return text;
}

void StateQuery(Command& cmd) {
  FileEntry* e = cmd.ctx.entry;
  if (e == nullptr) {
    cmd.SetResult(kNoEntryResult);
    return;
  }
  bool readOnly = false;
  for (const FileEntry* p = e; p != nullptr; p = p->parent) readOnly = readOnly || p->IsReadOnly();
  cmd.SetResult(0);
  cmd.resultText[0] = (e->lockCount != 0 || !e->lockToken.empty()) ? u'L' : u' ';
  cmd.resultText[1] = (e->flags & kEntrySpecial) ? u'V' : u' ';
  cmd.resultText[2] = readOnly ? u'R' : u' ';
  cmd.resultText[3] = 0;
}

// The cache path a command names as its destination ("X:\..."), or empty
// when it is too long to be an entry's.
std::u16string DestinationCachePath(const Command& cmd) {
  const auto* request = reinterpret_cast<const uint8_t*>(&cmd.request);
  std::u16string below = WideAt(request, kDestinationOffset + 4, kPathFieldChars - 2);
  if (below.empty() || below.front() != u'\\') below.insert(below.begin(), u'\\');
  std::u16string cachePath = cmd.ctx.connection.RootPath() + below;
  if (cachePath.size() > kEntryMaxPathChars) return {};
  while (cachePath.size() > 1 && cachePath.back() == u'\\') cachePath.pop_back();
  return cachePath;
}

// The cache entry of a copy the server made, in its cached folder; null when
// the folder is not cached (its next listing brings the copy) or no entry
// could be made.
FileEntry* CacheServerCopy(Connection& connection, std::u16string_view cachePath, const FileEntry& source) {
  EntryCache& cache = connection.entries;
  FileEntry* parent = cache.LookUp(ParentPathOf(cachePath));
  if (parent == nullptr || !parent->IsDirectory()) return nullptr;
  FileEntry* copy = cache.LookUp(cachePath);
  if (copy == nullptr) copy = cache.NewEntry(cachePath);
  if (copy == nullptr) return nullptr;
  FileTime now = NowFileTime();
  copy->parent = parent;
  copy->flags &= ~(kEntryDeletePending | kEntryDeletedOnServer | kEntryDirectoryBits);
  if (source.IsDirectory()) {
    // Its members come with its first listing.
    copy->flags |= kEntryDirectory;
    copy->childrenListedTime = copy->lastRefreshTime = 0;
  } else {
    copy->size = source.size;
  }
  copy->creationTime = copy->changeTime = copy->lastWriteTime = now;
  return copy;
}

// A folder that left the server leaves the cache with everything below it.
// Entries still open stay with their handles, marked deleted on the server,
// so that nothing of theirs reaches a new file of the same name.
void DropRemovedTree(Connection& connection, FileEntry& folder) {
  EntryCache& cache = connection.entries;
  std::u16string folderPath(folder.Path());
  std::vector<FileEntry*> tree;
  for (auto it = cache.Find(&folder); it != cache.end() && PathIsAtOrBelow((*it)->Path(), folderPath); ++it)
    tree.push_back(*it);
  std::unordered_set<const FileEntry*> going(tree.begin(), tree.end()), held;
  for (OpenHandle* h = connection.openHandles.head(); h != nullptr; h = h->next) {
    held.insert(h->entry);
    if (going.count(h->position)) {
      h->position = nullptr;
      h->positionPath.clear();
    }
  }
  if (going.count(connection.lastListed)) connection.lastListed = nullptr;
  for (auto e = tree.rbegin(); e != tree.rend(); ++e) {
    FileEntry* entry = *e;
    if (entry->useCount == 0 && entry->handleCount == 0 && !held.count(entry)) {
      cache.DiscardEntry(entry, true);
      continue;
    }
    entry->flags |= kEntryDeletePending | kEntryDeletedOnServer;
    entry->flags &= ~kEntryWrittenLocally;
    entry->lockToken.clear();  // the lock went with the file
    entry->parent = nullptr;
    cache.Remove(entry);
  }
}

// A folder copied, moved or deleted on the server in one request shows at
// once: the cache gains the copy and loses what was removed. An answer that
// names failed members leaves both folders to be listed again.
void AfterFolderCommand(Command& cmd, uint32_t code, NTSTATUS status) {
  RequestContext& ctx = cmd.ctx;
  uint32_t result = reinterpret_cast<const InternalRequest*>(cmd.answer)->result;
  if (status != STATUS_SUCCESS || ctx.entry == nullptr) return;
  constexpr uint32_t kMultiStatus = 207;
  if (result == kMultiStatus) {
    for (FileEntry* e : {ctx.entry, ctx.entry->parent})
      if (e != nullptr) e->childrenListedTime = e->lastRefreshTime = 0;
    if (FileEntry* parent = ctx.connection.entries.LookUp(ParentPathOf(DestinationCachePath(cmd))))
      parent->childrenListedTime = parent->lastRefreshTime = 0;
    return;
  }
  if (code != kControlFolderDelete) {
    std::u16string cachePath = DestinationCachePath(cmd);
    if (!cachePath.empty()) CacheServerCopy(ctx.connection, cachePath, *ctx.entry);
  }
  if (code != kControlFolderCopy && ComparePaths(ctx.entry->Path(), ctx.connection.RootPath()) != 0) {
    DropRemovedTree(ctx.connection, *ctx.entry);
    ctx.entry = nullptr;
  }
}

void ServerCopy(Command& cmd) {
  RequestContext& ctx = cmd.ctx;
  std::u16string cachePath = DestinationCachePath(cmd);
  if (cachePath.empty()) {
    ctx.Answer(STATUS_OBJECT_NAME_INVALID);
    return;
  }
  std::u16string destination = ServerPathOf(ctx.connection, cachePath);
  NTSTATUS status = ctx.connection.client->Copy(ctx.entry, ctx.area, 0, destination, cmd.resultText);
  if (status != STATUS_SUCCESS) {
    cmd.SetResult(status);
    return;
  }
  // Only a cached folder can hold the copy.
  if (CacheServerCopy(ctx.connection, cachePath, *ctx.entry) == nullptr) {
    ctx.Answer(STATUS_DATA_ERROR);
    return;
  }
  cmd.SetResult(0);
  std::u16string drivePath = DrivePathOf(ctx.connection, cachePath);
  drivePath.resize(std::min(drivePath.size(), kEntryMaxPathChars));
  std::memset(cmd.answer, 0, (kEntryMaxPathChars + 1) * 2);
  PutWide(cmd.answer, 0, drivePath);
}

bool NamesADestination(uint32_t code) {
  return code == kCommandServerCopy || code == kControlFolderCopy || code == kControlFolderMove;
}

// The drive refuses new names with control characters; so do the commands.
bool DestinationHasControlCharacters(const Command& cmd) {
  const auto* request = reinterpret_cast<const uint8_t*>(&cmd.request);
  return HasControlCharacters(WideAt(request, kDestinationOffset + 4, kPathFieldChars - 2));
}

void Run(Command& cmd, uint32_t code) {
  RequestContext& ctx = cmd.ctx;
  RemoteClient& client = *ctx.connection.client;
  if (NamesADestination(code) && DestinationHasControlCharacters(cmd)) {
    ctx.Answer(STATUS_OBJECT_NAME_INVALID);
  } else if (code == kCommandStateQuery) {
    StateQuery(cmd);
  } else if (code == kCommandBeginWrite) {
    cmd.SetResult(client.BeginWrite(ctx.entry, ctx.area, kCommandMode, cmd.resultText));
  } else if (code == kCommandLockToggle) {
    bool locked = !ctx.entry->lockToken.empty();
    cmd.SetResult(locked ? client.Unlock(ctx.entry, ctx.area, kCommandMode, cmd.resultText)
                         : client.Lock(ctx.entry, ctx.area, kCommandMode, cmd.resultText));
  } else if (code == kCommandServerCopy) {
    ServerCopy(cmd);
  } else if (code >= kOfflineCommandFirst && code <= kOfflineCommandLast && (code & 3) == 0) {
    auto& hook = ctx.connection.hooks.offlineCommand;
    auto* answer = reinterpret_cast<InternalRequest*>(cmd.answer);
    cmd.SetResult(hook ? hook(code, ctx.connection, ctx.entry, ctx.area, cmd.request, *answer)
                       : STATUS_INVALID_DEVICE_REQUEST);
  } else {
    uint32_t information = ctx.reply.information;
    auto* answer = reinterpret_cast<InternalRequest*>(cmd.answer);
    NTSTATUS status = client.Control(code, ctx.entry, ctx.area, answer, &information, &cmd.request);
    ctx.Answer(status, information);
    if (code == kControlFolderCopy || code == kControlFolderMove || code == kControlFolderDelete)
      AfterFolderCommand(cmd, code, status);
  }
}

// Commands that change the server in ways the entry cache does not follow.
bool ChangesTheServer(uint32_t code) {
  switch (code) {
    case kCommandServerCopy:
    case kControlFolderCopy:
    case kControlFolderMove:
    case kControlFolderDelete:
    case kControlCheckin:
    case kControlCheckout:
    case kControlUncheckout:
      return true;
    default:
      return code >= kOfflineCommandFirst && code <= kOfflineCommandLast;
  }
}

}  // namespace

void DeviceControlOperation(RequestContext& ctx) {
  Command cmd{ctx, {}, nullptr, nullptr};
  std::memcpy(&cmd.request, ctx.request.data, std::min(ctx.DataLength(), sizeof cmd.request));
  cmd.answer = ctx.reply.data;
  std::memcpy(cmd.answer, &cmd.request, sizeof cmd.request);
  cmd.resultText = reinterpret_cast<char16_t*>(cmd.answer + kTargetOffset);
  cmd.resultText[0] = 0;
  Put8(cmd.answer, kDestinationOffset, 0);
  Put8(cmd.answer, kDestinationOffset + 1, 0);
  ctx.Answer(STATUS_SUCCESS, sizeof(InternalRequest));
  if (ctx.connection.client == nullptr) {
    if (ctx.Word(2) == kCommandStateQuery) {
      StateQuery(cmd);
    } else {
      ctx.Answer(STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return;
  }
  Run(cmd, ctx.Word(2));
  if (ChangesTheServer(ctx.Word(2))) ExpireAllListings(ctx.connection);
}

}  // namespace hvm
