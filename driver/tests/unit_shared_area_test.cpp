// The shared data area between the driver and an agent, without a mount:
// agreed only with wide pieces, handed over sealed, its slots lent one
// request at a time, and every length the agent reports checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "driver/control_codes.h"
#include "driver/forwarding.h"
#include "driver/user_slots.h"
#include "platform/data_area.h"
#include "platform/wide_text.h"

namespace hvm::driver {
namespace {

// The user the other driver tests register too: the table may be full of
// made-up users by the time these run in the same process.
constexpr uid_t kUser = 5000;

using Bytes = std::vector<uint8_t>;

template <typename Record>
Bytes Image(const Record& record) {
  return Bytes(reinterpret_cast<const uint8_t*>(&record),
               reinterpret_cast<const uint8_t*>(&record) + sizeof record);
}

struct Agent {
  explicit Agent(uid_t uid) {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peer = std::make_shared<ControlPeer>(fds[0], uid);
  }
  ~Agent() {
    peer->MarkClosed();
    close(fds[0]);
    close(fds[1]);
  }
  // The next request the driver handed over: header and inline data.
  bool NextRequest(Bytes& request) {
    pollfd wait{fds[1], POLLIN, 0};
    if (poll(&wait, 1, 2000) != 1) return false;
    uint32_t header[2];
    if (read(fds[1], header, sizeof header) != sizeof header) return false;
    request.assign(header[1], 0);
    size_t got = 0;
    while (got < request.size()) {
      ssize_t n = read(fds[1], request.data() + got, request.size() - got);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }
  int fds[2];
  std::shared_ptr<ControlPeer> peer;
};

uint32_t Register(Agent& agent, const char* name, uint32_t ask, uint32_t* agreed = nullptr) {
  ConnectionRecord record{};
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, SidOfUid(kUser));
  CopyWide(record.name, kConnectionNameChars, Utf8ToUtf16(name));
  record.reserved = ask;
  auto answer = HandleControl(agent.peer, IOCTL_CONNECT, Image(record), sizeof record);
  EXPECT_EQ(answer->status, STATUS_SUCCESS);
  memcpy(&record, answer->output.data(), std::min(answer->output.size(), sizeof record));
  if (agreed) *agreed = record.reserved;
  return record.connectionHandle;
}

Connection* ConnectionOf(uint32_t handle) {
  std::lock_guard<std::mutex> guard(DriverMutex());
  return Users().ConnectionByHandle(kUser, handle);
}

// A Connection of wide pieces with a shared area, registered as name.
Connection* AreaConnection(Agent& agent, const char* name, uint32_t& handle) {
  handle = Register(agent, name, kAskWidePieces | kAskSharedArea);
  return ConnectionOf(handle);
}

// The loop's IOCTL_GET_REQUEST: a reply (header only) and whether its area is mapped.
void HandIn(Agent& agent, uint32_t handle, bool areaMapped, NTSTATUS status = 0,
            uint32_t information = 0) {
  ReplyRecord header{};
  Bytes reply(kGetRequestMinIn, 0);
  header.marker = kRecordMarker;
  header.loopFlags = areaMapped ? kLoopAreaMapped : 0;
  header.connectionHandle = handle;
  header.status = status;
  header.information = information;
  memcpy(reply.data(), &header, kReplyHeaderSize);
  auto answer = HandleControl(agent.peer, IOCTL_GET_REQUEST, reply, kWideChannelBufferSize);
  EXPECT_FALSE(answer.has_value());
}

void Submit(Connection* conn, ForwardPtr forward) {
  Completions out;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    SubmitForward(conn, std::move(forward), out);
  }
  out.Run();
}

ForwardPtr Read(uint32_t length, ForwardResult* result) {
  auto forward = std::make_shared<Forward>();
  forward->major = MJ_READ;
  forward->words[0] = length;
  forward->data = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                   static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  forward->outputLength = length;
  forward->done = [result](ForwardResult& answer) { *result = answer; };
  return forward;
}

uint32_t SlotWord(const Bytes& request) {
  uint32_t word;
  memcpy(&word, request.data() + offsetof(RequestRecord, sharedSlot), 4);
  return word;
}

uint32_t DataLength(const Bytes& request) {
  uint32_t length;
  memcpy(&length, request.data() + offsetof(RequestRecord, dataLength), 4);
  return length;
}

TEST(SharedArea, AgreedWithWidePiecesOnlyAndHandedOverWithItsDescriptor) {
  Agent agent(kUser);
  uint32_t agreed = 0;
  uint32_t narrow = Register(agent, "area-narrow", kAskSharedArea, &agreed);
  EXPECT_EQ(agreed, 0u);  // a slot holds a wide piece: no area for 64 KiB pieces
  EXPECT_FALSE(ConnectionOf(narrow)->area);
  uint32_t handle = Register(agent, "area-wide", kAskWidePieces | kAskSharedArea, &agreed);
  EXPECT_EQ(agreed, kAgreedWidePieces | kAgreedSharedArea);
  Connection* conn = ConnectionOf(handle);
  ASSERT_TRUE(conn->area);
  const SharedArea* first = conn->area.get();
  // Registered again: the same area, not another one.
  Register(agent, "area-wide", kAskWidePieces | kAskSharedArea, &agreed);
  EXPECT_EQ(conn->area.get(), first);

  SharedAreaRecord ask{};
  ask.marker = kRecordMarker;
  ask.connectionHandle = handle;
  auto answer = HandleControl(agent.peer, IOCTL_SHARED_AREA, Image(ask), sizeof ask);
  ASSERT_TRUE(answer.has_value());
  ASSERT_EQ(answer->status, STATUS_SUCCESS);
  ASSERT_EQ(answer->area.get(), first);
  SharedAreaRecord record{};
  ASSERT_EQ(answer->output.size(), sizeof record);
  memcpy(&record, answer->output.data(), sizeof record);
  EXPECT_EQ(record.slotCount, kSharedSlotCount);
  EXPECT_EQ(record.slotSize, kSharedSlotSize);
  EXPECT_EQ(record.areaSize, kSharedAreaSize);

  // Not for a Connection without one, another user's, a short or unmarked call.
  ask.connectionHandle = narrow;
  EXPECT_EQ(HandleControl(agent.peer, IOCTL_SHARED_AREA, Image(ask), sizeof ask)->status, STATUS_UNSUCCESSFUL);
  ask.connectionHandle = handle;
  Agent stranger(kUser + 77);
  EXPECT_EQ(HandleControl(stranger.peer, IOCTL_SHARED_AREA, Image(ask), sizeof ask)->status,
            STATUS_UNSUCCESSFUL);
  Bytes shortCall = Image(ask);
  shortCall.resize(kSharedAreaMinIn - 1);
  EXPECT_EQ(HandleControl(agent.peer, IOCTL_SHARED_AREA, shortCall, sizeof ask)->status, STATUS_UNSUCCESSFUL);
  ask.marker = 0;
  EXPECT_EQ(HandleControl(agent.peer, IOCTL_SHARED_AREA, Image(ask), sizeof ask)->status, STATUS_UNSUCCESSFUL);
  ask.marker = kRecordMarker;
  EXPECT_EQ(HandleControl(agent.peer, IOCTL_SHARED_AREA, Image(ask), sizeof ask - 1)->status,
            STATUS_UNSUCCESSFUL);

  // The descriptor crosses the socket with the answer's first byte.
  ASSERT_TRUE(agent.peer->AnswerWithDescriptor(answer->status, answer->output.data(),
                                               static_cast<uint32_t>(answer->output.size()),
                                               sizeof record, answer->area->descriptor()));
  uint8_t frame[8 + sizeof record];
  iovec part{frame, sizeof frame};
  alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int))];
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ASSERT_EQ(recvmsg(agent.fds[1], &message, MSG_CMSG_CLOEXEC), static_cast<ssize_t>(sizeof frame));
  cmsghdr* rights = CMSG_FIRSTHDR(&message);
  ASSERT_NE(rights, nullptr);
  ASSERT_EQ(rights->cmsg_type, SCM_RIGHTS);
  int fd;
  memcpy(&fd, CMSG_DATA(rights), sizeof fd);
  EXPECT_TRUE(IsSealedDataArea(fd, kSharedAreaSize));

  // A hostile agent can neither shrink nor grow the area, nor take the seals
  // off: the root daemon's mapping never loses a page under it.
  EXPECT_EQ(ftruncate(fd, 4096), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(ftruncate(fd, kSharedAreaSize * 2), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(fallocate(fd, 0, 0, kSharedAreaSize * 2), -1);
  EXPECT_EQ(fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096), 0);  // zeros, no fault
  // What it writes, the driver sees: the same pages.
  void* view = mmap(nullptr, kSharedAreaSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(view, MAP_FAILED);
  static_cast<uint8_t*>(view)[kSharedSlotSize + 5] = 0x5A;
  EXPECT_EQ(first->SlotData(1)[5], 0x5A);
  EXPECT_EQ(first->SlotData(0)[0], 0);
  munmap(view, kSharedAreaSize);
  close(fd);
}

TEST(SharedArea, AReadIsAnsweredInItsSlotAndALengthBeyondTheReadIsRefused) {
  Agent agent(kUser);
  uint32_t handle = 0;
  Connection* conn = AreaConnection(agent, "area-reads", handle);
  ASSERT_TRUE(conn->area);
  const uint32_t length = 300000;
  HandIn(agent, handle, true);
  ForwardResult result;
  Submit(conn, Read(length, &result));
  Bytes request;
  ASSERT_TRUE(agent.NextRequest(request));
  uint32_t slot = SlotWord(request);
  ASSERT_NE(slot & kSlotNamed, 0u);
  uint32_t index = slot & ~kSlotNamed;
  ASSERT_LT(index, kSharedSlotCount);
  EXPECT_EQ(conn->area->FreeSlots(), kSharedSlotCount - 1);
  // The agent fills more than it says it read: what it did not claim reads as zeros.
  memset(conn->area->SlotData(index), 0x77, kSharedSlotSize);
  HandIn(agent, handle, true, STATUS_SUCCESS, length - 1000);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_TRUE(result.slot);
  EXPECT_TRUE(result.data.empty());
  ASSERT_EQ(ResultSize(result), length);
  const uint8_t* bytes = ResultBytes(result);
  EXPECT_EQ(bytes[0], 0x77);
  EXPECT_EQ(bytes[length - 1001], 0x77);
  EXPECT_EQ(bytes[length - 1000], 0);
  EXPECT_EQ(bytes[length - 1], 0);
  // The slot is held while the result lives.
  EXPECT_EQ(conn->area->FreeSlots(), kSharedSlotCount - 1);
  result = ForwardResult{};
  EXPECT_EQ(conn->area->FreeSlots(), kSharedSlotCount);

  // More than the read asked for is refused and nothing of the slot is taken.
  Submit(conn, Read(length, &result));
  ASSERT_TRUE(agent.NextRequest(request));
  ASSERT_NE(SlotWord(request), 0u);
  HandIn(agent, handle, true, STATUS_SUCCESS, length + 1);
  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(result.slot);
  EXPECT_EQ(result.data, Bytes(length, 0));
  // And so is a slot's worth plus one.
  Submit(conn, Read(kSharedSlotSize, &result));
  ASSERT_TRUE(agent.NextRequest(request));
  ASSERT_NE(SlotWord(request), 0u);
  HandIn(agent, handle, true, STATUS_SUCCESS, kSharedSlotSize + 1);
  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(result.slot);
  // A failed read carries zeros, as inline.
  Submit(conn, Read(length, &result));
  ASSERT_TRUE(agent.NextRequest(request));
  HandIn(agent, handle, true, STATUS_ACCESS_DENIED, length);
  EXPECT_EQ(result.status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(result.data, Bytes(length, 0));
  EXPECT_EQ(conn->area->FreeSlots(), kSharedSlotCount);
  // A small read goes inline: the socket carries it as cheaply.
  Submit(conn, Read(4096, &result));
  ASSERT_TRUE(agent.NextRequest(request));
  EXPECT_EQ(SlotWord(request), 0u);
  HandIn(agent, handle, true, STATUS_SUCCESS, 4096);
  EXPECT_EQ(result.data.size(), 4096u);
}

TEST(SharedArea, NoFreeSlotOrALoopWithoutTheAreaTakesTheInlinePath) {
  Agent agent(kUser);
  uint32_t handle = 0;
  Connection* conn = AreaConnection(agent, "area-full", handle);
  ASSERT_TRUE(conn->area);
  // Every slot lent out (completions still holding them): the read goes inline.
  std::vector<std::shared_ptr<SlotLease>> held;
  while (auto lease = SlotLease::Take(conn->area)) held.push_back(lease);
  ASSERT_EQ(held.size(), kSharedSlotCount);
  const uint32_t length = 200000;
  HandIn(agent, handle, true);
  ForwardResult result;
  Submit(conn, Read(length, &result));
  Bytes request;
  ASSERT_TRUE(agent.NextRequest(request));
  EXPECT_EQ(SlotWord(request), 0u);
  EXPECT_EQ(DataLength(request), 4u);
  Bytes reply(kReplyHeaderSize + length, 0x42);
  ReplyRecord header{};
  header.marker = kRecordMarker;
  header.loopFlags = kLoopAreaMapped;
  header.connectionHandle = handle;
  header.information = length;
  memcpy(reply.data(), &header, kReplyHeaderSize);
  EXPECT_FALSE(HandleControl(agent.peer, IOCTL_GET_REQUEST, reply, kWideChannelBufferSize).has_value());
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_FALSE(result.slot);
  EXPECT_EQ(result.data, Bytes(length, 0x42));

  // One slot given back: the next read takes it.
  held.pop_back();
  Submit(conn, Read(length, &result));
  ASSERT_TRUE(agent.NextRequest(request));
  EXPECT_EQ(SlotWord(request), kSlotNamed | (kSharedSlotCount - 1));
  HandIn(agent, handle, false, STATUS_SUCCESS, length);
  EXPECT_TRUE(result.slot);
  result = ForwardResult{};
  held.clear();

  // A loop that has not mapped the area gets no slot for a read, and a write
  // whose bytes wait in a slot reaches it inline, byte for byte.
  Submit(conn, Read(length, &result));
  ASSERT_TRUE(agent.NextRequest(request));
  EXPECT_EQ(SlotWord(request), 0u);
  auto write = std::make_shared<Forward>();
  write->major = MJ_WRITE;
  write->words[0] = 70000;
  write->slot = SlotLease::Take(conn->area);
  ASSERT_TRUE(write->slot);
  for (uint32_t i = 0; i < 70000; ++i) write->slot->data()[i] = static_cast<uint8_t>(i * 13);
  write->slotBytes = 70000;
  ForwardResult written;
  write->done = [&written](ForwardResult& answer) { written = answer; };
  Submit(conn, write);
  write.reset();
  HandIn(agent, handle, false, STATUS_SUCCESS, length);
  ASSERT_TRUE(agent.NextRequest(request));
  EXPECT_EQ(SlotWord(request), 0u);
  ASSERT_EQ(DataLength(request), 70000u);
  for (uint32_t i = 0; i < 70000; i += 997)
    ASSERT_EQ(request[kRequestHeaderSize + i], static_cast<uint8_t>(i * 13)) << i;
  HandIn(agent, handle, true, STATUS_SUCCESS, 70000);  // this call has the area mapped
  EXPECT_EQ(written.status, STATUS_SUCCESS);
  EXPECT_EQ(conn->area->FreeSlots(), kSharedSlotCount);

  // With the area mapped the write names its slot and carries no data.
  write = std::make_shared<Forward>();
  write->major = MJ_WRITE;
  write->words[0] = 5000;
  write->slot = SlotLease::Take(conn->area);
  write->slotBytes = 5000;
  uint32_t index = write->slot->index();
  write->done = [&written](ForwardResult& answer) { written = answer; };
  Submit(conn, write);
  write.reset();
  ASSERT_TRUE(agent.NextRequest(request));
  EXPECT_EQ(SlotWord(request), kSlotNamed | index);
  EXPECT_EQ(DataLength(request), 0u);
  EXPECT_EQ(conn->area->FreeSlots(), kSharedSlotCount - 1);  // held until the agent answered
  HandIn(agent, handle, true, STATUS_SUCCESS, 5000);
  EXPECT_EQ(written.status, STATUS_SUCCESS);
  EXPECT_EQ(conn->area->FreeSlots(), kSharedSlotCount);
}

// Whether the agent's end of the socket has a request waiting, right now.
bool RequestWaiting(Agent& agent) {
  pollfd wait{agent.fds[1], POLLIN, 0};
  return poll(&wait, 1, 0) == 1;
}

TEST(SharedArea, TheAgentHasItsNextRequestBeforeASlotReadIsAnswered) {
  Agent agent(kUser);
  uint32_t handle = 0;
  Connection* conn = AreaConnection(agent, "area-overlap", handle);
  ASSERT_TRUE(conn->area);
  HandIn(agent, handle, true);
  // A read's last piece: its answer to the kernel waits until the next
  // request is with the agent, so the two overlap.
  ForwardResult first, second;
  bool nextWasOut = false;
  auto last = Read(500000, &first);
  last->answersOnly = true;
  last->done = [&](ForwardResult& answer) {
    nextWasOut = RequestWaiting(agent);
    first = answer;
  };
  Submit(conn, last);
  Bytes request;
  ASSERT_TRUE(agent.NextRequest(request));
  Submit(conn, Read(500000, &second));
  HandIn(agent, handle, true, STATUS_SUCCESS, 500000);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_TRUE(first.slot);
  EXPECT_TRUE(nextWasOut);
  ASSERT_TRUE(agent.NextRequest(request));
  EXPECT_NE(SlotWord(request), 0u);  // the first's slot still held, another one lent

  // Any other answer is delivered first: its completion may queue a
  // follow-up that must go out before what waits in the queue.
  auto follower = Read(500000, &first);
  follower->done = [&](ForwardResult& answer) {
    nextWasOut = RequestWaiting(agent);
    first = answer;
  };
  Submit(conn, follower);
  HandIn(agent, handle, true, STATUS_SUCCESS, 500000);  // answers the second read
  ASSERT_TRUE(agent.NextRequest(request));
  Submit(conn, Read(500000, &second));
  HandIn(agent, handle, true, STATUS_SUCCESS, 500000);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_FALSE(nextWasOut);
  ASSERT_TRUE(agent.NextRequest(request));
  HandIn(agent, handle, true, STATUS_SUCCESS, 500000);
  first = second = ForwardResult{};
  last.reset();
  follower.reset();
  EXPECT_EQ(conn->area->FreeSlots(), kSharedSlotCount);
}

TEST(SharedArea, AFailedOrLostRequestGivesItsSlotBack) {
  Agent agent(kUser);
  uint32_t handle = 0;
  Connection* conn = AreaConnection(agent, "area-lost", handle);
  ASSERT_TRUE(conn->area);
  HandIn(agent, handle, true);
  ForwardResult result;
  Submit(conn, Read(500000, &result));
  Bytes request;
  ASSERT_TRUE(agent.NextRequest(request));
  ASSERT_NE(SlotWord(request), 0u);
  EXPECT_EQ(conn->area->FreeSlots(), kSharedSlotCount - 1);
  {
    Completions out;
    {
      std::lock_guard<std::mutex> guard(DriverMutex());
      ForgetPeer(agent.peer.get(), out);
    }
    out.Run();
  }
  EXPECT_TRUE(result.channelFailure);
  EXPECT_FALSE(result.slot);
  EXPECT_EQ(result.data, Bytes(500000, 0));
  EXPECT_EQ(conn->area->FreeSlots(), kSharedSlotCount);
}

TEST(DataArea, OnlyASealedMemoryFileOfTheAgreedSizeIsTaken) {
  int sealed = MakeDataArea(kSharedAreaSize);
  ASSERT_GE(sealed, 0);
  EXPECT_TRUE(IsSealedDataArea(sealed, kSharedAreaSize));
  EXPECT_FALSE(IsSealedDataArea(sealed, kSharedAreaSize - 1));
  EXPECT_NE(fcntl(sealed, F_GETFD) & FD_CLOEXEC, 0);
  close(sealed);
  // A memory file without the seals could be shrunk under the mapping.
  int open = memfd_create("unsealed", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  ASSERT_GE(open, 0);
  ASSERT_EQ(ftruncate(open, kSharedAreaSize), 0);
  EXPECT_FALSE(IsSealedDataArea(open, kSharedAreaSize));
  ASSERT_EQ(fcntl(open, F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SEAL), 0);  // growing only
  EXPECT_FALSE(IsSealedDataArea(open, kSharedAreaSize));
  close(open);
  // A plain file, a pipe, nothing.
  FILE* plain = tmpfile();
  ASSERT_NE(plain, nullptr);
  ASSERT_EQ(ftruncate(fileno(plain), kSharedAreaSize), 0);
  EXPECT_FALSE(IsSealedDataArea(fileno(plain), kSharedAreaSize));
  fclose(plain);
  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  EXPECT_FALSE(IsSealedDataArea(pipes[0], kSharedAreaSize));
  close(pipes[0]);
  close(pipes[1]);
  EXPECT_FALSE(IsSealedDataArea(-1, kSharedAreaSize));
}

size_t AreasHeld(uid_t uid) {
  size_t held = 0;
  std::lock_guard<std::mutex> guard(DriverMutex());
  Users().ForEachConnection([&held, uid](Connection& conn) {
    if (conn.slot && conn.slot->uid == uid && conn.area) ++held;
  });
  return held;
}

// Kept last: it uses up the user's areas for the rest of the process.
TEST(SharedArea, AUsersAreasAreCountedAndLimited) {
  Agent agent(kUser);
  const size_t before = AreasHeld(kUser);
  size_t registered = 0, agreedCount = 0;
  for (int i = 0; i < 12; ++i) {
    ConnectionRecord record{};
    record.marker = kRecordMarker;
    CopyWide(record.sid, kSidChars, SidOfUid(kUser));
    CopyWide(record.name, kConnectionNameChars, Utf8ToUtf16("area-count-" + std::to_string(i)));
    record.reserved = kAskWidePieces | kAskSharedArea;
    auto answer = HandleControl(agent.peer, IOCTL_CONNECT, Image(record), sizeof record);
    if (answer->status != STATUS_SUCCESS) break;  // the user's 25 names are taken
    ++registered;
    memcpy(&record, answer->output.data(), sizeof record);
    EXPECT_NE(record.reserved & kAgreedWidePieces, 0u);  // wide pieces stay agreed past the limit
    if (record.reserved & kAgreedSharedArea) ++agreedCount;
  }
  ASSERT_GT(registered, 0u);
  const size_t limit = SharedAreasPerUser();
  EXPECT_EQ(AreasHeld(kUser), std::min(limit, before + registered));
  EXPECT_EQ(agreedCount, std::min(registered, limit - std::min(limit, before)));
}

}  // namespace
}  // namespace hvm::driver
