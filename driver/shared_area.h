// The shared data area of a Connection, as the driver sees it: a sealed
// memory file mapped once, its slots lent out one request at a time. The
// agent maps the same pages and may write into them whenever it likes, so
// nothing read from a slot is trusted beyond the bytes of a file of the
// agent's own user: every length is checked against the slot, and the slot
// a request uses is the one the driver picked.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "agent/service/channel_records.h"
#include "platform/data_area.h"

namespace hvm::driver {

// Areas one user may hold: each is kSharedAreaSize bytes of memory.
// QUENLODE_SHARED_AREAS_PER_USER (0..25) changes it; 0 turns areas off.
size_t SharedAreasPerUser();

class SharedArea {
 public:
  // A new sealed, mapped area; nullptr when it cannot be made.
  static std::shared_ptr<SharedArea> Make();
  ~SharedArea();
  SharedArea(const SharedArea&) = delete;
  SharedArea& operator=(const SharedArea&) = delete;

  int descriptor() const { return fd_; }
  size_t slotSize() const { return kSharedSlotSize; }
  uint32_t slotCount() const { return kSharedSlotCount; }
  uint8_t* SlotData(uint32_t index) const { return mapping_->base() + index * kSharedSlotSize; }
  // Slots not lent out.
  uint32_t FreeSlots() const;

 private:
  friend class SlotLease;
  SharedArea(int fd, std::unique_ptr<DataAreaMapping> mapping);
  // A free slot's index, now taken; -1 when every slot is lent out.
  int Take();
  void Give(uint32_t index);

  int fd_;
  std::unique_ptr<DataAreaMapping> mapping_;
  std::atomic<uint32_t> taken_{0};  // one bit per slot
};

// One slot lent to a request; given back when the last holder lets go (the
// request, or the reply that answers FUSE from it).
class SlotLease {
 public:
  // nullptr when no slot is free (the request then goes inline).
  static std::shared_ptr<SlotLease> Take(const std::shared_ptr<SharedArea>& area);
  ~SlotLease();
  SlotLease(const SlotLease&) = delete;
  SlotLease& operator=(const SlotLease&) = delete;

  uint32_t index() const { return index_; }
  uint8_t* data() const { return area_->SlotData(index_); }
  size_t capacity() const { return area_->slotSize(); }
  const SharedArea* area() const { return area_.get(); }

 private:
  SlotLease(std::shared_ptr<SharedArea> area, uint32_t index) : area_(std::move(area)), index_(index) {}
  std::shared_ptr<SharedArea> area_;
  uint32_t index_;
};

}  // namespace hvm::driver
