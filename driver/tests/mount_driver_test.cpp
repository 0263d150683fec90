// The driver on a real FUSE mount, served by the scripted agent, exercised
// with ordinary system calls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <dirent.h>
#include <ftw.h>

#include <functional>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "driver/invalidate_record.h"
#include "driver/tests/scripted_agent.h"
#include "platform/control_device.h"
#include "platform/wide_text.h"

namespace hvm::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool Mounted(const std::string& path) {
  std::ifstream mounts("/proc/mounts");
  std::string device, point, rest;
  while (mounts >> device >> point && std::getline(mounts, rest))
    if (point == path) return true;
  return false;
}

// Maps the first length bytes of path shared, closes the descriptor (the
// kernel releases the file only after munmap), writes text at the start and
// syncs it. MAP_FAILED when a step fails.
void* MapWriteAndSync(const std::string& path, size_t length, const char* text) {
  int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) return MAP_FAILED;
  void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) return MAP_FAILED;
  std::memcpy(mapped, text, std::strlen(text));
  if (msync(mapped, length, MS_SYNC) != 0) {
    munmap(mapped, length);
    return MAP_FAILED;
  }
  return mapped;
}

std::string ReadAll(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<open failed: " + std::string(strerror(errno)) + ">";
  std::string text;
  char buffer[70000];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, got);
  close(fd);
  return text;
}

int ErrnoOfStat(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? 0 : errno;
}

std::set<std::string> List(const std::string& path) {
  std::set<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) names.insert(entry->d_name);
  closedir(dir);
  return names;
}

// One control call on a fresh handle; returns the Win32 error (0 on success).
uint32_t Control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                 DWORD* got = nullptr) {
  HANDLE device = CreateFileW(kControlDeviceName, 0, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD returned = 0;
  uint32_t error = DeviceIoControl(device, code, in, inLength, out, outLength, &returned, nullptr)
                       ? 0
                       : GetLastError();
  if (got) *got = returned;
  CloseHandle(device);
  return error;
}

uint32_t ActiveConnectionCount() {
  std::vector<uint8_t> in(120, 0), out(4 + 10 * sizeof(ConnectionRecord), 0);
  CopyWide(reinterpret_cast<char16_t*>(in.data()), 60, SelfSid());
  if (Control(IOCTL_CONNECTION_INFO, in.data(), in.size(), out.data(), out.size()) != 0) return 999;
  uint32_t count;
  memcpy(&count, out.data(), 4);
  return count;
}

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
    char pattern[] = "/tmp/quenlode-test.XXXXXX";
    runtime_ = mkdtemp(pattern);
    chmod(runtime_.c_str(), 0755);  // other users reach the socket and the mount
    mount_ = runtime_ + "/mnt";
    setenv("HALVENMOOR_RUNTIME_DIR", runtime_.c_str(), 1);
    setenv("QUENLODE_LIVENESS_SECONDS", "2", 1);
    setenv("XDG_STATE_HOME", runtime_.c_str(), 1);
    pid_ = fork();
    if (pid_ == 0) {
      execl(QUENLODE_BINARY, "quenlode", "--log-level", "1", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && !(Mounted(mount_) && access((runtime_ + "/qlode").c_str(), F_OK) == 0);
         ++i)
      usleep(25000);
    ASSERT_TRUE(Mounted(mount_)) << "the driver did not mount";
    user_ = mount_ + "/" + Utf16ToUtf8(SelfSid());
    base_ = user_ + "/QUENLODE/site1";
    agent_.AddFolder(U("\\QUENLODE\\site1"));
    agent_.AddFolder(U("\\QUENLODE\\site1\\docs"));
    agent_.AddFile(U("\\QUENLODE\\site1\\docs\\a.txt"), Text("hello world"));
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      bool ended = false;
      for (int i = 0; i < 100 && !ended; ++i) {
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended) usleep(50000);
      }
      if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
    if (!mount_.empty() && Mounted(mount_)) umount2(mount_.c_str(), MNT_DETACH);
    agent_.Stop();
    if (!runtime_.empty())
      nftw(runtime_.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); },
           16, FTW_DEPTH | FTW_PHYS);
  }

  void StartSite1(uint32_t used = 0, uint32_t free = 0, bool ping = true) {
    ASSERT_EQ(agent_.Connect(U("site1"), used, free), 0u);
    agent_.Start(ping);
    // Requests fail at once until the agent's loop asks for the first one.
    for (int i = 0; i < 250 && ErrnoOfStat(base_ + "/docs") == EIO; ++i) usleep(20000);
    ASSERT_EQ(ErrnoOfStat(base_ + "/docs"), 0);
  }

  std::vector<LoggedRequest> Requests(uint8_t major) {
    std::vector<LoggedRequest> picked;
    for (auto& entry : agent_.Log())
      if (entry.major == major) picked.push_back(entry);
    return picked;
  }

  std::string runtime_, mount_, user_, base_;
  pid_t pid_ = -1;
  ScriptedAgent agent_;
  ScriptedAgent second_;  // the agent of a second site, for the tests that need one
};

TEST_F(MountTest, EverydayFileOperationsReachTheAgent) {
  StartSite1(100, 50);
  std::string docs = base_ + "/docs";
  EXPECT_EQ(List(base_ + "/..").count("site1"), 1u);
  EXPECT_EQ(List(docs).count("a.txt"), 1u);

  struct stat st;
  ASSERT_EQ(stat((docs + "/a.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 11);
  EXPECT_EQ(st.st_uid, getuid());
  EXPECT_EQ(ReadAll(docs + "/a.txt"), "hello world");

  int fd = open((docs + "/a.txt").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  void* map = mmap(nullptr, 11, PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  EXPECT_EQ(std::string(static_cast<char*>(map), 11), "hello world");
  munmap(map, 11);
  close(fd);

  fd = open((docs + "/b.txt").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "abc", 3), 3);
  ASSERT_EQ(close(fd), 0);
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\docs\\b.txt")), Text("abc"));

  fd = open((docs + "/b.txt").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "de", 2), 2);
  ASSERT_EQ(close(fd), 0);
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\docs\\b.txt")), Text("abcde"));

  // A truncate of an open file reaches the agent's copy.
  fd = open((docs + "/b.txt").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 2), 0);
  ASSERT_EQ(close(fd), 0);
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\docs\\b.txt")), Text("ab"));
  ASSERT_EQ(stat((docs + "/b.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 2);

  ASSERT_EQ(rename((docs + "/b.txt").c_str(), (docs + "/c.txt").c_str()), 0);
  EXPECT_TRUE(agent_.Has(U("\\QUENLODE\\site1\\docs\\c.txt")));
  EXPECT_FALSE(agent_.Has(U("\\QUENLODE\\site1\\docs\\b.txt")));
  EXPECT_EQ(ErrnoOfStat(docs + "/b.txt"), ENOENT);
  EXPECT_EQ(ReadAll(docs + "/c.txt"), "ab");

  ASSERT_EQ(unlink((docs + "/c.txt").c_str()), 0);
  EXPECT_FALSE(agent_.Has(U("\\QUENLODE\\site1\\docs\\c.txt")));
  EXPECT_EQ(ErrnoOfStat(docs + "/c.txt"), ENOENT);

  ASSERT_EQ(mkdir((base_ + "/sub").c_str(), 0755), 0);
  EXPECT_TRUE(agent_.Has(U("\\QUENLODE\\site1\\sub")));
  ASSERT_EQ(rmdir((base_ + "/sub").c_str()), 0);
  EXPECT_FALSE(agent_.Has(U("\\QUENLODE\\site1\\sub")));

  struct statvfs figures;
  ASSERT_EQ(statvfs(docs.c_str(), &figures), 0);
  EXPECT_EQ(figures.f_frsize, 4096u);
  EXPECT_EQ(figures.f_blocks, 150u);
  EXPECT_EQ(figures.f_bavail, 50u);
}

// Empties a file and writes three bytes into it.
void Overwrite(const std::string& path, const char* three) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, three, 3), 3);
  ASSERT_EQ(close(fd), 0);
}

TEST_F(MountTest, OverwritingAFileEmptiesItWithoutFetchingItFirst) {
  StartSite1();
  std::string path = base_ + "/docs/a.txt";
  agent_.ClearLog();
  Overwrite(path, "new");
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\docs\\a.txt")), Text("new"));
  EXPECT_TRUE(Requests(MJ_CONTENT_PUSH).empty());
  uint32_t opened = 0;
  for (auto& create : Requests(MJ_CREATE))
    if (create.offeredToken != 0) opened = create.fileObject;
  int cleanups = 0;
  for (auto& cleanup : Requests(MJ_CLEANUP)) cleanups += cleanup.fileObject == opened;
  EXPECT_EQ(cleanups, 1);  // one upload, at close
  // The kernel's size change for O_TRUNC names no descriptor; it goes
  // through the open just made, not a handle of its own that would upload
  // the emptied file before the program's data.
  ASSERT_EQ(Requests(MJ_SET_INFORMATION).size(), 1u);
  for (auto& set : Requests(MJ_SET_INFORMATION)) EXPECT_EQ(set.fileObject, opened);
  EXPECT_EQ(ReadAll(path), "new");
  // A truncate by name reaches the agent as well.
  ASSERT_EQ(truncate(path.c_str(), 1), 0);
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\docs\\a.txt")), Text("n"));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1);
}

// A written file's cleanup at close(2) is watched by its program; one that
// comes only at the last release (a shared mapping written after its
// descriptor was closed) is marked as watched by nobody.
TEST_F(MountTest, ACleanupFromTheLastReleaseIsMarkedAsWatchedByNobody) {
  StartSite1();
  std::string path = base_ + "/docs/a.txt";
  const std::u16string name = U("\\QUENLODE\\site1\\docs\\a.txt");
  // The cleanups of the file's opens (not of its look-ups) since the log was cleared.
  auto cleanupsOfFile = [&] {
    std::set<uint32_t> objects;
    for (auto& create : Requests(MJ_CREATE))
      if (create.name == name && create.offeredToken != 0) objects.insert(create.fileObject);
    std::vector<LoggedRequest> picked;
    for (auto& cleanup : Requests(MJ_CLEANUP))
      if (objects.count(cleanup.fileObject)) picked.push_back(cleanup);
    return picked;
  };
  agent_.ClearLog();
  Overwrite(path, "new");
  std::vector<LoggedRequest> cleanups = cleanupsOfFile();
  ASSERT_EQ(cleanups.size(), 1u);
  EXPECT_EQ(cleanups[0].words[0], 0u);

  agent_.ClearLog();
  void* mapped = MapWriteAndSync(path, 3, "NEW");
  ASSERT_NE(mapped, MAP_FAILED);
  ASSERT_EQ(munmap(mapped, 3), 0);
  // The release comes after munmap, from the kernel's own thread.
  bool marked = false;
  for (int i = 0; i < 100 && !marked; ++i) {
    for (auto& cleanup : cleanupsOfFile()) marked = marked || cleanup.words[0] == kCleanupNobodyWaits;
    if (!marked) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(marked);
  EXPECT_EQ(agent_.Contents(name), Text("NEW"));
}

// The kernel's release of a mapped file comes late; a truncate by name may
// finish between its cleanup and its close. The close must carry the size
// after the truncate: the agent takes it as the file's.
TEST_F(MountTest, ACloseAfterATruncateByNameCarriesTheNewSize) {
  StartSite1();
  std::string path = base_ + "/docs/a.txt";
  const std::u16string name = U("\\QUENLODE\\site1\\docs\\a.txt");
  void* mapped = MapWriteAndSync(path, 11, "HELLO");
  ASSERT_NE(mapped, MAP_FAILED);
  uint32_t object = 0;
  for (auto& write : Requests(MJ_WRITE)) object = write.fileObject;
  ASSERT_NE(object, 0u);
  agent_.pendingCleanup = true;  // the upload runs while the truncate comes
  agent_.pendingDelayMs = 600;
  ASSERT_EQ(munmap(mapped, 11), 0);
  auto ofObject = [&](uint8_t major) {
    std::vector<LoggedRequest> picked;
    for (auto& request : Requests(major))
      if (request.fileObject == object) picked.push_back(request);
    return picked;
  };
  for (int i = 0; i < 100 && ofObject(MJ_CLEANUP).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(ofObject(MJ_CLEANUP).size(), 1u);
  EXPECT_EQ(ofObject(MJ_CLEANUP)[0].fileValue, 11u);
  ASSERT_EQ(truncate(path.c_str(), 4), 0);
  for (int i = 0; i < 100 && ofObject(MJ_CLOSE).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(ofObject(MJ_CLOSE).size(), 1u);
  EXPECT_EQ(ofObject(MJ_CLOSE)[0].fileValue, 4u);
  EXPECT_EQ(agent_.Contents(name), Text("HELL"));
}

// Two names of one file (they differ only in case) are two inodes, whose opens
// the agent hands one FCB. Whichever closes last frees it; the other node must
// not keep naming it, or its next open takes a fresh FCB the cut never reaches
// and the upload carries the old size.
TEST_F(MountTest, TwoNamesOfOneFileLetGoOfTheirSharedFcb) {
  StartSite1();
  const std::u16string name = U("\\QUENLODE\\site1\\docs\\Case.txt");
  agent_.AddFile(name, Bytes(30000, 'l'));
  agent_.AddAlias(U("\\QUENLODE\\site1\\docs\\case.txt"), name);
  std::string upper = base_ + "/docs/Case.txt", lower = base_ + "/docs/case.txt";
  int first = open(upper.c_str(), O_RDONLY);
  ASSERT_GE(first, 0);
  int second = open(lower.c_str(), O_RDONLY);
  ASSERT_GE(second, 0);
  // The opens of the files themselves (an open by name offers no token).
  auto fileOpens = [&] {
    std::vector<LoggedRequest> opens;
    for (auto& create : Requests(MJ_CREATE))
      if (create.offeredToken != 0) opens.push_back(create);
    return opens;
  };
  auto requestsOf = [&](uint8_t major, uint32_t object) {
    std::vector<LoggedRequest> picked;
    for (auto& request : Requests(major))
      if (request.fileObject == object) picked.push_back(request);
    return picked;
  };
  std::vector<LoggedRequest> reads = fileOpens();
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].replyToken, reads[1].replyToken);
  char byte;
  EXPECT_EQ(read(second, &byte, 1), 1);
  close(first);
  for (int i = 0; i < 100 && requestsOf(MJ_CLOSE, reads[0].fileObject).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  close(second);  // the FCB goes with the lower name's close
  for (int i = 0; i < 100 && requestsOf(MJ_CLOSE, reads[1].fileObject).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(requestsOf(MJ_CLOSE, reads[1].fileObject).size(), 1u);

  agent_.ClearLog();
  int fd = open(upper.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "fresh", 5), 5);
  ASSERT_EQ(close(fd), 0);
  struct stat st {};
  ASSERT_EQ(stat(upper.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 5);
  std::vector<LoggedRequest> writes = fileOpens();
  ASSERT_EQ(writes.size(), 1u);
  std::vector<LoggedRequest> cleanups = requestsOf(MJ_CLEANUP, writes[0].fileObject);
  ASSERT_EQ(cleanups.size(), 1u);
  EXPECT_EQ(cleanups[0].fileValue, 5u);
  EXPECT_EQ(agent_.Contents(name), Text("fresh"));
}

// A folder made here answers names it never saw as missing. Once a second
// spelling of it has a node, names made through that one are not noted in
// the first: neither answers by itself any more.
TEST_F(MountTest, AFolderMadeHereAndReachedUnderAnotherSpellingAsksTheAgent) {
  StartSite1();
  agent_.AddAlias(U("\\QUENLODE\\site1\\docs\\new"), U("\\QUENLODE\\site1\\docs\\NEW"));
  ASSERT_EQ(mkdir((base_ + "/docs/NEW").c_str(), 0755), 0);
  struct stat st {};
  ASSERT_EQ(stat((base_ + "/docs/new").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  int fd = open((base_ + "/docs/new/made.txt").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(close(fd), 0);
  EXPECT_TRUE(agent_.Has(U("\\QUENLODE\\site1\\docs\\NEW\\made.txt")));
  EXPECT_EQ(stat((base_ + "/docs/NEW/made.txt").c_str(), &st), 0) << strerror(errno);
}

// Moving a folder below itself is refused as the kernel refuses it, also when
// the two paths spell the folder differently.
// A name answered as missing under one spelling is found at once after a
// file was made under another; a change through one spelling shows through
// the others when it returns; a removal leaves none of them.
TEST_F(MountTest, EverySpellingOfANameSeesWhatAnotherMadeChangedOrRemoved) {
  StartSite1();
  std::string made = base_ + "/made";
  ASSERT_EQ(mkdir(made.c_str(), 0755), 0);
  agent_.AddAlias(U("\\QUENLODE\\site1\\made\\NOTE.TXT"), U("\\QUENLODE\\site1\\made\\note.txt"));
  agent_.AddAlias(U("\\QUENLODE\\site1\\made\\Note.txt"), U("\\QUENLODE\\site1\\made\\note.txt"));
  EXPECT_EQ(ErrnoOfStat(made + "/NOTE.TXT"), ENOENT);
  int fd = open((made + "/note.txt").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "first", 5), 5);
  ASSERT_EQ(close(fd), 0);
  EXPECT_EQ(ErrnoOfStat(made + "/NOTE.TXT"), 0);
  EXPECT_EQ(ReadAll(made + "/NOTE.TXT"), "first");

  fd = open((made + "/Note.txt").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "second, longer", 14), 14);
  ASSERT_EQ(close(fd), 0);
  struct stat st {};
  ASSERT_EQ(stat((made + "/NOTE.TXT").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 14);
  EXPECT_EQ(ReadAll(made + "/NOTE.TXT"), "second, longer");
  ASSERT_EQ(truncate((made + "/note.txt").c_str(), 6), 0);
  ASSERT_EQ(stat((made + "/Note.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 6);

  ASSERT_EQ(unlink((made + "/Note.txt").c_str()), 0);
  for (const char* spelling : {"/note.txt", "/NOTE.TXT", "/Note.txt"})
    EXPECT_EQ(ErrnoOfStat(made + spelling), ENOENT) << spelling;
}

// A program (or a user bent on stalling the daemon) that tries many
// spellings of one name: each still reads the file as it is now, also those
// whose nodes the driver let go of to keep only a few.
TEST_F(MountTest, ManySpellingsOfOneNameEachReadTheFileAsItIsNow) {
  StartSite1();
  const std::u16string name = U("\\QUENLODE\\site1\\docs\\spelled.txt");
  agent_.AddFile(name, Text("first"));
  std::vector<std::string> spellings;
  for (unsigned bits = 0; bits < 40; ++bits) {
    std::string spelled = "spelled.txt";
    for (unsigned i = 0; i < 6; ++i)
      if (bits & (1u << i)) spelled[i] = static_cast<char>(spelled[i] - 'a' + 'A');
    if (bits != 0) agent_.AddAlias(U("\\QUENLODE\\site1\\docs\\") + U(spelled), name);
    spellings.push_back(base_ + "/docs/" + spelled);
  }
  for (const std::string& path : spellings) EXPECT_EQ(ReadAll(path), "first") << path;
  int fd = open(spellings[7].c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "second!", 7), 7);
  ASSERT_EQ(close(fd), 0);
  for (const std::string& path : spellings) {
    EXPECT_EQ(ReadAll(path), "second!") << path;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_size, 7) << path;
  }
}

TEST_F(MountTest, AFolderMovedBelowAnotherSpellingOfItselfIsRefused) {
  StartSite1();
  agent_.AddAlias(U("\\QUENLODE\\site1\\docs\\new"), U("\\QUENLODE\\site1\\docs\\NEW"));
  ASSERT_EQ(mkdir((base_ + "/docs/NEW").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((base_ + "/docs/NEW/inner").c_str(), 0755), 0);
  agent_.ClearLog();
  errno = 0;
  EXPECT_EQ(rename((base_ + "/docs/NEW").c_str(), (base_ + "/docs/new/inner/moved").c_str()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(Requests(MJ_SET_INFORMATION).empty());
  EXPECT_TRUE(agent_.Has(U("\\QUENLODE\\site1\\docs\\NEW\\inner")));
}

// A folder removed or moved through one spelling is gone under another
// spelling the kernel still resolves, once that returns: also while the
// notice that makes the kernel forget the other name waits its turn. Here it
// waits behind one for a folder of a second site, whose lock the kernel holds
// for a rename that site's agent keeps unanswered.
TEST_F(MountTest, AFolderRemovedOrMovedThroughOneSpellingIsGoneUnderAnotherAtOnce) {
  StartSite1();
  ASSERT_EQ(second_.Connect(U("site2")), 0u);
  second_.AddFolder(U("\\QUENLODE\\site2\\held"));
  second_.AddFolder(U("\\QUENLODE\\site2\\held\\x"));
  second_.AddAlias(U("\\QUENLODE\\site2\\held\\X"), U("\\QUENLODE\\site2\\held\\x"));
  second_.Start();
  std::string held = user_ + "/QUENLODE/site2/held";
  for (int i = 0; i < 250 && ErrnoOfStat(held) == EIO; ++i) usleep(20000);
  ASSERT_EQ(ErrnoOfStat(held + "/x"), 0);
  // Looking X up for the rename queues the notice that forgets x, which waits
  // for the folder's lock until the rename is answered.
  second_.holdMajor = MJ_SET_INFORMATION;
  int renamed = -1;
  std::thread renaming([&] { renamed = rename((held + "/X").c_str(), (held + "/y").c_str()); });
  EXPECT_TRUE(second_.WaitHeld(10));  // (the thread is joined below in any case)

  std::string docs = base_ + "/docs";
  agent_.AddAlias(U("\\QUENLODE\\site1\\docs\\D0"), U("\\QUENLODE\\site1\\docs\\d0"));
  agent_.AddAlias(U("\\QUENLODE\\site1\\docs\\E0"), U("\\QUENLODE\\site1\\docs\\e0"));
  EXPECT_EQ(mkdir((docs + "/d0").c_str(), 0755), 0);
  EXPECT_EQ(ErrnoOfStat(docs + "/d0"), 0);
  EXPECT_EQ(rmdir((docs + "/D0").c_str()), 0) << strerror(errno);
  EXPECT_EQ(ErrnoOfStat(docs + "/d0"), ENOENT);
  EXPECT_EQ(mkdir((docs + "/e0").c_str(), 0755), 0);
  EXPECT_EQ(ErrnoOfStat(docs + "/e0"), 0);
  EXPECT_EQ(rename((docs + "/E0").c_str(), (docs + "/moved").c_str()), 0) << strerror(errno);
  EXPECT_EQ(ErrnoOfStat(docs + "/e0"), ENOENT);
  EXPECT_EQ(ErrnoOfStat(docs + "/moved"), 0);

  second_.holdMajor = 0xFF;
  renaming.join();
  EXPECT_EQ(renamed, 0);
  EXPECT_TRUE(second_.Has(U("\\QUENLODE\\site2\\held\\y")));
  EXPECT_EQ(ErrnoOfStat(held + "/x"), ENOENT);
}

// A folder removed through one spelling while a program holds it open under
// another: its full name soon stands for a new folder of that name, which
// nothing done through the old one may reach.
TEST_F(MountTest, NothingReachesANewFolderThroughTheSpellingOfOneRemoved) {
  StartSite1();
  std::string docs = base_ + "/docs";
  agent_.AddAlias(U("\\QUENLODE\\site1\\docs\\R0"), U("\\QUENLODE\\site1\\docs\\r0"));
  ASSERT_EQ(mkdir((docs + "/r0").c_str(), 0755), 0);
  int old = open((docs + "/r0").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(old, 0);
  ASSERT_EQ(rmdir((docs + "/R0").c_str()), 0) << strerror(errno);
  ASSERT_EQ(mkdir((docs + "/R0").c_str(), 0755), 0) << strerror(errno);
  int made = open((docs + "/R0/inner.txt").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(made, 0) << strerror(errno);
  ASSERT_EQ(close(made), 0);
  ASSERT_TRUE(agent_.Has(U("\\QUENLODE\\site1\\docs\\r0\\inner.txt")));

  struct stat st;
  EXPECT_NE(fstatat(old, "inner.txt", &st, 0), 0);
  EXPECT_TRUE(errno == ENOENT || errno == ESTALE) << errno;
  EXPECT_LT(openat(old, "another.txt", O_WRONLY | O_CREAT, 0644), 0);
  EXPECT_TRUE(errno == ENOENT || errno == ESTALE) << errno;
  EXPECT_NE(mkdirat(old, "sub", 0755), 0);
  EXPECT_TRUE(errno == ENOENT || errno == ESTALE) << errno;
  EXPECT_FALSE(agent_.Has(U("\\QUENLODE\\site1\\docs\\r0\\another.txt")));
  EXPECT_FALSE(agent_.Has(U("\\QUENLODE\\site1\\docs\\r0\\sub")));
  close(old);
}

// An open by name holds no FCB, so its requests bring the agent no size of
// their own; an open file's requests bring its FCB's.
TEST_F(MountTest, RequestsOfAnOpenByNameCarryNoSize) {
  StartSite1();
  std::string path = base_ + "/docs/a.txt";
  const std::u16string name = U("\\QUENLODE\\site1\\docs\\a.txt");
  auto objectsOf = [&](bool byName) {
    std::set<uint32_t> objects;
    for (auto& create : Requests(MJ_CREATE))
      if (create.name == name && (create.offeredToken == 0) == byName) objects.insert(create.fileObject);
    return objects;
  };
  auto sizesOf = [&](const std::set<uint32_t>& objects, uint8_t major) {
    std::vector<uint64_t> sizes;
    for (auto& request : Requests(major))
      if (objects.count(request.fileObject)) sizes.push_back(request.fileValue);
    return sizes;
  };
  agent_.ClearLog();
  ASSERT_EQ(truncate(path.c_str(), 4), 0);  // its look-up probes the name first
  std::set<uint32_t> byName = objectsOf(true);
  ASSERT_FALSE(byName.empty());
  for (uint8_t major : {MJ_QUERY_INFORMATION, MJ_SET_INFORMATION, MJ_CLEANUP, MJ_CLOSE}) {
    std::vector<uint64_t> sizes = sizesOf(byName, major);
    EXPECT_FALSE(sizes.empty()) << int{major};
    for (uint64_t size : sizes) EXPECT_EQ(size, kSizeOfNoFcb) << int{major};
  }
  EXPECT_EQ(agent_.Contents(name), Text("hell"));

  agent_.ClearLog();
  int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 2), 0);
  ASSERT_EQ(close(fd), 0);
  std::vector<uint64_t> cut = sizesOf(objectsOf(false), MJ_SET_INFORMATION);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0], 4u);  // the size before the cut, which the FCB holds until it succeeded
  EXPECT_EQ(agent_.Contents(name), Text("he"));
}

TEST_F(MountTest, NamesTheChannelCannotCarryAreRefused) {
  StartSite1();
  EXPECT_EQ(ErrnoOfStat(base_ + "/docs/a*.txt"), EINVAL);
  EXPECT_EQ(ErrnoOfStat(base_ + "/docs/a?.txt"), EINVAL);
  EXPECT_EQ(ErrnoOfStat(base_ + "/docs/" + std::string(250, 'n')), ENAMETOOLONG);
  EXPECT_EQ(open((base_ + "/docs/" + std::string(250, 'n')).c_str(), O_CREAT | O_WRONLY, 0644), -1);
  EXPECT_EQ(ErrnoOfStat(base_ + "/docs/missing"), ENOENT);
  EXPECT_EQ(ErrnoOfStat(user_ + "/QUENLODE/nosuchsite/x"), ENOENT);
  EXPECT_EQ(ErrnoOfStat(user_ + "/QUENLODE/IPC$"), ENOENT);  // no such Connection
  // A 200-byte name below a 250-byte-deep path would be cut by the agent.
  EXPECT_EQ(mkdir((base_ + "/" + std::string(200, 'd')).c_str(), 0755), 0);
  EXPECT_EQ(ErrnoOfStat(base_ + "/" + std::string(200, 'd') + "/" + std::string(60, 'f')),
            ENAMETOOLONG);
}

TEST_F(MountTest, FirstWritePushesContentsThenSendsPieces) {
  Bytes original(100000);
  for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<uint8_t>(i * 7);
  agent_.AddFile(U("\\QUENLODE\\site1\\big.bin"), original);
  StartSite1();
  int fd = open((base_ + "/big.bin").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  agent_.ClearLog();
  Bytes data(200000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
  ASSERT_EQ(pwrite(fd, data.data(), data.size(), 0), 200000);

  auto pushes = Requests(MJ_CONTENT_PUSH);
  ASSERT_EQ(pushes.size(), 3u);
  EXPECT_EQ(pushes[0].words[0], 65536u);  // fetched by the agent
  EXPECT_EQ(pushes[0].words[2], 0u);
  EXPECT_EQ(pushes[1].words[0], 34464u);
  EXPECT_EQ(pushes[1].words[2], 65536u);
  EXPECT_EQ(pushes[2].words[0], kContentPushEnd);
  EXPECT_EQ(pushes[2].words[2], 100000u);

  auto writes = Requests(MJ_WRITE);
  ASSERT_EQ(writes.size(), 4u);
  const uint32_t sizes[] = {65536, 65536, 65536, 3392};
  const uint32_t offsets[] = {0, 65536, 131072, 196608};
  const uint32_t keys[] = {100000, 100000, 131072, 196608};  // the valid length before each piece
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(writes[i].words[0], sizes[i]) << i;
    EXPECT_EQ(writes[i].dataLength, sizes[i]) << i;
    EXPECT_EQ(writes[i].words[2], offsets[i]) << i;
    EXPECT_EQ(writes[i].words[3], 0u) << i;
    EXPECT_EQ(writes[i].words[1], keys[i]) << i;
  }
  EXPECT_EQ(writes[3].fileValue, 200000u);

  agent_.ClearLog();
  ASSERT_EQ(pwrite(fd, "x", 1, 5), 1);
  EXPECT_TRUE(Requests(MJ_CONTENT_PUSH).empty());  // the agent holds the contents now
  ASSERT_EQ(close(fd), 0);
  data[5] = 'x';
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\big.bin")), data);
}

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 29 + seed + (i >> 12));
  return bytes;
}

// copy_file_range as cp calls it: file positions, the most it may ask for,
// again until it reports the end. Returns the total, or -errno.
int64_t CopyAll(int in, int out, std::vector<ssize_t>* calls = nullptr) {
  int64_t total = 0;
  while (true) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
    if (calls) calls->push_back(n);
    if (n < 0) return -errno;
    if (n == 0) return total;
    total += n;
  }
}

TEST_F(MountTest, CopyFileRangeHandsWholeCopiesToTheAgentAndLeavesTheRestToTheKernel) {
  const Bytes original = Pattern(300000, 3);
  const std::u16string docs = U("\\QUENLODE\\site1\\docs\\");
  agent_.AddFile(docs + u"src.bin", original);
  StartSite1();
  std::string dir = base_ + "/docs/";
  int in = open((dir + "src.bin").c_str(), O_RDONLY);
  ASSERT_GE(in, 0);
  auto copyInto = [&](const std::string& name, std::vector<ssize_t>* calls = nullptr) {
    lseek(in, 0, SEEK_SET);
    int out = open((dir + name).c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
    if (out < 0) return int64_t{-errno};
    int64_t copied = CopyAll(in, out, calls);
    struct stat st {};
    fstat(out, &st);
    EXPECT_EQ(st.st_size, copied) << name;
    EXPECT_EQ(close(out), 0) << name;
    return copied;
  };

  // The agent declines: each call is copied by the kernel, and the next call
  // is asked again (the operation was not switched off for the mount).
  agent_.ClearLog();
  EXPECT_EQ(copyInto("one.bin"), 300000);
  EXPECT_EQ(copyInto("two.bin"), 300000);
  auto asked = Requests(MJ_COPY_RANGE);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].dataLength, sizeof(CopyRangeRecord));
  EXPECT_EQ(asked[0].fileValue, 0u);  // the destination's size
  CopyRangeRecord record{};
  memcpy(&record, asked[0].head.data(), std::min(asked[0].head.size(), sizeof record));
  EXPECT_EQ(record.sourceSize, 300000u);
  EXPECT_EQ(record.sourceOffset, 0u);
  EXPECT_EQ(record.destinationOffset, 0u);
  EXPECT_GE(record.length, 300000u);
  EXPECT_EQ(agent_.Contents(docs + u"one.bin"), original);
  EXPECT_EQ(agent_.Contents(docs + u"two.bin"), original);
  EXPECT_FALSE(Requests(MJ_WRITE).empty());

  // The agent copies: one call, no bytes through the mount.
  agent_.copiesRanges = true;
  agent_.ClearLog();
  std::vector<ssize_t> calls;
  EXPECT_EQ(copyInto("three.bin", &calls), 300000);
  EXPECT_EQ(calls, (std::vector<ssize_t>{300000, 0}));
  EXPECT_TRUE(Requests(MJ_WRITE).empty());
  EXPECT_TRUE(Requests(MJ_CONTENT_PUSH).empty());
  EXPECT_EQ(agent_.Contents(docs + u"three.bin"), original);
  std::string read = ReadAll(dir + "three.bin");
  EXPECT_EQ(Bytes(read.begin(), read.end()), original);

  // A part of the source, or onto a file with contents: never asked.
  agent_.ClearLog();
  int out = open((dir + "four.bin").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
  ASSERT_GE(out, 0);
  loff_t from = 1000, to = 0;
  EXPECT_EQ(copy_file_range(in, &from, out, &to, 5000, 0), 5000);
  ASSERT_EQ(close(out), 0);
  EXPECT_EQ(agent_.Contents(docs + u"four.bin"), Bytes(original.begin() + 1000, original.begin() + 6000));
  out = open((dir + "a.txt").c_str(), O_WRONLY);
  ASSERT_GE(out, 0);
  lseek(in, 0, SEEK_SET);
  EXPECT_EQ(CopyAll(in, out), 300000);
  ASSERT_EQ(close(out), 0);
  EXPECT_EQ(agent_.Contents(docs + u"a.txt"), original);
  EXPECT_TRUE(Requests(MJ_COPY_RANGE).empty());
  close(in);
}

// An aligned buffer for O_DIRECT reads, which reach the driver as one request.
struct DirectBuffer {
  explicit DirectBuffer(size_t size) : size(size) {
    if (posix_memalign(&data, 4096, size) != 0) data = nullptr;
  }
  ~DirectBuffer() { free(data); }
  Bytes Copy(size_t length) const {
    auto* bytes = static_cast<const uint8_t*>(data);
    return Bytes(bytes, bytes + length);
  }
  void* data = nullptr;
  size_t size;
};

TEST_F(MountTest, NarrowConnectionSeesSixtyFourKiBPiecesOfMegabyteRequests) {
  const size_t kMiB = 1 << 20;
  Bytes original = Pattern(2 * kMiB, 3);
  agent_.AddFile(U("\\QUENLODE\\site1\\two.bin"), original);
  StartSite1();
  EXPECT_EQ(agent_.pieceSize(), kMaxChunk);  // registered as before

  int fd = open((base_ + "/two.bin").c_str(), O_RDONLY | O_DIRECT);
  ASSERT_GE(fd, 0);
  DirectBuffer buffer(kMiB);
  ASSERT_NE(buffer.data, nullptr);
  agent_.ClearLog();
  ASSERT_EQ(pread(fd, buffer.data, kMiB, kMiB), static_cast<ssize_t>(kMiB));
  EXPECT_EQ(buffer.Copy(kMiB), Bytes(original.begin() + kMiB, original.end()));
  close(fd);
  auto reads = Requests(MJ_READ);
  ASSERT_EQ(reads.size(), 16u);  // the mount took 1 MiB, the agent gets 64 KiB at a time
  for (size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(reads[i].words[0], 65536u) << i;
    EXPECT_EQ(reads[i].words[2], kMiB + i * 65536) << i;
    EXPECT_EQ(reads[i].dataLength, 4u) << i;
  }

  // One write of 1 MiB and a little more into a new file: pieces of 64 KiB
  // in order, each carrying the valid length before it.
  fd = open((base_ + "/new.bin").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  Bytes data = Pattern(kMiB + 1000, 9);
  agent_.ClearLog();
  ASSERT_EQ(pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
  auto writes = Requests(MJ_WRITE);
  ASSERT_EQ(writes.size(), 17u);
  for (size_t i = 0; i < writes.size(); ++i) {
    uint32_t size = i < 16 ? 65536u : 1000u;
    EXPECT_EQ(writes[i].words[0], size) << i;
    EXPECT_EQ(writes[i].dataLength, size) << i;
    EXPECT_EQ(writes[i].words[2], i * 65536) << i;
    EXPECT_EQ(writes[i].words[1], i * 65536) << i;
  }
  ASSERT_EQ(close(fd), 0);
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\new.bin")), data);
}

TEST_F(MountTest, WideConnectionGetsReadsWritesAndPushesWhole) {
  const size_t kMiB = 1 << 20;
  Bytes original = Pattern(kMiB + kMiB / 2, 5);
  agent_.AddFile(U("\\QUENLODE\\site1\\big.bin"), original);
  agent_.askWidePieces = true;
  StartSite1();
  ASSERT_EQ(agent_.pieceSize(), kWidePieceSize);  // the driver agreed

  int fd = open((base_ + "/big.bin").c_str(), O_RDWR | O_DIRECT);
  ASSERT_GE(fd, 0);
  DirectBuffer buffer(kMiB);
  ASSERT_NE(buffer.data, nullptr);
  agent_.ClearLog();
  ASSERT_EQ(pread(fd, buffer.data, kMiB, 4096), static_cast<ssize_t>(kMiB));
  EXPECT_EQ(buffer.Copy(kMiB), Bytes(original.begin() + 4096, original.begin() + 4096 + kMiB));
  auto reads = Requests(MJ_READ);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].words[0], kMiB);
  EXPECT_EQ(reads[0].words[2], 4096u);

  // The first write: the contents go first in whole pieces with the wide
  // end marker, then the write itself as one piece.
  Bytes data = Pattern(kMiB, 11);
  memcpy(buffer.data, data.data(), kMiB);
  agent_.ClearLog();
  ASSERT_EQ(pwrite(fd, buffer.data, kMiB, 8192), static_cast<ssize_t>(kMiB));
  auto pushes = Requests(MJ_CONTENT_PUSH);
  ASSERT_EQ(pushes.size(), 3u);
  EXPECT_EQ(pushes[0].words[0], kMiB);
  EXPECT_EQ(pushes[0].words[2], 0u);
  EXPECT_EQ(pushes[1].words[0], kMiB / 2);
  EXPECT_EQ(pushes[1].words[2], kMiB);
  EXPECT_EQ(pushes[2].words[0], ContentPushEndFor(kWidePieceSize));
  EXPECT_EQ(pushes[2].words[2], kMiB + kMiB / 2);
  auto writes = Requests(MJ_WRITE);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].words[0], kMiB);
  EXPECT_EQ(writes[0].dataLength, kMiB);
  EXPECT_EQ(writes[0].words[2], 8192u);
  EXPECT_EQ(writes[0].words[1], kMiB + kMiB / 2);
  ASSERT_EQ(close(fd), 0);
  memcpy(original.data() + 8192, data.data(), kMiB);
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\big.bin")), original);
}

// Reads and writes of a file larger than all slots of the shared area
// together, with the area or without it: the bytes that arrive are the same.
// Returns the requests that carried them.
std::vector<LoggedRequest> CopyLargeFileThroughTheMount(ScriptedAgent& agent, const std::string& base,
                                                        const std::function<std::vector<LoggedRequest>(uint8_t)>& requests) {
  const size_t kMiB = 1 << 20;
  const size_t size = kSharedAreaSize + 2 * kMiB + 12345;
  Bytes original = Pattern(size, 21);
  agent.AddFile(U("\\QUENLODE\\site1\\large.bin"), original);
  std::vector<LoggedRequest> carried;

  // Through the page cache (the kernel reads ahead, several at a time) ...
  int fd = open((base + "/large.bin").c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  Bytes read(size);
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, read.data() + got, std::min<size_t>(size - got, 300000));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  EXPECT_EQ(got, size);
  EXPECT_TRUE(read == original);
  // ... and straight, one request of a megabyte at a time.
  fd = open((base + "/large.bin").c_str(), O_RDONLY | O_DIRECT);
  EXPECT_GE(fd, 0);
  DirectBuffer buffer(kMiB);
  for (size_t at = 0; at < size; at += kMiB) {
    size_t want = std::min(kMiB, size - at);
    EXPECT_EQ(pread(fd, buffer.data, kMiB, static_cast<off_t>(at)), static_cast<ssize_t>(want));
    EXPECT_TRUE(buffer.Copy(want) == Bytes(original.begin() + at, original.begin() + at + want)) << at;
  }
  close(fd);
  for (auto& r : requests(MJ_READ)) carried.push_back(r);

  // Written in calls of uneven sizes into a new file, then read back.
  Bytes data = Pattern(size, 33);
  fd = open((base + "/written.bin").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  size_t put = 0;
  for (size_t step = 1; put < size; ++step) {
    size_t chunk = std::min(size - put, (step % 3 + 1) * 400000);
    ssize_t n = write(fd, data.data() + put, chunk);
    if (n <= 0) break;
    put += static_cast<size_t>(n);
  }
  EXPECT_EQ(put, size);
  EXPECT_EQ(close(fd), 0);
  EXPECT_TRUE(agent.Contents(U("\\QUENLODE\\site1\\written.bin")) == data);
  for (auto& r : requests(MJ_WRITE)) carried.push_back(r);
  return carried;
}

TEST_F(MountTest, ASharedAreaCarriesTheBytesOfFilesLargerThanAllItsSlots) {
  agent_.askWidePieces = true;
  agent_.askSharedArea = true;
  StartSite1();
  ASSERT_TRUE(agent_.areaAgreed());
  for (int i = 0; i < 100 && !agent_.areaMapped(); ++i) usleep(10000);
  ASSERT_TRUE(agent_.areaMapped());
  agent_.ClearLog();
  auto carried = CopyLargeFileThroughTheMount(agent_, base_, [this](uint8_t major) { return Requests(major); });
  size_t inSlots = 0;
  for (auto& r : carried) {
    if (r.sharedSlot == 0) continue;
    ++inSlots;
    EXPECT_NE(r.sharedSlot & kSlotNamed, 0u);
    EXPECT_LT(r.sharedSlot & ~kSlotNamed, kSharedSlotCount);
    if (r.major == MJ_WRITE) {
      EXPECT_EQ(r.dataLength, 0u);  // the bytes are in the slot only
    }
  }
  EXPECT_GT(inSlots, 0u);
}

TEST_F(MountTest, WithoutASharedAreaTheSameBytesTravelInTheRecords) {
  agent_.askWidePieces = true;
  StartSite1();
  ASSERT_FALSE(agent_.areaAgreed());
  agent_.ClearLog();
  auto carried = CopyLargeFileThroughTheMount(agent_, base_, [this](uint8_t major) { return Requests(major); });
  EXPECT_FALSE(carried.empty());
  for (auto& r : carried) EXPECT_EQ(r.sharedSlot, 0u);
}

TEST_F(MountTest, TwoOpensShareOneFcbUntilTheLastClose) {
  StartSite1();
  std::string path = base_ + "/docs/a.txt";
  int first = open(path.c_str(), O_RDONLY);
  int second = open(path.c_str(), O_RDONLY);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  std::vector<LoggedRequest> opens;
  for (auto& create : Requests(MJ_CREATE))
    if (create.offeredToken != 0) opens.push_back(create);
  ASSERT_EQ(opens.size(), 2u);
  uint32_t token = opens[0].offeredToken;
  EXPECT_EQ(opens[0].replyToken, token);
  EXPECT_EQ(opens[1].offeredToken, token);  // the second open offers the FCB in use
  // The agent named the token it was offered: nothing to replace, no notice.
  EXPECT_TRUE(Requests(MJ_TOKEN_REPLACE).empty());

  close(first);
  usleep(200000);  // RELEASE is asynchronous
  int third = open(path.c_str(), O_RDONLY);
  ASSERT_GE(third, 0);
  EXPECT_EQ(Requests(MJ_CREATE).back().offeredToken, token);  // kept while one open remains
  close(second);
  close(third);
  usleep(300000);
  int fourth = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fourth, 0);
  EXPECT_NE(Requests(MJ_CREATE).back().offeredToken, token);  // freed at the last close
  close(fourth);
}

TEST_F(MountTest, ATokenTheDriverNeverIssuedGetsAFreshFcbAndAReplaceNotice) {
  StartSite1();
  agent_.foreignToken = 0x5EEDF00D;
  int fd = open((base_ + "/docs/a.txt").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char text[16] = {};
  EXPECT_EQ(read(fd, text, sizeof text), 11);
  close(fd);
  uint32_t offered = 0;
  for (auto& create : Requests(MJ_CREATE))
    if (create.offeredToken != 0) offered = create.offeredToken;
  auto replaces = Requests(MJ_TOKEN_REPLACE);
  ASSERT_EQ(replaces.size(), 1u);
  uint32_t stale, replacement;
  memcpy(&stale, replaces[0].head.data(), 4);
  memcpy(&replacement, replaces[0].head.data() + 8, 4);
  EXPECT_EQ(stale, 0x5EEDF00Du);
  EXPECT_EQ(replacement, offered);
  // Like every request of an open file it carries the file's size, which the
  // agent takes for the file's own.
  EXPECT_EQ(replaces[0].fileValue, 11u);
}

TEST_F(MountTest, AnUnknownTokenAnsweringTheCreateOfANewFileGetsOneReplaceNotice) {
  StartSite1();
  agent_.foreignTokenForNewFiles = 0x0BADF00D;
  int fd = open((base_ + "/docs/fresh.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(fd, "fresh", 5), 5);
  EXPECT_EQ(close(fd), 0);
  LoggedRequest create;
  for (auto& request : Requests(MJ_CREATE))
    if (request.offeredToken != 0 && request.name.ends_with(u"fresh.txt")) create = request;
  ASSERT_NE(create.offeredToken, 0u);
  EXPECT_EQ(create.replyToken, 0x0BADF00Du);
  auto replaces = Requests(MJ_TOKEN_REPLACE);
  ASSERT_EQ(replaces.size(), 1u);
  EXPECT_EQ(replaces[0].fileObject, create.fileObject);
  uint32_t stale, replacement;
  memcpy(&stale, replaces[0].head.data(), 4);
  memcpy(&replacement, replaces[0].head.data() + 8, 4);
  EXPECT_EQ(stale, 0x0BADF00Du);
  EXPECT_EQ(replacement, create.offeredToken);  // the fresh FCB the driver made for it
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\docs\\fresh.txt")),
            std::vector<uint8_t>({'f', 'r', 'e', 's', 'h'}));
}

TEST_F(MountTest, CloseWaitsForThePendingUploadAndReturnsItsResult) {
  StartSite1();
  agent_.pendingCleanup = true;
  agent_.pendingDelayMs = 400;
  agent_.pendingFinalStatus = STATUS_CANCELLED;
  std::string path = base_ + "/docs/a.txt";
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "HELLO", 5), 5);
  errno = 0;
  EXPECT_EQ(close(fd), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_LE(agent_.cleanupDoneSentAtNs.load(), NowNs());
  EXPECT_NE(agent_.cleanupDoneSentAtNs.load(), 0);

  agent_.pendingFinalStatus = STATUS_SUCCESS;
  agent_.cleanupDoneSentAtNs = 0;
  fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "h", 1), 1);
  EXPECT_EQ(close(fd), 0);
  int64_t closedAt = NowNs();
  EXPECT_NE(agent_.cleanupDoneSentAtNs.load(), 0);  // the answer came before close returned
  EXPECT_LE(agent_.cleanupDoneSentAtNs.load(), closedAt);
}

TEST_F(MountTest, ConnectionInfoReturnsAsManyActiveConnectionsAsFit) {
  ASSERT_EQ(agent_.Connect(U("site1")), 0u);
  ASSERT_EQ(agent_.Connect(U("site2")), 0u);
  ASSERT_EQ(agent_.Connect(U("site3")), 0u);
  std::vector<uint8_t> in(120, 0), out(4 + 2 * sizeof(ConnectionRecord), 0);
  CopyWide(reinterpret_cast<char16_t*>(in.data()), 60, SelfSid());
  ASSERT_EQ(Control(IOCTL_CONNECTION_INFO, in.data(), in.size(), out.data(), out.size()), 0u);
  uint32_t count;
  memcpy(&count, out.data(), 4);
  EXPECT_EQ(count, 2u);
  ConnectionRecord second;
  memcpy(&second, out.data() + 4 + sizeof second, sizeof second);
  EXPECT_EQ(std::u16string(WideField(second.name, 63)), U("site2"));
  EXPECT_EQ(second.active, 1);
  EXPECT_EQ(ActiveConnectionCount(), 3u);
  EXPECT_EQ(List(user_ + "/QUENLODE"), (std::set<std::string>{".", "..", "site1", "site2", "site3"}));
  EXPECT_NE(Control(IOCTL_CONNECTION_INFO, in.data(), in.size(), out.data(), 271), 0u);

  ConnectionRecord leave{};
  leave.marker = kRecordMarker;
  CopyWide(leave.sid, kSidChars, SelfSid());
  CopyWide(leave.name, kConnectionNameChars, u"site2");
  leave.connectionHandle = agent_.connectionHandle() - 1;  // site2 registered before site3
  ASSERT_EQ(Control(IOCTL_DISCONNECT, &leave, sizeof leave, &leave, sizeof leave), 0u);
  EXPECT_EQ(ActiveConnectionCount(), 2u);
  EXPECT_EQ(List(user_ + "/QUENLODE"), (std::set<std::string>{".", "..", "site1", "site3"}));
}

// Runs fn in a child process as another user; returns what fn returned.
uint32_t AsUser(uid_t uid, const std::function<uint32_t()>& fn) {
  int pipes[2];
  if (pipe(pipes) != 0) return 0xDEAD;
  pid_t child = fork();
  if (child == 0) {
    close(pipes[0]);
    uint32_t result = 0xBAD;
    if (setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0) result = fn();
    if (write(pipes[1], &result, sizeof result) != sizeof result) _exit(1);
    _exit(0);
  }
  close(pipes[1]);
  uint32_t result = 0xDEAD;
  if (read(pipes[0], &result, sizeof result) != sizeof result) result = 0xDEAD;
  close(pipes[0]);
  waitpid(child, nullptr, 0);
  return result;
}

TEST_F(MountTest, SlotsAreBoundToUsersAndTheEleventhUserIsRefused) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  ASSERT_EQ(agent_.Connect(U("site1")), 0u);
  auto connectAs = [](uid_t uid, uid_t sidOf) {
    return AsUser(uid, [sidOf] {
      ConnectionRecord record{};
      record.marker = kRecordMarker;
      CopyWide(record.sid, kSidChars, Utf8ToUtf16("S-1-22-1-" + std::to_string(sidOf)));
      CopyWide(record.name, kConnectionNameChars, u"mine");
      return Control(IOCTL_CONNECT, &record, sizeof record, &record, sizeof record);
    });
  };
  // An agent cannot register for somebody else.
  EXPECT_EQ(connectAs(61000, 0), ERROR_ACCESS_DENIED);
  for (uid_t uid = 61001; uid <= 61009; ++uid) EXPECT_EQ(connectAs(uid, uid), 0u) << uid;
  EXPECT_EQ(connectAs(61010, 61010), 0xFFFFFFFEu);  // the eleventh user
  EXPECT_EQ(connectAs(61001, 61001), 0u);           // a known user still registers
  // Nobody reaches another user's Connections through the mount.
  std::string foreign = base_;
  EXPECT_EQ(AsUser(61001, [foreign] { return static_cast<uint32_t>(ErrnoOfStat(foreign)); }),
            static_cast<uint32_t>(EACCES));
  std::string own = mount_ + "/S-1-22-1-61001/QUENLODE";
  EXPECT_EQ(AsUser(61001, [own] { return static_cast<uint32_t>(List(own).count("mine")); }), 1u);
}

TEST_F(MountTest, SilentAgentFailsRequestsAndIsSuspended) {
  StartSite1(0, 0, false);
  ASSERT_EQ(ReadAll(base_ + "/docs/a.txt"), "hello world");
  agent_.silent = true;
  EXPECT_EQ(ErrnoOfStat(base_ + "/docs/new1"), EIO);  // after the liveness time
  EXPECT_EQ(ActiveConnectionCount(), 0u);               // the Connection is suspended
  EXPECT_EQ(ErrnoOfStat(base_ + "/docs/new2"), EIO);  // at once: no agent buffer
}

TEST_F(MountTest, PingingAgentKeepsALongRequestWaiting) {
  StartSite1();
  agent_.delayOnlyMajor = MJ_READ;
  agent_.delayMs = 4000;  // twice the liveness time
  EXPECT_EQ(ReadAll(base_ + "/docs/a.txt"), "hello world");
  EXPECT_EQ(ActiveConnectionCount(), 1u);
}

TEST_F(MountTest, AnInterruptedCallerLeavesTheQueueAtOnce) {
  StartSite1();
  agent_.delayOnlyMajor = MJ_READ;
  agent_.delayMs = 1500;
  std::thread busy([this] { EXPECT_EQ(ReadAll(base_ + "/docs/a.txt"), "hello world"); });
  usleep(300000);  // the read is with the agent now
  std::string queued = base_ + "/docs/queued";
  pid_t child = fork();
  if (child == 0) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, nullptr);  // no restart: the call returns
    struct stat st;
    _exit(stat(queued.c_str(), &st) == 0 ? 0 : errno);
  }
  usleep(300000);
  kill(child, SIGUSR1);
  int status = 0;
  waitpid(child, &status, 0);
  busy.join();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), EINTR);
  for (auto& create : Requests(MJ_CREATE))  // it never reached the agent
    EXPECT_EQ(create.name.find(U("queued")), std::u16string::npos);
}

TEST_F(MountTest, SuspendNameSuspendsTheCallersConnections) {
  StartSite1();
  ASSERT_EQ(ReadAll(base_ + "/docs/a.txt"), "hello world");  // the agent's loop is waiting
  EXPECT_EQ(ErrnoOfStat(user_ + "/QUENLODE/sp/suspend"), ENOENT);
  EXPECT_TRUE(agent_.WaitSuspended(5));  // its pending request returned 0 bytes
  int error = ErrnoOfStat(base_ + "/docs/zzz");  // the slot is skipped, the Connection idle
  EXPECT_TRUE(error == ENOENT || error == EIO) << error;
  for (int i = 0; i < 100 && ErrnoOfStat(user_ + "/QUENLODE/site1") == 0; ++i) usleep(20000);
  EXPECT_EQ(ErrnoOfStat(user_ + "/QUENLODE/site1"), ENOENT);
}

TEST_F(MountTest, ListingALargeFolderAnswersTheFollowingStatsFromIt) {
  for (int i = 0; i < 300; ++i)
    agent_.AddFile(U("\\QUENLODE\\site1\\docs\\n" + std::to_string(i)), Bytes(i, 'x'));
  StartSite1();
  agent_.ClearLog();
  std::string docs = base_ + "/docs";
  auto names = List(docs);
  ASSERT_EQ(names.size(), 303u);  // ".", "..", a.txt and 300 more
  for (int i = 0; i < 300; ++i) {  // what `ls -l` does after the listing
    struct stat st;
    ASSERT_EQ(lstat((docs + "/n" + std::to_string(i)).c_str(), &st), 0) << i;
    ASSERT_EQ(st.st_size, i);
  }
  // open, the queries, cleanup and close: not one round trip per entry
  EXPECT_LT(agent_.Log().size(), 20u);
}

// The agent's notice that a path of site1 changed on the server.
driver::InvalidatePathRecord ChangeNotice(std::u16string_view path) {
  driver::InvalidatePathRecord notice{};
  notice.marker = kRecordMarker;
  CopyWide(notice.sid, kSidChars, SelfSid());
  CopyWide(notice.name, kConnectionNameChars, u"site1");
  CopyWide(notice.path, kPathChars, path);
  return notice;
}

TEST_F(MountTest, InvalidationNoticeMakesTheKernelForgetAPath) {
  StartSite1();
  std::string path = base_ + "/docs/a.txt";
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  ASSERT_EQ(st.st_size, 11);
  agent_.AddFile(U("\\QUENLODE\\site1\\docs\\a.txt"), Text("changed on the server"));
  driver::InvalidatePathRecord notice = ChangeNotice(u"\\docs\\a.txt");
  ASSERT_EQ(Control(IOCTL_INVALIDATE_PATH, &notice, sizeof notice, nullptr, 0), 0u);
  for (int i = 0; i < 40 && stat(path.c_str(), &st) == 0 && st.st_size == 11; ++i) usleep(10000);
  EXPECT_EQ(st.st_size, 21);
  EXPECT_EQ(ReadAll(path), "changed on the server");
  notice.marker = 0;
  EXPECT_NE(Control(IOCTL_INVALIDATE_PATH, &notice, sizeof notice, nullptr, 0), 0u);
}

// The look-ups that went to the agent for a name ending in `tail`.
size_t ProbesOf(const std::vector<LoggedRequest>& creates, const std::u16string& tail) {
  size_t n = 0;
  for (auto& create : creates)
    if (create.offeredToken == 0 && create.name.ends_with(tail)) ++n;
  return n;
}

TEST_F(MountTest, AFolderMadeHereAnswersMissingNamesItselfUntilItIsListedOrNoticed) {
  StartSite1();
  std::string made = base_ + "/made";
  ASSERT_EQ(mkdir(made.c_str(), 0755), 0);
  agent_.ClearLog();
  EXPECT_EQ(ErrnoOfStat(made + "/none.txt"), ENOENT);
  int fd = open((made + "/new.txt").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "new", 3), 3);
  ASSERT_EQ(close(fd), 0);
  ASSERT_EQ(mkdir((made + "/sub").c_str(), 0755), 0);
  auto creates = Requests(MJ_CREATE);
  EXPECT_EQ(ProbesOf(creates, u"\\none.txt"), 0u);
  EXPECT_EQ(ProbesOf(creates, u"\\new.txt"), 0u);
  EXPECT_EQ(ProbesOf(creates, u"\\sub"), 1u);  // the mkdir's own create only
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\made\\new.txt")), Text("new"));

  // The agent compares names without regard to case, and the driver knows
  // only ASCII case: such names, and names it made, are asked about.
  agent_.ClearLog();
  ErrnoOfStat(made + "/NEW.TXT");
  ErrnoOfStat(made + "/\xc3\xa4.txt");
  creates = Requests(MJ_CREATE);
  EXPECT_EQ(ProbesOf(creates, u"\\NEW.TXT"), 1u);
  EXPECT_EQ(ProbesOf(creates, u"\\\u00e4.txt"), 1u);
  // A folder the driver did not make is asked about as before.
  EXPECT_EQ(ErrnoOfStat(base_ + "/docs/none.txt"), ENOENT);
  EXPECT_EQ(ProbesOf(Requests(MJ_CREATE), u"\\docs\\none.txt"), 1u);

  // A listing shows what others put there meanwhile, and from then on the agent answers.
  agent_.AddFile(U("\\QUENLODE\\site1\\made\\theirs.txt"), Text("theirs"));
  EXPECT_EQ(List(made).count("theirs.txt"), 1u);
  EXPECT_EQ(ReadAll(made + "/theirs.txt"), "theirs");
  agent_.ClearLog();
  EXPECT_EQ(ErrnoOfStat(made + "/gone.txt"), ENOENT);
  EXPECT_EQ(ProbesOf(Requests(MJ_CREATE), u"\\made\\gone.txt"), 1u);

  // So does a change notice for a name in a folder made here, even for a name
  // the kernel remembered as missing.
  std::string sub = made + "/sub";
  EXPECT_EQ(ErrnoOfStat(sub + "/later.txt"), ENOENT);
  agent_.AddFile(U("\\QUENLODE\\site1\\made\\sub\\later.txt"), Text("later"));
  driver::InvalidatePathRecord notice = ChangeNotice(u"\\made\\sub\\later.txt");
  ASSERT_EQ(Control(IOCTL_INVALIDATE_PATH, &notice, sizeof notice, nullptr, 0), 0u);
  int error = ENOENT;
  for (int i = 0; i < 50 && (error = ErrnoOfStat(sub + "/later.txt")) == ENOENT; ++i) usleep(10000);
  EXPECT_EQ(error, 0);
}

TEST_F(MountTest, AFailedCreateInAFolderMadeHereHandsItsNamesBackToTheAgent) {
  StartSite1();
  std::string made = base_ + "/made";
  ASSERT_EQ(mkdir(made.c_str(), 0755), 0);
  // Someone else's file, which the agent knows of and the driver does not.
  agent_.AddFile(U("\\QUENLODE\\site1\\made\\x.txt"), Text("theirs"));
  EXPECT_EQ(open((made + "/x.txt").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644), -1);
  EXPECT_EQ(errno, EEXIST);
  for (int i = 0; i < 50 && ErrnoOfStat(made + "/x.txt") == ENOENT; ++i) usleep(30000);
  EXPECT_EQ(ErrnoOfStat(made + "/x.txt"), 0);
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\made\\x.txt")), Text("theirs"));
}

TEST_F(MountTest, TimesSetByNameWhileTheFileIsOpenForWritingGoThroughThatOpen) {
  StartSite1();
  std::string path = base_ + "/docs/t.txt";
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "tar", 3), 3);
  agent_.ClearLog();
  timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);  // what tar does before its close
  EXPECT_EQ(ProbesOf(Requests(MJ_CREATE), u"\\t.txt"), 0u);
  auto sets = Requests(MJ_SET_INFORMATION);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(Requests(MJ_CLEANUP).size(), 0u);  // the upload still waits for the close
  ASSERT_EQ(close(fd), 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(agent_.Contents(U("\\QUENLODE\\site1\\docs\\t.txt")), Text("tar"));
  usleep(200000);  // RELEASE is asynchronous

  // Once closed, or open only for reading, the name is opened for the change.
  fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  agent_.ClearLog();
  times[1].tv_sec = 1700000100;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(ProbesOf(Requests(MJ_CREATE), u"\\t.txt"), 1u);
  close(fd);
}

// Threads of the driver (ids from /proc/PID/task).
std::set<std::string> Threads(pid_t pid) {
  std::set<std::string> ids = List("/proc/" + std::to_string(pid) + "/task");
  ids.erase(".");
  ids.erase("..");
  return ids;
}

TEST_F(MountTest, OneCallerAfterAnotherIsServedByTheSameFewThreads) {
  StartSite1();
  struct statvfs volume {};
  struct stat st {};
  // Warm up: the loop makes the workers it keeps.
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(statvfs(base_.c_str(), &volume), 0);
    ASSERT_EQ(stat((base_ + "/docs/a.txt").c_str(), &st), 0);
  }
  std::set<std::string> before = Threads(pid_);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(statvfs(base_.c_str(), &volume), 0);
    ASSERT_EQ(ErrnoOfStat(base_ + "/docs/missing-" + std::to_string(i)), ENOENT);
  }
  std::set<std::string> after = Threads(pid_);
  // Not a thread made and ended per request: every worker is still there
  // (a few may have been added while requests of the kernel's own overlapped).
  for (const std::string& id : before) EXPECT_EQ(after.count(id), 1u) << "thread " << id << " ended";
}

}  // namespace
}  // namespace hvm::test
