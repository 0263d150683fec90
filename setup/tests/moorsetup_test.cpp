// moorsetup itself, run into a throw-away root: what it writes, what it
// refuses, and what --uninstall takes back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace hvm {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int code = -1;
  std::string output;  // standard output and error together
};

Outcome RunShell(const std::string& command) {
  Outcome outcome;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return outcome;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) outcome.output.append(buffer.data(), n);
  int status = pclose(pipe);
  outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class MoorsetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvm-setup-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    program_ = std::string(HVM_BINARY_DIR_PATH) + "/bin/moorsetup";
    fs::create_directories(root_ + "/usr/bin");
    std::ofstream(root_ + "/usr/bin/quenlode") << "driver";
    fs::create_directories(root_ + "/etc/halvenmoor");
  }
  void TearDown() override { fs::remove_all(root_); }

  Outcome Setup(const std::string& arguments) {
    return RunShell("env -u HALVENMOOR_MACHINE_REG '" + program_ + "' " + arguments + " --root '" + root_ +
                    "' --bindir /usr/bin");
  }
  std::string Registry() { return Read(root_ + "/etc/halvenmoor/system.reg"); }

  std::string root_, program_;
};

TEST_F(MoorsetupTest, InstallsUnitsAndRecordsIntoTheRoot) {
  std::ofstream(root_ + "/etc/halvenmoor/system.reg")
      << "Windows Registry Editor Version 5.00\n\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\Order]\n"
         "\"ProviderOrder\"=\"a,quenlode,b\"\n\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\WebClient]\n"
         "\"Start\"=dword:00000002\n";
  Outcome first = Setup("");
  ASSERT_EQ(first.code, 0) << first.output;
  std::string driverUnit = Read(root_ + "/etc/systemd/system/quenlode.service");
  EXPECT_NE(driverUnit.find("ExecStart=/usr/bin/quenlode"), std::string::npos);
  EXPECT_NE(Read(root_ + "/etc/systemd/user/moorgate.service").find("ExecStart=/usr/bin/moorgate"),
            std::string::npos);
  std::string reg = Registry();
  EXPECT_NE(reg.find("\"ProviderOrder\"=\"quenlode,a,b\""), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"Start\"=dword:00000004"), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"DisplayName\"=\"WebDAV File System\""), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"Name\"=\"Halvenmoor Network\""), std::string::npos) << reg;
  // A second run changes nothing.
  ASSERT_EQ(Setup("").code, 0);
  EXPECT_EQ(Registry(), reg);

  Outcome removed = Setup("--uninstall");
  ASSERT_EQ(removed.code, 0) << removed.output;
  EXPECT_FALSE(fs::exists(root_ + "/etc/systemd/system/quenlode.service"));
  EXPECT_FALSE(fs::exists(root_ + "/etc/systemd/user/moorgate.service"));
  reg = Registry();
  EXPECT_EQ(reg.find("WebDAV File System"), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"ProviderOrder\"=\"a,b\""), std::string::npos) << reg;
}

TEST_F(MoorsetupTest, UnitsAreReadableByEveryoneWhateverTheUmask) {
  Outcome outcome = RunShell("umask 077 && env -u HALVENMOOR_MACHINE_REG '" + program_ + "' --root '" + root_ +
                             "' --bindir /usr/bin");
  ASSERT_EQ(outcome.code, 0) << outcome.output;
  for (const char* unit : {"/etc/systemd/system/quenlode.service", "/etc/systemd/user/moorgate.service"}) {
    struct stat info {};
    ASSERT_EQ(lstat((root_ + unit).c_str(), &info), 0) << unit;
    EXPECT_TRUE(S_ISREG(info.st_mode)) << unit;
    EXPECT_EQ(info.st_mode & 07777, 0644u) << unit;
  }
}

TEST_F(MoorsetupTest, WithoutTheRedirectorNothingOfItIsMade) {
  ASSERT_EQ(Setup("--no-start").code, 0);
  EXPECT_EQ(Registry().find("WebClient"), std::string::npos);
  EXPECT_NE(Registry().find("\"ProviderOrder\"=\"quenlode\""), std::string::npos);
}

TEST_F(MoorsetupTest, TheDesktopProxyIsCopiedOnlyWhenAsked) {
  ASSERT_EQ(RunShell("HTTP_PROXY=http://proxy.lan:3128/ env -u HALVENMOOR_MACHINE_REG '" + program_ +
                     "' --root '" + root_ + "' --bindir /usr/bin")
                .code,
            0);
  EXPECT_EQ(Registry().find("WinHttpSettings"), std::string::npos);
  ASSERT_EQ(RunShell("HTTP_PROXY=http://proxy.lan:3128/ env -u HALVENMOOR_MACHINE_REG '" + program_ + "' 1 --root '" +
                     root_ + "' --bindir /usr/bin")
                .code,
            0);
  // 24, 0, 3, then the server's length 14 and "proxy.lan:3128".
  EXPECT_NE(Registry().find("\"WinHttpSettings\"=hex:18,00,00,00,00,00,00,00,03,00,00,00,0e,00,00,00,70,72"),
            std::string::npos)
      << Registry();
}

TEST_F(MoorsetupTest, FailuresAreReportedWithTheirExitCodes) {
  fs::remove(root_ + "/usr/bin/quenlode");
  Outcome missing = Setup("");
  EXPECT_EQ(missing.code, 3);
  EXPECT_NE(missing.output.find("moorsetup: Error by opening driver: SYS driver is not found"), std::string::npos)
      << missing.output;
  EXPECT_FALSE(fs::exists(root_ + "/etc/systemd/system/quenlode.service"));
  EXPECT_EQ(RunShell("'" + program_ + "' --bogus").code, 2);
  // Without root (and without --root) nothing is touched.
  std::string asUser = getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  Outcome refused = RunShell(asUser + "'" + program_ + "' --dry-run");
  EXPECT_EQ(refused.code, 4) << refused.output;
  EXPECT_NE(refused.output.find("must be run as root"), std::string::npos);
}

// A root another user holds could send root's writes anywhere through a link
// planted there (here the registry's lock file, made wherever it points).
TEST_F(MoorsetupTest, ARootAnotherUserHoldsIsRefused) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to hand the folder to another user";
  std::string victim = root_ + ".victim";
  ASSERT_EQ(RunShell("chown -R 65534:65534 '" + root_ + "' && setpriv --reuid=65534 --regid=65534 --clear-groups "
                     "ln -s '" + victim + "' '" + root_ + "/etc/halvenmoor/system.reg.lock'")
                .code,
            0);
  Outcome refused = Setup("--no-start");
  EXPECT_EQ(refused.code, 2) << refused.output;
  EXPECT_NE(refused.output.find("--root refused"), std::string::npos) << refused.output;
  EXPECT_FALSE(fs::exists(victim));
  EXPECT_FALSE(fs::exists(root_ + "/etc/systemd/system/quenlode.service"));
  fs::remove(victim);

  // Handed back, the same root is written as before.
  ASSERT_EQ(RunShell("chown -R 0:0 '" + root_ + "' && rm '" + root_ + "/etc/halvenmoor/system.reg.lock'").code, 0);
  Outcome taken = Setup("--no-start");
  EXPECT_EQ(taken.code, 0) << taken.output;
  EXPECT_TRUE(fs::exists(root_ + "/etc/systemd/system/quenlode.service"));
}

}  // namespace
}  // namespace hvm
