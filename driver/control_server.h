// The control socket "qlode": one accepting thread, one reader thread per
// connection. Each frame is one device control call.
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
