#include "platform/instance_lock.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace hvm
