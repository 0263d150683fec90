#include "driver/fuse_glue.h"
#include "driver/other_spellings.h"

#include <pwd.h>

#include <atomic>
#include <mutex>
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

}  // namespace hvm::driver
