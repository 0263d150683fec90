// The records that cross the control channel between the driver and the agent.
// Every byte is fixed: little-endian, packed, offsets pinned below and by tests.
#pragma once
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "agent/service/ntstatus.h"
#include "platform/win32.h"

static_assert(std::endian::native == std::endian::little, "records are little-endian images");

namespace hvm {

// ---- control codes: CTL_CODE(0x14, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
inline constexpr DWORD NetFsCtlCode(DWORD function) { return 0x140000u + function * 4u; }

inline constexpr DWORD IOCTL_REDIR_QUERY_PATH = 0x14018F;
inline constexpr DWORD IOCTL_CONNECT = NetFsCtlCode(0x810);          // 0x142040
inline constexpr DWORD IOCTL_DISCONNECT = NetFsCtlCode(0x811);       // 0x142044
inline constexpr DWORD IOCTL_PING = NetFsCtlCode(0x830);             // 0x1420C0
inline constexpr DWORD IOCTL_CLEANUP_DONE = NetFsCtlCode(0x8FE);     // 0x1423F8
inline constexpr DWORD IOCTL_GET_REQUEST = NetFsCtlCode(0x900);      // 0x142400
inline constexpr DWORD IOCTL_SET_LOG_LEVEL = NetFsCtlCode(0x902);    // 0x142408
inline constexpr DWORD IOCTL_VERSION = NetFsCtlCode(0x903);          // 0x14240C
inline constexpr DWORD IOCTL_CONNECTION_INFO = NetFsCtlCode(0x904);  // 0x142410
// Tells the driver that a path changed on the server, so that the kernel
// forgets its cached entry and attributes (the shell change notification).
// Outside the range that is forwarded to the agent.
inline constexpr DWORD IOCTL_INVALIDATE_PATH = NetFsCtlCode(0x910);  // 0x142440
// Hands the Connection's shared data area to its agent: a SharedAreaRecord
// answered with the area's descriptor attached (SCM_RIGHTS). Outside the
// range that is forwarded to the agent.
inline constexpr DWORD IOCTL_SHARED_AREA = NetFsCtlCode(0x905);      // 0x142414

// Codes strictly between these two are InternIOCTL: forwarded to the agent.
inline constexpr DWORD kInternIoctlLow = 0x141FFC;
inline constexpr DWORD kInternIoctlHigh = 0x1423FC;
inline constexpr bool IsInternIoctl(DWORD code) {
  return code > kInternIoctlLow && code < kInternIoctlHigh && code != IOCTL_CONNECT &&
         code != IOCTL_DISCONNECT && code != IOCTL_PING && code != IOCTL_CLEANUP_DONE;
}

inline constexpr DWORD kDriverInterfaceVersion = 0x03000000;
inline constexpr uint8_t kRecordMarker = 0xFF;

// ---- sizes
inline constexpr size_t kChannelBufferSize = 65589;  // 65,536 data + 53 header room
inline constexpr size_t kMaxChunk = 65536;           // largest piece of data per request
// A Connection registered for wide pieces gets each read, write and content
// push whole, up to the mount's largest request, in the same record layout
// with a larger data area.
inline constexpr size_t kWidePieceSize = 1048576;
inline constexpr size_t kChannelHeaderRoom = kChannelBufferSize - kMaxChunk;  // 53
inline constexpr size_t kWideChannelBufferSize = kWidePieceSize + kChannelHeaderRoom;
// The GET_REQUEST buffers of a Connection whose pieces are pieceSize bytes.
inline constexpr size_t ChannelBufferSizeFor(size_t pieceSize) { return pieceSize + kChannelHeaderRoom; }
inline constexpr size_t kRequestHeaderSize = 48;
inline constexpr size_t kRequestReturnExtra = 51;    // GET_REQUEST returns dataLength + 51
inline constexpr size_t kReplyHeaderSize = 20;
inline constexpr size_t kSidChars = 60;               // SID text incl. terminator
inline constexpr size_t kConnectionNameChars = 63;
inline constexpr size_t kPathChars = 260;             // full names, incl. terminator
inline constexpr size_t kMaxNameChars = 259;          // the agent cuts longer names here

// ---- operation codes (RequestRecord::MajorFunction)
enum MajorFunction : uint8_t {
  MJ_CREATE = 0,
  MJ_CLOSE = 2,
  MJ_READ = 3,
  MJ_WRITE = 4,
  MJ_QUERY_INFORMATION = 5,
  MJ_SET_INFORMATION = 6,
  MJ_FLUSH_BUFFERS = 9,
  MJ_QUERY_VOLUME_INFORMATION = 10,
  MJ_DIRECTORY_CONTROL = 12,
  MJ_FILE_SYSTEM_CONTROL = 13,
  MJ_DEVICE_CONTROL = 14,
  MJ_TOKEN_REPLACE = 15,  // the driver's use of the internal-device-control code
  MJ_LOCK_CONTROL = 17,
  MJ_CLEANUP = 18,
  MJ_CONTENT_PUSH = 22,   // driver-private: the file's contents before the first write
  MJ_COPY_RANGE = 23,     // driver-private: copy_file_range between two open files of a Connection
};

// Stack-location flags.
inline constexpr uint8_t SL_OPEN_TARGET_DIRECTORY = 0x04;  // create
inline constexpr uint8_t SL_RESTART_SCAN = 0x01;           // directory query
inline constexpr uint8_t SL_RETURN_SINGLE_ENTRY = 0x02;    // directory query

// Create: word 1 options, disposition in bits 24..31.
inline constexpr uint32_t FILE_DIRECTORY_FILE = 0x00000001;
inline constexpr uint32_t FILE_NON_DIRECTORY_FILE = 0x00000040;
inline constexpr uint32_t FILE_DELETE_ON_CLOSE = 0x00001000;
enum CreateDisposition : uint32_t {
  FILE_SUPERSEDE = 0,
  FILE_OPEN = 1,
  FILE_CREATE = 2,
  FILE_OPEN_IF = 3,
  FILE_OVERWRITE = 4,
  FILE_OVERWRITE_IF = 5,
};
inline constexpr uint32_t CreateDispositionOf(uint32_t options) { return options >> 24; }

// Create results (ReplyRecord::information).
enum CreateResult : uint32_t {
  FILE_SUPERSEDED = 0,
  FILE_OPENED = 1,
  FILE_CREATED = 2,
  FILE_OVERWRITTEN = 3,
  FILE_EXISTS = 4,
  FILE_DOES_NOT_EXIST = 5,
};

// Desired access bits the agent looks at.
inline constexpr uint32_t FILE_WRITE_DATA = 0x2;
inline constexpr uint32_t FILE_APPEND_DATA = 0x4;
inline constexpr uint32_t FILE_WRITE_EA = 0x10;
inline constexpr uint32_t FILE_WRITE_ATTRIBUTES = 0x100;

// Write: word 1 equal to this (or 0) means there is no gap to fill.
inline constexpr uint32_t kNoValidLength = 0x7FFFFFFF;
// Content push word 0: 0 data follows; 1..piece size fetch that many bytes;
// above: end. The driver sends twice the piece size as the end.
inline constexpr uint32_t kContentPushEnd = 0x20000;
inline constexpr uint32_t ContentPushEndFor(size_t pieceSize) { return static_cast<uint32_t>(2 * pieceSize); }
static_assert(ContentPushEndFor(kMaxChunk) == kContentPushEnd);

// ConnectionRecord.reserved of IOCTL_CONNECT: the agent asks for wide pieces;
// the driver's answer carries kAgreedWidePieces when it agreed. A driver that
// does not know the flag hands the record back as it came, without the answer bit.
inline constexpr uint32_t kAskWidePieces = 0x1;
inline constexpr uint32_t kAgreedWidePieces = 0x2;
// The same field: an agent of wide pieces asks for a shared data area, and the
// answer carries kAgreedSharedArea when the driver made one for the Connection
// (IOCTL_SHARED_AREA then hands it over).
inline constexpr uint32_t kAskSharedArea = 0x4;
inline constexpr uint32_t kAgreedSharedArea = 0x8;

// The shared data area: kSharedSlotCount slots of one wide piece each. A read
// names a slot for its answer, a write or a content push carries its bytes in
// one; the record then holds no data. The driver picks the slot, never the
// agent, and checks every length the agent reports against it.
inline constexpr uint32_t kSharedSlotCount = 4;
inline constexpr size_t kSharedSlotSize = kWidePieceSize;
inline constexpr size_t kSharedAreaSize = kSharedSlotCount * kSharedSlotSize;
// RequestRecord::sharedSlot: kSlotNamed | index; 0 when the data is in the record.
inline constexpr uint32_t kSlotNamed = 0x80000000u;
// ReplyRecord::loopFlags of an IOCTL_GET_REQUEST: the loop has the Connection's
// area mapped, so the request it gets may name a slot.
inline constexpr uint8_t kLoopAreaMapped = 0x1;
// Cleanup parameter word 0, which the records leave unused: the driver sends
// the cleanup from a file's last release (its program closed it long ago or
// ended), so nobody waits for the upload's result. A driver that does not
// set it sends 0, and the agent takes every cleanup as watched.
inline constexpr uint32_t kCleanupNobodyWaits = 0x1;
// RequestRecord size of a request on an open by name (the look-up probe,
// changes, rename and removal by path): the driver holds no FCB for it and
// knows no size of its own. The agent keeps the size it has, which other
// opens of the file may have moved since this one began.
inline constexpr uint64_t kSizeOfNoFcb = ~uint64_t{0};
// Size reported for a new file whose size the agent does not know.
inline constexpr uint32_t kUnknownSize = 0xFFFFFFFF;
// Close/cleanup reply value: no local copy held by the agent.
inline constexpr uint32_t kNoLocalCopy = 0xFFFFFFFF;

#pragma pack(push, 1)

// Written by the driver into the output of the pending IOCTL_GET_REQUEST.
// The first 36 bytes are the request's stack location. Offsets 28 and 32
// (unused there) carry the high halves of 64-bit sizes; zeros mean a 32-bit peer.
struct RequestRecord {
  uint8_t MajorFunction;     // 0
  uint8_t MinorFunction;     // 1
  uint8_t Flags;             // 2
  uint8_t Control;           // 3
  uint32_t Parameters[4];    // 4: words 0..3; read/write/push carry the offset's high half in word 3
  uint32_t sharedSlot;       // 20: kSlotNamed | slot of the shared area (the stack location's DeviceObject)
  uint32_t FileObject;       // 24: opaque identity of the open file object
  uint32_t fileValueHigh;    // 28: high half of fileValue (the stack location's CompletionRoutine)
  uint32_t validLengthHigh;  // 32: write: high half of word 1 (the stack location's Context)
  uint32_t requestId;        // 36
  uint32_t fileValue;        // 40: create: offered fileToken; else low half of the file size
  uint32_t dataLength;       // 44
  uint8_t data[kWideChannelBufferSize - kRequestHeaderSize];  // 48: a narrow Connection uses 65,541
};

// The agent's answer, handed in as the input of its next IOCTL_GET_REQUEST.
struct ReplyRecord {
  uint8_t marker;             // 0: 0xFF
  uint8_t loopFlags;          // 1: kLoopAreaMapped
  uint8_t padding[2];         // 2
  uint32_t connectionHandle;  // 4
  uint32_t status;            // 8: NTSTATUS
  uint32_t information;       // 12
  uint32_t value;             // 16
  uint8_t data[kWideChannelBufferSize - kReplyHeaderSize];  // 20: a narrow Connection uses 65,569
};

// Input and output of IOCTL_PING.
struct PingRecord {
  uint8_t marker;         // 0
  uint8_t padding[3];     // 1
  uint32_t slotHandle;    // 4: 0 at first, then what the driver returned here
  char16_t sid[kSidChars];  // 8
};

// Input of IOCTL_CLEANUP_DONE: the final status of a pending close or cleanup.
struct CleanupDoneRecord {
  uint8_t marker;             // 0
  uint8_t padding[3];         // 1
  uint32_t connectionHandle;  // 4
  uint8_t zero1[12];          // 8
  uint32_t requestId;         // 20
  uint32_t status;            // 24
  uint32_t information;       // 28
  uint8_t zero2[8];           // 32
};

// IOCTL_CONNECT / IOCTL_DISCONNECT / IOCTL_CONNECTION_INFO image.
struct ConnectionRecord {
  uint8_t marker;                          // 0
  uint8_t padding1;                        // 1
  char16_t sid[kSidChars];                 // 2
  char16_t name[kConnectionNameChars];     // 122 (terminator at 246 when 63 long... kept by caller)
  uint16_t driveLetter;                    // 248: ANSI letter in the low byte
  uint8_t active;                          // 250
  uint8_t padding2;                        // 251
  uint32_t usedUnits;                      // 252
  uint32_t freeUnits;                      // 256
  uint32_t reserved;                       // 260: kAskWidePieces / kAgreedWidePieces
  uint32_t connectionHandle;               // 264
};

// Input (marker and connectionHandle, 8 bytes at least) and output of
// IOCTL_SHARED_AREA; the answer carries the area's descriptor.
struct SharedAreaRecord {
  uint8_t marker;             // 0
  uint8_t padding[3];         // 1
  uint32_t connectionHandle;  // 4
  uint32_t slotCount;         // 8: answer
  uint32_t slotSize;          // 12: answer
  uint64_t areaSize;          // 16: answer: slotCount * slotSize
};

// A shell module's command, forwarded by the driver to the agent as operation 14.
struct InternalRequest {
  uint8_t marker;                          // 0
  uint8_t padding1;                        // 1
  char16_t sid[kSidChars];                 // 2
  char16_t name[kConnectionNameChars];     // 122
  char16_t target[kPathChars];             // 248: drive path "X:..."; reply: result text
  char16_t destination[kPathChars];        // 768: second drive path (copy destination)
  uint32_t result;                         // 1288: reply only
  uint8_t padding2[4];                     // 1292
};

// Request data of MJ_COPY_RANGE. The request's FileObject is the destination's
// open file and fileValue its size; the source is another open file of the
// same Connection.
struct CopyRangeRecord {
  uint32_t sourceFileObject;   // 0
  uint32_t reserved;           // 4: zero
  uint64_t sourceOffset;       // 8
  uint64_t destinationOffset;  // 16
  uint64_t length;             // 24: bytes asked for
  uint64_t sourceSize;         // 32: the source's size as the driver knows it
};

// Reply data of a successful MJ_COPY_RANGE.
struct CopyRangeAnswer {
  uint64_t copied;           // 0: bytes the call reports as copied (at most length)
  uint64_t destinationSize;  // 8: the destination's size afterwards
};

#pragma pack(pop)

static_assert(sizeof(RequestRecord) == kWideChannelBufferSize);
static_assert(offsetof(RequestRecord, Parameters) == 4);
static_assert(offsetof(RequestRecord, sharedSlot) == 20);
static_assert(offsetof(RequestRecord, FileObject) == 24);
static_assert(offsetof(RequestRecord, fileValueHigh) == 28);
static_assert(offsetof(RequestRecord, validLengthHigh) == 32);
static_assert(offsetof(RequestRecord, requestId) == 36);
static_assert(offsetof(RequestRecord, fileValue) == 40);
static_assert(offsetof(RequestRecord, dataLength) == 44);
static_assert(offsetof(RequestRecord, data) == 48);

static_assert(sizeof(ReplyRecord) == kWideChannelBufferSize);
static_assert(offsetof(ReplyRecord, loopFlags) == 1);
static_assert(offsetof(ReplyRecord, connectionHandle) == 4);
static_assert(offsetof(ReplyRecord, status) == 8);
static_assert(offsetof(ReplyRecord, information) == 12);
static_assert(offsetof(ReplyRecord, value) == 16);
static_assert(offsetof(ReplyRecord, data) == 20);

static_assert(sizeof(PingRecord) == 128);
static_assert(offsetof(PingRecord, slotHandle) == 4);
static_assert(offsetof(PingRecord, sid) == 8);

static_assert(sizeof(CleanupDoneRecord) == 40);
static_assert(offsetof(CleanupDoneRecord, connectionHandle) == 4);
static_assert(offsetof(CleanupDoneRecord, requestId) == 20);
static_assert(offsetof(CleanupDoneRecord, status) == 24);
static_assert(offsetof(CleanupDoneRecord, information) == 28);

static_assert(sizeof(ConnectionRecord) == 268);
static_assert(offsetof(ConnectionRecord, sid) == 2);
static_assert(offsetof(ConnectionRecord, name) == 122);
static_assert(offsetof(ConnectionRecord, driveLetter) == 248);
static_assert(offsetof(ConnectionRecord, active) == 250);
static_assert(offsetof(ConnectionRecord, usedUnits) == 252);
static_assert(offsetof(ConnectionRecord, freeUnits) == 256);
static_assert(offsetof(ConnectionRecord, reserved) == 260);
static_assert(offsetof(ConnectionRecord, connectionHandle) == 264);

static_assert(sizeof(SharedAreaRecord) == 24);
static_assert(offsetof(SharedAreaRecord, connectionHandle) == 4);
static_assert(offsetof(SharedAreaRecord, slotCount) == 8);
static_assert(offsetof(SharedAreaRecord, slotSize) == 12);
static_assert(offsetof(SharedAreaRecord, areaSize) == 16);
static_assert(kSharedSlotCount < 32, "the free slots are one bit each in a word");

static_assert(sizeof(InternalRequest) == 1296);
static_assert(offsetof(InternalRequest, sid) == 2);
static_assert(offsetof(InternalRequest, name) == 122);
static_assert(offsetof(InternalRequest, target) == 248);
static_assert(offsetof(InternalRequest, destination) == 768);
static_assert(offsetof(InternalRequest, result) == 1288);

static_assert(sizeof(CopyRangeRecord) == 40);
static_assert(offsetof(CopyRangeRecord, sourceFileObject) == 0);
static_assert(offsetof(CopyRangeRecord, sourceOffset) == 8);
static_assert(offsetof(CopyRangeRecord, destinationOffset) == 16);
static_assert(offsetof(CopyRangeRecord, length) == 24);
static_assert(offsetof(CopyRangeRecord, sourceSize) == 32);
static_assert(sizeof(CopyRangeAnswer) == 16);
static_assert(offsetof(CopyRangeAnswer, copied) == 0);
static_assert(offsetof(CopyRangeAnswer, destinationSize) == 8);

// Lengths the driver checks per control code.
inline constexpr size_t kConnectionInfoMinIn = 120;
inline constexpr size_t kConnectionInfoMinOut = 272;
inline constexpr size_t kGetRequestMinIn = 24;
inline constexpr size_t kGetRequestMinOut = 52;
inline constexpr size_t kCleanupDoneMinIn = 24;
inline constexpr size_t kSharedAreaMinIn = 8;

// ---- 64-bit helpers over the split fields

inline uint64_t FileSizeOf(const RequestRecord& r) {
  return (uint64_t{r.fileValueHigh} << 32) | r.fileValue;
}
inline void SetFileSize(RequestRecord& r, uint64_t size) {
  r.fileValue = static_cast<uint32_t>(size);
  r.fileValueHigh = static_cast<uint32_t>(size >> 32);
}
// Byte offset of a read, write or content push: word 2 low, word 3 high.
inline uint64_t ByteOffsetOf(const RequestRecord& r) {
  return (uint64_t{r.Parameters[3]} << 32) | r.Parameters[2];
}
inline void SetByteOffset(RequestRecord& r, uint64_t offset) {
  r.Parameters[2] = static_cast<uint32_t>(offset);
  r.Parameters[3] = static_cast<uint32_t>(offset >> 32);
}
// Valid length before a write: word 1 low, offset 32 high.
inline uint64_t ValidLengthOf(const RequestRecord& r) {
  return (uint64_t{r.validLengthHigh} << 32) | r.Parameters[1];
}

// Bytes of a reply worth handing to the driver: the header and the data the
// answered request can take. The rest of the area is never read by the
// driver, so copying it through the socket for every write or close would only
// cost time. The smallest reply still carries data word 0 (a write's size
// high half, a close's use count). A loop that has answered nothing yet sends
// the smallest reply. Reads follow the Connection's piece size; listings and
// controls have the 64 KiB area on every Connection.
inline constexpr size_t kCreateReplyDataSize = 12;
// Create reply data: word 0 the fileToken, byte 4 "changed on the server",
// byte 5 the handle count, byte 6 the use count, byte 7 (a byte the records
// leave unused) 1 when the file reaches the server only at its first cleanup,
// bytes 8-11 the size's high half.
inline constexpr size_t kCreateReplyMadeAtCleanup = 7;
// A read asks for the number of bytes in its 4 data bytes (word 0 when absent).
inline uint32_t ReadLengthOf(const RequestRecord& r) {
  uint32_t length = r.Parameters[0];
  if (r.dataLength >= sizeof length) std::memcpy(&length, r.data, sizeof length);
  return length;
}
inline size_t ReplyBytesFor(const RequestRecord* answered, size_t pieceSize = kMaxChunk) {
  size_t data = kMaxChunk;
  if (answered == nullptr) {
    data = 0;
  } else {
    switch (answered->MajorFunction) {
      case MJ_CREATE: data = kCreateReplyDataSize; break;
      case MJ_CLOSE: data = 4; break;
      case MJ_COPY_RANGE: data = sizeof(CopyRangeAnswer); break;
      case MJ_READ:
        // A read answered in a slot of the shared area sends no data.
        data = answered->sharedSlot != 0 ? 0 : std::min<size_t>(ReadLengthOf(*answered), pieceSize);
        break;
      case MJ_QUERY_INFORMATION: data = std::min<size_t>(answered->Parameters[0], kMaxChunk); break;
      case MJ_WRITE:
      case MJ_SET_INFORMATION:
      case MJ_FLUSH_BUFFERS:
      case MJ_TOKEN_REPLACE:
      case MJ_LOCK_CONTROL:
      case MJ_CLEANUP:
      case MJ_CONTENT_PUSH: data = 0; break;
      default: break;  // listings and controls: the whole 64 KiB area
    }
  }
  return std::max(kGetRequestMinIn, kReplyHeaderSize + data);
}

// A decoded view of a buffer, or nullptr when it is too short or unmarked.
template <typename Record>
const Record* DecodeMarked(const void* buffer, size_t length) {
  if (buffer == nullptr || length < sizeof(Record)) return nullptr;
  auto* bytes = static_cast<const uint8_t*>(buffer);
  if (bytes[0] != kRecordMarker) return nullptr;
  return static_cast<const Record*>(buffer);
}

}  // namespace hvm
