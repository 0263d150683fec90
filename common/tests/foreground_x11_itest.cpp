// The foreground-process query against a real X server (Xvfb on a free
// display). The test plays the window manager: it publishes the active
// window on the root window and the owning pid on that window.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/moorlib.h"

// Last: Xlib's macros (None, Bool, Status) would clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace hvm {
namespace {

class ForegroundX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    server_ = fork();
    ASSERT_GE(server_, 0);
    if (server_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // no stray X server when the test dies
      close(pipeFds[0]);
      const std::string fd = std::to_string(pipeFds[1]);
      execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-nolisten",
            "unix", "-listen", "local", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipeFds[1]);
    // Xvfb writes the number when ready, then a line feed, possibly apart; a
    // pipe closed before the line feed would end Xvfb.
    char number[32] = {};
    size_t n = 0;
    while (n < sizeof number - 1 && (n == 0 || number[n - 1] != '\n')) {
      ssize_t got = read(pipeFds[0], number + n, sizeof number - 1 - n);
      if (got <= 0) break;
      n += static_cast<size_t>(got);
    }
    close(pipeFds[0]);
    ASSERT_GT(n, 0u) << "Xvfb did not start";
    // Built by push_back and append: for `":" + std::string(...)`, and even for
    // `display_ = ":"`, GCC 12 sees an overlapping copy in Release (-Wrestrict).
    display_.clear();
    display_.push_back(':');
    display_.append(number, strcspn(number, "\n"));
    setenv("DISPLAY", display_.c_str(), 1);
    x_ = XOpenDisplay(display_.c_str());
    ASSERT_NE(x_, nullptr);
  }

  void TearDown() override {
    if (x_ != nullptr) XCloseDisplay(x_);
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
    unsetenv("DISPLAY");
  }

  Window MakeWindow(long pid) {
    const Window w = XCreateSimpleWindow(x_, DefaultRootWindow(x_), 0, 0, 10, 10, 0, 0, 0);
    if (pid != 0) {
      const Atom wmPid = XInternAtom(x_, "_NET_WM_PID", False);
      XChangeProperty(x_, w, wmPid, XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&pid), 1);
    }
    return w;
  }

  void SetActive(Window w) {
    const Atom active = XInternAtom(x_, "_NET_ACTIVE_WINDOW", False);
    long value = static_cast<long>(w);
    XChangeProperty(x_, DefaultRootWindow(x_), active, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&value), 1);
    XSync(x_, False);
  }

  pid_t server_ = -1;
  std::string display_;
  Display* x_ = nullptr;
};

TEST_F(ForegroundX11Test, ActiveWindowOfThisProcess) {
  char buffer[256];
  EXPECT_EQ(GetActiveWindowModuleName(buffer, sizeof buffer, nullptr), 1);  // none published yet

  SetActive(MakeWindow(getpid()));
  ASSERT_EQ(GetActiveWindowModuleName(buffer, sizeof buffer, "LIBMOORLIB.SO"), 0);
  EXPECT_STREQ(buffer, "libmoorlib.so");
  ASSERT_EQ(GetActiveWindowModuleName(buffer, sizeof buffer, "not-loaded.so"), 0);
  EXPECT_STREQ(buffer, "moorlib_x11_tests");  // the program's own name
  EXPECT_NE(hInstPsApiLib, nullptr);
}

TEST_F(ForegroundX11Test, WindowWithoutProcessOrWithAGoneProcess) {
  char buffer[256];
  SetActive(MakeWindow(0));
  EXPECT_EQ(GetActiveWindowModuleName(buffer, sizeof buffer, nullptr), 5);
  SetActive(MakeWindow(0x7FFFFFF0));
  EXPECT_EQ(GetActiveWindowModuleName(buffer, sizeof buffer, nullptr), 10);
}

TEST_F(ForegroundX11Test, VanishedActiveWindowIsNoCrash) {
  const Window gone = MakeWindow(getpid());
  XDestroyWindow(x_, gone);
  SetActive(gone);
  char buffer[256];
  EXPECT_EQ(GetActiveWindowModuleName(buffer, sizeof buffer, nullptr), 5);
}

}  // namespace
}  // namespace hvm
