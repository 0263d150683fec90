// The ten user slots and their 25 Connection cells. A slot is bound to the
// uid that registered it: an agent registers, pings, disconnects and forwards
// only for its own SID "S-1-22-1-<uid>". A slot is released when its user has
// no control connection left and its Connections are idle (disconnected, or
// the agent stopped pinging), so an eleventh user is served once another
// left. Connections are never freed: a released user's cells are kept and
// given back when that user registers again, and a name registered again
// reuses its Connection. The driver lock must be held.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "agent/service/channel_records.h"
#include "driver/completions.h"
#include "driver/driver_state.h"

namespace hvm::driver {

class UserTable {
 public:
  // Index of the used slot with this SID (case-insensitive); -1 when absent.
  int FindSlot(std::u16string_view sid) const;
  // The caller's slot for file requests: used, not suspended, bound to uid.
  UserSlot* SlotOfUid(uid_t uid);
  UserSlot* SlotByHandle(uid_t uid, uint32_t handle);

  NTSTATUS Connect(uid_t uid, ConnectionRecord& record);
  NTSTATUS Disconnect(uid_t uid, ConnectionRecord& record, Completions& out);
  NTSTATUS Ping(uid_t uid, PingRecord& record);
  // Count and ConnectionRecord images of the user's active Connections, as many as fit.
  NTSTATUS ConnectionInfo(uid_t uid, std::u16string_view sid, uint32_t outLength,
                          std::vector<uint8_t>& out);

  Connection* ConnectionByHandle(uid_t uid, uint32_t handle);
  // A Connection of the user's slot by name (exact, at most 63 characters).
  Connection* ConnectionByName(uid_t uid, std::u16string_view name);
  std::vector<Connection*> ActiveConnections(uid_t uid);

  void ForEachConnection(const std::function<void(Connection&)>& visit);
  std::vector<UserSlot*> UsedSlots();

  // Open control connections per uid (counted by the control server).
  void PeerOpened(uid_t uid) { ++peers_[uid]; }
  void PeerClosed(uid_t uid);
  int PeerCount(uid_t uid) const;
  // Releases the slots nobody is using any more; their active Connections
  // are suspended first.
  void ReleaseIdleSlots(Clock::time_point now, Completions& out);

 private:
  bool SlotIdle(const UserSlot& slot, Clock::time_point now) const;
  void Release(UserSlot& slot, Completions& out);
  void GiveBackCells(uid_t uid, int index);

  UserSlot slots_[kUserSlotCount];
  std::map<uid_t, int> peers_;
  std::map<uid_t, std::array<std::unique_ptr<Connection>, kConnectionCells>> retired_;
};

UserTable& Users();

// The connectionHandle encoding (opaque to the agent).
uint32_t ConnectionHandleFor(int slotIndex, int cell);

}  // namespace hvm::driver
