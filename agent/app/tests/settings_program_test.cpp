// The program settings: proxy values in the registry and the shared block,
// the proxy mode, and the autostart entry with its refusal of planted links.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "agent/app/program_settings.h"
#include "agent/app/sites.h"
#include "agent/app/tests/app_test_driver.h"
#include "agent/clients/webdav_client.h"
#include "agent/service/site_passwords.h"
#include "platform/tests/test_support.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

class ProgramSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCurrentUi(&ui);
    std::memset(block.get(), 0, sizeof(SharedUserBlock));
  }
  void TearDown() override {
    SetCurrentUi(nullptr);
    SetWebDavProxySettings(WebDavProxySettings{});
    KeepProxyPassword(u"");
  }
  test::Sandbox sandbox;
  test::RecordingUi ui;
  std::unique_ptr<SharedUserBlock> block = std::make_unique<SharedUserBlock>();
};

TEST_F(ProgramSettingsTest, ProxyValuesAreCutToTheirLimitsAndReadBack) {
  ProgramSettings none = ReadProgramSettings();
  EXPECT_EQ(none.mode, ProxyMode::kAutomatic);
  ASSERT_TRUE(SetProxyString(u"ProxyServer", std::u16string(50, u's'), block.get()));
  ASSERT_TRUE(SetProxyString(u"ProxyUser", u"proxy-user", block.get()));
  ASSERT_TRUE(SetProxyString(u"ProxyPassword", u"pw", block.get()));
  ASSERT_TRUE(SetProxyPort(u"31289", block.get()));  // the field takes 4 characters
  EXPECT_FALSE(SetProxyString(u"ProxyColour", u"red", block.get()));
  EXPECT_EQ(block->proxyPort, 3128u);
  EXPECT_EQ(WideField(block->proxyServer, 80).size(), 39u);
  EXPECT_EQ(WideField(block->proxyUser, 60), u"proxy-user");
  EXPECT_EQ(block->proxyPassword[0], 0);  // never in the shared block
  EXPECT_EQ(ProxyPassword(), u"pw");

  ProgramSettings read = ReadProgramSettings();
  EXPECT_EQ(read.mode, ProxyMode::kManual);  // no mode stored, but a server
  EXPECT_EQ(read.server, std::u16string(39, u's'));
  EXPECT_EQ(read.port, 3128u);
  EXPECT_EQ(read.password, u"pw");
  std::string reg = test::ReadWholeFile(sandbox.Path("user.reg"));
  EXPECT_NE(reg.find("\"ProxyPort\"=dword:00000c38"), std::string::npos) << reg;

  ASSERT_TRUE(SetProxyMode(ProxyMode::kNone));
  read = ReadProgramSettings();
  EXPECT_EQ(read.mode, ProxyMode::kNone);
  ApplyProxySettings(read);
  EXPECT_TRUE(GetWebDavProxySettings().direct);
  EXPECT_FALSE(GetWebDavProxySettings().enabled);
  ASSERT_TRUE(SetProxyMode(ProxyMode::kManual));
  ApplyProxySettings(ReadProgramSettings());
  EXPECT_TRUE(GetWebDavProxySettings().enabled);
  EXPECT_EQ(GetWebDavProxySettings().port, 3128u);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(ProgramSettingsTest, TypedNumbersAndTimeOuts) {
  EXPECT_EQ(LeadingNumber(u"80x"), 80u);
  EXPECT_EQ(LeadingNumber(u"x80"), 0u);
  EXPECT_EQ(LeadingNumber(u"99999999999999"), 0xFFFFFFFFu);
  EXPECT_EQ(ClampTimeoutSeconds(0), 1u);
  EXPECT_EQ(ClampTimeoutSeconds(500), 120u);
  EXPECT_EQ(ClampTimeoutSeconds(45), 45u);
  EXPECT_TRUE(IsTimeoutValue(u"Receive"));
  EXPECT_FALSE(IsTimeoutValue(u"Retry"));
}

TEST_F(ProgramSettingsTest, RunAtStartupWritesAndRemovesTheAutostartEntry) {
  std::string path = AutostartEntryPath();
  EXPECT_EQ(path, sandbox.Path("config/autostart/halvenmoor.desktop"));
  EXPECT_FALSE(RunAtStartupEnabled());
  ASSERT_TRUE(SetRunAtStartup(true, "/opt/hvm/moorgate /min /sleep=20"));
  ASSERT_TRUE(RunAtStartupEnabled());
  std::string entry = test::ReadWholeFile(path);
  // Started from the entry itself: nothing is appended twice.
  EXPECT_NE(entry.find("Exec=/opt/hvm/moorgate /min /sleep=20\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("[Desktop Entry]"), std::string::npos);
  ASSERT_TRUE(SetRunAtStartup(true));
  entry = test::ReadWholeFile(path);
  EXPECT_NE(entry.find("moorgate\" /min /sleep=20\n"), std::string::npos) << entry;
  ASSERT_TRUE(SetRunAtStartup(false));
  EXPECT_FALSE(RunAtStartupEnabled());
  EXPECT_TRUE(SetRunAtStartup(false));  // nothing there: done
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(ProgramSettingsTest, ALinkPlantedAtTheAutostartPathIsNeverFollowed) {
  std::string path = AutostartEntryPath();
  std::string victim = sandbox.Path("victim");
  std::ofstream(victim) << "keep me";
  ASSERT_EQ(mkdir(sandbox.Path("config").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(sandbox.Path("config/autostart").c_str(), 0700), 0);
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  EXPECT_FALSE(RunAtStartupEnabled());
  EXPECT_FALSE(SetRunAtStartup(true));
  EXPECT_FALSE(SetRunAtStartup(false));
  EXPECT_EQ(test::ReadWholeFile(victim), "keep me");
  struct stat st {};
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(ui.boxes.size(), 2u);
  EXPECT_NE(Utf16ToUtf8(ui.boxes[0].text).find("not a plain file"), std::string::npos);
}

}  // namespace
}  // namespace hvm
