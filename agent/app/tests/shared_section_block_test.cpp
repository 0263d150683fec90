// The shared connection table: byte layout of a user block, the choice of the
// block by SID across processes, and the log level handed to the driver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "agent/service/channel_records.h"
#include "agent/service/shared_section.h"
#include "agent/service/site_passwords.h"
#include "platform/control_device.h"
#include "platform/runtime_paths.h"
#include "platform/tests/test_support.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

using test::EnvOverride;
using test::ScratchDir;

std::string UniqueSectionName() {
  static int counter = 0;
  return "HvmSectionTest" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

uint32_t ReadU32(const uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::u16string OwnSid() {
  char16_t sid[kUserSidChars + 1] = {};
  GetCurrentUserSidString(sid, static_cast<int>(kUserSidChars));
  return std::u16string(WideField(sid, kUserSidChars));
}

// Every test gets its own registry files, runtime folder and section.
class SharedSectionTest : public ::testing::Test {
 protected:
  SharedSectionTest()
      : userReg_("HALVENMOOR_USER_REG", scratch_ / "user.reg"),
        machineReg_("HALVENMOOR_MACHINE_REG", scratch_ / "system.reg"),
        runtime_("HALVENMOOR_RUNTIME_DIR", scratch_ / "run"),
        state_("XDG_STATE_HOME", scratch_ / "state"),
        sectionName_(UniqueSectionName()) {
    savedLevel_ = logLevel;
  }
  ~SharedSectionTest() override {
    RemoveSharedSection(sectionName_);
    logLevel = savedLevel_;
  }

  void SetUserLogLevel(uint32_t level) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"LogLevel", 0, REG_DWORD, reinterpret_cast<BYTE*>(&level), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  ScratchDir scratch_;
  EnvOverride userReg_;
  EnvOverride machineReg_;
  EnvOverride runtime_;
  EnvOverride state_;
  std::string sectionName_;
  uint32_t savedLevel_ = 0;
};

TEST(SharedUserBlockLayout, FieldsSitAtTheirByteOffsets) {
  std::vector<uint8_t> raw(kUserBlockSize, 0);
  auto* block = reinterpret_cast<SharedUserBlock*>(raw.data());
  block->sites[1].name[0] = u'A';
  block->sites[24].reserved = 0x01020304;
  block->proxyBypass[0] = u'b';
  block->proxyServer[0] = u's';
  block->proxyPort = 0x11223344;
  block->proxyUser[0] = u'u';
  block->proxyPassword[0] = u'p';
  block->housekeepingRunning = 0x55667788;
  block->sid[0] = u'S';
  block->windowMessage = 0xC123;

  EXPECT_EQ(raw[1396 + 8], 'A');
  EXPECT_EQ(ReadU32(&raw[24 * 1396]), 0x01020304u);
  EXPECT_EQ(raw[34900], 'b');
  EXPECT_EQ(raw[36436], 's');
  EXPECT_EQ(ReadU32(&raw[36596]), 0x11223344u);
  EXPECT_EQ(raw[36600], 'u');
  EXPECT_EQ(raw[36720], 'p');
  EXPECT_EQ(ReadU32(&raw[37396]), 0x55667788u);
  EXPECT_EQ(raw[37400], 'S');
  EXPECT_EQ(ReadU32(&raw[39060]), 0xC123u);
}

TEST(SelectUserBlock, FindsOwnBlockTakesFirstFreeAndRefusesWhenFull) {
  std::vector<SharedUserBlock> blocks(3);
  std::memset(blocks.data(), 0, blocks.size() * sizeof(SharedUserBlock));

  EXPECT_EQ(SelectUserBlock(blocks.data(), 3, u"S-1-22-1-100"), 0);
  EXPECT_EQ(SelectUserBlock(blocks.data(), 3, u"S-1-22-1-200"), 1);
  EXPECT_EQ(SelectUserBlock(blocks.data(), 3, u"S-1-22-1-100"), 0);
  // A SID that starts like another one is still another user.
  EXPECT_EQ(SelectUserBlock(blocks.data(), 3, u"S-1-22-1-10"), 2);
  EXPECT_EQ(SelectUserBlock(blocks.data(), 3, u"S-1-22-1-300"), -1);
  EXPECT_EQ(WideField(blocks[0].sid, kBlockSidChars), u"S-1-22-1-100");
}

TEST_F(SharedSectionTest, UserBlockLiesAtItsIndexAndAttachClearsSlotMarks) {
  {
    SharedSection raw;
    ASSERT_TRUE(OpenSharedSection(sectionName_, kSharedSectionSize, raw));
    auto* blocks = static_cast<SharedUserBlock*>(raw.base);
    CopyWide(blocks[0].sid, kBlockSidChars, u"S-1-22-1-999999");
    CopyWide(blocks[1].sid, kBlockSidChars, OwnSid());
    blocks[1].sites[3].trayMenu = 77;
    blocks[1].housekeepingRunning = 1;
    CopyWide(blocks[1].sites[3].name, kSiteNameChars, u"kept");
    CloseSharedSection(raw);
  }
  AgentSharedSection section;
  ASSERT_EQ(section.Attach(true, nullptr, sectionName_), ERROR_SUCCESS);
  EXPECT_EQ(section.BlockIndex(), 1);
  EXPECT_EQ(section.UserBlock()->sites[3].trayMenu, 0u);
  EXPECT_EQ(section.UserBlock()->housekeepingRunning, 0u);
  EXPECT_EQ(WideField(section.UserBlock()->sites[3].name, kSiteNameChars), u"kept");
  EXPECT_EQ(section.UserBlock()->windowMessage, RegisteredMessageId(kAgentWindowMessageName));
  EXPECT_GE(section.UserBlock()->windowMessage, 0xC000u);
  EXPECT_NE(section.Pool(), nullptr);

  const SiteRecord* slot = &section.UserBlock()->sites[24];
  EXPECT_EQ(section.BlockOfConnection(slot), section.UserBlock());
  SiteRecord foreign{};
  EXPECT_EQ(section.BlockOfConnection(&foreign), nullptr);
}

TEST_F(SharedSectionTest, AttachRefusesWhenEveryBlockBelongsToAnotherUser) {
  {
    SharedSection raw;
    ASSERT_TRUE(OpenSharedSection(sectionName_, kSharedSectionSize, raw));
    auto* blocks = static_cast<SharedUserBlock*>(raw.base);
    for (size_t i = 0; i < kUserBlockCount; ++i) {
      CopyWide(blocks[i].sid, kBlockSidChars, u"S-1-22-1-" + Utf8ToUtf16(std::to_string(5000 + i)));
    }
    CloseSharedSection(raw);
  }
  EnvOverride answers("HALVENMOOR_UI_ANSWERS", std::nullopt);
  AgentSharedSection section;
  std::u16string message;
  EXPECT_EQ(section.Attach(true, &message, sectionName_), ERROR_NO_FREE_USER_BLOCK);
  EXPECT_FALSE(section.Attached());
  EXPECT_NE(message.find(u"another user"), std::u16string::npos);

  SharedSection raw;
  ASSERT_TRUE(OpenSharedSection(sectionName_, kSharedSectionSize, raw));
  EXPECT_EQ(WideField(static_cast<SharedUserBlock*>(raw.base)[0].sid, kBlockSidChars),
            u"S-1-22-1-5000");
  CloseSharedSection(raw);
}

TEST_F(SharedSectionTest, SecondProcessOfTheSameUserSelectsTheSameBlock) {
  {
    // Another user's block first, so that "same block" is not just block 0.
    SharedSection raw;
    ASSERT_TRUE(OpenSharedSection(sectionName_, kSharedSectionSize, raw));
    CopyWide(static_cast<SharedUserBlock*>(raw.base)[0].sid, kBlockSidChars, u"S-1-22-1-4242");
    CloseSharedSection(raw);
  }
  int toParent[2];
  int toChild[2];
  ASSERT_EQ(pipe(toParent), 0);
  ASSERT_EQ(pipe(toChild), 0);
  pid_t child = test::StartChild([&] {
    AgentSharedSection section;
    if (section.Attach(true, nullptr, sectionName_) != ERROR_SUCCESS) return 2;
    CopyWide(section.UserBlock()->sites[0].name, kSiteNameChars, u"from child");
    int index = section.BlockIndex();
    if (write(toParent[1], &index, sizeof(index)) != sizeof(index)) return 3;
    char go = 0;
    if (read(toChild[0], &go, 1) != 1) return 4;  // stay attached until the parent has looked
    section.Detach();
    return 0;
  });
  int childIndex = -1;
  ASSERT_EQ(read(toParent[0], &childIndex, sizeof(childIndex)), static_cast<ssize_t>(sizeof(int)));

  AgentSharedSection section;
  ASSERT_EQ(section.Attach(true, nullptr, sectionName_), ERROR_SUCCESS);
  EXPECT_EQ(section.BlockIndex(), childIndex);
  EXPECT_EQ(section.BlockIndex(), 1);
  EXPECT_EQ(WideField(section.UserBlock()->sites[0].name, kSiteNameChars), u"from child");

  char go = 1;
  ASSERT_EQ(write(toChild[1], &go, 1), 1);
  EXPECT_EQ(test::WaitChild(child), 0);
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
}

// A stand-in for the driver: answers every frame on its socket with success
// and remembers the codes and inputs it saw.
class LogLevelDriver {
 public:
  explicit LogLevelDriver(const std::string& path) : listener_(ListenControlSocket(path)) {
    if (listener_ >= 0) thread_ = std::thread([this] { Serve(); });
  }
  ~LogLevelDriver() {
    if (listener_ < 0) return;
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  bool listening() const { return listener_ >= 0; }
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  void Serve() {
    for (;;) {
      int peer = accept(listener_, nullptr, nullptr);
      if (peer < 0) return;
      ControlFrame frame;
      while (ReadControlFrame(peer, frame) == 1) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          frames_.emplace_back(frame.code, frame.input);
        }
        WriteControlAnswer(peer, 0, nullptr, 0);
      }
      close(peer);
    }
  }

  int listener_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> frames_;
};

TEST_F(SharedSectionTest, LogLevelFromTheUserKeyReachesTheDriver) {
  MakeDirs(RuntimeDir());
  LogLevelDriver driver(ControlSocketPath());
  ASSERT_TRUE(driver.listening());
  SetUserLogLevel(1);

  AgentSharedSection section;
  ASSERT_EQ(section.Attach(true, nullptr, sectionName_), ERROR_SUCCESS);
  EXPECT_EQ(logLevel, 1u);

  auto frames = driver.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].first, IOCTL_SET_LOG_LEVEL);
  ASSERT_EQ(frames[0].second.size(), 4u);
  EXPECT_EQ(ReadU32(frames[0].second.data()), 1u);
}

TEST_F(SharedSectionTest, WithoutTheKeyTheDriverGetsTheCurrentLevel) {
  MakeDirs(RuntimeDir());
  LogLevelDriver driver(ControlSocketPath());
  ASSERT_TRUE(driver.listening());
  logLevel = 0x30;
  EXPECT_EQ(SetDriverLogLevel(HKEY_CURRENT_USER), 0x30u);
  auto frames = driver.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(ReadU32(frames[0].second.data()), 0x30u);

  // 0xFFFFFFFF in the key stands for "off".
  SetUserLogLevel(0xFFFFFFFF);
  EXPECT_EQ(SetDriverLogLevel(HKEY_CURRENT_USER), 0u);
}

TEST_F(SharedSectionTest, MissingDriverStillSetsTheAgentsLevel) {
  SetUserLogLevel(4);
  logLevel = 0;
  EXPECT_EQ(SetDriverLogLevel(HKEY_CURRENT_USER), 4u);
  EXPECT_EQ(logLevel, 4u);
}

TEST_F(SharedSectionTest, ProxyValuesAreReadIntoTheBlockWithinTheirLimits) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  std::u16string server(70, u'x');
  RegSetValueExW(key, u"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                 static_cast<DWORD>((server.size() + 1) * 2));
  DWORD port = 3128;
  RegSetValueExW(key, u"ProxyPort", 0, REG_DWORD, reinterpret_cast<BYTE*>(&port), 4);
  RegCloseKey(key);

  std::vector<SharedUserBlock> block(1);
  std::memset(block.data(), 0, sizeof(SharedUserBlock));
  ReadProxySettings(block[0]);
  EXPECT_EQ(block[0].proxyPort, 3128u);
  EXPECT_EQ(WideField(block[0].proxyServer, 80).size(), 39u);
  EXPECT_EQ(block[0].proxyUser[0], u'\0');
}

// The shared block outlives a killed agent: the proxy password stays in the
// agent's own memory, never in the block.
TEST_F(SharedSectionTest, TheProxyPasswordStaysOutOfTheBlock) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  std::u16string user = u"proxyman", password = u"hunter2";
  RegSetValueExW(key, u"ProxyUser", 0, REG_SZ, reinterpret_cast<const BYTE*>(user.c_str()),
                 static_cast<DWORD>((user.size() + 1) * 2));
  RegSetValueExW(key, u"ProxyPassword", 0, REG_SZ, reinterpret_cast<const BYTE*>(password.c_str()),
                 static_cast<DWORD>((password.size() + 1) * 2));
  RegCloseKey(key);

  std::vector<SharedUserBlock> block(1);
  std::memset(block.data(), 0, sizeof(SharedUserBlock));
  block[0].proxyPassword[0] = u'x';  // whatever an older agent left there goes too
  ReadProxySettings(block[0]);
  EXPECT_EQ(WideField(block[0].proxyUser, 60), u"proxyman");
  const char16_t zeros[60] = {};
  EXPECT_EQ(std::memcmp(block[0].proxyPassword, zeros, sizeof zeros), 0);
  EXPECT_EQ(ProxyPassword(), u"hunter2");
  ForgetAllSitePasswords();
  EXPECT_EQ(ProxyPassword(), u"");
}

// A section another user made first is refused with a reason, never used.
TEST_F(SharedSectionTest, ASectionOthersMayOpenIsRefused) {
  std::string objectName = SharedSectionObjectName(sectionName_);
  int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  fchmod(fd, 0666);
  close(fd);
  AgentSharedSection section;
  std::u16string message;
  EXPECT_EQ(section.Attach(true, &message, sectionName_), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(section.Attached());
  EXPECT_NE(message.find(u"can be opened by other users"), std::u16string::npos);
}

// Another user's object under the name is never used, and no longer keeps
// this user's agent from starting: the table is then the agent's alone.
TEST_F(SharedSectionTest, AnotherUsersObjectUnderTheNameLeavesTheTablePrivate) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give an object to another user";
  int fd = shm_open(SharedSectionObjectName(sectionName_).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchown(fd, 65534, 65534), 0);
  AgentSharedSection section;
  ASSERT_EQ(section.Attach(true, nullptr, sectionName_), ERROR_SUCCESS);
  EXPECT_EQ(WideField(section.UserBlock()->sid, kBlockSidChars), OwnSid());
  CopyWide(section.UserBlock()->sites[0].name, kSiteNameChars, u"mine");
  EXPECT_EQ(WideField(section.UserBlock()->sites[0].name, kSiteNameChars), u"mine");
  struct stat info {};
  ASSERT_EQ(fstat(fd, &info), 0);
  EXPECT_EQ(info.st_size, 0);  // nothing of this user's reached their object
  close(fd);
}

}  // namespace
}  // namespace hvm
