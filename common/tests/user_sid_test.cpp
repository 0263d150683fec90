#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/moorlib.h"

namespace hvm {
namespace {

std::string ExpectedSid() { return "S-1-22-1-" + std::to_string(getuid()); }

TEST(UserSid, FitsWithTerminator) {
  char buffer[64];
  memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(GetCurrentUserSidString(buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), ExpectedSid());
}

TEST(UserSid, ShortBufferGetsPrefixWithoutTerminatorAndTheNeededLength) {
  const std::string sid = ExpectedSid();
  char buffer[12];
  memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(GetCurrentUserSidString(buffer, 10), static_cast<int>(sid.size()));
  EXPECT_EQ(std::string(buffer, 10), sid.substr(0, 10));
  EXPECT_EQ(buffer[10], 'Z');  // nothing written past the given length
}

TEST(UserSid, ExactLengthLeavesNoRoomAndIsNotSuccess) {
  const std::string sid = ExpectedSid();
  std::string buffer(sid.size() + 1, 'Z');
  EXPECT_EQ(GetCurrentUserSidString(buffer.data(), static_cast<int>(sid.size())),
            static_cast<int>(sid.size()));
  EXPECT_EQ(buffer.substr(0, sid.size()), sid);
  EXPECT_EQ(buffer[sid.size()], 'Z');
}

TEST(UserSid, WideFormMatchesNarrowForm) {
  char16_t wide[60];
  EXPECT_EQ(GetCurrentUserSidString(wide, 60), 0);
  const std::string sid = ExpectedSid();
  ASSERT_EQ(std::char_traits<char16_t>::length(wide), sid.size());
  for (size_t i = 0; i < sid.size(); ++i) EXPECT_EQ(wide[i], static_cast<char16_t>(sid[i]));

  char16_t shortWide[12];
  std::fill(std::begin(shortWide), std::end(shortWide), u'Z');
  EXPECT_EQ(GetCurrentUserSidString(shortWide, 10), static_cast<int>(sid.size()));
  EXPECT_EQ(shortWide[9], static_cast<char16_t>(sid[9]));
  EXPECT_EQ(shortWide[10], u'Z');
}

}  // namespace
}  // namespace hvm
