// moorsetup: run once when Halvenmoor is installed (the package's post-install
// step runs it). Checks the XML library, optionally copies the desktop's proxy
// into the machine settings, records the driver's service and network
// provider, installs the driver as the systemd service quenlode.service and the
// agent as a systemd user unit, and starts the driver.
//
//   moorsetup [1] [--import-proxy] [--root DIR] [--bindir DIR] [--dry-run] [--no-start]
//   moorsetup --uninstall [--root DIR] [--dry-run]
//   moorsetup --units-only --root DIR [--bindir DIR]   (the unit files alone)
//
// A first argument beginning with "1" (or --import-proxy) copies the proxy.
// --root DIR writes below DIR (the machine registry too, unless
// HALVENMOOR_MACHINE_REG names one) and does not start anything; --dry-run
// prints the systemctl commands instead of running them.
// Each failure is one line on standard error ("moorsetup: CAPTION: TEXT");
// exit codes: 0 done, 1 a step failed, 2 usage (or, as root, a --root DIR
// another user could change), 3 the driver could not be
// installed or started, 4 not run as root.
#include <libxml/globals.h>
#include <libxml/xmlversion.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/app/startup.h"
#include "platform/control_device.h"
#include "platform/registry.h"
#include "platform/runtime_paths.h"
#include "platform/wide_text.h"
#include "setup/setup_steps.h"
#include "shell/file_manager_actions.h"

extern char** environ;

namespace hvm {
namespace {

constexpr int kDone = 0, kStepFailed = 1, kUsage = 2, kDriverFailed = 3, kNotRoot = 4;
constexpr char kConnectionsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr char kProviderKey[] = "SYSTEM\\CurrentControlSet\\Services\\quenlode\\NetworkProvider";
constexpr char kOrderKey[] = "SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\Order";
constexpr char kRedirectorKey[] = "SYSTEM\\CurrentControlSet\\Services\\WebClient";
constexpr char kDriverUnit[] = "/etc/systemd/system/quenlode.service";
constexpr char kAgentUnit[] = "/etc/systemd/user/moorgate.service";

struct Options {
  bool importProxy = false;
  bool uninstall = false;
  bool dryRun = false;
  bool noStart = false;
  bool unitsOnly = false;  // only the unit files (the package's build)
  std::string root;  // "" = the running system
  std::string binFolder;
};

void Fail(const char* caption, const std::string& text) {
  std::fprintf(stderr, "moorsetup: %s: %s\n", caption, text.c_str());
}

int Run(const std::vector<std::string>& argv, bool dryRun, std::string* output = nullptr) {
  if (dryRun) {
    std::string line;
    for (const auto& a : argv) line += (line.empty() ? "" : " ") + a;
    std::printf("would run: %s\n", line.c_str());
    return 0;
  }
  int pipeFds[2] = {-1, -1};
  if (output && pipe(pipeFds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  }
  std::vector<char*> args;
  std::vector<std::string> copy = argv;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid;
  int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output) {
    close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while (spawned == 0 && (n = read(pipeFds[0], buffer, sizeof buffer)) > 0 && output->size() < 65536)
      output->append(buffer, n);
    close(pipeFds[0]);
  }
  if (spawned != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

LONG SetBinary(HKEY key, const char* name, const std::vector<uint8_t>& data) {
  return RegSetValueExA(key, name, 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
}
LONG SetText(HKEY key, const char* name, const std::string& text, DWORD type = REG_SZ) {
  return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}
LONG SetNumber(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void CheckXmlLibrary() {
  if (XmlVersionSufficient(xmlParserVersion)) return;
  Fail("Precondition failed", std::string("The version of the XML library libxml2 is old (") +
                                  (xmlParserVersion ? xmlParserVersion : "unknown") +
                                  "). The application needs libxml2 2.9 or later; please install the newer "
                                  "version (apt-get install libxml2)");
}

bool CopyProxy() {
  DesktopProxy proxy = FindDesktopProxy([](const char* name) { return getenv(name); },
                                        [](const std::vector<std::string>& argv, std::string& out) {
                                          return Run(argv, false, &out) == 0;
                                        });
  if (proxy.server.empty()) return true;  // the desktop uses no proxy: nothing to copy
  HKEY key = nullptr;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kConnectionsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr);
  if (result == ERROR_SUCCESS) {
    result = SetBinary(key, "WinHttpSettings", WinHttpSettingsRecord(proxy.server, proxy.bypass));
    RegCloseKey(key);
  }
  if (result != ERROR_SUCCESS) Fail("WinHttpSettings", "Unable to set registry value");
  return result == ERROR_SUCCESS;
}

// The provider order with quenlode first; false after saying why.
bool RewriteProviderOrder(bool remove) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kOrderKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    Fail("Registry key creation error 1", "Order");
    return false;
  }
  char old[261] = {};
  DWORD size = sizeof old - 1;
  DWORD type = 0;
  LONG read = RegQueryValueExA(key, "ProviderOrder", nullptr, &type, reinterpret_cast<BYTE*>(old), &size);
  if (read != ERROR_SUCCESS && read != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
    RegCloseKey(key);
    Fail("Registry key creation error 2", "Order");
    return false;
  }
  std::string order = remove ? ProviderOrderWithout(old) : ProviderOrderWithFirst(old);
  bool ok = SetText(key, "ProviderOrder", order) == ERROR_SUCCESS;
  if (!ok) Fail("ProviderOrder", "Unable to set registry value");
  if (RegCloseKey(key) != ERROR_SUCCESS) {
    Fail("ProviderOrder", "Unable to close registry key");
    ok = false;
  }
  return ok;
}

LONG RegisterProvider() {
  HKEY key = nullptr;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr);
  if (result != ERROR_SUCCESS) return result;
  SetText(key, "ProviderPath", "%SystemRoot%\\system32\\quenprov.dll", REG_EXPAND_SZ);
  SetText(key, "Name", "Halvenmoor Network");
  SetText(key, "DeviceName", "DeviceName");
  result = SetNumber(key, "Class", 1);
  RegCloseKey(key);
  return result;
}

// The operating system's own WebDAV redirector does not start, where it is recorded.
void DisableRedirector() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRedirectorKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  if (SetNumber(key, "Start", 4) != ERROR_SUCCESS) Fail("Service Start", "Unable to set registry value");
  RegCloseKey(key);
}

bool WriteFileBelow(const std::string& root, const std::string& path, const std::string& text) {
  std::string base = root.empty() ? "/" : root;
  if (!MakeDirs(base, 0755)) return false;
  std::string relative = path.substr(1);
  return WriteBelow(base, relative, text, false, true);
}

// Run as root, moorsetup writes below --root DIR by path and follows what it
// finds there, so DIR and every folder above it must be beyond other users'
// reach: owned by root (or the caller) and writable by nobody else. A folder
// above the nearest one that exists may be a sticky one such as /tmp.
bool RootOutOfOthersReach(const std::string& root, std::string& problem) {
  std::string existing = root;
  struct stat info {};
  while (stat(existing.c_str(), &info) != 0) {
    size_t slash = existing.find_last_of('/');
    if (errno != ENOENT || slash == std::string::npos) {
      problem = existing + ": " + std::strerror(errno);
      return false;
    }
    existing = slash == 0 ? "/" : existing.substr(0, slash);
  }
  char* resolved = realpath(existing.c_str(), nullptr);
  if (resolved == nullptr) {
    problem = existing + ": " + std::strerror(errno);
    return false;
  }
  std::string folder = resolved;
  free(resolved);
  for (bool nearest = true;; nearest = false) {
    if (lstat(folder.c_str(), &info) != 0) {
      problem = folder + ": " + std::strerror(errno);
      return false;
    }
    bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if ((info.st_uid != 0 && info.st_uid != geteuid()) || (othersWrite && (nearest || !(info.st_mode & S_ISVTX)))) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
      problem = folder + " is within another user's reach (owner " + std::to_string(info.st_uid) + ", mode " +
                mode + ")";
      return false;
    }
    if (folder == "/") return true;
    size_t slash = folder.find_last_of('/');
    folder = slash == 0 ? "/" : folder.substr(0, slash);
  }
}

bool DriverAnswers() {
  HANDLE device = CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  CloseHandle(device);
  return true;
}

bool SystemdRuns() { return access("/run/systemd/system", F_OK) == 0; }

int StartServices(const Options& o) {
  bool dry = o.dryRun;
  if (!dry && !SystemdRuns()) {
    Fail("Error by starting driver", "systemd is not running here; start " + o.binFolder + "/quenlode yourself");
    return kDriverFailed;
  }
  if (Run({"systemctl", "daemon-reload"}, dry) != 0 ||
      Run({"systemctl", "enable", "--now", "quenlode.service"}, dry) != 0) {
    Fail("Error by starting driver", "StartService error: systemctl could not start quenlode.service");
    return kDriverFailed;
  }
  Run({"systemctl", "--global", "enable", "moorgate.service"}, dry);
  if (dry) return kDone;
  for (int i = 0; i < 150 && !DriverAnswers(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (!DriverAnswers()) {
    Fail("Unable to open driver", "CreateFile error " + std::to_string(GetLastError()));
    return kDriverFailed;
  }
  return kDone;
}

int Install(const Options& o) {
  bool running = o.root.empty() && DriverAnswers();
  std::string driver = o.root + o.binFolder + "/quenlode";
  struct stat info {};
  if (!running && stat(driver.c_str(), &info) != 0) {
    Fail("Error by opening driver", "SYS driver is not found (" + driver + ")");
    return kDriverFailed;
  }
  DWORD recorded = RecordDriverService(o.binFolder + "/quenlode");
  if (recorded == ERROR_SERVICE_MARKED_FOR_DELETE) {
    Fail("Previous instance of the service is not fully deleted", "Error by starting driver");
    return kDriverFailed;
  }
  if (recorded != ERROR_SUCCESS) {
    Fail("Error by opening Service Manager", "CreateService error " + std::to_string(recorded) + " " + driver);
    return kDriverFailed;
  }
  if (!RewriteProviderOrder(false)) return kDriverFailed;
  LONG provider = RegisterProvider();
  if (provider != ERROR_SUCCESS) {
    Fail("Error by starting driver", "Unable to create network provider error " + std::to_string(provider) + " " + driver);
    return kDriverFailed;
  }
  if (!WriteFileBelow(o.root, kDriverUnit, DriverUnitText(o.binFolder)) ||
      !WriteFileBelow(o.root, kAgentUnit, AgentUnitText(o.binFolder))) {
    Fail("Error by opening Service Manager", "CreateService error: the systemd units cannot be written");
    return kDriverFailed;
  }
  DisableRedirector();
  if (o.noStart || (!o.root.empty() && !o.dryRun) || running) return kDone;
  return StartServices(o);
}

int Uninstall(const Options& o) {
  bool dry = o.dryRun || !o.root.empty();
  if (!dry && SystemdRuns()) {
    Run({"systemctl", "disable", "--now", "quenlode.service"}, false);
    Run({"systemctl", "--global", "disable", "moorgate.service"}, false);
  } else if (o.dryRun) {
    Run({"systemctl", "disable", "--now", "quenlode.service"}, true);
    Run({"systemctl", "--global", "disable", "moorgate.service"}, true);
  }
  int result = kDone;
  for (const char* unit : {kDriverUnit, kAgentUnit}) {
    std::string path = o.root + unit;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      Fail("Uninstall", path + ": " + std::strerror(errno));
      result = kStepFailed;
    }
  }
  if (!dry && SystemdRuns()) Run({"systemctl", "daemon-reload"}, false);
  LONG removed = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDriverServiceKey);
  if (removed != ERROR_SUCCESS && removed != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
    Fail("Uninstall", "Unable to delete registry key " + Utf16ToUtf8(kDriverServiceKey));
    result = kStepFailed;
  }
  if (!RewriteProviderOrder(true)) result = kStepFailed;
  return result;
}

int Main(int argc, char** argv) {
  Options o;
  o.binFolder = ProgramFolder();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i == 1 && !a.empty() && a[0] == '1') o.importProxy = true;
    else if (a == "--import-proxy") o.importProxy = true;
    else if (a == "--uninstall") o.uninstall = true;
    else if (a == "--dry-run") o.dryRun = true;
    else if (a == "--no-start") o.noStart = true;
    else if (a == "--units-only") o.unitsOnly = true;
    else if (a == "--root" && i + 1 < argc) o.root = argv[++i];
    else if (a == "--bindir" && i + 1 < argc) o.binFolder = argv[++i];
    else {
      std::fprintf(stderr,
                   "usage: moorsetup [1] [--import-proxy] [--root DIR] [--bindir DIR] [--dry-run] [--no-start]\n"
                   "       moorsetup --uninstall [--root DIR] [--dry-run]\n");
      return kUsage;
    }
  }
  while (o.root.size() > 1 && o.root.back() == '/') o.root.pop_back();
  if (o.root == "/") o.root.clear();
  if (o.binFolder.empty() || o.binFolder[0] != '/') o.binFolder = "/usr/bin";
  if (o.root.empty() && geteuid() != 0) {
    Fail("Setup", "must be run as root: the driver is installed as a system service (or use --root DIR)");
    return kNotRoot;
  }
  std::string problem;
  if (!o.root.empty() && geteuid() == 0 && !RootOutOfOthersReach(o.root, problem)) {
    Fail("Setup", "--root refused: " + problem);
    return kUsage;
  }
  // Below another root the machine's registry is that root's too.
  if (!o.root.empty() && getenv("HALVENMOOR_MACHINE_REG") == nullptr)
    setenv("HALVENMOOR_MACHINE_REG", (o.root + "/etc/halvenmoor/system.reg").c_str(), 1);
  if (o.uninstall) return Uninstall(o);
  if (o.unitsOnly)
    return WriteFileBelow(o.root, kDriverUnit, DriverUnitText(o.binFolder)) &&
                   WriteFileBelow(o.root, kAgentUnit, AgentUnitText(o.binFolder))
               ? kDone
               : kStepFailed;
  CheckXmlLibrary();
  bool proxyOk = !o.importProxy || CopyProxy();
  int driver = Install(o);
  if (driver != kDone) return driver;
  return proxyOk ? kDone : kStepFailed;
}

}  // namespace
}  // namespace hvm

int main(int argc, char** argv) { return hvm::Main(argc, argv); }
