// A process-count group (the cgroup "pids" controller) for tests that make a
// process run out of threads: the limit counts every thread of the processes
// put into the group. Made only by root where the controller is mounted.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace hvm::test {

class ProcessCountGroup {
 public:
  static constexpr const char* kRoot = "/sys/fs/cgroup/pids";

  explicit ProcessCountGroup(const std::string& name) : path_(std::string(kRoot) + "/" + name) {
    if (mkdir(path_.c_str(), 0755) != 0) path_.clear();
  }
  // Leave the group with every process still in it moved back to the root.
  ~ProcessCountGroup() {
    if (path_.empty()) return;
    std::ifstream members(path_ + "/cgroup.procs");
    for (std::string pid; members >> pid;) Write(std::string(kRoot) + "/cgroup.procs", pid);
    rmdir(path_.c_str());
  }
  ProcessCountGroup(const ProcessCountGroup&) = delete;
  ProcessCountGroup& operator=(const ProcessCountGroup&) = delete;

  bool made() const { return !path_.empty(); }
  bool Limit(int threads) { return Write(path_ + "/pids.max", std::to_string(threads)); }
  bool Enter(pid_t pid) { return Write(path_ + "/cgroup.procs", std::to_string(pid)); }
  bool Leave(pid_t pid) { return Write(std::string(kRoot) + "/cgroup.procs", std::to_string(pid)); }

  static int ThreadsOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    int value = -1;
    while (status >> key)
      if (key == "Threads:" && status >> value) return value;
    return -1;
  }

 private:
  static bool Write(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.flush();
    return static_cast<bool>(file);
  }
  std::string path_;
};

// When the system refuses a thread, UBSan's vptr check fails inside
// libstdc++'s std::thread as it drops the unstarted thread's state, so a
// sanitized program ends where the plain one goes on. Tests that make a
// program run out of threads run in the plain builds only.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

}  // namespace hvm::test
