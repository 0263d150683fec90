// The Connection's piece size at the request loop: a Connection registered
// for wide pieces takes reads, writes and content pushes of up to 1 MiB
// whole; one registered as before keeps 64 KiB buffers and refuses more.
#include <gtest/gtest.h>

#include "agent/service/tests/loop_fixture.h"

namespace hvm::test {
namespace {

std::vector<uint8_t> Le32(uint32_t value) {
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

std::vector<uint8_t> DataOf(const Reply& reply, size_t length) {
  if (reply.bytes.size() < 20 + length) return {};
  return std::vector<uint8_t>(reply.bytes.begin() + 20, reply.bytes.begin() + 20 + length);
}

class WideLoopTest : public LoopTest {
 protected:
  WideLoopTest() { pieceSize = kWidePieceSize; }

  Reply WriteBytes(uint32_t fileObject, uint64_t offset, const std::vector<uint8_t>& bytes,
                   uint64_t fileValue, uint32_t claimedLength) {
    auto r = Blank(MJ_WRITE, fileObject);
    r->Parameters[0] = claimedLength;
    r->Parameters[1] = kNoValidLength;
    SetByteOffset(*r, offset);
    SetFileSize(*r, fileValue);
    std::memcpy(r->data, bytes.data(), bytes.size());
    r->dataLength = static_cast<uint32_t>(bytes.size());
    return Send(*r);
  }
};

TEST_F(WideLoopTest, WholePiecesOfAMegabyteInAndOut) {
  // The loop asks with buffers that hold a whole wide piece.
  EXPECT_EQ(driver->lastOutLength(), kWideChannelBufferSize);
  ASSERT_EQ(Create(1, u"\\wide.bin", FILE_OPEN_IF, 0x40, FILE_WRITE_DATA).status(), STATUS_SUCCESS);
  auto first = Pattern(kWidePieceSize, 1), second = Pattern(kWidePieceSize, 2);
  Reply w1 = WriteBytes(1, 0, first, 0, kWidePieceSize);
  EXPECT_EQ(w1.status(), STATUS_SUCCESS);
  EXPECT_EQ(w1.information(), kWidePieceSize);
  EXPECT_EQ(w1.value(), kWidePieceSize);
  EXPECT_EQ(driver->lastOutLength(), kWideChannelBufferSize);
  Reply w2 = WriteBytes(1, kWidePieceSize, second, kWidePieceSize, kWidePieceSize);
  EXPECT_EQ(w2.value(), 2 * kWidePieceSize);

  // A read of a whole piece comes back whole, header and data alone.
  Reply r = Read(1, kWidePieceSize / 2, kWidePieceSize, 2 * kWidePieceSize);
  EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.information(), kWidePieceSize);
  ASSERT_EQ(r.bytes.size(), 20 + kWidePieceSize);
  std::vector<uint8_t> expected(first.begin() + kWidePieceSize / 2, first.end());
  expected.insert(expected.end(), second.begin(), second.begin() + kWidePieceSize / 2);
  EXPECT_EQ(DataOf(r, kWidePieceSize), expected);

  // One byte more than a piece is refused, in either direction.
  EXPECT_EQ(Read(1, 0, kWidePieceSize + 1, 2 * kWidePieceSize).status(), STATUS_INVALID_PARAMETER);
  Reply tooLong = WriteBytes(1, 0, Pattern(kWidePieceSize + 1, 3), 2 * kWidePieceSize, kWidePieceSize + 1);
  EXPECT_EQ(tooLong.status(), STATUS_INVALID_PARAMETER);
  // A length the data does not carry is refused as well.
  EXPECT_EQ(WriteBytes(1, 0, Pattern(10, 4), 2 * kWidePieceSize, 11).status(), STATUS_INVALID_PARAMETER);

  Release(1, 2 * kWidePieceSize);
  ASSERT_EQ(client->uploads.size(), 1u);
  EXPECT_EQ(client->server[u"/wide.bin"].uploadedSize, 2 * kWidePieceSize);
  EXPECT_EQ(client->server[u"/wide.bin"].content, first);  // the fake keeps the first MiB
}

TEST_F(WideLoopTest, ContentPushInWholePiecesAndItsWideEndMarker) {
  const size_t size = 2 * kWidePieceSize + kContentPushEnd;
  auto content = Pattern(size, 7);
  client->server[u"/push.bin"] = FakeNode{false, content, 1};
  OpenOk(1, u"\\push.bin", 0x40, FILE_WRITE_DATA);
  int gets = client->getCalls;
  // A fetch of exactly one wide piece, then a piece the driver had, then
  // 0x20000, the narrow end marker, which is a fetch of 128 KiB here.
  Reply p1 = Push(1, kWidePieceSize, 0, Le32(kWidePieceSize));
  EXPECT_EQ(p1.status(), STATUS_SUCCESS);
  EXPECT_EQ(p1.information(), kWidePieceSize);
  EXPECT_EQ(client->getCalls, gets + 1);
  std::vector<uint8_t> held(content.begin() + kWidePieceSize, content.begin() + 2 * kWidePieceSize);
  EXPECT_EQ(Push(1, 0, kWidePieceSize, held).information(), kWidePieceSize);
  Reply p3 = Push(1, kContentPushEnd, 2 * kWidePieceSize, Le32(kContentPushEnd));
  EXPECT_EQ(p3.status(), STATUS_SUCCESS);
  EXPECT_EQ(p3.information(), kContentPushEnd);
  EXPECT_FALSE(Entry(u"\\push.bin")->HasLocalCopy());
  // A fetch asking for more than a piece is refused.
  EXPECT_EQ(Push(1, 100, 0, Le32(kWidePieceSize + 1)).status(), STATUS_INVALID_PARAMETER);
  Reply end = Push(1, ContentPushEndFor(kWidePieceSize), size, {});
  EXPECT_EQ(end.status(), STATUS_SUCCESS);
  ASSERT_TRUE(Entry(u"\\push.bin")->HasLocalCopy());
  Reply back = Read(1, kWidePieceSize - 8, 16, size);
  EXPECT_EQ(DataOf(back, 16), std::vector<uint8_t>(content.begin() + kWidePieceSize - 8,
                                                   content.begin() + kWidePieceSize + 8));
  Release(1, size);
}

TEST_F(LoopTest, NarrowConnectionKeepsItsBuffersAndRefusesMoreThanAPiece) {
  // Registered as before: the 65,589-byte buffers of every call.
  EXPECT_EQ(driver->lastOutLength(), kChannelBufferSize);
  client->AddFile(u"/n.bin", std::string(200000, 'n'));
  OpenOk(1, u"\\n.bin", 0x40, FILE_WRITE_DATA);
  EXPECT_EQ(Read(1, 0, 65537, 200000).status(), STATUS_INVALID_PARAMETER);
  Reply full = Read(1, 0, 65536, 200000);
  EXPECT_EQ(full.status(), STATUS_SUCCESS);
  EXPECT_EQ(full.bytes.size(), 20u + 65536);
  EXPECT_EQ(driver->lastOutLength(), kChannelBufferSize);
  EXPECT_EQ(Push(1, 100, 0, Le32(65537)).status(), STATUS_INVALID_PARAMETER);
  // Pushed data above a piece is refused too: it cannot have come from the driver.
  EXPECT_EQ(Push(1, 0, 0, std::vector<uint8_t>(65537, 'p')).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Write(1, 0, std::string(65537, 'w'), 200000).status(), STATUS_INVALID_PARAMETER);

  // A driver that hands a narrow loop a wide record: the call keeps what
  // fits, and the record, claiming more than arrived, is refused.
  auto wide = Blank(MJ_WRITE, 1);
  wide->Parameters[0] = kWidePieceSize;
  wide->dataLength = kWidePieceSize;
  EXPECT_EQ(Send(*wide).status(), STATUS_INVALID_PARAMETER);
  // The loop goes on as before.
  EXPECT_EQ(Write(1, 0, "ok", 200000).status(), STATUS_SUCCESS);
  Release(1, 200000);
}

}  // namespace
}  // namespace hvm::test
