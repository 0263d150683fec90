#include "platform/ui_headless.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/tests/test_support.h"

namespace hvm {
namespace {

using test::EnvOverride;
using test::ScratchDir;

class HeadlessUiTest : public ::testing::Test {
 protected:
  // Each test gets its own answer file, so each starts with nothing used up.
  void Script(const std::string& lines) {
    test::WriteWholeFile(answers_, lines);
    answersEnv_.emplace("HALVENMOOR_UI_ANSWERS", answers_);
  }

  ScratchDir dir_;
  std::string answers_ = dir_ / "answers.txt";
  EnvOverride state_{"XDG_STATE_HOME", dir_.path()};
  EnvOverride mirror_{"HALVENMOOR_DEBUG_STDERR", std::nullopt};
  std::optional<EnvOverride> answersEnv_;
  HeadlessUi ui_;
};

TEST_F(HeadlessUiTest, SafeDefaultsFollowTheButtons) {
  EnvOverride none("HALVENMOOR_UI_ANSWERS", std::nullopt);
  EXPECT_EQ(ui_.MessageBox(u"t", u"c", MB_OK), IDOK);
  EXPECT_EQ(ui_.MessageBox(u"t", u"c", MB_OKCANCEL | MB_ICONQUESTION), IDCANCEL);
  EXPECT_EQ(ui_.MessageBox(u"t", u"c", MB_ABORTRETRYIGNORE), IDABORT);
  EXPECT_EQ(ui_.MessageBox(u"t", u"c", MB_YESNOCANCEL | MB_DEFBUTTON2), IDCANCEL);
  EXPECT_EQ(ui_.MessageBox(u"t", u"c", MB_YESNO | MB_ICONWARNING | MB_TOPMOST), IDNO);
  EXPECT_EQ(ui_.MessageBox(u"t", u"c", MB_RETRYCANCEL), IDCANCEL);
  std::string secret = "unchanged";
  EXPECT_FALSE(ui_.AskPassword(u"Password for site1", secret));
  EXPECT_EQ(secret, "unchanged");
  std::string path;
  EXPECT_FALSE(ui_.ChooseFile(u"Certificate", u"*.pem", path));
}

TEST_F(HeadlessUiTest, ScriptedAnswersAreUsedInOrderPerKind) {
  Script("# answers for one run\n"
         "IDYES\n"
         "password=s3cret word\n"
         "IDRETRY\n"
         "match=Overwrite IDNO\n"
         "file=/certs/client.pem\n"
         "IDOK\n");
  EXPECT_EQ(ui_.MessageBox(u"Overwrite the server's copy?", u"Conflict", MB_YESNO), IDNO)
      << "a standing rule wins and uses nothing up";
  EXPECT_EQ(ui_.MessageBox(u"Connect now?", u"site1", MB_YESNO), IDYES);
  std::string path;
  EXPECT_TRUE(ui_.ChooseFile(u"Certificate", u"*.pem", path));
  EXPECT_EQ(path, "/certs/client.pem");
  std::string password;
  EXPECT_TRUE(ui_.AskPassword(u"Password", password));
  EXPECT_EQ(password, "s3cret word");
  EXPECT_FALSE(ui_.AskPassword(u"Password", password)) << "one answer, one question";
  EXPECT_EQ(ui_.MessageBox(u"Server unreachable", u"site1", MB_RETRYCANCEL), IDRETRY);
  // IDOK does not fit a yes/no box: used up, and the safe answer is given.
  EXPECT_EQ(ui_.MessageBox(u"Delete?", u"site1", MB_YESNO), IDNO);
  EXPECT_EQ(ui_.MessageBox(u"Connect now?", u"site1", MB_YESNOCANCEL), IDCANCEL);
  EXPECT_EQ(ui_.MessageBox(u"Overwrite again?", u"site1", MB_YESNO), IDNO);

  std::string log = test::ReadWholeFile(dir_ / "halvenmoor/" +
                                        std::string(program_invocation_short_name) + ".log");
  EXPECT_NE(log.find("MessageBox [site1] Connect now? (style 0x4) -> IDYES"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos) << "passwords stay out of the log";
}

TEST_F(HeadlessUiTest, ThreadsAskingAtOnceShareTheAnswersExactly) {
  std::string lines;
  for (int i = 0; i < 40; ++i) lines += "IDYES\n";
  Script(lines);
  std::atomic<int> yes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        if (ui_.MessageBox(u"Retry?", u"x", MB_YESNO) == IDYES) ++yes;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(yes.load(), 40);
}

TEST_F(HeadlessUiTest, ProgressPrintsAtMostEveryTenthAndNeverCancels) {
  std::string captured = dir_ / "stderr.txt";
  int saved = dup(STDERR_FILENO);
  int file = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  dup2(file, STDERR_FILENO);
  bool neverCancelled = true;
  {
    std::unique_ptr<ProgressWindow> progress = ui_.OpenProgress(u"Uploading a.txt");
    for (uint64_t done = 0; done <= 1000; done += 7) {
      neverCancelled = progress->Update(done, 1000, u"a.txt") && neverCancelled;
    }
    neverCancelled = progress->Update(1000, 1000, u"") && neverCancelled;
  }
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(file);
  EXPECT_TRUE(neverCancelled);
  std::string text = test::ReadWholeFile(captured);
  size_t lines = std::count(text.begin(), text.end(), '\n');
  EXPECT_EQ(lines, 11u) << text;
  EXPECT_NE(text.find("Progress Uploading a.txt: 100%"), std::string::npos) << text;
}

// A notice is one line on standard error and in the log, whatever line
// breaks a file name brings, and asks nothing: the answer file stays unused.
TEST_F(HeadlessUiTest, NoticesAreOneLineEachAndUseNoAnswer) {
  Script("IDYES\n");
  std::string captured = dir_ / "stderr.txt";
  int saved = dup(STDERR_FILENO);
  int file = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  dup2(file, STDERR_FILENO);
  ui_.Notify(u"Upload failed", u"M:\\a\nb.txt could not be saved\nFORGED LINE", true);
  Ui& base = ui_;
  base.Notify(u"Upload finished", u"M:\\c.txt has been saved", false);
  int answer = ui_.MessageBox(u"still there?", u"box", MB_YESNO);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(file);
  EXPECT_EQ(answer, IDYES);
  std::string text = test::ReadWholeFile(captured);
  EXPECT_NE(text.find("Notice (failure) [Upload failed] M:\\a b.txt could not be saved FORGED LINE\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("Notice [Upload finished] M:\\c.txt has been saved\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("\nFORGED"), std::string::npos) << text;
}

// Boxes can carry a server's text (an SSH server's banner) and progress a
// server's file names: their control characters reach the terminal escaped,
// so a server can neither retitle, recolour nor rewrite what the person sees.
TEST_F(HeadlessUiTest, ControlCharactersReachTheTerminalEscaped) {
  std::string captured = dir_ / "stderr.txt";
  int saved = dup(STDERR_FILENO);
  int file = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  dup2(file, STDERR_FILENO);
  ui_.MessageBox(u"Welcome\x1b]0;owned\x07\x1b[2J\tend", u"Halvenmoor", MB_OK);
  {
    std::unique_ptr<ProgressWindow> progress = ui_.OpenProgress(u"Synchronising");
    progress->Update(1, 1, u"a\u009b31mb.txt");
  }
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(file);
  std::string text = test::ReadWholeFile(captured);
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << text;
  EXPECT_NE(text.find("Welcome\\x1b]0;owned\\x07\\x1b[2J\tend"), std::string::npos) << text;
  EXPECT_NE(text.find("a\\x9b31mb.txt"), std::string::npos) << text;
}

TEST(NoticeBody, MarkupCharactersBecomeEntitiesAndNothingElseChanges) {
  EXPECT_EQ(NoticeBodyMarkup(u"<i>a</i> & <a href='x'>\"b\"</a> &lt; Grüße ∑\n"),
            u"&lt;i&gt;a&lt;/i&gt; &amp; &lt;a href='x'&gt;\"b\"&lt;/a&gt; &amp;lt; Grüße ∑\n");
  EXPECT_EQ(NoticeBodyMarkup(u""), u"");
  EXPECT_EQ(NoticeBodyMarkup(u"plain.txt"), u"plain.txt");
}

}  // namespace
}  // namespace hvm
