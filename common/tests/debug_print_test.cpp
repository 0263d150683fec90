#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>
#include <string>

#include "common/moorlib.h"
#include "common/tests/test_folders.h"
#include "platform/debug_sink.h"

namespace hvm {
namespace {

// Points the debug sink at a log of its own in a scratch state folder.
class DebugPrintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_STATE_HOME", state_.path().c_str(), 1);
    SetDebugSinkName("debug_print_test");
    logLevel = 0;
    debugIsAllowed = 0xFFFFFFFF;
  }
  void TearDown() override {
    logLevel = 0;
    debugIsAllowed = 0xFFFFFFFF;
  }
  std::string Log() const {
    return testing::ReadWholeFile(state_.path() + "/halvenmoor/debug_print_test.log");
  }

  testing::ScratchFolder state_;
};

TEST_F(DebugPrintTest, SuppressedLineClosesTheGateUntilAllowedAgain) {
  EXPECT_EQ(WideDbgPrint(u"hidden %d\n", 1), 0);
  EXPECT_EQ(debugIsAllowed, 0u);
  logLevel = 1;  // the level alone does not reopen the gate
  EXPECT_EQ(WideDbgPrint(u"still hidden\n"), 0);
  debugIsAllowed = 0xFFFFFFFF;
  EXPECT_EQ(WideDbgPrint(u"shown\n"), 6);
  const std::string log = Log();
  EXPECT_EQ(log.find("hidden"), std::string::npos);
  EXPECT_NE(log.find("shown"), std::string::npos);
  logLevel = 0x2;
  debugIsAllowed = 0x1;  // both non-zero, but no common bit
  EXPECT_EQ(WideDbgPrint(u"disjoint\n"), 0);
  EXPECT_EQ(debugIsAllowed, 0u);
}

TEST_F(DebugPrintTest, LineIsHourMinuteThenMessage) {
  logLevel = 1;
  EXPECT_EQ(WideDbgPrint(u"site=%ws n=%d\n", u"alpha", 42), 16);
  // The seconds and the blank of the prefix are overwritten by the message.
  const std::regex line(R"(^WC:([01][0-9]|2[0-3]):[0-5][0-9]site=alpha n=42\n$)");
  EXPECT_TRUE(std::regex_match(Log(), line)) << Log();
}

TEST_F(DebugPrintTest, MaskFormIgnoresTheGlobals) {
  logLevel = 0;
  debugIsAllowed = 0;
  EXPECT_EQ(WideDbgPrint(0x4u, 0x6u, u"masked %ws\n", u"in"), 10);
  EXPECT_EQ(WideDbgPrint(0x1u, 0x6u, u"masked out\n"), 0);
  EXPECT_EQ(debugIsAllowed, 0u);
  logLevel = 1;
  debugIsAllowed = 1;
  EXPECT_EQ(WideDbgPrint(0x1u, 0x2u, u"closed\n"), 0);
  EXPECT_EQ(debugIsAllowed, 1u);  // a closed mask gate clears nothing
  const std::string log = Log();
  EXPECT_NE(log.find("masked in"), std::string::npos);
  EXPECT_EQ(log.find("masked out"), std::string::npos);
  EXPECT_EQ(log.find("closed"), std::string::npos);
}

TEST_F(DebugPrintTest, LongMessageIsCutAt502Characters) {
  logLevel = 1;
  const std::u16string exact(502, u'x');
  EXPECT_EQ(WideDbgPrint(u"%ws", exact.c_str()), 502);
  const std::u16string longer(600, u'y');
  EXPECT_LT(WideDbgPrint(u"%ws", longer.c_str()), 0);
  const std::string log = Log();
  const size_t second = log.find('\n') + 1;
  ASSERT_GT(second, 0u);
  EXPECT_EQ(log.substr(0, second).size(), 8u + 502u + 1u);
  const std::string cut = log.substr(second);
  EXPECT_EQ(cut.size(), 8u + 502u + 1u);
  EXPECT_EQ(cut.substr(8, 502), std::string(502, 'y'));
}

TEST_F(DebugPrintTest, PerformanceStoresTheClockAndPrintsTheDifference) {
  logLevel = 1;
  int64_t counter = 0;
  performance(u"first", 7, &counter);
  EXPECT_GT(counter, 0);
  const int64_t previous = counter;
  performance(u"second", 8, &counter);
  EXPECT_GE(counter, previous);  // the clock is monotonic
  const std::string log = Log();
  EXPECT_NE(log.find("*** first 7 "), std::string::npos);
  EXPECT_NE(log.find("*** second 8 "), std::string::npos);
  debugIsAllowed = 0;
  performance(u"quiet", 9, &counter);
  EXPECT_EQ(Log().find("quiet"), std::string::npos);
}

}  // namespace
}  // namespace hvm
