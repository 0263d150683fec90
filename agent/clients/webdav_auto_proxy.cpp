// libproxy 0.4 behind one lock: its C interface looked up with dlopen and
// the factory made once per process (it loads the library's modules then).
// libproxy takes a configuration script only from its environment
// ("http_proxy=pac+<url>"); changing the agent's own environment while its
// other threads read it is unsafe, so a script is run by the helper program
// moorproxy, started with an environment of its own.
#include "agent/clients/webdav_auto_proxy.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "common/moorlib.h"
#include "platform/runtime_paths.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

struct LibProxy {
  char** (*getProxies)(void*, const char*) = nullptr;
  void (*freeProxies)(char**) = nullptr;
  void* factory = nullptr;
  bool pacRunner = false;  // a module that evaluates configuration scripts is installed
  std::mutex lock;         // one look-up at a time
};

bool AnyFileMatches(const std::string& pattern) {
  glob_t found{};
  bool any = glob(pattern.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc > 0;
  globfree(&found);
  return any;
}

// libproxy keeps its modules in <its folder>/libproxy/<version>/modules
// unless PX_MODULE_PATH names another folder.
bool PacRunnerInstalled(void* symbol) {
  const char* moduleDir = std::getenv("PX_MODULE_PATH");
  if (moduleDir && *moduleDir) return AnyFileMatches(std::string(moduleDir) + "/pacrunner_*.so");
  Dl_info info{};
  if (!dladdr(symbol, &info) || !info.dli_fname) return false;
  std::string library = info.dli_fname;
  std::string folder = library.substr(0, library.rfind('/'));
  return AnyFileMatches(folder + "/libproxy/*/modules/pacrunner_*.so");
}

LibProxy* LoadLibProxy() {
  static std::once_flag once;
  static LibProxy lib;
  std::call_once(once, [] {
    void* handle = dlopen("libproxy.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    auto factoryNew = reinterpret_cast<void* (*)()>(dlsym(handle, "px_proxy_factory_new"));
    lib.getProxies = reinterpret_cast<char** (*)(void*, const char*)>(dlsym(handle, "px_proxy_factory_get_proxies"));
    lib.freeProxies = reinterpret_cast<void (*)(char**)>(dlsym(handle, "px_proxy_factory_free_proxies"));
    if (!factoryNew || !lib.getProxies) return;
    lib.pacRunner = PacRunnerInstalled(reinterpret_cast<void*>(lib.getProxies));
    lib.factory = factoryNew();
  });
  return lib.factory ? &lib : nullptr;
}

// Versions before 0.4.16 lack px_proxy_factory_free_proxies; their lists are plain malloc'ed strings.
void FreeList(const LibProxy& lib, char** list) {
  if (lib.freeProxies) {
    lib.freeProxies(list);
    return;
  }
  for (char** p = list; *p; ++p) std::free(*p);
  std::free(list);
}

// libproxy's proxy schemes that libcurl can use, with libcurl's name and the default port.
struct ProxyScheme {
  const char* libproxy;
  const char* curl;
  int port;
};
constexpr ProxyScheme kProxySchemes[] = {
    {"http", "http", 80},        {"https", "https", 443},     {"socks", "socks4", 1080},  // a script's "SOCKS"
    {"socks4", "socks4", 1080},  {"socks4a", "socks4a", 1080}, {"socks5", "socks5", 1080},
    {"socks5h", "socks5h", 1080},
};

const ProxyScheme* FindProxyScheme(std::string_view scheme) {
  for (const ProxyScheme& known : kProxySchemes)
    if (scheme.size() == std::strlen(known.libproxy) && strncasecmp(scheme.data(), known.libproxy, scheme.size()) == 0)
      return &known;
  return nullptr;
}

// "host:port" with optional "user:password@" and "[v6]"; a missing port is added.
std::string AuthorityWithPort(std::string_view authority, int defaultPort) {
  size_t at = authority.rfind('@');
  std::string_view host = at == std::string_view::npos ? authority : authority.substr(at + 1);
  size_t bracket = host.rfind(']');
  size_t colon = host.rfind(':');
  bool hasPort = colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket);
  std::string out(authority);
  if (!hasPort) {
    out += ':';
    out += std::to_string(defaultPort);
  }
  return out;
}

}  // namespace

AutoProxyAnswer ChooseAutoProxy(const char* const* entries, std::string& proxy) {
  for (; entries && *entries; ++entries) {
    std::string_view entry = *entries;
    size_t separator = entry.find("://");
    if (separator == std::string_view::npos) continue;
    std::string_view scheme = entry.substr(0, separator);
    if (scheme.size() == 6 && strncasecmp(scheme.data(), "direct", 6) == 0) return AutoProxyAnswer::Direct;
    const ProxyScheme* known = FindProxyScheme(scheme);
    std::string_view authority = entry.substr(separator + 3);
    authority = authority.substr(0, authority.find('/'));
    if (!known || authority.empty() || authority.back() == '@') continue;
    // Appended in steps: `"://" + AuthorityWithPort(...)` trips GCC 12's -Wrestrict in Release.
    proxy = known->curl;
    proxy += "://";
    proxy += AuthorityWithPort(authority, known->port);
    return AutoProxyAnswer::Proxy;
  }
  return AutoProxyAnswer::Failed;
}

bool AskLibProxy(const std::string& url, std::vector<std::string>& entries) {
  LibProxy* lib = LoadLibProxy();
  if (!lib) return false;
  std::lock_guard<std::mutex> guard(lib->lock);
  char** list = lib->getProxies(lib->factory, url.c_str());
  if (!list) return false;
  for (char** p = list; *p; ++p) entries.emplace_back(*p);
  FreeList(*lib, list);
  return true;
}

bool ScriptRunnerInstalled() {
  LibProxy* lib = LoadLibProxy();
  return lib && lib->pacRunner;
}

namespace {

// The agent's environment with the script in place of any proxy variables.
std::vector<std::string> ScriptEnvironment(const std::string& configScript) {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) {
    std::string_view item = *e;
    std::string_view name = item.substr(0, item.find('='));
    if (strncasecmp(name.data(), "http_proxy", name.size()) == 0 && name.size() == 10) continue;
    if (strncasecmp(name.data(), "https_proxy", name.size()) == 0 && name.size() == 11) continue;
    out.emplace_back(item);
  }
  out.push_back("http_proxy=pac+" + configScript);
  out.push_back("https_proxy=pac+" + configScript);
  return out;
}

// Everything the child writes, until it closes its output or the time is up.
bool ReadAll(int fd, std::string& text, int timeoutMs) {
  char buffer[4096];
  while (true) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs);
    if (ready <= 0) return false;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    if (text.size() < 65536) text.append(buffer, static_cast<size_t>(n));
  }
}

// moorproxy prints libproxy's list, one entry a line, for url.
bool AskThroughScript(const std::string& url, const std::string& configScript,
                      std::vector<std::string>& entries) {
  std::string folder = ProgramFolder();
  std::string program = (folder.empty() ? std::string(".") : folder) + "/moorproxy";
  std::vector<std::string> environment = ScriptEnvironment(configScript);
  std::vector<char*> envp;
  for (std::string& item : environment) envp.push_back(item.data());
  envp.push_back(nullptr);
  std::string urlArgument = url;
  char* argv[] = {program.data(), urlArgument.data(), nullptr};

  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  if (spawned != 0) {
    close(output[0]);
    WideDbgPrint(u"moorproxy cannot be started: %d\n", spawned);
    return false;
  }
  std::string text;
  // A script fetched from a dead server must not hold the request for long.
  bool complete = ReadAll(output[0], text, 10000);
  close(output[0]);
  if (!complete) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) entries.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return true;
}

}  // namespace

AutoProxyAnswer LookUpAutoProxy(const std::string& url, const std::string& configScript, std::string& proxy) {
  std::vector<std::string> entries;
  bool asked = false;
  if (!configScript.empty() && ScriptRunnerInstalled()) {
    asked = AskThroughScript(url, configScript, entries);
  } else {
    if (!configScript.empty()) {
      static std::once_flag told;
      std::call_once(told, [&] {
        WideDbgPrint(u"AutoConfigURL %ws: libproxy has no script runner (libproxy1-plugin-webkit), plain look-up\n",
                     Utf8ToUtf16(configScript).c_str());
      });
    }
    asked = AskLibProxy(url, entries);
  }
  if (!asked) return AutoProxyAnswer::Failed;
  std::vector<const char*> list;
  for (const std::string& e : entries) list.push_back(e.c_str());
  list.push_back(nullptr);
  return ChooseAutoProxy(list.data(), proxy);
}

}  // namespace hvm
