// Bytes an agent (any local user) writes into the driver's control socket:
// the frame reader and every control record behind it. The driver's state
// lives on between inputs, as it does between connections; each input ends
// the way a connection does, and the users it registered are suspended so
// that nothing piles up.
//
// Input: one byte that picks the peer (an ordinary user or root), then the
// stream of frames exactly as it arrives on the socket.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "agent/service/channel_records.h"
#include "driver/completions.h"
#include "driver/control_codes.h"
#include "driver/forwarding.h"
#include "driver/trace.h"
#include "driver/user_slots.h"
#include "fuzz/fuzz_check.h"
#include "platform/control_device.h"
#include "platform/debug_sink.h"
#include "platform/runtime_paths.h"

namespace {

using namespace hvm;
using namespace hvm::driver;

// A whole input sits in the socket before the driver reads it.
constexpr size_t kMaxStream = 64 * 1024;
constexpr uid_t kUser = 1000;

std::string gLogPath;

void Drain(int fd) {
  uint8_t scrap[65536];
  while (recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) > 0) {
  }
}

// The driver's side of one connection ended: what a reader thread does, then
// a suspend of every user so that queued requests are failed and dropped,
// and the release of slots nobody uses any more.
void EndConnection(const std::shared_ptr<ControlPeer>& peer) {
  peer->MarkClosed();
  Completions out;
  std::lock_guard<std::mutex> guard(DriverMutex());
  ForgetPeer(peer.get(), out);
  Users().PeerClosed(peer->uid());
  for (UserSlot* slot : Users().UsedSlots()) SuspendUser(slot, out);
  Users().ReleaseIdleSlots(Clock::now() + std::chrono::hours(1), out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Trace lines (an input may switch them on) go to a scratch log that each
  // input empties again.
  char folder[] = "/tmp/hvm-control-fuzz-XXXXXX";
  if (mkdtemp(folder) != nullptr) setenv("XDG_STATE_HOME", folder, 1);
  SetDebugSinkName("control_frames_fuzz");
  gLogPath = StateDir() + "/control_frames_fuzz.log";
  SetInvalidateHook([](uid_t, const std::u16string& name, const std::u16string& path) {
    HVM_FUZZ_CHECK(name.size() <= kConnectionNameChars && path.size() <= kPathChars);
    return STATUS_SUCCESS;
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kMaxStream) return 0;
  uid_t uid = (data[0] & 1) ? 0 : kUser;
  int fds[2];
  HVM_FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  // Answers the fuzzer never reads must not block the driver's side.
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  HVM_FUZZ_CHECK(send(fds[1], data + 1, size - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(size - 1));
  shutdown(fds[1], SHUT_WR);

  auto peer = std::make_shared<ControlPeer>(fds[0], uid);
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Users().PeerOpened(uid);
  }
  ControlFrame frame;
  while (ReadControlFrame(fds[0], frame) == 1) {
    HVM_FUZZ_CHECK(frame.input.size() <= kMaxControlBuffer && frame.outLength <= kMaxControlBuffer);
    auto answer = HandleControl(peer, frame.code, frame.input, frame.outLength);
    if (answer)
      peer->Answer(answer->status, answer->output.data(), static_cast<uint32_t>(answer->output.size()),
                   frame.outLength);
    Drain(fds[1]);
  }
  EndConnection(peer);
  peer.reset();  // the writer is gone before its descriptor closes
  close(fds[0]);
  close(fds[1]);
  SetLogLevel(0);
  truncate(gLogPath.c_str(), 0);
  return 0;
}
