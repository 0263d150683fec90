// Folder rules for sockets, mount point, logs and data.
#include "platform/runtime_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>

namespace hvm {
namespace {

std::string FromEnv(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? std::string(value) : std::string();
}


// $XDG_<kind> when set, else ~/<fallback>; then the product folder below it.
std::string XdgFolder(const char* variable, const char* fallback) {
  std::string base = FromEnv(variable);
  if (base.empty()) base = HomeDir() + "/" + fallback;
  return base + "/halvenmoor";
}

}  // namespace

constexpr char kMachineRuntimeDir[] = "/run/halvenmoor";

bool IsSocket(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

std::string OctalMode(mode_t mode) {
  char text[8];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string HomeDir() {
  std::string home = FromEnv("HOME");
  if (!home.empty()) return home;
  struct passwd* entry = getpwuid(getuid());
  if (entry != nullptr && entry->pw_dir != nullptr && *entry->pw_dir != '\0') return entry->pw_dir;
  // No home at all: folders below "/" are root's, so a user's writes fail
  // there instead of landing in a shared folder another user prepared.
  return {};
}

std::string RuntimeDir() {
  std::string dir = FromEnv("HALVENMOOR_RUNTIME_DIR");
  if (!dir.empty()) return dir;
  if (geteuid() == 0) return kMachineRuntimeDir;
  std::string xdg = FromEnv("XDG_RUNTIME_DIR");
  return xdg.empty() ? std::string() : xdg + "/halvenmoor";
}

std::string DriverDir() {
  std::string own = RuntimeDir();
  if (!FromEnv("HALVENMOOR_RUNTIME_DIR").empty() || geteuid() == 0) return own;
  if (!own.empty() && IsSocket(own + "/qlode")) return own;
  if (IsSocket(std::string(kMachineRuntimeDir) + "/qlode") || own.empty()) return kMachineRuntimeDir;
  return own;
}

std::string ControlSocketPath() { return DriverDir() + "/qlode"; }
std::string MountPointPath() { return DriverDir() + "/mnt"; }

std::string AgentStateDir() {
  std::string driver = DriverDir();
  struct stat info {};
  if (lstat(driver.c_str(), &info) != 0 ? errno == ENOENT : info.st_uid == geteuid()) return driver;
  // The driver's folder is someone else's (a driver started as root): the
  // agent keeps its lock and socket in a folder of its user's own.
  std::string xdg = FromEnv("XDG_RUNTIME_DIR");
  if (xdg.empty() || xdg + "/halvenmoor" == driver) return {};
  return xdg + "/halvenmoor";
}

std::string InstanceSocketPath() { return AgentStateDir() + "/instance"; }
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

bool CheckOwnFolder(const std::string& path, std::string& problem) {
  struct stat info {};
  if (path.empty()) {
    problem = "no runtime folder: set XDG_RUNTIME_DIR (or HALVENMOOR_RUNTIME_DIR) to a folder of your own";
    return false;
  }
  if (lstat(path.c_str(), &info) != 0) {
    problem = path + " cannot be examined: " + strerror(errno);
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    problem = path + " is a symbolic link; refusing to use it (remove it)";
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    problem = path + " is not a folder; refusing to use it (remove it)";
    return false;
  }
  if (info.st_uid != geteuid()) {
    problem = path + " belongs to uid " + std::to_string(info.st_uid) + ", not to uid " +
              std::to_string(geteuid()) + "; refusing to use it (another user may have made it)";
    return false;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    problem = path + " can be written by other users (mode " + OctalMode(info.st_mode) +
              "); refusing to use it (chmod go-w or remove it)";
    return false;
  }
  return true;
}

bool PrepareOwnFolder(const std::string& path, unsigned mode, std::string& problem) {
  if (path.empty()) return CheckOwnFolder(path, problem);
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash), 0700)) {
    problem = path.substr(0, slash) + " cannot be made: " + strerror(errno);
    return false;
  }
  // mkdir never follows a symbolic link in the last component; an existing
  // entry of any kind is judged by the checks.
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    problem = path + " cannot be made: " + strerror(errno);
    return false;
  }
  return CheckOwnFolder(path, problem);
}

}  // namespace hvm
