#include "agent/clients/server_text.h"

#include <gtest/gtest.h>

namespace hvm {
namespace {

TEST(ServerText, IsCutWholeAndLosesItsControlCharacters) {
  EXPECT_EQ(ServerTextForUser("550 \x1b]0;owned\x07\x1b[2J gone\x7f"), "550  ]0;owned  [2J gone ");
  std::string umlauts = "550 " + std::string(124, 'x');
  for (int i = 0; i < 100; ++i) umlauts += "\xc3\xa4";
  std::string shown = ServerTextForUser(umlauts);
  EXPECT_EQ(shown.size(), 254u);  // 128 bytes, then 63 whole two-byte characters
  EXPECT_EQ(shown.substr(shown.size() - 2), "\xc3\xa4");
  EXPECT_EQ(ServerTextForUser(std::string(300, 'a')).size(), 255u);
  EXPECT_EQ(ServerTextForUser(std::string(300, 'a'), 20).size(), 20u);
  // A text of nothing but continuation bytes is cut to nothing, not past its end.
  EXPECT_EQ(ServerTextForUser(std::string(300, '\x80')), "");
}

}  // namespace
}  // namespace hvm
