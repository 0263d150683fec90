// The last resort of a failed upload: the written local copy is kept in the
// backup folder ($XDG_DATA_HOME/halvenmoor/backup/<site>/<name>.<stamp>) and
// the person is told where.
#pragma once
#include <string>
#include <string_view>

namespace hvm {

// Copies the contents of fd into a new backup file; its path, or empty on failure.
std::string WriteUploadBackup(int fd, std::u16string_view site, std::u16string_view name);
// WriteUploadBackup, then the " Backup" box naming the file (or saying that
// it could not be saved). True when the copy is safe.
bool SaveUploadBackup(int fd, std::u16string_view site, std::u16string_view name);

}  // namespace hvm
