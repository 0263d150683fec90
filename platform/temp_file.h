// Temporary local copies: files named with the prefix "HVM" in $TMPDIR,
// unlinked at once so that they vanish when the last descriptor closes.
#pragma once

namespace hvm {

// Returns an open read-write descriptor, or -1 with errno set. After the
// first file in a folder, new ones come from a few made ahead there.
int CreateTempLocalFile();
// Returns once no file is being made ahead (for tests).
void WaitForSpareTempFiles();

}  // namespace hvm
