// moornook's file-manager actions: the offline commands on single folders.
#include <gtest/gtest.h>

#include <string>

#include "shell/file_manager_actions.h"

namespace hvm {
namespace {

TEST(MoornookActions, EveryFileManagerOffersTheOfflineCommandsOnAFolder) {
  ActionSet set = NookActions("/opt/hvm/bin/moornook");
  std::vector<ActionFile> files = ActionFiles(set);
  ASSERT_FALSE(files.empty());
  std::string all;
  for (const ActionFile& file : files) all += file.relative + "\n" + file.contents + "\n";
  EXPECT_NE(all.find("kio/servicemenus/halvenmoor-moornook.desktop"), std::string::npos);
  EXPECT_NE(all.find("\"/opt/hvm/bin/moornook\" offline --subfolders %f"), std::string::npos);
  EXPECT_NE(all.find("nemo/actions/halvenmoor-moornook-delete-cache.nemo_action"), std::string::npos);
  EXPECT_NE(all.find("nautilus/scripts/Halvenmoor/Synchronize"), std::string::npos);
  std::string thunar = MergeThunarActions("", set);
  EXPECT_NE(thunar.find("offline --subfolders"), std::string::npos);
  EXPECT_NE(thunar.find("<directories/>"), std::string::npos);
}

}  // namespace
}  // namespace hvm
