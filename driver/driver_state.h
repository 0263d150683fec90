// The driver's state: user slots, Connections, FCBs and file objects. One
// lock guards all of it; nothing waits while holding it.
#pragma once
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "driver/control_peer.h"
#include "driver/fcb_table.h"
#include "driver/forward.h"
#include "driver/liveness.h"
#include "driver/shared_area.h"

namespace hvm::driver {

inline constexpr int kUserSlotCount = 10;
inline constexpr int kConnectionCells = 25;

struct UserSlot;

// A cleanup (or close) the agent answered STATUS_PENDING; IOCTL_CLEANUP_DONE
// or the liveness wait finishes it.
struct CleanupWait {
  uint32_t requestId = 0;
  Clock::time_point roundStart{};
  std::function<void(NTSTATUS status, uint32_t information, bool timedOut)> done;
};

struct Connection {
  UserSlot* slot = nullptr;
  uint32_t handle = 0;  // opaque connectionHandle given to the agent
  std::u16string name;
  uint16_t driveLetter = 0;
  bool active = false;
  uint32_t usedUnits = 0;
  uint32_t freeUnits = 0;
  uint32_t reserved = 0;     // kAgreedWidePieces when the agent asked for wide pieces
  size_t pieceSize = kMaxChunk;  // largest read, write or content push handed over whole
  // The shared data area, made when an agent of wide pieces asked for it; kept
  // for the Connection's life (a loop of a later registration maps it again).
  std::shared_ptr<SharedArea> area;

  // The agent asked for a request since registration (the request buffer).
  bool hasRequestBuffer = false;
  std::optional<PendingAgentCall> agentCall;
  std::deque<ForwardPtr> queue;
  ForwardPtr inFlight;
  // The control connection the request in flight was handed to: when it
  // goes away no answer can come.
  const ControlPeer* inFlightPeer = nullptr;
  std::map<uint32_t, CleanupWait> cleanupWaits;
  FcbTable fcbs;
};

struct UserSlot {
  bool used = false;
  uid_t uid = 0;
  std::u16string sid;
  bool suspended = false;
  Clock::time_point lastPing{};
  bool everPinged = false;
  Clock::time_point lastActivity{};  // last connect or ping of the user
  unsigned timeoutSeconds = 15;
  uint32_t handle = 0;  // opaque slot handle returned by IOCTL_PING
  std::array<std::unique_ptr<Connection>, kConnectionCells> cells;
};

std::mutex& DriverMutex();

// "S-1-22-1-<uid>": the SID text of a Unix user.
std::u16string SidOfUid(uid_t uid);

}  // namespace hvm::driver
