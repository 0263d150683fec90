// The control socket "qlode": one accepting thread, one reader thread per
// connection (and a writer while answers wait). Each frame is one device
// control call. The accepting thread outlives running out of descriptors
// (it backs off and tries again); a uid may hold at most 64 connections
// (QUENLODE_MAX_CONNECTIONS_PER_USER), more are refused with
// ERROR_TOO_MANY_OPEN_FILES.
#pragma once
#include <string>

namespace hvm::driver {

class ControlServer {
 public:
  // Listens at path; false with errno when the socket cannot be created.
  bool Start(const std::string& path);
  // Stops accepting, ends every connection and removes the socket.
  void Stop();
};

}  // namespace hvm::driver
