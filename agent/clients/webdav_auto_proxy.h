// The desktop's automatic proxy for one URL, asked of libproxy. The library
// is loaded at run time, so the agent also runs where it is not installed.
#pragma once
#include <string>
#include <vector>

namespace hvm {

enum class AutoProxyAnswer { Direct, Proxy, Failed };

// Asks libproxy which proxy serves url. configScript names an automatic
// configuration (PAC) script; empty leaves the choice to the desktop's own
// settings and the environment; a script is run by the helper program
// moorproxy beside the agent. On Proxy, proxy holds libcurl's form
// ("http://host:port", "socks5://host:port"). Failed: the library is missing,
// the look-up failed, or it named nothing libcurl can use.
AutoProxyAnswer LookUpAutoProxy(const std::string& url, const std::string& configScript, std::string& proxy);

// libproxy's list for url as the library answers in this process; false when
// the library is missing or the look-up failed.
bool AskLibProxy(const std::string& url, std::vector<std::string>& entries);

// The first usable entry of libproxy's null-terminated list: "direct://", or
// an http, https or SOCKS proxy (a missing port becomes the scheme's own).
AutoProxyAnswer ChooseAutoProxy(const char* const* entries, std::string& proxy);

}  // namespace hvm
