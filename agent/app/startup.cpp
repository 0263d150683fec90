// The switches of the agent's command line and the driver's start.
#include "agent/app/startup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "agent/service/channel_records.h"
#include "agent/service/registration.h"
#include "common/moorlib.h"
#include "platform/control_device.h"
#include "platform/registry.h"
#include "platform/runtime_paths.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr DWORD kServiceFileSystemDriver = 2;
constexpr DWORD kServiceAutoStart = 2;
constexpr DWORD kServiceErrorNormal = 1;
constexpr size_t kProviderOrderChars = 260;
constexpr auto kSocketPoll = std::chrono::milliseconds(50);

std::string Upper(std::string_view word) {
  std::string upper(word);
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return upper;
}

void ErrorBox(const std::u16string& text, const std::u16string& caption) {
  CurrentUi().MessageBox(text, caption, MB_OK | MB_ICONERROR);
}

HANDLE OpenControlDevice() {
  return CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

LONG SetString(HKEY key, const char16_t* name, std::u16string_view value, DWORD type = REG_SZ) {
  std::u16string text(value);
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

LONG SetDword(HKEY key, const char16_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

bool MarkedForDeletion(HKEY service) {
  DWORD flag = 0;
  DWORD size = sizeof flag;
  DWORD type = 0;
  return RegQueryValueExW(service, u"DeleteFlag", nullptr, &type, reinterpret_cast<BYTE*>(&flag),
                          &size) == ERROR_SUCCESS &&
         type == REG_DWORD && flag != 0;
}

// quenlode first in the provider order, the old order behind it.
LONG PutDriverFirstInProviderOrder() {
  HKEY key = nullptr;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProviderOrderKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr);
  if (result != ERROR_SUCCESS) {
    WideDbgPrint(u"Registry key creation error Order %ld\n", static_cast<long>(result));
    return result;
  }
  char16_t old[kProviderOrderChars] = {};
  DWORD size = sizeof old - sizeof(char16_t);
  DWORD type = 0;
  std::u16string order = u"quenlode";
  if (RegQueryValueExW(key, u"ProviderOrder", nullptr, &type, reinterpret_cast<BYTE*>(old), &size) ==
      ERROR_SUCCESS) {
    std::u16string_view existing = WideField(old, kProviderOrderChars);
    if (existing.find(u"quenlode") != std::u16string_view::npos) {
      RegCloseKey(key);
      return ERROR_SUCCESS;
    }
    if (!existing.empty()) order = (order + u"," + std::u16string(existing)).substr(0, kProviderOrderChars - 1);
  }
  result = SetString(key, u"ProviderOrder", order);
  if (result != ERROR_SUCCESS) WideDbgPrint(u"Unable to set registry value ProviderOrder\n");
  RegCloseKey(key);
  return result;
}

bool DriverAnswers() {
  HANDLE device = OpenControlDevice();
  if (device == INVALID_HANDLE_VALUE) return false;
  CloseHandle(device);
  return true;
}

// An open driver gets the log level, then the ping thread.
void DriverOpened(HANDLE device) {
  DWORD level = logLevel;
  DWORD returned = 0;
  if (!DeviceIoControl(device, IOCTL_SET_LOG_LEVEL, &level, sizeof level, nullptr, 0, &returned,
                       nullptr))
    WideDbgPrint(u"Ioctl_set_log_level failed with code %d\n", static_cast<int>(GetLastError()));
  CloseHandle(device);
  StartPingThread();
}

}  // namespace

bool HasSwitch(std::string_view commandLine, std::string_view word) {
  // Built in steps: `"/" + <temporary>` trips GCC 12's -Wrestrict in Release.
  std::string lower = "/";
  lower += word;
  std::string upper = "/";
  upper += Upper(word);
  return commandLine.find(lower) != std::string_view::npos ||
         commandLine.find(upper) != std::string_view::npos;
}

uint32_t SleepMillisecondsOf(std::string_view commandLine) {
  size_t at = commandLine.find("/sleep");
  if (at == std::string_view::npos) at = commandLine.find("/SLEEP");
  if (at == std::string_view::npos) return 0;
  std::string_view rest = commandLine.substr(at + 6);
  if (rest.empty() || rest[0] != '=') return kDefaultSleepMs;
  uint32_t seconds = 0;
  for (size_t i = 1; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
    seconds = seconds * 10 + static_cast<uint32_t>(rest[i] - '0');
    // A day is more than anybody means; the product must not overflow.
    if (seconds > 86400) seconds = 86400;
  }
  return seconds * 1000;
}

bool StartsHidden(std::string_view commandLine) { return commandLine.size() > 3; }

std::string InstallationFolder() {
  std::string folder = ProgramFolder();
  return folder.empty() ? "." : folder;
}

DWORD RecordDriverService(const std::string& binary) {
  HKEY service = nullptr;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriverServiceKey, 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, &service, nullptr);
  if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
  if (MarkedForDeletion(service)) {
    RegCloseKey(service);
    return ERROR_SERVICE_MARKED_FOR_DELETE;
  }
  for (LONG step : {SetString(service, u"DisplayName", u"WebDAV File System"),
                    SetString(service, u"ImagePath", Utf8ToUtf16(binary), REG_EXPAND_SZ),
                    SetDword(service, u"Type", kServiceFileSystemDriver),
                    SetDword(service, u"Start", kServiceAutoStart),
                    SetDword(service, u"ErrorControl", kServiceErrorNormal)}) {
    if (step != ERROR_SUCCESS && result == ERROR_SUCCESS) result = step;
  }
  RegCloseKey(service);
  if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
  return static_cast<DWORD>(PutDriverFirstInProviderOrder());
}

DWORD StartDriverProcess(const std::string& binary, std::chrono::milliseconds wait) {
  pid_t child = fork();
  if (child < 0) return static_cast<DWORD>(errno);
  if (child == 0) {
    // The driver outlives this agent: its own session, no terminal.
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    execl(binary.c_str(), kDriverProgram, static_cast<char*>(nullptr));
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (DriverAnswers()) return ERROR_SUCCESS;
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      WideDbgPrint(u"quenlode ended at start, status %d\n", status);
      return ERROR_GEN_FAILURE;
    }
    std::this_thread::sleep_for(kSocketPoll);
  }
  return ERROR_GEN_FAILURE;
}

bool OpenDriver(const std::string& installationFolder, std::chrono::milliseconds wait) {
  HANDLE device = OpenControlDevice();
  if (device != INVALID_HANDLE_VALUE) {
    DriverOpened(device);
    return true;
  }
  DWORD error = GetLastError();
  if (error != ERROR_FILE_NOT_FOUND) {
    ErrorBox(FormatWide(u"Error = %d", static_cast<int>(error)), u"Unable to open driver");
    return false;
  }
  std::string folder = installationFolder.empty() ? InstallationFolder() : installationFolder;
  std::string binary = folder + "/" + kDriverProgram;
  if (access(binary.c_str(), X_OK) != 0) {
    ErrorBox(FormatWide(u"QUENLODE.SYS is not found Error = %d %s", errno, binary.c_str()),
             u"Error while opening driver");
    return false;
  }
  DWORD recorded = RecordDriverService(binary);
  if (recorded == ERROR_SERVICE_MARKED_FOR_DELETE) {
    ErrorBox(u"Previous instance of the service is not fully deleted", u"Error while starting driver");
    return false;
  }
  // A person without write access to the machine's registry still runs a
  // driver of their own; the record is bookkeeping, the start is what counts.
  if (recorded == ERROR_ACCESS_DENIED || recorded == ERROR_CANTWRITE ||
      recorded == ERROR_PATH_NOT_FOUND) {
    WideDbgPrint(u"CreateService error %d\n", static_cast<int>(recorded));
  } else if (recorded != ERROR_SUCCESS) {
    ErrorBox(FormatWide(u"CreateService error %d", static_cast<int>(recorded)),
             u"Error while starting driver");
    return false;
  }
  DWORD started = StartDriverProcess(binary, wait);
  if (started != ERROR_SUCCESS) {
    ErrorBox(FormatWide(u"StartService error %d", static_cast<int>(started)),
             u"Error while starting driver");
    return false;
  }
  device = OpenControlDevice();
  if (device == INVALID_HANDLE_VALUE) {
    ErrorBox(FormatWide(u"CreateFile error %d", static_cast<int>(GetLastError())),
             u"Unable to open driver");
    return false;
  }
  DriverOpened(device);
  return true;
}

bool DriverVersionAcceptable() {
  DWORD version = GetDriverVersion(kControlDeviceName);
  // No answer at all (kNoDriver) is no acceptable driver either.
  if (version != kNoDriver && version >= kLowestDriverVersion) return true;
  ErrorBox(u"The version of the driver is old, not found, exit", kAgentCaption);
  return false;
}

}  // namespace hvm
