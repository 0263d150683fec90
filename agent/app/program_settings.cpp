// Proxy values and the autostart entry.
#include "agent/app/program_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>

#include "agent/app/sites.h"
#include "agent/app/sites_values.h"
#include "agent/clients/webdav_client.h"
#include "agent/service/shared_section.h"
#include "agent/service/site_passwords.h"
#include "platform/registry.h"
#include "platform/runtime_paths.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr char kAutostartName[] = "halvenmoor.desktop";

struct ProxyString {
  const char16_t* name;
  size_t limit;
};

const ProxyString kProxyStrings[] = {
    {u"ProxyServer", kProxyServerChars},
    {u"ProxyBypass", kProxyBypassChars},
    {u"ProxyUser", kProxyUserChars},
    {u"ProxyPassword", kProxyPasswordChars},
};

char16_t* BlockField(SharedUserBlock& block, std::u16string_view name, size_t& chars) {
  if (name == u"ProxyServer") return chars = std::size(block.proxyServer), block.proxyServer;
  if (name == u"ProxyBypass") return chars = std::size(block.proxyBypass), block.proxyBypass;
  if (name == u"ProxyUser") return chars = std::size(block.proxyUser), block.proxyUser;
  return nullptr;  // the password stays out of the shared block
}

const ProxyString* FindProxyString(std::u16string_view name) {
  for (const ProxyString& s : kProxyStrings)
    if (name == s.name) return &s;
  return nullptr;
}

// The product key, created when missing; a failure is shown.
HKEY OpenProductKey() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    ShowRegistryError(u"Unable to open registry key", kProductName);
    return nullptr;
  }
  return key;
}

bool WriteProductValue(const char16_t* name, const std::function<LONG(HKEY)>& write) {
  HKEY key = OpenProductKey();
  if (key == nullptr) return false;
  LONG error = write(key);
  if (error != ERROR_SUCCESS) ShowRegistryError(u"Unable to set registry value", name);
  if (RegCloseKey(key) != ERROR_SUCCESS && error == ERROR_SUCCESS) {
    ShowRegistryError(u"Unable to close registry key", kProductName);
    return false;
  }
  return error == ERROR_SUCCESS;
}

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  std::string home = HomeDir();
  return home.empty() ? std::string() : home + "/.config";
}

// A desktop entry's Exec argument: quoted, with its reserved characters escaped.
std::string QuotedExecWord(std::string_view word) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string OwnProgram() {
  std::string folder = ProgramFolder();
  return (folder.empty() ? std::string(".") : folder) + "/moorgate";
}

void Refuse(const std::string& text) {
  CurrentUi().MessageBox(Utf8ToUtf16(text), kProductName, MB_OK | MB_ICONERROR);
}

// Writes path through a temporary file in its folder and a rename, which
// replaces whatever name is there without following it.
bool WriteEntryFile(const std::string& folder, const std::string& path, const std::string& text) {
  std::string temporary = folder + "/.halvenmoor.desktop.XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) return false;
  bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  written = fchmod(fd, 0644) == 0 && written;
  written = close(fd) == 0 && written;
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

DWORD LeadingNumber(std::u16string_view typed) {
  DWORD value = 0;
  for (char16_t c : typed) {
    if (c < u'0' || c > u'9') break;
    if (value > (0xFFFFFFFFu - 9) / 10) return 0xFFFFFFFFu;
    value = value * 10 + static_cast<DWORD>(c - u'0');
  }
  return value;
}

ProgramSettings ReadProgramSettings() {
  ProgramSettings settings;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return settings;
  auto text = [key](const char16_t* name, size_t limit) {
    std::u16string value;
    if (QueryWideValue(key, name, value) != ERROR_SUCCESS) return std::u16string();
    return value.substr(0, limit - 1);
  };
  settings.server = text(u"ProxyServer", kProxyServerChars);
  settings.bypass = text(u"ProxyBypass", kProxyBypassChars);
  settings.user = text(u"ProxyUser", kProxyUserChars);
  settings.password = text(u"ProxyPassword", kProxyPasswordChars);
  QueryDwordValue(key, u"ProxyPort", settings.port);
  DWORD mode = 0;
  if (QueryDwordValue(key, u"ProxyMode", mode) == ERROR_SUCCESS && mode <= 2)
    settings.mode = static_cast<ProxyMode>(mode);
  else
    settings.mode = settings.server.empty() ? ProxyMode::kAutomatic : ProxyMode::kManual;
  RegCloseKey(key);
  return settings;
}

bool SetProxyString(const char16_t* valueName, std::u16string_view text, SharedUserBlock* block) {
  const ProxyString* entry = FindProxyString(valueName);
  if (entry == nullptr) return false;
  std::u16string value(text.substr(0, entry->limit - 1));
  if (block != nullptr) {
    size_t chars = 0;
    if (char16_t* field = BlockField(*block, valueName, chars)) CopyWide(field, chars, value);
  }
  if (std::u16string_view(valueName) == u"ProxyPassword") KeepProxyPassword(value);
  return WriteProductValue(valueName, [&](HKEY key) { return SetWideValue(key, valueName, value); });
}

bool SetProxyPort(std::u16string_view typed, SharedUserBlock* block) {
  DWORD port = LeadingNumber(typed.substr(0, kProxyPortDigits));
  if (block != nullptr) block->proxyPort = port;
  return WriteProductValue(u"ProxyPort", [port](HKEY key) { return SetDwordValue(key, u"ProxyPort", port); });
}

bool SetProxyMode(ProxyMode mode) {
  DWORD value = static_cast<DWORD>(mode);
  return WriteProductValue(u"ProxyMode", [value](HKEY key) { return SetDwordValue(key, u"ProxyMode", value); });
}

void ApplyProxySettings(const ProgramSettings& settings) {
  WebDavProxySettings proxy;
  proxy.enabled = settings.mode == ProxyMode::kManual && !settings.server.empty();
  proxy.direct = settings.mode == ProxyMode::kNone;
  proxy.host = settings.server;
  proxy.port = settings.port;
  proxy.bypass = settings.bypass;
  proxy.user = settings.user;
  proxy.password = settings.password;
  SetWebDavProxySettings(proxy);
}

std::string AutostartEntryPath() {
  std::string config = ConfigHome();
  return config.empty() ? std::string() : config + "/autostart/" + kAutostartName;
}

bool RunAtStartupEnabled() {
  struct stat st {};
  std::string path = AutostartEntryPath();
  return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string RunAtStartupCommand(std::string_view commandLine) {
  std::string command(commandLine);
  if (command.find(" /min") == std::string::npos) command += " /min";
  if (command.find("/slee") == std::string::npos) command += " /sleep=20";
  return command;
}

bool SetRunAtStartup(bool on, std::string_view commandLine) {
  std::string path = AutostartEntryPath();
  if (path.empty()) {
    Refuse("The autostart folder is unknown: neither XDG_CONFIG_HOME nor HOME is set");
    return false;
  }
  struct stat st {};
  bool present = lstat(path.c_str(), &st) == 0;
  if (present && !S_ISREG(st.st_mode)) {
    Refuse("The autostart entry " + path + " is not a plain file (a link?); it was left alone");
    return false;
  }
  if (!on) {
    if (present && unlink(path.c_str()) != 0) {
      Refuse("The autostart entry " + path + " cannot be removed: " + std::strerror(errno));
      return false;
    }
    return true;
  }
  std::string folder = path.substr(0, path.rfind('/'));
  std::string problem;
  if (!PrepareOwnFolder(folder, 0700, problem)) {
    Refuse("The autostart folder cannot be used: " + problem);
    return false;
  }
  std::string command = commandLine.empty() ? QuotedExecWord(OwnProgram()) : std::string(commandLine);
  // Built in steps: "literal" + temporary trips GCC 12's -Wrestrict in Release.
  std::string text =
      "[Desktop Entry]\nType=Application\nName=Halvenmoor\n"
      "Comment=Connects your Halvenmoor sites at login\nExec=";
  text += RunAtStartupCommand(command);
  text += "\nIcon=halvenmoor\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
  if (!WriteEntryFile(folder, path, text)) {
    Refuse("The autostart entry " + path + " cannot be written: " + std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace hvm
