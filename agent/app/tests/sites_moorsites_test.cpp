// moorsites end to end: the built program on a scratch HOME and registry file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/tests/test_support.h"

namespace hvm {
namespace {

using test::ScratchDir;

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

class MoorsitesTest : public ::testing::Test {
 protected:
  std::string Program() {
    const char* binary = std::getenv("HVM_BINARY_DIR");
#ifdef HVM_BINARY_DIR_PATH
    if (binary == nullptr) binary = HVM_BINARY_DIR_PATH;
#endif
    return std::string(binary != nullptr ? binary : ".") + "/bin/moorsites";
  }

  // Runs moorsites with args; input goes to its standard input.
  RunResult Run(const std::vector<std::string>& args, const std::string& input = "") {
    std::string inPath = scratch_ / "stdin";
    std::string outPath = scratch_ / "stdout";
    std::string errPath = scratch_ / "stderr";
    test::WriteWholeFile(inPath, input);
    pid_t pid = fork();
    if (pid == 0) {
      setenv("HOME", scratch_.path().c_str(), 1);
      setenv("HALVENMOOR_USER_REG", (scratch_ / "user.reg").c_str(), 1);
      setenv("HALVENMOOR_MACHINE_REG", (scratch_ / "system.reg").c_str(), 1);
      setenv("XDG_STATE_HOME", (scratch_ / "state").c_str(), 1);
      setenv("XDG_DATA_HOME", (scratch_ / "data").c_str(), 1);
      unsetenv("HALVENMOOR_UI_ANSWERS");
      int in = open(inPath.c_str(), O_RDONLY);
      int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> argv;
      std::string program = Program();
      argv.push_back(program.data());
      std::vector<std::string> copies(args);
      for (std::string& arg : copies) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    RunResult result;
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = test::ReadWholeFile(outPath);
    result.err = test::ReadWholeFile(errPath);
    return result;
  }

  ScratchDir scratch_;
};

TEST_F(MoorsitesTest, HelpAndUsageErrors) {
  RunResult help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* text : {"list", "show NAME", "add NAME --url URL", "--password-stdin",
                           "rename OLD NEW", "clone NAME", "delete NAME", "Exit status"}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(Run({}).status, 2);
  EXPECT_EQ(Run({"frobnicate"}).status, 2);
  EXPECT_EQ(Run({"show"}).status, 2);
  RunResult badValue = Run({"set", "First Https example", "--retry", "many"});
  EXPECT_EQ(badValue.status, 2);
  EXPECT_NE(badValue.err.find("--retry"), std::string::npos);
  EXPECT_EQ(Run({"add", "x", "--login", "bob"}).status, 2);  // no --url
  EXPECT_EQ(Run({"set", "First Https example", "--colour", "blue"}).status, 2);
}

TEST_F(MoorsitesTest, FreshUserSeesTheExamplesAndManagesSites) {
  RunResult list = Run({"list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("First Https example"), std::string::npos);
  EXPECT_NE(list.out.find("Second ftp example"), std::string::npos);
  EXPECT_EQ(list.out.find("(auto)"), std::string::npos);

  RunResult add = Run({"add", "Team dav", "--url", "http://127.0.0.1:8080/dav/", "--login", "bob",
                       "--password-stdin", "--auto", "1", "--retry", "3"},
                      "s3cret!\n");
  ASSERT_EQ(add.status, 0) << add.err;
  EXPECT_EQ(test::ReadWholeFile(scratch_ / "user.reg").find("s3cret!"), std::string::npos);

  RunResult show = Run({"show", "team DAV"});
  ASSERT_EQ(show.status, 0) << show.err;
  EXPECT_NE(show.out.find("http://127.0.0.1:8080/dav/"), std::string::npos);
  EXPECT_NE(show.out.find("Password:                 saved"), std::string::npos);
  EXPECT_NE(show.out.find("Drive:                    X"), std::string::npos);
  EXPECT_NE(show.out.find("Auto:                     1"), std::string::npos);
  EXPECT_NE(show.out.find("Retry:                    3"), std::string::npos);

  // The time-out rule of the options: 0 is stored as 1, above 120 as 120.
  ASSERT_EQ(Run({"set", "Team dav", "--resolve", "0", "--connect", "500", "--send", "120"}).status, 0);
  show = Run({"show", "Team dav"});
  EXPECT_NE(show.out.find("Resolve:                  1\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("Connect:                  120\n"), std::string::npos);
  EXPECT_NE(show.out.find("Send:                     120\n"), std::string::npos);
  EXPECT_NE(test::ReadWholeFile(scratch_ / "user.reg").find("\"Connect\"=dword:00000078"), std::string::npos);

  ASSERT_EQ(Run({"set", "Team dav", "--drive", "k", "--no-save-password"}).status, 0);
  show = Run({"show", "Team dav"});
  EXPECT_NE(show.out.find("Drive:                    K"), std::string::npos);
  EXPECT_NE(show.out.find("Password:                 not saved"), std::string::npos);

  ASSERT_EQ(Run({"rename", "Team dav", "Shared"}).status, 0);
  ASSERT_EQ(Run({"clone", "Shared", "Shared two"}).status, 0);
  list = Run({"list"});
  EXPECT_NE(list.out.find("Shared two"), std::string::npos);
  EXPECT_EQ(list.out.find("Team dav"), std::string::npos);
  EXPECT_EQ(list.out.find("Copy of"), std::string::npos);

  ASSERT_EQ(Run({"delete", "Shared two"}).status, 0);
  EXPECT_EQ(Run({"list"}).out.find("Shared two"), std::string::npos);
}

TEST_F(MoorsitesTest, RefusalsExitWithOneAndSayWhy) {
  ASSERT_EQ(Run({"list"}).status, 0);
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::string longName(63, 'n');
  std::filesystem::create_directories(scratch_ / "Halvenmoor");
  ASSERT_EQ(symlink("/", (scratch_ / "Halvenmoor/Q").c_str()), 0);
  const Case cases[] = {
      {{"show", "nobody"}, "no site named 'nobody'"},
      {{"add", "x", "--url", "gopher://h/"}, "The url is not correct"},
      {{"add", longName, "--url", "http://h/"}, "connection name has been exceeded"},
      {{"add", "a/b", "--url", "http://h/"}, "cannot contain the symbols"},
      {{"add", "y", "--url", "http://h/", "--drive", "Q"}, "drive letter Q is taken"},
      {{"add", "z", "--url", "http://h/", "--drive", "R"}, "First Https example"},
      {{"add", "second FTP example", "--url", "http://h/"}, "exists already"},
      {{"rename", "First Https example", "Second ftp example"}, "exists already"},
      {{"clone", "First Https example", "second FTP example"}, "exists already"},
      {{"set", "nobody", "--auto", "1"}, "no site named"},
      {{"set", "Second ftp example", "--url", "http://h/" + std::string(260, 'u')}, "259"},
  };
  for (const Case& c : cases) {
    RunResult result = Run(c.args);
    EXPECT_EQ(result.status, 1) << c.args[0] << " " << c.args[1];
    EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
  }
  EXPECT_EQ(Run({"list"}).out.find("Copy of"), std::string::npos);
  ASSERT_EQ(Run({"delete", "First Https example"}).status, 0);
  RunResult last = Run({"delete", "Second ftp example"});
  EXPECT_EQ(last.status, 1);
  EXPECT_NE(last.err.find("You cannot delete the last entry"), std::string::npos);
}

}  // namespace
}  // namespace hvm
