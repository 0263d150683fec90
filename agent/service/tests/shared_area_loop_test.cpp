// The shared data area at the request loop: the loop maps only the sealed
// area it agreed to, reads straight into the slot a request names, writes
// from it, and refuses a slot it cannot have.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "agent/service/tests/loop_fixture.h"
#include "platform/data_area.h"

namespace hvm::test {
namespace {

SharedAreaRecord AgreedRecord() {
  SharedAreaRecord record{};
  record.marker = kRecordMarker;
  record.connectionHandle = kConnectionHandle;
  record.slotCount = kSharedSlotCount;
  record.slotSize = kSharedSlotSize;
  record.areaSize = kSharedAreaSize;
  return record;
}

// A loop of wide pieces whose driver offers the area made by MakeArea.
class AreaLoopTest : public LoopTest {
 protected:
  void SetUp() override {
    pieceSize = kWidePieceSize;
    sharedAreaAgreed = true;
    offeredArea = MakeArea();
    offeredRecord = AgreedRecord();
    ASSERT_GE(offeredArea, 0);
    view = static_cast<uint8_t*>(
        mmap(nullptr, kSharedAreaSize, PROT_READ | PROT_WRITE, MAP_SHARED, offeredArea, 0));
    ASSERT_NE(view, MAP_FAILED);
    LoopTest::SetUp();
  }
  void TearDown() override {
    LoopTest::TearDown();
    if (view != MAP_FAILED) munmap(view, kSharedAreaSize);
    if (offeredArea >= 0) close(offeredArea);
  }
  virtual int MakeArea() { return MakeDataArea(kSharedAreaSize); }

  uint8_t* Slot(uint32_t index) { return view + size_t{index} * kSharedSlotSize; }

  Reply ReadInto(uint32_t slotWord, uint32_t fileObject, uint64_t offset, uint32_t length, uint64_t fileValue) {
    auto r = Blank(MJ_READ, fileObject);
    SetByteOffset(*r, offset);
    SetFileSize(*r, fileValue);
    std::memcpy(r->data, &length, 4);
    r->dataLength = 4;
    r->sharedSlot = slotWord;
    return Send(*r);
  }
  Reply WriteFrom(uint32_t slotWord, uint32_t fileObject, uint64_t offset, uint32_t length, uint64_t fileValue) {
    auto r = Blank(MJ_WRITE, fileObject);
    r->Parameters[0] = length;
    r->Parameters[1] = kNoValidLength;
    SetByteOffset(*r, offset);
    SetFileSize(*r, fileValue);
    r->sharedSlot = slotWord;
    return Send(*r);
  }

  uint8_t* view = static_cast<uint8_t*>(MAP_FAILED);
};

TEST_F(AreaLoopTest, ReadsLandInTheNamedSlotAndWritesComeFromIt) {
  EXPECT_TRUE(driver->areaAsked());
  EXPECT_EQ(initialReply[offsetof(ReplyRecord, loopFlags)], kLoopAreaMapped);
  ASSERT_EQ(Create(1, u"\\area.bin", FILE_OPEN_IF, 0x40, FILE_WRITE_DATA).status(), STATUS_SUCCESS);
  auto first = Pattern(kSharedSlotSize, 1), second = Pattern(kSharedSlotSize / 2, 2);
  std::memcpy(Slot(2), first.data(), first.size());
  Reply w1 = WriteFrom(kSlotNamed | 2, 1, 0, kSharedSlotSize, 0);
  EXPECT_EQ(w1.status(), STATUS_SUCCESS);
  EXPECT_EQ(w1.information(), kSharedSlotSize);
  EXPECT_EQ(w1.value(), kSharedSlotSize);
  std::memcpy(Slot(0), second.data(), second.size());
  EXPECT_EQ(WriteFrom(kSlotNamed | 0, 1, kSharedSlotSize, kSharedSlotSize / 2, kSharedSlotSize).status(),
            STATUS_SUCCESS);

  // A read into slot 3 sends the reply header alone; the bytes are in the slot.
  const uint64_t size = kSharedSlotSize + kSharedSlotSize / 2;
  std::memset(Slot(3), 0xEE, kSharedSlotSize);
  Reply r = ReadInto(kSlotNamed | 3, 1, 1000, kSharedSlotSize, size);
  EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.information(), kSharedSlotSize);
  EXPECT_EQ(r.bytes.size(), kGetRequestMinIn);
  std::vector<uint8_t> expected(first.begin() + 1000, first.end());
  expected.insert(expected.end(), second.begin(), second.begin() + 1000);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), Slot(3)));
  // The other slots were not touched.
  EXPECT_EQ(Slot(1)[0], 0);
  // The loop still says it has the area with every call.
  EXPECT_EQ(r.bytes[offsetof(ReplyRecord, loopFlags)], kLoopAreaMapped);

  // An inline read on the same Connection still works.
  Reply inline_ = Read(1, 0, 10, size);
  EXPECT_EQ(inline_.status(), STATUS_SUCCESS);
  EXPECT_TRUE(std::equal(first.begin(), first.begin() + 10, inline_.bytes.begin() + 20));

  // A slot past the area, a word without the named bit, more than a slot: refused.
  EXPECT_EQ(ReadInto(kSlotNamed | kSharedSlotCount, 1, 0, 10, size).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadInto(kSlotNamed | 0x7FFFFFFF, 1, 0, 10, size).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadInto(1, 1, 0, 10, size).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WriteFrom(kSlotNamed | kSharedSlotCount, 1, 0, 10, size).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WriteFrom(kSlotNamed | 1, 1, 0, kSharedSlotSize + 1, size).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadInto(kSlotNamed | 1, 1, 0, kSharedSlotSize + 1, size).status(), STATUS_INVALID_PARAMETER);

  Release(1, size);
  ASSERT_EQ(client->uploads.size(), 1u);
  EXPECT_EQ(client->server[u"/area.bin"].uploadedSize, size);
}

// An area that is not what was agreed is never mapped: the loop works
// without it and refuses requests that name a slot.
class UnsealedAreaLoopTest : public AreaLoopTest {
 protected:
  int MakeArea() override {
    int fd = memfd_create("unsealed", MFD_CLOEXEC);
    if (fd >= 0 && ftruncate(fd, kSharedAreaSize) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
};

TEST_F(UnsealedAreaLoopTest, IsNotMappedAndSlotsAreRefused) {
  EXPECT_TRUE(driver->areaAsked());
  EXPECT_EQ(initialReply[offsetof(ReplyRecord, loopFlags)], 0);
  ASSERT_EQ(Create(1, u"\\plain.bin", FILE_OPEN_IF, 0x40, FILE_WRITE_DATA).status(), STATUS_SUCCESS);
  EXPECT_EQ(WriteFrom(kSlotNamed | 0, 1, 0, 10, 0).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Write(1, 0, "inline", 0).status(), STATUS_SUCCESS);
  EXPECT_EQ(ReadInto(kSlotNamed | 0, 1, 0, 6, 6).status(), STATUS_INVALID_PARAMETER);
  Reply r = Read(1, 0, 6, 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.bytes.data() + 20), 6), "inline");
  Release(1, 6);
}

// A record that does not describe the agreed area is refused too.
class WrongSizeAreaLoopTest : public AreaLoopTest {
 protected:
  int MakeArea() override { return MakeDataArea(kSharedAreaSize / 2); }
};

TEST_F(WrongSizeAreaLoopTest, IsNotMapped) {
  EXPECT_TRUE(driver->areaAsked());
  EXPECT_EQ(initialReply[offsetof(ReplyRecord, loopFlags)], 0);
}

}  // namespace
}  // namespace hvm::test
