// The notice of an upload nobody waits for: what the service reports from
// the entry's failure record, the text in each language, and the hook that
// hands it to the front end.
#include "agent/app/upload_notice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "agent/app/language.h"
#include "agent/app/string_table.h"
#include "agent/app/tests/app_test_driver.h"
#include "agent/service/operations.h"
#include "lang/language_library.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::unique_ptr<LanguageModule> Library(DWORD language, const char* code) {
  const char* build = std::getenv("HVM_BINARY_DIR");
  std::string path = std::string(build != nullptr ? build : ".") + "/lib/libmoorlang" + code + ".so";
  return LanguageModule::LoadFile(language, path);
}

// The conversions of a format in order ("%ws%ws"), so that a translation
// can never read an argument the notice does not pass.
std::string Conversions(std::u16string_view format) {
  std::string out;
  for (size_t i = 0; i + 1 < format.size(); ++i) {
    if (format[i] != u'%') continue;
    if (format[i + 1] == u'%') {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < format.size() && !(format[end] >= u'a' && format[end] <= u'z' && format[end] != u'l' &&
                                     format[end] != u'w'))
      ++end;
    out += Utf16ToUtf8(format.substr(i, end + 1 - i));
    i = end;
  }
  return out;
}

constexpr uint32_t kNoticeIds[] = {IDS_NOTICE_UPLOADED_TITLE, IDS_NOTICE_FAILED_TITLE, IDS_NOTICE_UPLOADED,
                                   IDS_NOTICE_FAILED,         IDS_NOTICE_BACKUP,       IDS_NOTICE_NO_BACKUP};

TEST(UploadNoticeText, NamesTheFileAndForAFailureTheErrorAndTheBackup) {
  UploadNotice done{u"M:\\docs\\plan 100%.txt", false, {}, {}};
  NoticeText text = UploadNoticeText(done, nullptr);
  EXPECT_EQ(text.title, u"Upload finished");
  EXPECT_EQ(text.text, u"M:\\docs\\plan 100%.txt has been saved on the server.");

  UploadNotice failed{u"M:\\a.txt", true, u"Cannot connect to the server", "/home/u/.local/share/b/a.txt.1"};
  text = UploadNoticeText(failed, nullptr);
  EXPECT_EQ(text.title, u"Upload failed");
  EXPECT_EQ(text.text,
            u"M:\\a.txt could not be saved on the server: Cannot connect to the server\n"
            u"The written contents are kept in /home/u/.local/share/b/a.txt.1");

  failed.backupPath.clear();
  EXPECT_EQ(UploadNoticeText(failed, nullptr).text,
            u"M:\\a.txt could not be saved on the server: Cannot connect to the server\n"
            u"The written contents could not be kept.");
}

TEST(UploadNoticeText, EveryLanguageTranslatesItWithTheSameArguments) {
  const std::pair<DWORD, const char*> languages[] = {
      {LANG_GERMAN, "de"}, {LANG_FRENCH, "fr"}, {LANG_ITALIAN, "it"}, {LANG_DUTCH, "nl"}, {LANG_HUNGARIAN, "hu"}};
  for (const auto& [language, code] : languages) {
    std::unique_ptr<LanguageModule> module = Library(language, code);
    ASSERT_TRUE(module && module->IsLoaded()) << code;
    auto lookup = reinterpret_cast<MoorLangStringFunction>(module->FindExport(kMoorLangStringExport));
    ASSERT_NE(lookup, nullptr) << code;
    for (uint32_t id : kNoticeIds) {
      const char16_t* translated = lookup(id);
      ASSERT_NE(translated, nullptr) << code << " lacks string " << id;
      EXPECT_NE(std::u16string_view(translated), std::u16string_view(EnglishString(id))) << code << " " << id;
      EXPECT_EQ(Conversions(translated), Conversions(EnglishString(id))) << code << " " << id;
    }
  }
  std::unique_ptr<LanguageModule> german = Library(LANG_GERMAN, "de");
  UploadNotice failed{u"M:\\a.txt", true, u"Zeitüberschreitung", "/b/a.txt.1"};
  NoticeText text = UploadNoticeText(failed, german.get());
  EXPECT_EQ(text.title, u"Hochladen fehlgeschlagen");
  EXPECT_EQ(text.text, u"M:\\a.txt konnte nicht auf dem Server gespeichert werden: Zeitüberschreitung\n"
                       u"Der geschriebene Inhalt liegt in /b/a.txt.1");
}

// The service's report of an upload's end: the drive path of the file, the
// error text and backup the client recorded, a failure without a record
// still named, and the front end reached through the hook.
TEST(UploadNoticeReport, TheServiceReportsTheEntrysFailureThroughTheHook) {
  test::RecordingUi ui;
  SetCurrentUi(&ui);
  SiteRecord site{};
  CopyWide(site.name, kSiteNameChars, u"site1");
  site.drive[0] = 'M';
  Connection c;
  c.site = &site;
  c.hooks.uploadEnded = ShowUploadNotice;
  FileEntry* entry = c.entries.NewEntry(u"\\QUENLODE\\site1\\docs\\a.txt");
  ASSERT_NE(entry, nullptr);

  ReportUploadEnd(c, *entry, STATUS_SUCCESS);
  entry->uploadFailure = std::make_unique<UploadFailure>(UploadFailure{u"Service Unavailable", "/kept/a.txt.2"});
  ReportUploadEnd(c, *entry, STATUS_UNEXPECTED_NETWORK_ERROR);
  entry->uploadFailure.reset();
  ReportUploadEnd(c, *entry, STATUS_UNEXPECTED_NETWORK_ERROR);
  SetCurrentUi(nullptr);

  ASSERT_EQ(ui.notices.size(), 3u);
  EXPECT_FALSE(ui.notices[0].failure);
  EXPECT_EQ(ui.notices[0].text, u"M:\\docs\\a.txt has been saved on the server.");
  EXPECT_TRUE(ui.notices[1].failure);
  EXPECT_EQ(ui.notices[1].text, u"M:\\docs\\a.txt could not be saved on the server: Service Unavailable\n"
                                u"The written contents are kept in /kept/a.txt.2");
  EXPECT_TRUE(ui.notices[2].failure);
  EXPECT_NE(ui.notices[2].text.find(u"M:\\docs\\a.txt could not be saved"), std::u16string::npos);
  EXPECT_NE(ui.notices[2].text.find(u"could not be kept"), std::u16string::npos);
}

}  // namespace
}  // namespace hvm
