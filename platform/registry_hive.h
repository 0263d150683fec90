// One registry hive kept in a ".reg" file: read through a cache that follows
// the file, changed under an advisory lock with an atomic replace.
#pragma once
#include <sys/types.h>

#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "platform/registry_file.h"

namespace hvm {

class RegistryHive {
 public:
  RegistryHive(std::string path, std::u16string rootName, mode_t mode);

  // Runs reader on the current contents. Returns its result, or the error
  // that kept the file from being read (ERROR_REGISTRY_CORRUPT, ERROR_ACCESS_DENIED ...).
  DWORD Read(const std::function<DWORD(const RegistryTree&)>& reader);
  // Runs change on the contents read afresh under the file's lock, and
  // writes them back when change returns ERROR_SUCCESS and set changed.
  // Nothing is written while the file is damaged.
  DWORD Update(const std::function<DWORD(RegistryTree&, bool& changed)>& change);

  const std::string& path() const { return path_; }

 private:
  struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const Stamp& other) const;
  };

  DWORD Load(RegistryTree& tree, Stamp& stamp);
  DWORD WriteAtomically(const RegistryTree& tree);
  void ReportDamage(const std::string& problem, const Stamp& stamp);

  std::string path_;
  std::u16string rootName_;
  mode_t mode_;
  std::mutex mutex_;
  bool cached_ = false;
  Stamp cachedStamp_;
  RegistryTree cache_;
  Stamp reportedDamage_;
};

// The hive of a file, made on first use and kept for the process's life.
RegistryHive& HiveForFile(const std::string& path, std::u16string_view rootName, mode_t mode);

// Why the last registry call of this thread found a file damaged or unusable:
// "<file>:<line>: <what>", empty when it did not.
std::string RegistryProblem();
void SetRegistryProblem(std::string problem);

}  // namespace hvm
