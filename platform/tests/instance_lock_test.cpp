#include "platform/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/tests/test_support.h"

namespace hvm {
namespace {

using test::EnvOverride;
using test::RunInChild;
using test::ScratchDir;

const char kAgentMutex[] = "QUENLODE-AC689DE5-8C01-4dca-B0CA-3B5B1AD3A5D8";

enum ChildVerdict { kRefusedAsRunning = 10, kAcquired = 11, kFailedOtherwise = 12 };

int TryFromChild() {
  InstanceLock lock;
  if (lock.Acquire(kAgentMutex)) return kAcquired;
  return lock.alreadyExists() ? kRefusedAsRunning : kFailedOtherwise;
}

class InstanceLockTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
  EnvOverride runtime_{"HALVENMOOR_RUNTIME_DIR", dir_ / "run"};
};

TEST_F(InstanceLockTest, SecondProcessFindsTheFirstRunning) {
  EXPECT_FALSE(InstanceLockHeld(kAgentMutex)) << "nobody has started yet";
  InstanceLock first;
  ASSERT_TRUE(first.Acquire(kAgentMutex));
  EXPECT_FALSE(first.alreadyExists());

  EXPECT_EQ(RunInChild(TryFromChild), kRefusedAsRunning);
  EXPECT_EQ(RunInChild([] { return InstanceLockHeld(kAgentMutex) ? 1 : 0; }), 1);

  first.Release();
  EXPECT_EQ(RunInChild([] { return InstanceLockHeld(kAgentMutex) ? 1 : 0; }), 0);
  EXPECT_EQ(RunInChild(TryFromChild), kAcquired);
}

TEST_F(InstanceLockTest, ProbingDoesNotTakeTheLock) {
  EXPECT_FALSE(InstanceLockHeld(kAgentMutex));
  EXPECT_EQ(RunInChild(TryFromChild), kAcquired);
  InstanceLock lock;
  EXPECT_TRUE(lock.Acquire(kAgentMutex)) << "a probe or an ended process leaves nothing held";
  InstanceLock again;
  EXPECT_FALSE(again.Acquire(kAgentMutex)) << "a second lock in the same process also sees it";
  EXPECT_TRUE(again.alreadyExists());
}

// The lock lives in a folder of the user's own: one made by another user
// first is refused with a reason, and a driver's folder the agent does not
// own (a driver started as root) sends the lock to the user's runtime folder.
TEST_F(InstanceLockTest, AForeignFolderIsRefusedWithAReason) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  ASSERT_EQ(mkdir((dir_ / "run").c_str(), 0777), 0);
  ASSERT_EQ(chown((dir_ / "run").c_str(), 65534, 65534), 0);
  EnvOverride noUserFolder("XDG_RUNTIME_DIR", std::nullopt);
  InstanceLock lock;
  EXPECT_FALSE(lock.Acquire(kAgentMutex));
  EXPECT_FALSE(lock.alreadyExists());
  EXPECT_NE(lock.problem().find("XDG_RUNTIME_DIR"), std::string::npos) << lock.problem();

  EnvOverride userFolder("XDG_RUNTIME_DIR", dir_ / "user");
  ASSERT_EQ(mkdir((dir_ / "user").c_str(), 0700), 0);
  ASSERT_TRUE(lock.Acquire(kAgentMutex)) << lock.problem();
  EXPECT_EQ(access((dir_ / "user/halvenmoor").c_str(), F_OK), 0);
  EXPECT_EQ(RunInChild(TryFromChild), kRefusedAsRunning);
}

TEST_F(InstanceLockTest, ALinkInPlaceOfTheLockFileIsNotFollowed) {
  ASSERT_EQ(mkdir((dir_ / "run").c_str(), 0700), 0);
  std::string target = dir_ / "victim";
  test::WriteWholeFile(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), (dir_ / "run/" + std::string(kAgentMutex) + ".lock").c_str()), 0);
  InstanceLock lock;
  EXPECT_FALSE(lock.Acquire(kAgentMutex));
  EXPECT_NE(lock.problem().find("cannot be opened"), std::string::npos) << lock.problem();
  EXPECT_EQ(test::ReadWholeFile(target), "keep");
}

}  // namespace
}  // namespace hvm
