#include "driver/control_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "driver/control_codes.h"
#include "driver/driver_state.h"
#include "driver/forwarding.h"
#include "driver/trace.h"
#include "platform/control_device.h"

namespace hvm::driver {

namespace {
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

void Serve(Session* session) {
  ControlFrame frame;
  while (ReadControlFrame(session->fd, frame) == 1) {
    auto answer = HandleControl(session->peer, frame.code, frame.input, frame.outLength);
    if (answer) {
      session->peer->Answer(answer->status, answer->output.data(),
                            static_cast<uint32_t>(answer->output.size()), frame.outLength);
    }
  }
  session->peer->MarkClosed();
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    ForgetPeer(session->peer.get());
  }
  std::lock_guard<std::mutex> guard(g_sessionsLock);
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
  for (auto& session : done) {
    session.reader.join();
    close(session.fd);
  }
}

void AcceptLoop() {
  while (true) {
    int fd = accept4(g_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // the listening socket was shut down
    }
    ReapFinished();
    uid_t uid;
    if (!ControlPeerUid(fd, uid)) {
      close(fd);
      continue;
    }
    std::lock_guard<std::mutex> guard(g_sessionsLock);
    if (g_stopping) {
      close(fd);
      return;
    }
    Session& session = g_sessions.emplace_back();
    session.fd = fd;
    session.peer = std::make_shared<ControlPeer>(fd, uid);
    session.reader = std::thread(Serve, &session);
  }
}
}  // namespace

bool ControlServer::Start(const std::string& path) {
  g_listenFd = ListenControlSocket(path);
  if (g_listenFd < 0) return false;
  g_path = path;
  g_stopping = false;
  g_acceptThread = std::thread(AcceptLoop);
  return true;
}

void ControlServer::Stop() {
  if (g_listenFd < 0) return;
  shutdown(g_listenFd, SHUT_RDWR);
  g_acceptThread.join();
  close(g_listenFd);
  g_listenFd = -1;
  unlink(g_path.c_str());
  {
    std::lock_guard<std::mutex> guard(g_sessionsLock);
    g_stopping = true;
    for (auto& session : g_sessions) shutdown(session.fd, SHUT_RDWR);
  }
  for (auto& session : g_sessions) session.reader.join();
  for (auto& session : g_sessions) close(session.fd);
  g_sessions.clear();
}

}  // namespace hvm::driver
