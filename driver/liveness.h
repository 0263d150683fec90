// How long the driver waits for an agent that pings: the time since the last
// ping on a monotonic clock decides whether the agent is alive.
#pragma once
#include <chrono>

namespace hvm::driver {

using Clock = std::chrono::steady_clock;

// 15 seconds, or QUENLODE_LIVENESS_SECONDS (1..3600) when the environment sets it.
unsigned LivenessSeconds();

// A ping no older than the liveness time means the agent is alive.
// A slot that never saw a ping has no agent alive.
bool AgentAlive(Clock::time_point lastPing, bool everPinged, Clock::time_point now);

}  // namespace hvm::driver
