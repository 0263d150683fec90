// The automatic proxy: with no proxy configured in the agent, the client asks
// libproxy, which reads http_proxy and no_proxy from the environment or runs
// the script that AutoConfigURL in the user's Internet settings names. The
// requests go to Apache, through a counting forward proxy when one is chosen.
#include <glob.h>
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

#include "common/moorlib.h"
#include "platform/debug_sink.h"
#include "platform/registry.h"
#include "platform/tests/test_support.h"
#include "platform/wide_text.h"
#include "tests/integration/webdav_test_support.h"

namespace hvm::test {
namespace {

bool PacRunnerInstalled() {
  glob_t found{};
  bool any = glob("/usr/lib/*/libproxy/*/modules/pacrunner_*.so", 0, nullptr, &found) == 0 && found.gl_pathc > 0;
  globfree(&found);
  return any;
}

class AutoProxy : public ApacheSuite {
 protected:
  static void SetUpTestSuite() {
    ApacheSuite::SetUpTestSuite();
    proxy_ = new ServerScript("forward_proxy.sh");
  }
  static void TearDownTestSuite() {
    delete proxy_;
    proxy_ = nullptr;
    ApacheSuite::TearDownTestSuite();
  }
  void SetUp() override {
    ApacheSuite::SetUp();
    ASSERT_TRUE(proxy_->ok()) << "the forward proxy did not start";
    std::ofstream(ProxyLogPath(), std::ios::trunc);
    SetWebDavProxySettings({});  // nothing configured in the agent
    traces_.emplace("webdav_auto_proxy_test");
  }
  void TearDown() override {
    traces_.reset();
    ApacheSuite::TearDown();
  }

  std::string ProxyUrl() const { return "http://127.0.0.1:" + std::to_string(proxy_->port()); }
  std::string ProxyLogPath() const { return proxy_->state() + "/requests.log"; }
  std::string ProxyLog() const { return ReadWholeFile(ProxyLogPath()); }
  std::string DebugLog() const { return ReadWholeFile(scratch_ / "state/halvenmoor/webdav_auto_proxy_test.log"); }

  // Lists the site root; the entry of "seen.txt" proves the answer arrived.
  void ExpectListing(TestSite& site) {
    NTSTATUS status = 1;
    site.List(u"", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_NE(site.Entry(u"\\seen.txt"), nullptr);
  }

  void SetAutoConfigUrl(const std::string& url) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    std::u16string value = Utf8ToUtf16(url);
    ASSERT_EQ(RegSetValueExW(key, u"AutoConfigURL", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(char16_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  static ServerScript* proxy_;
  ScratchDir scratch_;
  // The environment of each test is its own; the originals come back afterwards.
  EnvOverride userReg_{"HALVENMOOR_USER_REG", scratch_ / "user.reg"};
  EnvOverride state_{"XDG_STATE_HOME", scratch_ / "state"};
  EnvOverride httpProxy_{"http_proxy", std::nullopt};
  EnvOverride httpProxyUpper_{"HTTP_PROXY", std::nullopt};
  EnvOverride httpsProxy_{"https_proxy", std::nullopt};
  EnvOverride noProxy_{"no_proxy", std::nullopt};
  EnvOverride noProxyUpper_{"NO_PROXY", std::nullopt};
  std::optional<TracesOn> traces_;
};

ServerScript* AutoProxy::proxy_ = nullptr;

TEST_F(AutoProxy, RequestsGoThroughTheEnvironmentsProxyUnlessTheHostIsExcluded) {
  WriteFile(Data("seen.txt"), Pattern(3));
  setenv("http_proxy", ProxyUrl().c_str(), 1);
  {
    TestSite site(server_->Url("/dav/"));
    ExpectListing(site);
    EXPECT_NE(ProxyLog().find("PROPFIND " + server_->Url("/dav/")), std::string::npos) << ProxyLog();
  }
  // Without Internet settings in the user's registry the look-up runs without a script.
  EXPECT_NE(DebugLog().find(" RegOpenKeyExW 2\n"), std::string::npos) << DebugLog();

  std::ofstream(ProxyLogPath(), std::ios::trunc);
  setenv("no_proxy", "127.0.0.1", 1);
  TestSite direct(server_->Url("/dav/"));
  ExpectListing(direct);
  EXPECT_EQ(ProxyLog(), "");
}

TEST_F(AutoProxy, AnUnusableAnswerIsAFailedLookUpNeverRepeatedForTheSite) {
  WriteFile(Data("seen.txt"), Pattern(3));
  setenv("http_proxy", "gopher://127.0.0.1:9", 1);
  TestSite site(server_->Url("/dav/"));
  ExpectListing(site);  // on without proxy
  EXPECT_NE(DebugLog().find("**WinHttpGetProxyForUrl error=12180\n"), std::string::npos) << DebugLog();

  setenv("http_proxy", ProxyUrl().c_str(), 1);
  ExpectListing(site);
  auto clone = site.client->Clone();  // clones share what the site has learnt
  EXPECT_EQ(clone->PerformRequest('D', nullptr, u"", nullptr, u"", nullptr, 0, 0, nullptr), 207);
  clone->CloseRequest();
  EXPECT_EQ(ProxyLog(), "");

  TestSite other(server_->Url("/dav/"));  // another site asks again
  ExpectListing(other);
  EXPECT_NE(ProxyLog().find("PROPFIND"), std::string::npos);
}

TEST_F(AutoProxy, TheScriptOfTheInternetSettingsChoosesTheProxy) {
  if (!PacRunnerInstalled()) GTEST_SKIP() << "libproxy1-plugin-webkit is not installed";
#ifdef __SANITIZE_ADDRESS__
  // JavaScriptCore (not instrumented) releases its objects through this
  // program's instrumented copy of a shared_ptr routine, which the vptr check
  // then takes for a wrong type.
  GTEST_SKIP() << "the script runner cannot run under the sanitizers";
#endif
  WriteFile(Data("seen.txt"), Pattern(3));
  const std::string script = scratch_ / "proxy.pac";
  WriteWholeFile(script, "function FindProxyForURL(url, host) {\n"
                         "  return url.indexOf('/dav/') >= 0 ? 'PROXY 127.0.0.1:" +
                             std::to_string(proxy_->port()) + "; DIRECT' : 'DIRECT';\n}\n");
  SetAutoConfigUrl("file://" + script);
  setenv("https_proxy", "http://127.0.0.1:9", 1);  // the script replaces it for the look-up
  TestSite site(server_->Url("/dav/"));
  ExpectListing(site);
  EXPECT_NE(ProxyLog().find("PROPFIND " + server_->Url("/dav/")), std::string::npos) << ProxyLog();
  // The environment is as it was before the look-up.
  EXPECT_EQ(std::getenv("http_proxy"), nullptr);
  EXPECT_STREQ(std::getenv("https_proxy"), "http://127.0.0.1:9");
}

}  // namespace
}  // namespace hvm::test
