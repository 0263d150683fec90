// Paths named by a person, judged on a mount tree made in a scratch folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "shell/drive_path.h"

namespace hvm {
namespace {

namespace fs = std::filesystem;

class DrivePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvm-drive-path-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch_ = fs::canonical(pattern).string();
    mount_ = scratch_ + "/mnt";
    sidText_ = "S-1-22-1-" + std::to_string(getuid());
    sid_ = std::u16string(sidText_.begin(), sidText_.end());
    site_ = mount_ + "/" + sidText_ + "/QUENLODE/site1";
    fs::create_directories(site_ + "/docs");
    std::ofstream(site_ + "/docs/a.txt") << "a";
    fs::create_directories(mount_ + "/S-1-22-1-99999/QUENLODE/site2");
    fs::create_directories(scratch_ + "/home");
  }
  void TearDown() override { fs::remove_all(scratch_); }

  PathVerdict Judge(const std::string& path, bool mayBeMissing = false) {
    out_ = DrivePath{};
    return ResolveDrivePath(path, mount_, sid_, mayBeMissing, out_);
  }

  std::string scratch_, mount_, sidText_, site_;
  std::u16string sid_;
  DrivePath out_;
};

TEST_F(DrivePathTest, FilesOfTheCallersConnectionsAreOnTheDrive) {
  ASSERT_EQ(Judge(site_ + "/docs/a.txt"), PathVerdict::OnDrive);
  EXPECT_EQ(out_.connection, u"site1");
  EXPECT_EQ(out_.inside, u"\\docs\\a.txt");
  EXPECT_EQ(out_.local, site_ + "/docs/a.txt");
  EXPECT_EQ(DriveText(u'M', out_), u"M:\\docs\\a.txt");
  ASSERT_EQ(Judge(site_), PathVerdict::OnDrive);
  EXPECT_EQ(out_.inside, u"");
  EXPECT_EQ(DriveText(u'M', out_), u"M:\\");
}

TEST_F(DrivePathTest, LinksDotsAndRelativePathsAreResolvedFirst) {
  // The drive link in the home folder, as the agent makes it.
  fs::create_directory_symlink(site_, scratch_ + "/home/M");
  ASSERT_EQ(Judge(scratch_ + "/home/M/docs/../docs/./a.txt"), PathVerdict::OnDrive);
  EXPECT_EQ(out_.inside, u"\\docs\\a.txt");
  ASSERT_EQ(chdir((site_ + "/docs").c_str()), 0);
  ASSERT_EQ(Judge("a.txt"), PathVerdict::OnDrive);
  EXPECT_EQ(out_.inside, u"\\docs\\a.txt");
  // ".." climbing out of the Connection is judged where it lands.
  EXPECT_EQ(Judge(site_ + "/../../.."), PathVerdict::NotOnDrive);
  EXPECT_EQ(Judge(site_ + "/.."), PathVerdict::NotOnDrive);
  ASSERT_EQ(chdir("/"), 0);
}

TEST_F(DrivePathTest, NamesOutsideTheCallersConnectionsAreRefused) {
  std::ofstream(scratch_ + "/home/local.txt") << "x";
  EXPECT_EQ(Judge(scratch_ + "/home/local.txt"), PathVerdict::NotOnDrive);
  EXPECT_EQ(Judge(mount_ + "/S-1-22-1-99999/QUENLODE/site2"), PathVerdict::NotOnDrive);
  EXPECT_EQ(Judge(mount_ + "/" + sidText_ + "/QUENLODE"), PathVerdict::NotOnDrive);
  EXPECT_EQ(Judge(mount_), PathVerdict::NotOnDrive);
  // A name that merely begins like the mount is not in it.
  fs::create_directories(mount_ + "x/" + sidText_ + "/QUENLODE/site1");
  EXPECT_EQ(Judge(mount_ + "x/" + sidText_ + "/QUENLODE/site1"), PathVerdict::NotOnDrive);
  // A link on the drive's side that points away from it.
  fs::create_symlink(scratch_ + "/home/local.txt", site_ + "/docs/away");
  EXPECT_EQ(Judge(site_ + "/docs/away"), PathVerdict::NotOnDrive);
}

TEST_F(DrivePathTest, MissingNamesAndNamesTheDriveCannotCarry) {
  EXPECT_EQ(Judge(site_ + "/docs/new.txt"), PathVerdict::Missing);
  ASSERT_EQ(Judge(site_ + "/docs/new.txt", true), PathVerdict::OnDrive);
  EXPECT_EQ(out_.inside, u"\\docs\\new.txt");
  EXPECT_EQ(Judge(site_ + "/nowhere/new.txt", true), PathVerdict::Missing);
  EXPECT_EQ(Judge(site_ + "/nothere/..", true), PathVerdict::Invalid);
  EXPECT_EQ(Judge(site_ + "/docs/..", true), PathVerdict::OnDrive);  // the Connection's root
  EXPECT_EQ(Judge(site_ + "/docs/back\\slash", true), PathVerdict::Invalid);
  EXPECT_EQ(Judge(site_ + "/docs/bad\xff", true), PathVerdict::Invalid);
  EXPECT_EQ(Judge(site_ + "/docs/" + std::string(250, 'n'), true), PathVerdict::Invalid);
  EXPECT_EQ(Judge(""), PathVerdict::Invalid);
  EXPECT_EQ(Judge(std::string("a\0b", 3)), PathVerdict::Invalid);
}

}  // namespace
}  // namespace hvm
