// One open file object of the driver, and the Connection's list of them.
#pragma once
#include <cstdint>
#include <string>

#include "agent/service/file_entry.h"

namespace hvm {

struct OpenHandle {
  uint32_t fileObject = 0;          // the key of every later request
  FileEntry* entry = nullptr;
  OpenHandle* next = nullptr;
  FileEntry* position = nullptr;    // last child a directory query returned; null = start
  std::u16string positionPath;      // its path: the scan resumes after it even if it went
  std::u16string pattern;           // the first non-empty search pattern; empty = none
  uint8_t listed = 0;               // a query of this handle returned an entry
  uint32_t currentRequest = 0;      // requestId being processed, for a pending answer
};

// Singly linked, newest first.
class OpenHandleList {
 public:
  OpenHandleList() = default;
  ~OpenHandleList();
  OpenHandleList(const OpenHandleList&) = delete;
  OpenHandleList& operator=(const OpenHandleList&) = delete;

  void Push(OpenHandle* handle);
  OpenHandle* Find(uint32_t fileObject) const;
  // Takes the handle out of the list; the caller frees it.
  void Unlink(OpenHandle* handle);
  OpenHandle* head() const { return head_; }
  // Frees every handle.
  void Clear();

 private:
  OpenHandle* head_ = nullptr;
};

}  // namespace hvm
