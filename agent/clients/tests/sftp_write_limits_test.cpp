// The size of one write request, from a server's answer to the
// "limits@openssh.com" request: every answer is hostile input, so sizes it
// names are believed only between the size every server takes and the
// largest the client sends.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "agent/clients/sftp_client.h"

namespace hvm {
namespace {

void Put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// The answer's bytes after its id: packet, read and write limits, open handles.
std::vector<uint8_t> Limits(uint64_t packet, uint64_t read, uint64_t write, uint64_t handles = 0) {
  std::vector<uint8_t> out;
  Put64(out, packet);
  Put64(out, read);
  Put64(out, write);
  Put64(out, handles);
  return out;
}

uint32_t From(const std::vector<uint8_t>& answer) { return SftpWriteBytesFromLimits(answer.data(), answer.size()); }

TEST(SftpWriteLimits, OpenSshsLimitsGiveItsLargestWrite) {
  // OpenSSH's server: packets of 256 KiB, reads and writes of 255 KiB.
  EXPECT_EQ(From(Limits(256 * 1024, 255 * 1024, 255 * 1024, 8192)), 255u * 1024);
  EXPECT_EQ(kSftpBytesInFlight / From(Limits(256 * 1024, 255 * 1024, 255 * 1024)), 3u)
      << "fewer, larger requests keep about the same bytes on their way";
}

TEST(SftpWriteLimits, ASmallerWriteLimitIsKeptAndNeverGoesBelowWhatEveryServerTakes) {
  EXPECT_EQ(From(Limits(0, 0, 100000)), 100000u);
  EXPECT_EQ(From(Limits(0, 0, 1000)), kSftpChunkBytes);
  EXPECT_EQ(From(Limits(0, 0, 1)), kSftpChunkBytes);
}

TEST(SftpWriteLimits, APacketLimitBoundsTheWriteWithRoomForTheRequestsOwnFields) {
  uint32_t bytes = From(Limits(64 * 1024, 0, 0));
  EXPECT_LT(bytes, 64u * 1024);
  EXPECT_GE(bytes, 64u * 1024 - 512);
  // A packet limit too small for any data, or one that would wrap below zero.
  EXPECT_EQ(From(Limits(100, 0, 0)), kSftpChunkBytes);
  EXPECT_EQ(From(Limits(1, 0, 1u << 20)), kSftpChunkBytes);
}

TEST(SftpWriteLimits, NoLimitOrAHugeOneStopsAtTheLargestWriteSent) {
  EXPECT_EQ(From(Limits(0, 0, 0)), kSftpLargestWriteBytes);
  EXPECT_EQ(From(Limits(~uint64_t{0}, ~uint64_t{0}, ~uint64_t{0}, ~uint64_t{0})), kSftpLargestWriteBytes);
  EXPECT_EQ(From(Limits(0, 0, uint64_t{1} << 40)), kSftpLargestWriteBytes);
}

TEST(SftpWriteLimits, AShortOrMissingAnswerGivesTheSizeEveryServerTakes) {
  std::vector<uint8_t> whole = Limits(0, 0, 200000);
  // The write limit is the third number: an answer that ends within it says nothing.
  for (size_t length : {size_t{0}, size_t{8}, size_t{16}, size_t{23}})
    EXPECT_EQ(SftpWriteBytesFromLimits(whole.data(), length), kSftpChunkBytes) << length;
  EXPECT_EQ(SftpWriteBytesFromLimits(whole.data(), 24), 200000u) << "the handles' count is not needed";
  EXPECT_EQ(SftpWriteBytesFromLimits(nullptr, 32), kSftpChunkBytes);
}

}  // namespace
}  // namespace hvm
