// The proxy of a request: the agent's configured proxy with its bypass list,
// else the desktop's automatic configuration through libproxy when that
// library is installed. A failed automatic look-up is not tried again.
#include <dlfcn.h>

#include <mutex>

#include "agent/clients/webdav_client.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::mutex settingsLock;
WebDavProxySettings settings;

// libproxy's C interface, looked up at run time.
struct LibProxy {
  void* (*factoryNew)() = nullptr;
  char** (*getProxies)(void*, const char*) = nullptr;
  void (*freeProxies)(char**) = nullptr;
  void* factory = nullptr;
  bool loaded = false;
};

LibProxy* LoadLibProxy() {
  static std::once_flag once;
  static LibProxy lib;
  std::call_once(once, [] {
    void* handle = dlopen("libproxy.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    lib.factoryNew = reinterpret_cast<void* (*)()>(dlsym(handle, "px_proxy_factory_new"));
    lib.getProxies = reinterpret_cast<char** (*)(void*, const char*)>(dlsym(handle, "px_proxy_factory_get_proxies"));
    lib.freeProxies = reinterpret_cast<void (*)(char**)>(dlsym(handle, "px_proxy_factory_free_proxies"));
    if (lib.factoryNew && lib.getProxies) lib.factory = lib.factoryNew();
    lib.loaded = lib.factory != nullptr;
  });
  return lib.loaded ? &lib : nullptr;
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

bool WebDavClient::ApplyProxy(const std::u16string& url) {
  WebDavProxySettings proxy = GetWebDavProxySettings();
  if (!proxy.user.empty()) {
    spec_.proxyUser = Utf16ToUtf8(proxy.user);
    spec_.proxyPassword = Utf16ToUtf8(proxy.password);
  }
  if (proxy.enabled && !proxy.host.empty()) {
    spec_.proxy = Utf16ToUtf8(proxy.host) + ":" + std::to_string(proxy.port);
    spec_.noProxy = NoProxyList(proxy.bypass);
    return true;
  }
  {
    std::lock_guard<std::mutex> guard(facts_->lock);
    if (facts_->autoProxyFailed) return true;
  }
  LibProxy* lib = LoadLibProxy();
  char** proxies = lib ? lib->getProxies(lib->factory, Utf16ToUtf8(url).c_str()) : nullptr;
  if (!proxies) {
    WideDbgPrint(u"**WinHttpGetProxyForUrl error=%ld\n", static_cast<long>(12180));
    std::lock_guard<std::mutex> guard(facts_->lock);
    facts_->autoProxyFailed = true;
    return true;
  }
  std::string first = proxies[0] ? proxies[0] : "direct://";
  if (lib->freeProxies) lib->freeProxies(proxies);
  if (first.rfind("http://", 0) == 0) spec_.proxy = first.substr(7);
  return true;
}

}  // namespace hvm
