// Drive letters as symbolic links in the drives folder: the link named "X"
// points at the Connection's folder on the mount.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "agent/app/drive_letters.h"
#include "agent/service/registration.h"
#include "agent/service/shared_section.h"
#include "common/moorlib.h"
#include "platform/registry.h"
#include "platform/runtime_paths.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr size_t kLinkTargetChars = 4096;

}  // namespace

std::string ConnectionFolder(std::u16string_view connectionName) {
  char16_t sid[kSidChars] = {};
  GetCurrentUserSidString(sid, static_cast<int>(kSidChars - 1));
  return MountPointPath() + "/" + Utf16ToUtf8(WideField(sid, kSidChars)) + "/QUENLODE/" +
         Utf16ToUtf8(connectionName);
}

bool QueryDriveLink(char letter, std::string& target) {
  target.clear();
  std::string path = DriveLinkPath(letter);
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return false;
  if (!S_ISLNK(info.st_mode)) return true;
  std::string buffer(kLinkTargetChars, '\0');
  ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
  if (length > 0) target.assign(buffer.data(), static_cast<size_t>(length));
  return true;
}

bool DefineDriveLink(char letter, const std::string& target) {
  if (letter == 0 || letter == '/' || letter == '.') return false;
  if (!MakeDirs(DrivesFolder(), 0700)) return false;
  if (symlink(target.c_str(), DriveLinkPath(letter).c_str()) == 0) return true;
  WideDbgPrint(u"DefineDosDevice failed with code %d\n", errno);
  return false;
}

bool RemoveDriveLink(char letter) {
  std::string path = DriveLinkPath(letter);
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return errno == ENOENT;
  // A file or folder the person made under that name is theirs, never ours.
  if (!S_ISLNK(info.st_mode)) return false;
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace hvm
