#include "driver/control_codes.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "agent/service/channel_records.h"
#include "driver/forwarding.h"
#include "driver/invalidate_record.h"
#include "driver/trace.h"
#include "driver/user_slots.h"
#include "platform/control_device.h"
#include "platform/wide_text.h"

namespace hvm::driver {

static_assert(kWideChannelBufferSize <= kMaxControlBuffer, "a wide piece fits one control frame");

namespace {
constexpr size_t kInternRequestSize = sizeof(InternalRequest);
constexpr size_t kCleanupDoneNeeded = offsetof(CleanupDoneRecord, information) + 4;
constexpr char16_t kPrimaryPrefix[] = u"\\QUENLODE";
constexpr char16_t kAliasPrefix[] = u"\\  qelmar";
constexpr uint32_t kPrefixBytes = 18;

InvalidateHook& Hook() {
  static InvalidateHook hook;
  return hook;
}

ControlAnswer Status(NTSTATUS status) { return ControlAnswer{status, {}}; }

bool Marked(const std::vector<uint8_t>& input) { return !input.empty() && input[0] == kRecordMarker; }

template <typename Record>
Record Copy(const std::vector<uint8_t>& input) {
  Record record{};
  memcpy(&record, input.data(), std::min(input.size(), sizeof record));
  return record;
}

template <typename Record>
ControlAnswer RecordAnswer(NTSTATUS status, const Record& record) {
  ControlAnswer answer{status, std::vector<uint8_t>(sizeof record)};
  memcpy(answer.output.data(), &record, sizeof record);
  return answer;
}

ControlAnswer Connect(uid_t uid, const std::vector<uint8_t>& in, uint32_t outLength) {
  if (in.size() != sizeof(ConnectionRecord) || outLength != sizeof(ConnectionRecord) || !Marked(in))
    return Status(STATUS_UNSUCCESSFUL);
  auto record = Copy<ConnectionRecord>(in);
  std::lock_guard<std::mutex> guard(DriverMutex());
  return RecordAnswer(Users().Connect(uid, record), record);
}

ControlAnswer Disconnect(uid_t uid, const std::vector<uint8_t>& in, uint32_t outLength) {
  if (in.size() != sizeof(ConnectionRecord) || outLength != sizeof(ConnectionRecord) || !Marked(in))
    return Status(STATUS_UNSUCCESSFUL);
  auto record = Copy<ConnectionRecord>(in);
  NTSTATUS status;
  {
    Completions out;
    std::lock_guard<std::mutex> guard(DriverMutex());
    status = Users().Disconnect(uid, record, out);
  }
  // The kernel forgets the Connection's folder (an empty path names it).
  if (status == STATUS_SUCCESS && Hook())
    Hook()(uid, std::u16string(WideField(record.name, kConnectionNameChars)), u"");
  return RecordAnswer(status, record);
}

ControlAnswer Ping(uid_t uid, const std::vector<uint8_t>& in, uint32_t outLength) {
  if (in.size() != sizeof(PingRecord) || outLength != sizeof(PingRecord) || !Marked(in))
    return Status(STATUS_UNSUCCESSFUL);
  auto record = Copy<PingRecord>(in);
  std::lock_guard<std::mutex> guard(DriverMutex());
  return RecordAnswer(Users().Ping(uid, record), record);
}

ControlAnswer CleanupDone(uid_t uid, const std::vector<uint8_t>& in) {
  // The status and information words must be inside the buffer.
  if (in.size() < kCleanupDoneNeeded || !Marked(in)) return Status(STATUS_UNSUCCESSFUL);
  auto record = Copy<CleanupDoneRecord>(in);
  Completions out;
  std::lock_guard<std::mutex> guard(DriverMutex());
  Connection* conn = Users().ConnectionByHandle(uid, record.connectionHandle);
  if (conn == nullptr) return Status(STATUS_UNSUCCESSFUL);
  return Status(FinishCleanupWait(conn, record.requestId, record.status, record.information, out));
}

std::optional<ControlAnswer> GetRequest(const std::shared_ptr<ControlPeer>& peer,
                                        const std::vector<uint8_t>& in, uint32_t outLength) {
  if (in.size() < kGetRequestMinIn || outLength < kGetRequestMinOut || !Marked(in))
    return Status(STATUS_UNSUCCESSFUL);
  uint32_t handle;
  memcpy(&handle, in.data() + 4, sizeof handle);
  Completions out;
  std::lock_guard<std::mutex> guard(DriverMutex());
  Connection* conn = Users().ConnectionByHandle(peer->uid(), handle);
  if (conn == nullptr) return Status(STATUS_UNSUCCESSFUL);
  bool areaMapped = (in[offsetof(ReplyRecord, loopFlags)] & kLoopAreaMapped) != 0;
  AgentHandsIn(conn, in.data(), in.size(), PendingAgentCall{peer, outLength, areaMapped}, out);
  return std::nullopt;
}

// The Connection's shared area for its agent's loop: only the Connection's
// own user gets it, and only when the driver agreed to one at registration.
ControlAnswer SharedAreaOf(uid_t uid, const std::vector<uint8_t>& in, uint32_t outLength) {
  if (in.size() < kSharedAreaMinIn || outLength < sizeof(SharedAreaRecord) || !Marked(in))
    return Status(STATUS_UNSUCCESSFUL);
  auto record = Copy<SharedAreaRecord>(in);
  std::lock_guard<std::mutex> guard(DriverMutex());
  Connection* conn = Users().ConnectionByHandle(uid, record.connectionHandle);
  if (conn == nullptr || !conn->area || !(conn->reserved & kAgreedSharedArea))
    return Status(STATUS_UNSUCCESSFUL);
  record.slotCount = conn->area->slotCount();
  record.slotSize = static_cast<uint32_t>(conn->area->slotSize());
  record.areaSize = uint64_t{record.slotCount} * record.slotSize;
  ControlAnswer answer = RecordAnswer(STATUS_SUCCESS, record);
  answer.area = conn->area;
  Trace("Shared area for %s\n", Utf16ToUtf8(conn->name).c_str());
  return answer;
}

// The log belongs to the driver's owner: only root or the driver's own uid
// may change how much it records.
ControlAnswer SetLogLevel(uid_t uid, const std::vector<uint8_t>& in) {
  if (uid != 0 && uid != geteuid()) {
    Trace("IOCTL_SET_LOG_LEVEL refused for uid %u\n", static_cast<unsigned>(uid));
    return Status(STATUS_ACCESS_DENIED);
  }
  if (in.size() < sizeof(uint32_t)) return Status(STATUS_UNSUCCESSFUL);
  uint32_t level;
  memcpy(&level, in.data(), sizeof level);
  driver::SetLogLevel(level);
  Trace("KRV logLevel=%x\n", level);
  return Status(STATUS_SUCCESS);
}

ControlAnswer Version(uint32_t outLength) {
  if (outLength < sizeof(uint32_t)) return Status(STATUS_UNSUCCESSFUL);
  ControlAnswer answer{STATUS_SUCCESS, std::vector<uint8_t>(outLength, 0)};
  uint32_t version = kDriverInterfaceVersion;
  memcpy(answer.output.data(), &version, sizeof version);
  Trace("InternIOCTL version %x \n", version);
  return answer;
}

ControlAnswer ConnectionInfo(uid_t uid, const std::vector<uint8_t>& in, uint32_t outLength) {
  if (in.size() < kConnectionInfoMinIn || outLength < kConnectionInfoMinOut) {
    Trace("IOCTL_CONNECTION_INFO buffers in=%zu out=%u\n", in.size(), outLength);
    return Status(STATUS_UNSUCCESSFUL);
  }
  auto sid = WideField(reinterpret_cast<const char16_t*>(in.data()), kSidChars - 1);
  std::u16string sidText(sid);
  ControlAnswer answer;
  std::lock_guard<std::mutex> guard(DriverMutex());
  answer.status = Users().ConnectionInfo(uid, sidText, outLength, answer.output);
  return answer;
}

ControlAnswer InvalidatePath(uid_t uid, const std::vector<uint8_t>& in) {
  if (in.size() < sizeof(InvalidatePathRecord) || !Marked(in)) return Status(STATUS_UNSUCCESSFUL);
  auto record = Copy<InvalidatePathRecord>(in);
  if (!EqualsNoCase(WideField(record.sid, kSidChars), SidOfUid(uid)))
    return Status(STATUS_ACCESS_DENIED);
  std::u16string name(WideField(record.name, kConnectionNameChars));
  std::u16string path(WideField(record.path, kPathChars));
  if (!Hook()) return Status(STATUS_INVALID_DEVICE_REQUEST);
  return Status(Hook()(uid, name, path));
}

std::optional<ControlAnswer> ForwardIntern(const std::shared_ptr<ControlPeer>& peer, uint32_t code,
                                           const std::vector<uint8_t>& in, uint32_t outLength) {
  if (outLength != kInternRequestSize || !Marked(in)) return Status(STATUS_UNSUCCESSFUL);
  InternalRequest request = Copy<InternalRequest>(in);
  size_t copied = std::min(in.size(), kInternRequestSize);
  std::u16string_view sid = WideField(request.sid, kSidChars);
  Completions out;
  std::lock_guard<std::mutex> guard(DriverMutex());
  if (!EqualsNoCase(sid, SidOfUid(peer->uid())) || Users().FindSlot(sid) < 0)
    return Status(STATUS_UNSUCCESSFUL);
  Connection* conn = Users().ConnectionByName(peer->uid(), WideField(request.name, kConnectionNameChars));
  auto forward = std::make_shared<Forward>();
  forward->major = MJ_DEVICE_CONTROL;
  forward->words[2] = code;
  forward->data.assign(reinterpret_cast<const uint8_t*>(&request),
                       reinterpret_cast<const uint8_t*>(&request) + copied);
  forward->outputLength = kInternRequestSize;
  forward->done = [peer, outLength](ForwardResult& result) {
    peer->EndForwardedCall();
    uint32_t bytes = std::min<uint32_t>(result.information, kInternRequestSize);
    peer->Answer(result.status, result.data.data(), bytes, outLength);
  };
  Trace("InternIOCTL %x len=%zu %s\n", code, copied,
        Utf16ToUtf8(WideField(request.target, kPathChars)).c_str());
  if (!peer->BeginForwardedCall()) {
    Trace("InternIOCTL %x refused: the caller's last one is still with the agent\n", code);
    return Status(STATUS_INSUFFICIENT_RESOURCES);
  }
  SubmitForward(conn, forward, out);
  return std::nullopt;
}

bool PrefixMatches(const char16_t* path, size_t chars, const char16_t* prefix) {
  std::u16string_view head(path, chars);
  return EqualsNoCase(head, std::u16string_view(prefix, chars));
}
}  // namespace

void SetInvalidateHook(InvalidateHook hook) { Hook() = std::move(hook); }

NTSTATUS QueryUncPath(const std::vector<uint8_t>& input, uint32_t& acceptedLength) {
  // QUERY_PATH_REQUEST: path length in bytes at 0, security context at 4, path at 8.
  constexpr size_t kPathOffset = 8;
  if (input.size() < kPathOffset) return STATUS_OBJECT_NAME_NOT_FOUND;
  uint32_t pathBytes;
  memcpy(&pathBytes, input.data(), sizeof pathBytes);
  size_t available = input.size() - kPathOffset;
  uint32_t compareBytes = std::min(pathBytes, kPrefixBytes);
  if (pathBytes == 0 && available > 0) compareBytes = kPrefixBytes;
  if (compareBytes == 0 || compareBytes > available) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string path(compareBytes / 2, u'\0');
  memcpy(path.data(), input.data() + kPathOffset, path.size() * 2);
  size_t chars = path.size();
  bool claimed = PrefixMatches(path.data(), chars, kPrimaryPrefix) ||
                 PrefixMatches(path.data(), chars, kAliasPrefix);
  Trace("Mup: %s %s\n", claimed ? "STATUS_SUCCESS" : "STATUS_OBJECT_NAME_NOT_FOUND",
        Utf16ToUtf8(path).c_str());
  if (!claimed) return STATUS_OBJECT_NAME_NOT_FOUND;
  acceptedLength = kPrefixBytes;
  return STATUS_SUCCESS;
}

std::optional<ControlAnswer> HandleControl(const std::shared_ptr<ControlPeer>& peer, uint32_t code,
                                           const std::vector<uint8_t>& input, uint32_t outLength) {
  uid_t uid = peer->uid();
  switch (code) {
    case IOCTL_CONNECT: return Connect(uid, input, outLength);
    case IOCTL_DISCONNECT: return Disconnect(uid, input, outLength);
    case IOCTL_PING: return Ping(uid, input, outLength);
    case IOCTL_CLEANUP_DONE: return CleanupDone(uid, input);
    case IOCTL_GET_REQUEST: return GetRequest(peer, input, outLength);
    case IOCTL_SET_LOG_LEVEL: return SetLogLevel(uid, input);
    case IOCTL_VERSION: return Version(outLength);
    case IOCTL_CONNECTION_INFO: return ConnectionInfo(uid, input, outLength);
    case IOCTL_SHARED_AREA: return SharedAreaOf(uid, input, outLength);
    case IOCTL_INVALIDATE_PATH: return InvalidatePath(uid, input);
    case IOCTL_REDIR_QUERY_PATH: {
      uint32_t accepted = 0;
      NTSTATUS status = QueryUncPath(input, accepted);
      ControlAnswer answer{status, {}};
      if (status == STATUS_SUCCESS && outLength >= sizeof accepted) {
        answer.output.resize(sizeof accepted);
        memcpy(answer.output.data(), &accepted, sizeof accepted);
      }
      return answer;
    }
    default: break;
  }
  if (IsInternIoctl(code)) return ForwardIntern(peer, code, input, outLength);
  Trace("IOCTL %x/%x/%x len=%zu\n", code, (code >> 2) & 0xFFF, code & 3, input.size());
  return Status(STATUS_NOT_IMPLEMENTED);
}

}  // namespace hvm::driver
