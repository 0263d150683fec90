// Telling the kernel to forget what it cached: pages and attributes of an
// inode, or a name in a folder. The kernel takes the folder's lock to forget
// a name, and a request that holds that lock may be waiting for this daemon,
// so the notices go out on threads of their own, never inside a request.
// Names and inodes have a thread each: forgetting an inode's pages never
// waits behind a name whose folder is locked. Each user (the owner of the
// nodes) has threads of their own: a notice can wait for as long as that
// user's agent holds a request, and no other user waits with it.
#pragma once
#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace hvm::driver {

// The kernel forgets cached pages and attributes of ino, a node of owner.
void PurgeInode(uid_t owner, uint64_t ino);
// Runs then on owner's inode thread once the kernel forgot every inode of
// owner queued before it: a reply that must not overtake those purges. It
// never blocks a thread that answers requests.
void AfterQueuedPurges(uid_t owner, std::function<void()> then);
// The kernel forgets a name in parent, a folder of owner.
void ForgetEntry(uid_t owner, uint64_t parent, const std::string& name);
// Waits until the kernel was told of everything queued for owner so far, at
// most limit (a kernel that holds a folder's lock for a request stuck behind
// this caller must not hold it for long). False when the limit ran out.
bool WaitForQueuedPurges(uid_t owner, std::chrono::milliseconds limit);
// Threads start with the first notice of each user.
void StartPurgeThread(fuse_session* session);
// Ends them. When one still waits in the kernel after two seconds (a notice
// waiting for a page that a read nobody will answer holds), unstick is called
// to free it and the threads get two seconds more; one still waiting then is
// left to end with the process.
void StopPurgeThread(const std::function<void()>& unstick = {});
}  // namespace hvm::driver
