// Byte images of the channel records: every field lands at its fixed offset.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "agent/service/channel_records.h"

namespace hvm {
namespace {

// Little-endian reads from a raw image, independent of the struct layout.
uint32_t U32At(const void* image, size_t offset) {
  const auto* b = static_cast<const uint8_t*>(image) + offset;
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}
uint16_t U16At(const void* image, size_t offset) {
  const auto* b = static_cast<const uint8_t*>(image) + offset;
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}
uint8_t U8At(const void* image, size_t offset) {
  return static_cast<const uint8_t*>(image)[offset];
}

template <typename Record>
std::unique_ptr<Record> Zeroed() {
  auto record = std::make_unique<Record>();
  memset(record.get(), 0, sizeof(Record));
  return record;
}

TEST(ChannelRecords, ControlCodes) {
  EXPECT_EQ(IOCTL_CONNECT, 0x142040u);
  EXPECT_EQ(IOCTL_DISCONNECT, 0x142044u);
  EXPECT_EQ(IOCTL_PING, 0x1420C0u);
  EXPECT_EQ(IOCTL_CLEANUP_DONE, 0x1423F8u);
  EXPECT_EQ(IOCTL_GET_REQUEST, 0x142400u);
  EXPECT_EQ(IOCTL_SET_LOG_LEVEL, 0x142408u);
  EXPECT_EQ(IOCTL_VERSION, 0x14240Cu);
  EXPECT_EQ(IOCTL_CONNECTION_INFO, 0x142410u);
}

TEST(ChannelRecords, InternIoctlRangeExcludesTheAgentsOwnCodes) {
  EXPECT_FALSE(IsInternIoctl(0x141FFC));
  EXPECT_TRUE(IsInternIoctl(0x141FFD));
  EXPECT_TRUE(IsInternIoctl(0x1423FB));
  EXPECT_FALSE(IsInternIoctl(0x1423FC));
  EXPECT_FALSE(IsInternIoctl(IOCTL_CONNECT));
  EXPECT_FALSE(IsInternIoctl(IOCTL_DISCONNECT));
  EXPECT_FALSE(IsInternIoctl(IOCTL_PING));
  EXPECT_FALSE(IsInternIoctl(IOCTL_CLEANUP_DONE));
  EXPECT_FALSE(IsInternIoctl(IOCTL_GET_REQUEST));
  EXPECT_FALSE(IsInternIoctl(IOCTL_VERSION));
}

TEST(ChannelRecords, RequestRecordImage) {
  auto r = Zeroed<RequestRecord>();
  r->MajorFunction = 0x12;
  r->MinorFunction = 0x34;
  r->Flags = 0x56;
  r->Control = 0x78;
  for (uint32_t i = 0; i < 4; ++i) r->Parameters[i] = 0xA0A0A0A0u + i;
  r->DeviceObject = 0x11111111;
  r->FileObject = 0x22222222;
  r->fileValueHigh = 0x33333333;
  r->validLengthHigh = 0x44444444;
  r->requestId = 0x55555555;
  r->fileValue = 0x66666666;
  r->dataLength = 0x00010000;
  r->data[0] = 0xD0;
  r->data[kChannelBufferSize - kRequestHeaderSize - 1] = 0xDF;

  const void* image = r.get();
  EXPECT_EQ(U8At(image, 0), 0x12);
  EXPECT_EQ(U8At(image, 1), 0x34);
  EXPECT_EQ(U8At(image, 2), 0x56);
  EXPECT_EQ(U8At(image, 3), 0x78);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(U32At(image, 4 + 4 * i), 0xA0A0A0A0u + i);
  EXPECT_EQ(U32At(image, 20), 0x11111111u);
  EXPECT_EQ(U32At(image, 24), 0x22222222u);
  EXPECT_EQ(U32At(image, 28), 0x33333333u);
  EXPECT_EQ(U32At(image, 32), 0x44444444u);
  EXPECT_EQ(U32At(image, 36), 0x55555555u);
  EXPECT_EQ(U32At(image, 40), 0x66666666u);
  EXPECT_EQ(U32At(image, 44), 0x00010000u);
  EXPECT_EQ(U8At(image, 48), 0xD0);
  EXPECT_EQ(U8At(image, 65588), 0xDF);
  EXPECT_EQ(sizeof(RequestRecord), 65589u);
  EXPECT_EQ(kRequestReturnExtra, 51u);
}

TEST(ChannelRecords, ReplyRecordImage) {
  auto r = Zeroed<ReplyRecord>();
  r->marker = kRecordMarker;
  r->connectionHandle = 0x01020304;
  r->status = STATUS_INVALID_DEVICE_REQUEST;
  r->information = 0x0A0B0C0D;
  r->value = 0xFFFFFFFF;
  r->data[0] = 0x5A;
  r->data[65568] = 0xA5;
  const void* image = r.get();
  EXPECT_EQ(U8At(image, 0), 0xFF);
  EXPECT_EQ(U8At(image, 1) | U8At(image, 2) | U8At(image, 3), 0);
  EXPECT_EQ(U8At(image, 4), 0x04);  // little-endian
  EXPECT_EQ(U32At(image, 4), 0x01020304u);
  EXPECT_EQ(U32At(image, 8), 0xC0000010u);
  EXPECT_EQ(U32At(image, 12), 0x0A0B0C0Du);
  EXPECT_EQ(U32At(image, 16), 0xFFFFFFFFu);
  EXPECT_EQ(U8At(image, 20), 0x5A);
  EXPECT_EQ(U8At(image, 65588), 0xA5);
  EXPECT_EQ(sizeof(ReplyRecord), 65589u);
}

TEST(ChannelRecords, PingRecordImage) {
  auto r = Zeroed<PingRecord>();
  r->marker = kRecordMarker;
  r->slotHandle = 0xCAFEF00D;
  r->sid[0] = u'S';
  r->sid[59] = 0x1234;
  const void* image = r.get();
  EXPECT_EQ(sizeof(PingRecord), 128u);
  EXPECT_EQ(U8At(image, 0), 0xFF);
  EXPECT_EQ(U32At(image, 4), 0xCAFEF00Du);
  EXPECT_EQ(U16At(image, 8), u'S');
  EXPECT_EQ(U16At(image, 8 + 59 * 2), 0x1234);
}

TEST(ChannelRecords, CleanupDoneRecordImage) {
  auto r = Zeroed<CleanupDoneRecord>();
  r->marker = kRecordMarker;
  r->connectionHandle = 0x10;
  r->requestId = 0x20;
  r->status = STATUS_CANCELLED;
  r->information = 0x40;
  const void* image = r.get();
  EXPECT_EQ(sizeof(CleanupDoneRecord), 40u);
  EXPECT_EQ(U8At(image, 0), 0xFF);
  EXPECT_EQ(U32At(image, 4), 0x10u);
  for (size_t i = 8; i < 20; ++i) EXPECT_EQ(U8At(image, i), 0) << i;
  EXPECT_EQ(U32At(image, 20), 0x20u);
  EXPECT_EQ(U32At(image, 24), 0xC0000120u);
  EXPECT_EQ(U32At(image, 28), 0x40u);
  for (size_t i = 32; i < 40; ++i) EXPECT_EQ(U8At(image, i), 0) << i;
}

TEST(ChannelRecords, ConnectionRecordImage) {
  auto r = Zeroed<ConnectionRecord>();
  r->marker = kRecordMarker;
  r->sid[0] = u'S';
  r->sid[59] = u'9';
  r->name[0] = u'n';
  r->name[62] = u'z';
  r->driveLetter = 'X';
  r->active = 1;
  r->usedUnits = 0x100;
  r->freeUnits = 0x200;
  r->reserved = 0x300;
  r->connectionHandle = 0x400;
  const void* image = r.get();
  EXPECT_EQ(sizeof(ConnectionRecord), 268u);
  EXPECT_EQ(U8At(image, 0), 0xFF);
  EXPECT_EQ(U16At(image, 2), u'S');
  EXPECT_EQ(U16At(image, 2 + 59 * 2), u'9');
  EXPECT_EQ(U16At(image, 122), u'n');
  EXPECT_EQ(U16At(image, 122 + 62 * 2), u'z');
  EXPECT_EQ(U8At(image, 248), 'X');  // the ANSI letter in the low byte
  EXPECT_EQ(U8At(image, 249), 0);
  EXPECT_EQ(U8At(image, 250), 1);
  EXPECT_EQ(U32At(image, 252), 0x100u);
  EXPECT_EQ(U32At(image, 256), 0x200u);
  EXPECT_EQ(U32At(image, 260), 0x300u);
  EXPECT_EQ(U32At(image, 264), 0x400u);
}

TEST(ChannelRecords, InternalRequestImage) {
  auto r = Zeroed<InternalRequest>();
  r->marker = kRecordMarker;
  r->sid[0] = u'S';
  r->name[0] = u'c';
  r->target[0] = u'X';
  r->target[1] = u':';
  r->target[2] = u'\\';
  r->destination[0] = u'Y';
  r->destination[259] = 0x7777;
  r->result = 0xDEADBEEF;
  const void* image = r.get();
  EXPECT_EQ(sizeof(InternalRequest), 1296u);
  EXPECT_EQ(U8At(image, 0), 0xFF);
  EXPECT_EQ(U16At(image, 2), u'S');
  EXPECT_EQ(U16At(image, 122), u'c');
  EXPECT_EQ(U16At(image, 248), u'X');
  EXPECT_EQ(U16At(image, 250), u':');
  EXPECT_EQ(U16At(image, 252), u'\\');
  EXPECT_EQ(U16At(image, 768), u'Y');
  EXPECT_EQ(U16At(image, 768 + 259 * 2), 0x7777);
  EXPECT_EQ(U32At(image, 1288), 0xDEADBEEFu);
}

TEST(ChannelRecords, CreateDataLayout) {
  // The create data: token at 0, 260-character full name from 4, access at 524.
  EXPECT_EQ(4 + kPathChars * 2, 524u);
  EXPECT_EQ(CreateDispositionOf(0x05000040u), static_cast<uint32_t>(FILE_OVERWRITE_IF));
  EXPECT_EQ(CreateDispositionOf(0x02000001u), static_cast<uint32_t>(FILE_CREATE));
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
  EXPECT_EQ(DecodeMarked<CleanupDoneRecord>(buffer.data(), 39), nullptr);
}

TEST(ChannelRecords, SixtyFourBitSplitFields) {
  auto r = Zeroed<RequestRecord>();
  SetFileSize(*r, 0x123456789ull);
  EXPECT_EQ(U32At(r.get(), 40), 0x23456789u);
  EXPECT_EQ(U32At(r.get(), 28), 0x1u);
  EXPECT_EQ(FileSizeOf(*r), 0x123456789ull);

  SetByteOffset(*r, 0xFFFFFFFF00000001ull);
  EXPECT_EQ(U32At(r.get(), 4 + 2 * 4), 0x1u);           // word 2
  EXPECT_EQ(U32At(r.get(), 4 + 3 * 4), 0xFFFFFFFFu);    // word 3
  EXPECT_EQ(ByteOffsetOf(*r), 0xFFFFFFFF00000001ull);

  r->Parameters[1] = 0x80000000;
  r->validLengthHigh = 2;
  EXPECT_EQ(ValidLengthOf(*r), 0x280000000ull);

  // A 32-bit peer leaves the high halves zero: the values stay 32-bit.
  auto old = Zeroed<RequestRecord>();
  old->fileValue = 0xFFFFFFFF;
  old->Parameters[2] = 0x10;
  EXPECT_EQ(FileSizeOf(*old), 0xFFFFFFFFull);
  EXPECT_EQ(ByteOffsetOf(*old), 0x10ull);
}

}  // namespace
}  // namespace hvm
