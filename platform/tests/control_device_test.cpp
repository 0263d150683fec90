#include "platform/control_device.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "platform/runtime_paths.h"
#include "platform/tests/test_support.h"

namespace hvm {
namespace {

using test::EnvOverride;
using test::ScratchDir;

constexpr DWORD kEchoReversed = 0x142001;
constexpr DWORD kFailWithAccessDenied = 0x142002;
constexpr DWORD kAnswerTenBytes = 0x142003;
constexpr DWORD kHangUp = 0x142004;
constexpr DWORD kNeverAnswer = 0x142005;

// A driver stand-in built on the real server helpers: it serves one
// connection after another until the listening socket is shut down.
class EchoDriver {
 public:
  explicit EchoDriver(const std::string& path) : listener_(ListenControlSocket(path)) {
    if (listener_ >= 0) thread_ = std::thread([this] { Serve(); });
  }
  ~EchoDriver() {
    if (listener_ < 0) return;
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  bool listening() const { return listener_ >= 0; }
  uid_t peerUid() const { return peerUid_; }

 private:
  void Serve() {
    while (true) {
      int connection = accept(listener_, nullptr, nullptr);
      if (connection < 0) return;
      ControlPeerUid(connection, peerUid_);
      ControlFrame frame;
      while (ReadControlFrame(connection, frame) == 1 && Answer(connection, frame)) {
      }
      close(connection);
    }
  }

  static bool Answer(int connection, const ControlFrame& frame) {
    switch (frame.code) {
      case kEchoReversed: {
        std::vector<uint8_t> out(frame.input.rbegin(), frame.input.rend());
        if (out.size() > frame.outLength) out.resize(frame.outLength);
        return WriteControlAnswer(connection, 0, out.data(), static_cast<uint32_t>(out.size()));
      }
      case kFailWithAccessDenied:
        return WriteControlAnswer(connection, ERROR_ACCESS_DENIED, nullptr, 0);
      case kAnswerTenBytes:  // more than the caller has room for
        return WriteControlAnswer(connection, 0, "0123456789", 10);
      case kNeverAnswer: {  // holds the request until the caller hangs up
        ControlFrame next;
        ReadControlFrame(connection, next);
        return false;
      }
      default:
        return false;
    }
  }

  int listener_;
  std::thread thread_;
  uid_t peerUid_ = static_cast<uid_t>(-1);
};

class ControlDeviceTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
  EnvOverride runtime_{"HALVENMOOR_RUNTIME_DIR", dir_.path()};

  static HANDLE Open() {
    return CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  }
};

TEST_F(ControlDeviceTest, ExchangesFramesWithTheDriver) {
  EchoDriver driver(ControlSocketPath());
  ASSERT_TRUE(driver.listening());
  HANDLE device = Open();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);

  const char in[] = {'a', 'b', 'c'};
  char out[16] = {};
  DWORD returned = 99;
  ASSERT_TRUE(DeviceIoControl(device, kEchoReversed, in, 3, out, sizeof out, &returned, nullptr));
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(std::string(out, 3), "cba");

  EXPECT_FALSE(DeviceIoControl(device, kFailWithAccessDenied, nullptr, 0, out, 4, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  // An answer longer than the buffer is cut, and the stream stays in step.
  ASSERT_TRUE(DeviceIoControl(device, kAnswerTenBytes, nullptr, 0, out, 4, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(std::string(out, 4), "0123");
  std::vector<uint8_t> big(200000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i % 251);
  std::vector<uint8_t> back(big.size());
  ASSERT_TRUE(DeviceIoControl(device, kEchoReversed, big.data(), static_cast<DWORD>(big.size()),
                              back.data(), static_cast<DWORD>(back.size()), &returned, nullptr));
  ASSERT_EQ(returned, big.size());
  EXPECT_TRUE(std::equal(big.rbegin(), big.rend(), back.begin()));

  EXPECT_FALSE(DeviceIoControl(device, kEchoReversed, big.data(), kMaxControlBuffer + 1, nullptr, 0,
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(DeviceIoControl(device, kEchoReversed, in, 3, out, sizeof out, &returned, nullptr))
      << "a refused call sends nothing, so the connection is still usable";

  EXPECT_EQ(driver.peerUid(), getuid());
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_FALSE(CloseHandle(device));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ControlDeviceTest, MissingDriverIsFileNotFound) {
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  // A socket left behind by a driver that died is as good as none.
  int stale = ListenControlSocket(ControlSocketPath());
  ASSERT_GE(stale, 0);
  close(stale);
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(CreateFileW(u"\\\\.\\OTHER", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ControlDeviceTest, DriverThatGoesAwayIsABrokenPipeNotASignal) {
  EchoDriver driver(ControlSocketPath());
  HANDLE device = Open();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(device, kHangUp, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  // Writing into the closed connection must not raise SIGPIPE.
  std::vector<uint8_t> in(300000);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(DeviceIoControl(device, kEchoReversed, in.data(), static_cast<DWORD>(in.size()),
                                 nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  }
  CloseHandle(device);
}

TEST_F(ControlDeviceTest, ClosingTheHandleWakesAWaitingCall) {
  EchoDriver driver(ControlSocketPath());
  HANDLE device = Open();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  DWORD error = 0;
  BOOL answered = TRUE_;
  std::thread waiter([&] {
    DWORD returned = 0;
    answered = DeviceIoControl(device, kNeverAnswer, nullptr, 0, nullptr, 0, &returned, nullptr);
    error = GetLastError();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the call start waiting
  CloseHandle(device);
  waiter.join();
  EXPECT_FALSE(answered);
  EXPECT_TRUE(error == ERROR_BROKEN_PIPE || error == ERROR_INVALID_HANDLE) << error;
}

TEST_F(ControlDeviceTest, LiveSocketIsNotTakenOver) {
  EchoDriver driver(ControlSocketPath());
  ASSERT_TRUE(driver.listening());
  EXPECT_EQ(ListenControlSocket(ControlSocketPath()), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  HANDLE device = Open();
  EXPECT_NE(device, INVALID_HANDLE_VALUE) << "the first driver still answers";
  CloseHandle(device);
}

// A socket served by another user (a stand-in made where the agent looks) is
// refused: the caller's requests and files must reach root or itself only.
TEST_F(ControlDeviceTest, ADriverOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to serve as another user";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t stranger = test::StartChild([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
    int listener = ListenControlSocket(ControlSocketPath());
    if (write(ready[1], "r", 1) != 1 || listener < 0) return 11;
    int connection = accept(listener, nullptr, nullptr);
    if (connection >= 0) {
      ControlFrame frame;
      while (ReadControlFrame(connection, frame) == 1 && WriteControlAnswer(connection, 0, nullptr, 0)) {
      }
    }
    return 0;
  });
  char signal = 0;
  ASSERT_EQ(read(ready[0], &signal, 1), 1);
  HANDLE device = Open();
  EXPECT_EQ(device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  kill(stranger, SIGKILL);
  test::WaitChild(stranger);
  close(ready[0]);
  close(ready[1]);
}

// Frames written by hand into one end of a socket pair, read by the server helper.
class FrameReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends_), 0); }
  void TearDown() override {
    close(ends_[0]);
    if (ends_[1] >= 0) close(ends_[1]);
  }
  void Send(std::initializer_list<uint32_t> words, size_t payload = 0) {
    std::vector<uint8_t> bytes(words.size() * 4 + payload, 0x5A);
    size_t at = 0;
    for (uint32_t word : words) {
      std::memcpy(&bytes[at], &word, 4);
      at += 4;
    }
    ASSERT_EQ(write(ends_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  int ends_[2] = {-1, -1};
};

TEST_F(FrameReaderTest, AcceptsAWellFormedFrameEvenInPieces) {
  std::thread trickle([this] {
    uint32_t header[4] = {kControlMagic, 0x142400, 5, 4096};
    std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(header), reinterpret_cast<uint8_t*>(header) + 16);
    for (char c : std::string("hello")) bytes.push_back(static_cast<uint8_t>(c));
    for (uint8_t byte : bytes) {
      ASSERT_EQ(write(ends_[1], &byte, 1), 1);
    }
    close(ends_[1]);
    ends_[1] = -1;
  });
  ControlFrame frame;
  EXPECT_EQ(ReadControlFrame(ends_[0], frame), 1);
  trickle.join();
  EXPECT_EQ(frame.code, 0x142400u);
  EXPECT_EQ(frame.outLength, 4096u);
  EXPECT_EQ(std::string(frame.input.begin(), frame.input.end()), "hello");
  EXPECT_EQ(ReadControlFrame(ends_[0], frame), 0) << "orderly end of stream";
}

TEST_F(FrameReaderTest, AnAnswerLargerThanTheSocketBufferArrivesWholeAndInOrder) {
  int small = 4096;
  ASSERT_EQ(setsockopt(ends_[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  std::vector<uint8_t> data(kMaxControlBuffer);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::vector<uint8_t> got;
  std::thread reader([&] {
    uint8_t piece[3001];  // never a multiple of the header or the buffer
    while (got.size() < 8 + data.size()) {
      ssize_t n = read(ends_[1], piece, sizeof piece);
      if (n <= 0) return;
      got.insert(got.end(), piece, piece + n);
    }
  });
  EXPECT_TRUE(WriteControlAnswer(ends_[0], 5, data.data(), static_cast<uint32_t>(data.size())));
  reader.join();
  ASSERT_EQ(got.size(), 8 + data.size());
  uint32_t error, length;
  std::memcpy(&error, got.data(), 4);
  std::memcpy(&length, got.data() + 4, 4);
  EXPECT_EQ(error, 5u);
  EXPECT_EQ(length, data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin() + 8));
}

TEST_F(FrameReaderTest, RefusesBadMagicAndOversizedLengths) {
  ControlFrame frame;
  Send({0x12345678, 1, 0, 0});
  EXPECT_EQ(ReadControlFrame(ends_[0], frame), -1);
  Send({kControlMagic, 1, kMaxControlBuffer + 1, 0});
  EXPECT_EQ(ReadControlFrame(ends_[0], frame), -1);
  Send({kControlMagic, 1, 0, kMaxControlBuffer + 1});
  EXPECT_EQ(ReadControlFrame(ends_[0], frame), -1);
  Send({kControlMagic, 1, 8}, 3);  // the peer hangs up inside the input
  close(ends_[1]);
  ends_[1] = -1;
  EXPECT_EQ(ReadControlFrame(ends_[0], frame), -1);
  EXPECT_FALSE(WriteControlAnswer(ends_[0], 0, nullptr, kMaxControlBuffer + 1));
}

TEST_F(FrameReaderTest, AFrameTheReaderDoesNotAdmitGetsNoRoom) {
  ControlFrame frame;
  std::vector<uint32_t> asked;
  auto refuse = [&asked](uint32_t inLength) {
    asked.push_back(inLength);
    return false;
  };
  Send({kControlMagic, 1, kMaxControlBuffer, 0});
  errno = 0;
  EXPECT_EQ(ReadControlFrame(ends_[0], frame, refuse), -1);
  EXPECT_EQ(errno, ENOBUFS);
  EXPECT_EQ(asked, std::vector<uint32_t>{kMaxControlBuffer});
  EXPECT_EQ(frame.input.capacity(), 0u) << "no room was made for what was refused";

  // A malformed header is refused before anyone is asked.
  Send({kControlMagic, 1, kMaxControlBuffer + 1, 0});
  EXPECT_EQ(ReadControlFrame(ends_[0], frame, refuse), -1);
  EXPECT_EQ(asked.size(), 1u);

  auto admit = [&asked](uint32_t inLength) {
    asked.push_back(inLength);
    return true;
  };
  Send({kControlMagic, 2, 8, 0}, 8);
  EXPECT_EQ(ReadControlFrame(ends_[0], frame, admit), 1);
  EXPECT_EQ(asked.back(), 8u);
  EXPECT_EQ(frame.input.size(), 8u);
}

TEST_F(FrameReaderTest, PeerUidIsTheConnectingUser) {
  uid_t uid = static_cast<uid_t>(-1);
  ASSERT_TRUE(ControlPeerUid(ends_[0], uid));
  EXPECT_EQ(uid, getuid());
  EXPECT_FALSE(ControlPeerUid(-1, uid));
}

}  // namespace
}  // namespace hvm
