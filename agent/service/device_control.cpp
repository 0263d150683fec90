// Device control (operation 14): the shell modules' commands.
#include <algorithm>
#include <cstring>

#include "agent/clients/remote_client.h"
#include "agent/service/byte_layout.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"

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

// The copy's new cache entry beside the source; false after an answer.
bool RecordServerCopy(Command& cmd, std::u16string_view cachePath) {
  RequestContext& ctx = cmd.ctx;
  EntryCache& cache = ctx.connection.entries;
  FileEntry* parent = cache.LookUp(ParentPathOf(cachePath));
  // Only a cached folder can hold the copy.
  if (parent == nullptr || !parent->IsDirectory()) {
    ctx.Answer(STATUS_DATA_ERROR);
    return false;
  }
  FileEntry* copy = cache.LookUp(cachePath);
  if (copy == nullptr) copy = cache.NewEntry(cachePath);
  if (copy == nullptr) {
    ctx.Answer(STATUS_INSUFFICIENT_RESOURCES);
    return false;
  }
  FileTime now = NowFileTime();
  copy->parent = parent;
  copy->size = ctx.entry->size;
  copy->creationTime = copy->changeTime = copy->lastWriteTime = now;
  return true;
}

void ServerCopy(Command& cmd) {
  RequestContext& ctx = cmd.ctx;
  const auto* request = reinterpret_cast<const uint8_t*>(&cmd.request);
  std::u16string below = WideAt(request, kDestinationOffset + 4, kPathFieldChars - 2);
  if (below.empty() || below.front() != u'\\') below.insert(below.begin(), u'\\');
  std::u16string cachePath = ctx.connection.RootPath() + below;
  if (cachePath.size() > kEntryMaxPathChars) {
    ctx.Answer(STATUS_OBJECT_NAME_INVALID);
    return;
  }
  std::u16string destination = ServerPathOf(ctx.connection, cachePath);
  NTSTATUS status = ctx.connection.client->Copy(ctx.entry, ctx.area, 0, destination, cmd.resultText);
  if (status != STATUS_SUCCESS) {
    cmd.SetResult(status);
    return;
  }
  if (!RecordServerCopy(cmd, cachePath)) return;
  cmd.SetResult(0);
  std::u16string drivePath = DrivePathOf(ctx.connection, cachePath);
  drivePath.resize(std::min(drivePath.size(), kEntryMaxPathChars));
  std::memset(cmd.answer, 0, (kEntryMaxPathChars + 1) * 2);
  PutWide(cmd.answer, 0, drivePath);
}

void Run(Command& cmd, uint32_t code) {
  RequestContext& ctx = cmd.ctx;
  RemoteClient& client = *ctx.connection.client;
  if (code == kCommandStateQuery) {
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
}

}  // namespace hvm
