#include "platform/temp_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

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

TEST(TempFileTest, FilesMadeAheadAreFreshNamelessAndFollowTheFolder) {
  test::ScratchDir first, second;
  std::vector<int> fds;
  std::set<ino_t> inodes;
  auto expectFresh = [&](int fd, const std::string& folder) {
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_nlink, 0u);
    EXPECT_TRUE(inodes.insert(st.st_ino).second) << "a file is handed out once";
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    char target[512] = {};
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind(folder + "/HVM", 0), 0u) << target;
    fds.push_back(fd);
  };
  {
    test::EnvOverride tmp("TMPDIR", first.path());
    for (int i = 0; i < 20; ++i) {
      int fd = CreateTempLocalFile();
      expectFresh(fd, first.path());
      ASSERT_EQ(pwrite(fd, "used", 4, 0), 4);  // what one holds never shows in another
    }
    test::EnvOverride other("TMPDIR", second.path());
    for (int i = 0; i < 3; ++i) expectFresh(CreateTempLocalFile(), second.path());
    test::EnvOverride missing("TMPDIR", "/nonexistent-hvm-folder");
    EXPECT_EQ(CreateTempLocalFile(), -1);
    WaitForSpareTempFiles();
  }
  for (int fd : fds) close(fd);
  EXPECT_TRUE(std::filesystem::is_empty(first.path()));
  EXPECT_TRUE(std::filesystem::is_empty(second.path()));
}

TEST(TempFileTest, MissingFolderFails) {
  test::EnvOverride tmp("TMPDIR", "/nonexistent-hvm-folder");
  EXPECT_EQ(CreateTempLocalFile(), -1);
  EXPECT_EQ(errno, ENOENT);
}

std::set<std::string> ThreadsOfThisProcess() {
  std::set<std::string> ids;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(task.path().filename().string());
  return ids;
}

TEST(TempFileTest, OneLastingThreadMakesTheFilesAhead) {
  test::ScratchDir dir;
  test::EnvOverride tmp("TMPDIR", dir.path());
  std::vector<int> fds;
  fds.push_back(CreateTempLocalFile());
  fds.push_back(CreateTempLocalFile());  // the second one asks for files ahead
  WaitForSpareTempFiles();
  std::set<std::string> before = ThreadsOfThisProcess(), seen;
  for (int i = 0; i < 30; ++i) {
    int fd = CreateTempLocalFile();
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
    for (const std::string& id : ThreadsOfThisProcess()) seen.insert(id);  // while it refills
    WaitForSpareTempFiles();
  }
  // Only the threads there before: no thread made (and ended) for each refill.
  for (const std::string& id : seen) EXPECT_EQ(before.count(id), 1u) << "thread " << id;
  std::set<ino_t> inodes;
  for (int fd : fds) {
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_TRUE(inodes.insert(st.st_ino).second);
    close(fd);
  }
}

}  // namespace
}  // namespace hvm
