#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/moorlib.h"
#include "common/process_modules.h"

namespace hvm {
namespace {

std::string OwnProgramName() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string full(path, n > 0 ? static_cast<size_t>(n) : 0);
  return full.substr(full.rfind('/') + 1);
}

TEST(ProcessModules, ProgramFirstThenSharedLibraries) {
  std::vector<std::string> modules;
  ASSERT_TRUE(ListProcessModules(getpid(), modules));
  ASSERT_GE(modules.size(), 2u);
  EXPECT_EQ(modules.front().substr(modules.front().rfind('/') + 1), OwnProgramName());
  bool hasLibc = false, hasMoorlib = false;
  for (const std::string& m : modules) {
    hasLibc |= m.find("libc.so") != std::string::npos;
    hasMoorlib |= m.find("libmoorlib.so") != std::string::npos;
    EXPECT_EQ(m[0], '/');  // no [heap], [vdso] and the like
  }
  EXPECT_TRUE(hasLibc);
  EXPECT_TRUE(hasMoorlib);
}

TEST(ProcessModules, PickFindsWantedNameIgnoringCase) {
  const std::vector<std::string> modules = {"/usr/bin/editor", "/lib/libc.so.6",
                                            "/opt/x/Shell32.so"};
  char buffer[64];
  EXPECT_EQ(PickModuleName(modules, "SHELL32.SO", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "Shell32.so");
  EXPECT_EQ(PickModuleName(modules, "absent.so", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "editor");  // the program's own name
  EXPECT_EQ(PickModuleName(modules, nullptr, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "editor");
}

TEST(ProcessModules, PickRefusesBufferTooSmallAndEmptyList) {
  const std::vector<std::string> modules = {"/usr/bin/editor"};
  char buffer[6];
  EXPECT_EQ(PickModuleName(modules, nullptr, buffer, sizeof buffer), -2);
  EXPECT_EQ(PickModuleName({}, nullptr, buffer, sizeof buffer), -2);
}

TEST(ForegroundModule, NoDisplayMeansNoForegroundWindow) {
  const char* saved = getenv("DISPLAY");
  const std::string keep = saved != nullptr ? saved : "";
  unsetenv("DISPLAY");
  char buffer[64];
  EXPECT_EQ(GetActiveWindowModuleName(buffer, sizeof buffer, nullptr), 1);
  if (saved != nullptr) setenv("DISPLAY", keep.c_str(), 1);
}

}  // namespace
}  // namespace hvm
