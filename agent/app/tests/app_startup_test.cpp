// Start-up: the switches, opening the driver or starting it when its socket
// is missing, and the version check.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "agent/app/startup.h"
#include "agent/app/tests/app_test_driver.h"
#include "agent/service/registration.h"
#include "common/moorlib.h"
#include "platform/registry.h"
#include "platform/runtime_paths.h"
#include "platform/ui.h"

namespace hvm {
namespace {

TEST(SwitchTest, SleepAndHidden) {
  EXPECT_EQ(SleepMillisecondsOf("/sleep=5"), 5000u);
  EXPECT_EQ(SleepMillisecondsOf("/con /SLEEP=2 /name=a"), 2000u);
  EXPECT_EQ(SleepMillisecondsOf("/sleep"), 20000u);
  EXPECT_EQ(SleepMillisecondsOf("/sleep /con"), 20000u);
  EXPECT_EQ(SleepMillisecondsOf("/Sleep=5"), 0u);  // only the two exact forms
  EXPECT_EQ(SleepMillisecondsOf("/sleep=99999999999"), 86400000u);  // no overflow
  EXPECT_TRUE(StartsHidden(" /min"));
  EXPECT_FALSE(StartsHidden("/co"));
  EXPECT_TRUE(HasSwitch("x /SET", "set"));
  EXPECT_FALSE(HasSwitch("x /Set", "set"));
}

// A stand-in driver program: answers the control socket as quenlode does for
// the codes the start-up sends, and notes the log level it was given.
constexpr char kFakeDriver[] = R"(#!/usr/bin/env python3
import os, socket, struct
run = os.environ["HALVENMOOR_RUNTIME_DIR"]
open(os.path.join(run, "fake.pid"), "w").write(str(os.getpid()))
s = socket.socket(socket.AF_UNIX)
s.bind(os.path.join(run, "qlode"))
s.listen(8)
while True:
    c, _ = s.accept()
    head = c.recv(16, socket.MSG_WAITALL)
    if len(head) < 16:
        c.close(); continue
    magic, code, inlen, outlen = struct.unpack("<IIII", head)
    data = c.recv(inlen, socket.MSG_WAITALL) if inlen else b""
    out = b""
    if code == 0x142408:
        open(os.path.join(run, "loglevel"), "w").write(str(struct.unpack("<I", data[:4])[0]))
    if code == 0x14240C:
        out = struct.pack("<I", 0x03000000)
    c.sendall(struct.pack("<II", 0, len(out)) + out)
    c.close()
)";

class DriverStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCurrentUi(&ui);
    savedLevel = logLevel;
  }
  void TearDown() override {
    StopPingThread();
    std::ifstream pidFile(sandbox.Path("run/fake.pid"));
    pid_t pid = 0;
    if (pidFile >> pid && pid > 0) kill(pid, SIGKILL);
    SetCurrentUi(nullptr);
    logLevel = savedLevel;
  }
  void InstallFakeDriver() {
    MakeDirs(sandbox.Path("install"), 0755);
    std::string path = sandbox.Path("install/quenlode");
    std::ofstream(path) << kFakeDriver;
    chmod(path.c_str(), 0755);
  }
  std::string MachineFile() {
    std::ifstream file(sandbox.Path("system.reg"));
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  test::Sandbox sandbox;
  test::RecordingUi ui;
  uint32_t savedLevel = 0;
};

TEST_F(DriverStartTest, MissingSocketStartsTheDriverFromTheInstallation) {
  InstallFakeDriver();
  logLevel = 5;
  ASSERT_TRUE(OpenDriver(sandbox.Path("install"), std::chrono::seconds(20)));
  EXPECT_TRUE(ui.boxes.empty());
  std::ifstream level(sandbox.Path("run/loglevel"));
  std::string sent;
  level >> sent;
  EXPECT_EQ(sent, "5");
  EXPECT_TRUE(PingThreadRunning());
  std::string machine = MachineFile();
  EXPECT_NE(machine.find("Services\\quenlode]"), std::string::npos);
  EXPECT_NE(machine.find("WebDAV File System"), std::string::npos);
  EXPECT_NE(machine.find("\"ProviderOrder\"=\"quenlode\""), std::string::npos);
  EXPECT_TRUE(DriverVersionAcceptable());
}

TEST_F(DriverStartTest, MissingDriverFileIsReportedWithoutRecordingAService) {
  EXPECT_FALSE(OpenDriver(sandbox.Path("install"), std::chrono::seconds(1)));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text.find(u"QUENLODE.SYS is not found Error = 2 "), 0u);
  EXPECT_EQ(ui.boxes[0].caption, u"Error while opening driver");
  EXPECT_EQ(MachineFile().find("quenlode"), std::string::npos);
}

TEST_F(DriverStartTest, ServiceMarkedForDeletionIsNotStarted) {
  InstallFakeDriver();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriverServiceKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  DWORD one = 1;
  RegSetValueExW(key, u"DeleteFlag", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof one);
  RegCloseKey(key);
  EXPECT_FALSE(OpenDriver(sandbox.Path("install"), std::chrono::seconds(1)));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, u"Previous instance of the service is not fully deleted");
  struct stat info {};
  EXPECT_NE(stat(sandbox.Path("run/fake.pid").c_str(), &info), 0);
}

TEST_F(DriverStartTest, ProviderOrderKeepsOthersBehindTheDriver) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProviderOrderKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char16_t old[] = u"LanmanWorkstation";
  RegSetValueExW(key, u"ProviderOrder", 0, REG_SZ, reinterpret_cast<const BYTE*>(old), sizeof old);
  RegCloseKey(key);
  ASSERT_EQ(RecordDriverService("/opt/x/quenlode"), ERROR_SUCCESS);
  ASSERT_EQ(RecordDriverService("/opt/x/quenlode"), ERROR_SUCCESS);  // not added twice
  EXPECT_NE(MachineFile().find("\"ProviderOrder\"=\"quenlode,LanmanWorkstation\""), std::string::npos);
}

TEST_F(DriverStartTest, RunningDriverGetsTheLogLevelAndVersionIsChecked) {
  test::TestDriver driver;
  logLevel = 3;
  ASSERT_TRUE(OpenDriver(sandbox.Path("install")));
  ASSERT_TRUE(driver.WaitFor(IOCTL_SET_LOG_LEVEL, 1));
  auto calls = driver.Calls(IOCTL_SET_LOG_LEVEL);
  ASSERT_GE(calls[0].input.size(), 4u);
  EXPECT_EQ(calls[0].input[0], 3);
  EXPECT_TRUE(driver.WaitFor(IOCTL_PING, 1));
  StopPingThread();

  EXPECT_TRUE(DriverVersionAcceptable());
  driver.version = 0x02FFFFFF;
  EXPECT_FALSE(DriverVersionAcceptable());
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, u"The version of the driver is old, not found, exit");
}

TEST_F(DriverStartTest, NoDriverAtAllFailsTheVersionCheck) {
  EXPECT_FALSE(DriverVersionAcceptable());
  EXPECT_EQ(ui.boxes.size(), 1u);
}

}  // namespace
}  // namespace hvm
