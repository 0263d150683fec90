// quenlode: the file-system driver as a FUSE daemon. Creates the runtime
// folder, listens on the control socket, mounts the namespace and serves in
// the foreground until SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/control_server.h"
#include "driver/forwarding.h"
#include "driver/fuse_session.h"
#include "driver/trace.h"
#include "platform/debug_sink.h"
#include "platform/runtime_paths.h"

namespace {

void PrintHelp() {
  printf(
      "Usage: quenlode [options]\n"
      "The Halvenmoor file-system driver: mounts the remote sites of every\n"
      "connected user and serves the agent's control socket.\n\n"
      "  --help            show this text\n"
      "  --log-level N     start with log level N (bit 0: trace lines)\n\n"
      "Runs in the foreground until SIGTERM. The runtime folder is\n"
      "$HALVENMOOR_RUNTIME_DIR (else /run/halvenmoor for root, else\n"
      "$XDG_RUNTIME_DIR/halvenmoor); it holds the socket 'qlode' and the mount\n"
      "'mnt'. Both must be this user's own and writable by nobody else; the\n"
      "driver refuses a folder or link made by another user.\n"
      "QUENLODE_LIVENESS_SECONDS shortens the agent liveness time.\n");
}

// A mount left behind by a driver that died answers ENOTCONN; take it away.
// lstat: a link in its place is never followed (the checks refuse it later).
void ClearStaleMount(const std::string& mountPoint) {
  struct stat st;
  if (lstat(mountPoint.c_str(), &st) == 0 || errno != ENOTCONN) return;
  hvm::driver::DetachMount(mountPoint);
}

void BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a vanished agent must not end the driver
}

}  // namespace

int main(int argc, char** argv) {
  using namespace hvm;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      PrintHelp();
      return 0;
    }
    if (strcmp(argv[i], "--log-level") == 0 && i + 1 < argc) {
      driver::SetLogLevel(static_cast<uint32_t>(strtoul(argv[++i], nullptr, 0)));
      continue;
    }
    fprintf(stderr, "quenlode: unknown option %s (see --help)\n", argv[i]);
    return 2;
  }
  SetDebugSinkName("quenlode");
  driver::Trace("==>DriverEntry\n");
  bool serveAllUsers = geteuid() == 0;
  // The folder and the mount point are made here or must already be this
  // process's own: a folder or `mnt` link laid out by another user would make
  // the driver listen or mount where that user points.
  std::string runtime = RuntimeDir();
  std::string mountPoint = runtime + "/mnt";
  std::string problem;
  if (!PrepareOwnFolder(runtime, serveAllUsers ? 0755 : 0700, problem)) {
    fprintf(stderr, "quenlode: %s\n", problem.c_str());
    return 1;
  }
  ClearStaleMount(mountPoint);
  if (!PrepareOwnFolder(mountPoint, 0755, problem)) {
    fprintf(stderr, "quenlode: %s\n", problem.c_str());
    return 1;
  }
  // Threads started from here on leave the stop signals to the mount loop.
  BlockStopSignals();
  driver::ControlServer control;
  std::string socketPath = runtime + "/qlode";
  if (!control.Start(socketPath)) {
    fprintf(stderr, "quenlode: cannot listen on %s: %s\n", socketPath.c_str(), strerror(errno));
    return 1;
  }
  driver::StartLivenessThread();
  driver::DirectPrint("<==DriverEntry\n");
  int result = driver::ServeMount(mountPoint, serveAllUsers);
  control.Stop();
  driver::StopLivenessThread();
  return result;
}
