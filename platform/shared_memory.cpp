// Named sections on shm_open; the mapping is shared by every process of the user.
#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// An object that was already there is used only when it is the caller's and
// nobody else may open it: another user could have made it first to read or
// steer what the caller keeps there.
bool IsPrivateObject(int fd, const std::string& objectName, std::string* problem) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return false;
  std::string where = "/dev/shm" + objectName;
  if (info.st_uid != geteuid()) {
    if (problem)
      *problem = where + " belongs to uid " + std::to_string(info.st_uid) + ", not to uid " +
                 std::to_string(geteuid()) + "; refusing to use it (another user made it first)";
    errno = EPERM;
    return false;
  }
  if ((info.st_mode & 077) != 0) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    if (problem)
      *problem = where + " can be opened by other users (mode " + mode +
                 "); refusing to use it (remove it and start again)";
    errno = EPERM;
    return false;
  }
  return true;
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

bool OpenSharedSection(const std::string& name, size_t size, SharedSection& section,
                       std::string* problem) {
  section = SharedSection{};
  if (name.empty() || name.find('/') != std::string::npos || size == 0) {
    errno = EINVAL;
    return false;
  }
  bool existed = false;
  std::string objectName = SharedSectionObjectName(name);
  int fd = OpenOrCreate(objectName, existed);
  if (fd < 0) {
    if (problem) *problem = "/dev/shm" + objectName + " cannot be opened: " + strerror(errno);
    return false;
  }
  if (existed && !IsPrivateObject(fd, objectName, problem)) {
    close(fd);
    return false;
  }
  void* base = MAP_FAILED;
  if (EnsureSize(fd, size)) {
    base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  int saved = errno;
  close(fd);
  if (base == MAP_FAILED) {
    if (problem) *problem = "/dev/shm" + objectName + " cannot be mapped: " + strerror(saved);
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

bool SharedSectionTakenByAnotherUser(const std::string& name) {
  struct stat info {};
  std::string path = "/dev/shm" + SharedSectionObjectName(name);
  return lstat(path.c_str(), &info) == 0 && info.st_uid != geteuid();
}

bool OpenPrivateSection(size_t size, SharedSection& section) {
  section = SharedSection{};
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return false;
  section.base = base;
  section.size = size;
  return true;
}

}  // namespace hvm
