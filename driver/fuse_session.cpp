#include "driver/fuse_session.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "agent/service/channel_records.h"
#include "driver/control_codes.h"
#include "driver/forwarding.h"
#include "driver/fuse_glue.h"
#include "driver/trace.h"
#include "platform/wide_text.h"

namespace hvm::driver {

namespace {
void OpInit(void*, fuse_conn_info* conn) {
  // Up to 1 MiB a request; a Connection of 64 KiB pieces gets it in pieces.
  conn->max_read = kWidePieceSize;
  conn->max_write = kWidePieceSize;
  // The kernel takes the smaller of this and the window set through sysfs
  // (WidenReadAhead), whichever comes first.
  conn->max_readahead = kReadAheadKiB * 1024;
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;  // every listing carries attributes
  conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;   // the driver purges itself
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;   // writes reach the agent before they return
  conn->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;    // O_TRUNC arrives as a size change
  conn->want &= ~FUSE_CAP_EXPORT_SUPPORT;
}

fuse_lowlevel_ops MakeOps() {
  fuse_lowlevel_ops ops{};
  ops.init = OpInit;
  ops.lookup = OpLookup;
  ops.forget = OpForget;
  ops.forget_multi = OpForgetMulti;
  ops.getattr = OpGetattr;
  ops.setattr = OpSetattr;
  ops.mkdir = OpMkdir;
  ops.unlink = OpUnlink;
  ops.rmdir = OpRmdir;
  ops.rename = OpRename;
  ops.open = OpOpen;
  ops.create = OpCreate;
  ops.read = OpRead;
  ops.write = OpWrite;
  ops.flush = OpFlush;
  ops.release = OpRelease;
  ops.fsync = OpFsync;
  ops.opendir = OpOpendir;
  ops.readdirplus = OpReaddirplus;
  ops.releasedir = OpReleasedir;
  ops.statfs = OpStatfs;
  ops.getxattr = OpGetxattr;
  ops.listxattr = OpListxattr;
  ops.copy_file_range = OpCopyFileRange;
  return ops;
}

// The shell notification: the kernel forgets the entry and attributes of a
// path, and the driver no longer answers for the folder that holds it.
NTSTATUS InvalidatePath(uid_t uid, const std::u16string& connection, const std::u16string& path) {
  std::u16string fullName = kFullNamePrefix + connection;
  if (!path.empty() && path != u"\\") fullName += (path[0] == u'\\' ? u"" : u"\\") + path;
  while (fullName.size() > 1 && fullName.back() == u'\\') fullName.pop_back();
  uint64_t ino = 0, parent = 0;
  std::string name;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().FindByFullName(uid, fullName);
    size_t slash = fullName.rfind(u'\\');
    Node* folder = slash == std::u16string::npos ? nullptr : Names().FindByFullName(uid, fullName.substr(0, slash));
    if (folder) DropOwnFolder(*folder);
    if (node != nullptr) {
      DropOwnFolder(*node);
      node->attrTime = {};
      ino = node->ino;
      parent = node->parent;
      name = node->name;
    } else if (folder != nullptr) {
      // A name new to the kernel may be remembered as missing.
      parent = folder->ino;
      name = Utf16ToUtf8(fullName.substr(slash + 1));
    } else {
      return STATUS_SUCCESS;  // nothing cached
    }
  }
  ForgetEntry(uid, parent, name);
  if (ino) PurgeInode(uid, ino);
  // The command that asked returns once the kernel forgot the name, so that
  // the next look at the path already asks again.
  WaitForQueuedPurges(uid, std::chrono::seconds(1));
  return STATUS_SUCCESS;
}
std::string DeviceOfMount(const std::string& mountPoint) {
  std::ifstream file("/proc/self/mountinfo");
  std::stringstream text;
  text << file.rdbuf();
  return MountDeviceNumber(text.str(), mountPoint);
}

// Fails every request of the mount that the kernel still waits for, as the
// end of the process would. A purge can wait in the kernel for a page that a
// read holds whose request this daemon no longer takes; the process cannot
// end while that thread waits, and the read cannot end before the process.
bool AbortConnection(const std::string& device) {
  std::string name = FuseConnectionName(device);
  if (name.empty()) return false;
  std::string path = "/sys/fs/fuse/connections/" + name + "/abort";
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  bool aborted = fd >= 0 && write(fd, "1", 1) == 1;
  if (fd >= 0) close(fd);
  Trace("connection %s %s\n", name.c_str(), aborted ? "aborted" : "not aborted");
  return aborted;
}

// The kernel starts a FUSE mount's read-ahead at 128 KiB, so a program
// reading a large file through the page cache would send eight requests a
// megabyte, each a full round trip through the agent. The window is widened
// so that a sequential reader's misses come as whole pieces, with the next
// one already asked for while the agent answers the first. Only root may set
// it; otherwise the kernel's default stays.
void WidenReadAhead(const std::string& device) {
  if (device.empty()) return;
  std::string path = "/sys/class/bdi/" + device + "/read_ahead_kb";
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    Trace("read-ahead of %s stays (%d)\n", device.c_str(), errno);
    return;
  }
  std::string value = std::to_string(kReadAheadKiB);
  bool written = write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
  close(fd);
  Trace("read-ahead of %s %s %s KiB\n", device.c_str(), written ? "set to" : "not set to", value.c_str());
}
}  // namespace

std::string MountDeviceNumber(std::string_view mountinfo, std::string_view mountPoint) {
  // Lines: "id parent major:minor root mountpoint options ... - type source ...";
  // blanks and backslashes in paths are written as octal escapes. The last
  // line of the mount point is the mount on top.
  std::string found;
  size_t at = 0;
  while (at < mountinfo.size()) {
    size_t end = mountinfo.find('\n', at);
    if (end == std::string_view::npos) end = mountinfo.size();
    std::istringstream line{std::string(mountinfo.substr(at, end - at))};
    at = end + 1;
    std::string id, parent, device, root, point;
    if (!(line >> id >> parent >> device >> root >> point)) continue;
    std::string unescaped;
    for (size_t i = 0; i < point.size(); ++i) {
      if (point[i] == '\\' && i + 3 < point.size() && point[i + 1] >= '0' && point[i + 1] <= '3' &&
          point[i + 2] >= '0' && point[i + 2] <= '7' && point[i + 3] >= '0' && point[i + 3] <= '7') {
        unescaped += static_cast<char>((point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 + (point[i + 3] - '0'));
        i += 3;
      } else {
        unescaped += point[i];
      }
    }
    bool wellFormed = device.find(':') != std::string::npos &&
                      device.find_first_not_of("0123456789:") == std::string::npos;
    if (unescaped == mountPoint && wellFormed) found = device;
  }
  return found;
}

void DetachMount(const std::string& mountPoint) {
  if (geteuid() == 0 && umount2(mountPoint.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0) return;
  const char* argv[] = {"fusermount3", "-u", "-z", mountPoint.c_str(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "fusermount3", nullptr, nullptr, const_cast<char**>(argv), environ) == 0)
    waitpid(pid, nullptr, 0);
}

std::string FuseConnectionName(std::string_view device) {
  size_t colon = device.find(':');
  if (colon == std::string_view::npos) return "";
  unsigned major = 0, minor = 0;
  std::string_view majorText = device.substr(0, colon), minorText = device.substr(colon + 1);
  auto [majorEnd, majorError] = std::from_chars(majorText.data(), majorText.data() + majorText.size(), major);
  auto [minorEnd, minorError] = std::from_chars(minorText.data(), minorText.data() + minorText.size(), minor);
  bool whole = majorError == std::errc() && minorError == std::errc() &&
               majorEnd == majorText.data() + majorText.size() && minorEnd == minorText.data() + minorText.size();
  if (!whole || majorText[0] == '+' || minorText[0] == '+' || major >= (1u << 12) || minor >= (1u << 20))
    return "";
  return std::to_string(major << 20 | minor);
}

// Workers the loop keeps waiting for requests; one more is made while all
// are busy (up to the library's limit) and ends when its request is done.
constexpr unsigned kIdleWorkers = 10;

// The loop's settings in the layout of the interface version this file is
// built against ({clone_fd, max_idle_threads}). The record of
// fuse_loop_cfg_create() belongs to a later version; read in this layout it
// asks for a device clone per thread and no idle worker, so that every
// request would begin with a new thread opening /dev/fuse and end with its exit.
static fuse_loop_config LoopConfig() {
  fuse_loop_config config{};
  config.clone_fd = 0;
  config.max_idle_threads = kIdleWorkers;
  return config;
}

int ServeMount(const std::string& mountPoint, bool serveAllUsers) {
  std::string options = "fsname=quenlode,subtype=quenlode,max_read=" + std::to_string(kWidePieceSize);
  if (serveAllUsers) options += ",allow_other,default_permissions";
  std::vector<std::string> argvText = {"quenlode", "-o", options};
  std::vector<char*> argv;
  for (auto& text : argvText) argv.push_back(text.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  fuse_lowlevel_ops ops = MakeOps();
  fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  if (session == nullptr) return 1;
  int result = 1;
  if (fuse_set_signal_handlers(session) == 0) {
    if (fuse_session_mount(session, mountPoint.c_str()) == 0) {
      // Read once, right after mounting: later the mount point may be covered.
      std::string device = DeviceOfMount(mountPoint);
      WidenReadAhead(device);
      StartPurgeThread(session);
      SetInvalidateHook(InvalidatePath);
      // Only this thread takes the stop signals, so the loop notices them.
      sigset_t stopSignals;
      sigemptyset(&stopSignals);
      sigaddset(&stopSignals, SIGTERM);
      sigaddset(&stopSignals, SIGINT);
      sigaddset(&stopSignals, SIGHUP);
      pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
      fuse_loop_config config = LoopConfig();
      result = fuse_session_loop_mt(session, &config);
      SetInvalidateHook(nullptr);
      {
        Completions out;
        std::lock_guard<std::mutex> guard(DriverMutex());
        EndEveryRequest(out);
        // out runs here, after the lock: each answer takes it again.
      }
      bool aborted = false;
      StopPurgeThread([&device, &aborted] { aborted = AbortConnection(device); });
      Trace("Unload\n");
      // The library leaves the mount of an aborted connection in place,
      // where it would answer ENOTCONN until the next start.
      if (aborted && DeviceOfMount(mountPoint) == device) DetachMount(mountPoint);
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  fuse_opt_free_args(&args);
  return result < 0 ? 1 : 0;
}

}  // namespace hvm::driver
