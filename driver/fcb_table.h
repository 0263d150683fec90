// The FCBs of one Connection, keyed by their fileToken. A token is an opaque
// 32-bit id, never an address; the table is the only authority on whether a
// token the agent names is still valid.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace hvm::driver {

struct Fcb {
  uint32_t token = 0;
  uint64_t ino = 0;  // the inode whose page cache holds the file's data
  // Every node that names this FCB as its own. Names that differ only in case
  // are one file to the agent, which hands their opens one FCB; each node must
  // let go of it when it is freed.
  std::vector<uint64_t> nodeInos;
  uint64_t fileSize = 0;
  uint64_t validLength = 0;
  uint64_t allocationSize = 0;
  bool contentsSent = false;  // the agent holds the complete current contents
  uint32_t references = 0;    // open file objects
  uint32_t handles = 0;       // handles not yet cleaned up
  int uploadsRunning = 0;     // cleanups answered pending and not finished
  std::vector<std::function<void()>> waitingForUpload;
  bool pushRunning = false;  // the contents are on their way to the agent
  std::vector<std::function<void(int error)>> waitingForPush;

  void SetAllSizes(uint64_t size) { fileSize = validLength = allocationSize = size; }
  // The nodes besides ino that hold this FCB: each is a file of its own to
  // the kernel, with pages and a size of its own that a change through ino
  // leaves stale.
  std::vector<uint64_t> OtherNodes(uint64_t ino) const {
    std::vector<uint64_t> others;
    for (uint64_t holder : nodeInos)
      if (holder != ino) others.push_back(holder);
    return others;
  }
};

class FcbTable {
 public:
  // A new FCB with a fresh token; it joins the table only through Add.
  static std::unique_ptr<Fcb> Allocate();
  bool Contains(uint32_t token) const { return fcbs_.count(token) != 0; }
  Fcb* Find(uint32_t token) const;
  // Refused (false) for null or a token already present.
  bool Add(std::unique_ptr<Fcb> fcb);
  // Unlinks and frees; false when absent.
  bool Remove(uint32_t token);
  size_t size() const { return fcbs_.size(); }

 private:
  std::map<uint32_t, std::unique_ptr<Fcb>> fcbs_;
};

}  // namespace hvm::driver
