#include "platform/shared_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

// Another user who makes the object first must not get to read or steer it:
// one the caller does not own, or that others may open, is refused.
class ForeignSectionTest : public ::testing::Test {
 protected:
  void TearDown() override { shm_unlink(objectName_.c_str()); }
  // Makes the object as an attacker would, 0666.
  int PreCreate() {
    int fd = shm_open(objectName_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) fchmod(fd, 0666);  // past the umask
    return fd;
  }
  const std::string name_ = "HvmForeignSection" + std::to_string(getpid());
  const std::string objectName_ = SharedSectionObjectName(name_);
};

TEST_F(ForeignSectionTest, AnObjectOthersMayOpenIsRefused) {
  int fd = PreCreate();
  ASSERT_GE(fd, 0);
  close(fd);
  SharedSection section;
  std::string problem;
  EXPECT_FALSE(OpenSharedSection(name_, 64, section, &problem));
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(section.base, nullptr);
  EXPECT_NE(problem.find("/dev/shm" + objectName_), std::string::npos) << problem;
  EXPECT_NE(problem.find("can be opened by other users (mode 0666)"), std::string::npos) << problem;
}

TEST_F(ForeignSectionTest, AnObjectOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give an object to another user";
  int fd = PreCreate();
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, 0600), 0);
  ASSERT_EQ(fchown(fd, 65534, 65534), 0);
  close(fd);
  SharedSection section;
  std::string problem;
  EXPECT_FALSE(OpenSharedSection(name_, 64, section, &problem));
  EXPECT_NE(problem.find("belongs to uid 65534, not to uid 0"), std::string::npos) << problem;
}

TEST_F(ForeignSectionTest, ANewObjectIsTheCallersAlone) {
  SharedSection section;
  ASSERT_TRUE(OpenSharedSection(name_, 64, section));
  struct stat info {};
  int fd = shm_open(objectName_.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fstat(fd, &info), 0);
  close(fd);
  EXPECT_EQ(info.st_uid, geteuid());
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  CloseSharedSection(section);
}

}  // namespace
}  // namespace hvm
