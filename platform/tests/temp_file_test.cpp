#include "platform/temp_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/tests/test_support.h"

namespace hvm {
namespace {

TEST(TempFileTest, NamelessHvmFileInTheTemporaryFolder) {
  test::ScratchDir dir;
  test::EnvOverride tmp("TMPDIR", dir.path());
  int fd = CreateTempLocalFile();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "the name is gone at once";

  char target[512] = {};
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  std::string where = target;
  EXPECT_EQ(where.rfind(dir.path() + "/HVM", 0), 0u) << where;
  EXPECT_NE(where.find("(deleted)"), std::string::npos) << where;
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);

  ASSERT_EQ(pwrite(fd, "copy", 4, 0), 4);
  char back[4];
  ASSERT_EQ(pread(fd, back, 4, 0), 4);
  EXPECT_EQ(std::string(back, 4), "copy");
  close(fd);
}

TEST(TempFileTest, MissingFolderFails) {
  test::EnvOverride tmp("TMPDIR", "/nonexistent-hvm-folder");
  EXPECT_EQ(CreateTempLocalFile(), -1);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace hvm
