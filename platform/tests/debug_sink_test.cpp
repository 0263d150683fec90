#include "platform/debug_sink.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "platform/tests/test_support.h"

namespace hvm {
namespace {

TEST(DebugSinkTest, WholeLinesFromManyThreads) {
  test::ScratchDir dir;
  test::EnvOverride state("XDG_STATE_HOME", dir.path());
  test::EnvOverride quiet("HALVENMOOR_DEBUG_STDERR", std::nullopt);
  SetDebugSinkName("sinktest");
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

  std::istringstream log(test::ReadWholeFile(dir / "halvenmoor/sinktest.log"));
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
  SetDebugSinkName("");
}

TEST(DebugSinkTest, ControlCharactersInAMessageNeitherForgeLinesNorReachTheTerminal) {
  test::ScratchDir dir;
  test::EnvOverride state("XDG_STATE_HOME", dir.path());
  test::EnvOverride quiet("HALVENMOOR_DEBUG_STDERR", std::nullopt);
  SetDebugSinkName("sinktest");
  OutputDebugStringW(u"WC:12:00 PROPFIND /a\nWC:12:00 forged\x1b[2J\r\n");
  OutputDebugStringA("tab\tkept\x7f\r\n");
  EXPECT_EQ(EscapeControlBytes("csi \xc2\x9b, \xc3\xa9 stays\n"), "csi \\x9b, \xc3\xa9 stays\n");
  EXPECT_EQ(test::ReadWholeFile(dir / "halvenmoor/sinktest.log"),
            "WC:12:00 PROPFIND /a\\x0aWC:12:00 forged\\x1b[2J\ntab\tkept\\x7f\n");
  SetDebugSinkName("");
}

}  // namespace
}  // namespace hvm
