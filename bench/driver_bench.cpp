// Driver benchmark: the mount served by a scripted agent answering from
// memory, beside the same operations on tmpfs in the same run. Prints the
// rates and the ratio mount/tmpfs for each measure, then the cost of one
// piece: a bare FUSE round trip the driver answers itself, beside reads and
// writes that reach the agent in 64 KiB pieces, in wide (1 MiB) pieces
// carried in the records, and in wide pieces carried in the shared area.
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "driver/tests/scripted_agent.h"
#include "platform/wide_text.h"

using namespace hvm;
using namespace hvm::test;

namespace {
constexpr int kFiles = 200;
constexpr size_t kBigFile = 4 << 20;
constexpr size_t kPiece = 65536;
constexpr size_t kWide = 1 << 20;
constexpr double kSeconds = 2.0;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool Mounted(const std::string& path) {
  std::ifstream mounts("/proc/mounts");
  std::string device, point, rest;
  while (mounts >> device >> point && std::getline(mounts, rest))
    if (point == path) return true;
  return false;
}

// Runs op repeatedly for kSeconds; returns operations per second.
template <typename Op>
double Rate(Op op) {
  double start = Now(), end = start + kSeconds;
  long count = 0;
  while (Now() < end)
    for (int i = 0; i < 64; ++i, ++count)
      if (!op(count)) return -1;
  return count / (Now() - start);
}

double StatRate(const std::string& folder) {
  return Rate([&](long i) {
    struct stat st;
    std::string path = folder + "/f" + std::to_string(i % kFiles);
    return stat(path.c_str(), &st) == 0;
  });
}

// The same names stated relative to their open folder, as ls -l and find do:
// the cost of one name, without the walk of the folders above it (five on
// the mount, two on /dev/shm).
double StatInFolderRate(const std::string& folder) {
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir < 0) return -1;
  double rate = Rate([&](long i) {
    struct stat st;
    char name[16];
    snprintf(name, sizeof name, "f%d", static_cast<int>(i % kFiles));
    return fstatat(dir, name, &st, 0) == 0;
  });
  close(dir);
  return rate;
}

double ReadRate(const std::string& file, bool direct) {
  int fd = open(file.c_str(), O_RDONLY | (direct ? O_DIRECT : 0));
  if (fd < 0) return -1;
  void* buffer = nullptr;
  if (posix_memalign(&buffer, 4096, kPiece) != 0) return -1;
  double rate = Rate([&](long i) {
    off_t offset = static_cast<off_t>((i % (kBigFile / kPiece)) * kPiece);
    return pread(fd, buffer, kPiece, offset) == static_cast<ssize_t>(kPiece);
  });
  free(buffer);
  close(fd);
  return rate;
}

// The median microseconds of an O_DIRECT call of size bytes, at offsets
// cycling through span, over kSeconds of calls: the median stays near the
// true cost on a machine that other work keeps busy.
double DirectMicros(const std::string& file, size_t size, size_t span, bool write) {
  int fd = open(file.c_str(), (write ? O_RDWR : O_RDONLY) | O_DIRECT);
  if (fd < 0) return -1;
  void* buffer = nullptr;
  if (posix_memalign(&buffer, 4096, size) != 0) return -1;
  memset(buffer, 'w', size);
  std::vector<double> calls;
  double end = Now() + kSeconds;
  for (long i = 0; Now() < end; ++i) {
    off_t offset = static_cast<off_t>((i % (span / size)) * size);
    double start = Now();
    ssize_t done = write ? pwrite(fd, buffer, size, offset) : pread(fd, buffer, size, offset);
    if (done != static_cast<ssize_t>(size)) {
      calls.clear();
      break;
    }
    calls.push_back((Now() - start) * 1e6);
  }
  free(buffer);
  close(fd);
  if (calls.empty()) return -1;
  std::nth_element(calls.begin(), calls.begin() + calls.size() / 2, calls.end());
  return calls[calls.size() / 2];
}

// One call of bytes that reaches the agent in pieces (0: the driver answers alone).
void ReportPiece(const char* what, double micros, size_t bytes, int pieces) {
  double rate = micros > 0 ? bytes / micros * 1e6 / (1 << 20) : 0;
  if (pieces == 0)
    printf("%-40s %9.1f us a call                       %8.0f MiB/s\n", what, micros, rate);
  else
    printf("%-40s %9.1f us a call  %9.1f us a piece   %8.0f MiB/s\n", what, micros, micros / pieces, rate);
}

void Report(const char* what, double mount, double tmpfs) {
  printf("%-34s mount %12.0f/s   tmpfs %12.0f/s   ratio %.4f\n", what, mount, tmpfs,
         tmpfs > 0 ? mount / tmpfs : 0.0);
}

int RemoveTree(const char* path, const struct stat*, int, FTW*) { return remove(path); }

// The per-piece costs: the same O_DIRECT calls on a Connection of 64 KiB
// pieces ("bench"), on one of wide pieces ("wide") and on one of wide
// pieces with a shared area ("area").
void PieceCosts(ScriptedAgent& wide, ScriptedAgent& area, const std::string& root) {
  std::string narrowSite = root + "/bench", wideSite = root + "/wide", areaSite = root + "/area";
  if (wide.pieceSize() != kWide) {
    fprintf(stderr, "driver_bench: the driver did not agree to wide pieces\n");
    return;
  }
  if (!area.areaMapped()) fprintf(stderr, "driver_bench: the shared area was not mapped\n");
  // Bytes past a file's valid length are zeros the driver answers itself:
  // a FUSE round trip without the agent.
  std::string zeros = wideSite + "/zeros.bin";
  int fd = open(zeros.c_str(), O_CREAT | O_RDWR, 0644);
  if (fd < 0 || ftruncate(fd, 8 * kWide) != 0) {
    fprintf(stderr, "driver_bench: cannot make %s\n", zeros.c_str());
    if (fd >= 0) close(fd);
    return;
  }
  printf("per-piece cost (median of O_DIRECT calls, scripted agent answering from memory)\n");
  ReportPiece("bare FUSE round trip, 4 KiB read", DirectMicros(zeros, 4096, 8 * kWide, false), 4096, 0);
  ReportPiece("bare FUSE round trip, 1 MiB read", DirectMicros(zeros, kWide, 8 * kWide, false), kWide, 0);
  close(fd);
  ReportPiece("64 KiB read, 64 KiB pieces", DirectMicros(narrowSite + "/big.bin", kPiece, kBigFile, false),
              kPiece, 1);
  ReportPiece("1 MiB read, 64 KiB pieces", DirectMicros(narrowSite + "/big.bin", kWide, kBigFile, false),
              kWide, kWide / kPiece);
  ReportPiece("1 MiB read, wide pieces", DirectMicros(wideSite + "/big.bin", kWide, kBigFile, false),
              kWide, 1);
  ReportPiece("1 MiB read, wide pieces, shared area", DirectMicros(areaSite + "/big.bin", kWide, kBigFile, false),
              kWide, 1);
  struct Writer {
    const char* what;
    std::string site;
    int pieces;
  };
  for (const Writer& w : {Writer{"1 MiB write, 64 KiB pieces", narrowSite, static_cast<int>(kWide / kPiece)},
                          Writer{"1 MiB write, wide pieces", wideSite, 1},
                          Writer{"1 MiB write, wide pieces, shared area", areaSite, 1}}) {
    int made = open((w.site + "/written.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    if (made >= 0) close(made);
    ReportPiece(w.what, DirectMicros(w.site + "/written.bin", kWide, 8 * kWide, true), kWide, w.pieces);
  }
}
}  // namespace

int main() {
  char pattern[] = "/tmp/quenlode-bench.XXXXXX";
  std::string runtime = mkdtemp(pattern);
  std::string mount = runtime + "/mnt";
  setenv("HALVENMOOR_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("XDG_STATE_HOME", runtime.c_str(), 1);
  // The tmpfs side crosses as many folders as the mount's path does
  // (runtime/mnt/SID/QUENLODE/bench/many against /dev/shm/…/SID/QUENLODE/
  // bench/many), so a stat of a whole path compares the same walk.
  std::string tmpfsTop = "/dev/shm/quenlode-bench-" + std::to_string(getpid());
  std::string tmpfs = tmpfsTop;
  mkdir(tmpfs.c_str(), 0700);
  for (const std::string& folder : {Utf16ToUtf8(SelfSid()), std::string("QUENLODE"), std::string("bench")}) {
    tmpfs += "/" + folder;
    mkdir(tmpfs.c_str(), 0700);
  }
  std::string tmpfsMany = tmpfs + "/many";
  mkdir(tmpfsMany.c_str(), 0700);

  pid_t daemon = fork();
  if (daemon == 0) {
    execl(QUENLODE_BINARY, "quenlode", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200 && !(Mounted(mount) && access((runtime + "/qlode").c_str(), F_OK) == 0); ++i)
    usleep(25000);
  int status = 1;
  {
    ScriptedAgent agent, wideAgent, areaAgent;
    std::vector<uint8_t> big(kBigFile);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    agent.AddFolder(U("\\QUENLODE\\bench"));
    agent.AddFolder(U("\\QUENLODE\\bench\\many"));
    for (int i = 0; i < kFiles; ++i) {
      agent.AddFile(U("\\QUENLODE\\bench\\many\\f" + std::to_string(i)), std::vector<uint8_t>(100, 'x'));
      std::ofstream(tmpfsMany + "/f" + std::to_string(i)) << std::string(100, 'x');
    }
    agent.AddFile(U("\\QUENLODE\\bench\\big.bin"), big);
    wideAgent.AddFolder(U("\\QUENLODE\\wide"));
    wideAgent.AddFile(U("\\QUENLODE\\wide\\big.bin"), big);
    wideAgent.askWidePieces = true;
    areaAgent.AddFolder(U("\\QUENLODE\\area"));
    areaAgent.AddFile(U("\\QUENLODE\\area\\big.bin"), big);
    areaAgent.askWidePieces = true;
    areaAgent.askSharedArea = true;
    std::ofstream(tmpfs + "/big.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(big.data()), big.size());
    if (Mounted(mount) && agent.Connect(U("bench")) == 0 && wideAgent.Connect(U("wide")) == 0 &&
        areaAgent.Connect(U("area")) == 0) {
      agent.Start(true);
      wideAgent.Start(true);
      areaAgent.Start(true);
      std::string site = mount + "/" + Utf16ToUtf8(SelfSid()) + "/QUENLODE/bench";
      struct stat st;
      for (int i = 0; i < 250 && stat((site + "/many").c_str(), &st) != 0; ++i) usleep(20000);
      printf("quenlode benchmark (%d files, %zu-byte file, %.0f s per measure)\n", kFiles, kBigFile,
             kSeconds);
      Report("stat (kernel caches 1 s)", StatRate(site + "/many"), StatRate(tmpfsMany));
      Report("stat of a name in its folder", StatInFolderRate(site + "/many"), StatInFolderRate(tmpfsMany));
      Report("64 KiB read, page cache", ReadRate(site + "/big.bin", false),
             ReadRate(tmpfs + "/big.bin", false));
      double tmpfsDirect = ReadRate(tmpfs + "/big.bin", true);
      Report(tmpfsDirect > 0 ? "64 KiB read, O_DIRECT (agent)" : "64 KiB read, O_DIRECT vs cached",
             ReadRate(site + "/big.bin", true),
             tmpfsDirect > 0 ? tmpfsDirect : ReadRate(tmpfs + "/big.bin", false));
      for (int i = 0; i < 100 && !areaAgent.areaMapped(); ++i) usleep(10000);
      PieceCosts(wideAgent, areaAgent, mount + "/" + Utf16ToUtf8(SelfSid()) + "/QUENLODE");
      status = 0;
    } else {
      fprintf(stderr, "driver_bench: the driver did not come up\n");
    }
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    if (Mounted(mount)) umount2(mount.c_str(), MNT_DETACH);
    agent.Stop();
    wideAgent.Stop();
    areaAgent.Stop();
  }
  nftw(runtime.c_str(), RemoveTree, 16, FTW_DEPTH | FTW_PHYS);
  nftw(tmpfsTop.c_str(), RemoveTree, 16, FTW_DEPTH | FTW_PHYS);
  return status;
}
