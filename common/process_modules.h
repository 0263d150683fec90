// The modules (program and shared libraries) a process has mapped, read from
// /proc/<pid>/maps; the library-internal half of the foreground-process query.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace hvm {

inline constexpr size_t kMaxModules = 1024;

// Full paths, the program first, then every file mapped executable in the
// order of its first such mapping; at most kMaxModules. False when the
// process cannot be read.
bool ListProcessModules(pid_t pid, std::vector<std::string>& modules);

// Writes the base name of the wanted module (compared ignoring case, searched
// from the last module to the first) into buffer, else the program's own
// name. Returns 0 on success, -2 when there is no module or no room.
int PickModuleName(const std::vector<std::string>& modules, const char* wanted, char* buffer,
                   int length);

}  // namespace hvm
