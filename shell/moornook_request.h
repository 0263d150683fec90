// moornook's side of the offline commands: which Connection and drive path a
// local path on the mount names, and the InternalRequest that carries a
// command to the agent through the driver.
#pragma once
#include <cstdint>
#include <string>

#include "agent/service/channel_records.h"

namespace hvm {

struct DriveTarget {
  std::u16string connection;  // the Connection's name
  std::u16string drivePath;   // "X:\dir\sub"
};

// Finds the Connection of path: a path below <mount>/<sid>/QUENLODE/<name>,
// reached directly or through a drive link (whose one-letter name gives the
// drive letter; "X" otherwise). False when the path is on no Halvenmoor drive.
bool FindDriveTarget(const std::string& path, const std::string& mount, const std::u16string& sid,
                     DriveTarget& target);
// The 1296-byte request: marker 0xFF, SID, Connection name, drive path.
InternalRequest MakeOfflineRequest(const std::u16string& sid, const DriveTarget& target);

// Sends the command through the control device; false with a sentence in
// problem when the driver could not carry it. answer receives the reply.
bool SendOfflineCommand(uint32_t code, const InternalRequest& request, InternalRequest& answer,
                        std::string& problem);

}  // namespace hvm
