// One request handed to the agent: what goes into the RequestRecord, and
// what to do with the answer.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "agent/service/channel_records.h"
#include "driver/liveness.h"
#include "driver/shared_area.h"

namespace hvm::driver {

struct ForwardResult {
  NTSTATUS status = STATUS_SUCCESS;
  uint32_t information = 0;
  uint32_t value = 0;
  std::vector<uint8_t> data;  // reply data, at most the request's output length
  // A read answered in a slot of the shared area: its outputLength bytes are
  // there (zeros past what the agent read), and data stays empty. The slot is
  // held while the result lives.
  std::shared_ptr<SlotLease> slot;
  size_t slotLength = 0;
  // The channel failed: no Connection, no agent, inactive, or the liveness
  // wait ended. The mount reports these as EIO.
  bool channelFailure = false;
  bool timedOut = false;
  bool interrupted = false;
  // A close or cleanup whose channel failure was turned into success.
  bool corrected = false;
};

// The reply data of a result, wherever it is (the slot or data).
inline const uint8_t* ResultBytes(const ForwardResult& result) {
  return result.slot ? result.slot->data() : result.data.data();
}
inline size_t ResultSize(const ForwardResult& result) {
  return result.slot ? result.slotLength : result.data.size();
}

using ForwardDone = std::function<void(ForwardResult&)>;

struct Forward {
  uint8_t major = 0;
  uint8_t minor = 0;
  uint8_t flags = 0;
  uint32_t words[4] = {0, 0, 0, 0};
  uint32_t fileObject = 0;
  uint32_t validLengthHigh = 0;
  uint64_t fileValue = 0;  // create: the offered fileToken; else the file size
  std::vector<uint8_t> data;
  // A write whose bytes are in a slot of the shared area (data then empty),
  // or the slot a read's answer goes to (taken when the request goes out).
  std::shared_ptr<SlotLease> slot;
  uint32_t slotBytes = 0;     // a write's bytes in the slot
  uint32_t outputLength = 0;  // reply data the caller takes, at most the Connection's piece size
  uint64_t operation = 0;     // the FUSE operation it serves (interrupts), 0 none
  ForwardDone done;
  // The completion only answers the kernel and sends nothing to the agent
  // (a read's last piece): it may run after the next request went out.
  bool answersOnly = false;
  // The file size as it is when the request goes out (called under the
  // driver lock): the agent takes the size a request carries as the file's.
  std::function<uint64_t()> sizeAtHandOver;
  // For a cleanup or close: finishes the request when the agent answered
  // STATUS_PENDING (registered before the answer is delivered, so an early
  // IOCTL_CLEANUP_DONE is not lost).
  std::function<void(NTSTATUS status, uint32_t information, bool timedOut)> onPendingDone;

  // Set by the forwarding routine.
  uint32_t requestId = 0;
  Clock::time_point roundStart{};
};

using ForwardPtr = std::shared_ptr<Forward>;

// Fills the 48-byte RequestRecord header of a forward, its data cut at
// pieceSize; returns the data length.
size_t WriteRequestHeader(const Forward& forward, std::array<uint8_t, kRequestHeaderSize>& header,
                          size_t pieceSize);
// Writes the RequestRecord image of a forward, its data cut at pieceSize;
// returns its length (dataLength + 51).
size_t WriteRequestRecord(const Forward& forward, std::vector<uint8_t>& image,
                          size_t pieceSize = kMaxChunk);

}  // namespace hvm::driver
