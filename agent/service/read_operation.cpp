// Read (operation 3): from the local copy, or from the server in the range asked.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/clients/remote_client.h"
#include "agent/service/operations.h"
#include "common/moorlib.h"
#include "platform/ui.h"
#include "platform/wide_format.h"

namespace hvm {
namespace {

void ReadFromServer(RequestContext& ctx, uint8_t* into, uint64_t offset, uint32_t length) {
  FileEntry& entry = *ctx.entry;
  if (entry.flags & kEntryStrikeBits) {
    ctx.Answer(STATUS_UNEXPECTED_NETWORK_ERROR);
    return;
  }
  NTSTATUS status = ctx.connection.client->Get(&entry, ctx.area, offset, offset + length, into, 0);
  if (status == STATUS_SUCCESS) {
    entry.flags &= ~kEntryStrikeBits;
    ctx.Answer(STATUS_SUCCESS, length);
    return;
  }
  entry.flags |= (entry.flags & kEntryReadFailed) ? kEntryReadFailedAgain : kEntryReadFailed;
  ctx.Answer(STATUS_UNEXPECTED_NETWORK_ERROR);
}

void ReadFromLocalCopy(RequestContext& ctx, uint8_t* into, uint64_t offset, uint32_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(ctx.entry->localCopy, into + done, length - done,
                      static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::u16string text = FormatWide(u"Cannot read currlen=%d, len=%d, bytes=%d, code=%d",
                                       static_cast<int>(offset), static_cast<int>(length),
                                       static_cast<int>(done), errno);
      CurrentUi().MessageBox(text, u"Read error", MB_ICONSTOP | MB_DEFAULT_DESKTOP_ONLY);
      ctx.Answer(STATUS_ACCESS_DENIED);
      return;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  if (done < length) {
    std::memset(into + done, 0, length - done);
    WideDbgPrint(u"***READ SET NULL currlen=%ld len=%ld bytes=%ld\n", static_cast<long>(offset),
                 static_cast<long>(length), static_cast<long>(done));
  }
  ctx.Answer(STATUS_SUCCESS, length);
}

}  // namespace

void ReadOperation(RequestContext& ctx) {
  if (ctx.entry->IsDirectory()) {
    ctx.Answer(STATUS_INVALID_DEVICE_REQUEST);
    return;
  }
  ctx.reply.information = 0;
  ctx.entry->readCount += 1;
  uint64_t offset = ByteOffsetOf(ctx.request);
  uint32_t length = ctx.DataWord(0);
  if (ctx.DataLength() < 4 || length > ctx.connection.pieceSize) {
    // More than one piece would run past the reply buffer.
    WideDbgPrint(u"***READ ERROR currlen=%ld len=%ld\n", static_cast<long>(offset),
                 static_cast<long>(length));
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return;
  }
  // Straight into the slot the driver named, or into the reply.
  uint8_t* into = ctx.reply.data;
  if (ctx.NamesSlot()) {
    into = ctx.Slot();
    if (into == nullptr || length > kSharedSlotSize) {
      ctx.Answer(STATUS_INVALID_PARAMETER);
      return;
    }
  }
  if (ctx.entry->HasLocalCopy()) {
    ReadFromLocalCopy(ctx, into, offset, length);
  } else {
    ReadFromServer(ctx, into, offset, length);
  }
}

}  // namespace hvm
