// Named sections in POSIX shared memory (the named file mappings).
//
// A Windows section name lives in the session's namespace, whereas POSIX
// shared memory is one namespace for the whole machine; so the object is
// "/<name>.<uid>": every process of one user meets the same section and two
// users never collide or read each other's. The object is readable and
// writable by its owner only; one that is there already but belongs to
// someone else or may be opened by others is refused, never used.
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
// new. Returns false (errno set, EPERM for a refused object) when it cannot
// be used; problem then receives a sentence for the person.
bool OpenSharedSection(const std::string& name, size_t size, SharedSection& section,
                       std::string* problem = nullptr);
void CloseSharedSection(SharedSection& section);

// The shm_open name that stands for the section "name".
std::string SharedSectionObjectName(const std::string& name);
// Removes the name; mapped views stay valid until they are closed.
bool RemoveSharedSection(const std::string& name);

// True when an object of another user holds the name: this user can neither
// use nor remove it (the folder is sticky) until the machine restarts.
bool SharedSectionTakenByAnotherUser(const std::string& name);
// A zero-filled section of size bytes without a name, for a process that
// is the only one to use it; closed like a named one.
bool OpenPrivateSection(size_t size, SharedSection& section);

}  // namespace hvm
