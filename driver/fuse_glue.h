// Shared pieces of the FUSE request handlers: the caller's uid, attributes
// of nodes, entry replies, operation ids for interrupts, and the purge
// thread that talks to the kernel outside any request.
#pragma once
#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "driver/namespace.h"
#include "driver/purge_queue.h"

namespace hvm::driver {

// Attribute and entry lifetimes in the kernel: short, so that server changes
// show up soon, long enough that `ls -l` asks once per entry.
inline constexpr double kAttrTimeout = 1.0;
inline constexpr double kEntryTimeout = 1.0;
// A name listed this recently is answered from the listing.
inline constexpr auto kListingFresh = std::chrono::seconds(2);

uid_t CallerUid(fuse_req_t req);
void FillStat(const Node& node, struct stat& st);
// Replies the node as a looked-up entry (its lookup count already raised).
// The kernel's entry for a node: inode, attributes and how long both hold.
fuse_entry_param EntryOf(const Node& node);
void ReplyEntry(fuse_req_t req, const Node& node);
// How long the kernel may keep node's attributes.
double AttrTimeoutOf(const Node& node);
// A name known to be missing, answered without asking the agent; the kernel
// asks again next time.
void ReplyMissing(fuse_req_t req);
// The attributes as the FCB knows them while the file is open.
RemoteAttr CurrentAttr(const Node& node);
bool AttrFresh(const Node& node);

// An id for a deferred operation, registered for interrupts: an interrupted
// request that the agent has not taken yet ends with EINTR.
uint64_t BeginOperation(fuse_req_t req);


// The FUSE request handlers, by concept.
void OpLookup(fuse_req_t, fuse_ino_t, const char*);
void OpForget(fuse_req_t, fuse_ino_t, uint64_t);
void OpForgetMulti(fuse_req_t, size_t, fuse_forget_data*);
void OpGetattr(fuse_req_t, fuse_ino_t, fuse_file_info*);
void OpStatfs(fuse_req_t, fuse_ino_t);
void OpOpen(fuse_req_t, fuse_ino_t, fuse_file_info*);
void OpCreate(fuse_req_t, fuse_ino_t, const char*, mode_t, fuse_file_info*);
void OpFlush(fuse_req_t, fuse_ino_t, fuse_file_info*);
void OpRelease(fuse_req_t, fuse_ino_t, fuse_file_info*);
void OpFsync(fuse_req_t, fuse_ino_t, int, fuse_file_info*);
void OpRead(fuse_req_t, fuse_ino_t, size_t, off_t, fuse_file_info*);
void OpWrite(fuse_req_t, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*);
void OpOpendir(fuse_req_t, fuse_ino_t, fuse_file_info*);
void OpReaddirplus(fuse_req_t, fuse_ino_t, size_t, off_t, fuse_file_info*);
void OpReleasedir(fuse_req_t, fuse_ino_t, fuse_file_info*);
void OpMkdir(fuse_req_t, fuse_ino_t, const char*, mode_t);
void OpUnlink(fuse_req_t, fuse_ino_t, const char*);
void OpRmdir(fuse_req_t, fuse_ino_t, const char*);
void OpRename(fuse_req_t, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned int);
void OpSetattr(fuse_req_t, fuse_ino_t, struct stat*, int, fuse_file_info*);
void OpGetxattr(fuse_req_t, fuse_ino_t, const char*, size_t);
void OpListxattr(fuse_req_t, fuse_ino_t, size_t);
void OpCopyFileRange(fuse_req_t, fuse_ino_t, off_t, fuse_file_info*, fuse_ino_t, off_t, fuse_file_info*,
                     size_t, int);

// Content push before the first write (the agent must hold the whole file).
void PushContents(uint32_t fileObjectId, std::function<void(int error)> then);

}  // namespace hvm::driver
