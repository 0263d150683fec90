#include "setup/setup_steps.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace hvm {
namespace {

std::vector<std::string> SplitList(const std::string& text, char separator) {
  std::vector<std::string> items;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(separator, at);
    if (end == std::string::npos) end = text.size();
    items.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return items;
}

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\'')) text.pop_back();
  size_t start = text.find_first_not_of(" '");
  return start == std::string::npos ? "" : text.substr(start);
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// GNOME's lists print as "['localhost', '127.0.0.0/8']".
std::string GnomeList(const std::string& text) {
  std::string out;
  for (std::string item : SplitList(text, ',')) {
    for (char c : std::string("[]'\" \n")) item.erase(std::remove(item.begin(), item.end(), c), item.end());
    if (item.empty()) continue;
    out += (out.empty() ? "" : ";") + item;
  }
  return out;
}

}  // namespace

std::string ProviderOrderWithout(const std::string& order) {
  std::string rest;
  for (const std::string& item : SplitList(order, ',')) {
    if (item.empty() || item == kServiceName) continue;
    rest += (rest.empty() ? "" : ",") + item;
  }
  return rest;
}

std::string ProviderOrderWithFirst(const std::string& order) {
  std::string rest = ProviderOrderWithout(order);
  return rest.empty() ? std::string(kServiceName) : std::string(kServiceName) + "," + rest;
}

std::string HttpProxyOf(const std::string& text) {
  std::string server = Trim(text);
  size_t http = server.find("http=");
  if (http != std::string::npos) server = server.substr(http + 5, server.find(',', http) - http - 5);
  size_t scheme = server.find("://");
  if (scheme != std::string::npos) server = server.substr(scheme + 3);
  size_t at = server.rfind('@');
  if (at != std::string::npos) server = server.substr(at + 1);
  size_t slash = server.find('/');
  if (slash != std::string::npos) server.resize(slash);
  return server;
}

std::vector<uint8_t> WinHttpSettingsRecord(const std::string& server, const std::string& bypass) {
  std::vector<uint8_t> record;
  Put32(record, 24);
  Put32(record, 0);
  Put32(record, 3);
  Put32(record, static_cast<uint32_t>(server.size()));
  record.insert(record.end(), server.begin(), server.end());
  Put32(record, static_cast<uint32_t>(bypass.size()));
  record.insert(record.end(), bypass.begin(), bypass.end());
  // Written 16 bytes longer than the bypass text's end, counted from the server's length field.
  record.resize(record.size() + 16, 0);
  return record;
}

DesktopProxy FindDesktopProxy(const std::function<const char*(const char*)>& environment,
                              const CommandRunner& run) {
  DesktopProxy proxy;
  for (const char* name : {"http_proxy", "HTTP_PROXY"}) {
    const char* value = environment(name);
    if (value && *value) {
      proxy.server = HttpProxyOf(value);
      break;
    }
  }
  if (!proxy.server.empty()) {
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
      const char* value = environment(name);
      if (value && *value) {
        proxy.bypass = GnomeList(value);
        break;
      }
    }
    return proxy;
  }
  std::string mode, host, port, ignore;
  if (!run({"gsettings", "get", "org.gnome.system.proxy", "mode"}, mode) || Trim(mode) != "manual") return proxy;
  if (!run({"gsettings", "get", "org.gnome.system.proxy.http", "host"}, host) ||
      !run({"gsettings", "get", "org.gnome.system.proxy.http", "port"}, port) || Trim(host).empty())
    return proxy;
  proxy.server = HttpProxyOf(Trim(host));
  std::string portText = Trim(port);
  if (!portText.empty() && portText != "0") {
    proxy.server += ':';
    proxy.server += portText;
  }
  if (run({"gsettings", "get", "org.gnome.system.proxy", "ignore-hosts"}, ignore)) proxy.bypass = GnomeList(ignore);
  return proxy;
}

std::string DriverUnitText(const std::string& binFolder) {
  return "[Unit]\n"
         "Description=WebDAV File System (Halvenmoor driver quenlode)\n"
         "After=local-fs.target\n\n"
         "[Service]\n"
         "Type=simple\n"
         "ExecStart=" + binFolder + "/quenlode\n"
         "ExecStopPost=-/bin/fusermount3 -u -z /run/halvenmoor/mnt\n"
         "Restart=on-failure\n"
         "RuntimeDirectory=halvenmoor\n"
         "RuntimeDirectoryMode=0755\n"
         "RuntimeDirectoryPreserve=no\n"
         "UMask=0022\n"
         "# The mount must be seen by every user: nothing here gives the service a\n"
         "# mount namespace of its own (no ProtectSystem, ProtectHome, PrivateTmp,\n"
         "# PrivateDevices), since a FUSE mount made inside one stays inside it.\n"
         "DevicePolicy=closed\n"
         "DeviceAllow=/dev/fuse rw\n"
         "CapabilityBoundingSet=CAP_SYS_ADMIN\n"
         "AmbientCapabilities=\n"
         "NoNewPrivileges=yes\n"
         "RestrictAddressFamilies=AF_UNIX\n"
         "RestrictNamespaces=yes\n"
         "RestrictRealtime=yes\n"
         "RestrictSUIDSGID=yes\n"
         "LockPersonality=yes\n"
         "MemoryDenyWriteExecute=yes\n"
         "ProtectHostname=yes\n"
         "ProtectClock=yes\n"
         "SystemCallArchitectures=native\n"
         "SystemCallFilter=@system-service @mount\n"
         "SystemCallErrorNumber=EPERM\n\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

std::string AgentUnitText(const std::string& binFolder) {
  return "[Unit]\n"
         "Description=Halvenmoor agent (moorgate)\n"
         "After=graphical-session.target\n\n"
         "[Service]\n"
         "Type=simple\n"
         "ExecStart=" + binFolder + "/moorgate\n"
         "ExecStop=" + binFolder + "/moorgate --quit\n"
         "Restart=on-failure\n"
         "NoNewPrivileges=yes\n"
         "LockPersonality=yes\n"
         "RestrictRealtime=yes\n\n"
         "[Install]\n"
         "WantedBy=default.target\n";
}

bool XmlVersionSufficient(const char* runtimeVersion) {
  if (runtimeVersion == nullptr) return false;
  char* end = nullptr;
  long number = std::strtol(runtimeVersion, &end, 10);
  return end != runtimeVersion && number >= kLeastXmlVersion;
}

}  // namespace hvm
