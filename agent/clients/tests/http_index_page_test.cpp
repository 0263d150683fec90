// The index page reader against pages captured from the real servers
// (Apache mod_autoindex, nginx autoindex, lighttpd dirlisting, Python's
// http.server, all serving the same folder), IIS pages in both languages,
// and hostile pages.
#include "agent/clients/http_index_page.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "agent/clients/webdav_dates.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::string Sample(const std::string& name) {
  std::ifstream in(std::string(HVM_INDEX_PAGES_DIR) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

FileTime Utc(int year, int month, int day, int hour, int minute, int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return FileTimeFromUtc(t);
}

class IndexPage : public ::testing::Test {
 protected:
  // Server local time is UTC here, so that local and UTC page dates agree.
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    savedTz_ = tz ? tz : "";
    hadTz_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_) setenv("TZ", savedTz_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

  std::map<std::u16string, IndexItem> Parse(const std::string& page, const std::string& charset = "utf-8",
                                            bool utc = false) {
    IndexPageScope scope{"http://127.0.0.1:8080", "/pub/", utc};
    IndexPageResult result = ParseIndexPage(page, charset, scope, language_);
    EXPECT_EQ(result.error, 0);
    skipped_ = result.skipped;
    std::map<std::u16string, IndexItem> items;
    for (IndexItem& item : result.items) {
      EXPECT_EQ(items.count(item.name), 0u) << Utf16ToUtf8(item.name);
      items[item.name] = item;
    }
    return items;
  }

  static std::vector<std::u16string> Names(const std::map<std::u16string, IndexItem>& items) {
    std::vector<std::u16string> names;
    for (const auto& [name, item] : items) names.push_back(name);
    return names;
  }

  IndexLanguage language_ = IndexLanguage::Unknown;
  size_t skipped_ = 0;

 private:
  std::string savedTz_;
  bool hadTz_ = false;
};

// The folder every captured page shows.
const std::vector<std::u16string> kServedNames = {
    u"#hash?.txt", u"100%.txt", u"Grüße ä.txt", u"a b.txt", u"a&b<c>'q\".txt", u"big.bin", u"empty",
    u"nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn-very-long-name-that-nginx-truncates.txt",
    u"sub dir", u"zero.txt"};

TEST_F(IndexPage, ApacheTableGivesExactSmallSizesAndTimesButNoRoundedSizes) {
  auto items = Parse(Sample("apache.html"));
  EXPECT_EQ(Names(items), kServedNames);
  EXPECT_TRUE(items[u"empty"].isDirectory);
  EXPECT_TRUE(items[u"sub dir"].isDirectory);
  EXPECT_FALSE(items[u"sub dir"].line.hasSize);
  const IndexLine& small = items[u"100%.txt"].line;
  EXPECT_TRUE(small.hasSize);
  EXPECT_EQ(small.size, 2u);
  EXPECT_TRUE(small.hasTime);
  EXPECT_EQ(small.time, Utc(2026, 1, 5, 15, 17));
  EXPECT_TRUE(items[u"zero.txt"].line.hasSize);
  EXPECT_EQ(items[u"zero.txt"].line.size, 0u);
  // "1.0K" and "1.9M" are rounded: the size must come from the server.
  EXPECT_FALSE(items[u"a b.txt"].line.hasSize);
  EXPECT_TRUE(items[u"a b.txt"].line.hasTime);
  EXPECT_FALSE(items[u"big.bin"].line.hasSize);
  EXPECT_FALSE(items[u"big.bin"].isDirectory);
  // Parent link and the four sort links.
  EXPECT_EQ(skipped_, 5u);
}

TEST_F(IndexPage, NginxPreGivesExactSizesInUtcAndNamesFromHrefsNotTruncatedTexts) {
  auto items = Parse(Sample("nginx.html"), "utf-8", true);
  EXPECT_EQ(Names(items), kServedNames);
  EXPECT_EQ(items[u"a b.txt"].line.size, 1000u);
  EXPECT_TRUE(items[u"a b.txt"].line.hasSize);
  EXPECT_EQ(items[u"big.bin"].line.size, 2000000u);
  EXPECT_EQ(items[u"big.bin"].line.time, Utc(2026, 1, 5, 15, 17));
  EXPECT_TRUE(items[u"empty"].isDirectory);
  EXPECT_FALSE(items[u"empty"].line.hasSize);
  EXPECT_EQ(items[u"zero.txt"].line.size, 0u);
  EXPECT_TRUE(items[u"zero.txt"].line.hasSize);
  EXPECT_EQ(skipped_, 1u);  // "../"
}

TEST_F(IndexPage, LighttpdTableGivesTimesWithSecondsAndDirectoriesButOnlyRoundedSizes) {
  auto items = Parse(Sample("lighttpd.html"));
  EXPECT_EQ(Names(items), kServedNames);
  EXPECT_EQ(items[u"a b.txt"].line.time, Utc(2026, 1, 5, 15, 17, 9));
  for (const auto& [name, item] : items) EXPECT_FALSE(item.line.hasSize) << Utf16ToUtf8(name);
  EXPECT_TRUE(items[u"sub dir"].isDirectory);
  EXPECT_TRUE(items[u"sub dir"].line.isDirectory);  // the "Directory" type column
  EXPECT_FALSE(items[u"zero.txt"].isDirectory);
}

TEST_F(IndexPage, PythonListGivesNamesOnly) {
  auto items = Parse(Sample("python.html"));
  EXPECT_EQ(Names(items), kServedNames);
  for (const auto& [name, item] : items) {
    EXPECT_FALSE(item.line.hasSize) << Utf16ToUtf8(name);
    EXPECT_FALSE(item.line.hasTime) << Utf16ToUtf8(name);
  }
  EXPECT_TRUE(items[u"sub dir"].isDirectory);
}

TEST_F(IndexPage, IisEnglishTurnsTheTwelveHourClockIntoTwentyFourHours) {
  auto items = Parse(Sample("iis_english.html"), "");
  EXPECT_EQ(language_, IndexLanguage::English);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_TRUE(items[u"sub dir"].isDirectory);
  EXPECT_EQ(items[u"sub dir"].line.time, Utc(2026, 1, 5, 15, 17));   // 3:17 PM
  EXPECT_EQ(items[u"a b.txt"].line.time, Utc(2026, 12, 31, 12, 5));  // 12:05 PM stays
  EXPECT_EQ(items[u"a b.txt"].line.size, 1000u);
  EXPECT_EQ(items[u"big.bin"].line.time, Utc(2026, 3, 6, 0, 30));    // 12:30 AM is after midnight
  EXPECT_EQ(items[u"big.bin"].line.size, 5000000000u);               // above 4 GiB
  EXPECT_EQ(items[u"Grüße ä.txt"].line.time, Utc(2026, 2, 1, 9, 7));
  EXPECT_EQ(skipped_, 1u);  // "[To Parent Directory]"
}

TEST_F(IndexPage, IisGermanIsRecognisedByMontagAndReadAsLatin1) {
  auto items = Parse(Sample("iis_german.html"), "");
  EXPECT_EQ(language_, IndexLanguage::German);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_TRUE(items[u"Ordner"].isDirectory);
  EXPECT_EQ(items[u"Ordner"].line.time, Utc(2026, 1, 5, 15, 17));
  const IndexItem& report = items[u"Bericht März.txt"];
  EXPECT_EQ(report.line.size, 1234u);
  EXPECT_EQ(report.line.time, Utc(2026, 3, 4, 8, 9));
}

TEST_F(IndexPage, ParseIndexLineNeedsItsSeparators) {
  IndexLanguage language = IndexLanguage::Unknown;
  IndexLine line;
  EXPECT_EQ(ParseIndexLine("Monday January 05 2026 3:17 PM 12", language, line), -1);
  EXPECT_EQ(language, IndexLanguage::Unknown);
  EXPECT_EQ(ParseIndexLine("Monday, Janvier 05, 2026  3:17 PM 12", language, line), -1);
  EXPECT_EQ(ParseIndexLine("Monday, January 32, 2026  3:17 PM 12", language, line), -1);
  EXPECT_EQ(ParseIndexLine("Monday, January 05, 2026  3:71 PM 12", language, line), -1);
  EXPECT_EQ(ParseIndexLine("Tuesday, June 9, 2026  11:00 AM  <dir>", language, line), 0);
  EXPECT_TRUE(line.isDirectory);
  EXPECT_EQ(line.time, Utc(2026, 6, 9, 11, 0));
  // The language, once decided, stays: a German line is no longer understood.
  EXPECT_EQ(ParseIndexLine("Montag, 5. Januar 2026 15:17 12", language, line), -1);
}

TEST_F(IndexPage, HostileLinksNeverNameAnythingOutsideTheFolder) {
  auto items = Parse(Sample("hostile.html"));
  std::vector<std::u16string> expected = {u"broken.txt", u"dot-slash.txt", u"huge.txt", u"notadir.txt",
                                          u"ok.txt", u"same host.txt", u"three.txt", u"two.txt"};
  EXPECT_EQ(Names(items), expected);
  EXPECT_EQ(items[u"same host.txt"].line.size, 77u);
  EXPECT_EQ(items[u"dot-slash.txt"].line.size, 5u);
  EXPECT_EQ(items[u"ok.txt"].line.size, 12u);  // "OK.TXT" after it is the same name on the drive
  // Two files on one line: nothing beside them can be told apart.
  EXPECT_FALSE(items[u"two.txt"].line.hasSize);
  EXPECT_FALSE(items[u"three.txt"].line.hasSize);
  EXPECT_FALSE(items[u"huge.txt"].line.hasSize);   // more digits than any size
  // A description that happens to say "Directory" makes no folder.
  EXPECT_FALSE(items[u"notadir.txt"].isDirectory);
  EXPECT_EQ(items[u"notadir.txt"].line.size, 3u);
  EXPECT_FALSE(items[u"broken.txt"].line.hasTime);  // February 30th, 25 o'clock
}

TEST_F(IndexPage, NameFromHrefDecodesAndRefuses) {
  IndexPageScope scope{"http://127.0.0.1:8080", "/pub/", false};
  std::u16string name;
  bool directory = false;
  ASSERT_TRUE(NameFromHref("a%20b.txt", scope, name, directory));
  EXPECT_EQ(name, u"a b.txt");
  EXPECT_FALSE(directory);
  ASSERT_TRUE(NameFromHref("/pub/sub%20dir/", scope, name, directory));
  EXPECT_EQ(name, u"sub dir");
  EXPECT_TRUE(directory);
  ASSERT_TRUE(NameFromHref("100%.txt", scope, name, directory));  // a stray "%" stays
  EXPECT_EQ(name, u"100%.txt");
  for (const char* bad : {"", "/", "/pub/", "/pub/a/b.txt", "/pubx/a.txt", "../pub/a.txt", "a/b.txt", "%2e",
                          "a%00b", "ftp://127.0.0.1:8080/pub/a.txt", "http://127.0.0.1:80800/pub/a.txt",
                          "https://127.0.0.1:8080/pub/a.txt", "a\tb", "a.txt?x=1", "caf%E9.txt", "%FF"})
    EXPECT_FALSE(NameFromHref(bad, scope, name, directory)) << bad;
}

TEST_F(IndexPage, OversizedEmptyAndGarbagePagesAreHandled) {
  IndexPageScope scope{"http://127.0.0.1:8080", "/pub/", false};
  std::string huge(kMaxIndexPageBytes + 1, ' ');
  EXPECT_EQ(ParseIndexPage(huge, "", scope, language_).error, -1);
  EXPECT_TRUE(ParseIndexPage("", "", scope, language_).items.empty());
  std::string garbage;
  for (int i = 0; i < 100000; ++i) garbage += static_cast<char>((i * 7919) % 256);
  IndexPageResult result = ParseIndexPage(garbage, "", scope, language_);
  EXPECT_TRUE(result.items.empty());
  // Deep nesting and an unknown charset still give the link.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<div><span>";
  deep += "<a href=\"deep.txt\">deep</a>";
  result = ParseIndexPage(deep, "x-no-such-charset", scope, language_);
  EXPECT_EQ(result.error, 0);
  // Many links: each is judged, none is lost.
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "<li><a href=\"f" + std::to_string(i) + "\">x</a></li>";
  result = ParseIndexPage(many, "utf-8", scope, language_);
  EXPECT_EQ(result.items.size(), 20000u);
  // Short links fit the byte limit by the million: past kMaxIndexPageItems
  // children the page fails whole instead of filling the cache.
  std::string most;
  for (size_t i = 0; i < kMaxIndexPageItems; ++i) most += "<li><a href=\"f" + std::to_string(i) + "\">x</a></li>";
  result = ParseIndexPage(most, "utf-8", scope, language_);
  EXPECT_EQ(result.error, 0);
  EXPECT_EQ(result.items.size(), kMaxIndexPageItems);
  result = ParseIndexPage(most + "<li><a href=\"one-more\">x</a></li>", "utf-8", scope, language_);
  EXPECT_EQ(result.error, -2);
  EXPECT_TRUE(result.items.empty());
}

// libxml2 writes a decoder's faults to stderr whatever the parse options say;
// a page must not be able to write into the agent's log.
TEST_F(IndexPage, BytesTheDecoderCannotConvertWriteNothingToStderr) {
  IndexPageScope scope{"http://127.0.0.1:8080", "/pub/", false};
  std::string page = "<html><body><a href=\"a.txt\">a</a>" + std::string("\xff\xfe\0abc", 6) +
                     "</body></html>";
  for (const char* charset : {"shift_jis", "utf-7", ""}) {
    testing::internal::CaptureStderr();
    IndexPageResult result = ParseIndexPage(page, charset, scope, language_);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << charset;
    EXPECT_EQ(result.error, 0) << charset;
  }
}

}  // namespace
}  // namespace hvm
