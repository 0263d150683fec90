// Excel closes and reopens a workbook while saving it: when the window in the
// foreground belongs to "excel.exe", the client ignores the first synchronous
// close of an ".xls" file and uploads at the next one. The test plays the
// window manager on Xvfb and runs a copy of sleep(1) named "excel.exe".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/debug_sink.h"
#include "platform/tests/test_support.h"
#include "platform/wide_text.h"
#include "tests/integration/webdav_test_support.h"

// Last: Xlib's macros (None, Bool, Status) would clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace hvm::test {
namespace {

namespace fs = std::filesystem;

// Starts argv[0] with args; returns once the program runs (or failed to).
pid_t Spawn(const std::string& program, const char* const* args) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // nothing left behind when the test dies
    execv(program.c_str(), const_cast<char* const*>(args));
    _exit(127);
  }
  close(ready[1]);
  char byte;
  while (read(ready[0], &byte, 1) > 0) {
  }  // end of file: exec closed the pipe
  close(ready[0]);
  return pid;
}

void Stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

class ExcelForeground : public ApacheSuite {
 protected:
  void SetUp() override {
    if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
    ApacheSuite::SetUp();
    StartX();
    ASSERT_NE(x_, nullptr) << "Xvfb did not start";
    const std::string excel = scratch_ / "excel.exe";
    fs::copy_file("/bin/sleep", excel);
    fs::permissions(excel, fs::perms::owner_all);
    const char* args[] = {"excel.exe", "600", nullptr};
    excel_ = Spawn(excel, args);
    ASSERT_GT(excel_, 0);
    traces_.emplace("webdav_excel_test");
  }

  void TearDown() override {
    traces_.reset();
    Stop(excel_);
    if (x_) XCloseDisplay(x_);
    Stop(xServer_);
    ApacheSuite::TearDown();
  }

  void StartX() {
    int fds[2];
    if (pipe(fds) != 0) return;
    const std::string fd = std::to_string(fds[1]);
    const char* args[] = {"Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-nolisten", "unix",
                          "-listen", "local", nullptr};
    xServer_ = fork();
    if (xServer_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      close(fds[0]);
      execv("/usr/bin/Xvfb", const_cast<char* const*>(args));
      _exit(127);
    }
    close(fds[1]);
    // Xvfb writes the number when ready, then a line feed on its own: the pipe
    // stays open until that came, or Xvfb would fail on the closed pipe.
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return;
    const std::string display = ":" + number;
    setenv("DISPLAY", display.c_str(), 1);
    x_ = XOpenDisplay(display.c_str());
  }

  // Publishes a new window of process pid as the active one.
  void MakeActive(long pid) {
    const Window w = XCreateSimpleWindow(x_, DefaultRootWindow(x_), 0, 0, 10, 10, 0, 0, 0);
    XChangeProperty(x_, w, XInternAtom(x_, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    long value = static_cast<long>(w);
    XChangeProperty(x_, DefaultRootWindow(x_), XInternAtom(x_, "_NET_ACTIVE_WINDOW", False), XA_WINDOW, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&value), 1);
    XSync(x_, False);
  }

  // An entry whose local copy an application wrote and still holds open.
  FileEntry* Written(TestSite& site, std::u16string_view below, const std::vector<uint8_t>& data) {
    FileEntry* entry = site.connection.entries.NewEntry(site.CachePath(below));
    entry->localCopy = LocalCopyWith(data);
    entry->flags |= kEntryWrittenLocally;
    entry->handleCount = 1;
    return entry;
  }

  NTSTATUS SynchronousClose(TestSite& site, FileEntry* entry) {
    OpenHandle handle;
    handle.entry = entry;
    ReplyArea reply = site.Reply(PathBelowConnection(site.connection, entry->Path()));
    return site.client->CloseAfterWrite(&handle, reply, 1, 0);
  }

  std::string DebugLog() const { return ReadWholeFile(scratch_ / "state/halvenmoor/webdav_excel_test.log"); }

  ScratchDir scratch_;
  EnvOverride display_{"DISPLAY", std::nullopt};
  EnvOverride state_{"XDG_STATE_HOME", scratch_ / "state"};
  pid_t xServer_ = -1;
  pid_t excel_ = -1;
  Display* x_ = nullptr;
  std::optional<TracesOn> traces_;
};

TEST_F(ExcelForeground, TheFirstCloseOfAWorkbookIsIgnoredAndTheSecondUploaded) {
  MakeActive(excel_);
  TestSite site(server_->Url("/dav/"));
  const std::vector<uint8_t> book = Pattern(5000);
  FileEntry* entry = Written(site, u"\\Book.XLSX", book);

  EXPECT_EQ(SynchronousClose(site, entry), STATUS_SUCCESS);
  EXPECT_FALSE(fs::exists(Data("Book.XLSX")));
  EXPECT_TRUE(entry->flags & kEntryExcelFirstClose);
  EXPECT_FALSE(entry->flags & kEntryWrittenLocally);
  EXPECT_TRUE(entry->HasLocalCopy());  // the written copy stays the entry's content
  EXPECT_NE(DebugLog().find("the first attempt to write the data from Excel, ignored "), std::string::npos)
      << DebugLog();
  EXPECT_NE(DebugLog().find("Book.XLSX"), std::string::npos);

  entry->flags |= kEntryWrittenLocally;  // Excel writes the workbook again
  EXPECT_EQ(SynchronousClose(site, entry), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("Book.XLSX")), book);
}

TEST_F(ExcelForeground, OtherFilesAndOtherProgramsAreUploadedAtTheFirstClose) {
  TestSite site(server_->Url("/dav/"));
  MakeActive(excel_);
  FileEntry* text = Written(site, u"\\notes.txt", Pattern(10));
  EXPECT_EQ(SynchronousClose(site, text), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("notes.txt")), Pattern(10));

  MakeActive(getpid());  // this test program in front
  FileEntry* book = Written(site, u"\\other.xls", Pattern(20));
  EXPECT_EQ(SynchronousClose(site, book), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("other.xls")), Pattern(20));
  EXPECT_FALSE(book->flags & kEntryExcelFirstClose);
  EXPECT_EQ(DebugLog().find("the first attempt to write the data from Excel"), std::string::npos);
}

}  // namespace
}  // namespace hvm::test
