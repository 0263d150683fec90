// The mount: a libfuse low-level session served by the multi-threaded loop.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace hvm::driver {

// Mounts at mountPoint and serves until the session ends (SIGTERM, SIGINT,
// SIGHUP or an unmount). Returns 0 after a clean end.
int ServeMount(const std::string& mountPoint, bool serveAllUsers);

// Takes the mount at mountPoint away at once (lazily: open files keep it until
// they close); as root directly, otherwise through fusermount3.
void DetachMount(const std::string& mountPoint);

// The kernel's read-ahead window of the mount, in KiB: four wide pieces.
inline constexpr size_t kReadAheadKiB = 4096;

// The device number ("0:53") of the mount on top at mountPoint, read from the
// text of /proc/self/mountinfo; empty when there is none.
std::string MountDeviceNumber(std::string_view mountinfo, std::string_view mountPoint);

// The name of the mount's folder under /sys/fs/fuse/connections for its device
// number ("0:53" -> "53"; the kernel's own numbering, major << 20 | minor);
// empty for text that is no device number.
std::string FuseConnectionName(std::string_view device);

}  // namespace hvm::driver
