// Locating a path's Connection and sending the offline commands.
#include "shell/moornook_request.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/control_device.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

// The drive letter of the first one-letter link on the way to the Connection folder.
char DriveLetterOf(const std::string& path, const std::string& connectionFolder) {
  std::string prefix = path.size() > 0 && path[0] == '/' ? "" : ".";
  for (const std::string& part : Components(path)) {
    prefix += "/" + part;
    struct stat info {};
    if (lstat(prefix.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) continue;
    if (part.size() == 1 && ((part[0] | 0x20) >= 'a' && (part[0] | 0x20) <= 'z') &&
        Resolved(prefix) == connectionFolder)
      return static_cast<char>(part[0] & ~0x20);
  }
  return 'X';
}

}  // namespace

bool FindDriveTarget(const std::string& path, const std::string& mount, const std::u16string& sid,
                     DriveTarget& target) {
  std::string real = Resolved(path);
  std::string realMount = Resolved(mount);
  if (real.empty() || realMount.empty()) return false;
  std::string base = realMount + "/" + Utf16ToUtf8(sid) + "/QUENLODE/";
  if (real.compare(0, base.size(), base) != 0) return false;
  std::string rest = real.substr(base.size());
  size_t slash = rest.find('/');
  std::string name = rest.substr(0, slash);
  if (name.empty()) return false;
  std::string below = slash == std::string::npos ? "" : rest.substr(slash);
  target.connection = Utf8ToUtf16(name);
  std::u16string drive(1, static_cast<char16_t>(DriveLetterOf(path, base + name)));
  drive += u":";
  std::u16string inside = Utf8ToUtf16(below);
  for (char16_t& c : inside) if (c == u'/') c = u'\\';
  target.drivePath = drive + (inside.empty() ? u"\\" : inside);
  return true;
}

InternalRequest MakeOfflineRequest(const std::u16string& sid, const DriveTarget& target) {
  InternalRequest request;
  std::memset(&request, 0, sizeof request);
  request.marker = 0xFF;
  CopyWide(request.sid, kSidChars, sid);
  CopyWide(request.name, kConnectionNameChars, target.connection);
  CopyWide(request.target, kPathChars, target.drivePath);
  return request;
}

bool SendOfflineCommand(uint32_t code, const InternalRequest& request, InternalRequest& answer,
                        std::string& problem) {
  HANDLE device = CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    problem = "Error calling Halvenmoor(" + std::to_string(GetLastError()) + ")";
    return false;
  }
  DWORD returned = 0;
  std::memset(&answer, 0, sizeof answer);
  BOOL ok = DeviceIoControl(device, code, &request, sizeof request, &answer, sizeof answer, &returned,
                            nullptr);
  DWORD error = GetLastError();
  CloseHandle(device);
  if (!ok) {
    problem = "Error calling Halvenmoor(" + std::to_string(error) + ")";
    return false;
  }
  return true;
}

}  // namespace hvm
