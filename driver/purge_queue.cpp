#include "driver/purge_queue.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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
  bool ended = false;  // the thread left its loop
  fuse_session* session = nullptr;
  std::thread thread;
};

// A user's two lanes. A notice can wait in the kernel for a request of the
// user's own agent (a page locked by a read, a folder locked by a look-up),
// so every user has lanes of their own: one whose agent holds requests never
// delays another user's notices.
struct UserLanes {
  Lane inodes;
  Lane names;
};

std::mutex g_lanesLock;
fuse_session* g_session = nullptr;  // null: no mount, nothing to purge
// Never erased while the mount lives: a lane's thread refers to it.
std::map<uid_t, std::unique_ptr<UserLanes>> g_lanes;

void Serve(Lane& lane) {
  std::unique_lock<std::mutex> lock(lane.lock);
  while (true) {
    lane.wake.wait(lock, [&lane] { return lane.stop || !lane.queue.empty(); });
    if (lane.stop) break;
    PurgeWork work = std::move(lane.queue.front());
    lane.queue.pop_front();
    fuse_session* session = lane.session;
    lock.unlock();
    // -ENOENT means the kernel holds nothing of it: done as well.
    if (!work.name.empty())
      fuse_lowlevel_notify_inval_entry(session, work.parent, work.name.c_str(), work.name.size());
    else if (work.ino != 0)
      fuse_lowlevel_notify_inval_inode(session, work.ino, 0, 0);
    lock.lock();
    // A lane given up on at the end answers nothing more: the session is gone.
    if (lane.stop) break;
    lock.unlock();
    if (work.then) work.then();
    lock.lock();
    lane.finished += 1;
    lane.done.notify_all();
  }
  lane.ended = true;
  lane.done.notify_all();
}

void Start(Lane& lane, fuse_session* session) {
  lane.session = session;
  lane.thread = std::thread(Serve, std::ref(lane));
}

// The lanes of owner, started on first use; null when there is no mount.
UserLanes* LanesOf(uid_t owner) {
  std::lock_guard<std::mutex> guard(g_lanesLock);
  if (g_session == nullptr) return nullptr;
  std::unique_ptr<UserLanes>& lanes = g_lanes[owner];
  if (!lanes) {
    lanes = std::make_unique<UserLanes>();
    Start(lanes->inodes, g_session);
    Start(lanes->names, g_session);
  }
  return lanes.get();
}

void Queue(uid_t owner, Lane UserLanes::*which, PurgeWork work) {
  UserLanes* lanes = LanesOf(owner);
  if (lanes == nullptr) {
    if (work.then) work.then();  // no mount, nothing to purge
    return;
  }
  Lane& lane = lanes->*which;
  {
    std::unique_lock<std::mutex> guard(lane.lock);
    if (lane.stop) {
      guard.unlock();
      if (work.then) work.then();
      return;
    }
    lane.queue.push_back(std::move(work));
    lane.queued += 1;
  }
  lane.wake.notify_one();
}

// True when the lane did all it had queued at the call within the deadline.
bool WaitForLane(Lane& lane, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(lane.lock);
  uint64_t mine = lane.queued;
  return lane.done.wait_until(lock, deadline, [&lane, mine] { return lane.stop || lane.finished >= mine; });
}

// Stops the lane: its thread ends after the notice it is in, and the replies
// still queued are sent now.
void Halt(Lane& lane) {
  std::deque<PurgeWork> left;
  {
    std::lock_guard<std::mutex> guard(lane.lock);
    lane.stop = true;
    left.swap(lane.queue);
  }
  for (PurgeWork& work : left)  // replies still owed
    if (work.then) work.then();
  lane.wake.notify_all();
}

// True when the lane's thread left its loop by the deadline.
bool WaitEnded(Lane& lane, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(lane.lock);
  return lane.done.wait_until(lock, deadline, [&lane] { return lane.ended; });
}
}  // namespace

void PurgeInode(uid_t owner, uint64_t ino) { Queue(owner, &UserLanes::inodes, PurgeWork{ino, 0, {}, {}}); }

void AfterQueuedPurges(uid_t owner, std::function<void()> then) {
  Queue(owner, &UserLanes::inodes, PurgeWork{0, 0, {}, std::move(then)});
}

void ForgetEntry(uid_t owner, uint64_t parent, const std::string& name) {
  Queue(owner, &UserLanes::names, PurgeWork{0, parent, name, {}});
}

bool WaitForQueuedPurges(uid_t owner, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  UserLanes* lanes = LanesOf(owner);
  if (lanes == nullptr) return true;
  bool inodes = WaitForLane(lanes->inodes, deadline);
  return WaitForLane(lanes->names, deadline) && inodes;
}

void StartPurgeThread(fuse_session* session) {
  std::lock_guard<std::mutex> guard(g_lanesLock);
  g_session = session;
}

void StopPurgeThread(const std::function<void()>& unstick) {
  std::map<uid_t, std::unique_ptr<UserLanes>> users;
  {
    std::lock_guard<std::mutex> guard(g_lanesLock);
    g_session = nullptr;
    users.swap(g_lanes);
  }
  std::vector<Lane*> lanes;
  for (auto& [owner, pair] : users) lanes.insert(lanes.end(), {&pair->inodes, &pair->names});
  for (Lane* lane : lanes) Halt(*lane);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  bool allEnded = true;
  for (Lane* lane : lanes) allEnded = WaitEnded(*lane, deadline) && allEnded;
  if (!allEnded && unstick) {
    unstick();
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (Lane* lane : lanes) WaitEnded(*lane, deadline);
  }
  for (auto& [owner, pair] : users) {
    bool ended = true;
    for (Lane* lane : {&pair->inodes, &pair->names}) {
      bool laneEnded = WaitEnded(*lane, std::chrono::steady_clock::now());
      if (laneEnded) lane->thread.join();
      else lane->thread.detach();
      ended = ended && laneEnded;
    }
    if (!ended) pair.release();  // kept for the thread that is left
  }
}

}  // namespace hvm::driver
