#include "platform/debug_sink.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/tests/test_support.h"

namespace hvm {
namespace {

// Each test writes "sinktest.log" in a state folder of its own.
class DebugSinkTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDebugSinkName("sinktest"); }
  void TearDown() override { SetDebugSinkName(""); }
  std::string Log() const { return test::ReadWholeFile(dir_ / "halvenmoor/sinktest.log"); }

  test::ScratchDir dir_;

 private:
  test::EnvOverride state_{"XDG_STATE_HOME", dir_.path()};
  test::EnvOverride quiet_{"HALVENMOOR_DEBUG_STDERR", std::nullopt};
};

TEST_F(DebugSinkTest, WholeLinesFromManyThreads) {
  OutputDebugStringW(u"WC:12:00 Grüße\n");
  OutputDebugStringA("no newline given");

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::string line = "thread " + std::to_string(t) + " " + std::string(200, 'x') + "\n";
      for (int i = 0; i < 100; ++i) OutputDebugStringA(line.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::istringstream log(Log());
  std::string line;
  ASSERT_TRUE(std::getline(log, line));
  EXPECT_EQ(line, "WC:12:00 Grüße");
  ASSERT_TRUE(std::getline(log, line));
  EXPECT_EQ(line, "no newline given");
  int whole = 0;
  while (std::getline(log, line)) {
    EXPECT_EQ(line.size(), 209u) << line;
    ++whole;
  }
  EXPECT_EQ(whole, 400);
}

TEST_F(DebugSinkTest, ControlCharactersInAMessageNeitherForgeLinesNorReachTheTerminal) {
  OutputDebugStringW(u"WC:12:00 PROPFIND /a\nWC:12:00 forged\x1b[2J\r\n");
  OutputDebugStringA("tab\tkept\x7f\r\n");
  EXPECT_EQ(EscapeControlBytes("csi \xc2\x9b, \xc3\xa9 stays\n"), "csi \\x9b, \xc3\xa9 stays\n");
  EXPECT_EQ(Log(),
            "WC:12:00 PROPFIND /a\\x0aWC:12:00 forged\\x1b[2J\ntab\tkept\\x7f\n");
}

// A driver started as root may have a user's state folder in its
// environment: a link that user planted is not written through, and a
// folder of theirs is not used at all.
TEST_F(DebugSinkTest, NothingIsWrittenThroughALinkOrIntoAnotherUsersFolder) {
  test::ScratchDir elsewhere;
  std::string victim = elsewhere / "victim";
  std::ofstream(victim) << "precious\n";
  std::filesystem::create_directories(dir_ / "halvenmoor");
  ASSERT_EQ(symlink(victim.c_str(), (dir_ / "halvenmoor/sinktest.log").c_str()), 0);
  OutputDebugStringA("through the link?");
  OutputDebugStringA("and again?");
  EXPECT_EQ(test::ReadWholeFile(victim), "precious\n");

  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the folder to another user";
  ASSERT_EQ(chown((dir_ / "halvenmoor").c_str(), 65534, 65534), 0);
  SetDebugSinkName("othertest");
  OutputDebugStringA("into their folder?");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "halvenmoor/othertest.log"));
}

}  // namespace
}  // namespace hvm
