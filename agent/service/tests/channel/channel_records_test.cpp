// Byte images of the channel records: every field lands at its fixed offset.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "agent/service/channel_records.h"

namespace hvm {
namespace {

// A field expected in a raw image: little-endian, read independently of the struct.
struct Field {
  size_t offset;
  size_t size;
  uint32_t value;
};

void ExpectImage(const void* record, std::initializer_list<Field> fields) {
  const auto* bytes = static_cast<const uint8_t*>(record);
  for (const Field& f : fields) {
    uint32_t value = 0;
    for (size_t i = 0; i < f.size; ++i) value |= uint32_t{bytes[f.offset + i]} << (8 * i);
    EXPECT_EQ(value, f.value) << "at offset " << f.offset;
  }
}

template <typename Record>
std::unique_ptr<Record> Zeroed() {
  auto record = std::make_unique<Record>();
  memset(record.get(), 0, sizeof(Record));
  return record;
}

TEST(ChannelRecords, ControlCodesAndInternRange) {
  EXPECT_EQ(IOCTL_CONNECT, 0x142040u);
  EXPECT_EQ(IOCTL_PING, 0x1420C0u);
  EXPECT_EQ(IOCTL_CLEANUP_DONE, 0x1423F8u);
  EXPECT_EQ(IOCTL_GET_REQUEST, 0x142400u);
  EXPECT_EQ(IOCTL_VERSION, 0x14240Cu);
  EXPECT_EQ(IOCTL_CONNECTION_INFO, 0x142410u);
  EXPECT_FALSE(IsInternIoctl(0x141FFC));
  EXPECT_TRUE(IsInternIoctl(0x141FFD));
  EXPECT_TRUE(IsInternIoctl(0x1423FB));
  EXPECT_FALSE(IsInternIoctl(0x1423FC));
  for (DWORD own : {IOCTL_CONNECT, IOCTL_DISCONNECT, IOCTL_PING, IOCTL_CLEANUP_DONE,
                    IOCTL_GET_REQUEST, IOCTL_VERSION})
    EXPECT_FALSE(IsInternIoctl(own)) << std::hex << own;
}

TEST(ChannelRecords, RequestAndReplyImages) {
  auto q = Zeroed<RequestRecord>();
  q->MajorFunction = 0x12, q->MinorFunction = 0x34, q->Flags = 0x56, q->Control = 0x78;
  for (uint32_t i = 0; i < 4; ++i) q->Parameters[i] = 0xA0A0A0A0u + i;
  q->sharedSlot = 0x11111111, q->FileObject = 0x22222222;
  q->fileValueHigh = 0x33333333, q->validLengthHigh = 0x44444444;
  q->requestId = 0x55555555, q->fileValue = 0x66666666, q->dataLength = 0x10000;
  q->data[0] = 0xD0;
  q->data[kChannelBufferSize - kRequestHeaderSize - 1] = 0xDF;  // the last byte of a 64 KiB record
  q->data[sizeof q->data - 1] = 0xDE;                          // and of a wide one
  ExpectImage(q.get(), {{0, 1, 0x12}, {1, 1, 0x34}, {2, 1, 0x56}, {3, 1, 0x78},
                        {4, 4, 0xA0A0A0A0}, {8, 4, 0xA0A0A0A1}, {12, 4, 0xA0A0A0A2},
                        {16, 4, 0xA0A0A0A3}, {20, 4, 0x11111111}, {24, 4, 0x22222222},
                        {28, 4, 0x33333333}, {32, 4, 0x44444444}, {36, 4, 0x55555555},
                        {40, 4, 0x66666666}, {44, 4, 0x10000}, {48, 1, 0xD0},
                        {65588, 1, 0xDF}, {1048628, 1, 0xDE}});
  static_assert(sizeof(RequestRecord) == 1048629);  // 1 MiB of data and the 53 bytes of header room

  auto r = Zeroed<ReplyRecord>();
  r->marker = kRecordMarker, r->connectionHandle = 0x01020304;
  r->status = STATUS_INVALID_DEVICE_REQUEST, r->information = 0x0A0B0C0D, r->value = 0xFFFFFFFF;
  r->data[0] = 0x5A;
  r->data[kChannelBufferSize - kReplyHeaderSize - 1] = 0xA5;
  r->data[sizeof r->data - 1] = 0xA4;
  ExpectImage(r.get(), {{0, 4, 0xFF}, {4, 1, 0x04}, {4, 4, 0x01020304}, {8, 4, 0xC0000010},
                        {12, 4, 0x0A0B0C0D}, {16, 4, 0xFFFFFFFF}, {20, 1, 0x5A},
                        {65588, 1, 0xA5}, {1048628, 1, 0xA4}});
}

TEST(ChannelRecords, PingAndCleanupDoneImages) {
  auto p = Zeroed<PingRecord>();
  p->marker = kRecordMarker, p->slotHandle = 0xCAFEF00D;
  p->sid[0] = u'S', p->sid[59] = 0x1234;
  ExpectImage(p.get(), {{0, 4, 0xFF}, {4, 4, 0xCAFEF00D}, {8, 2, u'S'}, {126, 2, 0x1234}});

  auto c = Zeroed<CleanupDoneRecord>();
  c->marker = kRecordMarker, c->connectionHandle = 0x10, c->requestId = 0x20;
  c->status = STATUS_CANCELLED, c->information = 0x40;
  ExpectImage(c.get(), {{0, 4, 0xFF}, {4, 4, 0x10}, {8, 4, 0}, {12, 4, 0}, {16, 4, 0},
                        {20, 4, 0x20}, {24, 4, 0xC0000120}, {28, 4, 0x40}, {32, 4, 0},
                        {36, 4, 0}});
}

TEST(ChannelRecords, ConnectionAndInternalRequestImages) {
  auto c = Zeroed<ConnectionRecord>();
  c->marker = kRecordMarker, c->sid[0] = u'S', c->sid[59] = u'9';
  c->name[0] = u'n', c->name[62] = u'z', c->driveLetter = 'X', c->active = 1;
  c->usedUnits = 0x100, c->freeUnits = 0x200, c->reserved = 0x300, c->connectionHandle = 0x400;
  ExpectImage(c.get(), {{0, 2, 0xFF}, {2, 2, u'S'}, {120, 2, u'9'}, {122, 2, u'n'},
                        {246, 2, u'z'}, {248, 2, 'X'}, {250, 2, 1}, {252, 4, 0x100},
                        {256, 4, 0x200}, {260, 4, 0x300}, {264, 4, 0x400}});

  auto i = Zeroed<InternalRequest>();
  i->marker = kRecordMarker, i->sid[0] = u'S', i->name[0] = u'c';
  i->target[0] = u'X', i->target[1] = u':', i->target[2] = u'\\';
  i->destination[0] = u'Y', i->destination[259] = 0x7777, i->result = 0xDEADBEEF;
  ExpectImage(i.get(), {{0, 2, 0xFF}, {2, 2, u'S'}, {122, 2, u'c'}, {248, 2, u'X'},
                        {250, 2, u':'}, {252, 2, u'\\'}, {768, 2, u'Y'}, {1286, 2, 0x7777},
                        {1288, 4, 0xDEADBEEF}});
}

TEST(ChannelRecords, CopyRangeImages) {
  EXPECT_EQ(MJ_COPY_RANGE, 23);
  auto c = Zeroed<CopyRangeRecord>();
  c->sourceFileObject = 0x00F00011, c->sourceOffset = 0x0102030405060708ull;
  c->destinationOffset = 0x1112131415161718ull, c->length = 0x7FFFFFFFC0000000ull;
  c->sourceSize = 0x0000000140000000ull;  // 5 GiB: the high half travels too
  ExpectImage(c.get(), {{0, 4, 0x00F00011}, {4, 4, 0}, {8, 4, 0x05060708}, {12, 4, 0x01020304},
                        {16, 4, 0x15161718}, {20, 4, 0x11121314}, {24, 4, 0xC0000000},
                        {28, 4, 0x7FFFFFFF}, {32, 4, 0x40000000}, {36, 4, 0x1}});
  auto a = Zeroed<CopyRangeAnswer>();
  a->copied = 0x0000000250000000ull, a->destinationSize = 0x0000000360000000ull;
  ExpectImage(a.get(), {{0, 4, 0x50000000}, {4, 4, 0x2}, {8, 4, 0x60000000}, {12, 4, 0x3}});
}

TEST(ChannelRecords, DecodeMarkedRefusesShortAndUnmarkedBuffers) {
  std::vector<uint8_t> buffer(sizeof(PingRecord) + 4, 0);
  EXPECT_EQ(DecodeMarked<PingRecord>(buffer.data(), buffer.size()), nullptr);  // no marker
  buffer[0] = kRecordMarker;
  EXPECT_EQ(DecodeMarked<PingRecord>(buffer.data(), buffer.size()),
            reinterpret_cast<const PingRecord*>(buffer.data()));
  EXPECT_NE(DecodeMarked<PingRecord>(buffer.data(), sizeof(PingRecord)), nullptr);
  EXPECT_EQ(DecodeMarked<PingRecord>(buffer.data(), sizeof(PingRecord) - 1), nullptr);
  EXPECT_EQ(DecodeMarked<PingRecord>(nullptr, sizeof(PingRecord)), nullptr);
}

TEST(ChannelRecords, SixtyFourBitSplitFields) {
  auto r = Zeroed<RequestRecord>();
  SetFileSize(*r, 0x123456789ull);
  SetByteOffset(*r, 0xFFFFFFFF00000001ull);
  r->Parameters[1] = 0x80000000, r->validLengthHigh = 2;
  ExpectImage(r.get(), {{40, 4, 0x23456789}, {28, 4, 0x1}, {12, 4, 0x1}, {16, 4, 0xFFFFFFFF}});
  EXPECT_EQ(FileSizeOf(*r), 0x123456789ull);
  EXPECT_EQ(ByteOffsetOf(*r), 0xFFFFFFFF00000001ull);
  EXPECT_EQ(ValidLengthOf(*r), 0x280000000ull);

  // A 32-bit peer leaves the high halves zero: the values stay 32-bit.
  auto old = Zeroed<RequestRecord>();
  old->fileValue = 0xFFFFFFFF, old->Parameters[2] = 0x10;
  EXPECT_EQ(FileSizeOf(*old), 0xFFFFFFFFull);
  EXPECT_EQ(ByteOffsetOf(*old), 0x10ull);
}

TEST(ChannelRecords, ReplyCarriesOnlyWhatTheAnsweredRequestTakes) {
  EXPECT_EQ(ReplyBytesFor(nullptr), kGetRequestMinIn);  // nothing answered yet
  auto r = Zeroed<RequestRecord>();
  auto bytesFor = [&](uint8_t major) {
    r->MajorFunction = major;
    return ReplyBytesFor(r.get());
  };
  // A read asks in its data word; word 0 only stands in when the data is missing.
  uint32_t want = 4096;
  memcpy(r->data, &want, 4), r->dataLength = 4, r->Parameters[0] = 9;
  EXPECT_EQ(bytesFor(MJ_READ), 20u + 4096);
  want = 0x7FFFFFFF;  // nonsense lengths never reach past the area
  memcpy(r->data, &want, 4);
  EXPECT_EQ(bytesFor(MJ_READ), kChannelBufferSize - 33);
  r->dataLength = 0;
  EXPECT_EQ(bytesFor(MJ_READ), 20u + 9);
  r->Parameters[0] = 40;
  EXPECT_EQ(bytesFor(MJ_QUERY_INFORMATION), 60u);
  EXPECT_EQ(bytesFor(MJ_CREATE), 32u);
  EXPECT_EQ(bytesFor(MJ_COPY_RANGE), 36u);  // the two 64-bit numbers of its answer
  // Writes, cleanups and the content push keep data word 0 and nothing more.
  for (uint8_t major : {MJ_WRITE, MJ_CLEANUP, MJ_CLOSE, MJ_CONTENT_PUSH, MJ_SET_INFORMATION})
    EXPECT_EQ(bytesFor(major), 24u) << int(major);
  // Listings and controls may fill the whole area.
  EXPECT_EQ(bytesFor(MJ_DIRECTORY_CONTROL), 20u + kMaxChunk);
  EXPECT_EQ(bytesFor(MJ_DEVICE_CONTROL), 20u + kMaxChunk);
}

TEST(ChannelRecords, SharedAreaRecordSlotWordAndLoopFlag) {
  EXPECT_EQ(IOCTL_SHARED_AREA, 0x142414u);
  EXPECT_FALSE(IsInternIoctl(IOCTL_SHARED_AREA));  // the driver answers it, never the agent
  auto a = Zeroed<SharedAreaRecord>();
  a->marker = kRecordMarker, a->connectionHandle = 0x5C000101, a->slotCount = 4;
  a->slotSize = 0x100000, a->areaSize = 0x0000000100400000ull;
  ExpectImage(a.get(), {{0, 4, 0xFF}, {4, 4, 0x5C000101}, {8, 4, 4}, {12, 4, 0x100000},
                        {16, 4, 0x00400000}, {20, 4, 1}});
  EXPECT_EQ(kSharedAreaSize, 4u << 20);

  // The slot travels in the request's word at 20, the loop's flag in the reply's byte 1;
  // neither moves anything else.
  auto q = Zeroed<RequestRecord>();
  q->sharedSlot = kSlotNamed | 3;
  ExpectImage(q.get(), {{20, 4, 0x80000003}, {16, 4, 0}, {24, 4, 0}});
  auto r = Zeroed<ReplyRecord>();
  r->marker = kRecordMarker, r->loopFlags = kLoopAreaMapped, r->connectionHandle = 0x01020304;
  ExpectImage(r.get(), {{0, 1, 0xFF}, {1, 1, 1}, {2, 2, 0}, {4, 4, 0x01020304}});

  // The bits the registration uses for the area sit beside those of wide pieces.
  EXPECT_EQ(kAskWidePieces | kAgreedWidePieces | kAskSharedArea | kAgreedSharedArea, 0xFu);

  // A read answered in a slot sends the reply header alone, however much it read.
  uint32_t want = 1 << 20;
  memcpy(q->data, &want, 4), q->dataLength = 4, q->MajorFunction = MJ_READ;
  EXPECT_EQ(ReplyBytesFor(q.get(), kWidePieceSize), kGetRequestMinIn);
  q->sharedSlot = 0;
  EXPECT_EQ(ReplyBytesFor(q.get(), kWidePieceSize), 20u + (1u << 20));
}

TEST(ChannelRecords, WidePiecesFollowTheConnectionsPieceSize) {
  EXPECT_EQ(ChannelBufferSizeFor(kMaxChunk), kChannelBufferSize);
  EXPECT_EQ(ChannelBufferSizeFor(kWidePieceSize), 1048629u);
  EXPECT_EQ(ContentPushEndFor(kMaxChunk), 0x20000u);
  EXPECT_EQ(ContentPushEndFor(kWidePieceSize), 0x200000u);
  EXPECT_EQ(kAskWidePieces & kAgreedWidePieces, 0u);  // an echo of the question is no agreement
  auto r = Zeroed<RequestRecord>();
  r->MajorFunction = MJ_READ;
  uint32_t want = kWidePieceSize;
  memcpy(r->data, &want, 4), r->dataLength = 4;
  EXPECT_EQ(ReplyBytesFor(r.get(), kWidePieceSize), 20u + kWidePieceSize);
  EXPECT_EQ(ReplyBytesFor(r.get()), 20u + kMaxChunk);  // a 64 KiB Connection's area
  want = 0xFFFFFFFF;
  memcpy(r->data, &want, 4);
  EXPECT_EQ(ReplyBytesFor(r.get(), kWidePieceSize), 20u + kWidePieceSize);
  // Listings and controls keep the 64 KiB area on a wide Connection too.
  r->MajorFunction = MJ_DIRECTORY_CONTROL;
  EXPECT_EQ(ReplyBytesFor(r.get(), kWidePieceSize), 20u + kMaxChunk);
  r->MajorFunction = MJ_WRITE;
  EXPECT_EQ(ReplyBytesFor(r.get(), kWidePieceSize), 24u);
}

}  // namespace
}  // namespace hvm
