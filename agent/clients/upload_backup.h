// The last resort of a failed upload: the written local copy is kept in the
// backup folder ($XDG_DATA_HOME/halvenmoor/backup/<site>/<name>.<stamp>) and
// the person is told where.
#pragma once
#include <string>
#include <string_view>

namespace hvm {

struct FileEntry;

// Copies the contents of fd into a new backup file; its path, or empty on failure.
std::string WriteUploadBackup(int fd, std::u16string_view site, std::u16string_view name);
// The end of an upload that failed for good: the written contents go into
// the backup folder, the " Backup" box names the file (or says that it could
// not be saved), and the entry keeps the error text and the copy's path for
// the notice of an upload nobody waits for. True when the copy is safe.
bool KeepFailedUpload(FileEntry& entry, int fd, std::u16string_view site, std::u16string_view errorText);

}  // namespace hvm
