#include "driver/fuse_glue.h"
#include "driver/other_spellings.h"

#include <pwd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "driver/completions.h"
#include "driver/driver_state.h"
#include "driver/fcb_table.h"
#include "driver/forwarding.h"
#include "driver/info_records.h"

namespace hvm::driver {

namespace {
gid_t PrimaryGroup(uid_t uid) {
  static std::mutex lock;
  static std::unordered_map<uid_t, gid_t> known;
  std::lock_guard<std::mutex> guard(lock);
  auto it = known.find(uid);
  if (it != known.end()) return it->second;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  gid_t gid = getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found
                  ? found->pw_gid
                  : static_cast<gid_t>(uid);
  known[uid] = gid;
  return gid;
}

void OnInterrupt(fuse_req_t, void* data) {
  Completions out;
  std::lock_guard<std::mutex> guard(DriverMutex());
  CancelOperation(reinterpret_cast<uintptr_t>(data), out);
}

struct PurgeWork {
  uint64_t ino = 0;
  uint64_t parent = 0;
  std::string name;  // empty: purge the inode
  std::function<void()> then;  // runs once the kernel was told (ino 0 and no name: only this)
};
std::mutex g_purgeLock;
std::condition_variable g_purgeWake;
std::deque<PurgeWork> g_purgeQueue;
uint64_t g_purgesQueued = 0;  // counts of work queued and done, for waiters
uint64_t g_purgesDone = 0;
std::condition_variable g_purgeDone;
bool g_purgeStop = false;
std::thread g_purgeThread;
fuse_session* g_session = nullptr;

void Queue(PurgeWork work) {
  {
    std::unique_lock<std::mutex> guard(g_purgeLock);
    if (g_session == nullptr) {
      guard.unlock();
      if (work.then) work.then();  // no mount, nothing to purge
      return;
    }
    g_purgeQueue.push_back(std::move(work));
    g_purgesQueued += 1;
  }
  g_purgeWake.notify_one();
}

void PurgeLoop() {
  std::unique_lock<std::mutex> lock(g_purgeLock);
  while (true) {
    g_purgeWake.wait(lock, [] { return g_purgeStop || !g_purgeQueue.empty(); });
    if (g_purgeStop) return;
    PurgeWork work = std::move(g_purgeQueue.front());
    g_purgeQueue.pop_front();
    lock.unlock();
    // -ENOENT means the kernel holds nothing of it: done as well.
    if (!work.name.empty())
      fuse_lowlevel_notify_inval_entry(g_session, work.parent, work.name.c_str(), work.name.size());
    else if (work.ino != 0)
      fuse_lowlevel_notify_inval_inode(g_session, work.ino, 0, 0);
    if (work.then) work.then();
    lock.lock();
    g_purgesDone += 1;
    g_purgeDone.notify_all();
  }
}
}  // namespace

uid_t CallerUid(fuse_req_t req) { return fuse_req_ctx(req)->uid; }

RemoteAttr CurrentAttr(const Node& node) {
  RemoteAttr attr = node.attr;
  if (node.fcbToken != 0 && node.connection != nullptr) {
    if (Fcb* fcb = node.connection->fcbs.Find(node.fcbToken)) attr.size = fcb->fileSize;
  }
  return attr;
}

bool AttrFresh(const Node& node) {
  return node.attrTime != Clock::time_point{} && Clock::now() - node.attrTime < kListingFresh;
}

// The made-up folders show the time the driver started.
static const timespec& StartTime() {
  static const timespec start = [] {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
  }();
  return start;
}

void FillStat(const Node& node, struct stat& st) {
  st = {};
  st.st_mtim = st.st_ctim = st.st_atim = StartTime();
  st.st_ino = node.ino;
  st.st_uid = node.uid;
  st.st_gid = PrimaryGroup(node.uid);
  st.st_blksize = kWidePieceSize;  // programs move 1 MiB a call, the largest request
  if (node.kind == NodeKind::Root) {
    st.st_mode = S_IFDIR | 0755;
    st.st_uid = 0;
    st.st_gid = 0;
    st.st_nlink = 2;
    return;
  }
  if (node.kind != NodeKind::Remote) {
    st.st_mode = S_IFDIR | 0700;
    st.st_nlink = 2;
    return;
  }
  RemoteAttr attr = CurrentAttr(node);
  if (attr.isDirectory) {
    st.st_mode = S_IFDIR | (attr.readOnly ? 0500 : 0700);
    st.st_nlink = 2;
  } else {
    st.st_mode = S_IFREG | (attr.readOnly ? 0400 : 0600);
    st.st_nlink = 1;
    st.st_size = KernelFileSize(attr.size);
    st.st_blocks = static_cast<blkcnt_t>(st.st_size / 512 + (st.st_size % 512 != 0));
  }
  st.st_mtim = TimespecFromFiletime(attr.lastWriteTime);
  st.st_ctim = TimespecFromFiletime(attr.changeTime ? attr.changeTime : attr.lastWriteTime);
  st.st_atim = TimespecFromFiletime(attr.lastAccessTime ? attr.lastAccessTime : attr.lastWriteTime);
}

fuse_entry_param EntryOf(const Node& node) {
  fuse_entry_param entry{};
  entry.ino = node.ino;
  entry.generation = 1;
  bool spelledOtherwise = HasOtherSpellings(node);
  entry.attr_timeout = spelledOtherwise ? 0 : kAttrTimeout;
  entry.entry_timeout = spelledOtherwise ? 0 : kEntryTimeout;
  FillStat(node, entry.attr);
  return entry;
}

void ReplyEntry(fuse_req_t req, const Node& node) {
  fuse_entry_param entry = EntryOf(node);
  fuse_reply_entry(req, &entry);
}

double AttrTimeoutOf(const Node& node) { return HasOtherSpellings(node) ? 0 : kAttrTimeout; }

void ReplyMissing(fuse_req_t req) {
  // Inode 0 and no lifetime: the kernel must not remember the name as missing,
  // since a file made under another spelling of it would not replace that.
  fuse_entry_param entry{};
  fuse_reply_entry(req, &entry);
}

uint64_t BeginOperation(fuse_req_t req) {
  static std::atomic<uint64_t> next{1};
  uint64_t id = next.fetch_add(1);
  fuse_req_interrupt_func(req, OnInterrupt, reinterpret_cast<void*>(static_cast<uintptr_t>(id)));
  return id;
}

void PurgeInode(uint64_t ino) { Queue(PurgeWork{ino, 0, {}, {}}); }

void AfterQueuedPurges(std::function<void()> then) { Queue(PurgeWork{0, 0, {}, std::move(then)}); }

void ForgetEntry(uint64_t parent, const std::string& name) { Queue(PurgeWork{0, parent, name, {}}); }

bool WaitForQueuedPurges(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(g_purgeLock);
  uint64_t mine = g_purgesQueued;
  return g_purgeDone.wait_for(lock, limit, [mine] { return g_purgeStop || g_purgesDone >= mine; });
}

void StartPurgeThread(fuse_session* session) {
  std::lock_guard<std::mutex> guard(g_purgeLock);
  g_session = session;
  g_purgeStop = false;
  g_purgeThread = std::thread(PurgeLoop);
}

void StopPurgeThread() {
  std::deque<PurgeWork> left;
  {
    std::lock_guard<std::mutex> guard(g_purgeLock);
    if (g_session == nullptr) return;
    g_purgeStop = true;
    g_session = nullptr;
    left.swap(g_purgeQueue);
  }
  for (PurgeWork& work : left)  // replies still owed
    if (work.then) work.then();
  g_purgeWake.notify_all();
  g_purgeDone.notify_all();
  g_purgeThread.join();
}

}  // namespace hvm::driver
