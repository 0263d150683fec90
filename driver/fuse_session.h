// The mount: a libfuse low-level session served by the multi-threaded loop.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace hvm::driver {

// Mounts at mountPoint and serves until the session ends (SIGTERM, SIGINT,
// SIGHUP or an unmount). Returns 0 after a clean end.
int ServeMount(const std::string& mountPoint, bool serveAllUsers);

// The kernel's read-ahead window of the mount, in KiB: four wide pieces.
inline constexpr size_t kReadAheadKiB = 4096;

// The device number ("0:53") of the mount on top at mountPoint, read from the
// text of /proc/self/mountinfo; empty when there is none.
std::string MountDeviceNumber(std::string_view mountinfo, std::string_view mountPoint);

}  // namespace hvm::driver
