#include "agent/service/local_copy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "agent/clients/remote_client.h"
#include "platform/temp_file.h"
#include "platform/ui.h"
#include "platform/wide_format.h"

namespace hvm {
namespace {

constexpr DWORD kErrorBoxStyle = MB_ICONSTOP | MB_DEFAULT_DESKTOP_ONLY;  // 0x20010
constexpr size_t kZeroPiece = kWidePieceSize;  // zeros written a call, as wide as a write

int& FieldOf(FileEntry& entry, CopyKind which) {
  return which == CopyKind::Local ? entry.localCopy : entry.secondCopy;
}

int ReportWriteError(FileEntry& entry, uint64_t offset, size_t length, int error) {
  std::u16string text = FormatWide(u"Cannot write to tempfile %ld st=%ld %ld\n%ws",
                                   static_cast<long>(error), static_cast<long>(offset),
                                   static_cast<long>(length), std::u16string(entry.Path()).c_str());
  CurrentUi().MessageBox(text, u"Write error", kErrorBoxStyle);
  return kLocalCopyWriteFailed;
}

// Opens the copy when needed; kLocalCopyNotOpened after telling the user.
int EnsureOpen(Connection& connection, FileEntry& entry, CopyKind which) {
  if (FieldOf(entry, which) != kNoFile) return kLocalCopyWritten;
  if (OpenLocalCopy(connection, entry, which) != kNoFile) return kLocalCopyWritten;
  CurrentUi().MessageBox(u"Cannot open tempfile", u"Open error", kErrorBoxStyle);
  return kLocalCopyNotOpened;
}

// An upload streamed from the local copy must hear of every change to it.
void NoteChange(Connection& connection, FileEntry& entry, CopyKind which, uint64_t from) {
  if (which == CopyKind::Local && connection.client) connection.client->LocalCopyChanged(&entry, from);
}

bool WriteAll(int fd, const uint8_t* data, uint64_t offset, size_t length) {
  while (length > 0) {
    ssize_t n = pwrite(fd, data, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Zeros over [from, to) of the open copy fd.
int ZeroRange(FileEntry& entry, int fd, uint64_t from, uint64_t to) {
  struct stat st{};
  if (fstat(fd, &st) != 0) return ReportWriteError(entry, from, to - from, errno);
  uint64_t end = static_cast<uint64_t>(st.st_size);
  // Bytes past the end read as zero once the file is extended; only the part
  // that already holds data needs zeros written over it.
  static const std::vector<uint8_t> zeros(kZeroPiece, 0);
  for (uint64_t at = from; at < std::min(to, end);) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(kZeroPiece, std::min(to, end) - at));
    if (!WriteAll(fd, zeros.data(), at, piece)) return ReportWriteError(entry, at, piece, errno);
    at += piece;
  }
  if (to > end && ftruncate(fd, static_cast<off_t>(to)) != 0)
    return ReportWriteError(entry, end, to - end, errno);
  return kLocalCopyWritten;
}

}  // namespace

int OpenLocalCopy(Connection&, FileEntry& entry, CopyKind which) {
  int fd = CreateTempLocalFile();
  FieldOf(entry, which) = fd < 0 ? kNoFile : fd;
  return FieldOf(entry, which);
}

int WriteLocalCopy(Connection& connection, FileEntry& entry, const uint8_t* data, uint64_t offset,
                   size_t length, CopyKind which) {
  if (entry.IsReadOnly() && which == CopyKind::Local) return kLocalCopyWritten;
  int opened = EnsureOpen(connection, entry, which);
  if (opened != kLocalCopyWritten) return opened;
  bool written = length == 0 || WriteAll(FieldOf(entry, which), data, offset, length);
  int error = errno;
  if (length > 0) NoteChange(connection, entry, which, offset);
  if (!written) return ReportWriteError(entry, offset, length, error);
  if (which == CopyKind::Local) entry.flags |= kEntryWrittenLocally;
  return kLocalCopyWritten;
}

int ZeroLocalCopy(Connection& connection, FileEntry& entry, uint64_t from, uint64_t to,
                  CopyKind which) {
  if (to <= from) return kLocalCopyWritten;
  if (entry.IsReadOnly() && which == CopyKind::Local) return kLocalCopyWritten;
  int opened = EnsureOpen(connection, entry, which);
  if (opened != kLocalCopyWritten) return opened;
  int result = ZeroRange(entry, FieldOf(entry, which), from, to);
  // Also after a failure: part of the range may hold zeros now.
  NoteChange(connection, entry, which, from);
  if (result == kLocalCopyWritten && which == CopyKind::Local) entry.flags |= kEntryWrittenLocally;
  return result;
}

void CloseLocalCopy(Connection& connection, FileEntry& entry, CopyKind which) {
  int& fd = FieldOf(entry, which);
  if (fd != kNoFile) NoteChange(connection, entry, which, 0);
  if (fd != kNoFile) close(fd);
  fd = kNoFile;
}

}  // namespace hvm
