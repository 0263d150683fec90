// Drive letters on this system: a per-user drives folder holds one symbolic
// link per mapped letter, named by the letter alone (~/Halvenmoor/X).
#pragma once
#include <string>

#include "agent/service/site_record.h"

namespace hvm {

// The HKCU value "DrivesFolder" under the product key, else ~/Halvenmoor.
std::string DrivesFolder();
// The link that stands for a drive letter: <drives folder>/<letter>.
std::string DriveLinkPath(char letter);
// A letter is in use when a remembered network drive "Network\<letter>"
// exists in the user's registry or something of that name is in the drives folder.
bool DriveLetterInUse(char letter);
// From start downwards, the first letter not in use, or the first letter
// outside 'D'..'Z' that is reached ('C' when D to start are all taken).
// The letter is stored in the record's drive field.
char ProposeDriveLetter(SiteRecord& record, char start);

}  // namespace hvm
