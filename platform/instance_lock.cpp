// Named mutexes as advisory locks on files in the agent's own folder.
#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/runtime_paths.h"

namespace hvm {
namespace {

// The lock file for "name"; path separators in the name become '_'.
std::string LockPath(const std::string& name) {
  std::string file = name;
  for (char& c : file) {
    if (c == '/') c = '_';
  }
  return AgentStateDir() + "/" + file + ".lock";
}

}  // namespace

InstanceLock::~InstanceLock() { Release(); }

bool InstanceLock::Acquire(const std::string& name) {
  Release();
  alreadyExists_ = false;
  problem_.clear();
  if (name.empty()) {
    problem_ = "the lock has no name";
    return false;
  }
  // The folder is the user's alone, so nobody else can hand over a lock file.
  if (!PrepareOwnFolder(AgentStateDir(), 0700, problem_)) return false;
  std::string path = LockPath(name);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    problem_ = path + " cannot be opened: " + strerror(errno);
    return false;
  }
  // A probe by InstanceLockHeld holds the lock for an instant only; a few
  // retries keep it from being taken for a running instance.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  alreadyExists_ = errno == EWOULDBLOCK;
  if (!alreadyExists_) problem_ = path + " cannot be locked: " + strerror(errno);
  close(fd);
  return false;
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  // The file stays: removing it would let two processes lock two different files.
  flock(fd_, LOCK_UN);
  close(fd_);
  fd_ = -1;
}

bool InstanceLockHeld(const std::string& name) {
  if (name.empty()) return false;
  int fd = open(LockPath(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;  // never created: nobody holds it
  // A shared probe does not block another probe.
  bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

}  // namespace hvm
