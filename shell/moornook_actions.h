// The file managers' folder actions that call moornook: a Dolphin service
// menu, Nautilus scripts, Nemo actions (in the user's data folder) and
// Thunar custom actions (Thunar reads them only from its configuration
// folder). Every folder below the data and configuration folders is opened
// without following a link, and a link planted in place of a file or
// folder is refused, never written through.
#pragma once
#include <string>
#include <vector>

namespace hvm {

struct ActionFolders {
  std::string data;    // $XDG_DATA_HOME, else ~/.local/share
  std::string config;  // $XDG_CONFIG_HOME, else ~/.config
};

ActionFolders DefaultActionFolders();

// Installs every action calling the program at moornookPath. Returns the
// files written; problems receives one sentence per file that was refused.
std::vector<std::string> InstallFileManagerActions(const ActionFolders& folders,
                                                   const std::string& moornookPath,
                                                   std::vector<std::string>& problems);

}  // namespace hvm
