#include "driver/liveness.h"

#include <cstdlib>

namespace hvm::driver {

unsigned LivenessSeconds() {
  static const unsigned seconds = [] {
    const char* text = getenv("QUENLODE_LIVENESS_SECONDS");
    if (text == nullptr) return 15u;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 3600) return 15u;
    return static_cast<unsigned>(value);
  }();
  return seconds;
}

bool AgentAlive(Clock::time_point lastPing, bool everPinged, Clock::time_point now) {
  if (!everPinged) return false;
  return now - lastPing <= std::chrono::seconds(LivenessSeconds());
}

}  // namespace hvm::driver
