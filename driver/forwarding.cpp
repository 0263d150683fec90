#include "driver/forwarding.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "driver/trace.h"
#include "driver/user_slots.h"
#include "platform/wide_text.h"

namespace hvm::driver {

namespace {
std::atomic<uint32_t> g_nextRequestId{0x00A10000};

const char* OperationName(uint8_t major) {
  switch (major) {
    case MJ_CREATE: return "MJ_CREATE";
    case MJ_CLOSE: return "MJ_CLOSE";
    case MJ_READ: return "MJ_READ";
    case MJ_WRITE: return "MJ_WRITE";
    case MJ_QUERY_INFORMATION: return "MJ_QUERY_INFORMATION";
    case MJ_SET_INFORMATION: return "MJ_SET_INFORMATION";
    case MJ_FLUSH_BUFFERS: return "MJ_FLUSH_BUFFERS";
    case MJ_DIRECTORY_CONTROL: return "MJ_DIRECTORY_CONTROL";
    case MJ_DEVICE_CONTROL: return "MJ_DEVICE_CONTROL";
    case MJ_TOKEN_REPLACE: return "MJ_INTERNAL_DEVICE_CONTROL";
    case MJ_LOCK_CONTROL: return "MJ_LOCK_CONTROL";
    case MJ_CLEANUP: return "MJ_CLEANUP";
    case MJ_CONTENT_PUSH: return "MJ_CONTENT_PUSH";
    default: return "MJ_UNKNOWN";
  }
}

bool IsCloseOrCleanup(uint8_t major) { return major == MJ_CLOSE || major == MJ_CLEANUP; }

// Close and cleanup never fail because of the channel.
void CorrectCloseResult(const Forward& forward, ForwardResult& result) {
  if (!IsCloseOrCleanup(forward.major)) return;
  if (result.status != STATUS_INVALID_DEVICE_REQUEST &&
      result.status != STATUS_OBJECT_NAME_NOT_FOUND)
    return;
  Trace("Err: (corrected) %s\n", OperationName(forward.major));
  result.status = STATUS_SUCCESS;
  result.information = 4;
  result.corrected = true;
}

void Deliver(ForwardPtr forward, ForwardResult result, Completions& out) {
  if (!forward->done) return;
  // Moved, not copied: a read's data is a whole piece.
  out.Add([forward, result = std::move(result)]() mutable { forward->done(result); });
}

void Fail(ForwardPtr forward, bool timedOut, Completions& out) {
  ForwardResult result = ChannelFailure(*forward, timedOut);
  CorrectCloseResult(*forward, result);
  Deliver(std::move(forward), std::move(result), out);
}

// A reply whose fields make no sense for the request is refused here, and so
// is one larger than the Connection's buffer: nothing of it is taken.
ForwardResult ReadReply(const Forward& forward, const uint8_t* reply, size_t replyLength,
                        size_t pieceSize) {
  if (replyLength > ChannelBufferSizeFor(pieceSize)) {
    Trace("Err: reply of %zu bytes is larger than a piece of %zu (mj=%s)\n", replyLength, pieceSize,
          OperationName(forward.major));
    ForwardResult refused;
    refused.status = STATUS_UNSUCCESSFUL;
    refused.data.assign(forward.outputLength, 0);
    return refused;
  }
  // The header alone: a whole ReplyRecord would be a megabyte to clear.
  uint8_t header[kReplyHeaderSize] = {};
  memcpy(header, reply, std::min(replyLength, kReplyHeaderSize));
  ForwardResult result;
  memcpy(&result.status, header + offsetof(ReplyRecord, status), 4);
  memcpy(&result.information, header + offsetof(ReplyRecord, information), 4);
  memcpy(&result.value, header + offsetof(ReplyRecord, value), 4);
  if (result.status == STATUS_PENDING && !IsCloseOrCleanup(forward.major)) {
    Trace("Err: PENDING for %s refused\n", OperationName(forward.major));
    result.status = STATUS_UNSUCCESSFUL;
  }
  if (forward.major == MJ_READ && forward.slot) {
    // Answered in the slot: the agent says how much it read, which must fit
    // what was asked; the rest of the answer reads as zeros.
    if (result.status == STATUS_SUCCESS && result.information > forward.outputLength) {
      Trace("Err: read of %u bytes into a slot of %u refused\n", result.information,
            forward.outputLength);
      result.status = STATUS_UNSUCCESSFUL;
    }
    if (result.status == STATUS_SUCCESS) {
      uint8_t* bytes = forward.slot->data();
      memset(bytes + result.information, 0, forward.outputLength - result.information);
      result.slot = forward.slot;
      result.slotLength = forward.outputLength;
    } else {
      result.data.assign(forward.outputLength, 0);
      Trace("Err: %x(mj=%s) FileObj=%x\n", result.status, OperationName(forward.major),
            forward.fileObject);
    }
    return result;
  }
  size_t available = replyLength > kReplyHeaderSize ? replyLength - kReplyHeaderSize : 0;
  size_t take = std::min<size_t>({forward.outputLength, pieceSize, available});
  if (forward.major != MJ_WRITE && take > 0)
    result.data.assign(reply + kReplyHeaderSize, reply + kReplyHeaderSize + take);
  result.data.resize(forward.outputLength);  // zeros past what the agent sent
  if (result.status != STATUS_SUCCESS) {
    Trace("Err: %x(mj=%s) FileObj=%x\n", result.status, OperationName(forward.major),
          forward.fileObject);
    if (result.status == STATUS_PENDING) Trace("Err: PENDING\n");
  }
  CorrectCloseResult(forward, result);
  return result;
}

void StartRound(Forward& forward) { forward.roundStart = Clock::now(); }

// Reads below this go inline: the socket carries them as cheaply.
constexpr uint32_t kSlotWorthBytes = 16384;

// Picks where a request's bytes travel for the loop that takes it: a read of
// some size gets a free slot for its answer when the loop has the area
// mapped; a write whose bytes wait in a slot goes inline after all when the
// loop does not (one copy more, as before the area).
void PlaceData(Connection& conn, Forward& forward, const PendingAgentCall& call) {
  bool usable = call.areaMapped && conn.area;
  if (forward.slot && (!usable || forward.slot->area() != conn.area.get())) {
    const uint8_t* bytes = forward.slot->data();
    forward.data.assign(bytes, bytes + forward.slotBytes);
    forward.slot.reset();
    forward.slotBytes = 0;
    return;
  }
  if (forward.major == MJ_READ && usable && !forward.slot && forward.outputLength >= kSlotWorthBytes &&
      forward.outputLength <= conn.area->slotSize())
    forward.slot = SlotLease::Take(conn.area);  // none free: inline
}

// Hands queued requests to the agent or fails them, until one is in flight
// or the agent is not there to take the next.
void Pump(Connection* conn, Completions& out) {
  while (!conn->inFlight && !conn->queue.empty()) {
    ForwardPtr forward = conn->queue.front();
    if (!conn->hasRequestBuffer) {
      Trace("Err UserMode: pcomOutBuf||pcomInBuf==NULL!!! (mj=%s)\n", OperationName(forward->major));
      conn->queue.pop_front();
      Fail(forward, false, out);
      continue;
    }
    if (!conn->active) {
      Trace("Err TIMEOUT 1: %d (mj=%s)\n", 0, OperationName(forward->major));
      conn->queue.pop_front();
      Fail(forward, false, out);
      continue;
    }
    if (!conn->agentCall) {
      if (forward->roundStart == Clock::time_point{}) {
        Trace("KeWaitForSingleObject 1: (mj=%s)\n", OperationName(forward->major));
        StartRound(*forward);
      }
      return;
    }
    conn->queue.pop_front();
    if (forward->data.size() > conn->pieceSize || forward->outputLength > conn->pieceSize) {
      // Cut, it would be acknowledged as whole: it fails instead.
      Trace("Err: %s of %zu bytes is larger than the Connection's piece\n",
            OperationName(forward->major), std::max<size_t>(forward->data.size(), forward->outputLength));
      Fail(forward, false, out);
      continue;
    }
    forward->requestId = g_nextRequestId.fetch_add(1);
    if (forward->sizeAtHandOver) forward->fileValue = forward->sizeAtHandOver();
    StartRound(*forward);
    conn->inFlight = forward;
    conn->inFlightPeer = conn->agentCall->peer.get();
    PendingAgentCall call = std::move(*conn->agentCall);
    conn->agentCall.reset();
    PlaceData(*conn, *forward, call);
    // The header, the forward's own data and the three bytes after them go
    // out gathered: a wide piece is not copied into an image first.
    auto header = std::make_shared<std::array<uint8_t, kRequestHeaderSize>>();
    size_t dataLength = WriteRequestHeader(*forward, *header, conn->pieceSize);
    out.Add([call, header, forward, dataLength] {
      static constexpr uint8_t kTail[kRequestReturnExtra - kRequestHeaderSize] = {};
      call.peer->Answer(STATUS_SUCCESS,
                        {{header->data(), header->size()},
                         {forward->data.data(), dataLength},
                         {kTail, sizeof kTail}},
                        call.outLength);
    });
  }
}

// One round of the liveness wait has ended for something begun at start.
// Returns true when the wait is over for good (the agent is silent).
bool RoundExpired(UserSlot* slot, Clock::time_point& start, Clock::time_point now) {
  if (start == Clock::time_point{}) return false;
  if (now - start < std::chrono::seconds(slot->timeoutSeconds)) return false;
  if (AgentAlive(slot->lastPing, slot->everPinged, now)) {
    start = now;  // a pinging agent keeps the request waiting
    return false;
  }
  Trace("**The ping's failed status=%x\n", 0x102u);
  slot->timeoutSeconds = 1;
  return true;
}

// Ends a cleanup wait as one whose time ran out: the agent never told the
// upload's end. The caller takes it out of the Connection.
void EndAsTimedOut(CleanupWait& wait, Completions& out) {
  out.Add([done = std::move(wait.done)] { done(STATUS_SUCCESS, 0, true); });
}

void CheckConnection(Connection& conn, Clock::time_point now, Completions& out) {
  UserSlot* slot = conn.slot;
  if (conn.inFlight && RoundExpired(slot, conn.inFlight->roundStart, now)) {
    Trace("Err TIMEOUT 2: %u (mj=%s)\n", slot->timeoutSeconds, OperationName(conn.inFlight->major));
    ForwardPtr forward = std::move(conn.inFlight);
    conn.inFlight.reset();
    Fail(forward, true, out);
    SuspendConnection(&conn, out);
  } else if (!conn.inFlight && !conn.queue.empty() && !conn.agentCall &&
             RoundExpired(slot, conn.queue.front()->roundStart, now)) {
    ForwardPtr forward = conn.queue.front();
    Trace("Err TIMEOUT 1: %u (mj=%s)\n", slot->timeoutSeconds, OperationName(forward->major));
    conn.queue.pop_front();
    Fail(forward, true, out);
    Pump(&conn, out);
  }
  for (auto it = conn.cleanupWaits.begin(); it != conn.cleanupWaits.end();) {
    if (RoundExpired(slot, it->second.roundStart, now)) {
      EndAsTimedOut(it->second, out);
      it = conn.cleanupWaits.erase(it);
    } else {
      ++it;
    }
  }
}

std::mutex g_threadLock;
std::condition_variable g_threadWake;
bool g_stop = false;
std::thread g_livenessThread;
}  // namespace

size_t WriteRequestHeader(const Forward& forward, std::array<uint8_t, kRequestHeaderSize>& header,
                          size_t pieceSize) {
  size_t dataLength = std::min(forward.data.size(), pieceSize);
  // Only the header is built field by field: a whole RequestRecord would be
  // another megabyte to clear for every request.
  header.fill(0);
  auto put = [&header](size_t offset, const void* value, size_t size) {
    memcpy(header.data() + offset, value, size);
  };
  put(offsetof(RequestRecord, MajorFunction), &forward.major, 1);
  put(offsetof(RequestRecord, MinorFunction), &forward.minor, 1);
  put(offsetof(RequestRecord, Flags), &forward.flags, 1);
  put(offsetof(RequestRecord, Parameters), forward.words, sizeof forward.words);
  put(offsetof(RequestRecord, FileObject), &forward.fileObject, 4);
  if (forward.slot) {
    uint32_t slot = kSlotNamed | forward.slot->index();
    put(offsetof(RequestRecord, sharedSlot), &slot, 4);
  }
  put(offsetof(RequestRecord, validLengthHigh), &forward.validLengthHigh, 4);
  put(offsetof(RequestRecord, requestId), &forward.requestId, 4);
  uint32_t sizeLow = static_cast<uint32_t>(forward.fileValue);
  uint32_t sizeHigh = static_cast<uint32_t>(forward.fileValue >> 32);
  put(offsetof(RequestRecord, fileValue), &sizeLow, 4);
  put(offsetof(RequestRecord, fileValueHigh), &sizeHigh, 4);
  uint32_t length32 = static_cast<uint32_t>(dataLength);
  put(offsetof(RequestRecord, dataLength), &length32, 4);
  return dataLength;
}

size_t WriteRequestRecord(const Forward& forward, std::vector<uint8_t>& image, size_t pieceSize) {
  std::array<uint8_t, kRequestHeaderSize> header;
  size_t dataLength = WriteRequestHeader(forward, header, pieceSize);
  image.assign(kRequestHeaderSize + dataLength + 3, 0);
  memcpy(image.data(), header.data(), kRequestHeaderSize);
  if (dataLength) memcpy(image.data() + kRequestHeaderSize, forward.data.data(), dataLength);
  return dataLength + kRequestReturnExtra;
}

ForwardResult ChannelFailure(const Forward& forward, bool timedOut) {
  ForwardResult result;
  result.channelFailure = true;
  result.timedOut = timedOut;
  if (forward.major == MJ_CREATE) {
    result.status = STATUS_OBJECT_NAME_NOT_FOUND;
    result.information = FILE_DOES_NOT_EXIST;
  } else {
    result.status = STATUS_INVALID_DEVICE_REQUEST;
  }
  result.data.assign(forward.outputLength, 0);  // outputs are zero-filled
  return result;
}

void SubmitForward(Connection* conn, ForwardPtr forward, Completions& out, bool atFront) {
  if (conn == nullptr) {
    Trace("Err UserMode: pconn IS NULL !!! (mj=%s)\n", OperationName(forward->major));
    Fail(std::move(forward), false, out);
    return;
  }
  if (atFront)
    conn->queue.push_front(std::move(forward));
  else
    conn->queue.push_back(std::move(forward));
  Pump(conn, out);
}

namespace {
// The agent's call waits for the next request, or learns at once that none will come.
void HandOnNext(Connection* conn, PendingAgentCall call, Completions& out) {
  if (!conn->active) {
    // A loop of a suspended or disconnected Connection learns it at once
    // instead of waiting for a request that never comes.
    out.Add([call] { call.peer->Answer(STATUS_SUCCESS, nullptr, 0, call.outLength); });
    return;
  }
  if (conn->agentCall) {
    // A second loop on one Connection: the older call is ended as suspended.
    PendingAgentCall older = std::move(*conn->agentCall);
    out.Add([older] { older.peer->Answer(STATUS_SUCCESS, nullptr, 0, older.outLength); });
  }
  conn->hasRequestBuffer = true;
  conn->agentCall = std::move(call);
  Pump(conn, out);
}
}  // namespace

void AgentHandsIn(Connection* conn, const uint8_t* reply, size_t replyLength,
                  PendingAgentCall call, Completions& out) {
  // A read's last piece answered in a slot goes to the kernel after the agent
  // has its next request: the kernel's copy of the slot then overlaps the
  // agent's work on the next piece. Every other answer is delivered first, as
  // its completion may put a follow-up at the front of the queue.
  Completions later;
  if (conn->inFlight) {
    ForwardPtr forward = std::move(conn->inFlight);
    conn->inFlight.reset();
    ForwardResult result = ReadReply(*forward, reply, replyLength, conn->pieceSize);
    if (result.status == STATUS_PENDING && forward->onPendingDone)
      AddCleanupWait(conn, CleanupWait{forward->requestId, {}, forward->onPendingDone}, out);
    bool deferred = forward->answersOnly && result.slot != nullptr;
    Deliver(forward, std::move(result), deferred ? later : out);
  }
  HandOnNext(conn, std::move(call), out);
  out.Take(later);
}

void ForgetPeer(const ControlPeer* peer, Completions& out) {
  Users().ForEachConnection([peer, &out](Connection& conn) {
    bool waiting = conn.agentCall && conn.agentCall->peer.get() == peer;
    bool working = conn.inFlight && conn.inFlightPeer == peer;
    if (!waiting && !working) return;
    // The Connection's loop is gone: nothing will take or answer its requests.
    if (waiting) conn.agentCall.reset();
    if (working) {
      Trace("Err: agent connection lost (mj=%s)\n", OperationName(conn.inFlight->major));
      ForwardPtr forward = std::move(conn.inFlight);
      conn.inFlight.reset();
      Fail(forward, true, out);
    }
    SuspendConnection(&conn, out);
  });
}

void SuspendConnection(Connection* conn, Completions& out) {
  Trace("SUSPENDING..%s\n", Utf16ToUtf8(conn->name).c_str());
  conn->active = false;
  if (conn->agentCall) {
    PendingAgentCall call = std::move(*conn->agentCall);
    conn->agentCall.reset();
    out.Add([call] { call.peer->Answer(STATUS_SUCCESS, nullptr, 0, call.outLength); });
  }
  conn->hasRequestBuffer = false;
  Pump(conn, out);  // queued requests now fail at once
  Trace("SUSPENDED\n");
}

void SuspendUser(UserSlot* slot, Completions& out) {
  slot->suspended = true;
  for (auto& cell : slot->cells)
    if (cell) SuspendConnection(cell.get(), out);
}

void EndEveryRequest(Completions& out) {
  Users().ForEachConnection([&out](Connection& conn) {
    if (conn.inFlight) {
      ForwardPtr forward = std::move(conn.inFlight);
      conn.inFlight.reset();
      Fail(forward, false, out);
    }
    for (auto& [id, wait] : conn.cleanupWaits)
      out.Add([done = std::move(wait.done)] { done(STATUS_UNSUCCESSFUL, 0, true); });
    conn.cleanupWaits.clear();
    SuspendConnection(&conn, out);
  });
}

void AddCleanupWait(Connection* conn, CleanupWait wait, Completions& out) {
  Trace("InitEvent irp=%x\n", wait.requestId);
  // An agent that answers every cleanup PENDING and never reports the end
  // would keep a wait per closed file until its time runs out; past the
  // bound the oldest ends now, as if its time had run out.
  if (conn->cleanupWaits.size() >= kMaxCleanupWaits) {
    auto oldest = conn->cleanupWaits.begin();
    for (auto it = oldest; it != conn->cleanupWaits.end(); ++it)
      if (it->second.roundStart < oldest->second.roundStart) oldest = it;
    Trace("Err cleanup waits full, irp=%x ends\n", oldest->first);
    EndAsTimedOut(oldest->second, out);
    conn->cleanupWaits.erase(oldest);
  }
  wait.roundStart = Clock::now();
  uint32_t id = wait.requestId;
  conn->cleanupWaits[id] = std::move(wait);
}

NTSTATUS FinishCleanupWait(Connection* conn, uint32_t requestId, NTSTATUS status,
                           uint32_t information, Completions& out) {
  auto it = conn->cleanupWaits.find(requestId);
  if (it == conn->cleanupWaits.end()) {
    Trace("IRP is NULL pInIrp=%x\n", requestId);
    return STATUS_UNSUCCESSFUL;
  }
  Trace("SetEvent irp=%x status=%x inf=%x\n", requestId, status, information);
  auto done = std::move(it->second.done);
  conn->cleanupWaits.erase(it);
  out.Add([done, status, information] { done(status, information, false); });
  return STATUS_SUCCESS;
}

void CancelOperation(uint64_t operation, Completions& out) {
  if (operation == 0) return;
  Users().ForEachConnection([&](Connection& conn) {
    for (auto it = conn.queue.begin(); it != conn.queue.end();) {
      if ((*it)->operation != operation) {
        ++it;
        continue;
      }
      ForwardPtr forward = *it;
      it = conn.queue.erase(it);
      ForwardResult result = ChannelFailure(*forward, false);
      result.status = STATUS_CANCELLED;
      result.interrupted = true;
      Deliver(forward, std::move(result), out);
    }
    Pump(&conn, out);
  });
}

void CheckLiveness(Clock::time_point now, Completions& out) {
  Users().ForEachConnection([&](Connection& conn) { CheckConnection(conn, now, out); });
}

void StartLivenessThread() {
  g_stop = false;
  g_livenessThread = std::thread([] {
    std::unique_lock<std::mutex> wait(g_threadLock);
    while (!g_stop) {
      g_threadWake.wait_for(wait, std::chrono::milliseconds(100));
      if (g_stop) break;
      wait.unlock();
      {
        Completions out;
        {
          std::lock_guard<std::mutex> guard(DriverMutex());
          auto now = Clock::now();
          CheckLiveness(now, out);
          Users().ReleaseIdleSlots(now, out);
        }
        out.Run();
      }
      wait.lock();
    }
  });
}

void StopLivenessThread() {
  {
    std::lock_guard<std::mutex> guard(g_threadLock);
    g_stop = true;
  }
  g_threadWake.notify_all();
  if (g_livenessThread.joinable()) g_livenessThread.join();
}

}  // namespace hvm::driver
