// The control device "\\.\QLODE": one connection per handle, one framed
// exchange per DeviceIoControl, over the driver's Unix stream socket.
#include "platform/control_device.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/runtime_paths.h"

namespace hvm {
namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

constexpr size_t kRequestHeaderSize = 16;
constexpr size_t kAnswerHeaderSize = 8;

// Open control handles; a handle is its descriptor plus one so that neither
// nullptr nor INVALID_HANDLE_VALUE can ever name one.
std::mutex gHandlesLock;
std::set<int> gHandles;

HANDLE HandleFromFd(int fd) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(fd) + 1); }

int FdFromHandle(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (handle == INVALID_HANDLE_VALUE || value == 0 || value > 0x7fffffffu) return -1;
  int fd = static_cast<int>(value - 1);
  std::lock_guard<std::mutex> lock(gHandlesLock);
  return gHandles.count(fd) != 0 ? fd : -1;
}

bool IsControlDeviceName(const char16_t* name) {
  if (name == nullptr) return false;
  const char16_t* expected = kControlDeviceName;
  for (; *name != 0 && *expected != 0; ++name, ++expected) {
    char16_t a = *name, b = *expected;
    if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - u'a' + u'A');
    if (a != b) return false;
  }
  return *name == 0 && *expected == 0;
}

// Sends a frame's header and its data in one call where the socket takes
// them, without first copying them together; resumes after short writes and
// signals, never raises SIGPIPE.
bool SendHeaderAndData(int fd, const void* header, size_t headerLength, const void* data,
                       size_t dataLength) {
  iovec parts[2] = {{const_cast<void*>(header), headerLength}, {const_cast<void*>(data), dataLength}};
  size_t count = dataLength > 0 ? 2 : 1;
  size_t first = 0;
  while (first < count) {
    msghdr message{};
    message.msg_iov = &parts[first];
    message.msg_iovlen = count - first;
    ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto left = static_cast<size_t>(sent);
    while (first < count && left >= parts[first].iov_len) left -= parts[first++].iov_len;
    if (first < count) {
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return true;
}

// Reads exactly length bytes: 1 done, 0 end of stream before the first byte,
// -1 error or end of stream in the middle.
int ReceiveAll(int fd, void* data, size_t length) {
  uint8_t* bytes = static_cast<uint8_t*>(data);
  size_t got = 0;
  while (got < length) {
    ssize_t n = recv(fd, bytes + got, length - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      if (got == 0) return 0;
      errno = ECONNRESET;
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return 1;
}

// The first bytes of an answer, and the descriptors that came with them: the
// first is kept in *descriptor, any further one is closed. Then ReceiveAll.
int ReceiveWithDescriptor(int fd, uint8_t* data, size_t length, int* descriptor) {
  size_t got = 0;
  while (got == 0) {
    iovec part{data, length};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(4 * sizeof(int))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return 0;
    got = static_cast<size_t>(n);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int passed;
        std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
        if (*descriptor < 0) {
          *descriptor = passed;
        } else {
          close(passed);
        }
      }
    }
  }
  return got == length ? 1 : ReceiveAll(fd, data + got, length - got);
}

// Reads and throws away what does not fit the caller's buffer.
bool Discard(int fd, size_t length) {
  uint8_t scrap[4096];
  while (length > 0) {
    size_t chunk = std::min(length, sizeof scrap);
    if (ReceiveAll(fd, scrap, chunk) != 1) return false;
    length -= chunk;
  }
  return true;
}

uint32_t LoadU32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

void StoreU32(uint8_t* p, uint32_t value) { std::memcpy(p, &value, sizeof value); }

bool FillAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

// connect() interrupted by a signal goes on in the background; wait for it.
bool ConnectSocket(int fd, const sockaddr_un& address) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno != EINTR) return false;
  pollfd waiter{fd, POLLOUT, 0};
  while (poll(&waiter, 1, -1) < 0) {
    if (errno != EINTR) return false;
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return false;
  errno = error;
  return error == 0;
}

// Only a driver run by root or by the caller may hear the agent's requests and
// files: a socket served by anyone else is a stand-in and is refused.
bool PeerMayServe(int fd, const std::string& path) {
  uid_t peer = 0;
  if (!ControlPeerUid(fd, peer)) return false;
  if (peer == 0 || peer == geteuid()) return true;
  static std::atomic<bool> told{false};
  if (!told.exchange(true))
    fprintf(stderr,
            "halvenmoor: %s is served by uid %u, neither root nor you (uid %u); refusing to use it\n",
            path.c_str(), static_cast<unsigned>(peer), static_cast<unsigned>(geteuid()));
  return false;
}

DWORD ErrorFromConnect(int error) {
  switch (error) {
    case ENOENT:
    case ECONNREFUSED:  // a socket file nobody listens on: the driver is not there
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD error) { tLastError = error; }

HANDLE CreateFileW(const char16_t* name, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
  if (!IsControlDeviceName(name)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  sockaddr_un address;
  const std::string path = ControlSocketPath();
  if (!FillAddress(path, address)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  if (!ConnectSocket(fd, address)) {
    DWORD error = ErrorFromConnect(errno);
    close(fd);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (!PeerMayServe(fd, path)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard<std::mutex> lock(gHandlesLock);
  gHandles.insert(fd);
  SetLastError(ERROR_SUCCESS);
  return HandleFromFd(fd);
}

namespace {
BOOL Exchange(HANDLE device, DWORD code, const void* in, DWORD inLength, void* out,
              DWORD outLength, DWORD* bytesReturned, int* descriptor) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  int fd = FdFromHandle(device);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE_;
  }
  if (inLength > kMaxControlBuffer || (inLength > 0 && in == nullptr) ||
      (outLength > 0 && out == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE_;
  }
  // The driver never answers more than it accepts, so a larger buffer only
  // announces room that cannot be used.
  uint32_t announcedOut = std::min<uint32_t>(outLength, kMaxControlBuffer);

  uint8_t request[kRequestHeaderSize];
  StoreU32(&request[0], kControlMagic);
  StoreU32(&request[4], code);
  StoreU32(&request[8], inLength);
  StoreU32(&request[12], announcedOut);
  if (!SendHeaderAndData(fd, request, sizeof request, in, inLength)) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE_;
  }

  uint8_t header[kAnswerHeaderSize];
  int got = descriptor != nullptr ? ReceiveWithDescriptor(fd, header, sizeof header, descriptor)
                                  : ReceiveAll(fd, header, sizeof header);
  if (got != 1) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE_;
  }
  uint32_t error = LoadU32(&header[0]);
  uint32_t length = LoadU32(&header[4]);
  if (length > kMaxControlBuffer) {  // a driver that says this is not speaking our framing
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE_;
  }
  uint32_t kept = std::min(length, outLength);
  if ((kept > 0 && ReceiveAll(fd, out, kept) != 1) || !Discard(fd, length - kept)) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE_;
  }
  if (bytesReturned != nullptr) *bytesReturned = kept;
  SetLastError(error);
  return error == ERROR_SUCCESS ? TRUE_ : FALSE_;
}
}  // namespace

BOOL DeviceIoControl(HANDLE device, DWORD code, const void* in, DWORD inLength, void* out,
                     DWORD outLength, DWORD* bytesReturned, void*) {
  return Exchange(device, code, in, inLength, out, outLength, bytesReturned, nullptr);
}

BOOL DeviceIoControlTakingDescriptor(HANDLE device, DWORD code, const void* in, DWORD inLength,
                                     void* out, DWORD outLength, DWORD* bytesReturned,
                                     int* descriptor) {
  *descriptor = -1;
  BOOL ok = Exchange(device, code, in, inLength, out, outLength, bytesReturned, descriptor);
  if (!ok && *descriptor >= 0) {
    DWORD error = GetLastError();
    close(*descriptor);
    *descriptor = -1;
    SetLastError(error);
  }
  return ok;
}

BOOL CloseHandle(HANDLE device) {
  int fd = FdFromHandle(device);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE_;
  }
  {
    std::lock_guard<std::mutex> lock(gHandlesLock);
    gHandles.erase(fd);
  }
  // A thread still waiting in DeviceIoControl on this handle wakes with
  // ERROR_BROKEN_PIPE; close alone would leave it waiting for the driver.
  shutdown(fd, SHUT_RDWR);
  close(fd);
  return TRUE_;
}

// ---- the driver's side

int ListenControlSocket(const std::string& path) {
  sockaddr_un address;
  if (!FillAddress(path, address)) return -1;
  // Every user must be able to reach a driver started as root.
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash), 0755)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    // Only a socket nobody answers on is stale; a live driver keeps its socket.
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool alive = probe >= 0 && S_ISSOCK(info.st_mode) && ConnectSocket(probe, address);
    if (probe >= 0) close(probe);
    if (alive || !S_ISSOCK(info.st_mode)) {
      close(fd);
      errno = EADDRINUSE;
      return -1;
    }
    unlink(path.c_str());
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      chmod(path.c_str(), 0666) != 0 || listen(fd, SOMAXCONN) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

int ReadControlFrame(int fd, ControlFrame& frame, const std::function<bool(uint32_t inLength)>& admit) {
  uint8_t header[kRequestHeaderSize];
  int got = ReceiveAll(fd, header, sizeof header);
  if (got != 1) return got;
  uint32_t inLength = LoadU32(&header[8]);
  uint32_t outLength = LoadU32(&header[12]);
  if (LoadU32(&header[0]) != kControlMagic || inLength > kMaxControlBuffer ||
      outLength > kMaxControlBuffer) {
    errno = EPROTO;
    return -1;
  }
  if (admit && !admit(inLength)) {
    errno = ENOBUFS;
    return -1;
  }
  frame.code = LoadU32(&header[4]);
  frame.outLength = outLength;
  frame.input.resize(inLength);
  if (inLength > 0 && ReceiveAll(fd, frame.input.data(), inLength) != 1) return -1;
  return 1;
}

bool WriteControlAnswer(int fd, uint32_t error, const void* data, uint32_t bytesReturned) {
  if (bytesReturned > kMaxControlBuffer || (bytesReturned > 0 && data == nullptr)) {
    errno = EINVAL;
    return false;
  }
  uint8_t header[kAnswerHeaderSize];
  StoreU32(&header[0], error);
  StoreU32(&header[4], bytesReturned);
  // The data is often a whole 64 KiB write: it is not copied behind the header first.
  return SendHeaderAndData(fd, header, sizeof header, data, bytesReturned);
}

void AttachDescriptor(msghdr& message, uint8_t* control, int descriptor) {
  std::memset(control, 0, kDescriptorControlSize);
  message.msg_control = control;
  message.msg_controllen = kDescriptorControlSize;
  cmsghdr* rights = CMSG_FIRSTHDR(&message);
  rights->cmsg_level = SOL_SOCKET;
  rights->cmsg_type = SCM_RIGHTS;
  rights->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(rights), &descriptor, sizeof descriptor);
}

bool ControlPeerUid(int fd, uid_t& uid) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
  uid = credentials.uid;
  return true;
}

}  // namespace hvm
