// Step 2 to 6 of a loop iteration: the request lock, finding the entry,
// the dispatch and the trace lines.
#include "agent/service/request_dispatch.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "agent/service/operations.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr size_t kCreateNameOffset = 4;
constexpr size_t kCreateNameChars = 260;

const char16_t* OpName(const RequestRecord& request) {
  return MajorFunctionName(request.MajorFunction);
}

std::u16string ConnectionName(const Connection& c) { return std::u16string(c.Name()); }

// The create's full name as the driver sent it, checked. Empty after an answer.
bool ReadCreateName(RequestContext& ctx) {
  size_t bytes = ctx.DataLength();
  if (bytes < kCreateNameOffset) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return false;
  }
  size_t chars = std::min((bytes - kCreateNameOffset) / 2, kCreateNameChars);
  std::u16string name;
  for (size_t i = 0; i < chars; ++i) {
    char16_t c;
    std::memcpy(&c, ctx.request.data + kCreateNameOffset + i * 2, 2);
    if (c == 0) break;
    name += c;
  }
  // Cutting a longer name would open a different file; it is refused instead.
  if (name.size() > kEntryMaxPathChars) {
    ctx.Answer(STATUS_OBJECT_NAME_INVALID);
    return false;
  }
  if (!name.empty() && name.back() == u'\\') name.pop_back();
  for (size_t i = 0; i < std::min<size_t>(9, name.size()); ++i) {
    if (name[i] >= u'a' && name[i] <= u'z') name[i] = static_cast<char16_t>(name[i] - 0x20);
  }
  std::u16string root = ctx.connection.RootPath();
  bool underRoot = name.size() >= root.size() && EqualsNoCase(name.substr(0, root.size()), root) &&
                   (name.size() == root.size() || name[root.size()] == u'\\');
  if (!underRoot) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return false;
  }
  ctx.name = std::move(name);
  return true;
}

// Step 4 for operation 14: the target name's entry.
bool FindCommandTarget(RequestContext& ctx) {
  InternalRequest command{};
  std::memcpy(&command, ctx.request.data, std::min(ctx.DataLength(), sizeof command));
  ctx.name = TargetNameOf(ctx.connection, ctx.Word(2), command);
  if (ctx.name.empty()) {
    WideDbgPrint(u"Cycle IOCTL the name is NULL\n");
    ctx.Answer(STATUS_INVALID_DEVICE_REQUEST);
    return false;
  }
  ctx.entry = ctx.connection.entries.LookUp(ctx.name);
  // The state query has its own answer for a name that is not cached.
  if (ctx.entry == nullptr && ctx.Word(2) != 0x1420C4) {
    ctx.Answer(STATUS_INVALID_DEVICE_REQUEST);
    return false;
  }
  return true;
}

// A file removed from the server while still open: its handles may only
// be cleaned up, closed and asked about; nothing of theirs reaches a new
// file of the same name.
bool RemovedWhileOpen(const FileEntry& entry, uint8_t major) {
  if (!(entry.flags & kEntryDeletedOnServer)) return false;
  return major != MJ_CLEANUP && major != MJ_QUERY_INFORMATION && major != MJ_LOCK_CONTROL;
}

bool FindOpenHandle(RequestContext& ctx) {
  ctx.handle = ctx.connection.openHandles.Find(ctx.request.FileObject);
  if (ctx.handle == nullptr) {
    WideDbgPrint(u"**** Cycle %ws majorF=%ws status=STATUS_INVALID_DEVICE_REQUEST\n",
                 ConnectionName(ctx.connection).c_str(), OpName(ctx.request));
    ctx.Answer(STATUS_INVALID_DEVICE_REQUEST);
    return false;
  }
  ctx.handle->currentRequest = ctx.request.requestId;
  ctx.entry = ctx.handle->entry;
  return true;
}

// Step 4: finds the entry; false after an answer.
bool FindEntry(RequestContext& ctx) {
  const RequestRecord& request = ctx.request;
  if (request.MajorFunction == MJ_CREATE) {
    ctx.reply.value = 0;
    if (!ReadCreateName(ctx)) return false;
    if (!ctx.connection.client || !ctx.connection.connected) {
      ctx.Answer(STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST);
      return false;
    }
    return true;
  }
  if (request.MajorFunction == MJ_DEVICE_CONTROL) {
    if (!FindCommandTarget(ctx)) return false;
  } else if (!FindOpenHandle(ctx)) {
    return false;
  }
  FileEntry* entry = ctx.entry;
  if (entry != nullptr && entry->IsDeletePending() &&
      (entry->handleCount == 0 || RemovedWhileOpen(*entry, request.MajorFunction)) &&
      request.MajorFunction != MJ_CLOSE) {
    WideDbgPrint(u"Cycle %ws majorF=%ws status=%ws\n", ConnectionName(ctx.connection).c_str(),
                 OpName(request), NtStatusName(STATUS_FILE_DELETED));
    ctx.Answer(STATUS_FILE_DELETED);
    return false;
  }
  if (request.MajorFunction != MJ_DEVICE_CONTROL && entry != nullptr) {
    // While a file is open the driver's size is the one that counts; an open
    // by name brings none.
    uint64_t driverSize = FileSizeOf(request);
    ctx.reply.value = request.fileValue;
    ctx.sizeBeforeRequest = entry->size;
    if (driverSize != kSizeOfNoFcb) entry->size = driverSize;
  }
  return true;
}

void Dispatch(RequestContext& ctx) {
  switch (ctx.request.MajorFunction) {
    case MJ_CREATE: CreateOperation(ctx); break;
    case MJ_CLOSE: CloseOperation(ctx); break;
    case MJ_READ: ReadOperation(ctx); break;
    case MJ_WRITE: WriteOperation(ctx); break;
    case MJ_QUERY_INFORMATION: QueryInformationOperation(ctx); break;
    case MJ_SET_INFORMATION: SetInformationOperation(ctx); break;
    case MJ_FLUSH_BUFFERS: break;
    case MJ_DIRECTORY_CONTROL: DirectoryQueryOperation(ctx); break;
    case MJ_DEVICE_CONTROL: DeviceControlOperation(ctx); break;
    case MJ_TOKEN_REPLACE: TokenReplaceOperation(ctx); break;
    case MJ_LOCK_CONTROL: ctx.Answer(STATUS_SUCCESS, 0); break;
    case MJ_CLEANUP: CleanupOperation(ctx); break;
    case MJ_CONTENT_PUSH: ContentPushOperation(ctx); break;
    case MJ_COPY_RANGE: CopyRangeOperation(ctx); break;
    default: ctx.Answer(STATUS_INVALID_DEVICE_REQUEST); break;
  }
}

bool IsKnownOperation(uint8_t major) {
  switch (major) {
    case MJ_CREATE: case MJ_CLOSE: case MJ_READ: case MJ_WRITE: case MJ_QUERY_INFORMATION:
    case MJ_SET_INFORMATION: case MJ_FLUSH_BUFFERS: case MJ_DIRECTORY_CONTROL:
    case MJ_DEVICE_CONTROL: case MJ_TOKEN_REPLACE: case MJ_LOCK_CONTROL: case MJ_CLEANUP:
    case MJ_CONTENT_PUSH: case MJ_COPY_RANGE:
      return true;
    default:
      return false;
  }
}

void PrepareArea(RequestContext& ctx) {
  std::u16string_view path = ctx.request.MajorFunction == MJ_CREATE || ctx.entry == nullptr
                                 ? std::u16string_view(ctx.name)
                                 : ctx.entry->Path();
  CopyWide(ctx.area.path, kEntryPathChars, path);
  ctx.area.serverPath = ServerPathOf(ctx.connection, path);
  ctx.area.status = STATUS_SUCCESS;
  ctx.area.connectionHandle = ctx.connection.connectionHandle;
  ctx.area.requestId = ctx.request.requestId;
}

}  // namespace

std::u16string TargetNameOf(const Connection& connection, uint32_t code,
                            const InternalRequest& command) {
  if (code <= kInternIoctlLow || code >= kInternIoctlHigh) return {};
  const auto* bytes = reinterpret_cast<const uint8_t*>(&command);
  auto charAt = [bytes](size_t offset) {
    char16_t c;
    std::memcpy(&c, bytes + offset, 2);
    return c;
  };
  if (charAt(250) != u':') return {};
  std::u16string path;
  for (size_t offset = 252; offset + 2 <= 768; offset += 2) {
    char16_t c = charAt(offset);
    if (c == 0) break;
    path += c;
  }
  std::u16string name = connection.RootPath();
  if (path.empty() || path.front() != u'\\') name += u'\\';
  name += path;
  // A cut name would be another file's; such a command has no target.
  if (name.size() > kEntryMaxPathChars) return {};
  if (!name.empty() && name.back() == u'\\') name.pop_back();
  return name;
}

bool ProcessRequest(Connection& connection, LoopState& loop, const RequestRecord& request,
                    ReplyRecord& reply, size_t returnedBytes) {
  std::u16string connName(connection.Name());
  WideDbgPrint(u"Cycle %ws majorF=%ws %ld, \n", connName.c_str(), OpName(request),
               static_cast<long>(request.MajorFunction));
  std::lock_guard<std::recursive_mutex> guard(connection.requestLock);
  if (!connection.mapped) return false;

  RequestContext ctx{connection, loop, request, reply};
  reply.information = 0;
  reply.value = 0;
  bool wellFormed = returnedBytes >= kRequestHeaderSize &&
                    request.dataLength <= returnedBytes - kRequestHeaderSize &&
                    request.dataLength <= kRequestDataCapacity;
  if (!wellFormed) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
  } else if (!IsKnownOperation(request.MajorFunction)) {
    ctx.Answer(STATUS_INVALID_DEVICE_REQUEST);
  } else if (FindEntry(ctx)) {
    PrepareArea(ctx);
    WideDbgPrint(u"%ws MJ_FUN=%ws uName: %ws\n", connName.c_str(), OpName(request),
                 std::u16string(ctx.area.path).c_str());
    ctx.Answer(STATUS_SUCCESS, 0);
    Dispatch(ctx);
  }
  WideDbgPrint(u"Cycle %ws, majorF=%ws %ld status=%lx=%ws\n", connName.c_str(), OpName(request),
               static_cast<long>(request.MajorFunction), static_cast<unsigned long>(reply.status),
               NtStatusName(reply.status));
  loop.previousStatus = reply.status;
  return true;
}

}  // namespace hvm
