// The driver's control device "\\.\QLODE" as a Unix stream socket.
//
// Framing of one DeviceIoControl:
//   request: u32 magic 0x45444C51 ("QLDE"), u32 code, u32 inLength, u32 outLength, inLength bytes
//   answer:  u32 error (0 = success, else a Win32 error), u32 bytesReturned, bytesReturned bytes
// One CreateFile is one connection; calls on one handle are sequential.
#pragma once
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace hvm {

inline constexpr uint32_t kControlMagic = 0x45444C51;
inline constexpr char16_t kControlDeviceName[] = u"\\\\.\\QLODE";
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_SHARE_READ = 1;
inline constexpr DWORD FILE_SHARE_WRITE = 2;
// Largest input or output a frame may announce; anything above is refused.
// Room for one wide piece (1 MiB) and the header room of its record.
inline constexpr uint32_t kMaxControlBuffer = (1u << 20) + 4096;

// Opens the control device. Only kControlDeviceName is known; any other name,
// or a missing socket, fails with ERROR_FILE_NOT_FOUND. A socket whose peer
// is neither root nor the caller fails with ERROR_ACCESS_DENIED (and one line
// on stderr): the requests and files of the caller go to no one else.
HANDLE CreateFileW(const char16_t* name, DWORD desiredAccess, DWORD shareMode, void* security,
                   DWORD creationDisposition, DWORD flags, HANDLE templateFile);
// One framed exchange. Returns TRUE when the driver answered error 0;
// otherwise FALSE with GetLastError() set to the answer's error (or
// ERROR_BROKEN_PIPE when the driver went away). Output beyond outLength is dropped.
BOOL DeviceIoControl(HANDLE device, DWORD code, const void* in, DWORD inLength, void* out,
                     DWORD outLength, DWORD* bytesReturned, void* overlapped);
// The same for an answer that carries a descriptor (IOCTL_SHARED_AREA):
// *descriptor receives it (close-on-exec), or -1 when none came; a descriptor
// that comes with an error answer is closed.
BOOL DeviceIoControlTakingDescriptor(HANDLE device, DWORD code, const void* in, DWORD inLength,
                                     void* out, DWORD outLength, DWORD* bytesReturned,
                                     int* descriptor);
BOOL CloseHandle(HANDLE device);
DWORD GetLastError();
void SetLastError(DWORD error);

// ---- the driver's side of the framing

struct ControlFrame {
  uint32_t code = 0;
  uint32_t outLength = 0;
  std::vector<uint8_t> input;
};

// Creates the listening socket at path (removing a stale one), mode 0666 so
// that every user can reach the driver; returns the fd or -1 with errno.
// A missing folder is made (mode 0755); a socket a live driver still answers
// on is left alone (EADDRINUSE), as is any file that is not a socket.
int ListenControlSocket(const std::string& path);
// Reads one frame. Returns 1 on a frame, 0 on orderly end of stream, -1 on a
// broken or malformed frame (bad magic, lengths above kMaxControlBuffer).
// admit, when given, is asked with the input length a well-formed header
// announces before any room is made for it; when it refuses, -1 with
// errno ENOBUFS.
int ReadControlFrame(int fd, ControlFrame& frame,
                     const std::function<bool(uint32_t inLength)>& admit = nullptr);
// Writes one answer; false when the peer is gone.
bool WriteControlAnswer(int fd, uint32_t error, const void* data, uint32_t bytesReturned);
// Room for the control message that carries one descriptor.
inline constexpr size_t kDescriptorControlSize = CMSG_SPACE(sizeof(int));
// Points message's control data at control (kDescriptorControlSize bytes,
// aligned for cmsghdr) holding descriptor as SCM_RIGHTS.
void AttachDescriptor(msghdr& message, uint8_t* control, int descriptor);
// The uid of the peer process (SO_PEERCRED); false when it cannot be learned.
bool ControlPeerUid(int fd, uid_t& uid);

}  // namespace hvm
