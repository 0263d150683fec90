// What one iteration of the request loop works on: the request in hand, the
// reply being built, the Connection, and what step 4 found for the request.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "agent/service/channel_records.h"
#include "agent/service/connection.h"
#include "agent/service/file_entry.h"
#include "agent/service/open_handle.h"
#include "agent/service/reply_area.h"

namespace hvm {

// State the loop keeps from one request to the next.
struct LoopState {
  NTSTATUS previousStatus = 0;  // what the last request was answered
  // The Connection's shared data area as this loop mapped it (null: none);
  // kSharedSlotCount slots of kSharedSlotSize bytes.
  uint8_t* area = nullptr;
};

struct RequestContext {
  RequestContext(Connection& c, LoopState& l, const RequestRecord& req, ReplyRecord& rep)
      : connection(c), loop(l), request(req), reply(rep) {}

  Connection& connection;
  LoopState& loop;
  const RequestRecord& request;
  ReplyRecord& reply;
  OpenHandle* handle = nullptr;    // every operation but create and device control
  FileEntry* entry = nullptr;
  uint64_t sizeBeforeRequest = 0;  // the entry's size before the driver's size replaced it
  std::u16string name;             // create: the full name; device control: the target
  ReplyArea area;

  // Data bytes the request really carries (dataLength, bounded by the buffer).
  size_t DataLength() const;
  uint32_t DataWord(size_t index) const;
  uint32_t Word(size_t index) const { return request.Parameters[index]; }
  void SetReplyDataWord(size_t index, uint32_t value);
  void Answer(NTSTATUS status) { reply.status = status; }
  void Answer(NTSTATUS status, uint32_t information) {
    reply.status = status;
    reply.information = information;
  }
  // value and, in reply data word 0, its high half (write, position, end of file).
  void SetReplyValue64(uint64_t value);
  // Whether the request names a slot of the shared area for its bytes.
  bool NamesSlot() const { return request.sharedSlot != 0; }
  // The named slot's kSharedSlotSize bytes; nullptr when the request names
  // none, or one this loop cannot have (no area, an index past the slots).
  uint8_t* Slot() const;
};

inline constexpr size_t kRequestDataCapacity = sizeof(RequestRecord::data);
inline constexpr size_t kReplyDataCapacity = sizeof(ReplyRecord::data);

inline size_t RequestContext::DataLength() const {
  return request.dataLength > kRequestDataCapacity ? kRequestDataCapacity : request.dataLength;
}

inline uint32_t RequestContext::DataWord(size_t index) const {
  uint32_t value = 0;
  if ((index + 1) * 4 <= kRequestDataCapacity) std::memcpy(&value, request.data + index * 4, 4);
  return value;
}

inline uint8_t* RequestContext::Slot() const {
  uint32_t named = request.sharedSlot;
  uint32_t index = named & ~kSlotNamed;
  if ((named & kSlotNamed) == 0 || loop.area == nullptr || index >= kSharedSlotCount) return nullptr;
  return loop.area + size_t{index} * kSharedSlotSize;
}

inline void RequestContext::SetReplyDataWord(size_t index, uint32_t value) {
  std::memcpy(reply.data + index * 4, &value, 4);
}

inline void RequestContext::SetReplyValue64(uint64_t value) {
  reply.value = static_cast<uint32_t>(value);
  SetReplyDataWord(0, static_cast<uint32_t>(value >> 32));
}

}  // namespace hvm
