#include "driver/requests.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "driver/driver_state.h"
#include "driver/forwarding.h"

namespace hvm::driver {

namespace {
constexpr size_t kCreateDataSize = 528;
constexpr size_t kCreateNameOffset = 4;
constexpr size_t kCreateAccessOffset = 524;
constexpr size_t kCreateReplySize = 12;
constexpr uint32_t kShareAll = 7u << 16;  // FileAttributes 0, ShareAccess read|write|delete

ForwardPtr Make(uint8_t major, uint32_t fileObject, uint64_t fileSize) {
  auto forward = std::make_shared<Forward>();
  forward->major = major;
  forward->fileObject = fileObject;
  forward->fileValue = fileSize;
  return forward;
}

void SetOffset(Forward& forward, uint64_t offset) {
  forward.words[2] = static_cast<uint32_t>(offset);
  forward.words[3] = static_cast<uint32_t>(offset >> 32);
}

std::vector<uint8_t> Word(uint32_t value) {
  std::vector<uint8_t> data(sizeof value);
  memcpy(data.data(), &value, sizeof value);
  return data;
}
}  // namespace

ForwardPtr CreateRequest(const std::u16string& fullName, uint32_t disposition, uint32_t options,
                         uint32_t access, uint32_t offeredToken, uint32_t fileObject,
                         uint8_t flags) {
  auto forward = Make(MJ_CREATE, fileObject, offeredToken);
  forward->flags = flags;
  forward->words[1] = (disposition << 24) | ((options | FILE_SEQUENTIAL_ONLY) & 0x00FFFFFFu);
  forward->words[2] = kShareAll;
  forward->data.assign(kCreateDataSize, 0);
  memcpy(forward->data.data(), &offeredToken, sizeof offeredToken);
  size_t chars = std::min(fullName.size(), kPathChars - 1);
  memcpy(forward->data.data() + kCreateNameOffset, fullName.data(), chars * 2);
  memcpy(forward->data.data() + kCreateAccessOffset, &access, sizeof access);
  forward->outputLength = kCreateReplySize;
  return forward;
}

ForwardPtr PlainRequest(uint8_t major, uint32_t fileObject, uint64_t fileSize) {
  auto forward = Make(major, fileObject, fileSize);
  if (major == MJ_CLOSE) forward->outputLength = 4;
  return forward;
}

ForwardPtr QueryInfoRequest(uint32_t fileObject, uint64_t fileSize, uint32_t infoClass,
                            uint32_t length) {
  auto forward = Make(MJ_QUERY_INFORMATION, fileObject, fileSize);
  forward->words[0] = length;
  forward->words[1] = infoClass;
  forward->outputLength = length;
  return forward;
}

ForwardPtr SetInfoRequest(uint32_t fileObject, uint64_t fileSize, uint32_t infoClass,
                          std::vector<uint8_t> data, uint32_t word2, uint32_t word3) {
  auto forward = Make(MJ_SET_INFORMATION, fileObject, fileSize);
  forward->words[0] = static_cast<uint32_t>(data.size());
  forward->words[1] = infoClass;
  forward->words[2] = word2;
  forward->words[3] = word3;
  forward->data = std::move(data);
  return forward;
}

ForwardPtr ReadRequest(uint32_t fileObject, uint64_t fileSize, uint64_t offset, uint32_t length) {
  auto forward = Make(MJ_READ, fileObject, fileSize);
  forward->words[0] = length;
  SetOffset(*forward, offset);
  forward->data = Word(length);
  forward->outputLength = length;
  return forward;
}

ForwardPtr WriteRequest(uint32_t fileObject, uint64_t fileSize, uint64_t offset, uint64_t key,
                        const uint8_t* bytes, uint32_t length) {
  auto forward = Make(MJ_WRITE, fileObject, fileSize);
  forward->words[0] = length;
  forward->words[1] = static_cast<uint32_t>(key);
  forward->validLengthHigh = key == kNoValidLength ? 0 : static_cast<uint32_t>(key >> 32);
  SetOffset(*forward, offset);
  forward->data.assign(bytes, bytes + length);
  return forward;
}

ForwardPtr WriteRequest(uint32_t fileObject, uint64_t fileSize, uint64_t offset, uint64_t key,
                        std::vector<uint8_t> bytes) {
  auto forward = WriteRequest(fileObject, fileSize, offset, key, nullptr, 0);
  forward->words[0] = static_cast<uint32_t>(bytes.size());
  forward->data = std::move(bytes);
  return forward;
}

ForwardPtr PushFetchRequest(uint32_t fileObject, uint64_t fileSize, uint64_t offset,
                            uint32_t length) {
  auto forward = Make(MJ_CONTENT_PUSH, fileObject, fileSize);
  forward->words[0] = length;
  SetOffset(*forward, offset);
  forward->data = Word(length);
  return forward;
}

ForwardPtr PushEndRequest(uint32_t fileObject, uint64_t fileSize, uint64_t length, size_t pieceSize) {
  auto forward = Make(MJ_CONTENT_PUSH, fileObject, fileSize);
  forward->words[0] = ContentPushEndFor(pieceSize);
  SetOffset(*forward, length);
  return forward;
}

ForwardPtr DirectoryQueryRequest(uint32_t fileObject, const std::u16string& query, bool restart) {
  auto forward = Make(MJ_DIRECTORY_CONTROL, fileObject, 0);
  forward->minor = 1;  // IRP_MN_QUERY_DIRECTORY
  forward->flags = restart ? SL_RESTART_SCAN : 0;
  forward->words[0] = static_cast<uint32_t>(kMaxChunk);
  forward->words[2] = 1;  // FileDirectoryInformation
  forward->data.resize(query.size() * 2);
  memcpy(forward->data.data(), query.data(), forward->data.size());
  forward->outputLength = static_cast<uint32_t>(kMaxChunk);
  return forward;
}

ForwardPtr TokenReplaceRequest(uint32_t fileObject, uint64_t fileSize, uint32_t staleToken, uint8_t changed,
                               uint8_t references, uint8_t handles, uint32_t newToken) {
  auto forward = Make(MJ_TOKEN_REPLACE, fileObject, fileSize);
  forward->data.assign(12, 0);
  memcpy(forward->data.data(), &staleToken, 4);
  forward->data[4] = changed;
  forward->data[5] = references;
  forward->data[6] = handles;
  memcpy(forward->data.data() + 8, &newToken, 4);
  return forward;
}

CreateReply DecodeCreateReply(const ForwardResult& result) {
  CreateReply reply;
  uint32_t high = 0;
  if (result.data.size() >= kCreateReplySize) {
    memcpy(&reply.token, result.data.data(), 4);
    reply.changed = result.data[4] != 0;
    reply.madeAtCleanup = result.data[kCreateReplyMadeAtCleanup] != 0;
    memcpy(&high, result.data.data() + 8, 4);
  }
  if (result.value == kUnknownSize && high == 0) {
    reply.newEmptyFile = true;
    reply.size = 0;
  } else {
    reply.size = (uint64_t{high} << 32) | result.value;
  }
  return reply;
}

void Send(Connection* conn, ForwardPtr forward, bool atFront) {
  Completions out;
  std::lock_guard<std::mutex> guard(DriverMutex());
  SubmitForward(conn, std::move(forward), out, atFront);
}

uint32_t NewFileObjectId() {
  static std::atomic<uint32_t> next{0x00F00001};
  uint32_t id;
  do {
    id = next.fetch_add(1);
  } while (id == 0);
  return id;
}

}  // namespace hvm::driver
