// The mount: a libfuse low-level session served by the multi-threaded loop.
#pragma once
#include <string>

namespace hvm::driver {

// Mounts at mountPoint and serves until the session ends (SIGTERM, SIGINT,
// SIGHUP or an unmount). Returns 0 after a clean end.
int ServeMount(const std::string& mountPoint, bool serveAllUsers);

}  // namespace hvm::driver
