// The offline tree on the local disk, reached only through descriptors of
// folders opened below it with O_NOFOLLOW.
#include "agent/offline/local_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr size_t kMaxPathChars = 259;
constexpr size_t kMaxNameBytes = 255;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { if (fd_ >= 0) close(fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
 private:
  int fd_;
};

int OpenFolderAt(int at, const char* name) {
  return openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::string PartName() {
  static std::atomic<unsigned> counter{0};
  char name[64];
  std::snprintf(name, sizeof name, "part-%d-%u", static_cast<int>(getpid()), counter.fetch_add(1));
  return name;
}

// "part-<pid>-<counter>", as PartName makes them.
bool IsPartName(std::string_view name) {
  constexpr std::string_view kPrefix = "part-";
  if (name.substr(0, kPrefix.size()) != kPrefix) return false;
  name.remove_prefix(kPrefix.size());
  size_t dash = name.find('-');
  if (dash == std::string_view::npos) return false;
  auto digits = [](std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return digits(name.substr(0, dash)) && digits(name.substr(dash + 1));
}

timespec TimespecOf(FileTime time) { return UnixFromFileTime(time); }

}  // namespace

FileTime ModifiedTimeOf(const struct stat& info) { return FileTimeFromUnix(info.st_mtim); }

bool IsPlainName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > kMaxNameBytes) return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool SplitSitePath(std::u16string_view path, std::vector<std::string>& components) {
  components.clear();
  if (path.size() > kMaxPathChars) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(u"\\/", start);
    if (end == std::u16string_view::npos) end = path.size();
    std::u16string_view piece = path.substr(start, end - start);
    // Leading, trailing and doubled separators add nothing; an empty name in the middle is refused.
    if (!piece.empty()) {
      if (piece.find(u'\0') != std::u16string_view::npos) return false;
      std::string name = Utf16ToUtf8(piece);
      if (!IsPlainName(name)) return false;
      components.push_back(std::move(name));
    } else if (start != 0 && end != path.size()) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

LocalTree::LocalTree(std::string folder, std::string parts)
    : folder_(std::move(folder)), parts_(std::move(parts)) {}

LocalTree::~LocalTree() = default;

bool LocalTree::Create() {
  for (const std::string& path : {folder_, parts_}) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    Descriptor fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return false;
  }
  return true;
}

bool LocalTree::Exists() const {
  Descriptor fd(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return fd.get() >= 0;
}

int LocalTree::OpenComponents(const std::vector<std::string>& components, size_t count,
                              bool create) const {
  int current = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  for (size_t i = 0; i < count && current >= 0; ++i) {
    const char* name = components[i].c_str();
    int next = OpenFolderAt(current, name);
    if (next < 0 && errno == ENOENT && create) {
      if (mkdirat(current, name, 0700) == 0 || errno == EEXIST) next = OpenFolderAt(current, name);
    }
    int saved = errno;
    close(current);
    errno = saved;
    current = next;
  }
  return current;
}

int LocalTree::OpenFolder(std::u16string_view path, bool create) const {
  std::vector<std::string> components;
  if (!SplitSitePath(path, components)) {
    errno = EINVAL;
    return -1;
  }
  return OpenComponents(components, components.size(), create);
}

int LocalTree::OpenParent(std::u16string_view path, bool create, std::string& name) const {
  std::vector<std::string> components;
  if (!SplitSitePath(path, components)) {
    errno = EINVAL;
    return -1;
  }
  if (components.empty()) {
    errno = EISDIR;
    return -1;
  }
  name = components.back();
  return OpenComponents(components, components.size() - 1, create);
}

int LocalTree::OpenFile(std::u16string_view path, int flags, unsigned mode) const {
  std::string name;
  Descriptor parent(OpenParent(path, (flags & O_CREAT) != 0, name));
  if (parent.get() < 0) return -1;
  return openat(parent.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool LocalTree::Stat(std::u16string_view path, struct stat& info) const {
  std::vector<std::string> components;
  if (!SplitSitePath(path, components)) {
    errno = EINVAL;
    return false;
  }
  if (components.empty()) return lstat(folder_.c_str(), &info) == 0;
  Descriptor parent(OpenComponents(components, components.size() - 1, false));
  if (parent.get() < 0) return false;
  return fstatat(parent.get(), components.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool LocalTree::Names(std::u16string_view path, std::vector<std::string>& names) const {
  names.clear();
  int fd = OpenFolder(path, false);
  if (fd < 0) return false;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return false;
  }
  while (dirent* item = readdir(dir)) {
    std::string_view name = item->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(dir);
  return true;
}

bool LocalTree::SyncAll() const {
  Descriptor folder(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return folder.get() >= 0 && syncfs(folder.get()) == 0;
}

uint32_t LocalTree::ReplaceFile(std::u16string_view path, const std::function<uint32_t(int)>& fill,
                                FileTime modified, bool durable) const {
  std::string name;
  Descriptor parent(OpenParent(path, true, name));
  if (parent.get() < 0) return static_cast<uint32_t>(errno);
  Descriptor parts(open(parts_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (parts.get() < 0) return static_cast<uint32_t>(errno);
  std::string part = PartName();
  Descriptor file(openat(parts.get(), part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.get() < 0) return static_cast<uint32_t>(errno);
  uint32_t result = fill(file.get());
  if (result == 0 && durable && fsync(file.get()) != 0) result = static_cast<uint32_t>(errno);
  if (result == 0 && modified != 0) {
    timespec times[2] = {TimespecOf(modified), TimespecOf(modified)};
    if (futimens(file.get(), times) != 0) result = static_cast<uint32_t>(errno);
  }
  // A folder of that name is never replaced by a file.
  struct stat existing {};
  if (result == 0 && fstatat(parent.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(existing.st_mode))
    result = static_cast<uint32_t>(EISDIR);
  if (result == 0 && renameat(parts.get(), part.c_str(), parent.get(), name.c_str()) != 0)
    result = static_cast<uint32_t>(errno);
  if (result != 0) {
    unlinkat(parts.get(), part.c_str(), 0);
    return result;
  }
  if (durable) fsync(parent.get());
  return 0;
}

bool LocalTree::SetTimes(std::u16string_view path, FileTime modified) const {
  std::string name;
  Descriptor parent(OpenParent(path, false, name));
  if (parent.get() < 0) return false;
  timespec times[2] = {TimespecOf(modified), TimespecOf(modified)};
  return utimensat(parent.get(), name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool LocalTree::Remove(std::u16string_view path, bool folder) const {
  std::string name;
  Descriptor parent(OpenParent(path, false, name));
  if (parent.get() < 0) return false;
  return unlinkat(parent.get(), name.c_str(), folder ? AT_REMOVEDIR : 0) == 0;
}

bool LocalTree::Move(std::u16string_view from, std::u16string_view to) const {
  std::string fromName;
  std::string toName;
  Descriptor fromParent(OpenParent(from, false, fromName));
  if (fromParent.get() < 0) return false;
  Descriptor toParent(OpenParent(to, true, toName));
  if (toParent.get() < 0) return false;
  return renameat(fromParent.get(), fromName.c_str(), toParent.get(), toName.c_str()) == 0;
}

void LocalTree::ClearParts() const {
  Descriptor parts(open(parts_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (parts.get() < 0) return;
  DIR* dir = fdopendir(dup(parts.get()));
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent* item = readdir(dir)) {
    std::string_view name = item->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(dir);
  // Parts of this process may be in the middle of their writing. Nothing but
  // a part is removed: the folder may also be the tree of a site whose name
  // ends in ".part".
  std::string own = "part-" + std::to_string(getpid()) + "-";
  for (const std::string& name : names)
    if (IsPartName(name) && name.compare(0, own.size(), own) != 0) unlinkat(parts.get(), name.c_str(), 0);
}

}  // namespace hvm
