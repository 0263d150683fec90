// Local copies: the contents of files being read or written, kept in
// temporary files whose byte offsets equal the remote file's.
#pragma once
#include <cstddef>
#include <cstdint>

#include "agent/service/connection.h"
#include "agent/service/file_entry.h"

namespace hvm {

enum class CopyKind { Local, Second };

enum LocalCopyResult : int {
  kLocalCopyWritten = 0,
  kLocalCopyNotOpened = 1,
  kLocalCopyWriteFailed = 2,
};

// The new descriptor in the chosen field, or kNoFile.
int OpenLocalCopy(Connection& connection, FileEntry& entry, CopyKind which);
// 0 written; 1 the file could not be opened ("Open error" box); 2 positioning
// or writing failed or was short ("Write error" box). A read-only entry's
// local copy is left alone (0). Length 0 only makes the file.
int WriteLocalCopy(Connection& connection, FileEntry& entry, const uint8_t* data, uint64_t offset,
                   size_t length, CopyKind which);
// Zero bytes over [from, to) of the chosen copy (opened when needed); same results.
int ZeroLocalCopy(Connection& connection, FileEntry& entry, uint64_t from, uint64_t to,
                  CopyKind which);
void CloseLocalCopy(Connection& connection, FileEntry& entry, CopyKind which);

}  // namespace hvm
