// The site table and the registry: defaults, round trips, the sync option
// bits, the enciphered password and the first run.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "agent/app/password_cipher.h"
#include "agent/app/sites.h"
#include "agent/app/sites_values.h"
#include "agent/service/shared_section.h"
#include "platform/tests/test_support.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

using test::EnvOverride;
using test::ScratchDir;

class RecordingUi : public Ui {
 public:
  int MessageBox(std::u16string_view text, std::u16string_view caption, DWORD) override {
    texts.emplace_back(text);
    captions.emplace_back(caption);
    return IDOK;
  }
  bool AskPassword(std::u16string_view, std::string&) override { return false; }
  std::unique_ptr<ProgressWindow> OpenProgress(std::u16string_view) override { return nullptr; }
  bool ChooseFile(std::u16string_view, std::u16string_view, std::string&) override {
    return false;
  }
  std::vector<std::u16string> texts;
  std::vector<std::u16string> captions;
};

class SiteStoreTest : public ::testing::Test {
 protected:
  SiteStoreTest()
      : userReg_("HALVENMOOR_USER_REG", scratch_ / "user.reg"),
        machineReg_("HALVENMOOR_MACHINE_REG", scratch_ / "system.reg"),
        home_("HOME", scratch_.path()),
        state_("XDG_STATE_HOME", scratch_ / "state") {
    SetCurrentUi(&ui_);
    block_ = std::make_unique<SharedUserBlock>();
    std::memset(block_.get(), 0, sizeof(SharedUserBlock));
    store_ = std::make_unique<SiteStore>(block_->sites);
  }
  ~SiteStoreTest() override { SetCurrentUi(nullptr); }

  // A fresh table and store, as the next start of the agent sees them.
  SiteStore& Reopen() {
    store_.reset();
    std::memset(block_.get(), 0, sizeof(SharedUserBlock));
    store_ = std::make_unique<SiteStore>(block_->sites);
    return *store_;
  }

  HKEY SiteKey(const std::u16string& name, HKEY root = HKEY_CURRENT_USER) {
    HKEY key = nullptr;
    std::u16string path = std::u16string(kProductKey) + u"\\" + name;
    EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    return key;
  }

  std::string UserFile() { return test::ReadWholeFile(scratch_ / "user.reg"); }

  ScratchDir scratch_;
  EnvOverride userReg_;
  EnvOverride machineReg_;
  EnvOverride home_;
  EnvOverride state_;
  RecordingUi ui_;
  std::unique_ptr<SharedUserBlock> block_;
  std::unique_ptr<SiteStore> store_;
};

TEST_F(SiteStoreTest, SiteKeyWithoutValuesReadsWithEveryDefault) {
  RegCloseKey(SiteKey(u"bare"));
  ASSERT_EQ(store_->ReadSites(), 1);
  const SiteRecord& r = store_->Record(0);
  EXPECT_EQ(store_->Name(0), u"bare");
  EXPECT_EQ(r.url[0], u'\0');
  EXPECT_EQ(r.login[0], '\0');
  EXPECT_EQ(r.password[0], '\0');
  EXPECT_EQ(r.dontSavePassword, 1);
  EXPECT_EQ(r.drive[0], '\0');
  EXPECT_EQ(r.autoConnect, 0);
  EXPECT_EQ(r.resolveTimeout, 60u);
  EXPECT_EQ(r.connectTimeout, 60u);
  EXPECT_EQ(r.sendTimeout, 60u);
  EXPECT_EQ(r.receiveTimeout, 60u);
  EXPECT_EQ(r.retryCount, 1u);
  EXPECT_EQ(r.passive, 1);
  EXPECT_EQ(r.refreshMinutes, 5u);
  EXPECT_EQ(r.ignoreCertificateWarning, 0);
  EXPECT_EQ(r.flags, 0u);
  EXPECT_EQ(store_->Record(1).name[0], u'\0');
  EXPECT_TRUE(ui_.texts.empty());
}

TEST_F(SiteStoreTest, EveryValueRoundTripsThroughSaveSite) {
  SiteRecord& r = store_->Record(0);
  CopyWide(r.name, kSiteNameChars, u"Bücher");
  CopyWide(r.url, kSiteUrlChars, u"https://dav.example.net/Ordner ü/");
  CopyNarrow(r.login, kSiteLoginChars, "jürgen");
  CopyNarrow(r.password, kSitePasswordChars, "p\"w=\\ 1");
  r.drive[0] = 'K';
  r.autoConnect = 1;
  r.resolveTimeout = 11;
  r.connectTimeout = 12;
  r.sendTimeout = 13;
  r.receiveTimeout = 14;
  r.retryCount = 3;
  r.passive = 0;
  r.refreshMinutes = 9;
  r.ignoreCertificateWarning = 1;
  r.flags = kSiteActiveRefresh | kSitePropfindGet | kSiteSynByCon | kSiteSynByDiscon;

  SiteRecord& other = store_->Record(1);
  CopyWide(other.name, kSiteNameChars, u"nopass");
  CopyNarrow(other.password, kSitePasswordChars, "forgotten");
  other.dontSavePassword = 1;
  ASSERT_EQ(store_->SaveSite(0), 0u);
  ASSERT_EQ(store_->SaveSite(1), 0u);
  const SiteRecord saved = r;

  SiteStore& again = Reopen();
  ASSERT_EQ(again.ReadSites(), 2);
  int index = again.Find(u"BÜCHER");
  ASSERT_GE(index, 0);
  const SiteRecord& back = again.Record(index);
  EXPECT_EQ(WideField(back.url, kSiteUrlChars), WideField(saved.url, kSiteUrlChars));
  EXPECT_STREQ(back.login, "jürgen");
  EXPECT_STREQ(back.password, "p\"w=\\ 1");
  EXPECT_EQ(back.dontSavePassword, 0);
  EXPECT_EQ(back.drive[0], 'K');
  EXPECT_EQ(back.autoConnect, 1);
  EXPECT_EQ(back.resolveTimeout, 11u);
  EXPECT_EQ(back.connectTimeout, 12u);
  EXPECT_EQ(back.sendTimeout, 13u);
  EXPECT_EQ(back.receiveTimeout, 14u);
  EXPECT_EQ(back.retryCount, 3u);
  EXPECT_EQ(back.passive, 0);
  EXPECT_EQ(back.refreshMinutes, 9u);
  EXPECT_EQ(back.ignoreCertificateWarning, 1);
  EXPECT_EQ(back.flags, saved.flags);

  const SiteRecord& unsaved = again.Record(again.Find(u"nopass"));
  EXPECT_EQ(unsaved.dontSavePassword, 1);
  EXPECT_EQ(unsaved.password[0], '\0');
  EXPECT_EQ(UserFile().find("forgotten"), std::string::npos);
}

TEST_F(SiteStoreTest, SyncOptionsReadByTheirLowBitsAndKeepThePersonsMark) {
  struct Case {
    const char16_t* name;
    std::optional<DWORD> con;
    bool conOn;
  };
  const Case cases[] = {
      {u"absent", std::nullopt, false},
      {u"user-off", 0x8000, false},
      {u"user-on", 0x8008, true},
      {u"first-use", 0x0008, true},
  };
  for (const Case& c : cases) {
    HKEY key = SiteKey(c.name);
    if (c.con) SetDwordValue(key, u"SynByCon", *c.con);
    SetDwordValue(key, u"SynByDiscon", 0x8000);
    RegCloseKey(key);
  }
  ASSERT_EQ(store_->ReadSites(), 4);
  for (const Case& c : cases) {
    const SiteRecord& r = store_->Record(store_->Find(c.name));
    EXPECT_EQ((r.flags & kSiteSynByCon) != 0, c.conOn) << Utf16ToUtf8(c.name);
    EXPECT_EQ(r.flags & kSiteSynByDiscon, 0u);
  }

  // Saving: the on bits follow the record, the person's mark stays.
  auto stored = [&](const char16_t* name, const char16_t* value) {
    HKEY key = SiteKey(name);
    DWORD data = 0xDEAD;
    QueryDwordValue(key, value, data);
    RegCloseKey(key);
    return data;
  };
  int userOff = store_->Find(u"user-off");
  store_->Record(userOff).flags |= kSiteSynByCon;
  ASSERT_EQ(store_->SaveSite(userOff), 0u);
  EXPECT_EQ(stored(u"user-off", u"SynByCon"), 0x8008u);

  int userOn = store_->Find(u"user-on");
  store_->Record(userOn).flags &= ~kSiteSynByCon;
  ASSERT_EQ(store_->SaveSite(userOn), 0u);
  EXPECT_EQ(stored(u"user-on", u"SynByCon"), 0x8000u);

  int absent = store_->Find(u"absent");
  store_->Record(absent).flags |= kSiteSynByCon;
  ASSERT_EQ(store_->SaveSite(absent), 0u);
  EXPECT_EQ(stored(u"absent", u"SynByCon"), 0x08u);

  // The options dialog's writes.
  ASSERT_EQ(store_->SetSiteOption(absent, u"SynByDiscon", 0x8000 | 0x10), ERROR_SUCCESS);
  EXPECT_NE(store_->Record(absent).flags & kSiteSynByDiscon, 0u);
  ASSERT_EQ(store_->SetSiteOption(absent, u"SynByDiscon", 0x8000), ERROR_SUCCESS);
  EXPECT_EQ(store_->Record(absent).flags & kSiteSynByDiscon, 0u);
}

TEST_F(SiteStoreTest, ClearPasswordMovesIntoSettingsAndLeavesNoTrace) {
  HKEY key = SiteKey(u"old");
  SetNarrowValue(key, u"Password", "Tr0ub4dor&3");
  RegCloseKey(key);
  ASSERT_NE(UserFile().find("Tr0ub4dor&3"), std::string::npos);

  ASSERT_EQ(store_->ReadSites(), 1);
  EXPECT_STREQ(store_->Record(0).password, "Tr0ub4dor&3");
  EXPECT_EQ(store_->Record(0).dontSavePassword, 0);
  std::string file = UserFile();
  EXPECT_EQ(file.find("Tr0ub4dor&3"), std::string::npos);
  EXPECT_EQ(file.find("\"Password\""), std::string::npos);
  EXPECT_NE(file.find("\"Settings\""), std::string::npos);

  SiteStore& again = Reopen();
  ASSERT_EQ(again.ReadSites(), 1);
  EXPECT_STREQ(again.Record(0).password, "Tr0ub4dor&3");
}

TEST_F(SiteStoreTest, DamagedOrForeignSettingsReadAsNoPasswordSaved) {
  std::string good;
  ASSERT_TRUE(EncipherPassword("hunter2", good));
  std::string flipped = good;
  flipped[flipped.size() / 2] = flipped[flipped.size() / 2] == 'A' ? 'B' : 'A';
  const std::string values[] = {
      flipped,
      good.substr(0, good.size() - 4),
      "g1:" + std::string(300, 'A'),
      "g1:!!!!",
      "plain text",
      "",
  };
  for (size_t i = 0; i < std::size(values); ++i) {
    HKEY key = SiteKey(u"site" + Utf8ToUtf16(std::to_string(i)));
    SetNarrowValue(key, u"Settings", values[i]);
    RegCloseKey(key);
  }
  ASSERT_EQ(store_->ReadSites(), static_cast<int>(std::size(values)));
  for (size_t i = 0; i < std::size(values); ++i) {
    EXPECT_EQ(store_->Record(i).password[0], '\0') << values[i];
    EXPECT_EQ(store_->Record(i).dontSavePassword, 1) << values[i];
  }
}

TEST(PasswordCipher, FreshNonceEachTimeAndLimitsHeld) {
  std::string first;
  std::string second;
  ASSERT_TRUE(EncipherPassword("same", first));
  ASSERT_TRUE(EncipherPassword("same", second));
  EXPECT_NE(first, second);
  std::string clear;
  ASSERT_TRUE(DecipherPassword(second, clear));
  EXPECT_EQ(clear, "same");

  std::string longest(kCipherPasswordBytes, 'x');
  ASSERT_TRUE(EncipherPassword(longest, first));
  EXPECT_LT(first.size(), kSettingsValueBytes);
  ASSERT_TRUE(DecipherPassword(first, clear));
  EXPECT_EQ(clear, longest);
  EXPECT_FALSE(EncipherPassword(longest + "y", first));

  ASSERT_TRUE(EncipherPassword("", first));
  ASSERT_TRUE(DecipherPassword(first, clear));
  EXPECT_EQ(clear, "");
}

// GCM hands out the clear text before it checks the tag: a value whose tag
// fails has had its password deciphered into the caller's buffer already.
TEST(PasswordCipher, AFailedValueLeavesNoClearTextInTheCallersBuffer) {
  const std::string password = "correct horse battery staple 123";  // 60 bytes in all: no padding
  std::string stored;
  ASSERT_TRUE(EncipherPassword(password, stored));
  unsigned char clear[kCipherPasswordBytes];
  size_t length = 0;
  std::memset(clear, 0xA5, sizeof clear);
  ASSERT_TRUE(DecipherPasswordInto(stored, clear, sizeof clear, length));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(clear), length), password);

  std::string wrongTag = stored;
  char& inTag = wrongTag[wrongTag.size() - 2];
  inTag = inTag == 'A' ? 'B' : 'A';
  std::string wrongBody = stored;
  char& inBody = wrongBody[3 + 20];
  inBody = inBody == 'A' ? 'B' : 'A';
  const std::string failing[] = {wrongTag, wrongBody, stored.substr(0, stored.size() - 4), "g1:!!!!", "x"};
  for (const std::string& value : failing) {
    std::memset(clear, 0xA5, sizeof clear);
    length = 7;
    EXPECT_FALSE(DecipherPasswordInto(value, clear, sizeof clear, length)) << value;
    EXPECT_EQ(length, 0u);
    size_t left = 0;
    for (unsigned char byte : clear) left += byte != 0 ? 1 : 0;
    EXPECT_EQ(left, 0u) << value;
  }
  // A buffer too small for the password is refused and wiped as well.
  std::memset(clear, 0xA5, sizeof clear);
  EXPECT_FALSE(DecipherPasswordInto(stored, clear, password.size() - 1, length));
  EXPECT_EQ(clear[0], 0);

  std::string kept = "what the string held before";
  EXPECT_FALSE(DecipherPassword(wrongTag, kept));
  EXPECT_EQ(kept, "");
}

TEST_F(SiteStoreTest, OnlyTwentyFiveSitesAreRead) {
  for (int i = 0; i < 26; ++i) {
    std::u16string name = u"s";  // in steps: GCC 12's -Wrestrict misreads `u"s" + <temporary>`
    name += Utf8ToUtf16(std::to_string(100 + i));
    RegCloseKey(SiteKey(name));
  }
  EXPECT_EQ(store_->ReadSites(), 25);
  EXPECT_EQ(store_->Count(), 25);
}

TEST_F(SiteStoreTest, FirstRunTakesTheMachinesFirstSite) {
  HKEY key = SiteKey(u"Company files", HKEY_LOCAL_MACHINE);
  SetWideValue(key, u"Url", u"https://files.example.com/");
  SetNarrowValue(key, u"Login", "staff");
  SetNarrowValue(key, u"Password", "seed-pw");
  SetWideValue(key, u"Drive", u"M");
  SetDwordValue(key, u"Auto", 1);
  SetDwordValue(key, u"Passive", 1);
  RegCloseKey(key);

  ASSERT_EQ(store_->ReadSites(), 0);
  ASSERT_EQ(store_->SeedFirstRun(), 1);
  const SiteRecord& r = store_->Record(0);
  EXPECT_EQ(store_->Name(0), u"Company files");
  EXPECT_EQ(WideField(r.url, kSiteUrlChars), u"https://files.example.com/");
  EXPECT_STREQ(r.login, "staff");
  EXPECT_STREQ(r.password, "seed-pw");
  EXPECT_EQ(r.drive[0], 'M');
  EXPECT_EQ(r.autoConnect, 1);
  EXPECT_EQ(r.resolveTimeout, 60u);
  EXPECT_EQ(r.sendTimeout, 120u);
  EXPECT_EQ(r.receiveTimeout, 120u);
  EXPECT_EQ(r.passive, 0);
  EXPECT_EQ(store_->selected, 0);
  // The user gets no key of it until it is saved; the first edit saves it whole.
  EXPECT_EQ(UserFile().find("Company files"), std::string::npos);
  ASSERT_EQ(store_->SetSiteOption(0, u"Retry", 7), ERROR_SUCCESS);
  SiteStore& again = Reopen();
  ASSERT_EQ(again.ReadSites(), 1);
  EXPECT_STREQ(again.Record(0).login, "staff");
  EXPECT_STREQ(again.Record(0).password, "seed-pw");
  EXPECT_EQ(again.Record(0).drive[0], 'M');
  EXPECT_EQ(again.Record(0).retryCount, 7u);
}

TEST_F(SiteStoreTest, FirstRunWithoutMachineSitesWritesTheTwoExamples) {
  ASSERT_EQ(store_->ReadSites(), 0);
  ASSERT_EQ(store_->SeedFirstRun(), 2);

  SiteStore& again = Reopen();
  ASSERT_EQ(again.ReadSites(), 2);
  int https = again.Find(u"First Https example");
  int ftp = again.Find(u"Second ftp example");
  ASSERT_GE(https, 0);
  ASSERT_GE(ftp, 0);
  for (int index : {https, ftp}) {
    const SiteRecord& r = again.Record(index);
    std::string url = Utf16ToUtf8(WideField(r.url, kSiteUrlChars));
    EXPECT_NE(url.find(".example."), std::string::npos) << url;
    EXPECT_EQ(r.autoConnect, 0);
    EXPECT_EQ(r.passive, 1);
  }
  EXPECT_EQ(Utf16ToUtf8(WideField(again.Record(https).url, 8)), "https://");
  EXPECT_EQ(Utf16ToUtf8(WideField(again.Record(ftp).url, 6)), "ftp://");
  EXPECT_EQ(again.Record(https).drive[0], 'R');
  EXPECT_EQ(again.Record(ftp).drive[0], 'T');
}

TEST_F(SiteStoreTest, SiteUrlSchemes) {
  for (const char16_t* url : {u"ftps://host/", u"FILE:/srv/share", u"https:/x", u"SFTP://h/",
                              u"http://127.0.0.1/", u"ftp://h", u"FTPES://h:2121/"}) {
    EXPECT_TRUE(IsAcceptedSiteUrl(url)) << Utf16ToUtf8(url);
  }
  for (const char16_t* url : {u"www.example.com/dav", u"gopher://h", u"", u"http:/h", u"ftp:/h",
                              u" http://h", u"ftpes:/h"}) {
    EXPECT_FALSE(IsAcceptedSiteUrl(url)) << Utf16ToUtf8(url);
  }
  EXPECT_FALSE(CheckSiteUrl(u"example.com"));
  ASSERT_EQ(ui_.texts.size(), 1u);
  EXPECT_EQ(ui_.texts[0], u"The url is not correct, there can only be http://, https:// or ftp://");
  EXPECT_EQ(ui_.captions[0], u"Halvenmoor");
}

}  // namespace
}  // namespace hvm
