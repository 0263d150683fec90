#include "platform/shared_memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "platform/tests/test_support.h"

namespace hvm {
namespace {

TEST(SharedMemoryTest, ProcessesMeetInOneZeroFilledSection) {
  const std::string name = "HvmSectionTest" + std::to_string(getpid());
  SharedSection first;
  ASSERT_TRUE(OpenSharedSection(name, 44, first));
  EXPECT_FALSE(first.existed);
  const char zeros[44] = {};
  EXPECT_EQ(std::memcmp(first.base, zeros, sizeof zeros), 0);

  int childSaw = test::RunInChild([&] {
    SharedSection view;
    if (!OpenSharedSection(name, 44, view) || !view.existed) return 1;
    std::memcpy(view.base, "from the child", 15);
    CloseSharedSection(view);
    return 0;
  });
  EXPECT_EQ(childSaw, 0);
  EXPECT_STREQ(static_cast<const char*>(first.base), "from the child");

  EXPECT_EQ(SharedSectionObjectName(name).rfind("/" + name, 0), 0u);
  CloseSharedSection(first);
  EXPECT_EQ(first.base, nullptr);
  EXPECT_TRUE(RemoveSharedSection(name));
}

TEST(SharedMemoryTest, NamesWithASlashAreRefused) {
  SharedSection section;
  EXPECT_FALSE(OpenSharedSection("a/b", 16, section));
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
}  // namespace hvm
