// The runtime folders: no shared fallback, and a folder laid out by another
// user (or a link in its place) is refused with a sentence that says why.
#include "platform/runtime_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/registry.h"
#include "platform/tests/test_support.h"

namespace hvm {
namespace {

using test::EnvOverride;
using test::RunInChild;
using test::ScratchDir;

constexpr uid_t kOtherUid = 65534;  // nobody

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(OwnFolder, IsMadePrivateAndMadeAgainWithoutComplaint) {
  ScratchDir dir;
  std::string problem;
  ASSERT_TRUE(PrepareOwnFolder(dir / "a/b/run", 0700, problem)) << problem;
  EXPECT_EQ(ModeOf(dir / "a/b/run"), 0700u);
  EXPECT_TRUE(PrepareOwnFolder(dir / "a/b/run", 0700, problem)) << problem;
  // Readable by others is fine for the driver's shared folder; writable is not.
  ASSERT_EQ(chmod((dir / "a/b/run").c_str(), 0755), 0);
  EXPECT_TRUE(CheckOwnFolder(dir / "a/b/run", problem)) << problem;
}

TEST(OwnFolder, RefusesALinkAFileAndAFolderOthersMayWriteIn) {
  ScratchDir dir;
  ASSERT_EQ(mkdir((dir / "elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "mnt").c_str()), 0);
  std::string problem;
  EXPECT_FALSE(PrepareOwnFolder(dir / "mnt", 0755, problem));
  EXPECT_NE(problem.find("is a symbolic link"), std::string::npos) << problem;

  test::WriteWholeFile(dir / "plain", "x");
  EXPECT_FALSE(PrepareOwnFolder(dir / "plain", 0700, problem));
  EXPECT_NE(problem.find("is not a folder"), std::string::npos) << problem;

  ASSERT_EQ(mkdir((dir / "open").c_str(), 0700), 0);
  ASSERT_EQ(chmod((dir / "open").c_str(), 01777), 0);
  EXPECT_FALSE(PrepareOwnFolder(dir / "open", 0700, problem));
  EXPECT_NE(problem.find("can be written by other users (mode 1777)"), std::string::npos) << problem;
}

TEST(OwnFolder, RefusesAFolderAnotherUserMadeFirst) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  ScratchDir dir;
  ASSERT_EQ(mkdir((dir / "run").c_str(), 0700), 0);
  ASSERT_EQ(chown((dir / "run").c_str(), kOtherUid, kOtherUid), 0);
  std::string problem;
  EXPECT_FALSE(PrepareOwnFolder(dir / "run", 0700, problem));
  EXPECT_NE(problem.find("belongs to uid 65534, not to uid 0"), std::string::npos) << problem;
}

// A user without XDG_RUNTIME_DIR gets no folder at all (there used to be a
// /tmp/halvenmoor-<uid> fallback that any other user could make first).
TEST(RuntimeFolders, AUserWithoutARuntimeFolderGetsNoneInTmp) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  EnvOverride runtime("HALVENMOOR_RUNTIME_DIR", std::nullopt);
  EnvOverride xdg("XDG_RUNTIME_DIR", std::nullopt);
  int verdict = RunInChild([] {
    if (setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0) return 10;
    if (!RuntimeDir().empty()) return 1;
    if (ControlSocketPath() != "/run/halvenmoor/qlode") return 2;
    std::string problem;
    if (PrepareOwnFolder(RuntimeDir(), 0700, problem)) return 3;
    return problem.find("XDG_RUNTIME_DIR") != std::string::npos ? 0 : 4;
  });
  EXPECT_EQ(verdict, 0);
}

// The driver's folder of a driver started as root is not the agent's: the
// agent's lock and socket go to the user's own runtime folder.
TEST(RuntimeFolders, AgentStateLeavesAFolderItDoesNotOwn) {
  ScratchDir dir;
  EnvOverride runtime("HALVENMOOR_RUNTIME_DIR", dir / "driver");
  EnvOverride xdg("XDG_RUNTIME_DIR", dir / "user");
  EXPECT_EQ(AgentStateDir(), dir / "driver") << "not made yet: it will be the caller's";
  ASSERT_EQ(mkdir((dir / "driver").c_str(), 0755), 0);
  EXPECT_EQ(AgentStateDir(), dir / "driver");
  EXPECT_EQ(InstanceSocketPath(), dir / "driver/instance");
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  ASSERT_EQ(chown((dir / "driver").c_str(), kOtherUid, kOtherUid), 0);
  EXPECT_EQ(AgentStateDir(), dir / "user/halvenmoor");
  EXPECT_EQ(ControlSocketPath(), dir / "driver/qlode") << "the driver is still found there";
}

// A user finds their own driver first, else the machine's.
TEST(RuntimeFolders, AUserFindsTheirOwnDriverElseTheMachines) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  ScratchDir dir;
  ASSERT_EQ(chown(dir.path().c_str(), kOtherUid, kOtherUid), 0);
  EnvOverride runtime("HALVENMOOR_RUNTIME_DIR", std::nullopt);
  EnvOverride xdg("XDG_RUNTIME_DIR", dir.path());
  int verdict = RunInChild([&dir] {
    if (setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0) return 10;
    if (RuntimeDir() != dir / "halvenmoor") return 1;
    bool machineDriver = access("/run/halvenmoor/qlode", F_OK) == 0;
    std::string expected = machineDriver ? "/run/halvenmoor" : dir / "halvenmoor";
    if (DriverDir() != expected) return 2;
    if (AgentStateDir() != dir / "halvenmoor") return 3;
    return 0;
  });
  EXPECT_EQ(verdict, 0);
}

// Without HOME and without an account, nothing is placed under /tmp, where
// another user could have made the folder first.
TEST(RuntimeFolders, NoHomeMeansNoSharedFallback) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become a user without an account";
  EnvOverride home("HOME", std::nullopt);
  EnvOverride config("XDG_CONFIG_HOME", std::nullopt);
  EnvOverride state("XDG_STATE_HOME", std::nullopt);
  EnvOverride registry("HALVENMOOR_USER_REG", std::nullopt);
  int verdict = RunInChild([] {
    if (setgid(61234) != 0 || setuid(61234) != 0) return 10;  // a uid without an account
    if (!HomeDir().empty()) return 1;
    if (UserRegistryPath().rfind("/tmp", 0) == 0) return 2;
    if (StateDir().rfind("/tmp", 0) == 0) return 3;
    return 0;
  });
  EXPECT_EQ(verdict, 0);
}

}  // namespace
}  // namespace hvm
