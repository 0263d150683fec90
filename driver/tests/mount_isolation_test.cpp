// One user must never stall, starve or steer another: hostile agents and
// control connections against the real driver and its FUSE mount, with the
// victims' calls bounded so that a hang shows as a failure.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/invalidate_record.h"
#include "driver/tests/scripted_agent.h"
#include "tests/support/process_count_group.h"
#include "platform/control_device.h"
#include "platform/wide_text.h"

namespace hvm::test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kHung = -1;
constexpr uint32_t kErrorTooManyOpenFiles = 4;

bool Mounted(const std::string& path) {
  std::ifstream mounts("/proc/mounts");
  std::string device, point, rest;
  while (mounts >> device >> point && std::getline(mounts, rest))
    if (point == path) return true;
  return false;
}

int ErrnoOfStat(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? 0 : errno;
}

int CountEntries(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -errno;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

uint32_t Control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength) {
  HANDLE device = CreateFileW(kControlDeviceName, 0, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD returned = 0;
  uint32_t error = DeviceIoControl(device, code, in, inLength, out, outLength, &returned, nullptr)
                       ? 0
                       : GetLastError();
  CloseHandle(device);
  return error;
}

uint32_t Version() {
  uint32_t version = 0;
  return Control(IOCTL_VERSION, nullptr, 0, &version, sizeof version);
}

std::u16string SidOf(uid_t uid) { return U("S-1-22-1-" + std::to_string(uid)); }

// Registers a Connection of the calling user; its handle, or 0.
uint32_t ConnectAs(uid_t uid, const std::string& name, uint32_t* error = nullptr) {
  ConnectionRecord record{};
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, SidOf(uid));
  CopyWide(record.name, kConnectionNameChars, U(name));
  uint32_t result = Control(IOCTL_CONNECT, &record, sizeof record, &record, sizeof record);
  if (error) *error = result;
  return result == 0 ? record.connectionHandle : 0;
}

void PingAs(uid_t uid) {
  PingRecord record{};
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, SidOf(uid));
  Control(IOCTL_PING, &record, sizeof record, &record, sizeof record);
}

// A control connection spoken to byte by byte, for peers that misbehave.
int RawDevice(const std::string& socketPath) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

Bytes Frame(uint32_t code, const Bytes& in, uint32_t outLength) {
  Bytes frame(16 + in.size());
  uint32_t head[4] = {kControlMagic, code, static_cast<uint32_t>(in.size()), outLength};
  memcpy(frame.data(), head, sizeof head);
  if (!in.empty()) memcpy(frame.data() + 16, in.data(), in.size());
  return frame;
}

bool SendAll(int fd, const Bytes& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += n;
  }
  return true;
}

// The loop's IOCTL_GET_REQUEST of a Connection, carrying an empty reply.
Bytes GetRequestFrame(uint32_t handle) {
  Bytes in(kChannelBufferSize, 0);
  in[0] = kRecordMarker;
  memcpy(in.data() + 4, &handle, 4);
  return Frame(IOCTL_GET_REQUEST, in, kChannelBufferSize);
}

Bytes PingFrame(uid_t uid) {
  PingRecord record{};
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, SidOf(uid));
  Bytes in(sizeof record);
  memcpy(in.data(), &record, sizeof record);
  return Frame(IOCTL_PING, in, sizeof record);
}

// Sends pings without ever reading the answers, until the driver takes no more.
void FloodUnread(int fd, uid_t uid) {
  Bytes ping = PingFrame(uid);
  int refused = 0;
  while (refused < 100) {
    ssize_t n = send(fd, ping.data(), ping.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;  // dropped
    if (n == static_cast<ssize_t>(ping.size())) {
      refused = 0;
      continue;
    }
    if (n > 0 && !SendAll(fd, Bytes(ping.begin() + n, ping.end()))) return;
    ++refused;
    usleep(10000);
  }
}

// A child process running fn as uid (0: stays root); fn's result is its exit code.
pid_t Spawn(uid_t uid, const std::function<int()>& fn) {
  pid_t child = fork();
  if (child == 0) {
    if (uid != 0 && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)) _exit(250);
    _exit(fn() & 0xFF);
  }
  return child;
}

// Children killed while stuck in a call to the mount: they end only when the
// driver answers or goes, so the fixture collects them after stopping it.
std::vector<pid_t> g_stuck;

// The child's exit code, or kHung when it did not end within the time (it is killed).
int Reap(pid_t child, int seconds) {
  int status = 0;
  for (int i = 0; i < seconds * 20; ++i) {
    if (waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
    usleep(50000);
  }
  kill(child, SIGKILL);
  g_stuck.push_back(child);
  return kHung;
}

int Bounded(uid_t uid, int seconds, const std::function<int()>& fn) {
  return Reap(Spawn(uid, fn), seconds);
}

long RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
  }
  return -1;
}

std::string LimitLine(pid_t pid) {
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(limits, line))
    if (line.rfind("Max open files", 0) == 0) return line;
  return "";
}

class StallingUser;

class IsolationTest : public ::testing::Test {
 protected:
  friend class StallingUser;

  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
    if (getuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    char pattern[] = "/tmp/quenlode-isolation.XXXXXX";
    runtime_ = mkdtemp(pattern);
    chmod(runtime_.c_str(), 0755);  // other users reach the socket and the mount
    mount_ = runtime_ + "/mnt";
    setenv("HALVENMOOR_RUNTIME_DIR", runtime_.c_str(), 1);
    setenv("QUENLODE_LIVENESS_SECONDS", "2", 1);
    setenv("XDG_STATE_HOME", runtime_.c_str(), 1);
    pid_ = fork();
    if (pid_ == 0) {
      for (auto& [name, value] : environment_) setenv(name.c_str(), value.c_str(), 1);
      if (descriptorSoft_ > 0) {
        rlimit limit{static_cast<rlim_t>(descriptorSoft_), static_cast<rlim_t>(descriptorHard_)};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
      }
      execl(QUENLODE_BINARY, "quenlode", "--log-level", "1", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && !(Mounted(mount_) && access(SocketPath().c_str(), F_OK) == 0); ++i)
      usleep(25000);
    ASSERT_TRUE(Mounted(mount_)) << "the driver did not mount";
    struct stat st;
    ASSERT_EQ(stat(mount_.c_str(), &st), 0);
    mountDevice_ = st.st_dev;
    base_ = mount_ + "/" + Utf16ToUtf8(SelfSid()) + "/QUENLODE/site1";
    agent_.AddFolder(U("\\QUENLODE\\site1"));
    agent_.AddFolder(U("\\QUENLODE\\site1\\docs"));
    agent_.AddFile(U("\\QUENLODE\\site1\\docs\\a.txt"), Bytes{'h', 'i'});
  }

  void TearDown() override {
    for (pid_t child : children_) kill(child, SIGKILL);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      if (Reap(pid_, 5) == kHung) waitpid(pid_, nullptr, 0);
    }
    if (!mount_.empty() && Mounted(mount_)) umount2(mount_.c_str(), MNT_DETACH);
    for (pid_t child : children_) waitpid(child, nullptr, 0);
    for (pid_t child : g_stuck) waitpid(child, nullptr, 0);
    g_stuck.clear();
    agent_.Stop();
    if (!runtime_.empty())
      nftw(runtime_.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); },
           16, FTW_DEPTH | FTW_PHYS);
  }

  std::string SocketPath() const { return runtime_ + "/qlode"; }
  std::string UserRoot(uid_t uid) const { return mount_ + "/S-1-22-1-" + std::to_string(uid); }

  void StartSite1() {
    ASSERT_EQ(agent_.Connect(U("site1")), 0u);
    agent_.Start();
    for (int i = 0; i < 250 && ErrnoOfStat(base_ + "/docs") == EIO; ++i) usleep(20000);
    ASSERT_EQ(ErrnoOfStat(base_ + "/docs"), 0);
  }

  // A helper process of the test that runs until the test ends.
  pid_t Keep(pid_t child) {
    children_.push_back(child);
    return child;
  }

  std::vector<std::pair<std::string, std::string>> environment_;
  int descriptorSoft_ = 0, descriptorHard_ = 0;
  std::string runtime_, mount_, base_;
  pid_t pid_ = -1;
  dev_t mountDevice_ = 0;
  std::vector<pid_t> children_;
  ScriptedAgent agent_;
};

// Waits for one byte on a pipe written by a helper when it is ready.
bool WaitReady(int fd, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    char byte;
    if (read(fd, &byte, 1) == 1) return true;
    usleep(50000);
  }
  return false;
}

TEST_F(IsolationTest, AnAgentThatStopsReadingIsDroppedAndNobodyElseWaits) {
  StartSite1();
  static constexpr uid_t kAttacker = 61100;
  constexpr int kConnections = 25, kEarly = 12;
  int ready[2], flood[2], flooded[2];
  ASSERT_EQ(pipe2(ready, O_NONBLOCK), 0);
  ASSERT_EQ(pipe(flood), 0);
  ASSERT_EQ(pipe2(flooded, O_NONBLOCK), 0);
  std::string socketPath = SocketPath();
  // Every Connection's loop waits on one socket that is never read; the
  // attacker keeps pinging so that nothing times out on its own.
  Keep(Spawn(kAttacker, [&] {
    int loops = RawDevice(socketPath);
    for (int i = 0; i < kConnections; ++i) {
      uint32_t handle = ConnectAs(kAttacker, std::string("e").append(std::to_string(i)));
      if (handle == 0 || !SendAll(loops, GetRequestFrame(handle))) return 1;
    }
    std::thread pinger([] {
      while (true) {
        PingAs(kAttacker);
        usleep(300000);
      }
    });
    if (write(ready[1], "r", 1) != 1) return 1;
    char go;
    if (read(flood[0], &go, 1) != 1) return 1;
    FloodUnread(loops, kAttacker);  // answers pile up unread
    if (write(flooded[1], "f", 1) != 1) return 1;
    pinger.join();
    return 0;
  }));
  ASSERT_TRUE(WaitReady(ready[0], 20));
  usleep(200000);  // the driver took every loop's call

  auto statIn = [&](int connection) {
    std::string path = UserRoot(kAttacker) + "/QUENLODE/e" + std::to_string(connection) + "/x";
    return Spawn(kAttacker, [path] { return ErrnoOfStat(path); });
  };
  std::vector<pid_t> early, late;
  for (int i = 0; i < kEarly; ++i) early.push_back(statIn(i));  // handed to the loops
  usleep(500000);
  ASSERT_EQ(write(flood[1], "g", 1), 1);
  ASSERT_TRUE(WaitReady(flooded[0], 60));
  for (int i = kEarly; i < kConnections; ++i) late.push_back(statIn(i));
  usleep(500000);
  // Root and the other agent's user are served while the attacker's loops stall.
  std::string mountRoot = mount_;
  EXPECT_GE(Bounded(0, 10, [mountRoot] { return CountEntries(mountRoot); }), 3);
  std::string file = base_ + "/docs/a.txt";
  EXPECT_EQ(Bounded(0, 10, [file] { return ErrnoOfStat(file); }), 0);
  EXPECT_EQ(Bounded(0, 10, [] { return static_cast<int>(Version()); }), 0);
  // The silent reader was dropped: requests it held fail, and its
  // Connections are suspended, so later ones fail at once or find no name.
  EXPECT_EQ(Reap(early[0], 20), EIO);
  for (size_t i = 1; i < early.size(); ++i) EXPECT_EQ(Reap(early[i], 2), EIO);
  for (pid_t child : late) {
    int result = Reap(child, 2);  // the early ones took the time there was
    EXPECT_TRUE(result == EIO || result == ENOENT) << result;
  }
}

TEST_F(IsolationTest, AStalledPeerCannotStopTheLivenessWatch) {
  StartSite1();
  static constexpr uid_t kAttacker = 61101;
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_NONBLOCK), 0);
  std::string socketPath = SocketPath();
  // A forwarded control call whose answer is due to a connection that is full.
  Keep(Spawn(kAttacker, [&] {
    uint32_t handle = ConnectAs(kAttacker, "e0");
    int loop = RawDevice(socketPath);
    int shell = RawDevice(socketPath);
    if (handle == 0 || loop < 0 || shell < 0 || !SendAll(loop, GetRequestFrame(handle))) return 1;
    Bytes intern(1296, 0);
    intern[0] = kRecordMarker;
    CopyWide(reinterpret_cast<char16_t*>(intern.data() + 2), 60, SidOf(kAttacker));
    CopyWide(reinterpret_cast<char16_t*>(intern.data() + 122), 63, u"e0");
    if (!SendAll(shell, Frame(0x142000, intern, 1296))) return 1;
    FloodUnread(shell, kAttacker);
    if (write(ready[1], "r", 1) != 1) return 1;
    pause();
    return 0;
  }));
  ASSERT_TRUE(WaitReady(ready[0], 60));
  sleep(3);  // the attacker's call has timed out and its answer is due
  agent_.silent = true;
  agent_.pinging = false;
  sleep(3);  // the victim's agent is dead now
  std::string path = base_ + "/docs/new";
  EXPECT_EQ(Bounded(0, 20, [path] { return ErrnoOfStat(path); }), EIO);
}

TEST_F(IsolationTest, AConnectionWhoseAgentNeverAskedFailsAtOnce) {
  ASSERT_EQ(agent_.Connect(U("site1")), 0u);
  ASSERT_EQ(agent_.Connect(U("site2")), 0u);
  agent_.Start();  // the loop serves site2 only; the agent keeps pinging
  std::string path = base_ + "/docs";
  EXPECT_EQ(Bounded(0, 10, [path] { return ErrnoOfStat(path); }), EIO);
}

TEST_F(IsolationTest, TheLogLevelBelongsToRoot) {
  uint32_t level = 0;
  EXPECT_EQ(Bounded(61300, 10, [&] {
              return static_cast<int>(Control(IOCTL_SET_LOG_LEVEL, &level, 4, nullptr, 0));
            }),
            static_cast<int>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Control(IOCTL_SET_LOG_LEVEL, &level, 4, nullptr, 0), 0u);
}

TEST_F(IsolationTest, AUserWhoLeavesFreesTheSlotForTheEleventh) {
  ASSERT_EQ(agent_.Connect(U("site1")), 0u);
  agent_.Start();
  auto connect = [](uid_t uid) {
    return Bounded(uid, 10, [uid] {
      uint32_t error = 0;
      ConnectAs(uid, "mine", &error);
      return error == 0 ? 0 : error == 0xFFFFFFFEu ? 1 : 2;
    });
  };
  for (uid_t uid = 61001; uid <= 61009; ++uid) ASSERT_EQ(connect(uid), 0) << uid;
  EXPECT_EQ(connect(61010), 1);  // all ten slots are taken
  // 61001 disconnects its only Connection and has no control connection left.
  ASSERT_EQ(Bounded(61001, 10, [] {
              ConnectionRecord record{};
              record.marker = kRecordMarker;
              CopyWide(record.sid, kSidChars, SidOf(61001));
              CopyWide(record.name, kConnectionNameChars, u"mine");
              record.connectionHandle = ConnectAs(61001, "mine");
              return static_cast<int>(
                  Control(IOCTL_DISCONNECT, &record, sizeof record, &record, sizeof record));
            }),
            0);
  int result = 1;
  for (int i = 0; i < 100 && result == 1; ++i) {
    result = connect(61010);
    if (result == 1) usleep(50000);
  }
  EXPECT_EQ(result, 0);
  // The pinging agent kept its slot and is still served.
  EXPECT_EQ(ErrnoOfStat(base_ + "/docs/a.txt"), 0);
}

// The shell's notice that a path changed on the server, sent by the caller.
uint32_t InvalidatePath(uid_t uid, const std::string& connection, const std::string& path) {
  driver::InvalidatePathRecord record{};
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, SidOf(uid));
  CopyWide(record.name, kConnectionNameChars, U(connection));
  CopyWide(record.path, kPathChars, U(path));
  return Control(IOCTL_INVALIDATE_PATH, &record, sizeof record, nullptr, 0);
}

// The file's bytes; what was read before an error.
std::string ReadWhole(const std::string& path) {
  std::string bytes;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char buffer[65536];
  ssize_t n = 0;
  while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
  if (fd >= 0) close(fd);
  return bytes;
}

// A user whose agent takes reads and never answers them: a reader of the
// user's file holds the file's first page locked in the kernel, and a
// look-up in the Connection's folder holds the folder's lock. Notices of
// that user about the file and the folder then wait in the kernel.
class StallingUser {
 public:
  static constexpr uid_t kUid = 61400;

  StallingUser(IsolationTest* test, const std::string& userRoot) : root_(userRoot + "/QUENLODE/evil") {
    if (pipe2(ready_, O_NONBLOCK) != 0) return;
    agent_ = Spawn(kUid, [this] {
      ScriptedAgent agent;
      agent.AddFolder(U("\\QUENLODE\\evil"));
      agent.AddFile(U("\\QUENLODE\\evil\\f0"), Bytes(kFileSize, 'a'));
      agent.delayOnlyMajor = MJ_READ;
      agent.delayMs = 600000;
      if (agent.Connect(U("evil")) != 0) return 1;
      agent.Start();
      while (!HasRead(agent)) usleep(20000);
      if (write(ready_[1], "r", 1) != 1) return 1;
      pause();
      return 0;
    });
    test->Keep(agent_);
  }

  // Starts the reader and the look-up, then sends the user's notices; true
  // once they wait in the kernel.
  bool Stall(IsolationTest* test) {
    std::string file = root_ + "/f0", missing = root_ + "/hang";
    int seen = -1;
    for (int i = 0; i < 250 && seen != 0; ++i) {
      seen = Bounded(kUid, 5, [file] { return ErrnoOfStat(file); });
      if (seen != 0) usleep(20000);
    }
    if (seen != 0) return false;
    // Readers at both ends: when their reads fail, each asks again for a
    // page of its own, and a notice that got past one meets the other.
    for (off_t at : {off_t{0}, off_t{kFileSize - 65536}})
      test->Keep(Spawn(kUid, [file, at] { return PreadSome(file, at) > 0 ? 0 : 1; }));
    if (!WaitReady(ready_[0], 20)) return false;  // the agent holds the read
    test->Keep(Spawn(kUid, [missing] { return ErrnoOfStat(missing); }));
    usleep(300000);  // the look-up waits behind the held read
    return Bounded(kUid, 10, [] {
             return static_cast<int>(InvalidatePath(kUid, "evil", "\\f0") |
                                     InvalidatePath(kUid, "evil", "\\x"));
           }) == 0;
  }

 private:
  static constexpr size_t kFileSize = 8 << 20;

  static ssize_t PreadSome(const std::string& path, off_t at) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[4096];
    ssize_t n = fd < 0 ? -1 : pread(fd, buffer, sizeof buffer, at);
    if (fd >= 0) close(fd);
    return n;
  }

  static bool HasRead(ScriptedAgent& agent) {
    for (const LoggedRequest& request : agent.Log())
      if (request.major == MJ_READ) return true;
    return false;
  }

  std::string root_;
  int ready_[2] = {-1, -1};
  pid_t agent_ = -1;
};

TEST_F(IsolationTest, OneUsersStalledNoticesDelayNoOtherUsersNotices) {
  StartSite1();
  StallingUser attacker(this, UserRoot(StallingUser::kUid));
  ASSERT_TRUE(attacker.Stall(this));
  // The victim's file changes on the server after it was read once, keeping
  // its size (so that only the notice tells): after the victim's own notice,
  // the next read brings the new bytes.
  std::string file = base_ + "/docs/a.txt";
  ASSERT_EQ(ReadWhole(file), "hi");
  agent_.AddFile(U("\\QUENLODE\\site1\\docs\\a.txt"), Bytes{'h', 'o'});
  EXPECT_EQ(Bounded(0, 10, [] { return static_cast<int>(InvalidatePath(0, "site1", "\\docs\\a.txt")); }), 0);
  EXPECT_EQ(Bounded(0, 10, [file] { return ReadWhole(file) == "ho" ? 0 : 1; }), 0);
  // A name that is new on the server is seen as well.
  ASSERT_EQ(ErrnoOfStat(base_ + "/docs/b.txt"), ENOENT);
  agent_.AddFile(U("\\QUENLODE\\site1\\docs\\b.txt"), Bytes{'b'});
  EXPECT_EQ(Bounded(0, 10, [] { return static_cast<int>(InvalidatePath(0, "site1", "\\docs\\b.txt")); }), 0);
  EXPECT_EQ(Bounded(0, 10, [this] { return ErrnoOfStat(base_ + "/docs/b.txt"); }), 0);
}

TEST_F(IsolationTest, TheDriverEndsWhileANoticeWaitsForAReadItNoLongerTakes) {
  StartSite1();
  StallingUser attacker(this, UserRoot(StallingUser::kUid));
  ASSERT_TRUE(attacker.Stall(this));
  kill(pid_, SIGTERM);
  // A notice waiting in the kernel for a page that a read holds, whose
  // request nobody takes any more, must not keep the driver from ending.
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 300 && !ended; ++i) {
    ended = waitpid(pid_, &status, WNOHANG) == pid_;
    if (!ended) usleep(50000);
  }
  if (!ended) {  // free it, so that the test fails instead of hanging
    std::string name = std::to_string(major(mountDevice_) << 20 | minor(mountDevice_));
    std::ofstream("/sys/fs/fuse/connections/" + name + "/abort") << "1";
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  EXPECT_TRUE(ended) << "the driver did not end within 15 s";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(Mounted(mount_)) << "the mount was left behind";
}

// A process of another user that opens count control connections and holds
// them until released.
class HeldConnections {
 public:
  HeldConnections(const std::string& socketPath, uid_t uid, int count) {
    if (pipe2(ready_, O_NONBLOCK) != 0 || pipe(release_) != 0) return;
    child_ = Spawn(uid, [this, socketPath, count] {
      std::vector<int> held;
      for (int i = 0; i < count; ++i) held.push_back(RawDevice(socketPath));
      if (write(ready_[1], "r", 1) != 1) return 1;
      char byte;
      if (read(release_[0], &byte, 1) != 1) return 1;
      for (int fd : held)
        if (fd >= 0) close(fd);
      return 0;
    });
  }
  ~HeldConnections() {
    for (int fd : {ready_[0], ready_[1], release_[0], release_[1]})
      if (fd >= 0) close(fd);
  }
  bool ready() { return child_ > 0 && WaitReady(ready_[0], 20); }
  // Closes the connections; true when the process ended well.
  bool Release() { return write(release_[1], "g", 1) == 1 && Reap(child_, 10) == 0; }

 private:
  int ready_[2] = {-1, -1}, release_[2] = {-1, -1};
  pid_t child_ = -1;
};

// kSanitizedBuild: see tests/support/process_count_group.h.

class ListingBudgetTest : public IsolationTest {
 protected:
  void SetUp() override {
    // AddressSanitizer keeps freed memory in quarantine: the driver's size
    // says nothing of its budget there.
    if (kSanitizedBuild) GTEST_SKIP() << "the sanitizer's quarantine inflates the driver's size";
    environment_ = {{"QUENLODE_LISTING_BUDGET_MB", "8"}};
    IsolationTest::SetUp();
  }
};

TEST_F(ListingBudgetTest, AnEndlessListingIsCutAtTheUsersBudget) {
  StartSite1();
  agent_.madeUpListingRounds = 600;  // about 150,000 names of 100 characters
  long before = RssKiB(pid_);
  std::string docs = base_ + "/docs";
  DIR* dir = opendir(docs.c_str());
  ASSERT_NE(dir, nullptr);
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  long grown = RssKiB(pid_) - before;  // the folder is still open: its listing is held
  closedir(dir);
  EXPECT_GT(count, 1000);
  EXPECT_LT(count, 140000);
  EXPECT_LT(grown, 60 * 1024) << "KiB";
  // Names past the budget still answer.
  EXPECT_EQ(ErrnoOfStat(base_ + "/docs/a.txt"), 0);
}

class LowDescriptorTest : public IsolationTest {
 protected:
  void SetUp() override {
    // Sanitized, the driver needs descriptors to start a thread at all.
    if (kSanitizedBuild) GTEST_SKIP() << "a sanitized std::thread cannot fail to start cleanly";
    descriptorSoft_ = descriptorHard_ = 48;
    IsolationTest::SetUp();
  }
};

TEST_F(LowDescriptorTest, TheDriverKeepsAcceptingAfterRunningOutOfDescriptors) {
  HeldConnections hog(SocketPath(), 61200, 80);
  ASSERT_TRUE(hog.ready());
  usleep(500000);  // the driver ran out of descriptors
  EXPECT_TRUE(hog.Release());
  EXPECT_EQ(Bounded(0, 10, [] { return static_cast<int>(Version()); }), 0);
  EXPECT_EQ(Bounded(61201, 10, [] { return static_cast<int>(Version()); }), 0);
}

// The driver in a process-count group of its own whose limit leaves room
// for a few threads more than it runs: control connections past that get
// no reader thread.
class ThreadLimitTest : public IsolationTest {
 protected:
  void SetUp() override {
    if (kSanitizedBuild) GTEST_SKIP() << "a sanitized std::thread cannot fail to start cleanly";
    IsolationTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    group_ = std::make_unique<ProcessCountGroup>("quenlode-test-" + std::to_string(getpid()));
    if (!group_->made()) GTEST_SKIP() << "no process-count group can be made";
    int threads = ProcessCountGroup::ThreadsOf(pid_);
    ASSERT_GT(threads, 0);
    ASSERT_TRUE(group_->Limit(threads + kSpare));
    ASSERT_TRUE(group_->Enter(pid_));
  }

  void TearDown() override {
    IsolationTest::TearDown();  // the driver ends, so the group is empty
    group_.reset();
  }

  static constexpr int kSpare = 3;
  std::unique_ptr<ProcessCountGroup> group_;
};

TEST_F(ThreadLimitTest, TheDriverOutlivesConnectionsItHasNoThreadFor) {
  // More connections than the group leaves threads for, held open.
  HeldConnections hog(SocketPath(), 61300, 4 * kSpare);
  ASSERT_TRUE(hog.ready());
  usleep(500000);  // the driver has met the limit
  // A caller past the limit is told there is no room, and the driver lives.
  EXPECT_EQ(Bounded(61301, 10, [] { return static_cast<int>(Version()); }), 8);
  EXPECT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "the driver ended";
  EXPECT_TRUE(hog.Release());
  // The hog's threads end with its connections: callers are served again.
  int version = -1;
  for (int i = 0; i < 40 && version != 0; ++i) {
    version = Bounded(0, 10, [] { return static_cast<int>(Version()); });
    if (version != 0) usleep(100000);
  }
  EXPECT_EQ(version, 0);
  EXPECT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "the driver ended";
}

class PerUserCapTest : public IsolationTest {
 protected:
  void SetUp() override {
    environment_ = {{"QUENLODE_MAX_CONNECTIONS_PER_USER", "8"}};
    descriptorSoft_ = 256;
    descriptorHard_ = 1024;
    IsolationTest::SetUp();
  }
};

TEST_F(PerUserCapTest, AUserPastTheCapIsRefusedClearlyAndOthersAreServed) {
  // The soft limit was raised to the hard one.
  EXPECT_NE(LimitLine(pid_).find("1024                 1024"), std::string::npos) << LimitLine(pid_);
  int ready[2], release[2];
  ASSERT_EQ(pipe2(ready, O_NONBLOCK), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t holder = Spawn(61202, [&] {
    std::vector<HANDLE> held;
    for (int i = 0; i < 8; ++i) {
      held.push_back(CreateFileW(kControlDeviceName, 0, 3, nullptr, OPEN_EXISTING, 0, nullptr));
      uint32_t version = 0;
      DWORD got = 0;
      if (!DeviceIoControl(held.back(), IOCTL_VERSION, nullptr, 0, &version, 4, &got, nullptr))
        return 1;
    }
    if (write(ready[1], "r", 1) != 1) return 1;
    char byte;
    if (read(release[0], &byte, 1) != 1) return 1;
    for (HANDLE device : held) CloseHandle(device);
    return 0;
  });
  ASSERT_TRUE(WaitReady(ready[0], 20));
  EXPECT_EQ(Bounded(61202, 10, [] { return static_cast<int>(Version()); }),
            static_cast<int>(kErrorTooManyOpenFiles));
  EXPECT_EQ(Version(), 0u);
  EXPECT_EQ(Bounded(61203, 10, [] { return static_cast<int>(Version()); }), 0);
  ASSERT_EQ(write(release[1], "g", 1), 1);
  EXPECT_EQ(Reap(holder, 10), 0);
  int result = static_cast<int>(kErrorTooManyOpenFiles);
  for (int i = 0; i < 40 && result != 0; ++i) {
    result = Bounded(61202, 10, [] { return static_cast<int>(Version()); });
    if (result != 0) usleep(50000);
  }
  EXPECT_EQ(result, 0);  // closed connections no longer count
}

}  // namespace
}  // namespace hvm::test
