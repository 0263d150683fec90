// A registry hive file: cached reads, locked read-modify-write, atomic replace.
#include "platform/registry_hive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <vector>

#include "platform/debug_sink.h"
#include "platform/runtime_paths.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

thread_local std::string tProblem;

DWORD ErrorFromErrno(int error, DWORD otherwise) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return otherwise;
  }
}

std::string ParentFolder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, std::string& text) {
  char buffer[16384];
  while (true) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// The advisory lock beside the hive file that serialises writers of all processes.
// It is private to the writers whatever the hive's mode: flock needs only a
// descriptor, so anybody who could open it could hold it and stall them.
class HiveFileLock {
 public:
  explicit HiveFileLock(const std::string& hivePath) {
    fd_ = open((hivePath + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    struct stat info {};
    if (fstat(fd_, &info) == 0 && info.st_uid == geteuid() && (info.st_mode & 077) != 0) fchmod(fd_, 0600);
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~HiveFileLock() {
    if (fd_ >= 0) close(fd_);  // closing drops the lock
  }
  HiveFileLock(const HiveFileLock&) = delete;
  HiveFileLock& operator=(const HiveFileLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A file that regedit saved is UTF-16LE with a byte order mark; the rest is UTF-8.
// Converts in place: GCC 12 warns falsely about a string returned by value here.
void ConvertToUtf8(std::string& raw) {
  if (raw.size() < 2 || static_cast<uint8_t>(raw.data()[0]) != 0xFF ||
      static_cast<uint8_t>(raw.data()[1]) != 0xFE) {
    return;
  }
  std::u16string wide;
  for (size_t i = 2; i + 1 < raw.size(); i += 2) {
    wide += static_cast<char16_t>(static_cast<uint8_t>(raw[i]) | (static_cast<uint8_t>(raw[i + 1]) << 8));
  }
  raw = Utf16ToUtf8(wide);
}

}  // namespace

bool RegistryHive::Stamp::operator==(const Stamp& o) const {
  return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
         modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
         changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
}

RegistryHive::RegistryHive(std::string path, std::u16string rootName, mode_t mode)
    : path_(std::move(path)), rootName_(std::move(rootName)), mode_(mode) {}

DWORD RegistryHive::Load(RegistryTree& tree, Stamp& stamp) {
  stamp = Stamp{};
  tree.clear();
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return ErrorFromErrno(errno, ERROR_CANTREAD);
    tree.emplace(u"", RegKeyNode{});  // no file yet: an empty hive
    return ERROR_SUCCESS;
  }
  struct stat info {};
  std::string raw;
  bool ok = fstat(fd, &info) == 0 && ReadAll(fd, raw);
  int saved = errno;
  close(fd);
  if (!ok) return ErrorFromErrno(saved, ERROR_CANTREAD);
  stamp = {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
  std::string problem;
  ConvertToUtf8(raw);
  if (!ParseRegText(raw, path_, rootName_, tree, problem)) {
    ReportDamage(problem, stamp);
    return ERROR_REGISTRY_CORRUPT;
  }
  return ERROR_SUCCESS;
}

void RegistryHive::ReportDamage(const std::string& problem, const Stamp& stamp) {
  SetRegistryProblem(problem);
  if (stamp == reportedDamage_) return;  // said once per damaged state of the file
  reportedDamage_ = stamp;
  std::string line = "Registry file damaged, not changed until it is repaired: " + problem;
  OutputDebugStringA(line.c_str());
  line += "\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

DWORD RegistryHive::Read(const std::function<DWORD(const RegistryTree&)>& reader) {
  std::lock_guard<std::mutex> lock(mutex_);
  struct stat info {};
  Stamp now;
  if (stat(path_.c_str(), &info) == 0) {
    now = {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
  }
  if (!cached_ || !(now == cachedStamp_)) {
    cached_ = false;
    DWORD loaded = Load(cache_, cachedStamp_);
    if (loaded != ERROR_SUCCESS) return loaded;
    cached_ = true;
  }
  return reader(cache_);
}

DWORD RegistryHive::Update(const std::function<DWORD(RegistryTree&, bool& changed)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  cached_ = false;
  if (!MakeDirs(ParentFolder(path_), (mode_ & 0044) != 0 ? 0755 : 0700)) {
    return ErrorFromErrno(errno, ERROR_CANTWRITE);
  }
  HiveFileLock fileLock(path_);
  if (!fileLock.held()) return ErrorFromErrno(errno, ERROR_CANTWRITE);
  // Another process may have changed the file since this one last read it.
  RegistryTree tree;
  Stamp stamp;
  DWORD loaded = Load(tree, stamp);
  if (loaded != ERROR_SUCCESS) return loaded;
  bool changed = false;
  DWORD result = change(tree, changed);
  if (result != ERROR_SUCCESS || !changed) return result;
  return WriteAtomically(tree);
}

DWORD RegistryHive::WriteAtomically(const RegistryTree& tree) {
  std::string text = FormatRegText(tree, rootName_);
  std::string temp = path_ + ".XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return ErrorFromErrno(errno, ERROR_CANTWRITE);
  bool ok = fchmod(fd, mode_) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  int saved = errno;
  ok = close(fd) == 0 && ok;
  if (ok && rename(name.data(), path_.c_str()) != 0) {
    saved = errno;
    ok = false;
  }
  if (!ok) {
    unlink(name.data());
    return ErrorFromErrno(saved, ERROR_CANTWRITE);
  }
  // The rename itself must survive a crash too.
  int folder = open(ParentFolder(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return ERROR_SUCCESS;
}

RegistryHive& HiveForFile(const std::string& path, std::u16string_view rootName, mode_t mode) {
  static std::mutex hivesLock;
  static std::map<std::string, std::unique_ptr<RegistryHive>> hives;
  std::lock_guard<std::mutex> lock(hivesLock);
  std::unique_ptr<RegistryHive>& hive = hives[path];
  if (!hive) hive = std::make_unique<RegistryHive>(path, std::u16string(rootName), mode);
  return *hive;
}

std::string RegistryProblem() { return tProblem; }
void SetRegistryProblem(std::string problem) { tProblem = std::move(problem); }

}  // namespace hvm
