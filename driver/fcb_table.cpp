#include "driver/fcb_table.h"

#include <atomic>
#include <random>

namespace hvm::driver {

namespace {
// Tokens start at a random point so that a stale token from an earlier run of
// the driver is unlikely to name a live FCB; 0 is never issued.
std::atomic<uint32_t> g_nextToken{[] {
  std::random_device random;
  return (random() | 0x1000u) & 0x7FFFFFFFu;
}()};
}  // namespace

std::unique_ptr<Fcb> FcbTable::Allocate() {
  auto fcb = std::make_unique<Fcb>();
  uint32_t token;
  do {
    token = g_nextToken.fetch_add(1);
  } while (token == 0 || token == 0xFFFFFFFFu);
  fcb->token = token;
  return fcb;
}

Fcb* FcbTable::Find(uint32_t token) const {
  auto it = fcbs_.find(token);
  return it == fcbs_.end() ? nullptr : it->second.get();
}

bool FcbTable::Add(std::unique_ptr<Fcb> fcb) {
  if (!fcb || fcbs_.count(fcb->token)) return false;
  uint32_t token = fcb->token;
  fcbs_.emplace(token, std::move(fcb));
  return true;
}

bool FcbTable::Remove(uint32_t token) { return fcbs_.erase(token) != 0; }

}  // namespace hvm::driver
