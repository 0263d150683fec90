// The instance socket: messages from a second start to the running agent.
#include "agent/app/instance_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <mutex>

#include "agent/app/startup.h"
#include "agent/service/site_passwords.h"
#include "common/moorlib.h"
#include "platform/runtime_paths.h"

namespace hvm {
namespace {

constexpr int kReadTimeoutMs = 5000;

bool FillAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

bool ReadExactly(int fd, void* buffer, size_t length, int timeoutMs) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    if (!WaitReadable(fd, timeoutMs)) return false;
    ssize_t got = read(fd, bytes + done, length - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const void* buffer, size_t length) {
  auto* bytes = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t sent = send(fd, bytes + done, length - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

std::string PathOr(const std::string& path) { return path.empty() ? InstanceSocketPath() : path; }

}  // namespace

InstanceMessage MakeInstanceMessage(uint32_t message, std::string_view siteName, uint32_t wParam,
                                    uint32_t lParam) {
  InstanceMessage m;
  std::memset(&m, 0, sizeof m);
  m.magic = kInstanceMagic;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  size_t length = siteName.size() < kHandOverNameChars ? siteName.size() : kHandOverNameChars;
  if (length > 0) std::memcpy(m.siteName, siteName.data(), length);
  return m;
}

std::string HandOverName(std::string_view commandLine) {
  size_t at = commandLine.find("/name=");
  if (at == std::string_view::npos) at = commandLine.find("/NAME=");
  if (at == std::string_view::npos) return {};
  std::string_view name = commandLine.substr(at + 6);
  name = name.substr(0, name.find(' '));
  if (name.size() > kHandOverNameChars) name = name.substr(0, kHandOverNameChars);
  return std::string(name);
}

std::vector<InstanceMessage> HandOverMessages(std::string_view commandLine) {
  std::vector<InstanceMessage> messages;
  if (commandLine.empty()) {
    messages.push_back(MakeInstanceMessage(kMessageTrayNotify, {}, kTrayIconId, kTrayLeftButtonUp));
    return messages;
  }
  if (HasSwitch(commandLine, "set")) messages.push_back(MakeInstanceMessage(kMessageSettings));
  uint32_t command = 0;
  if (HasSwitch(commandLine, "con")) command = kMessageConnect;
  if (HasSwitch(commandLine, "dis")) command = kMessageDisconnect;
  if (HasSwitch(commandLine, "ref")) command = kMessageRefresh;
  if (HasSwitch(commandLine, "off")) command = kMessageOfflineConnect;
  if (HasSwitch(commandLine, "syn")) command = kMessageSynchronize;
  std::string name = HandOverName(commandLine);
  if (command != 0 && !name.empty()) messages.push_back(MakeInstanceMessage(command, name));
  return messages;
}

namespace {

std::mutex gHandedLock;
std::map<std::string, std::string> gHanded;

bool SendWithData(const InstanceMessage& message, std::string_view data, uint32_t* result,
                  const std::string& socketPath, int silenceLimitMs = kInstanceSilenceLimitMs) {
  sockaddr_un address;
  if (!FillAddress(PathOr(socketPath), address)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  InstanceAnswer answer{};
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            WriteAll(fd, &message, sizeof message) && (data.empty() || WriteAll(fd, data.data(), data.size()));
  do {
    ok = ok && ReadExactly(fd, &answer, sizeof answer, silenceLimitMs) && answer.magic == kInstanceMagic;
  } while (ok && answer.result == kCommandWorking);
  close(fd);
  if (ok && result != nullptr) *result = answer.result;
  return ok;
}

}  // namespace

void StashHandedPassword(std::string_view siteName, std::string_view password) {
  std::lock_guard<std::mutex> hold(gHandedLock);
  std::string& kept = gHanded[std::string(siteName)];
  WipeMemory(kept.data(), kept.size());
  kept.assign(password);
}

std::string TakeHandedPassword(std::string_view siteName) {
  std::lock_guard<std::mutex> hold(gHandedLock);
  auto it = gHanded.find(std::string(siteName));
  if (it == gHanded.end()) return {};
  std::string password = it->second;
  WipeMemory(it->second.data(), it->second.size());
  gHanded.erase(it);
  return password;
}

bool SendInstancePassword(std::string_view siteName, std::string_view password,
                          const std::string& socketPath) {
  if (password.size() > kHandOverPasswordBytes) password = password.substr(0, kHandOverPasswordBytes);
  InstanceMessage message =
      MakeInstanceMessage(kMessagePassword, siteName, 0, static_cast<uint32_t>(password.size()));
  uint32_t result = 0;
  return SendWithData(message, password, &result, socketPath) && result == kCommandDone;
}

bool SendInstanceMessage(const InstanceMessage& message, uint32_t* result, const std::string& socketPath,
                         int silenceLimitMs) {
  return SendWithData(message, {}, result, socketPath, silenceLimitMs);
}

InstanceChannelServer::~InstanceChannelServer() { Stop(); }

bool InstanceChannelServer::Start(Handler handler, const std::string& socketPath) {
  handler_ = std::move(handler);
  path_ = PathOr(socketPath);
  sockaddr_un address;
  if (!FillAddress(path_, address)) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::string folder = path_.substr(0, path_.rfind('/'));
  if (!folder.empty()) MakeDirs(folder, 0700);
  // Only the instance that holds the instance lock gets here: an old socket is stale.
  unlink(path_.c_str());
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      chmod(path_.c_str(), 0600) != 0 || listen(listenFd_, 8) != 0 || pipe2(wakeFd_, O_CLOEXEC) != 0) {
    int error = errno;
    Stop();
    errno = error;
    return false;
  }
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void InstanceChannelServer::Stop() {
  if (wakeFd_[1] >= 0) {
    char byte = 0;
    ssize_t ignored = write(wakeFd_[1], &byte, 1);
    (void)ignored;
  }
  if (thread_.joinable()) thread_.join();
  for (int& fd : {std::ref(listenFd_), std::ref(wakeFd_[0]), std::ref(wakeFd_[1])}) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
}

void InstanceChannelServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Answer(fd);
    close(fd);
  }
}

void InstanceChannelServer::Answer(int fd) {
  // Only this user's processes may command the agent.
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != getuid()) return;
  InstanceMessage message;
  if (!ReadExactly(fd, &message, sizeof message, kReadTimeoutMs) || message.magic != kInstanceMagic)
    return;
  message.siteName[sizeof message.siteName - 1] = 0;
  if (message.message == kMessagePassword) {
    // Kept until the connect that follows; never handed to the main thread's handler.
    char password[kHandOverPasswordBytes] = {};
    bool read = message.lParam <= sizeof password &&
                ReadExactly(fd, password, message.lParam, kReadTimeoutMs);
    if (read) StashHandedPassword(message.siteName, std::string_view(password, message.lParam));
    WipeMemory(password, sizeof password);
    InstanceAnswer answer{kInstanceMagic, read ? kCommandDone : kCommandFailed};
    WriteAll(fd, &answer, sizeof answer);
    return;
  }
  bool peerListens = true;
  InstanceAnswer answer{kInstanceMagic, HandleTellingThePeer(fd, message, peerListens)};
  if (answer.result == kCommandWorking) answer.result = kCommandFailed;  // never read as "still working"
  if (peerListens) WriteAll(fd, &answer, sizeof answer);
}

// Runs the handler beside this thread, which tells the peer every
// keepAliveMs that the command is still running.
uint32_t InstanceChannelServer::HandleTellingThePeer(int fd, const InstanceMessage& message, bool& peerListens) {
  std::packaged_task<uint32_t()> task([this, message] { return handler_ ? handler_(message) : 0u; });
  std::future<uint32_t> done = task.get_future();
  std::thread worker(std::move(task));
  const InstanceAnswer working{kInstanceMagic, kCommandWorking};
  while (done.wait_for(std::chrono::milliseconds(keepAliveMs)) != std::future_status::ready) {
    // Never blocks on a peer that stopped reading; a record only partly sent
    // would break the framing, so the peer then hears nothing more.
    if (peerListens)
      peerListens = send(fd, &working, sizeof working, MSG_NOSIGNAL | MSG_DONTWAIT) ==
                    static_cast<ssize_t>(sizeof working);
  }
  worker.join();
  return done.get();
}

}  // namespace hvm
