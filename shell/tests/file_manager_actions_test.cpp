// The file-manager actions: written without following planted links, and
// merged into Thunar's list without touching the person's own actions.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "shell/file_manager_actions.h"

namespace hvm {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class FileActionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvm-actions-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
  }
  void TearDown() override { fs::remove_all(base_); }
  std::string base_;
};

TEST_F(FileActionsTest, PlantedLinksAreReplacedOrRefusedNeverFollowed) {
  fs::create_directories(base_ + "/victim");
  std::ofstream(base_ + "/victim/file") << "precious";
  // A link where a file goes: replaced, its target untouched.
  fs::create_directories(base_ + "/nemo/actions");
  fs::create_symlink(base_ + "/victim/file", base_ + "/nemo/actions/x.nemo_action");
  ASSERT_TRUE(WriteBelow(base_, "nemo/actions/x.nemo_action", "ours", false));
  EXPECT_FALSE(fs::is_symlink(base_ + "/nemo/actions/x.nemo_action"));
  EXPECT_EQ(Read(base_ + "/nemo/actions/x.nemo_action"), "ours");
  EXPECT_EQ(Read(base_ + "/victim/file"), "precious");
  // A link where a folder goes: refused.
  fs::create_directory_symlink(base_ + "/victim", base_ + "/kio");
  EXPECT_FALSE(WriteBelow(base_, "kio/servicemenus/m.desktop", "ours", false));
  EXPECT_FALSE(fs::exists(base_ + "/victim/servicemenus"));
}

TEST_F(FileActionsTest, EveryFileManagerGetsTheCommandsWithTheProgramQuoted) {
  ActionSet set = ShellActions("/opt/my tools/moorshell");
  auto files = ActionFiles(set);
  bool dolphin = false, nautilus = false, nemo = false;
  for (const auto& f : files) {
    if (f.relative == "kio/servicemenus/halvenmoor-moorshell.desktop") {
      dolphin = true;
      EXPECT_NE(f.contents.find("X-KDE-Submenu=Halvenmoor"), std::string::npos);
      EXPECT_NE(f.contents.find("Exec=\"/opt/my tools/moorshell\" lock %F"), std::string::npos);
    }
    if (f.relative == "nautilus/scripts/Halvenmoor/Lock") {
      nautilus = f.executable;
      EXPECT_NE(f.contents.find("exec '/opt/my tools/moorshell' lock \"$@\""), std::string::npos);
    }
    if (f.relative == "nemo/actions/halvenmoor-moorshell-unlock.nemo_action") nemo = true;
  }
  EXPECT_TRUE(dolphin && nautilus && nemo);
  ActionSet quick = QuickActions("/usr/bin/moorquick");
  bool copy = false;
  for (const auto& f : ActionFiles(quick))
    if (f.relative == "kio/servicemenus/halvenmoor-moorquick.desktop")
      copy = f.contents.find("MimeType=inode/directory;") != std::string::npos &&
             f.contents.find("Exec=\"/usr/bin/moorquick\" duplicate %F") != std::string::npos;
  EXPECT_TRUE(copy);
}

TEST_F(FileActionsTest, ThunarKeepsOtherActionsAndOnlyOneCopyOfOurs) {
  std::string own =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n<action>\n\t<name>Mine</name>\n"
      "\t<unique-id>1-2</unique-id>\n\t<command>echo &amp;</command>\n</action>\n</actions>\n";
  ActionSet set = ShellActions("/usr/bin/moorshell");
  std::string once = MergeThunarActions(own, set);
  std::string twice = MergeThunarActions(once, set);
  EXPECT_EQ(once, twice);
  EXPECT_NE(twice.find("<name>Mine</name>"), std::string::npos);
  EXPECT_NE(twice.find("<unique-id>halvenmoor-moorshell-lock</unique-id>"), std::string::npos);
  std::string both = MergeThunarActions(twice, QuickActions("/usr/bin/moorquick"));
  EXPECT_NE(both.find("halvenmoor-moorshell-lock"), std::string::npos);
  EXPECT_NE(both.find("halvenmoor-moorquick-delete-folder"), std::string::npos);
  EXPECT_NE(MergeThunarActions("", set).find("<actions>"), std::string::npos);
}

// A list Thunar or the person left unclosed, or text that is no list, is
// never cut, replaced or written back; a link in uca.xml's place is left.
TEST_F(FileActionsTest, ThunarTextThatCannotBeMergedWholeIsLeftAsItIs) {
  ActionSet set = ShellActions("/usr/bin/moorshell");
  std::string unclosed = "<?xml version=\"1.0\"?>\n<actions>\n<action><name>Mine</name></action>\n";
  EXPECT_EQ(MergeThunarActions(unclosed, set), "");
  EXPECT_EQ(MergeThunarActions("</actions> <actions>", set), "");
  EXPECT_EQ(MergeThunarActions("<!-- mine, by hand -->\n", set), "");

  std::string config = base_ + "/config", data = base_ + "/data";
  fs::create_directories(config + "/Thunar");
  fs::create_directories(base_ + "/dotfiles");
  std::string own = "<actions>\n<action><name>Mine</name></action>\n</actions>\n";
  std::ofstream(base_ + "/dotfiles/uca.xml") << own;
  fs::create_symlink(base_ + "/dotfiles/uca.xml", config + "/Thunar/uca.xml");
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  EXPECT_FALSE(InstallFileManagerActions("moorshell", "/usr/bin"));
  EXPECT_TRUE(fs::is_symlink(config + "/Thunar/uca.xml"));
  EXPECT_EQ(Read(base_ + "/dotfiles/uca.xml"), own);

  std::ofstream(config + "/Thunar/big.xml") << std::string(2 << 20, ' ') << own;
  fs::remove(config + "/Thunar/uca.xml");
  fs::rename(config + "/Thunar/big.xml", config + "/Thunar/uca.xml");
  EXPECT_FALSE(InstallFileManagerActions("moorshell", "/usr/bin"));
  EXPECT_EQ(fs::file_size(config + "/Thunar/uca.xml"), (2u << 20) + own.size());

  fs::remove(config + "/Thunar/uca.xml");
  std::ofstream(config + "/Thunar/uca.xml") << own;
  EXPECT_TRUE(InstallFileManagerActions("moorshell", "/usr/bin"));
  std::string merged = Read(config + "/Thunar/uca.xml");
  EXPECT_NE(merged.find("<name>Mine</name>"), std::string::npos);
  EXPECT_NE(merged.find("halvenmoor-moorshell-lock"), std::string::npos);
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace hvm
