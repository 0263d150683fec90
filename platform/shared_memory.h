// Named sections in POSIX shared memory (the named file mappings).
#pragma once
#include <cstddef>
#include <string>

namespace hvm {

struct SharedSection {
  void* base = nullptr;
  size_t size = 0;
  bool existed = false;  // the section was already there ("already exists")
};

// Opens or creates the section "name" of at least size bytes, zero-filled when
// new. Returns false (errno set) when it cannot be mapped.
bool OpenSharedSection(const std::string& name, size_t size, SharedSection& section);
void CloseSharedSection(SharedSection& section);

}  // namespace hvm
