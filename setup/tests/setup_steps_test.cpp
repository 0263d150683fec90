// What moorsetup writes: the provider order, the proxy record, the desktop's
// proxy, the units and the XML library's check.
#include <gtest/gtest.h>

#include <map>

#include "setup/setup_steps.h"

namespace hvm {
namespace {

TEST(SetupSteps, ProviderOrderPutsTheDriverFirstOnce) {
  EXPECT_EQ(ProviderOrderWithFirst("a,quenlode,b"), "quenlode,a,b");
  EXPECT_EQ(ProviderOrderWithFirst("quenlode"), "quenlode");
  EXPECT_EQ(ProviderOrderWithFirst(""), "quenlode");
  EXPECT_EQ(ProviderOrderWithFirst("a,b"), "quenlode,a,b");
  EXPECT_EQ(ProviderOrderWithFirst("quenlode,a,quenlode"), "quenlode,a");
  EXPECT_EQ(ProviderOrderWithout("quenlode,a,b"), "a,b");
  EXPECT_EQ(ProviderOrderWithout("quenlode"), "");
}

TEST(SetupSteps, ProxyTextsGiveTheHttpServer) {
  EXPECT_EQ(HttpProxyOf("http=proxy:8080,https=other:443"), "proxy:8080");
  EXPECT_EQ(HttpProxyOf("http://user:pw@proxy.example:3128/"), "proxy.example:3128");
  EXPECT_EQ(HttpProxyOf("proxy:80"), "proxy:80");
  EXPECT_EQ(HttpProxyOf(""), "");
}

TEST(SetupSteps, TheMachineProxyRecordHasItsLayout) {
  std::vector<uint8_t> record = WinHttpSettingsRecord("p:8", "a;b");
  std::vector<uint8_t> expected = {24, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 'p', ':', '8',
                                   3,  0, 0, 0, 'a', ';', 'b'};
  expected.resize(expected.size() + 16, 0);
  EXPECT_EQ(record, expected);
}

TEST(SetupSteps, TheDesktopProxyComesFromTheEnvironmentElseGnome) {
  std::map<std::string, std::string> env = {{"HTTP_PROXY", "http://envproxy:3128"}, {"no_proxy", "localhost,.lan"}};
  auto getter = [&](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  std::vector<std::vector<std::string>> asked;
  std::map<std::string, std::string> gnome = {{"mode", "'manual'\n"},
                                              {"host", "'gproxy'\n"},
                                              {"port", "8080\n"},
                                              {"ignore-hosts", "['localhost', '127.0.0.0/8']\n"}};
  CommandRunner runner = [&](const std::vector<std::string>& argv, std::string& out) {
    asked.push_back(argv);
    out = gnome[argv.back()];
    return true;
  };
  DesktopProxy fromEnv = FindDesktopProxy(getter, runner);
  EXPECT_EQ(fromEnv.server, "envproxy:3128");
  EXPECT_EQ(fromEnv.bypass, "localhost;.lan");
  EXPECT_TRUE(asked.empty());
  env.clear();
  DesktopProxy fromGnome = FindDesktopProxy(getter, runner);
  EXPECT_EQ(fromGnome.server, "gproxy:8080");
  EXPECT_EQ(fromGnome.bypass, "localhost;127.0.0.0/8");
  gnome["mode"] = "'none'\n";
  EXPECT_EQ(FindDesktopProxy(getter, runner).server, "");
  CommandRunner missing = [](const std::vector<std::string>&, std::string&) { return false; };
  EXPECT_EQ(FindDesktopProxy(getter, missing).server, "");
}

TEST(SetupSteps, TheDriverUnitIsHardenedWithoutHidingItsMount) {
  std::string unit = DriverUnitText("/usr/bin");
  EXPECT_NE(unit.find("ExecStart=/usr/bin/quenlode\n"), std::string::npos);
  EXPECT_NE(unit.find("DeviceAllow=/dev/fuse rw\n"), std::string::npos);
  EXPECT_NE(unit.find("NoNewPrivileges=yes\n"), std::string::npos);
  EXPECT_NE(unit.find("CapabilityBoundingSet=CAP_SYS_ADMIN\n"), std::string::npos);
  // A mount namespace of its own would keep the mount from everyone else.
  for (const char* option : {"ProtectSystem=", "ProtectHome=", "PrivateTmp=", "PrivateDevices=", "MountFlags="})
    EXPECT_EQ(unit.find(std::string("\n") + option), std::string::npos) << option;
  EXPECT_NE(AgentUnitText("/opt/hvm/bin").find("ExecStart=/opt/hvm/bin/moorgate\n"), std::string::npos);
  EXPECT_NE(AgentUnitText("/usr/bin").find("WantedBy=default.target"), std::string::npos);
}

TEST(SetupSteps, XmlLibraryVersions) {
  EXPECT_TRUE(XmlVersionSufficient("21004"));
  EXPECT_TRUE(XmlVersionSufficient("20900"));
  EXPECT_FALSE(XmlVersionSufficient("20708"));
  EXPECT_FALSE(XmlVersionSufficient(""));
  EXPECT_FALSE(XmlVersionSufficient(nullptr));
}

}  // namespace
}  // namespace hvm
