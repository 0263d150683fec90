// A running agent reading the sites again: registry changes reach the sites
// that are not connected, a connected site keeps its slot and its record.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "agent/app/sites.h"
#include "agent/app/sites_values.h"
#include "agent/service/shared_section.h"
#include "agent/service/site_passwords.h"
#include "platform/tests/test_support.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

class SitesReadAgain : public ::testing::Test {
 protected:
  SitesReadAgain()
      : userReg_("HALVENMOOR_USER_REG", scratch_ / "user.reg"),
        machineReg_("HALVENMOOR_MACHINE_REG", scratch_ / "system.reg"),
        home_("HOME", scratch_.path()) {
    std::memset(live_.get(), 0, sizeof(SharedUserBlock));
  }
  // What moorsites does in its own process.
  void WriteSite(const std::u16string& name, const std::u16string& url) {
    HKEY key = nullptr;
    std::u16string path = std::u16string(kProductKey) + u"\\" + name;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(SetWideValue(key, u"Url", url), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  SiteRecord* Live(std::u16string_view name) {
    for (SiteRecord& r : live_->sites)
      if (WideField(r.name, kSiteNameChars) == name) return &r;
    return nullptr;
  }
  std::u16string Url(std::u16string_view name) { return std::u16string(WideField(Live(name)->url, kSiteUrlChars)); }

  test::ScratchDir scratch_;
  test::EnvOverride userReg_, machineReg_, home_;
  std::unique_ptr<SharedUserBlock> live_ = std::make_unique<SharedUserBlock>();
};

TEST_F(SitesReadAgain, ChangesReachIdleSitesAndTheConnectedOneStaysPut) {
  WriteSite(u"alpha", u"http://127.0.0.1:1/a/");
  WriteSite(u"beta", u"http://127.0.0.1:1/b/");
  WriteSite(u"gamma", u"http://127.0.0.1:1/c/");
  ASSERT_EQ(RereadSites(live_->sites), 3);
  SiteRecord* beta = Live(u"beta");
  ASSERT_NE(beta, nullptr);
  beta->mappedDrive = 'B';
  beta->runtime[0] = 0x5A;  // the request service's state of the connection
  CopyNarrow(beta->password, kSitePasswordChars, "asked at connect");

  WriteSite(u"alpha", u"http://127.0.0.1:2/a/");
  WriteSite(u"beta", u"http://127.0.0.1:2/b/");
  std::u16string gamma = std::u16string(kProductKey) + u"\\gamma";
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, gamma.c_str()), ERROR_SUCCESS);
  WriteSite(u"delta", u"ftp://127.0.0.1:2/d/");
  ASSERT_EQ(RereadSites(live_->sites), 3);

  EXPECT_EQ(Live(u"beta"), beta);
  EXPECT_EQ(beta->mappedDrive, 'B');
  EXPECT_EQ(beta->runtime[0], 0x5A);
  EXPECT_STREQ(beta->password, "asked at connect");
  EXPECT_EQ(Url(u"beta"), u"http://127.0.0.1:1/b/");  // its new URL waits for the next connect
  EXPECT_EQ(Url(u"alpha"), u"http://127.0.0.1:2/a/");
  EXPECT_EQ(Live(u"gamma"), nullptr);
  ASSERT_NE(Live(u"delta"), nullptr);
  EXPECT_EQ(Live(u"delta")->mappedDrive, 0);

  beta->mappedDrive = 0;  // disconnected, it takes what the registry holds
  ASSERT_EQ(RereadSites(live_->sites), 3);
  EXPECT_EQ(Url(u"beta"), u"http://127.0.0.1:2/b/");
}

// The live table is the shared block: sites taken in carry their passwords
// into the agent's own memory, the block's password bytes stay zero.
TEST_F(SitesReadAgain, PasswordsStayOutOfTheLiveTable) {
  HKEY key = nullptr;
  std::u16string path = std::u16string(kProductKey) + u"\\locked";
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(SetWideValue(key, u"Url", u"http://127.0.0.1:1/l/"), ERROR_SUCCESS);
  ASSERT_EQ(SetNarrowValue(key, u"Login", "hvm"), ERROR_SUCCESS);
  ASSERT_EQ(SetNarrowValue(key, u"Password", "in the clear"), ERROR_SUCCESS);
  RegCloseKey(key);

  ASSERT_EQ(RereadSites(live_->sites), 1);
  SiteRecord* locked = Live(u"locked");
  ASSERT_NE(locked, nullptr);
  const char zeros[kSitePasswordChars] = {};
  EXPECT_EQ(std::memcmp(locked->password, zeros, sizeof zeros), 0);
  EXPECT_EQ(SitePassword(*locked), "in the clear");
  const auto* raw = reinterpret_cast<const char*>(live_.get());
  EXPECT_EQ(std::string(raw, sizeof(SharedUserBlock)).find("in the clear"), std::string::npos);

  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(RereadSites(live_->sites), 0);
  EXPECT_EQ(SitePassword(*locked), "") << "a cleared slot keeps no password";
}

}  // namespace
}  // namespace hvm
