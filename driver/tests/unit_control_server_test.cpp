// The control socket under peers that send half a frame and stop.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/control_server.h"
#include "platform/control_device.h"
#include "platform/tests/test_support.h"

namespace hvm::driver {
namespace {

// No control code: the driver answers it with an error and no data.
constexpr uint32_t kNoSuchCode = 0x7;

int Dial(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SendHeader(int fd, uint32_t code, uint32_t inLength, uint32_t outLength) {
  uint32_t header[4] = {kControlMagic, code, inLength, outLength};
  return SendAll(fd, header, sizeof header);
}

// The answer's header, when one comes within the time.
bool ReadAnswerHeader(int fd, uint32_t& error, int timeoutMs) {
  uint32_t header[2] = {};
  size_t got = 0;
  while (got < sizeof header) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, timeoutMs) != 1) return false;
    ssize_t n = recv(fd, reinterpret_cast<uint8_t*>(header) + got, sizeof header - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  error = header[0];
  return true;
}

// Sends one whole frame of that input and reads the answer's header.
bool SendWholeFrame(int fd, const std::vector<uint8_t>& input, uint32_t& error) {
  return SendHeader(fd, kNoSuchCode, static_cast<uint32_t>(input.size()), 0) &&
         SendAll(fd, input.data(), input.size()) && ReadAnswerHeader(fd, error, 20000);
}

// Waits for the server's threads to reach a state; false if they never do.
bool Eventually(const std::function<bool()>& reached) {
  for (int i = 0; i < 3000; ++i) {
    if (reached()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return reached();
}

class ControlServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);  // other users reach the socket too
    ASSERT_TRUE(server_.Start(path_));
  }
  void TearDown() override { server_.Stop(); }

  test::ScratchDir dir_;
  std::string path_ = dir_ / "qlode";
  ControlServer server_;
};

TEST_F(ControlServerTest, HalfSentFramesHoldNoMoreThanTheirUsersBudget) {
  const uid_t me = geteuid();
  constexpr size_t kStalled = 24;
  std::vector<int> stalled;
  for (size_t i = 0; i < kStalled; ++i) {
    int fd = Dial(path_);
    ASSERT_GE(fd, 0);
    stalled.push_back(fd);
    // The widest frame there is, of which one byte ever comes.
    ASSERT_TRUE(SendHeader(fd, kNoSuchCode, kMaxControlBuffer, 0));
    ASSERT_TRUE(SendAll(fd, "x", 1));
  }
  // Every reader has its frame's header: it holds the room or waits for it.
  ASSERT_TRUE(Eventually([&] {
    ControlInputUse use = ControlInputOf(me);
    return use.bytes / kMaxControlBuffer + use.waiting == kStalled;
  }));
  ControlInputUse use = ControlInputOf(me);
  EXPECT_LE(use.bytes, kControlInputPerUser);
  EXPECT_EQ(use.bytes, kControlInputPerUser / kMaxControlBuffer * kMaxControlBuffer);
  EXPECT_EQ(use.waiting, kStalled - kControlInputPerUser / kMaxControlBuffer);

  if (me == 0) {
    // Another user is served at once, a frame of the widest kind too.
    std::string path = path_;
    int served = test::RunInChild([path] {
      if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
      int fd = Dial(path);
      if (fd < 0) return 11;
      std::vector<uint8_t> input(kMaxControlBuffer, 0x5A);
      uint32_t error = 0;
      if (!SendWholeFrame(fd, input, error)) return 13;
      return error != 0 ? 0 : 14;
    });
    EXPECT_EQ(served, 0);
  }

  // Whoever stops sending gives back what it held when it goes.
  for (int fd : stalled) close(fd);
  EXPECT_TRUE(Eventually([&] {
    ControlInputUse now = ControlInputOf(me);
    return now.bytes == 0 && now.waiting == 0;
  }));
}

TEST_F(ControlServerTest, WholeFramesGoThroughAndLeaveNothingHeld) {
  const uid_t me = geteuid();
  int fd = Dial(path_);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> input(kMaxControlBuffer, 0x11);
  for (int round = 0; round < 10; ++round) {
    uint32_t error = 0;
    ASSERT_TRUE(SendWholeFrame(fd, input, error)) << round;
    EXPECT_NE(error, 0u);
  }
  EXPECT_TRUE(Eventually([&] { return ControlInputOf(me).bytes == 0; }));
  close(fd);
}

// Readers keep a wide frame's room for the next one (an agent's request
// loop answers piece after piece), but a uid's idle readers keep no more than
// kKeptInputPerUser of such rooms between them, and none once they are gone.
TEST_F(ControlServerTest, WideRoomsAreKeptBetweenFramesWithinTheUsersBound) {
  const uid_t me = geteuid();
  constexpr size_t kConnections = 12;
  std::vector<uint8_t> input(kMaxControlBuffer, 0x22);
  std::vector<int> idle;
  for (size_t i = 0; i < kConnections; ++i) {
    int fd = Dial(path_);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
    uint32_t error = 0;
    ASSERT_TRUE(SendWholeFrame(fd, input, error)) << i;
  }
  ASSERT_TRUE(Eventually([&] { return ControlInputOf(me).bytes == 0; }));
  ControlInputUse use = ControlInputOf(me);
  EXPECT_GE(use.kept, kMaxControlBuffer) << "the first readers keep their rooms";
  EXPECT_LE(use.kept, kKeptInputPerUser);
  EXPECT_LT(use.kept, kConnections * kMaxControlBuffer);
  for (int fd : idle) close(fd);
  EXPECT_TRUE(Eventually([&] { return ControlInputOf(me).kept == 0; }));
}

}  // namespace
}  // namespace hvm::driver
