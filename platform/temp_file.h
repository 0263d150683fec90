// Temporary local copies: files named with the prefix "HVM" in $TMPDIR,
// unlinked at once so that they vanish when the last descriptor closes.
#pragma once

namespace hvm {

// Returns an open read-write descriptor, or -1 with errno set.
int CreateTempLocalFile();

}  // namespace hvm
