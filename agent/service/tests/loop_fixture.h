// A Connection served by the real request loop, a FakeClient behind it and a
// ScriptedDriver in front of it, with builders for the driver's requests.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/service/connection.h"
#include "agent/service/request_loop.h"
#include "agent/service/tests/fake_client.h"
#include "agent/service/tests/scripted_driver.h"

namespace hvm::test {

inline constexpr uint32_t kConnectionHandle = 0x5A5A0001;

// size bytes of a pattern that differs with seed and does not repeat within a megabyte.
inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 16));
  return bytes;
}

// The fields of a reply as the driver reads them.
struct Reply {
  std::vector<uint8_t> bytes;
  uint32_t Word(size_t offset) const {
    uint32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
  }
  uint32_t status() const { return Word(8); }
  uint32_t information() const { return Word(12); }
  uint32_t value() const { return Word(16); }
  uint32_t DataWord(size_t i) const { return Word(20 + i * 4); }
  uint8_t DataByte(size_t i) const { return bytes[20 + i]; }
  std::u16string DataWide(size_t offset, size_t chars) const {
    std::u16string s(chars, u'\0');
    std::memcpy(s.data(), bytes.data() + 20 + offset, chars * 2);
    return s;
  }
};

class LoopTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  Reply Send(const RequestRecord& request);
  std::unique_ptr<RequestRecord> Blank(uint8_t major, uint32_t fileObject);
  Reply Create(uint32_t fileObject, const std::u16string& below, uint32_t disposition,
               uint32_t options = 0x40, uint32_t access = 0, uint32_t token = 0, uint8_t flags = 0);
  Reply Simple(uint8_t major, uint32_t fileObject, uint64_t fileValue = 0);
  Reply Read(uint32_t fileObject, uint64_t offset, uint32_t length, uint64_t fileValue);
  Reply Write(uint32_t fileObject, uint64_t offset, const std::string& bytes, uint64_t fileValue,
              uint64_t validLength = 0x7FFFFFFF);
  Reply Query(uint32_t fileObject, uint32_t infoClass, uint32_t outLength, uint64_t fileValue = 0);
  Reply SetInfo(uint32_t fileObject, uint32_t infoClass, const std::vector<uint8_t>& data,
                uint32_t word2 = 0, uint32_t word3 = 0);
  Reply Directory(uint32_t fileObject, const std::u16string& data, uint32_t infoClass,
                  uint32_t outLength, uint8_t flags = 0);
  Reply Push(uint32_t fileObject, uint32_t mode, uint64_t offset, const std::vector<uint8_t>& data);

  std::u16string Full(const std::u16string& below) const { return u"\\QUENLODE\\site1" + below; }
  FileEntry* Entry(const std::u16string& below);
  // Opens below (disposition open) and expects success.
  void OpenOk(uint32_t fileObject, const std::u16string& below, uint32_t options = 0x40,
              uint32_t access = 0);
  // Cleanup and close of a handle; fileValue is the size the driver knows.
  void Release(uint32_t fileObject, uint64_t fileValue = 0);

  SiteRecord site{};
  std::unique_ptr<Connection> connection;
  FakeClient* client = nullptr;
  std::unique_ptr<ScriptedDriver> driver;
  std::vector<uint8_t> initialReply;
  bool loopEnded = false;
  uint32_t nextRequestId = 100;
  size_t pieceSize = kMaxChunk;  // what registration agreed; set before SetUp
  // Registration agreed to a shared area, which the driver offers as this
  // descriptor and record (-1: the driver has none); set before SetUp.
  bool sharedAreaAgreed = false;
  int offeredArea = -1;
  SharedAreaRecord offeredRecord{};
};

}  // namespace hvm::test
