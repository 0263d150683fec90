// Where the running system keeps its sockets, mount and state.
#pragma once
#include <string>

namespace hvm {

// $HALVENMOOR_RUNTIME_DIR, else /run/halvenmoor for root, else
// $XDG_RUNTIME_DIR/halvenmoor (else /tmp/halvenmoor-<uid>).
std::string RuntimeDir();
std::string ControlSocketPath();   // <runtime>/qlode
std::string MountPointPath();      // <runtime>/mnt
std::string InstanceSocketPath();  // <runtime>/instance
// $XDG_STATE_HOME/halvenmoor (else ~/.local/state/halvenmoor): log files.
std::string StateDir();
// $XDG_DATA_HOME/halvenmoor (else ~/.local/share/halvenmoor): backups, offline trees.
std::string DataDir();
// The folder of the running program (where its helpers and libraries are
// installed); empty when the system does not tell.
std::string ProgramFolder();
// Creates a folder and its parents with the given mode; true when it exists afterwards.
bool MakeDirs(const std::string& path, unsigned mode = 0700);

}  // namespace hvm
