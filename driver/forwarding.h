// The forwarding routine: one request in flight per Connection, the others
// queued behind it; the agent's next IOCTL_GET_REQUEST carries the reply and
// completes the request from the thread that received it. A liveness thread
// ends waits whose agent stopped pinging. Every function here expects the
// driver lock to be held; answers run later through the Completions.
#pragma once
#include <cstddef>
#include <cstdint>

#include "driver/completions.h"
#include "driver/driver_state.h"

namespace hvm::driver {

// Queues a request (conn may be null: it then fails at once). atFront keeps
// the pieces of one transfer together.
void SubmitForward(Connection* conn, ForwardPtr forward, Completions& out, bool atFront = false);

// The agent's IOCTL_GET_REQUEST: the reply to the request in flight (if any)
// and a call to complete with the next request.
void AgentHandsIn(Connection* conn, const uint8_t* reply, size_t replyLength,
                  PendingAgentCall call, Completions& out);

// The control connection went away: a Connection whose loop it carried
// (a pending call or the request in flight) is suspended, so its requests
// fail at once instead of waiting while the agent still pings.
void ForgetPeer(const ControlPeer* peer, Completions& out);

void SuspendConnection(Connection* conn, Completions& out);
void SuspendUser(UserSlot* slot, Completions& out);
// The mount is ending: every request still queued, with an agent or waiting
// for an upload's end fails now. A page or folder the kernel keeps locked
// for one of them would otherwise hold a notice, and so this daemon, forever.
void EndEveryRequest(Completions& out);

// Cleanups a Connection's agent may leave waiting for their end at once.
inline constexpr size_t kMaxCleanupWaits = 4096;
void AddCleanupWait(Connection* conn, CleanupWait wait, Completions& out);
// IOCTL_CLEANUP_DONE: STATUS_SUCCESS when a waiting cleanup was found.
NTSTATUS FinishCleanupWait(Connection* conn, uint32_t requestId, NTSTATUS status,
                           uint32_t information, Completions& out);

// Drops queued requests of an interrupted FUSE operation (EINTR).
void CancelOperation(uint64_t operation, Completions& out);

// One round of the liveness rule over every Connection.
void CheckLiveness(Clock::time_point now, Completions& out);

// The liveness thread: CheckLiveness a few times a second until stopped,
// each time also releasing the user slots nobody uses any more.
void StartLivenessThread();
void StopLivenessThread();

// The failure answer of a request the channel could not carry.
ForwardResult ChannelFailure(const Forward& forward, bool timedOut);

}  // namespace hvm::driver
