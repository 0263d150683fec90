// The driver version query against a small control-socket server, the
// instance check and the shared name across processes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "agent/service/channel_records.h"
#include "common/moorlib.h"
#include "common/tests/test_folders.h"
#include "platform/control_device.h"
#include "platform/instance_lock.h"
#include "platform/runtime_paths.h"
#include "platform/shared_memory.h"

namespace hvm {
namespace {

class DriverQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("HALVENMOOR_RUNTIME_DIR", runtime_.path().c_str(), 1); }
  testing::ScratchFolder runtime_;
};

// Answers one IOCTL_VERSION frame the way the driver does, or with an error.
class VersionServer {
 public:
  explicit VersionServer(uint32_t error) : error_(error) {
    listenFd_ = ListenControlSocket(ControlSocketPath());
    thread_ = std::thread([this] { Serve(); });
  }
  ~VersionServer() {
    thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
  }
  bool listening() const { return listenFd_ >= 0; }
  uint32_t seenCode = 0;
  uint32_t seenOutLength = 0;

 private:
  void Serve() {
    if (listenFd_ < 0) return;
    const int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    ControlFrame frame;
    if (ReadControlFrame(fd, frame) == 1) {
      seenCode = frame.code;
      seenOutLength = frame.outLength;
      const uint32_t version = kDriverInterfaceVersion;
      WriteControlAnswer(fd, error_, &version, error_ == 0 ? 4 : 0);
    }
    close(fd);
  }
  uint32_t error_;
  int listenFd_ = -1;
  std::thread thread_;
};

TEST_F(DriverQueriesTest, VersionFromTheDriver) {
  VersionServer server(0);
  ASSERT_TRUE(server.listening());
  EXPECT_EQ(GetDriverVersion(), 0x03000000u);
  EXPECT_EQ(server.seenCode, 0x14240Cu);
  EXPECT_EQ(server.seenOutLength, 4u);
}

TEST_F(DriverQueriesTest, FailedVersionCallGivesZero) {
  VersionServer server(ERROR_INVALID_FUNCTION);
  ASSERT_TRUE(server.listening());
  EXPECT_EQ(GetDriverVersion(), 0u);
}

TEST_F(DriverQueriesTest, NoDriverGivesAllOnes) {
  EXPECT_EQ(GetDriverVersion(), 0xFFFFFFFFu);
  EXPECT_EQ(GetDriverVersion(u"\\\\.\\ELSEWHERE"), 0xFFFFFFFFu);
}

TEST_F(DriverQueriesTest, InstanceCheckSeesAHeldLockAndLeavesNoneBehind) {
  const std::string name = "QUENLODE-test-" + std::to_string(getpid());
  EXPECT_EQ(CheckIfTheHalvenmoorIsThere(name.c_str()), 0);
  {
    InstanceLock agent;
    ASSERT_TRUE(agent.Acquire(name));
    EXPECT_EQ(CheckIfTheHalvenmoorIsThere(name.c_str()), 1);
  }
  EXPECT_EQ(CheckIfTheHalvenmoorIsThere(name.c_str()), 0);
  // The probe took nothing: an agent can still start.
  InstanceLock agent;
  EXPECT_TRUE(agent.Acquire(name));
}

TEST_F(DriverQueriesTest, SharedNameCrossesProcessesAndIsCutAt39) {
  const std::string section = "HVMTESTSHARED" + std::to_string(getpid());
  const std::string sixty(60, 'n');
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The writer: its own mapping, gone when it exits.
    SetHalvenmoorName(section.c_str(), ("agent-" + sixty).c_str());
    _exit(GetHalvenmoorName(section.c_str()) != nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  char* view = GetHalvenmoorName(section.c_str());
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view), ("agent-" + sixty).substr(0, 39));
  // A shorter text replaces it whole.
  SetHalvenmoorName(section.c_str(), "short");
  EXPECT_STREQ(view, "short");
  RemoveSharedSection(section);
}

TEST_F(DriverQueriesTest, SharedNamesOfDifferentSectionsStayApart) {
  const std::string first = "HVMTESTA" + std::to_string(getpid());
  const std::string second = "HVMTESTB" + std::to_string(getpid());
  SetHalvenmoorName(first.c_str(), "one");
  SetHalvenmoorName(second.c_str(), "two");
  EXPECT_STREQ(GetHalvenmoorName(first.c_str()), "one");
  EXPECT_STREQ(GetHalvenmoorName(second.c_str()), "two");
  RemoveSharedSection(first);
  RemoveSharedSection(second);
}

}  // namespace
}  // namespace hvm
