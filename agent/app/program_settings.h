// The program settings: the proxy (manual, automatic or none), the start at
// login. Each setter
// writes its value under HKCU Software\KOLV\Halvenmoor at once and shows a
// registry failure through CurrentUi(); nothing is rolled back.
#pragma once
#include <string>
#include <string_view>

#include "agent/service/site_record.h"
#include "platform/win32.h"

namespace hvm {

// The usual decimal reading of a typed number: its leading digits, 0 without any.
DWORD LeadingNumber(std::u16string_view typed);

// "ProxyMode": absent means manual when a server is set, else automatic.
enum class ProxyMode : DWORD { kAutomatic = 0, kManual = 1, kNone = 2 };

// Limits of the proxy strings, terminator included.
inline constexpr size_t kProxyServerChars = 40;
inline constexpr size_t kProxyBypassChars = 384;
inline constexpr size_t kProxyUserChars = 30;
inline constexpr size_t kProxyPasswordChars = 30;
// The port field takes at most 4 characters.
inline constexpr size_t kProxyPortDigits = 4;

struct ProgramSettings {
  ProxyMode mode = ProxyMode::kAutomatic;
  std::u16string server, bypass, user, password;
  DWORD port = 0;
};

ProgramSettings ReadProgramSettings();
// Writes one proxy string ("ProxyServer", "ProxyBypass", "ProxyUser",
// "ProxyPassword") cut to its limit; the shared block follows when given
// (never the password, which the agent keeps in its own memory).
bool SetProxyString(const char16_t* valueName, std::u16string_view text,
                    SharedUserBlock* block = nullptr);
// The typed port, read as its leading digits; stored in the block too.
bool SetProxyPort(std::u16string_view typed, SharedUserBlock* block = nullptr);
bool SetProxyMode(ProxyMode mode);
// Hands the stored proxy to the WebDAV client (new connections use it).
void ApplyProxySettings(const ProgramSettings& settings);

// Run at login: an XDG autostart entry, $XDG_CONFIG_HOME/autostart/halvenmoor.desktop.
std::string AutostartEntryPath();
// True when the entry is there as a regular file.
bool RunAtStartupEnabled();
// The Exec line of the entry: the agent's command line with " /min" and
// " /sleep=20" unless it holds them (or "/slee") already.
std::string RunAtStartupCommand(std::string_view commandLine);
// Writes or removes the entry. A link planted at its place is never followed
// nor replaced: false after saying so. commandLine empty: this program.
bool SetRunAtStartup(bool on, std::string_view commandLine = {});

}  // namespace hvm
