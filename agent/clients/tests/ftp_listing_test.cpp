#include "agent/clients/ftp_listing.h"

#include <gtest/gtest.h>

#include <ctime>

namespace hvm {
namespace {

// 2024-06-15 12:00:00 UTC.
constexpr int64_t kNow = 1718452800;

FileTime Utc(int year, int month, int day, int hour, int minute, int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<FileTime>(timegm(&t)) * kFileTimeTicksPerSecond + kFileTimeUnixEpoch;
}

FtpListedItem Mlsd(const char* line) {
  FtpListedItem item;
  EXPECT_TRUE(ParseMlsdLine(line, item)) << line;
  return item;
}

FtpListedItem List(const char* line) {
  FtpListedItem item;
  EXPECT_TRUE(ParseListLine(line, kNow, item)) << line;
  return item;
}

TEST(FtpMlsd, FilesFoldersSizesAndTimes) {
  FtpListedItem file = Mlsd("type=file;size=5368709120;modify=20210304050607;perm=adfrw; big file.bin\r");
  EXPECT_EQ(file.name, "big file.bin");
  EXPECT_FALSE(file.isDirectory);
  EXPECT_EQ(file.size, 5368709120ull);
  EXPECT_EQ(file.modified, Utc(2021, 3, 4, 5, 6, 7));

  FtpListedItem folder = Mlsd("Type=dir;Sizd=4096;Modify=20200101000000.123; Ordner äöü");
  EXPECT_TRUE(folder.isDirectory);
  EXPECT_EQ(folder.size, 0u);
  EXPECT_EQ(folder.name, "Ordner äöü");
  EXPECT_EQ(folder.modified, Utc(2020, 1, 1, 0, 0, 0));
  // A name that begins with a blank keeps it: only one blank separates facts and name.
  EXPECT_EQ(Mlsd("type=file;size=1;  two blanks").name, " two blanks");
  EXPECT_TRUE(Mlsd("type=OS.unix=slink:/etc;size=4; link").isLink);
}

TEST(FtpMlsd, SkipsItselfParentsAndBrokenLines) {
  FtpListedItem item;
  EXPECT_FALSE(ParseMlsdLine("type=cdir;modify=20200101000000; /home/u", item));
  EXPECT_FALSE(ParseMlsdLine("type=pdir;modify=20200101000000; ..", item));
  EXPECT_FALSE(ParseMlsdLine("type=file;size=12", item));                    // no name
  EXPECT_FALSE(ParseMlsdLine("size=12; untyped", item));                     // no type
  EXPECT_FALSE(ParseMlsdLine("type=file;size=99999999999999999999999; x", item));  // overflow
  EXPECT_FALSE(ParseMlsdLine("type=file;size=-1; x", item));
  EXPECT_FALSE(ParseMlsdLine("type=file;size=1; a/b", item));
  EXPECT_FALSE(ParseMlsdLine("type=file;size=1; a\\b", item));
  EXPECT_FALSE(ParseMlsdLine("type=file;size=1; a\x01" "b", item));
  EXPECT_FALSE(ParseMlsdLine("type=dir; .", item));
  // A broken time leaves the time unknown, not the item.
  EXPECT_EQ(Mlsd("type=file;size=3;modify=2021139912; t").modified, 0u);
  EXPECT_EQ(Mlsd("type=file;size=3;modify=20211399120000; t").modified, 0u);
}

TEST(FtpList, UnixFormWithBothDateForms) {
  FtpListedItem recent = List("-rw-r--r--    1 1000     1000         1234 Mar 03 04:05 notes.txt");
  EXPECT_EQ(recent.name, "notes.txt");
  EXPECT_EQ(recent.size, 1234u);
  EXPECT_EQ(recent.modified, Utc(2024, 3, 3, 4, 5));
  // A date without year later than tomorrow belongs to last year.
  EXPECT_EQ(List("-rw-r--r-- 1 u g 1 Dec 24 18:00 x").modified, Utc(2023, 12, 24, 18, 0));
  EXPECT_EQ(List("-rw-r--r-- 1 u g 1 Jun 16 08:00 x").modified, Utc(2024, 6, 16, 8, 0));
  FtpListedItem old = List("-rw-r--r--   1 owner    group    6442450944 Nov  9  2019 big.iso");
  EXPECT_EQ(old.size, 6442450944ull);
  EXPECT_EQ(old.modified, Utc(2019, 11, 9, 0, 0));
  FtpListedItem folder = List("drwxr-xr-x    2 ftp      ftp          4096 Jan 01  2020 my folder");
  EXPECT_TRUE(folder.isDirectory);
  EXPECT_EQ(folder.size, 0u);
  EXPECT_EQ(folder.name, "my folder");
}

TEST(FtpList, UnixNamesKeepTheirBlanksAndLinksLoseTheTarget) {
  EXPECT_EQ(List("-rw-r--r-- 1 u g 5 Jan 01 2020  leading and  double").name, " leading and  double");
  EXPECT_EQ(List("-rw-r--r-- 1 u g 5 Jan 01 2020 Grüße aus Köln.txt").name, "Grüße aus Köln.txt");
  FtpListedItem link = List("lrwxrwxrwx 1 u g 11 Jan 01 2020 latest -> release-1.0");
  EXPECT_EQ(link.name, "latest");
  EXPECT_TRUE(link.isLink);
  // Without a group column, and with a month-like owner name.
  EXPECT_EQ(List("-rw-r--r-- 1 owner 77 Feb 2 2022 short").size, 77u);
  EXPECT_EQ(List("-rw-r--r-- 1 jan feb 77 Feb 2 2022 mon").name, "mon");
  // A name that itself looks like a date stays whole.
  EXPECT_EQ(List("-rw-r--r-- 1 u g 9 Feb 2 2022 Mar 03 2020 x").name, "Mar 03 2020 x");
}

TEST(FtpList, DosAndIisForms) {
  FtpListedItem folder = List("01-02-21  03:04PM       <DIR>          Old Stuff");
  EXPECT_TRUE(folder.isDirectory);
  EXPECT_EQ(folder.name, "Old Stuff");
  EXPECT_EQ(folder.modified, Utc(2021, 1, 2, 15, 4));
  FtpListedItem file = List("12-31-1999  12:15AM           5000000000 y2k.log");
  EXPECT_EQ(file.size, 5000000000ull);
  EXPECT_EQ(file.modified, Utc(1999, 12, 31, 0, 15));
  EXPECT_EQ(List("07-04-2023  23:59                   12 a b.txt").modified, Utc(2023, 7, 4, 23, 59));
  EXPECT_EQ(List("07-04-98  12:00PM                   12 noon").modified, Utc(1998, 7, 4, 12, 0));
}

TEST(FtpList, RefusesWhatItCannotRead) {
  FtpListedItem item;
  for (const char* line : {"total 12", "", "drwxr-xr-x 2 u g 4096 Jan 01 2020 .", "drwxr-xr-x 2 u g 4096 Jan 01 2020 ..",
                           "-rw-r--r-- 1 u g 12 Foo 01 2020 x", "-rw-r--r-- 1 u g 12 Jan 41 2020 x",
                           "-rw-r--r-- 1 u g 12 Jan 01 25:99 x", "-rw-r--r-- 1 u g 99999999999999999999999 Jan 01 2020 x",
                           "-rw-r--r-- 1 u g 12 Jan 01 2020", "-rw-r--r-- 1 u g 12 Jan 01 2020 a/b",
                           "crw-r--r-- 1 u g 12 Jan 01 2020 device", "13-45-21  03:04PM 12 x",
                           "01-02-21  13:04PM 12 x", "01-02-21  03:04PM <DIR>", "01-02-21  03:04PM abc x"})
    EXPECT_FALSE(ParseListLine(line, kNow, item)) << line;
}

TEST(FtpListing, WholeRepliesSkipBadLinesAndKeepTheRest) {
  std::string text =
      "total 8\r\n"
      "drwxr-xr-x 2 u g 4096 Jan 01 2020 sub\r\n"
      "garbage line\r\n"
      "-rw-r--r-- 1 u g 10 Jan 01 2020 a.txt\n"
      "-rw-r--r-- 1 u g 11 Jan 01 2020 no newline at end";
  auto items = ParseFtpListing(text, FtpListingForm::List, kNow);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].name, "sub");
  EXPECT_EQ(items[1].name, "a.txt");
  EXPECT_EQ(items[2].name, "no newline at end");
  auto mlsd = ParseFtpListing("type=cdir; .\r\ntype=file;size=1; f\r\n\r\n", FtpListingForm::Mlsd, kNow);
  ASSERT_EQ(mlsd.size(), 1u);
  EXPECT_EQ(mlsd[0].name, "f");
  // A hostile reply: very long name and embedded NUL bytes are dropped.
  std::string hostile = "type=file;size=1; " + std::string(5000, 'x') + "\r\ntype=file;size=1; a";
  hostile += '\0';
  hostile += "b\r\n";
  EXPECT_TRUE(ParseFtpListing(hostile, FtpListingForm::Mlsd, kNow).empty());
}

TEST(FtpListing, MoreNamesThanTheLimitFailTheWholeReply) {
  std::string text;
  for (size_t i = 0; i < kMaxFtpListedEntries; ++i) text += "type=dir; d" + std::to_string(i) + "\r\n";
  text += "type=cdir; .\r\nno listing line\r\n";  // lines naming nothing do not count
  std::vector<FtpListedItem> items;
  ASSERT_TRUE(ParseFtpListing(text, FtpListingForm::Mlsd, kNow, items));
  EXPECT_EQ(items.size(), kMaxFtpListedEntries);
  text += "type=file;size=1; one too many\r\n";
  EXPECT_FALSE(ParseFtpListing(text, FtpListingForm::Mlsd, kNow, items));
  EXPECT_TRUE(items.empty());
}

}  // namespace
}  // namespace hvm
