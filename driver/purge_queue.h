// Telling the kernel to forget what it cached: pages and attributes of an
// inode, or a name in a folder. The kernel takes the folder's lock to forget
// a name, and a request that holds that lock may be waiting for this daemon,
// so the notices go out on threads of their own, never inside a request.
// Names and inodes have a thread each: forgetting an inode's pages never
// waits behind a name whose folder is locked.
#pragma once
#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace hvm::driver {

// The kernel forgets cached pages and attributes of ino.
void PurgeInode(uint64_t ino);
// Runs then on the inode thread once the kernel forgot every inode queued
// before it: a reply that must not overtake those purges. It never blocks a
// thread that answers requests.
void AfterQueuedPurges(std::function<void()> then);
// The kernel forgets a name in parent.
void ForgetEntry(uint64_t parent, const std::string& name);
// Waits until the kernel was told of everything queued so far, at most limit
// (a kernel that holds a folder's lock for a request stuck behind this caller
// must not hold it for long). False when the limit ran out.
bool WaitForQueuedPurges(std::chrono::milliseconds limit);
void StartPurgeThread(fuse_session* session);
void StopPurgeThread();

}  // namespace hvm::driver
