// Sequential and repeated reads through the read-ahead blocks against Apache
// on loopback: the bytes a waiting reader receives straight from the job, the
// bytes kept in the blocks, and reads once the server has lost the file.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/integration/webdav_test_support.h"

namespace hvm::test {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kPiece = 65536;

class ReadAheadApache : public ApacheSuite {};

TEST_F(ReadAheadApache, SequentialPiecesAcrossBlockBoundariesAndRereadsAreExact) {
  const uint64_t size = 10 * 1048576 + 777;
  WriteFile(Data("seq.bin"), Pattern(size));
  TestSite site(server_->Url("/dav/"));
  site.List();
  FileEntry* entry = site.Entry(u"\\seq.bin");
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> piece;
  // Starting off the 64 KiB grid, some pieces straddle the 3 MiB blocks.
  for (uint64_t offset = 1000; offset < size; offset += kPiece) {
    uint64_t end = std::min(offset + kPiece, size);
    ASSERT_EQ(site.Read(entry, offset, end, piece), STATUS_SUCCESS) << offset;
    ASSERT_EQ(piece, Pattern(end - offset, offset)) << offset;
    if ((offset / kPiece) % 7 == 3) {
      // The piece just read may have gone straight to the reader without
      // being kept in the block; reading it again must still be exact, and
      // so must a piece a little further back in the same block.
      ASSERT_EQ(site.Read(entry, offset, end, piece), STATUS_SUCCESS) << offset;
      ASSERT_EQ(piece, Pattern(end - offset, offset)) << offset;
      uint64_t back = offset - 2 * kPiece;
      ASSERT_EQ(site.Read(entry, back, back + 100, piece), STATUS_SUCCESS) << back;
      ASSERT_EQ(piece, Pattern(100, back)) << back;
    }
  }
  EXPECT_NE(entry->sections, nullptr);
}

TEST_F(ReadAheadApache, ReadsPastAFileTheServerLostFailInsteadOfDeliveringStaleBytes) {
  const uint64_t size = 16 * 1048576;
  WriteFile(Data("lost.bin"), Pattern(size));
  TestSite site(server_->Url("/dav/"));
  site.List();
  FileEntry* entry = site.Entry(u"\\lost.bin");
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> piece;
  uint64_t offset = 0;
  for (; offset < 4 * kPiece; offset += kPiece) ASSERT_EQ(site.Read(entry, offset, offset + kPiece, piece), STATUS_SUCCESS);
  fs::remove(Data("lost.bin"));
  // Blocks already asked for may still deliver; each success is exact, and
  // the first block asked for after the loss fails the read.
  NTSTATUS status = STATUS_SUCCESS;
  for (; offset < size; offset += kPiece) {
    status = site.Read(entry, offset, offset + kPiece, piece);
    if (status != STATUS_SUCCESS) break;
    ASSERT_EQ(piece, Pattern(kPiece, offset)) << offset;
  }
  EXPECT_EQ(status, STATUS_UNEXPECTED_NETWORK_ERROR);
  EXPECT_LT(offset, 3 * kReadAheadBytes) << "no more than the blocks in flight are served";
  EXPECT_EQ(site.Read(entry, offset + kPiece, offset + 2 * kPiece, piece), STATUS_UNEXPECTED_NETWORK_ERROR);
}

}  // namespace
}  // namespace hvm::test
