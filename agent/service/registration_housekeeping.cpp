// The agent's housekeeping thread: every 100 ms it frees the parked entries
// nobody holds any more and ends the attached sections of entries nobody
// uses, so finished downloads and read-ahead blocks do not pile up. The walk
// over a large entry cache is skipped while no entry can have a section.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "agent/service/registration.h"
#include "common/moorlib.h"

namespace hvm {
namespace {

constexpr auto kRoundInterval = std::chrono::milliseconds(100);

struct Housekeeper {
  std::mutex lock;
  std::condition_variable wake;
  std::thread thread;
  bool stopping = false;
  std::function<void()> step;
};

Housekeeper& TheHousekeeper() {
  static Housekeeper keeper;
  return keeper;
}

bool EntryIsIdle(const FileEntry& entry) {
  if (entry.readers.load() >= 1) return false;
  // A background upload or download still works on the entry.
  if (entry.backgroundUsers > 0) return false;
  return !(entry.useCount > 0 && !entry.IsDeletePending());
}

// A parked entry may still be named by an open handle or the last listing,
// besides the jobs and opens that keep any entry busy.
bool DeferredEntryHeld(const Connection& c, const FileEntry& entry) {
  if (!EntryIsIdle(entry) || entry.useCount > 0 || entry.handleCount > 0) return true;
  if (c.lastListed == &entry) return true;
  for (OpenHandle* handle = c.openHandles.head(); handle != nullptr; handle = handle->next)
    if (handle->entry == &entry || handle->position == &entry) return true;
  return false;
}

void TidyConnection(Connection& c, bool mapped) {
  std::unique_lock<std::recursive_mutex> guard(c.requestLock, std::try_to_lock);
  // A request or a disconnect is under way: this Connection waits for the next round.
  if (!guard.owns_lock()) return;
  c.entries.FreeDeferred([&c](const FileEntry& entry) { return DeferredEntryHeld(c, entry); });
  if (!mapped || !c.entries.SectionWalkDue()) return;
  bool sectionsLeft = false;
  for (FileEntry* entry : c.entries) {
    if (entry->sections == nullptr) continue;
    if (EntryIsIdle(*entry)) DetachAllSections(*entry);
    sectionsLeft = sectionsLeft || entry->sections != nullptr;
  }
  c.entries.SectionWalkDone(sectionsLeft);
}

void Run(ConnectionTable& table) {
  Housekeeper& keeper = TheHousekeeper();
  std::unique_lock<std::mutex> lock(keeper.lock);
  while (!keeper.stopping) {
    std::function<void()> step = keeper.step;
    lock.unlock();
    if (step) step();
    HousekeepingRound(table);
    lock.lock();
    keeper.wake.wait_for(lock, kRoundInterval, [&keeper] { return keeper.stopping; });
  }
}

}  // namespace

void HousekeepingRound(ConnectionTable& table) {
  for (size_t i = 0; i < table.size(); ++i) {
    Connection& c = table.at(i);
    if (c.site == nullptr) continue;
    bool mapped = c.site->mappedDrive != 0 && c.mapped;
    // A disconnected site's parked entries still go once their last job lets go.
    if (mapped || c.entries.DeferredCount() > 0) TidyConnection(c, mapped);
  }
}

void SetHousekeepingStep(std::function<void()> step) {
  Housekeeper& keeper = TheHousekeeper();
  std::lock_guard<std::mutex> guard(keeper.lock);
  keeper.step = std::move(step);
}

void StartHousekeeping(ConnectionTable& table) {
  Housekeeper& keeper = TheHousekeeper();
  std::lock_guard<std::mutex> guard(keeper.lock);
  if (keeper.thread.joinable()) return;
  keeper.stopping = false;
  keeper.thread = std::thread(Run, std::ref(table));
  if (table.block() != nullptr) table.block()->housekeepingRunning = 1;
}

void StopHousekeeping() {
  Housekeeper& keeper = TheHousekeeper();
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(keeper.lock);
    keeper.stopping = true;
    thread = std::move(keeper.thread);
  }
  keeper.wake.notify_all();
  if (thread.joinable()) thread.join();
  if (ConnectionTable* table = BoundConnectionTable())
    if (table->block() != nullptr) table->block()->housekeepingRunning = 0;
}

}  // namespace hvm
