// What a second start hands to the running instance, and the socket that carries it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "agent/app/instance_channel.h"
#include "agent/app/startup_main_loop.h"
#include "agent/app/tests/app_test_driver.h"

namespace hvm {
namespace {

std::string NameOf(const InstanceMessage& m) { return std::string(m.siteName); }

TEST(HandOverTest, NameEndsAtFirstBlankAndAt31Characters) {
  EXPECT_EQ(HandOverName("/con /name=My Site"), "My");
  EXPECT_EQ(HandOverName("/CON /NAME=site1"), "site1");
  EXPECT_EQ(HandOverName("/con /Name=site1"), "");  // only the two exact forms count
  EXPECT_EQ(HandOverName("/con"), "");
  std::string longName(40, 'x');
  longName[30] = 'L';
  std::string cut = HandOverName("/dis /name=" + longName);
  EXPECT_EQ(cut.size(), 31u);
  EXPECT_EQ(cut.back(), 'L');
}

TEST(HandOverTest, MessagesPerSwitch) {
  auto empty = HandOverMessages("");
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].message, kMessageTrayNotify);
  EXPECT_EQ(empty[0].wParam, 171u);
  EXPECT_EQ(empty[0].lParam, 0x202u);

  auto connect = HandOverMessages("/con /name=My Site");
  ASSERT_EQ(connect.size(), 1u);
  EXPECT_EQ(connect[0].message, kMessageConnect);
  EXPECT_EQ(NameOf(connect[0]), "My");

  EXPECT_TRUE(HandOverMessages("/dis").empty());  // no name: nothing is sent
  EXPECT_TRUE(HandOverMessages(" /min").empty());

  auto refresh = HandOverMessages("/DIS /ref /name=a");
  ASSERT_EQ(refresh.size(), 1u);
  EXPECT_EQ(refresh[0].message, kMessageRefresh);  // "/ref" wins

  auto settings = HandOverMessages("/set /con /name=b");
  ASSERT_EQ(settings.size(), 2u);
  EXPECT_EQ(settings[0].message, kMessageSettings);  // at once, before the command
  EXPECT_EQ(settings[1].message, kMessageConnect);
}

TEST(HandOverTest, MessageBytes) {
  InstanceMessage m = MakeInstanceMessage(kMessageDisconnect, "site1", 'X', 5);
  auto* bytes = reinterpret_cast<const uint8_t*>(&m);
  EXPECT_EQ(std::memcmp(bytes, "HVMI", 4), 0);
  EXPECT_EQ(bytes[4], 0x7C);
  EXPECT_EQ(bytes[5], 0x80);
  EXPECT_EQ(bytes[8], 'X');
  EXPECT_EQ(bytes[12], 5);
  EXPECT_EQ(std::memcmp(bytes + 16, "site1\0", 6), 0);
  InstanceMessage full = MakeInstanceMessage(kMessageConnect, std::string(50, 'z'));
  EXPECT_EQ(full.siteName[30], 'z');
  EXPECT_EQ(full.siteName[31], 0);
}

TEST(InstanceSocketTest, RunningInstanceAnswersAfterHandling) {
  test::Sandbox sandbox;
  AgentMainLoop loop;
  InstanceChannelServer server;
  ASSERT_TRUE(server.Start([&loop](const InstanceMessage& m) { return loop.Send(m); }));
  std::vector<std::string> handled;
  std::thread mainThread([&] {
    loop.Run([&](const InstanceMessage& m) {
      handled.push_back(NameOf(m));
      return m.message == kMessageConnect ? 1u : 0u;
    });
  });
  uint32_t result = 9;
  ASSERT_TRUE(SendInstanceMessage(MakeInstanceMessage(kMessageConnect, "site1"), &result));
  EXPECT_EQ(result, 1u);
  ASSERT_TRUE(SendInstanceMessage(MakeInstanceMessage(kMessageRefresh, "site2"), &result));
  EXPECT_EQ(result, 0u);
  ASSERT_TRUE(SendInstanceMessage(MakeInstanceMessage(kMessageQuit), &result));
  mainThread.join();
  EXPECT_EQ(handled, (std::vector<std::string>{"site1", "site2"}));
  EXPECT_TRUE(loop.Ended());
  EXPECT_EQ(loop.Send(MakeInstanceMessage(kMessageConnect, "late")), 0u);  // nobody handles it
  server.Stop();
  EXPECT_FALSE(SendInstanceMessage(MakeInstanceMessage(kMessageConnect, "site1")));
}

// A command that runs longer than a second start waits in silence (a long
// synchronisation) is still answered while the instance says it works on it.
TEST(InstanceSocketTest, ALongCommandIsAnsweredWhileTheInstanceSaysItWorks) {
  test::Sandbox sandbox;
  auto slowSync = [](const InstanceMessage& m) {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    return m.message == kMessageSynchronize ? kCommandDone : kCommandFailed;
  };
  uint32_t result = 9;
  {
    InstanceChannelServer talkative;
    talkative.keepAliveMs = 20;
    ASSERT_TRUE(talkative.Start(slowSync));
    EXPECT_TRUE(SendInstanceMessage(MakeInstanceMessage(kMessageSynchronize, "site1"), &result, {}, 200));
    EXPECT_EQ(result, kCommandDone);
  }
  InstanceChannelServer silent;
  silent.keepAliveMs = 10000;
  ASSERT_TRUE(silent.Start(slowSync));
  EXPECT_FALSE(SendInstanceMessage(MakeInstanceMessage(kMessageSynchronize, "site1"), &result, {}, 200));
  // The instance goes on with the next second start once the command is done.
  EXPECT_TRUE(SendInstanceMessage(MakeInstanceMessage(kMessageConnect, "site1"), &result));
  EXPECT_EQ(result, kCommandFailed);
}

// A password typed at a second start reaches the running instance beside the
// main thread's handler, is taken once, and a longer claim than allowed is refused.
TEST(InstanceSocketTest, AHandedPasswordIsKeptForOneConnect) {
  test::Sandbox sandbox;
  int handled = 0;
  InstanceChannelServer server;
  ASSERT_TRUE(server.Start([&handled](const InstanceMessage&) { return ++handled, 1u; }));
  ASSERT_TRUE(SendInstancePassword("site1", "s3cret"));
  EXPECT_EQ(handled, 0);
  EXPECT_EQ(TakeHandedPassword("site2"), "");
  EXPECT_EQ(TakeHandedPassword("site1"), "s3cret");
  EXPECT_EQ(TakeHandedPassword("site1"), "");
  uint32_t result = 9;
  InstanceMessage tooLong = MakeInstanceMessage(kMessagePassword, "site1", 0, 4096);
  ASSERT_TRUE(SendInstanceMessage(tooLong, &result));
  EXPECT_EQ(result, kCommandFailed);
  EXPECT_EQ(TakeHandedPassword("site1"), "");
  // The loop that drives a front end's own event loop ends on a quit.
  AgentMainLoop loop;
  EXPECT_TRUE(loop.HandlePending({}));
  loop.Quit();
  EXPECT_FALSE(loop.HandlePending({}));
  EXPECT_TRUE(loop.Ended());
  server.Stop();
}

}  // namespace
}  // namespace hvm
