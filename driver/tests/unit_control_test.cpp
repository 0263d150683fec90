// The control codes, user slots and the forwarding routine without a mount:
// bad input is refused with the documented status and never read past.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "driver/control_codes.h"
#include "driver/forwarding.h"
#include "driver/status_errno.h"
#include "driver/trace.h"
#include "driver/user_slots.h"
#include "platform/wide_text.h"

namespace hvm::driver {
namespace {

constexpr uid_t kUser = 5000;
constexpr uid_t kOther = 5001;

using Bytes = std::vector<uint8_t>;

// A control connection whose answers the test reads from the other end.
struct Peer {
  explicit Peer(uid_t uid) {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peer = std::make_shared<ControlPeer>(fds[0], uid);
  }
  ~Peer() {
    close(fds[0]);
    close(fds[1]);
  }
  // One answer written to the peer: false when none came within the time.
  bool ReadAnswer(uint32_t& error, Bytes& data, int timeoutMs = 2000) {
    pollfd wait{fds[1], POLLIN, 0};
    if (poll(&wait, 1, timeoutMs) != 1) return false;
    uint32_t header[2];
    if (read(fds[1], header, sizeof header) != sizeof header) return false;
    error = header[0];
    data.assign(header[1], 0);
    size_t got = 0;
    while (got < data.size()) {
      ssize_t n = read(fds[1], data.data() + got, data.size() - got);
      if (n <= 0) return false;
      got += n;
    }
    return true;
  }
  int fds[2];
  std::shared_ptr<ControlPeer> peer;
};

template <typename Record>
Bytes Image(const Record& record) {
  return Bytes(reinterpret_cast<const uint8_t*>(&record),
               reinterpret_cast<const uint8_t*>(&record) + sizeof record);
}

NTSTATUS Status(Peer& peer, uint32_t code, const Bytes& in, uint32_t outLength) {
  auto answer = HandleControl(peer.peer, code, in, outLength);
  return answer ? answer->status : STATUS_PENDING;
}

ConnectionRecord Registration(uid_t uid, const char* name, uint32_t used = 0, uint32_t free = 0) {
  ConnectionRecord record{};
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, SidOfUid(uid));
  CopyWide(record.name, kConnectionNameChars, Utf8ToUtf16(name));
  record.usedUnits = used;
  record.freeUnits = free;
  return record;
}

uint32_t Register(Peer& peer, uid_t uid, const char* name, NTSTATUS* status = nullptr) {
  auto answer = HandleControl(peer.peer, IOCTL_CONNECT, Image(Registration(uid, name)), 268);
  if (status) *status = answer->status;
  ConnectionRecord record{};
  if (answer->output.size() == sizeof record) memcpy(&record, answer->output.data(), sizeof record);
  return record.connectionHandle;
}

Bytes ReplyImage(uint32_t handle, NTSTATUS status, uint32_t information, const Bytes& data = {},
                 size_t length = kChannelBufferSize) {
  Bytes image(length, 0);
  auto header = std::make_unique<ReplyRecord>();  // a megabyte: not on the stack
  header->marker = kRecordMarker;
  header->connectionHandle = handle;
  header->status = status;
  header->information = information;
  memcpy(image.data(), header.get(), std::min(length, kReplyHeaderSize));
  if (!data.empty() && length > kReplyHeaderSize)
    memcpy(image.data() + kReplyHeaderSize, data.data(), std::min(data.size(), length - kReplyHeaderSize));
  return image;
}

Connection* ConnectionOf(uid_t uid, uint32_t handle) {
  std::lock_guard<std::mutex> guard(DriverMutex());
  return Users().ConnectionByHandle(uid, handle);
}

void Submit(Connection* conn, ForwardPtr forward) {
  Completions out;
  std::lock_guard<std::mutex> guard(DriverMutex());
  SubmitForward(conn, std::move(forward), out);
}

ForwardPtr ReadForward(ForwardResult* result) {
  auto forward = std::make_shared<Forward>();
  forward->major = MJ_READ;
  forward->words[0] = 10;
  forward->words[2] = 0x1000;
  forward->words[3] = 0x2;  // a 64-bit offset
  forward->fileObject = 0x77;
  forward->fileValue = 0x100000010ull;
  forward->data = {10, 0, 0, 0};
  forward->outputLength = 10;
  forward->done = [result](ForwardResult& answer) { *result = answer; };
  return forward;
}

TEST(ControlCodes, RecordCodesRefuseWrongLengthsAndMissingMarker) {
  Peer peer(kUser);
  Bytes good = Image(Registration(kUser, "lengths"));
  Bytes shortIn(good.begin(), good.end() - 1);
  Bytes longIn = good;
  longIn.push_back(0);
  Bytes unmarked = good;
  unmarked[0] = 0;
  for (uint32_t code : {IOCTL_CONNECT, IOCTL_DISCONNECT}) {
    EXPECT_EQ(Status(peer, code, shortIn, 268), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Status(peer, code, longIn, 268), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Status(peer, code, good, 267), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Status(peer, code, unmarked, 268), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Status(peer, code, {}, 268), STATUS_UNSUCCESSFUL);
  }
  PingRecord ping{};
  ping.marker = kRecordMarker;
  Bytes pingImage = Image(ping);
  EXPECT_EQ(Status(peer, IOCTL_PING, pingImage, 127), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Status(peer, IOCTL_PING, Bytes(pingImage.begin(), pingImage.end() - 1), 128),
            STATUS_UNSUCCESSFUL);
  pingImage[0] = 0x7F;
  EXPECT_EQ(Status(peer, IOCTL_PING, pingImage, 128), STATUS_UNSUCCESSFUL);

  Bytes cleanup(sizeof(CleanupDoneRecord), 0);
  cleanup[0] = kRecordMarker;
  // Status and information lie at 24..31: a shorter buffer is refused.
  EXPECT_EQ(Status(peer, IOCTL_CLEANUP_DONE, Bytes(cleanup.begin(), cleanup.begin() + 31), 4),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Status(peer, IOCTL_CLEANUP_DONE, cleanup, 4), STATUS_UNSUCCESSFUL);  // no Connection
}

TEST(ControlCodes, FixedAnswersAndUnknownCodes) {
  Peer peer(kUser);
  auto version = HandleControl(peer.peer, IOCTL_VERSION, {}, 8);
  ASSERT_EQ(version->status, STATUS_SUCCESS);
  ASSERT_EQ(version->output.size(), 8u);
  uint32_t value;
  memcpy(&value, version->output.data(), 4);
  EXPECT_EQ(value, 0x03000000u);
  EXPECT_EQ(Status(peer, IOCTL_VERSION, {}, 3), STATUS_UNSUCCESSFUL);

  // Only root (or the driver's own user) sets the log level.
  Peer root(0);
  EXPECT_EQ(Status(root, IOCTL_SET_LOG_LEVEL, {3, 0, 0, 0}, 4), STATUS_SUCCESS);
  EXPECT_EQ(LogLevel(), 3u);
  EXPECT_TRUE(TraceOn());
  if (geteuid() != kUser) {
    EXPECT_EQ(Status(peer, IOCTL_SET_LOG_LEVEL, {0, 0, 0, 0}, 4), STATUS_ACCESS_DENIED);
  }
  EXPECT_EQ(LogLevel(), 3u);
  EXPECT_EQ(Status(root, IOCTL_SET_LOG_LEVEL, {2, 0}, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Status(root, IOCTL_SET_LOG_LEVEL, {2, 0, 0, 0}, 4), STATUS_SUCCESS);
  EXPECT_FALSE(TraceOn());

  EXPECT_EQ(Status(peer, 0x00222222, {1, 2, 3}, 4), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(Status(peer, 0x142500, {}, 0), STATUS_NOT_IMPLEMENTED);
  // A code of the forwarded range that must arrive with a 1296-byte output.
  EXPECT_EQ(Status(peer, 0x142000, Bytes(1296, 0xFF), 100), STATUS_UNSUCCESSFUL);
  Bytes unmarked(1296, 0);
  EXPECT_EQ(Status(peer, 0x142000, unmarked, 1296), STATUS_UNSUCCESSFUL);
}

TEST(ControlCodes, UncPrefixQuery) {
  auto query = [](const std::u16string& path, int32_t lengthBytes = -1) {
    Bytes in(8 + path.size() * 2, 0);
    uint32_t length = lengthBytes < 0 ? static_cast<uint32_t>(path.size() * 2) : lengthBytes;
    memcpy(in.data(), &length, 4);
    memcpy(in.data() + 8, path.data(), path.size() * 2);
    uint32_t accepted = 0;
    NTSTATUS status = QueryUncPath(in, accepted);
    return status == STATUS_SUCCESS ? static_cast<int>(accepted) : -1;
  };
  EXPECT_EQ(query(u"\\QUENLODE\\site1\\a.txt"), 18);
  EXPECT_EQ(query(u"\\quenlode\\site1"), 18);
  EXPECT_EQ(query(u"\\  qelmar\\site1"), 18);
  EXPECT_EQ(query(u"\\QUENLODEX\\site1"), 18);  // only nine characters are compared
  EXPECT_EQ(query(u"\\OTHERSRV\\share"), -1);
  EXPECT_EQ(query(u"\\QUENLODE", 0), 18);       // length 0: the full prefix is compared
  EXPECT_EQ(query(u"\\QUE", 0), -1);            // ... but never beyond the buffer
  EXPECT_EQ(query(u"\\QUENLODE", 400), 18);     // a length beyond the buffer compares 18 bytes
  uint32_t accepted = 0;
  EXPECT_EQ(QueryUncPath(Bytes{1, 2, 3}, accepted), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(ControlCodes, GetRequestChecksAndUidBinding) {
  Peer owner(kUser), stranger(kOther);
  uint32_t handle = Register(owner, kUser, "getreq");
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(Status(owner, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0, {}, 23), kChannelBufferSize),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Status(owner, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), 51), STATUS_UNSUCCESSFUL);
  Bytes unmarked = ReplyImage(handle, 0, 0);
  unmarked[0] = 0;
  EXPECT_EQ(Status(owner, IOCTL_GET_REQUEST, unmarked, kChannelBufferSize), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Status(owner, IOCTL_GET_REQUEST, ReplyImage(handle + 1000, 0, 0), kChannelBufferSize),
            STATUS_UNSUCCESSFUL);
  // Another user cannot serve (or read the requests of) this Connection.
  EXPECT_EQ(Status(stranger, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), kChannelBufferSize),
            STATUS_UNSUCCESSFUL);
  // A short but valid reply buffer stays pending; nothing past it is read.
  EXPECT_EQ(Status(owner, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0, {}, 24), 52), STATUS_PENDING);
}

TEST(UserSlots, RegistrationIsBoundToTheCallersOwnSid) {
  Peer peer(kUser);
  NTSTATUS status;
  EXPECT_EQ(Register(peer, kOther, "foreign", &status), 0u);
  EXPECT_EQ(status, STATUS_ACCESS_DENIED);
  uint32_t first = Register(peer, kUser, "again", &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Register(peer, kUser, "again", &status), first);  // reused by name
  Register(peer, kUser, "bad\\name", &status);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);
  Register(peer, kUser, "", &status);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);

  ConnectionRecord disconnect = Registration(kOther, "again");
  disconnect.connectionHandle = first;
  EXPECT_EQ(Status(peer, IOCTL_DISCONNECT, Image(disconnect), 268), STATUS_ACCESS_DENIED);
  Peer stranger(kOther);
  EXPECT_EQ(Status(stranger, IOCTL_DISCONNECT, Image(disconnect), 268), STATUS_UNSUCCESSFUL);
}

TEST(UserSlots, TwentySixthNameIsRefusedClearly) {
  constexpr uid_t kBusy = 5002;
  Peer peer(kBusy);
  NTSTATUS status;
  for (int i = 0; i < kConnectionCells; ++i) {
    Register(peer, kBusy, ("site" + std::to_string(i)).c_str(), &status);
    ASSERT_EQ(status, STATUS_SUCCESS) << i;
  }
  Register(peer, kBusy, "one-too-many", &status);
  EXPECT_EQ(status, STATUS_TOO_MANY_NAMES);
  EXPECT_EQ(Win32ErrorFromStatus(status), 68u);
  Register(peer, kBusy, "site7", &status);  // a known name still registers
  EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST(ControlCodes, ConnectionInfoChecksAndCounts) {
  constexpr uid_t kInfo = 5003;
  Peer peer(kInfo);
  Bytes sid(120, 0);
  CopyWide(reinterpret_cast<char16_t*>(sid.data()), 60, SidOfUid(kInfo));
  EXPECT_EQ(Status(peer, IOCTL_CONNECTION_INFO, sid, 272), STATUS_UNSUCCESSFUL);  // unknown user
  Register(peer, kInfo, "one", nullptr);
  Register(peer, kInfo, "two", nullptr);
  Register(peer, kInfo, "three", nullptr);
  EXPECT_EQ(Status(peer, IOCTL_CONNECTION_INFO, Bytes(sid.begin(), sid.begin() + 119), 272),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Status(peer, IOCTL_CONNECTION_INFO, sid, 271), STATUS_UNSUCCESSFUL);
  auto answer = HandleControl(peer.peer, IOCTL_CONNECTION_INFO, sid, 4 + 2 * 268);
  ASSERT_EQ(answer->status, STATUS_SUCCESS);
  uint32_t count;
  memcpy(&count, answer->output.data(), 4);
  EXPECT_EQ(count, 2u);
  Peer stranger(kOther);
  EXPECT_EQ(Status(stranger, IOCTL_CONNECTION_INFO, sid, 1000), STATUS_ACCESS_DENIED);
}

TEST(Forwarding, RequestReachesTheWaitingAgentAndItsReplyCompletesIt) {
  Peer agent(kUser);
  uint32_t handle = Register(agent, kUser, "forward");
  Connection* conn = ConnectionOf(kUser, handle);
  ASSERT_NE(conn, nullptr);
  ASSERT_EQ(Status(agent, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), kChannelBufferSize),
            STATUS_PENDING);
  ForwardResult result;
  result.status = 0xDEAD;
  Submit(conn, ReadForward(&result));
  uint32_t error;
  Bytes request;
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  EXPECT_EQ(error, 0u);
  ASSERT_EQ(request.size(), 4u + 51u);  // dataLength + 51
  auto header = std::make_unique<RequestRecord>();
  memcpy(header.get(), request.data(), 52);
  EXPECT_EQ(header->MajorFunction, MJ_READ);
  EXPECT_EQ(header->FileObject, 0x77u);
  EXPECT_EQ(ByteOffsetOf(*header), 0x200001000ull);
  EXPECT_EQ(FileSizeOf(*header), 0x100000010ull);
  EXPECT_EQ(header->dataLength, 4u);
  EXPECT_NE(header->requestId, 0u);
  EXPECT_EQ(result.status, 0xDEADu);  // not answered yet

  Bytes payload = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'X', 'Y'};
  ASSERT_EQ(Status(agent, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 1000000, payload),
                   kChannelBufferSize),
            STATUS_PENDING);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_EQ(result.data.size(), 10u);  // cut to what the caller asked for
  EXPECT_EQ(std::string(result.data.begin(), result.data.end()), "0123456789");
}

TEST(Forwarding, NonsenseRepliesAreRefusedAndShortOnesNotOverread) {
  Peer agent(kUser);
  uint32_t handle = Register(agent, kUser, "nonsense");
  Connection* conn = ConnectionOf(kUser, handle);
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), kChannelBufferSize);
  ForwardResult result;
  Submit(conn, ReadForward(&result));
  uint32_t error;
  Bytes request;
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  // PENDING is no answer for a read.
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, STATUS_PENDING, 10),
                kChannelBufferSize);
  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);

  Submit(conn, ReadForward(&result));
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  // A 24-byte reply carries 4 data bytes: the rest reads as zeros, nothing past it.
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 10, {'z', 'z', 'z', 'z', 'q'}, 24),
                52);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.data, (Bytes{'z', 'z', 'z', 'z', 0, 0, 0, 0, 0, 0}));
}

TEST(Forwarding, ChannelFailuresAndTheCloseCorrection) {
  Peer agent(kUser);
  uint32_t handle = Register(agent, kUser, "nobuffer");
  Connection* conn = ConnectionOf(kUser, handle);
  {
    Completions out;
    std::lock_guard<std::mutex> guard(DriverMutex());
    SuspendConnection(conn, out);
  }
  ForwardResult result;
  Submit(conn, ReadForward(&result));  // no loop behind it any more: fails at once
  EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(result.channelFailure);

  auto create = std::make_shared<Forward>();
  create->major = MJ_CREATE;
  create->done = [&result](ForwardResult& answer) { result = answer; };
  Submit(nullptr, create);
  EXPECT_EQ(result.status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(result.information, FILE_DOES_NOT_EXIST);

  auto close = std::make_shared<Forward>();
  close->major = MJ_CLOSE;
  close->done = [&result](ForwardResult& answer) { result = answer; };
  Submit(conn, close);
  EXPECT_EQ(result.status, STATUS_SUCCESS);  // close never fails because of the channel
  EXPECT_EQ(result.information, 4u);
  EXPECT_TRUE(result.corrected);
}

TEST(Forwarding, RequestBeforeTheLoopsFirstCallFailsAtOnce) {
  Peer agent(kUser);
  uint32_t handle = Register(agent, kUser, "starting");
  Connection* conn = ConnectionOf(kUser, handle);
  ForwardResult result;
  result.status = 0xDEAD;
  Submit(conn, ReadForward(&result));  // no request buffer yet: it does not wait
  EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(result.channelFailure);
  EXPECT_FALSE(result.timedOut);
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), kChannelBufferSize);
  result.status = 0xDEAD;
  Submit(conn, ReadForward(&result));
  uint32_t error;
  Bytes request;
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  EXPECT_FALSE(request.empty());  // once the loop asked, requests reach it
  EXPECT_EQ(result.status, 0xDEADu);
  EXPECT_TRUE(conn->active);
}

TEST(Forwarding, ALostLoopFailsItsRequestAndSuspendsTheConnection) {
  Peer agent(kUser);
  uint32_t handle = Register(agent, kUser, "lost");
  Connection* conn = ConnectionOf(kUser, handle);
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), kChannelBufferSize);
  ForwardResult first, second;
  first.status = second.status = 0xDEAD;
  Submit(conn, ReadForward(&first));
  Submit(conn, ReadForward(&second));
  Completions out;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    ForgetPeer(agent.peer.get(), out);
  }
  out.Run();
  EXPECT_TRUE(first.channelFailure);  // no answer can come any more
  EXPECT_TRUE(second.channelFailure);
  EXPECT_FALSE(conn->active);
}

// Registers a Connection asking for wide pieces (or not); the answer's reserved word.
uint32_t RegisterPieces(Peer& peer, const char* name, bool wide, uint32_t& reserved) {
  ConnectionRecord record = Registration(kUser, name);
  record.reserved = wide ? kAskWidePieces : 0;
  auto answer = HandleControl(peer.peer, IOCTL_CONNECT, Image(record), 268);
  EXPECT_EQ(answer->status, STATUS_SUCCESS);
  EXPECT_EQ(answer->output.size(), sizeof record);
  memcpy(&record, answer->output.data(), std::min(answer->output.size(), sizeof record));
  reserved = record.reserved;
  return record.connectionHandle;
}

ForwardPtr DataForward(uint8_t major, const Bytes& data, uint32_t outputLength, ForwardResult* result) {
  auto forward = std::make_shared<Forward>();
  forward->major = major;
  forward->fileObject = 0x55;
  forward->words[0] = static_cast<uint32_t>(std::max(data.size(), size_t{outputLength}));
  forward->data = data;
  forward->outputLength = outputLength;
  forward->done = [result](ForwardResult& answer) { *result = answer; };
  return forward;
}

TEST(Forwarding, WidePiecesAreAgreedAtRegistrationAndCarriedWhole) {
  Peer agent(kUser);
  uint32_t reserved = 0xFFFF;
  uint32_t narrowHandle = RegisterPieces(agent, "narrowpieces", false, reserved);
  EXPECT_EQ(reserved, 0u);  // registered as before: nothing agreed
  EXPECT_EQ(ConnectionOf(kUser, narrowHandle)->pieceSize, kMaxChunk);
  uint32_t handle = RegisterPieces(agent, "widepieces", true, reserved);
  EXPECT_EQ(reserved, kAgreedWidePieces);
  Connection* conn = ConnectionOf(kUser, handle);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->pieceSize, kWidePieceSize);

  // A write of a whole megabyte travels as one record.
  Bytes piece(kWidePieceSize);
  for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<uint8_t>(i * 7 + (i >> 16));
  ASSERT_EQ(Status(agent, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0, {}, 24), kWideChannelBufferSize),
            STATUS_PENDING);
  ForwardResult written;
  written.status = 0xDEAD;
  Submit(conn, DataForward(MJ_WRITE, piece, 0, &written));
  uint32_t error;
  Bytes request;
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  ASSERT_EQ(request.size(), kWidePieceSize + 51);
  uint32_t dataLength;
  memcpy(&dataLength, request.data() + offsetof(RequestRecord, dataLength), 4);
  EXPECT_EQ(dataLength, kWidePieceSize);
  EXPECT_TRUE(std::equal(piece.begin(), piece.end(), request.begin() + 48));

  // Its reply, and a read of a whole megabyte answered whole.
  ForwardResult read;
  Submit(conn, DataForward(MJ_READ, {0, 0, 0x10, 0}, kWidePieceSize, &read));
  ASSERT_EQ(Status(agent, IOCTL_GET_REQUEST, ReplyImage(handle, 0, kWidePieceSize, {}, 24),
                   kWideChannelBufferSize),
            STATUS_PENDING);
  EXPECT_EQ(written.status, STATUS_SUCCESS);
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  ASSERT_EQ(Status(agent, IOCTL_GET_REQUEST,
                   ReplyImage(handle, 0, kWidePieceSize, piece, kWideChannelBufferSize),
                   kWideChannelBufferSize),
            STATUS_PENDING);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.data, piece);

  // A reply larger than the Connection's buffer is refused, not read.
  ForwardResult oversized;
  Submit(conn, DataForward(MJ_READ, {0, 0, 0x10, 0}, kWidePieceSize, &oversized));
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  Bytes tooLarge = ReplyImage(handle, 0, kWidePieceSize, piece, kWideChannelBufferSize + 1);
  ASSERT_EQ(Status(agent, IOCTL_GET_REQUEST, tooLarge, kWideChannelBufferSize), STATUS_PENDING);
  EXPECT_EQ(oversized.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(oversized.data, Bytes(kWidePieceSize, 0));
}

TEST(Forwarding, NarrowConnectionRefusesWhatIsLargerThanItsPiece) {
  Peer agent(kUser);
  uint32_t reserved = 0;
  uint32_t handle = RegisterPieces(agent, "narrowrefuses", false, reserved);
  Connection* conn = ConnectionOf(kUser, handle);
  ASSERT_EQ(Status(agent, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0, {}, 24), kChannelBufferSize),
            STATUS_PENDING);
  // A write the Connection cannot take whole fails instead of being cut.
  ForwardResult written;
  written.status = 0xDEAD;
  Submit(conn, DataForward(MJ_WRITE, Bytes(kMaxChunk + 1, 'w'), 0, &written));
  EXPECT_TRUE(written.channelFailure);
  ForwardResult read;
  read.status = 0xDEAD;
  Submit(conn, DataForward(MJ_READ, {0, 0, 1, 0}, kMaxChunk + 1, &read));
  EXPECT_TRUE(read.channelFailure);
  // A piece that fits still goes out whole, on the same waiting call.
  Submit(conn, DataForward(MJ_READ, {0, 0, 1, 0}, kMaxChunk, &read));
  uint32_t error;
  Bytes request;
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  EXPECT_EQ(request.size(), 4u + 51u);
  // A reply one byte longer than the 65,589-byte buffer is refused.
  Bytes data(kMaxChunk, 'r');
  ASSERT_EQ(Status(agent, IOCTL_GET_REQUEST, ReplyImage(handle, 0, kMaxChunk, data, kChannelBufferSize + 1),
                   kChannelBufferSize),
            STATUS_PENDING);
  EXPECT_EQ(read.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(read.data, Bytes(kMaxChunk, 0));
  // The exact buffer is taken.
  Submit(conn, DataForward(MJ_READ, {0, 0, 1, 0}, kMaxChunk, &read));
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  ASSERT_EQ(Status(agent, IOCTL_GET_REQUEST, ReplyImage(handle, 0, kMaxChunk, data, kChannelBufferSize),
                   kChannelBufferSize),
            STATUS_PENDING);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.data, data);
}

TEST(ControlPeer, AnswersNeverBlockAndAPeerThatStopsReadingIsDropped) {
  Peer silent(kUser);
  Bytes block(65536, 0x5A);
  int accepted = 0;
  for (int i = 0; i < 200; ++i)  // 13 MB nobody reads
    if (silent.peer->Answer(STATUS_SUCCESS, block.data(), 65536, 65536)) ++accepted;
  EXPECT_TRUE(silent.peer->dropped());
  EXPECT_LT(accepted, 200);
  EXPECT_FALSE(silent.peer->Answer(STATUS_SUCCESS, block.data(), 10, 10));
  // The socket was shut down, so its reader ends too.
  char byte;
  while (read(silent.fds[1], &byte, 1) > 0) {
  }
  EXPECT_EQ(send(silent.fds[1], "x", 1, MSG_NOSIGNAL), -1);
}

TEST(ControlPeer, QueuedAnswersArriveWholeAndInOrder) {
  Peer slow(kUser);
  constexpr int kAnswers = 24;  // more than the socket holds, less than the queue
  for (int i = 0; i < kAnswers; ++i) {
    Bytes block(60000 + i, static_cast<uint8_t>(i));
    ASSERT_TRUE(slow.peer->Answer(STATUS_SUCCESS, block.data(), block.size(), 65536)) << i;
  }
  ASSERT_TRUE(slow.peer->Answer(STATUS_ACCESS_DENIED, nullptr, 0, 0));
  for (int i = 0; i < kAnswers; ++i) {
    uint32_t error = 1;
    Bytes data;
    ASSERT_TRUE(slow.ReadAnswer(error, data)) << i;
    EXPECT_EQ(error, 0u);
    ASSERT_EQ(data.size(), 60000u + i);
    EXPECT_EQ(std::count(data.begin(), data.end(), static_cast<uint8_t>(i)), 60000 + i);
  }
  uint32_t error = 0;
  Bytes data;
  ASSERT_TRUE(slow.ReadAnswer(error, data));
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(slow.peer->dropped());
}

TEST(Forwarding, SilentAgentIsSuspendedAfterTheLivenessTime) {
  Peer agent(kUser);
  uint32_t handle = Register(agent, kUser, "silent");
  Connection* conn = ConnectionOf(kUser, handle);
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), kChannelBufferSize);
  ForwardResult first, second;
  first.status = second.status = 0xDEAD;
  Submit(conn, ReadForward(&first));
  Submit(conn, ReadForward(&second));  // queued behind the first
  uint32_t error;
  Bytes request;
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  {
    Completions out;
    std::lock_guard<std::mutex> guard(DriverMutex());
    CheckLiveness(Clock::now() + std::chrono::seconds(5), out);
    EXPECT_TRUE(conn->active);  // one round is not over yet
    CheckLiveness(Clock::now() + std::chrono::seconds(16), out);
    EXPECT_FALSE(conn->active);
    EXPECT_EQ(conn->slot->timeoutSeconds, 1u);
  }
  EXPECT_TRUE(first.timedOut);
  EXPECT_TRUE(first.channelFailure);
  EXPECT_TRUE(second.channelFailure);  // failed at once once the agent was gone
  EXPECT_FALSE(second.timedOut);
  // The loop of the suspended Connection learns it with an empty answer.
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), kChannelBufferSize);
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  EXPECT_TRUE(request.empty());
  EXPECT_EQ(Register(agent, kUser, "silent"), handle);  // registering again reactivates it
  EXPECT_TRUE(conn->active);
}

TEST(Forwarding, PingingAgentKeepsALongRequestWaiting) {
  Peer agent(kUser);
  uint32_t handle = Register(agent, kUser, "busy");
  Connection* conn = ConnectionOf(kUser, handle);
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), kChannelBufferSize);
  ForwardResult result;
  result.status = 0xDEAD;
  Submit(conn, ReadForward(&result));
  uint32_t error;
  Bytes request;
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  Completions out;
  std::lock_guard<std::mutex> guard(DriverMutex());
  for (int minute = 1; minute <= 5; ++minute) {
    auto now = Clock::now() + std::chrono::seconds(16 * minute);
    conn->slot->lastPing = now - std::chrono::seconds(1);
    conn->slot->everPinged = true;
    CheckLiveness(now, out);
  }
  EXPECT_EQ(result.status, 0xDEADu);
  EXPECT_TRUE(conn->active);
  // Alive is decided by the time since the ping alone, across any minute or hour.
  auto ping = Clock::now();
  EXPECT_TRUE(AgentAlive(ping, true, ping + std::chrono::seconds(15)));
  EXPECT_FALSE(AgentAlive(ping, true, ping + std::chrono::seconds(16)));
  EXPECT_FALSE(AgentAlive(ping, false, ping));
}

TEST(Forwarding, CleanupDoneFinishesOnlyTheWaitingCleanupOfItsConnection) {
  Peer agent(kUser), stranger(kOther);
  uint32_t handle = Register(agent, kUser, "pending");
  Connection* conn = ConnectionOf(kUser, handle);
  NTSTATUS finalStatus = 0;
  bool finished = false;
  {
    Completions out;
    std::lock_guard<std::mutex> guard(DriverMutex());
    AddCleanupWait(conn, CleanupWait{0x4242, {}, [&](NTSTATUS status, uint32_t, bool) {
                                       finalStatus = status;
                                       finished = true;
                                     }},
                   out);
  }
  CleanupDoneRecord done{};
  done.marker = kRecordMarker;
  done.connectionHandle = handle;
  done.requestId = 0x4243;
  done.status = STATUS_CANCELLED;
  EXPECT_EQ(Status(agent, IOCTL_CLEANUP_DONE, Image(done), 4), STATUS_UNSUCCESSFUL);
  done.requestId = 0x4242;
  EXPECT_EQ(Status(stranger, IOCTL_CLEANUP_DONE, Image(done), 4), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(finished);
  EXPECT_EQ(Status(agent, IOCTL_CLEANUP_DONE, Image(done), 4), STATUS_SUCCESS);
  EXPECT_TRUE(finished);
  EXPECT_EQ(finalStatus, STATUS_CANCELLED);
}

TEST(Forwarding, CleanupsLeftWaitingAreBoundedOldestFirst) {
  Peer agent(kUser);
  uint32_t handle = Register(agent, kUser, "pendingmany");
  Connection* conn = ConnectionOf(kUser, handle);
  // 1: timed out, 2: reported. Shared: waits left at the end outlive the test.
  auto endedAt = std::make_shared<std::vector<int>>(kMaxCleanupWaits + 2, 0);
  std::vector<int>& ended = *endedAt;
  auto add = [&](uint32_t index) {
    Completions out;
    {
      std::lock_guard<std::mutex> guard(DriverMutex());
      AddCleanupWait(conn, CleanupWait{0x10000 + index, {}, [endedAt, index](NTSTATUS, uint32_t, bool timedOut) {
                                         (*endedAt)[index] = timedOut ? 1 : 2;
                                       }},
                     out);
    }
    // out runs here, after the lock, as every completion does.
  };
  for (uint32_t i = 0; i < kMaxCleanupWaits; ++i) add(i);
  EXPECT_EQ(std::count(ended.begin(), ended.end(), 0), static_cast<long>(ended.size()));
  add(kMaxCleanupWaits);
  add(kMaxCleanupWaits + 1);
  // The two oldest ended as if their time had run out; the rest still wait.
  EXPECT_EQ(ended[0], 1);
  EXPECT_EQ(ended[1], 1);
  EXPECT_EQ(std::count(ended.begin() + 2, ended.end(), 0), static_cast<long>(kMaxCleanupWaits));
  // The newest still ends with what the agent reports.
  CleanupDoneRecord done{};
  done.marker = kRecordMarker;
  done.connectionHandle = handle;
  done.requestId = 0x10000 + kMaxCleanupWaits + 1;
  EXPECT_EQ(Status(agent, IOCTL_CLEANUP_DONE, Image(done), 4), STATUS_SUCCESS);
  EXPECT_EQ(ended.back(), 2);
  done.requestId = 0x10000;  // ended already
  EXPECT_EQ(Status(agent, IOCTL_CLEANUP_DONE, Image(done), 4), STATUS_UNSUCCESSFUL);
}

// A shell tool's control call for the Connection name of kUser.
InternalRequest InternCommand(const char16_t* name) {
  InternalRequest command{};
  command.marker = kRecordMarker;
  CopyWide(command.sid, kSidChars, SidOfUid(kUser));
  CopyWide(command.name, kConnectionNameChars, name);
  return command;
}

TEST(ControlCodes, InternIoctlIsForwardedOnlyForTheCallersOwnConnection) {
  Peer agent(kUser), shell(kUser), stranger(kOther);
  uint32_t handle = Register(agent, kUser, "intern");
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), kChannelBufferSize);
  InternalRequest command = InternCommand(u"intern");
  EXPECT_EQ(Status(stranger, 0x142004, Image(command), 1296), STATUS_UNSUCCESSFUL);
  InternalRequest unknown = command;
  CopyWide(unknown.name, kConnectionNameChars, u"nosuch");
  EXPECT_EQ(Status(shell, 0x142004, Image(unknown), 1296), STATUS_PENDING);
  uint32_t error;
  Bytes answer;
  ASSERT_TRUE(shell.ReadAnswer(error, answer));
  EXPECT_EQ(error, Win32ErrorFromStatus(STATUS_INVALID_DEVICE_REQUEST));

  EXPECT_EQ(Status(shell, 0x142004, Image(command), 1296), STATUS_PENDING);
  Bytes request;
  ASSERT_TRUE(agent.ReadAnswer(error, request));
  auto header = std::make_unique<RequestRecord>();
  memcpy(header.get(), request.data(), 48);
  EXPECT_EQ(header->MajorFunction, MJ_DEVICE_CONTROL);
  EXPECT_EQ(header->Parameters[2], 0x142004u);
  EXPECT_EQ(header->dataLength, 1296u);
  Bytes reply(1296, 0x5A);
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 1296, reply), kChannelBufferSize);
  ASSERT_TRUE(shell.ReadAnswer(error, answer));
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(answer, reply);
}

// A shell caller's calls are sequential: one that streams calls behind one
// its agent holds has each refused at once, and nothing of them queues.
TEST(ControlCodes, AShellCallerHasOneCallWithTheAgentAtATime) {
  Peer agent(kUser), shell(kUser), other(kUser);
  uint32_t handle = Register(agent, kUser, "held");
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 0), kChannelBufferSize);
  InternalRequest command = InternCommand(u"held");
  EXPECT_EQ(Status(shell, 0x142004, Image(command), 1296), STATUS_PENDING);
  uint32_t error;
  Bytes request;
  ASSERT_TRUE(agent.ReadAnswer(error, request));  // with the agent, unanswered
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(Status(shell, 0x142004, Image(command), 1296), STATUS_INSUFFICIENT_RESOURCES);
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    EXPECT_TRUE(Users().ConnectionByHandle(kUser, handle)->queue.empty());
  }
  // Another caller of the same user still gets its turn behind the first.
  EXPECT_EQ(Status(other, 0x142004, Image(command), 1296), STATUS_PENDING);
  Bytes reply(1296, 0x5A);
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 1296, reply), kChannelBufferSize);
  Bytes answer;
  ASSERT_TRUE(shell.ReadAnswer(error, answer));
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(answer, reply);
  // Answered, the first caller may call again.
  ASSERT_TRUE(agent.ReadAnswer(error, request));  // the other caller's call
  HandleControl(agent.peer, IOCTL_GET_REQUEST, ReplyImage(handle, 0, 1296, reply), kChannelBufferSize);
  ASSERT_TRUE(other.ReadAnswer(error, answer));
  EXPECT_EQ(Status(shell, 0x142004, Image(command), 1296), STATUS_PENDING);
}

TEST(Forwarding, PendingCleanupOfASilentAgentEndsAsTimedOut) {
  Peer agent(kUser);
  uint32_t handle = Register(agent, kUser, "upload");
  Connection* conn = ConnectionOf(kUser, handle);
  bool timedOut = false, finished = false;
  Completions out;
  std::lock_guard<std::mutex> guard(DriverMutex());
  AddCleanupWait(conn, CleanupWait{0x99, {}, [&](NTSTATUS, uint32_t, bool late) {
                                     finished = true;
                                     timedOut = late;
                                   }},
                 out);
  conn->slot->everPinged = false;
  conn->slot->timeoutSeconds = LivenessSeconds();  // as after a ping
  CheckLiveness(Clock::now() + std::chrono::seconds(5), out);
  out.Run();
  EXPECT_FALSE(finished);
  CheckLiveness(Clock::now() + std::chrono::seconds(16), out);
  out.Run();
  EXPECT_TRUE(finished);
  EXPECT_TRUE(timedOut);
  EXPECT_TRUE(conn->cleanupWaits.empty());
}

TEST(UserSlots, ASlotIsReleasedWhenItsUserLeftAndGivenBackOnReturn) {
  constexpr uid_t kLeaving = 6100;
  Peer agent(kLeaving);
  uint32_t handle = Register(agent, kLeaving, "away");
  Connection* conn = ConnectionOf(kLeaving, handle);
  auto slotOf = [] {
    std::lock_guard<std::mutex> guard(DriverMutex());
    return Users().FindSlot(SidOfUid(kLeaving));
  };
  auto release = [](Clock::time_point now) {
    Completions out;
    std::lock_guard<std::mutex> guard(DriverMutex());
    // The other tests' users stay: they count as connected meanwhile.
    std::vector<uid_t> others;
    for (UserSlot* slot : Users().UsedSlots())
      if (slot->uid != kLeaving) others.push_back(slot->uid);
    for (uid_t uid : others) Users().PeerOpened(uid);
    Users().ReleaseIdleSlots(now, out);
    for (uid_t uid : others) Users().PeerClosed(uid);
  };
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Users().PeerOpened(kLeaving);
  }
  release(Clock::now() + std::chrono::hours(1));
  EXPECT_GE(slotOf(), 0);  // a control connection is still open
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Users().PeerClosed(kLeaving);
  }
  release(Clock::now());
  EXPECT_GE(slotOf(), 0);  // its Connection is active and it registered just now
  release(Clock::now() + std::chrono::seconds(16));
  EXPECT_LT(slotOf(), 0);  // silent past the liveness time: released
  EXPECT_FALSE(conn->active);
  uint32_t again = Register(agent, kLeaving, "away");
  EXPECT_NE(again, 0u);
  EXPECT_EQ(ConnectionOf(kLeaving, again), conn);  // the same Connection comes back
  EXPECT_TRUE(conn->active);
  // Pings with the slot handle of before find the slot again.
  PingRecord ping{};
  ping.marker = kRecordMarker;
  ping.slotHandle = 0x5100000Bu;
  CopyWide(ping.sid, kSidChars, SidOfUid(kLeaving));
  auto answer = HandleControl(agent.peer, IOCTL_PING, Image(ping), sizeof ping);
  ASSERT_TRUE(answer.has_value());
  memcpy(&ping, answer->output.data(), sizeof ping);
  EXPECT_NE(ping.slotHandle, 0x5100000Bu);
  EXPECT_NE(ping.slotHandle, 0u);
}

// Kept last: it fills the user table for the rest of the process.
TEST(UserSlots, TheEleventhUserGetsTheTableFullStatus) {
  NTSTATUS status = STATUS_SUCCESS;
  uid_t uid = 7000;
  int added = 0;
  while (status == STATUS_SUCCESS && added <= kUserSlotCount) {
    Peer peer(++uid);
    Register(peer, uid, "home", &status);
    if (status == STATUS_SUCCESS) ++added;
  }
  EXPECT_EQ(status, STATUS_NO_FREE_USER_SLOT);
  EXPECT_LE(added, kUserSlotCount);
  EXPECT_EQ(Win32ErrorFromStatus(status), 0xFFFFFFFEu);
  Peer known(7001);
  Register(known, 7001, "second", &status);  // users already in the table still register
  EXPECT_EQ(status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace hvm::driver
