#include <gtest/gtest.h>

#include "agent/clients/webdav_dates.h"

namespace hvm {
namespace {

TEST(WebDavDates, IsoFormParsesAndIgnoresFractionAndZone) {
  std::tm t{};
  ASSERT_EQ(ParseIsoDate("2021-03-04T05:06:07.123+02:00", t), 0);
  EXPECT_EQ(t.tm_year, 121);
  EXPECT_EQ(t.tm_mon, 2);
  EXPECT_EQ(t.tm_mday, 4);
  EXPECT_EQ(t.tm_hour, 5);
  EXPECT_EQ(t.tm_sec, 7);
  EXPECT_EQ(ParseIsoDate("2021-03-04T05:06:07.1234567890123Z", t), 1);  // 30 characters
  EXPECT_EQ(ParseIsoDate("2021/03/04T05:06:07Z", t), 2);
  EXPECT_EQ(ParseIsoDate("2021-13-04T05:06:07Z", t), 2);
  EXPECT_EQ(ParseIsoDate("2021-03-04T05:0x:07Z", t), 2);
  EXPECT_EQ(ParseIsoDate("", t), 2);
}

TEST(WebDavDates, HttpFormNeedsExactSeparatorsAndEnglishMonth) {
  std::tm t{};
  ASSERT_EQ(ParseHttpDate("Thu, 04 Mar 2021 05:06:07 GMT", t), 0);
  EXPECT_EQ(t.tm_mon, 2);
  EXPECT_EQ(t.tm_year, 121);
  EXPECT_EQ(ParseHttpDate("Thu, 04 Mrz 2021 05:06:07 GMT", t), 2);
  EXPECT_EQ(ParseHttpDate("Thu,  4 Mar 2021 05:06:07 GMT", t), 2);
  EXPECT_EQ(ParseHttpDate("2021-03-04T05:06:07Z", t), 2);  // an ISO date is no HTTP date
  EXPECT_EQ(ParseHttpDate("Thursday, 04 Mar 2021 05:06:07 GMT", t), 1);
}

TEST(WebDavDates, FileTimeRoundTripAndWrittenForms) {
  std::tm t{};
  ASSERT_EQ(ParseHttpDate("Thu, 04 Mar 2021 05:06:07 GMT", t), 0);
  FileTime ft = FileTimeFromUtc(t);
  EXPECT_EQ(ft, 132593079670000000ull);
  std::tm back = UtcFromFileTime(ft);
  EXPECT_EQ(FormatHttpDate(back), "Thu, 04 Mar 2021 05:06:07 GMT");
  EXPECT_EQ(FormatIsoDate(back), "2021-03-04T05:06:07");
}

}  // namespace
}  // namespace hvm
