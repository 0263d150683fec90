// When each shell command is offered, from the server's allowed methods.
#include <gtest/gtest.h>

#include "shell/shell_commands.h"

namespace hvm {
namespace {

constexpr char16_t kApache[] = u"OPTIONS,GET,HEAD,POST,DELETE,TRACE,PROPFIND,PROPPATCH,COPY,MOVE,LOCK,UNLOCK";
constexpr char16_t kDeltaV[] =
    u"OPTIONS, GET, HEAD, PUT, DELETE, PROPFIND, COPY, MOVE, LOCK, UNLOCK, VERSION-CONTROL, CHECKOUT, "
    u"UNCHECKOUT, REPORT, SEARCH";

TEST(ShellCommands, ApacheWithoutVersionsOffersCopyAndLocks) {
  EXPECT_TRUE(CommandEnabled(ShellCommand::Copy, kApache));
  EXPECT_TRUE(CommandEnabled(ShellCommand::Lock, kApache));
  EXPECT_TRUE(CommandEnabled(ShellCommand::Unlock, kApache));
  for (ShellCommand c : {ShellCommand::Search, ShellCommand::Checkout, ShellCommand::Checkin,
                         ShellCommand::Uncheckout, ShellCommand::Report, ShellCommand::HideReport})
    EXPECT_FALSE(CommandEnabled(c, kApache)) << InfoOf(c).word;
  EXPECT_FALSE(CommandEnabled(ShellCommand::Copy, u""));
}

TEST(ShellCommands, LockInsideUnlockDoesNotOfferLock) {
  EXPECT_FALSE(CommandEnabled(ShellCommand::Lock, u"GET,UNLOCK"));
  EXPECT_TRUE(CommandEnabled(ShellCommand::Unlock, u"GET,UNLOCK"));
  EXPECT_TRUE(CommandEnabled(ShellCommand::Lock, u"GET, LOCK"));
  EXPECT_FALSE(CommandEnabled(ShellCommand::Lock, u"LOCK"));  // neither " LOCK" nor ",LOCK"
}

TEST(ShellCommands, CheckoutIsNotOfferedOnceCheckinIs) {
  EXPECT_TRUE(CommandEnabled(ShellCommand::Checkout, kDeltaV));
  EXPECT_TRUE(CommandEnabled(ShellCommand::Checkout, u"GET,CHECKOUT"));
  EXPECT_FALSE(CommandEnabled(ShellCommand::Checkout, u"GET,CHECKOUT,CHECKIN"));
  EXPECT_TRUE(CommandEnabled(ShellCommand::Checkin, u"GET,CHECKOUT,CHECKIN"));
  EXPECT_TRUE(CommandEnabled(ShellCommand::Report, kDeltaV));
  EXPECT_TRUE(CommandEnabled(ShellCommand::HideReport, kDeltaV));
  EXPECT_TRUE(CommandEnabled(ShellCommand::Search, kDeltaV));
}

TEST(ShellCommands, WordsAndCodesFollowTheMenu) {
  EXPECT_EQ(CommandOfWord("hide-report"), ShellCommand::HideReport);
  EXPECT_EQ(CommandOfWord("info"), std::nullopt);
  EXPECT_EQ(InfoOf(ShellCommand::Copy).code, 0x142008u);
  EXPECT_EQ(InfoOf(ShellCommand::Checkout).code, 0x142088u);
  EXPECT_STREQ(InfoOf(ShellCommand::HideReport).english, "Hide report ");
  for (int i = 0; i < kShellCommandCount; ++i)
    EXPECT_EQ(static_cast<int>(InfoOf(static_cast<ShellCommand>(i)).command), i);
}

TEST(ShellCommands, AMultistatusIsNotTakenForSuccess) {
  EXPECT_TRUE(ServerDidIt({true, 0, u""}));
  EXPECT_TRUE(ServerDidIt({true, 201, u""}));
  EXPECT_TRUE(ServerDidIt({true, 204, u""}));
  EXPECT_FALSE(ServerDidIt({true, 207, u""}));
  EXPECT_FALSE(ServerDidIt({true, 302, u""}));
  EXPECT_FALSE(ServerDidIt({true, 423, u""}));
  EXPECT_FALSE(ServerDidIt({false, 0, u"Error calling Halvenmoor(31)"}));
}

}  // namespace
}  // namespace hvm
