// File-manager actions that call the shell tools: a Dolphin service menu
// with a "Halvenmoor" submenu, Nautilus scripts in a "Halvenmoor" folder,
// Nemo actions and Thunar custom actions. Written below $XDG_DATA_HOME
// (Thunar's into $XDG_CONFIG_HOME/Thunar/uca.xml, which it reads) without
// ever following a link someone placed there: each folder is walked with
// O_NOFOLLOW and each file replaced by rename.
#pragma once
#include <string>
#include <vector>

namespace hvm {

struct FileAction {
  std::string id;         // "lock"
  std::string title;      // "Lock"
  std::string arguments;  // after the program: "lock" (the selection follows)
  bool folders = false;   // offered on folders (else on files)
  bool single = false;    // exactly one item
};

struct ActionSet {
  std::string tool;     // "moorshell"
  std::string program;  // absolute path of the tool
  std::vector<FileAction> actions;
};

ActionSet ShellActions(const std::string& program);
ActionSet QuickActions(const std::string& program);
// moornook's offline commands on folders.
ActionSet NookActions(const std::string& program);

// The files of each file manager for a set: relative path (below the data
// folder) -> contents. Nautilus scripts are returned with the mode 0755 mark.
struct ActionFile {
  std::string relative;
  std::string contents;
  bool executable = false;
};
std::vector<ActionFile> ActionFiles(const ActionSet& set);
// uca.xml with the set's actions put in place of earlier ones of that tool;
// "" when the existing text is not empty and holds no closed <actions> list.
std::string MergeThunarActions(const std::string& existing, const ActionSet& set);

// Writes a file below base (made of folders that must not be links); false
// with a line on stderr when it cannot. With exactMode the file gets 0644
// (0755 executable) whatever the umask says; otherwise the umask applies.
bool WriteBelow(const std::string& base, const std::string& relative, const std::string& contents, bool executable,
                bool exactMode = false);

// Installs the actions of the tool named by argv0 ("moorshell" or
// "moorquick"), calling it in binFolder (empty: the program's own folder);
// prints what was written.
bool InstallFileManagerActions(const std::string& argv0, const std::string& binFolder);

}  // namespace hvm
