// Content push (operation 22): the file's contents handed over by the driver
// before the first write, piece by piece, then the end marker.
#include "agent/clients/remote_client.h"
#include "agent/service/local_copy.h"
#include "agent/service/operations.h"

namespace hvm {
namespace {

// The piece the server has at offset, into the reply data; false after an answer.
bool FetchPiece(RequestContext& ctx, uint64_t offset, uint32_t length) {
  FileEntry& entry = *ctx.entry;
  if (entry.flags & kEntryStrikeBits) {
    ctx.Answer(STATUS_UNEXPECTED_NETWORK_ERROR);
    return false;
  }
  NTSTATUS status = ctx.connection.client->Get(&entry, ctx.area, offset, offset + length,
                                               ctx.reply.data, 0);
  if (status == STATUS_SUCCESS) {
    entry.flags &= ~kEntryStrikeBits;
    return true;
  }
  if (entry.flags & kEntryStrikeBits) {
    entry.flags |= kEntryReadOnly;
  } else {
    entry.flags |= kEntryReadFailed;
  }
  ctx.Answer(STATUS_UNEXPECTED_NETWORK_ERROR);
  return false;
}

void FinishPush(RequestContext& ctx) {
  FileEntry& entry = *ctx.entry;
  if (entry.HasLocalCopy()) return;
  if (entry.secondCopy != kNoFile) {
    entry.localCopy = entry.secondCopy;
    entry.secondCopy = kNoFile;
    entry.flags |= kEntryWrittenLocally;
    return;
  }
  if (WriteLocalCopy(ctx.connection, entry, nullptr, 0, 0, CopyKind::Local) != kLocalCopyWritten)
    ctx.Answer(STATUS_UNEXPECTED_NETWORK_ERROR);
}

}  // namespace

void ContentPushOperation(RequestContext& ctx) {
  FileEntry& entry = *ctx.entry;
  if (!IsWritableFile(ctx)) return;
  uint32_t mode = ctx.Word(0);
  uint32_t fetchLength = ctx.DataWord(0);
  const size_t piece = ctx.connection.pieceSize;
  if (mode != 0 && mode <= piece && (ctx.DataLength() < 4 || fetchLength > piece)) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return;
  }
  // The driver never pushes more than a piece at a time.
  if (mode == 0 && ctx.DataLength() > piece) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return;
  }
  if (!BeginWriteIfUnlocked(ctx)) return;
  uint64_t offset = ByteOffsetOf(ctx.request);
  // Above one full piece is the end marker; a piece of exactly the piece size is fetched.
  if (mode > piece) {
    FinishPush(ctx);
    return;
  }
  // Pushed bytes are taken where they arrived; fetched ones land in the reply area.
  uint32_t length;
  const uint8_t* bytes = ctx.reply.data;
  if (mode == 0) {
    length = static_cast<uint32_t>(ctx.DataLength());
    bytes = ctx.request.data;
  } else {
    length = fetchLength;
    if (!FetchPiece(ctx, offset, length)) return;
  }
  ctx.connection.client->Write(&entry, ctx.area, offset, offset + length, bytes, STATUS_SUCCESS);
  CopyKind target = entry.HasLocalCopy() ? CopyKind::Local : CopyKind::Second;
  if (WriteLocalCopy(ctx.connection, entry, bytes, offset, length, target) !=
      kLocalCopyWritten) {
    ctx.Answer(STATUS_UNEXPECTED_NETWORK_ERROR);
    return;
  }
  ctx.Answer(STATUS_SUCCESS, length);
}

}  // namespace hvm
