#include "driver/user_slots.h"

#include <cstring>

#include "driver/forwarding.h"
#include "driver/status_errno.h"
#include "driver/trace.h"
#include "platform/wide_text.h"

namespace hvm::driver {

namespace {
constexpr uint32_t kHandleTag = 0x5C000000u;
constexpr uint32_t kSlotTag = 0x51000000u;

std::u16string_view RecordName(const ConnectionRecord& record) {
  return WideField(record.name, kConnectionNameChars);
}

bool ValidConnectionName(std::u16string_view name) {
  if (name.empty()) return false;
  for (char16_t c : name)
    if (c == u'\\' || c == u'/' || c == 0) return false;
  return name != u"." && name != u"..";
}

// Shared areas the user's Connections hold.
size_t AreasOf(const UserSlot& slot) {
  size_t count = 0;
  for (auto& cell : slot.cells)
    if (cell && cell->area) ++count;
  return count;
}

// The agent acts only for its own user.
bool SidBelongsTo(std::u16string_view sid, uid_t uid) { return EqualsNoCase(sid, SidOfUid(uid)); }
}  // namespace

std::mutex& DriverMutex() {
  static std::mutex lock;
  return lock;
}

std::u16string SidOfUid(uid_t uid) {
  return Utf8ToUtf16("S-1-22-1-" + std::to_string(static_cast<unsigned long>(uid)));
}

uint32_t ConnectionHandleFor(int slotIndex, int cell) {
  return kHandleTag | (static_cast<uint32_t>(slotIndex + 1) << 8) | static_cast<uint32_t>(cell + 1);
}

UserTable& Users() {
  static UserTable* table = new UserTable();  // never freed, like the slots
  return *table;
}

// Released slots leave gaps: the whole table is searched.
int UserTable::FindSlot(std::u16string_view sid) const {
  for (int i = 0; i < kUserSlotCount; ++i)
    if (slots_[i].used && EqualsNoCase(slots_[i].sid, sid)) return i;
  return -1;
}

UserSlot* UserTable::SlotOfUid(uid_t uid) {
  for (auto& slot : slots_)
    if (slot.used && !slot.suspended && slot.uid == uid) return &slot;
  return nullptr;
}

UserSlot* UserTable::SlotByHandle(uid_t uid, uint32_t handle) {
  for (auto& slot : slots_)
    if (slot.used && slot.handle == handle && slot.uid == uid) return &slot;
  return nullptr;
}

NTSTATUS UserTable::Connect(uid_t uid, ConnectionRecord& record) {
  std::u16string_view sid = WideField(record.sid, kSidChars);
  if (!SidBelongsTo(sid, uid)) return STATUS_ACCESS_DENIED;
  std::u16string_view name = RecordName(record);
  if (!ValidConnectionName(name)) return STATUS_OBJECT_NAME_INVALID;

  int index = FindSlot(sid);
  if (index < 0) {
    int freeIndex = 0;
    while (freeIndex < kUserSlotCount && slots_[freeIndex].used) ++freeIndex;
    if (freeIndex == kUserSlotCount) return STATUS_NO_FREE_USER_SLOT;
    UserSlot& fresh = slots_[freeIndex];
    fresh.used = true;
    fresh.uid = uid;
    fresh.sid = std::u16string(sid.substr(0, kSidChars - 1));
    fresh.everPinged = false;
    fresh.timeoutSeconds = LivenessSeconds();
    fresh.handle = kSlotTag | static_cast<uint32_t>(freeIndex + 1);
    index = freeIndex;
    GiveBackCells(uid, index);
  }
  UserSlot& slot = slots_[index];
  slot.lastActivity = Clock::now();
  int cell = -1;
  for (int i = 0; i < kConnectionCells; ++i) {
    if (!slot.cells[i] || slot.cells[i]->name == name) {
      cell = i;
      break;
    }
  }
  if (cell < 0) return STATUS_TOO_MANY_NAMES;
  if (!slot.cells[cell]) {
    slot.cells[cell] = std::make_unique<Connection>();
    slot.cells[cell]->slot = &slot;
    slot.cells[cell]->handle = ConnectionHandleFor(index, cell);
  }
  Connection& conn = *slot.cells[cell];
  slot.suspended = false;
  conn.name = std::u16string(name);
  conn.active = true;
  // An agent that asks for wide pieces gets them; one that registers as
  // before keeps 64 KiB pieces. The answer tells the agent which it got.
  bool wide = (record.reserved & kAskWidePieces) != 0;
  conn.reserved = wide ? kAgreedWidePieces : 0;
  conn.pieceSize = wide ? kWidePieceSize : kMaxChunk;
  // A shared area goes with wide pieces only (a slot holds one), within the
  // user's count of areas.
  if (wide && (record.reserved & kAskSharedArea) != 0) {
    if (!conn.area && AreasOf(slot) < SharedAreasPerUser()) conn.area = SharedArea::Make();
    if (conn.area) conn.reserved |= kAgreedSharedArea;
  }
  record.reserved = conn.reserved;
  conn.driveLetter = record.driveLetter;
  conn.usedUnits = record.usedUnits;
  conn.freeUnits = record.freeUnits;
  record.connectionHandle = conn.handle;
  Trace("Connect %s handle=%x piece=%zu\n", Utf16ToUtf8(conn.name).c_str(), conn.handle, conn.pieceSize);
  return STATUS_SUCCESS;
}

NTSTATUS UserTable::Disconnect(uid_t uid, ConnectionRecord& record, Completions& out) {
  std::u16string_view sid = WideField(record.sid, kSidChars);
  if (!SidBelongsTo(sid, uid)) return STATUS_ACCESS_DENIED;
  int index = FindSlot(sid);
  if (index < 0) return STATUS_UNSUCCESSFUL;
  Connection* conn = nullptr;
  for (auto& cell : slots_[index].cells)
    if (cell && cell->handle == record.connectionHandle) conn = cell.get();
  if (conn == nullptr) return STATUS_UNSUCCESSFUL;
  conn->active = false;
  SuspendConnection(conn, out);
  if (conn->fcbs.size() == 0 && !conn->agentCall) record.connectionHandle = 0;
  return STATUS_SUCCESS;
}

NTSTATUS UserTable::Ping(uid_t uid, PingRecord& record) {
  UserSlot* slot = nullptr;
  if (record.slotHandle == 0) {
    std::u16string_view sid = WideField(record.sid, kSidChars);
    int index = SidBelongsTo(sid, uid) ? FindSlot(sid) : -1;
    if (index < 0) return STATUS_SUCCESS;  // not registered yet: nothing happens
    slot = &slots_[index];
    record.slotHandle = slot->handle;
  } else {
    slot = SlotByHandle(uid, record.slotHandle);
    if (slot == nullptr) {
      // The slot was released and taken again: the SID finds the new one.
      record.slotHandle = 0;
      return Ping(uid, record);
    }
  }
  slot->lastActivity = Clock::now();
  slot->timeoutSeconds = LivenessSeconds();
  slot->lastPing = Clock::now();
  slot->everPinged = true;
  return STATUS_SUCCESS;
}

NTSTATUS UserTable::ConnectionInfo(uid_t uid, std::u16string_view sid, uint32_t outLength,
                                   std::vector<uint8_t>& out) {
  if (!SidBelongsTo(sid, uid)) return STATUS_ACCESS_DENIED;
  int index = FindSlot(sid);
  if (index < 0) {
    Trace("IOCTL_CONNECTION_INFO user<0\n");
    return STATUS_UNSUCCESSFUL;
  }
  size_t room = (outLength - sizeof(uint32_t)) / sizeof(ConnectionRecord);
  out.assign(outLength, 0);
  uint32_t count = 0;
  for (auto& cell : slots_[index].cells) {
    if (!cell) break;
    if (!cell->active) continue;
    if (count == room) break;
    ConnectionRecord image{};
    image.marker = kRecordMarker;
    CopyWide(image.name, kConnectionNameChars, cell->name);
    image.driveLetter = cell->driveLetter;
    image.active = 1;
    image.usedUnits = cell->usedUnits;
    image.freeUnits = cell->freeUnits;
    image.reserved = cell->reserved;
    image.connectionHandle = cell->handle;
    memcpy(out.data() + sizeof(uint32_t) + count * sizeof image, &image, sizeof image);
    ++count;
  }
  memcpy(out.data(), &count, sizeof count);
  return STATUS_SUCCESS;
}

Connection* UserTable::ConnectionByHandle(uid_t uid, uint32_t handle) {
  for (auto& slot : slots_) {
    if (!slot.used || slot.uid != uid) continue;
    for (auto& cell : slot.cells)
      if (cell && cell->handle == handle) return cell.get();
  }
  return nullptr;
}

Connection* UserTable::ConnectionByName(uid_t uid, std::u16string_view name) {
  UserSlot* slot = SlotOfUid(uid);
  if (slot == nullptr) return nullptr;
  for (auto& cell : slot->cells) {
    if (!cell) break;
    if (cell->name == name) return cell.get();
  }
  return nullptr;
}

std::vector<Connection*> UserTable::ActiveConnections(uid_t uid) {
  std::vector<Connection*> list;
  UserSlot* slot = SlotOfUid(uid);
  if (slot == nullptr) return list;
  for (auto& cell : slot->cells)
    if (cell && cell->active) list.push_back(cell.get());
  return list;
}

void UserTable::ForEachConnection(const std::function<void(Connection&)>& visit) {
  for (auto& slot : slots_) {
    if (!slot.used) continue;
    for (auto& cell : slot.cells)
      if (cell) visit(*cell);
  }
}

void UserTable::PeerClosed(uid_t uid) {
  auto it = peers_.find(uid);
  if (it == peers_.end()) return;
  if (--it->second <= 0) peers_.erase(it);
}

int UserTable::PeerCount(uid_t uid) const {
  auto it = peers_.find(uid);
  return it == peers_.end() ? 0 : it->second;
}

// Nobody of the user is connected, nothing waits for the agent, and the
// Connections were disconnected or the agent has been silent for the
// liveness time.
bool UserTable::SlotIdle(const UserSlot& slot, Clock::time_point now) const {
  if (PeerCount(slot.uid) > 0) return false;
  bool anyActive = false;
  for (auto& cell : slot.cells) {
    if (!cell) continue;
    if (cell->inFlight || !cell->queue.empty() || !cell->cleanupWaits.empty()) return false;
    anyActive = anyActive || cell->active;
  }
  if (!anyActive) return true;
  auto quiet = std::chrono::seconds(LivenessSeconds());
  return now - slot.lastActivity > quiet && !AgentAlive(slot.lastPing, slot.everPinged, now);
}

void UserTable::Release(UserSlot& slot, Completions& out) {
  Trace("Release user slot %s\n", Utf16ToUtf8(slot.sid).c_str());
  auto& kept = retired_[slot.uid];
  for (int i = 0; i < kConnectionCells; ++i) {
    if (!slot.cells[i]) continue;
    if (slot.cells[i]->active) SuspendConnection(slot.cells[i].get(), out);
    slot.cells[i]->slot = nullptr;
    kept[i] = std::move(slot.cells[i]);
  }
  slot = UserSlot{};
}

// A user who registers again gets the Connections it had: the mount's nodes
// and open files still point at them.
void UserTable::GiveBackCells(uid_t uid, int index) {
  auto it = retired_.find(uid);
  if (it == retired_.end()) return;
  UserSlot& slot = slots_[index];
  for (int i = 0; i < kConnectionCells; ++i) {
    if (!it->second[i]) continue;
    slot.cells[i] = std::move(it->second[i]);
    slot.cells[i]->slot = &slot;
    slot.cells[i]->handle = ConnectionHandleFor(index, i);
  }
  retired_.erase(it);
}

void UserTable::ReleaseIdleSlots(Clock::time_point now, Completions& out) {
  for (auto& slot : slots_)
    if (slot.used && SlotIdle(slot, now)) Release(slot, out);
}

std::vector<UserSlot*> UserTable::UsedSlots() {
  std::vector<UserSlot*> list;
  for (auto& slot : slots_)
    if (slot.used) list.push_back(&slot);
  return list;
}

}  // namespace hvm::driver
