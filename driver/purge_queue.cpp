#include "driver/purge_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace hvm::driver {

namespace {
struct PurgeWork {
  uint64_t ino = 0;
  uint64_t parent = 0;
  std::string name;            // empty: purge the inode
  std::function<void()> then;  // runs once the kernel was told (ino 0 and no name: only this)
};

// One lane of notices, served in order by its own thread.
struct Lane {
  std::mutex lock;
  std::condition_variable wake;
  std::condition_variable done;
  std::deque<PurgeWork> queue;
  uint64_t queued = 0;  // counts of work queued and done, for waiters
  uint64_t finished = 0;
  bool stop = false;
  fuse_session* session = nullptr;
  std::thread thread;
};

Lane g_inodes;
Lane g_names;

void Queue(Lane& lane, PurgeWork work) {
  {
    std::unique_lock<std::mutex> guard(lane.lock);
    if (lane.session == nullptr) {
      guard.unlock();
      if (work.then) work.then();  // no mount, nothing to purge
      return;
    }
    lane.queue.push_back(std::move(work));
    lane.queued += 1;
  }
  lane.wake.notify_one();
}

void Serve(Lane& lane) {
  std::unique_lock<std::mutex> lock(lane.lock);
  while (true) {
    lane.wake.wait(lock, [&lane] { return lane.stop || !lane.queue.empty(); });
    if (lane.stop) return;
    PurgeWork work = std::move(lane.queue.front());
    lane.queue.pop_front();
    fuse_session* session = lane.session;
    lock.unlock();
    // -ENOENT means the kernel holds nothing of it: done as well.
    if (!work.name.empty())
      fuse_lowlevel_notify_inval_entry(session, work.parent, work.name.c_str(), work.name.size());
    else if (work.ino != 0)
      fuse_lowlevel_notify_inval_inode(session, work.ino, 0, 0);
    if (work.then) work.then();
    lock.lock();
    lane.finished += 1;
    lane.done.notify_all();
  }
}

// True when the lane did all it had queued at the call within the deadline.
bool WaitForLane(Lane& lane, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(lane.lock);
  uint64_t mine = lane.queued;
  return lane.done.wait_until(lock, deadline, [&lane, mine] { return lane.stop || lane.finished >= mine; });
}

void Start(Lane& lane, fuse_session* session) {
  std::lock_guard<std::mutex> guard(lane.lock);
  lane.session = session;
  lane.stop = false;
  lane.thread = std::thread(Serve, std::ref(lane));
}

void Stop(Lane& lane) {
  std::deque<PurgeWork> left;
  {
    std::lock_guard<std::mutex> guard(lane.lock);
    if (lane.session == nullptr) return;
    lane.stop = true;
    lane.session = nullptr;
    left.swap(lane.queue);
  }
  for (PurgeWork& work : left)  // replies still owed
    if (work.then) work.then();
  lane.wake.notify_all();
  lane.done.notify_all();
  lane.thread.join();
}
}  // namespace

void PurgeInode(uint64_t ino) { Queue(g_inodes, PurgeWork{ino, 0, {}, {}}); }

void AfterQueuedPurges(std::function<void()> then) { Queue(g_inodes, PurgeWork{0, 0, {}, std::move(then)}); }

void ForgetEntry(uint64_t parent, const std::string& name) { Queue(g_names, PurgeWork{0, parent, name, {}}); }

bool WaitForQueuedPurges(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  bool inodes = WaitForLane(g_inodes, deadline);
  return WaitForLane(g_names, deadline) && inodes;
}

void StartPurgeThread(fuse_session* session) {
  Start(g_inodes, session);
  Start(g_names, session);
}

void StopPurgeThread() {
  Stop(g_inodes);
  Stop(g_names);
}

}  // namespace hvm::driver
