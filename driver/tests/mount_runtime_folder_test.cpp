// quenlode refuses a runtime folder or mount point laid out by someone else:
// root would otherwise listen or mount where another user points.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/tests/test_support.h"

extern char** environ;

namespace {

using hvm::test::ScratchDir;

struct Outcome {
  int exitCode = -1;
  std::string errors;
};

// Runs the driver with the given runtime folder; every case here must be
// refused before anything is mounted, so the driver ends by itself.
Outcome RunDriver(const std::string& runtime, const std::string& scratch) {
  std::string errorsPath = scratch + "/driver.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errorsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string variable = "HALVENMOOR_RUNTIME_DIR=" + runtime;
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("HALVENMOOR_RUNTIME_DIR=", 0) != 0) env.push_back(*e);
  env.push_back(variable.data());
  env.push_back(nullptr);
  const char* argv[] = {QUENLODE_BINARY, nullptr};
  pid_t pid = 0;
  Outcome outcome;
  if (posix_spawn(&pid, QUENLODE_BINARY, &actions, nullptr, const_cast<char**>(argv), env.data()) == 0) {
    // A driver that accepted the folder would serve on: stop it after a while.
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited) {
      if (waited == 100) kill(pid, SIGTERM);
      if (waited == 200) kill(pid, SIGKILL);
      usleep(50000);
    }
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  outcome.errors = hvm::test::ReadWholeFile(errorsPath);
  return outcome;
}

TEST(DriverRuntimeFolder, AMountPointThatIsALinkIsRefused) {
  ScratchDir dir;
  std::string runtime = dir / "run";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dir / "target").c_str(), 0755), 0);
  ASSERT_EQ(symlink((dir / "target").c_str(), (runtime + "/mnt").c_str()), 0);
  Outcome outcome = RunDriver(runtime, dir.path());
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.errors.find(runtime + "/mnt is a symbolic link"), std::string::npos)
      << outcome.errors;
  EXPECT_EQ(access((runtime + "/qlode").c_str(), F_OK), -1) << "nothing listens there";
}

TEST(DriverRuntimeFolder, AFolderOthersMayWriteInIsRefused) {
  ScratchDir dir;
  std::string runtime = dir / "run";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  ASSERT_EQ(chmod(runtime.c_str(), 0777), 0);
  Outcome outcome = RunDriver(runtime, dir.path());
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.errors.find("can be written by other users"), std::string::npos) << outcome.errors;
}

TEST(DriverRuntimeFolder, AFolderAnotherUserMadeIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  ScratchDir dir;
  std::string runtime = dir / "run";
  ASSERT_EQ(mkdir(runtime.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((runtime + "/mnt").c_str(), 0755), 0);
  ASSERT_EQ(chown(runtime.c_str(), 65534, 65534), 0);
  Outcome outcome = RunDriver(runtime, dir.path());
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.errors.find("belongs to uid 65534"), std::string::npos) << outcome.errors;
}

}  // namespace
