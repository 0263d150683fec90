#include "platform/data_area.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace hvm {

int DataAreaSeals() { return F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL; }

int MakeDataArea(size_t size) {
  int fd = memfd_create("halvenmoor-area", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0 || fcntl(fd, F_ADD_SEALS, DataAreaSeals()) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

bool IsSealedDataArea(int fd, size_t size) {
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size < 0 || static_cast<size_t>(info.st_size) != size) return false;
  // Only memory files know seals; any other file answers EINVAL.
  int seals = fcntl(fd, F_GET_SEALS);
  return seals >= 0 && (seals & DataAreaSeals()) == DataAreaSeals();
}

std::unique_ptr<DataAreaMapping> DataAreaMapping::Map(int fd, size_t size) {
  if (size == 0) {
    errno = EINVAL;
    return nullptr;
  }
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return nullptr;
  return std::unique_ptr<DataAreaMapping>(new DataAreaMapping(static_cast<uint8_t*>(base), size));
}

DataAreaMapping::~DataAreaMapping() { munmap(base_, size_); }

}  // namespace hvm
