#include "agent/service/open_handle.h"

namespace hvm {

OpenHandleList::~OpenHandleList() { Clear(); }

void OpenHandleList::Push(OpenHandle* handle) {
  handle->next = head_;
  head_ = handle;
}

OpenHandle* OpenHandleList::Find(uint32_t fileObject) const {
  for (OpenHandle* h = head_; h != nullptr; h = h->next) {
    if (h->fileObject == fileObject) return h;
  }
  return nullptr;
}

void OpenHandleList::Unlink(OpenHandle* handle) {
  for (OpenHandle** link = &head_; *link != nullptr; link = &(*link)->next) {
    if (*link == handle) {
      *link = handle->next;
      handle->next = nullptr;
      return;
    }
  }
}

void OpenHandleList::Clear() {
  while (head_ != nullptr) {
    OpenHandle* h = head_;
    head_ = h->next;
    delete h;
  }
}

}  // namespace hvm
