// Copy of a range (operation 23, the driver's copy_file_range): a whole file
// copied into a file just created and still empty is made by the server,
// where the client can. Every other case is answered STATUS_NOT_SUPPORTED,
// and the bytes then come through reads and writes as for any copy.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "agent/clients/remote_client.h"
#include "agent/service/local_copy.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

CopyRangeRecord RecordOf(const RequestContext& ctx) {
  CopyRangeRecord record{};
  std::memcpy(&record, ctx.request.data, std::min(ctx.DataLength(), sizeof record));
  return record;
}

// The source, when the server's copy of it is what its readers see.
FileEntry* SourceOf(RequestContext& ctx, const CopyRangeRecord& record) {
  OpenHandle* handle = ctx.connection.openHandles.Find(record.sourceFileObject);
  FileEntry* source = handle != nullptr ? handle->entry : nullptr;
  if (source == nullptr || source == ctx.entry || source->IsDirectory() || source->IsDeletePending())
    return nullptr;
  // Changes not uploaded yet (or on their way) are not on the server.
  constexpr uint32_t kNotOnServer = kEntryWrittenLocally | kEntryCreatePending | kEntryDeletedOnServer;
  if ((source->flags & kNotOnServer) || source->backgroundUsers != 0) return nullptr;
  if (source->size == kNoSize || source->size == 0 || source->size != record.sourceSize) return nullptr;
  return source;
}

// A created name the server has nothing under yet, not written since, and
// holding no lock of its own (a locked name would need its token).
bool IsFreshAndEmpty(const RequestContext& ctx, const FileEntry& destination) {
  constexpr uint32_t kCreatedHere = kEntryCreatePending | kEntryMustBeNew;
  if ((destination.flags & kCreatedHere) != kCreatedHere) return false;
  if (FileSizeOf(ctx.request) != 0 || destination.lockCount != 0 || !destination.lockToken.empty())
    return false;
  if (destination.secondCopy != kNoFile) return false;
  struct stat info {};
  return !destination.HasLocalCopy() || (fstat(destination.localCopy, &info) == 0 && info.st_size == 0);
}

// After the server's copy: the empty local copy made at create must never be
// uploaded over it, and size and time are the server's.
void TakeServerCopy(RequestContext& ctx, FileEntry& destination, const FileEntry& source) {
  Connection& c = ctx.connection;
  destination.flags &= ~(kEntryWrittenLocally | kEntryCreatePending | kEntryMustBeNew | kEntryStrikeBits);
  CloseLocalCopy(c, destination, CopyKind::Local);
  CloseLocalCopy(c, destination, CopyKind::Second);
  FileTime now = NowFileTime();
  destination.size = source.size;
  destination.lastWriteTime = destination.changeTime = now;
  destination.serverModifiedTime = 0;
  NTSTATUS refreshed = c.client->ListDirectory(ctx.area.serverPath, &destination, nullptr);
  if (refreshed != STATUS_SUCCESS)
    WideDbgPrint(u"copy range: %ws not listed after the copy (%lx)\n", ctx.area.serverPath.c_str(),
                 static_cast<unsigned long>(refreshed));
  if (destination.size == kNoSize) destination.size = source.size;
  destination.lastRefreshTime = now;
}

}  // namespace

void CopyRangeOperation(RequestContext& ctx) {
  FileEntry& destination = *ctx.entry;
  if (ctx.DataLength() < sizeof(CopyRangeRecord)) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return;
  }
  // Refused as a write to the destination would be.
  if (!IsWritableFile(ctx) || !BeginWriteIfUnlocked(ctx)) return;
  CopyRangeRecord record = RecordOf(ctx);
  FileEntry* source = SourceOf(ctx, record);
  bool whole = record.sourceOffset == 0 && record.destinationOffset == 0 && source != nullptr &&
               record.length >= source->size;
  if (!whole || !IsFreshAndEmpty(ctx, destination)) {
    ctx.Answer(STATUS_NOT_SUPPORTED);
    return;
  }
  ReplyArea sourceArea;
  CopyWide(sourceArea.path, kEntryPathChars, source->Path());
  sourceArea.serverPath = ServerPathOf(ctx.connection, source->Path());
  sourceArea.connectionHandle = ctx.area.connectionHandle;
  sourceArea.requestId = ctx.area.requestId;
  NTSTATUS status =
      ctx.connection.client->CopyToNewFile(source, sourceArea, &destination, ctx.area.serverPath);
  if (status != STATUS_SUCCESS) {
    // Nothing changed here: the caller copies the bytes itself, and the
    // destination's first upload still refuses to replace another's file.
    WideDbgPrint(u"copy range: the server did not copy %ws (%lx)\n", ctx.area.serverPath.c_str(),
                 static_cast<unsigned long>(status));
    ctx.Answer(STATUS_NOT_SUPPORTED);
    return;
  }
  TakeServerCopy(ctx, destination, *source);
  CopyRangeAnswer answer{std::min<uint64_t>(destination.size, record.length), destination.size};
  std::memcpy(ctx.reply.data, &answer, sizeof answer);
  ctx.Answer(STATUS_SUCCESS, sizeof answer);
}

}  // namespace hvm
