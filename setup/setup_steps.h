// The pieces of moorsetup that decide what to write: the provider order, the
// machine's proxy record, the proxy the desktop uses, the systemd units and
// the XML library's version check. moorsetup_main.cpp does the writing.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hvm {

inline constexpr char kServiceName[] = "quenlode";

// "quenlode" put first in a comma-separated provider order, once.
std::string ProviderOrderWithFirst(const std::string& order);
// The order without "quenlode" (for --uninstall).
std::string ProviderOrderWithout(const std::string& order);

// The proxy server of a browser or environment text: "http=p:8080,https=o:443"
// gives "p:8080"; "http://user@p:8080/" gives "p:8080"; "" when none.
std::string HttpProxyOf(const std::string& text);
// The "WinHttpSettings" record: version mark 24, 0, flags 3, the server and
// the bypass list each after its 32-bit length, then 16 bytes of zeros.
std::vector<uint8_t> WinHttpSettingsRecord(const std::string& server, const std::string& bypass);

struct DesktopProxy {
  std::string server;  // "host:port"; empty: no proxy is in use
  std::string bypass;  // ";"-separated names
};
// The environment's http_proxy/HTTP_PROXY and no_proxy, else GNOME's settings
// (gsettings, read through the given runner: argument list -> output, false
// when it cannot run).
using CommandRunner = std::function<bool(const std::vector<std::string>&, std::string&)>;
DesktopProxy FindDesktopProxy(const std::function<const char*(const char*)>& environment,
                              const CommandRunner& run);

// The units. binFolder: where the programs are installed ("/usr/bin").
std::string DriverUnitText(const std::string& binFolder);
std::string AgentUnitText(const std::string& binFolder);

// The XML library is recent enough: libxml2 2.9.0 (version number 20900) or later.
inline constexpr int kLeastXmlVersion = 20900;
bool XmlVersionSufficient(const char* runtimeVersion);

}  // namespace hvm
