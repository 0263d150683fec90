// The control codes of the device: length and marker checks, then the
// registration, liveness, channel and query handlers.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/completions.h"
#include "driver/control_peer.h"
#include "driver/shared_area.h"

namespace hvm::driver {

struct ControlAnswer {
  ControlAnswer() = default;
  ControlAnswer(NTSTATUS answerStatus, std::vector<uint8_t> answerOutput)
      : status(answerStatus), output(std::move(answerOutput)) {}
  NTSTATUS status = 0;
  std::vector<uint8_t> output;
  // IOCTL_SHARED_AREA: the area whose descriptor goes with the answer.
  std::shared_ptr<SharedArea> area;
};

// Answers a control call at once, or returns nothing when the call stays
// pending (IOCTL_GET_REQUEST, a forwarded InternIOCTL); those are answered
// later on the peer. Takes the driver lock itself.
std::optional<ControlAnswer> HandleControl(const std::shared_ptr<ControlPeer>& peer, uint32_t code,
                                           const std::vector<uint8_t>& input, uint32_t outLength);

// The mount's part of IOCTL_INVALIDATE_PATH (set when the mount is up):
// forget the cached entry of path below connection of user uid.
using InvalidateHook =
    std::function<NTSTATUS(uid_t uid, const std::u16string& connection, const std::u16string& path)>;
void SetInvalidateHook(InvalidateHook hook);

// IOCTL_REDIR_QUERY_PATH: claims "\QUENLODE" and its alias "\  qelmar".
NTSTATUS QueryUncPath(const std::vector<uint8_t>& input, uint32_t& acceptedLength);

}  // namespace hvm::driver
