// The site manager's operations and their refusals, and drive letter proposals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "agent/app/drive_letters.h"
#include "agent/app/site_manager.h"
#include "agent/app/sites.h"
#include "agent/app/sites_values.h"
#include "agent/service/shared_section.h"
#include "platform/tests/test_support.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

namespace fs = std::filesystem;
using test::EnvOverride;
using test::ScratchDir;

class RecordingUi : public Ui {
 public:
  int MessageBox(std::u16string_view text, std::u16string_view, DWORD) override {
    texts.emplace_back(text);
    return IDOK;
  }
  bool AskPassword(std::u16string_view, std::string&) override { return false; }
  std::unique_ptr<ProgressWindow> OpenProgress(std::u16string_view) override { return nullptr; }
  bool ChooseFile(std::u16string_view, std::u16string_view, std::string&) override { return false; }
  std::vector<std::u16string> texts;
};

class SiteManagerTest : public ::testing::Test {
 protected:
  SiteManagerTest()
      : userReg_("HALVENMOOR_USER_REG", scratch_ / "user.reg"),
        machineReg_("HALVENMOOR_MACHINE_REG", scratch_ / "system.reg"),
        home_("HOME", scratch_.path()),
        state_("XDG_STATE_HOME", scratch_ / "state"),
        cacheRoot_(scratch_ / "offline") {
    SetCurrentUi(&ui_);
    block_ = std::make_unique<SharedUserBlock>();
    std::memset(block_.get(), 0, sizeof(SharedUserBlock));
    store_ = std::make_unique<SiteStore>(block_->sites);
    manager_ =
        std::make_unique<SiteManager>(*store_, std::make_unique<FolderCacheMover>(cacheRoot_));
  }
  ~SiteManagerTest() override { SetCurrentUi(nullptr); }

  int Add(const std::u16string& name, char drive = '\0') {
    SiteRecord fields{};
    ApplyNewSiteDefaults(fields);
    CopyWide(fields.url, kSiteUrlChars, u"http://127.0.0.1/" + name);
    CopyNarrow(fields.login, kSiteLoginChars, "user");
    CopyNarrow(fields.password, kSitePasswordChars, "pw");
    fields.drive[0] = drive;
    int index = -1;
    EXPECT_EQ(manager_->AddSite(name, fields, &index), SiteResult::kDone);
    return index;
  }

  bool KeyExists(const std::u16string& name) {
    HKEY key = nullptr;
    std::u16string path = std::u16string(kProductKey) + u"\\" + name;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(key);
    return true;
  }

  DWORD StoredDword(const std::u16string& site, const char16_t* value) {
    HKEY key = nullptr;
    std::u16string path = std::u16string(kProductKey) + u"\\" + site;
    DWORD data = 0xDEAD;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
      QueryDwordValue(key, value, data);
      RegCloseKey(key);
    }
    return data;
  }

  std::string DrivesDir() { return scratch_ / "Halvenmoor"; }
  void TakeLetter(char letter) {
    fs::create_directories(DrivesDir());
    ASSERT_EQ(symlink("/nonexistent/target", (DrivesDir() + "/" + letter).c_str()), 0);
  }

  ScratchDir scratch_;
  EnvOverride userReg_;
  EnvOverride machineReg_;
  EnvOverride home_;
  EnvOverride state_;
  std::string cacheRoot_;
  RecordingUi ui_;
  std::unique_ptr<SharedUserBlock> block_;
  std::unique_ptr<SiteStore> store_;
  std::unique_ptr<SiteManager> manager_;
};

TEST_F(SiteManagerTest, ProposedLettersSkipTakenOnesDownToC) {
  SiteRecord record{};
  EXPECT_EQ(ProposeDriveLetter(record, 'X'), 'X');
  TakeLetter('X');
  TakeLetter('W');  // a dangling link still holds its letter
  EXPECT_EQ(ProposeDriveLetter(record, 'X'), 'V');
  EXPECT_EQ(record.drive[0], 'V');
  EXPECT_EQ(record.drive[1], '\0');

  HKEY remembered = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Network\\V", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &remembered, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(remembered);
  EXPECT_EQ(ProposeDriveLetter(record, 'X'), 'U');

  for (char letter = 'D'; letter <= 'U'; ++letter) TakeLetter(letter);
  EXPECT_EQ(ProposeDriveLetter(record, 'X'), 'C');
  EXPECT_EQ(ProposeDriveLetter(record, 'Z'), 'Z');
}

TEST_F(SiteManagerTest, DrivesFolderComesFromTheRegistryWhenSet) {
  EXPECT_EQ(DrivesFolder(), DrivesDir());
  std::string other = scratch_ / "drives";
  fs::create_directories(other);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  SetNarrowValue(key, u"DrivesFolder", other);
  RegCloseKey(key);
  EXPECT_EQ(DriveLinkPath('Q'), other + "/Q");
  ASSERT_EQ(symlink("/", (other + "/Q").c_str()), 0);
  EXPECT_TRUE(DriveLetterInUse('Q'));
}

TEST_F(SiteManagerTest, NewSiteIsMadeOnceWithItsDefaults) {
  TakeLetter('X');
  ASSERT_EQ(manager_->NewSite(), SiteResult::kDone);
  ASSERT_EQ(store_->Count(), 1);
  const SiteRecord& r = store_->Record(0);
  EXPECT_EQ(store_->Name(0), u"New site");
  EXPECT_EQ(r.drive[0], 'W');
  EXPECT_EQ(r.retryCount, 1u);
  EXPECT_EQ(r.passive, 1);
  EXPECT_TRUE(KeyExists(u"New site"));

  Add(u"other");
  store_->selected = 1;
  EXPECT_EQ(manager_->NewSite(), SiteResult::kUnchanged);
  EXPECT_EQ(store_->Count(), 2);
  EXPECT_EQ(store_->selected, 0);
}

TEST_F(SiteManagerTest, AddRefusesBadNamesUrlsAndTakenLetters) {
  Add(u"one", 'K');
  SiteRecord fields{};
  ApplyNewSiteDefaults(fields);
  CopyWide(fields.url, kSiteUrlChars, u"http://h/");
  EXPECT_EQ(manager_->AddSite(u"ONE", fields), SiteResult::kNameExists);
  EXPECT_EQ(manager_->AddSite(u"a\\b", fields), SiteResult::kNameHasSlash);
  EXPECT_EQ(manager_->AddSite(std::u16string(63, u'n'), fields), SiteResult::kNameTooLong);
  EXPECT_EQ(manager_->AddSite(std::u16string(62, u'n'), fields), SiteResult::kDone);
  TakeLetter('P');
  fields.drive[0] = 'p';
  EXPECT_EQ(manager_->AddSite(u"three", fields), SiteResult::kDriveLetterTaken);
  fields.drive[0] = '\0';
  CopyWide(fields.url, kSiteUrlChars, u"gopher://h/");
  EXPECT_EQ(manager_->AddSite(u"four", fields), SiteResult::kBadUrl);
  EXPECT_EQ(store_->Count(), 2);
}

TEST_F(SiteManagerTest, RenameMovesKeyCacheAndOptions) {
  int index = Add(u"docs");
  ASSERT_EQ(manager_->SetOption(index, u"PropfindGet", 1), SiteResult::kDone);
  ASSERT_EQ(manager_->SetOption(index, u"SynByCon", 0x8000), SiteResult::kDone);
  fs::create_directories(cacheRoot_ + "/docs/sub");
  test::WriteWholeFile(cacheRoot_ + "/docs/sub/a.txt", "local copy");
  test::WriteWholeFile(cacheRoot_ + "/docs.sys", "journal");
  test::WriteWholeFile(cacheRoot_ + "/docs.pending", "changes");

  ASSERT_EQ(manager_->RenameSite(index, u"Papers"), SiteResult::kDone);
  EXPECT_EQ(store_->Name(index), u"Papers");
  EXPECT_FALSE(KeyExists(u"docs"));
  EXPECT_TRUE(KeyExists(u"Papers"));
  EXPECT_EQ(StoredDword(u"Papers", u"PropfindGet"), 1u);
  EXPECT_EQ(StoredDword(u"Papers", u"SynByCon"), 0x8000u);
  EXPECT_EQ(test::ReadWholeFile(cacheRoot_ + "/Papers/sub/a.txt"), "local copy");
  EXPECT_EQ(test::ReadWholeFile(cacheRoot_ + "/Papers.sys"), "journal");
  EXPECT_EQ(test::ReadWholeFile(cacheRoot_ + "/Papers.pending"), "changes");
  EXPECT_FALSE(fs::exists(cacheRoot_ + "/docs"));

  SiteStore again(block_->sites);
  ASSERT_EQ(again.ReadSites(), 1);
  EXPECT_STREQ(again.Record(0).password, "pw");
  EXPECT_EQ(WideField(again.Record(0).url, kSiteUrlChars), u"http://127.0.0.1/docs");
}

TEST_F(SiteManagerTest, RenameRefusals) {
  int docs = Add(u"docs");
  Add(u"music");
  EXPECT_EQ(manager_->RenameSite(docs, u"a/b"), SiteResult::kNameHasSlash);
  ASSERT_EQ(ui_.texts.size(), 1u);
  EXPECT_EQ(ui_.texts[0], u"The name cannot contain the symbols '\\' or '/'");

  EXPECT_EQ(manager_->RenameSite(docs, u"MUSIC"), SiteResult::kNameExists);
  EXPECT_EQ(ui_.texts.size(), 1u);  // refused without a word

  // A cache that cannot move keeps everything as it was.
  fs::create_directories(cacheRoot_ + "/docs");
  fs::create_directories(cacheRoot_ + "/blocked/x");
  EXPECT_EQ(manager_->RenameSite(docs, u"blocked"), SiteResult::kCacheNotMovable);
  EXPECT_EQ(ui_.texts.back(), u"Cannot rename, offline cannot be renamed");
  EXPECT_EQ(store_->Name(docs), u"docs");
  EXPECT_TRUE(KeyExists(u"docs"));
  EXPECT_TRUE(fs::exists(cacheRoot_ + "/docs"));

  store_->Record(docs).mappedDrive = 'X';
  EXPECT_EQ(manager_->RenameSite(docs, u"elsewhere"), SiteResult::kSiteConnected);
  EXPECT_EQ(store_->Name(docs), u"docs");

  // Only the case changes: the key must survive.
  store_->Record(docs).mappedDrive = '\0';
  EXPECT_EQ(manager_->RenameSite(docs, u"Docs"), SiteResult::kDone);
  EXPECT_TRUE(KeyExists(u"Docs"));
  EXPECT_EQ(StoredDword(u"Docs", u"Retry"), 1u);
}

TEST_F(SiteManagerTest, CloneCopiesTheSiteUnderANewNameOrRefuses) {
  int source = Add(u"docs", 'K');
  store_->Record(source).retryCount = 4;
  store_->Record(source).autoConnect = 1;
  ASSERT_EQ(manager_->CloneSite(source), SiteResult::kDone);
  int clone = store_->Find(u"Copy of docs");
  ASSERT_GE(clone, 0);
  const SiteRecord& r = store_->Record(clone);
  EXPECT_EQ(WideField(r.url, kSiteUrlChars), u"http://127.0.0.1/docs");
  EXPECT_STREQ(r.login, "user");
  EXPECT_STREQ(r.password, "pw");
  EXPECT_EQ(r.drive[0], 'K');
  EXPECT_EQ(r.retryCount, 4u);
  EXPECT_EQ(r.autoConnect, 1);
  EXPECT_EQ(StoredDword(u"Copy of docs", u"Retry"), 4u);

  EXPECT_EQ(manager_->CloneSite(source), SiteResult::kNameExists);
  EXPECT_EQ(ui_.texts.back(), u"Copy of a site already exists, please, correct the situation");

  int longName = Add(std::u16string(55, u'L'));
  EXPECT_EQ(manager_->CloneSite(longName), SiteResult::kNameTooLong);
  EXPECT_EQ(ui_.texts.back(), u"The size of a connection name has been exceeded");

  for (int i = store_->Count(); i < static_cast<int>(kSiteCount); ++i) {
    CopyWide(store_->Record(i).name, kSiteNameChars, u"fill" + Utf8ToUtf16(std::to_string(i)));
  }
  EXPECT_EQ(manager_->CloneSite(source), SiteResult::kTableFull);
}

TEST_F(SiteManagerTest, DeleteKeepsTheTableDenseAndRefusesWhenItMust) {
  int only = Add(u"only");
  EXPECT_EQ(manager_->DeleteSite(only), SiteResult::kLastSite);
  EXPECT_EQ(ui_.texts.back(), u"You cannot delete the last entry");
  EXPECT_EQ(store_->Count(), 1);
  EXPECT_TRUE(KeyExists(u"only"));

  Add(u"second");
  Add(u"third");
  store_->Record(2).mappedDrive = 'Y';
  EXPECT_EQ(manager_->DeleteSite(0), SiteResult::kSiteConnected);
  EXPECT_EQ(ui_.texts.back(), u"Please, disconnect all connections");
  EXPECT_EQ(store_->Count(), 3);

  store_->Record(2).mappedDrive = '\0';
  ASSERT_EQ(manager_->DeleteSite(0), SiteResult::kDone);
  EXPECT_EQ(store_->Count(), 2);
  EXPECT_EQ(store_->Name(0), u"second");
  EXPECT_EQ(store_->Name(1), u"third");
  EXPECT_EQ(store_->Record(2).name[0], u'\0');
  EXPECT_FALSE(KeyExists(u"only"));
  EXPECT_EQ(store_->selected, 0);
}

TEST_F(SiteManagerTest, FieldEditsHoldTheirLimitsAndThePasswordChoice) {
  int index = Add(u"docs");
  EXPECT_EQ(manager_->SetUrl(index, u"http://h/" + std::u16string(251, u'p')),
            SiteResult::kTooLong);
  EXPECT_EQ(manager_->SetUrl(index, u"http://h/" + std::u16string(250, u'p')), SiteResult::kDone);
  EXPECT_EQ(manager_->SetLogin(index, std::string(60, 'l')), SiteResult::kTooLong);
  EXPECT_EQ(manager_->SetPassword(index, std::string(60, 'p')), SiteResult::kTooLong);
  EXPECT_EQ(manager_->SetDrive(index, '1'), SiteResult::kBadDriveLetter);
  EXPECT_EQ(manager_->SetOption(index, u"NoSuchValue", 1), SiteResult::kUnknownOption);

  ASSERT_EQ(manager_->SetDontSavePassword(index, true), SiteResult::kDone);
  ASSERT_EQ(manager_->SetPassword(index, "typed-each-time"), SiteResult::kDone);
  EXPECT_EQ(test::ReadWholeFile(scratch_ / "user.reg").find("\"Settings\""), std::string::npos);
  ASSERT_EQ(manager_->SetDontSavePassword(index, false), SiteResult::kDone);
  ASSERT_EQ(manager_->SetDrive(index, 'g'), SiteResult::kDone);

  SiteStore again(block_->sites);
  ASSERT_EQ(again.ReadSites(), 1);
  EXPECT_STREQ(again.Record(0).password, "typed-each-time");
  EXPECT_EQ(again.Record(0).drive[0], 'G');
  EXPECT_EQ(WideField(again.Record(0).url, kSiteUrlChars).size(), 259u);
}

}  // namespace
}  // namespace hvm
