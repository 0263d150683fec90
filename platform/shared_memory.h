// Named sections in POSIX shared memory (the named file mappings).
//
// A Windows section name lives in the session's namespace, whereas POSIX
// shared memory is one namespace for the whole machine; so the object is
// "/<name>.<uid>": every process of one user meets the same section and two
// users never collide or read each other's. The object is readable and
// writable by its owner only.
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

// The shm_open name that stands for the section "name".
std::string SharedSectionObjectName(const std::string& name);
// Removes the name; mapped views stay valid until they are closed.
bool RemoveSharedSection(const std::string& name);

}  // namespace hvm
