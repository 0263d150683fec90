// The request loop of a Connection: one thread that fetches the driver's
// requests over the control device and answers each with a reply.
#pragma once
#include <cstdint>

#include "agent/service/connection.h"

namespace hvm {

inline constexpr uint32_t kLoopCannotOpenDevice = 65535;

// The thread function: 0 at a regular end, 65535 when the control device
// cannot be opened. Runs while the Connection is mapped.
uint32_t RunRequestLoop(Connection& connection);
// Starts RunRequestLoop on connection.loopThread (mapped must be set);
// false when the system gives no thread for it.
bool StartRequestLoop(Connection& connection);
// Waits for the loop thread and the refresh thread to end.
void JoinRequestLoop(Connection& connection);

}  // namespace hvm
