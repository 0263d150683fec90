// Write (operation 4): into the local copy, filling a gap with zeros first.
#include "agent/clients/remote_client.h"
#include "agent/service/local_copy.h"
#include "agent/service/operations.h"

namespace hvm {

void WriteOperation(RequestContext& ctx) {
  FileEntry& entry = *ctx.entry;
  if (!IsWritableFile(ctx)) return;
  uint32_t length = ctx.Word(0);
  // The bytes are in the record, or in the slot of the shared area it names.
  const uint8_t* data = ctx.NamesSlot() ? ctx.Slot() : ctx.request.data;
  size_t carried = ctx.NamesSlot() ? kSharedSlotSize : ctx.DataLength();
  if (data == nullptr || length > carried || length > ctx.connection.pieceSize) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return;
  }
  if (!BeginWriteIfUnlocked(ctx)) return;
  uint64_t offset = ByteOffsetOf(ctx.request);
  uint64_t end = offset + length;
  if (ctx.connection.client->Write(&entry, ctx.area, offset, end, data, STATUS_SUCCESS) != 0) {
    ctx.Answer(STATUS_SUCCESS, length);
    return;
  }
  uint64_t valid = ValidLengthOf(ctx.request);
  bool hasGap = valid != 0 && valid != kNoValidLength && offset > valid;
  if (hasGap && ZeroLocalCopy(ctx.connection, entry, valid, offset, CopyKind::Local) != kLocalCopyWritten) {
    ctx.Answer(STATUS_DATA_ERROR);
    return;
  }
  if (WriteLocalCopy(ctx.connection, entry, data, offset, length, CopyKind::Local) != kLocalCopyWritten) {
    ctx.Answer(STATUS_DATA_ERROR);
    return;
  }
  uint64_t size = FileSizeOf(ctx.request);
  if (size < end) {
    size = end;
    entry.size = end;
  }
  ctx.connection.client->ProgramWrote(&entry, ctx.area, offset, end);
  ctx.SetReplyValue64(size);
  ctx.Answer(STATUS_SUCCESS, length);
  entry.lastWriteTime = NowFileTime();
}

}  // namespace hvm
