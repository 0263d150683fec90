// moornook: finding a folder's Connection and drive path, the request's
// bytes, and file-manager actions that never write through a planted link.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "shell/moornook_actions.h"
#include "shell/moornook_request.h"

namespace hvm {
namespace {

class MoornookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvm-nook-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + base_ + "'").c_str()); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string base_;
};

TEST_F(MoornookTest, AFolderOnADriveNamesItsConnectionAndDrivePath) {
  std::string mount = base_ + "/mnt";
  std::string site = mount + "/S-1-22-1-1000/QUENLODE/site1";
  ASSERT_EQ(std::system(("mkdir -p '" + site + "/docs/sub' '" + base_ + "/drives'").c_str()), 0);
  ASSERT_EQ(symlink(site.c_str(), (base_ + "/drives/M").c_str()), 0);
  DriveTarget target;
  ASSERT_TRUE(FindDriveTarget(base_ + "/drives/M/docs/sub", mount, u"S-1-22-1-1000", target));
  EXPECT_EQ(target.connection, u"site1");
  EXPECT_EQ(target.drivePath, u"M:\\docs\\sub");
  ASSERT_TRUE(FindDriveTarget(site, mount, u"S-1-22-1-1000", target));
  EXPECT_EQ(target.drivePath, u"X:\\");
  // Another user's folder, the mount's own folders and ordinary disks are no drive of ours.
  EXPECT_FALSE(FindDriveTarget(site, mount, u"S-1-22-1-1001", target));
  EXPECT_FALSE(FindDriveTarget(mount + "/S-1-22-1-1000/QUENLODE", mount, u"S-1-22-1-1000", target));
  EXPECT_FALSE(FindDriveTarget(base_, mount, u"S-1-22-1-1000", target));
  EXPECT_FALSE(FindDriveTarget(base_ + "/missing", mount, u"S-1-22-1-1000", target));

  InternalRequest request = MakeOfflineRequest(u"S-1-22-1-1000", {u"site1", u"M:\\docs"});
  const auto* bytes = reinterpret_cast<const uint8_t*>(&request);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[2], 'S');
  EXPECT_EQ(bytes[122], 's');
  EXPECT_EQ(bytes[248], 'M');
  EXPECT_EQ(bytes[250], ':');
  EXPECT_EQ(bytes[768], 0);
}

TEST_F(MoornookTest, ActionsAreInstalledForEveryFileManagerAndKeepTheUsersOwn) {
  ActionFolders folders{base_ + "/share", base_ + "/config"};
  ASSERT_EQ(std::system(("mkdir -p '" + folders.config + "/Thunar'").c_str()), 0);
  std::ofstream(folders.config + "/Thunar/uca.xml")
      << "<?xml version=\"1.0\"?>\n<actions>\n<action><name>Mine</name><unique-id>1</unique-id></action>\n</actions>\n";
  std::vector<std::string> problems;
  auto written = InstallFileManagerActions(folders, "/opt/hvm/bin/moornook", problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(written.size(), 10u);
  std::string dolphin = Read(folders.data + "/kio/servicemenus/halvenmoor-offline.desktop");
  EXPECT_NE(dolphin.find("Exec='/opt/hvm/bin/moornook' offline --subfolders %f"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat((folders.data + "/nautilus/scripts/Halvenmoor/Synchronize").c_str(), &info), 0);
  EXPECT_TRUE(info.st_mode & S_IXUSR);
  EXPECT_NE(Read(folders.data + "/nemo/actions/halvenmoor-delete-cache.nemo_action").find("delete-cache %F"),
            std::string::npos);
  // Installing twice keeps one set of ours in Thunar's file, and the user's own action.
  InstallFileManagerActions(folders, "/opt/hvm/bin/moornook", problems);
  std::string thunar = Read(folders.config + "/Thunar/uca.xml");
  EXPECT_NE(thunar.find("<name>Mine</name>"), std::string::npos);
  size_t first = thunar.find("halvenmoor-sync");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(thunar.find("halvenmoor-sync", first + 1), std::string::npos);
}

TEST_F(MoornookTest, LinksPlantedInTheDataFolderAreRefused) {
  ActionFolders folders{base_ + "/share", base_ + "/config"};
  std::string victim = base_ + "/victim";
  ASSERT_EQ(std::system(("mkdir -p '" + victim + "' '" + folders.data + "/kio' '" + folders.data +
                         "/nemo/actions' '" + folders.config + "/Thunar'").c_str()), 0);
  std::ofstream(victim + "/file") << "keep";
  // A folder link, a file link, and a link in place of Thunar's file.
  ASSERT_EQ(symlink(victim.c_str(), (folders.data + "/kio/servicemenus").c_str()), 0);
  ASSERT_EQ(symlink((victim + "/file").c_str(),
                    (folders.data + "/nemo/actions/halvenmoor-sync.nemo_action").c_str()), 0);
  ASSERT_EQ(symlink((victim + "/file").c_str(), (folders.config + "/Thunar/uca.xml").c_str()), 0);
  std::vector<std::string> problems;
  InstallFileManagerActions(folders, "/usr/bin/moornook", problems);
  EXPECT_EQ(problems.size(), 3u);
  EXPECT_EQ(Read(victim + "/file"), "keep");
  struct stat info {};
  EXPECT_NE(stat((victim + "/halvenmoor-offline.desktop").c_str(), &info), 0);
  // The other actions are installed all the same.
  EXPECT_EQ(stat((folders.data + "/nemo/actions/halvenmoor-offline.nemo_action").c_str(), &info), 0);
}

}  // namespace
}  // namespace hvm
