// Temporary local copies: anonymous files that vanish with their last descriptor.
#include "platform/temp_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace hvm {
namespace {

// A file system may take long to find a free inode for each new file (ext4
// without a journal looks past every recently freed one): after the first
// file made in a folder, a few fresh files are kept ready there, made by a
// thread of their own. Each is new, already nameless and nobody else's.
constexpr size_t kSpareFiles = 8;

struct Spares {
  std::mutex lock;
  std::condition_variable settled;
  std::deque<int> fds;
  std::string folder;  // where the spares were made
  bool refilling = false;
};

Spares& TheSpares() {
  static Spares* spares = new Spares();  // never destroyed: a refill may still run at exit
  return *spares;
}

std::string FolderNow() {
  const char* folder = std::getenv("TMPDIR");
  std::string path = (folder != nullptr && *folder != '\0') ? folder : "/tmp";
  if (path.back() != '/') path += '/';
  return path;
}

int MakeIn(const std::string& folder) {
  std::string path = folder + "HVMXXXXXX";
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  // Nobody else needs the name; unlinking now means no copy outlives the process.
  if (unlink(name.data()) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void Refill(std::string folder) {
  Spares& s = TheSpares();
  while (true) {
    int fd = MakeIn(folder);
    std::lock_guard<std::mutex> guard(s.lock);
    bool keep = fd >= 0 && s.folder == folder && s.fds.size() < kSpareFiles;
    if (keep) s.fds.push_back(fd);
    else if (fd >= 0) close(fd);
    if (!keep || s.fds.size() >= kSpareFiles) {
      s.refilling = false;
      s.settled.notify_all();
      return;
    }
  }
}

}  // namespace

int CreateTempLocalFile() {
  std::string folder = FolderNow();
  Spares& s = TheSpares();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.folder != folder) {
      // Another folder now: the spares of the old one go, and the first file is made here.
      for (int fd : s.fds) close(fd);
      s.fds.clear();
      s.folder = folder;
    } else {
      int fd = -1;
      if (!s.fds.empty()) {
        fd = s.fds.front();
        s.fds.pop_front();
      }
      if (!s.refilling && s.fds.size() < kSpareFiles) {
        try {
          std::thread(Refill, folder).detach();
          s.refilling = true;
        } catch (const std::system_error&) {
          // No thread now: the files are made one by one as before.
        }
      }
      if (fd >= 0) return fd;
    }
  }
  return MakeIn(folder);
}

void WaitForSpareTempFiles() {
  Spares& s = TheSpares();
  std::unique_lock<std::mutex> guard(s.lock);
  s.settled.wait(guard, [&s] { return !s.refilling; });
}

}  // namespace hvm
