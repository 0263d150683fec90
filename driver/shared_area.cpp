#include "driver/shared_area.h"

#include <unistd.h>

#include <bit>
#include <cstdlib>

#include <cerrno>

#include "driver/trace.h"

namespace hvm::driver {

namespace {
constexpr size_t kDefaultAreasPerUser = 8;
constexpr uint32_t kAllSlots = (1u << kSharedSlotCount) - 1;
}  // namespace

size_t SharedAreasPerUser() {
  static const size_t count = [] {
    const char* text = getenv("QUENLODE_SHARED_AREAS_PER_USER");
    if (text == nullptr) return kDefaultAreasPerUser;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 25) return kDefaultAreasPerUser;
    return static_cast<size_t>(value);
  }();
  return count;
}

std::shared_ptr<SharedArea> SharedArea::Make() {
  int fd = MakeDataArea(kSharedAreaSize);
  if (fd < 0) {
    Trace("Err: no shared area (errno %d)\n", errno);
    return nullptr;
  }
  auto mapping = DataAreaMapping::Map(fd, kSharedAreaSize);
  if (!mapping) {
    Trace("Err: shared area not mapped (errno %d)\n", errno);
    close(fd);
    return nullptr;
  }
  return std::shared_ptr<SharedArea>(new SharedArea(fd, std::move(mapping)));
}

SharedArea::SharedArea(int fd, std::unique_ptr<DataAreaMapping> mapping)
    : fd_(fd), mapping_(std::move(mapping)) {}

SharedArea::~SharedArea() { close(fd_); }

uint32_t SharedArea::FreeSlots() const {
  return kSharedSlotCount - static_cast<uint32_t>(std::popcount(taken_.load()));
}

int SharedArea::Take() {
  uint32_t taken = taken_.load();
  while (true) {
    uint32_t free = ~taken & kAllSlots;
    if (free == 0) return -1;
    uint32_t bit = free & (~free + 1);  // the lowest free slot
    if (taken_.compare_exchange_weak(taken, taken | bit)) return std::countr_zero(bit);
  }
}

void SharedArea::Give(uint32_t index) { taken_.fetch_and(~(1u << index)); }

std::shared_ptr<SlotLease> SlotLease::Take(const std::shared_ptr<SharedArea>& area) {
  if (!area) return nullptr;
  int index = area->Take();
  if (index < 0) return nullptr;
  return std::shared_ptr<SlotLease>(new SlotLease(area, static_cast<uint32_t>(index)));
}

SlotLease::~SlotLease() { area_->Give(index_); }

}  // namespace hvm::driver
