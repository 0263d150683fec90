// Builders of the request records the driver hands to the agent, one per
// operation, with the parameter words the channel fixes for it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "driver/completions.h"
#include "driver/forward.h"

namespace hvm::driver {

struct Connection;

inline constexpr uint32_t FILE_SEQUENTIAL_ONLY = 0x4;
inline constexpr uint32_t FILE_READ_DATA = 0x1;
inline constexpr uint32_t FILE_READ_ATTRIBUTES = 0x80;
inline constexpr uint32_t DELETE_ACCESS = 0x10000;

ForwardPtr CreateRequest(const std::u16string& fullName, uint32_t disposition, uint32_t options,
                         uint32_t access, uint32_t offeredToken, uint32_t fileObject,
                         uint8_t flags = 0);
ForwardPtr PlainRequest(uint8_t major, uint32_t fileObject, uint64_t fileSize);
ForwardPtr QueryInfoRequest(uint32_t fileObject, uint64_t fileSize, uint32_t infoClass,
                            uint32_t length);
ForwardPtr SetInfoRequest(uint32_t fileObject, uint64_t fileSize, uint32_t infoClass,
                          std::vector<uint8_t> data, uint32_t word2 = 0, uint32_t word3 = 0);
ForwardPtr ReadRequest(uint32_t fileObject, uint64_t fileSize, uint64_t offset, uint32_t length);
// key: the valid length before this piece (kNoValidLength: no gap to fill).
ForwardPtr WriteRequest(uint32_t fileObject, uint64_t fileSize, uint64_t offset, uint64_t key,
                        const uint8_t* bytes, uint32_t length);
// The same, taking the bytes along.
ForwardPtr WriteRequest(uint32_t fileObject, uint64_t fileSize, uint64_t offset, uint64_t key,
                        std::vector<uint8_t> bytes);
// A piece of the contents the agent must fetch itself, or the end record.
ForwardPtr PushFetchRequest(uint32_t fileObject, uint64_t fileSize, uint64_t offset, uint32_t length);
// The end of the contents: word 0 above the Connection's piece size.
ForwardPtr PushEndRequest(uint32_t fileObject, uint64_t fileSize, uint64_t length,
                          size_t pieceSize = kMaxChunk);
ForwardPtr DirectoryQueryRequest(uint32_t fileObject, const std::u16string& query, bool restart);
// fileSize: the new FCB's, which the agent takes for the file as for any request.
ForwardPtr TokenReplaceRequest(uint32_t fileObject, uint64_t fileSize, uint32_t staleToken, uint8_t changed,
                               uint8_t references, uint8_t handles, uint32_t newToken);

// What a successful create reply says.
struct CreateReply {
  uint32_t token = 0;
  bool changed = false;
  uint64_t size = 0;
  bool newEmptyFile = false;  // size unknown: a new, empty file
  // The agent makes the file on the server at its first cleanup, so even an
  // unwritten handle must clean up before its close(2) returns.
  bool madeAtCleanup = false;
};
CreateReply DecodeCreateReply(const ForwardResult& result);

// Queues a request on conn, taking the driver lock; its done runs later.
void Send(Connection* conn, ForwardPtr forward, bool atFront = false);

uint32_t NewFileObjectId();

}  // namespace hvm::driver
