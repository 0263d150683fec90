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

namespace hvm::driver {

struct ForwardResult {
  NTSTATUS status = STATUS_SUCCESS;
  uint32_t information = 0;
  uint32_t value = 0;
  std::vector<uint8_t> data;  // reply data, at most the request's output length
  // The channel failed: no Connection, no agent, inactive, or the liveness
  // wait ended. The mount reports these as EIO.
  bool channelFailure = false;
  bool timedOut = false;
  bool interrupted = false;
  // A close or cleanup whose channel failure was turned into success.
  bool corrected = false;
};

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
  uint32_t outputLength = 0;  // reply data the caller takes, at most the Connection's piece size
  uint64_t operation = 0;     // the FUSE operation it serves (interrupts), 0 none
  ForwardDone done;
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
