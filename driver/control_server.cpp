#include "driver/control_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/control_codes.h"
#include "driver/driver_state.h"
#include "driver/forwarding.h"
#include "driver/trace.h"
#include "driver/user_slots.h"
#include "platform/control_device.h"
#include "platform/start_thread.h"

namespace hvm::driver {

namespace {
// Win32 ERROR_TOO_MANY_OPEN_FILES: the answer a refused connection reads.
constexpr uint32_t kErrorTooManyOpenFiles = 4;
// Win32 ERROR_NOT_ENOUGH_MEMORY: no thread could be started for the connection.
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

struct Session {
  int fd = -1;
  std::shared_ptr<ControlPeer> peer;
  std::thread reader;
  bool finished = false;
};

int g_listenFd = -1;
std::string g_path;
std::thread g_acceptThread;
std::mutex g_sessionsLock;
std::list<Session> g_sessions;
bool g_stopping = false;
int g_maxPerUser = 64;

// The bytes each uid's frames announce while they are read and handled.
class InputBudget {
 public:
  // Waits until bytes fit beside what uid holds (or uid holds nothing) and
  // takes them; false once the server stops.
  bool Take(uid_t uid, size_t bytes) {
    if (bytes == 0) return true;
    std::unique_lock<std::mutex> guard(lock_);
    Use& use = uses_[uid];
    ++use.waiting;
    wake_.wait(guard, [&] {
      return closed_ || use.bytes == 0 || use.bytes + bytes <= kControlInputPerUser;
    });
    --use.waiting;
    if (closed_) {
      ForgetIdle(uid);
      return false;
    }
    use.bytes += bytes;
    return true;
  }

  void Give(uid_t uid, size_t bytes) {
    if (bytes == 0) return;
    std::lock_guard<std::mutex> guard(lock_);
    auto found = uses_.find(uid);
    if (found == uses_.end()) return;
    found->second.bytes -= std::min(found->second.bytes, bytes);
    ForgetIdle(uid);
    wake_.notify_all();
  }

  ControlInputUse Of(uid_t uid) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = uses_.find(uid);
    if (found == uses_.end()) return {};
    return {found->second.bytes, found->second.waiting, found->second.kept};
  }

  // A reader's room between frames: kept is what it keeps now (counted for
  // its uid), room what it would keep. Returns what it may keep: room, or 0
  // when that would take the uid's kept rooms past their bound.
  size_t Keep(uid_t uid, size_t kept, size_t room) {
    if (kept == room) return kept;
    std::lock_guard<std::mutex> guard(lock_);
    Use& use = uses_[uid];
    use.kept -= std::min(use.kept, kept);
    size_t granted = use.kept + room <= kKeptInputPerUser ? room : 0;
    use.kept += granted;
    ForgetIdle(uid);
    return granted;
  }

  void Open() {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = false;
  }

  // Ends every wait: the readers are about to be joined.
  void Close() {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
    wake_.notify_all();
  }

 private:
  struct Use {
    size_t bytes = 0;
    size_t waiting = 0;
    size_t kept = 0;
  };

  // The lock is held.
  void ForgetIdle(uid_t uid) {
    auto found = uses_.find(uid);
    if (found != uses_.end() && found->second.bytes == 0 && found->second.waiting == 0 && found->second.kept == 0)
      uses_.erase(found);
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::map<uid_t, Use> uses_;
  bool closed_ = false;
};

InputBudget g_inputBudget;

void Serve(Session* session) {
  ControlFrame frame;
  const uid_t uid = session->peer->uid();
  size_t taken = 0;
  size_t kept = 0;  // the room above kKeptInputBytes kept between frames
  auto admit = [uid, &taken](uint32_t inLength) {
    if (!g_inputBudget.Take(uid, inLength)) return false;
    taken = inLength;
    return true;
  };
  while (ReadControlFrame(session->fd, frame, admit) == 1) {
    auto answer = HandleControl(session->peer, frame.code, frame.input, frame.outLength);
    if (answer && answer->area) {
      session->peer->AnswerWithDescriptor(answer->status, answer->output.data(),
                                          static_cast<uint32_t>(answer->output.size()),
                                          frame.outLength, answer->area->descriptor());
    } else if (answer) {
      session->peer->Answer(answer->status, answer->output.data(),
                            static_cast<uint32_t>(answer->output.size()), frame.outLength);
    }
    // A wide room stays for the next frame only within the uid's bound.
    size_t room = frame.input.capacity() > kKeptInputBytes ? frame.input.capacity() : 0;
    kept = g_inputBudget.Keep(uid, kept, room);
    if (kept != room) std::vector<uint8_t>().swap(frame.input);
    g_inputBudget.Give(uid, taken);
    taken = 0;
  }
  std::vector<uint8_t>().swap(frame.input);
  g_inputBudget.Keep(uid, kept, 0);
  g_inputBudget.Give(uid, taken);  // a frame broken off in its input
  session->peer->MarkClosed();  // the writer is done with the descriptor
  {
    Completions out;
    std::lock_guard<std::mutex> guard(DriverMutex());
    ForgetPeer(session->peer.get(), out);
    Users().PeerClosed(session->peer->uid());
  }
  std::lock_guard<std::mutex> guard(g_sessionsLock);
  close(session->fd);  // at once: descriptors are what an attacker exhausts
  session->fd = -1;
  session->finished = true;
}

// Joins the readers of connections that ended, so threads do not pile up.
void ReapFinished() {
  std::list<Session> done;
  {
    std::lock_guard<std::mutex> guard(g_sessionsLock);
    for (auto it = g_sessions.begin(); it != g_sessions.end();) {
      auto next = std::next(it);
      if (it->finished) done.splice(done.end(), g_sessions, it);
      it = next;
    }
  }
  for (auto& session : done) session.reader.join();
}

bool Stopping() {
  std::lock_guard<std::mutex> guard(g_sessionsLock);
  return g_stopping;
}

// Refused connections stay open for reading a moment, so that the caller's
// first call is sent and reads the refusal instead of a broken pipe. Only a
// few linger at a time.
constexpr size_t kMaxLingering = 16;
constexpr auto kLingerTime = std::chrono::seconds(1);
std::deque<std::pair<int, std::chrono::steady_clock::time_point>> g_lingering;

void CloseLingering(bool all) {
  auto now = std::chrono::steady_clock::now();
  while (!g_lingering.empty() &&
         (all || g_lingering.size() > kMaxLingering || now - g_lingering.front().second > kLingerTime)) {
    close(g_lingering.front().first);
    g_lingering.pop_front();
  }
}

// A refused caller is told why in the answer to its first call. The line in
// the log comes at most once a second, however many are refused.
void Refuse(int fd, uid_t uid, uint32_t error, const char* why) {
  static std::mutex printLock;
  static auto lastPrint = std::chrono::steady_clock::time_point{};
  {
    std::lock_guard<std::mutex> guard(printLock);
    auto now = std::chrono::steady_clock::now();
    if (now - lastPrint > std::chrono::seconds(1)) {
      DirectPrint("quenlode: control connection of uid %u refused: %s\n", static_cast<unsigned>(uid), why);
      lastPrint = now;
    }
  }
  uint8_t answer[8] = {};
  memcpy(answer, &error, 4);
  (void)!send(fd, answer, sizeof answer, MSG_DONTWAIT | MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  g_lingering.emplace_back(fd, std::chrono::steady_clock::now());
  CloseLingering(false);
}

// Room for a wide piece and its record in the socket, so that it goes out
// in the call that answers instead of through the peer's writer thread.
// Root may set more than the system's default limit.
void RaiseSendBuffer(int fd) {
  int size = 2 << 20;  // the kernel doubles it for its own bookkeeping
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

bool AcceptOne() {
  int fd = accept4(g_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  CloseLingering(false);
  if (fd < 0) {
    if (Stopping()) return false;
    if (errno != EINTR && errno != ECONNABORTED && errno != EPROTO) {
      // Out of descriptors or memory: keep the listener, try again soon.
      CloseLingering(true);
      ReapFinished();
      std::this_thread::sleep_for(kAcceptBackoff);
    }
    return true;
  }
  ReapFinished();
  uid_t uid;
  if (!ControlPeerUid(fd, uid)) {
    close(fd);
    return true;
  }
  bool refused = false;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    refused = Users().PeerCount(uid) >= g_maxPerUser;
    if (!refused) Users().PeerOpened(uid);
  }
  if (refused) {
    std::string why = "it has " + std::to_string(g_maxPerUser) + " open";
    Refuse(fd, uid, kErrorTooManyOpenFiles, why.c_str());
    return true;
  }
  RaiseSendBuffer(fd);
  std::unique_lock<std::mutex> guard(g_sessionsLock);
  if (g_stopping) {
    close(fd);
    return false;
  }
  Session& session = g_sessions.emplace_back();
  session.fd = fd;
  session.peer = std::make_shared<ControlPeer>(fd, uid);
  if (StartThread(session.reader, Serve, &session)) return true;
  // The system gives no more threads: this caller is refused, the others are
  // served on, and a little later a thread may be free again.
  session.peer->MarkClosed();
  g_sessions.pop_back();
  guard.unlock();
  {
    std::lock_guard<std::mutex> driver(DriverMutex());
    Users().PeerClosed(uid);
  }
  Refuse(fd, uid, kErrorNotEnoughMemory, "no thread could be started for it");
  std::this_thread::sleep_for(kAcceptBackoff);
  return true;
}

void AcceptLoop() {
  while (AcceptOne()) {
  }
}

// Every user's agent holds a few dozen connections: the soft limit goes up
// to the hard one.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

int MaxPerUserFromEnvironment() {
  const char* text = getenv("QUENLODE_MAX_CONNECTIONS_PER_USER");
  if (text == nullptr) return 64;
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 100000) return 64;
  return static_cast<int>(value);
}
}  // namespace

ControlInputUse ControlInputOf(uid_t uid) { return g_inputBudget.Of(uid); }

bool ControlServer::Start(const std::string& path) {
  RaiseDescriptorLimit();
  g_inputBudget.Open();
  g_maxPerUser = MaxPerUserFromEnvironment();
  g_listenFd = ListenControlSocket(path);
  if (g_listenFd < 0) return false;
  g_path = path;
  g_stopping = false;
  g_acceptThread = std::thread(AcceptLoop);
  return true;
}

void ControlServer::Stop() {
  if (g_listenFd < 0) return;
  {
    std::lock_guard<std::mutex> guard(g_sessionsLock);
    g_stopping = true;
  }
  shutdown(g_listenFd, SHUT_RDWR);
  g_acceptThread.join();
  CloseLingering(true);
  close(g_listenFd);
  g_listenFd = -1;
  unlink(g_path.c_str());
  {
    std::lock_guard<std::mutex> guard(g_sessionsLock);
    for (auto& session : g_sessions)
      if (session.fd >= 0) shutdown(session.fd, SHUT_RDWR);
  }
  g_inputBudget.Close();
  for (auto& session : g_sessions) session.reader.join();
  g_sessions.clear();
}

}  // namespace hvm::driver
