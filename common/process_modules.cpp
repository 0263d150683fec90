#include "common/process_modules.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace hvm {
namespace {

constexpr char kDeletedSuffix[] = " (deleted)";

std::string ProgramPath(pid_t pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char target[4096];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return {};
  return std::string(target, static_cast<size_t>(n));
}

// "start-end perms offset dev inode   path": the path of an executable
// file mapping, or empty for anything else ([heap], [vdso], data files).
std::string ExecutableMappingPath(const std::string& line) {
  std::istringstream fields(line);
  std::string range, perms, offset, device, inode;
  if (!(fields >> range >> perms >> offset >> device >> inode)) return {};
  if (perms.size() < 3 || perms[2] != 'x') return {};
  std::string path;
  std::getline(fields >> std::ws, path);
  if (path.empty() || path[0] != '/') return {};
  const size_t suffix = sizeof kDeletedSuffix - 1;
  if (path.size() > suffix && path.compare(path.size() - suffix, suffix, kDeletedSuffix) == 0)
    path.resize(path.size() - suffix);
  return path;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteName(const std::string& name, char* buffer, int length) {
  if (buffer == nullptr || length <= 0 || name.size() >= static_cast<size_t>(length))
    return false;
  memcpy(buffer, name.c_str(), name.size() + 1);
  return true;
}

}  // namespace

bool ListProcessModules(pid_t pid, std::vector<std::string>& modules) {
  modules.clear();
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  if (!maps) return false;
  const std::string program = ProgramPath(pid);
  if (!program.empty()) modules.push_back(program);
  std::string line;
  while (modules.size() < kMaxModules && std::getline(maps, line)) {
    std::string path = ExecutableMappingPath(line);
    if (path.empty()) continue;
    if (std::find(modules.begin(), modules.end(), path) == modules.end())
      modules.push_back(std::move(path));
  }
  return true;
}

int PickModuleName(const std::vector<std::string>& modules, const char* wanted, char* buffer,
                   int length) {
  if (modules.empty()) return -2;
  if (wanted != nullptr) {
    for (auto it = modules.rbegin(); it != modules.rend(); ++it) {
      const std::string name = BaseName(*it);
      if (strcasecmp(name.c_str(), wanted) == 0 && WriteName(name, buffer, length)) return 0;
    }
  }
  return WriteName(BaseName(modules.front()), buffer, length) ? 0 : -2;
}

}  // namespace hvm
