// A path a person names on the command line, checked and turned into the
// drive path the agent understands. The person's text is not trusted: it is
// made absolute and canonical (links and ".." resolved) before it is judged,
// and only what then lies in the caller's own Connection folders on the
// mount (<mount>/<SID>/QUENLODE/<connection>/...) counts as on a drive.
#pragma once
#include <string>
#include <string_view>

namespace hvm {

struct DrivePath {
  std::string local;          // canonical path on the mount
  std::u16string connection;  // the Connection's name
  std::u16string inside;      // "\docs\a.txt"; "" for the Connection's root
};

enum class PathVerdict {
  OnDrive,
  NotOnDrive,  // canonical path outside the caller's Connections
  Missing,     // does not exist (and the command needs it)
  Invalid,     // a name the drive cannot carry (too long, "\", bad UTF-8, ".", "..")
};

// mountRoot: the canonical mount point; sid: the caller's "S-1-22-1-<uid>".
// mayBeMissing: the last component may be absent (a copy's destination).
PathVerdict ResolveDrivePath(std::string_view userPath, const std::string& mountRoot,
                             std::u16string_view sid, bool mayBeMissing, DrivePath& out);

// The text the agent's records carry for it: "X:" + inside ("X:\" for the root).
std::u16string DriveText(char16_t letter, const DrivePath& path);

}  // namespace hvm
