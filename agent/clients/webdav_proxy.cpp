// The proxy of a request: the agent's configured proxy with its bypass list,
// else the desktop's automatic choice through libproxy, with the script the
// user's Internet settings name. A failed automatic look-up is not tried
// again for the site.
#include <chrono>
#include <mutex>

#include "agent/clients/webdav_auto_proxy.h"
#include "agent/clients/webdav_client.h"
#include "common/moorlib.h"
#include "platform/registry.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::mutex settingsLock;
WebDavProxySettings settings;

constexpr char16_t kInternetSettingsKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr long kAutoProxyFailed = 12180;  // ERROR_WINHTTP_AUTODETECTION_FAILED

constexpr std::chrono::seconds kAutoProxyKept{60};

// "scheme://authority" of a URL: what a proxy answer depends on here.
std::string OriginOf(const std::string& url) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  return url.substr(0, url.find('/', scheme + 3));
}

// The automatic configuration script the user's Internet settings name, or empty.
std::string AutoConfigUrl() {
  HKEY key = nullptr;
  LONG error = RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, KEY_READ, &key);
  if (error != ERROR_SUCCESS) {
    WideDbgPrint(u" RegOpenKeyExW %d\n", static_cast<int>(error));
    return {};
  }
  char16_t value[2084] = {};  // INTERNET_MAX_URL_LENGTH and a terminator
  DWORD size = sizeof value - sizeof(char16_t);
  DWORD type = 0;
  error = RegQueryValueExW(key, u"AutoConfigURL", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (error != ERROR_SUCCESS) {
    WideDbgPrint(u" RegQueryKeyExW %d\n", static_cast<int>(error));
    return {};
  }
  if (type != REG_SZ) return {};
  return Utf16ToUtf8(WideField(value, size / sizeof(char16_t)));
}

// WinHTTP's bypass list ("a;b <local>") in libcurl's form ("a,b,localhost").
std::string NoProxyList(std::u16string_view bypass) {
  std::string out;
  std::string item;
  auto flush = [&] {
    if (item == "<local>") item = "localhost,127.0.0.1,::1";
    if (!item.empty()) out += (out.empty() ? "" : ",") + item;
    item.clear();
  };
  for (char c : Utf16ToUtf8(bypass)) {
    if (c == ';' || c == ' ' || c == ',') flush();
    else item += c;
  }
  flush();
  return out;
}

}  // namespace

void SetWebDavProxySettings(const WebDavProxySettings& value) {
  std::lock_guard<std::mutex> guard(settingsLock);
  settings = value;
}

WebDavProxySettings GetWebDavProxySettings() {
  std::lock_guard<std::mutex> guard(settingsLock);
  return settings;
}

bool WebDavClient::ApplyProxy() {
  WebDavProxySettings proxy = GetWebDavProxySettings();
  if (!proxy.user.empty()) {
    spec_.proxyUser = Utf16ToUtf8(proxy.user);
    spec_.proxyPassword = Utf16ToUtf8(proxy.password);
  }
  if (proxy.direct) {
    spec_.proxy.clear();
    return true;
  }
  if (proxy.enabled && !proxy.host.empty()) {
    spec_.proxy = Utf16ToUtf8(proxy.host) + ":" + std::to_string(proxy.port);
    spec_.noProxy = NoProxyList(proxy.bypass);
    return true;
  }
  // The answer is kept for a minute per origin: the look-up reads the
  // registry and may run a script, which no request should pay for each time.
  std::string origin = OriginOf(spec_.url);
  auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> guard(facts_->lock);
    if (facts_->autoProxyFailed) return true;
    if (facts_->autoProxyOrigin == origin && now - facts_->autoProxyTime < kAutoProxyKept) {
      spec_.proxy = facts_->autoProxy;
      return true;
    }
  }
  std::string proxyUrl;
  AutoProxyAnswer answer = LookUpAutoProxy(spec_.url, AutoConfigUrl(), proxyUrl);
  std::lock_guard<std::mutex> guard(facts_->lock);
  if (answer == AutoProxyAnswer::Failed) {
    WideDbgPrint(u"**WinHttpGetProxyForUrl error=%ld\n", kAutoProxyFailed);
    facts_->autoProxyFailed = true;
    return true;
  }
  spec_.proxy = answer == AutoProxyAnswer::Proxy ? proxyUrl : std::string();
  facts_->autoProxyOrigin = origin;
  facts_->autoProxy = spec_.proxy;
  facts_->autoProxyTime = now;
  return true;
}

}  // namespace hvm
