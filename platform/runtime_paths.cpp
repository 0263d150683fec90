// Folder rules for sockets, mount point, logs and data.
#include "platform/runtime_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <pwd.h>

namespace hvm {
namespace {

std::string FromEnv(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? std::string(value) : std::string();
}

std::string HomeDir() {
  std::string home = FromEnv("HOME");
  if (!home.empty()) return home;
  struct passwd* entry = getpwuid(getuid());
  if (entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
  return "/tmp";
}

// $XDG_<kind> when set, else ~/<fallback>; then the product folder below it.
std::string XdgFolder(const char* variable, const char* fallback) {
  std::string base = FromEnv(variable);
  if (base.empty()) base = HomeDir() + "/" + fallback;
  return base + "/halvenmoor";
}

}  // namespace

std::string RuntimeDir() {
  std::string dir = FromEnv("HALVENMOOR_RUNTIME_DIR");
  if (!dir.empty()) return dir;
  if (geteuid() == 0) return "/run/halvenmoor";
  std::string xdg = FromEnv("XDG_RUNTIME_DIR");
  if (!xdg.empty()) return xdg + "/halvenmoor";
  return "/tmp/halvenmoor-" + std::to_string(getuid());
}

std::string ControlSocketPath() { return RuntimeDir() + "/qlode"; }
std::string MountPointPath() { return RuntimeDir() + "/mnt"; }
std::string InstanceSocketPath() { return RuntimeDir() + "/instance"; }
std::string StateDir() { return XdgFolder("XDG_STATE_HOME", ".local/state"); }
std::string DataDir() { return XdgFolder("XDG_DATA_HOME", ".local/share"); }

std::string ProgramFolder() {
  char exe[4096];
  ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length <= 0) return {};
  std::string path(exe, static_cast<size_t>(length));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool MakeDirs(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash), mode)) {
    return false;
  }
  if (mkdir(path.c_str(), mode) == 0) return true;
  // Another process may have made it between the stat and the mkdir.
  return errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace hvm
