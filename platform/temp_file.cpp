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
// thread of their own that lasts (a thread started for each refill cost
// more than most refills). Each is new, already nameless and nobody else's.
constexpr size_t kSpareFiles = 8;

struct Spares {
  std::mutex lock;
  std::condition_variable wanted;   // the maker: files are missing
  std::condition_variable settled;  // waiters: the maker has nothing to do
  std::deque<int> fds;
  std::string folder;  // where the spares are made
  bool refilling = false;
  bool makerStarted = false;
};

Spares& TheSpares() {
  static Spares* spares = new Spares();  // never destroyed: the maker may still run at exit
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

// The maker: fills the spares up whenever asked, one file at a time and
// without the lock while a file is made. A folder that refuses a file ends
// the refill until the next request.
void MakeSpares() {
  Spares& s = TheSpares();
  std::unique_lock<std::mutex> guard(s.lock);
  while (true) {
    s.wanted.wait(guard, [&s] { return s.refilling; });
    std::string folder = s.folder;
    guard.unlock();
    int fd = MakeIn(folder);
    guard.lock();
    bool keep = fd >= 0 && s.folder == folder && s.fds.size() < kSpareFiles;
    if (keep) s.fds.push_back(fd);
    else if (fd >= 0) close(fd);
    if (fd < 0 || s.fds.size() >= kSpareFiles) {
      s.refilling = false;
      s.settled.notify_all();
    }
  }
}

// With the lock held: the maker is asked for more (and started the first time).
void AskForSpares(Spares& s) {
  if (s.refilling || s.fds.size() >= kSpareFiles) return;
  if (!s.makerStarted) {
    try {
      std::thread(MakeSpares).detach();
      s.makerStarted = true;
    } catch (const std::system_error&) {
      return;  // no thread now: the files are made one by one as before
    }
  }
  s.refilling = true;
  s.wanted.notify_one();
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
      AskForSpares(s);
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
