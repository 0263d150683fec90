// Where the running system keeps its sockets, mount and state.
//
// Two kinds of folder: the driver's (its control socket `qlode` and the mount
// `mnt`), which a driver started as root shares with every user, and the
// agent's own (instance lock and instance socket), which only its user may
// touch. Every folder is checked before use: a real folder, not a symbolic
// link, owned by the caller and writable by nobody else; anything else is
// refused, since another user may have made it first.
#pragma once
#include <string>

namespace hvm {

// The folder a driver started by this process would own: $HALVENMOOR_RUNTIME_DIR,
// else /run/halvenmoor for root, else $XDG_RUNTIME_DIR/halvenmoor; empty for a
// user without XDG_RUNTIME_DIR (there is no shared fallback such as /tmp).
std::string RuntimeDir();
// The folder of the driver this process talks to: $HALVENMOOR_RUNTIME_DIR, else
// /run/halvenmoor for root; for a user their own runtime folder while a driver
// of theirs has its socket there, else the machine's /run/halvenmoor.
std::string DriverDir();
std::string ControlSocketPath();   // <driver>/qlode
std::string MountPointPath();      // <driver>/mnt
// The agent's own folder: the driver's folder when the caller owns it (or it
// is not there yet), else $XDG_RUNTIME_DIR/halvenmoor; empty when neither fits.
std::string AgentStateDir();
std::string InstanceSocketPath();  // <agent state>/instance
// $HOME, else the home of the user's account; empty when there is neither
// (never a shared folder such as /tmp).
std::string HomeDir();
// $XDG_STATE_HOME/halvenmoor (else ~/.local/state/halvenmoor): log files.
std::string StateDir();
// $XDG_DATA_HOME/halvenmoor (else ~/.local/share/halvenmoor): backups, offline trees.
std::string DataDir();
// The folder of the running program (where its helpers and libraries are
// installed); empty when the system does not tell.
std::string ProgramFolder();
// Creates a folder and its parents with the given mode; true when it exists afterwards.
bool MakeDirs(const std::string& path, unsigned mode = 0700);

// Makes the folder path with mode when it is missing (its parents as
// MakeDirs does), then checks it: a folder, not a symbolic link, owned by
// the caller, not writable by group or others. False with a sentence for the
// person in problem when it cannot be made or fails a check.
bool PrepareOwnFolder(const std::string& path, unsigned mode, std::string& problem);
// The same checks on a folder that must already be there.
bool CheckOwnFolder(const std::string& path, std::string& problem);

}  // namespace hvm
