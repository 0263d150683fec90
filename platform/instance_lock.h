// A named mutex with "already exists" semantics: an advisory lock on a file
// of that name in the agent's own folder (AgentStateDir).
#pragma once
#include <string>

namespace hvm {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock "name". Returns false when another process holds it
  // (alreadyExists() then tells so) or when the lock file cannot be made
  // (problem() then says why: a missing or foreign folder, for example).
  bool Acquire(const std::string& name);
  bool alreadyExists() const { return alreadyExists_; }
  const std::string& problem() const { return problem_; }
  void Release();

 private:
  int fd_ = -1;
  bool alreadyExists_ = false;
  std::string problem_;
};

// True when some process holds the lock "name" (the lock is not taken).
bool InstanceLockHeld(const std::string& name);

}  // namespace hvm
