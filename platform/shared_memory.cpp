// Named sections on shm_open; the mapping is shared by every process of the user.
#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace hvm {
namespace {

// Opens the object, creating it when missing; existed tells which happened.
int OpenOrCreate(const std::string& objectName, bool& existed) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      existed = false;
      return fd;
    }
    if (errno != EEXIST) return -1;
    fd = shm_open(objectName.c_str(), O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
      existed = true;
      return fd;
    }
    if (errno != ENOENT) return -1;  // removed between the two calls: try again
  }
  return -1;
}

// Grows the object to size; never shrinks it under another process's view.
bool EnsureSize(int fd, size_t size) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return false;
  if (static_cast<size_t>(info.st_size) >= size) return true;
  return ftruncate(fd, static_cast<off_t>(size)) == 0;
}

}  // namespace

std::string SharedSectionObjectName(const std::string& name) {
  return "/" + name + "." + std::to_string(getuid());
}

bool OpenSharedSection(const std::string& name, size_t size, SharedSection& section) {
  section = SharedSection{};
  if (name.empty() || name.find('/') != std::string::npos || size == 0) {
    errno = EINVAL;
    return false;
  }
  bool existed = false;
  int fd = OpenOrCreate(SharedSectionObjectName(name), existed);
  if (fd < 0) return false;
  void* base = MAP_FAILED;
  if (EnsureSize(fd, size)) {
    base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  int saved = errno;
  close(fd);
  if (base == MAP_FAILED) {
    errno = saved;
    return false;
  }
  section.base = base;
  section.size = size;
  section.existed = existed;
  return true;
}

void CloseSharedSection(SharedSection& section) {
  if (section.base != nullptr) munmap(section.base, section.size);
  section = SharedSection{};
}

bool RemoveSharedSection(const std::string& name) {
  return shm_unlink(SharedSectionObjectName(name).c_str()) == 0;
}

}  // namespace hvm
