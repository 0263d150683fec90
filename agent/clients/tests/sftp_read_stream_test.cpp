// The SFTP read stream against a scripted server standing in for libssh's
// read calls: pieces of 64 KiB and 1 MiB, answers shorter than asked (once,
// or always), jumps within the file, a file shorter or longer than listed,
// and the answers still due when the stream closes.
#include "agent/clients/sftp_read_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace hvm {
namespace {

constexpr uint64_t kMiB = 1u << 20;

struct ScriptedServer {
  std::vector<uint8_t> content;
  uint64_t listedSize = 0;                 // what fstat says ...
  bool grewAfterOpen = false;              // ... at open; later the true size
  int fstats = 0;
  uint32_t mostPerAnswer = 0xFFFFFFFFu;    // the server never answers more
  uint64_t cutOnceAt = ~uint64_t{0};       // the answer for this offset is cut once ...
  uint32_t cutOnceTo = 0;                  // ... to this many bytes
  struct Request {
    uint64_t offset;
    uint32_t length;
  };
  std::map<uint32_t, Request> due;         // requests sent and not yet answered
  uint64_t seekAt = 0;
  uint32_t nextId = 1;
  size_t mostInFlight = 0;
  uint32_t largestAsked = 0;
  std::vector<uint32_t> askedAfterCut;     // request lengths once a short answer came
  bool cutSeen = false;
  int opens = 0, closes = 0;
};

ScriptedServer* server = nullptr;

sftp_file Open(sftp_session, const char*, int, mode_t) {
  ++server->opens;
  return new sftp_file_struct{};
}

int Close(sftp_file file) {
  ++server->closes;
  delete file;
  return SSH_NO_ERROR;
}

sftp_attributes Fstat(sftp_file) {
  auto* a = static_cast<sftp_attributes>(std::calloc(1, sizeof(sftp_attributes_struct)));
  a->flags = SSH_FILEXFER_ATTR_SIZE;
  a->size = server->grewAfterOpen && server->fstats > 0 ? server->content.size() : server->listedSize;
  ++server->fstats;
  return a;
}

void AttributesFree(sftp_attributes a) { std::free(a); }

int Seek64(sftp_file, uint64_t at) {
  server->seekAt = at;
  return 0;
}

int ReadBegin(sftp_file, uint32_t length) {
  uint32_t id = server->nextId++;
  server->due[id] = {server->seekAt, length};
  server->mostInFlight = std::max(server->mostInFlight, server->due.size());
  server->largestAsked = std::max(server->largestAsked, length);
  if (server->cutSeen) server->askedAfterCut.push_back(length);
  return static_cast<int>(id);
}

int Read(sftp_file, void* data, uint32_t size, uint32_t id) {
  auto it = server->due.find(id);
  if (it == server->due.end()) return SSH_ERROR;
  ScriptedServer::Request r = it->second;
  server->due.erase(it);
  if (r.offset >= server->content.size()) return 0;  // end of file
  uint64_t n = std::min<uint64_t>({r.length, size, server->mostPerAnswer, server->content.size() - r.offset});
  if (r.offset == server->cutOnceAt) {
    n = std::min<uint64_t>(n, server->cutOnceTo);
    server->cutOnceAt = ~uint64_t{0};
    server->cutSeen = true;
  }
  if (n < r.length && r.offset + n < server->content.size()) server->cutSeen = true;
  std::memcpy(data, server->content.data() + r.offset, n);
  return static_cast<int>(n);
}

LibSsh ScriptedLibrary() {
  LibSsh ssh;
  ssh.open = &Open;
  ssh.close = &Close;
  ssh.fstat = &Fstat;
  ssh.attributes_free = &AttributesFree;
  ssh.seek64 = &Seek64;
  ssh.async_read_begin = &ReadBegin;
  ssh.async_read = &Read;
  return ssh;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> out(size);
  uint32_t x = 12345;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

class SftpReadStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = &server_;
    server_.content = Pattern(9 * kMiB + 4321);
    server_.listedSize = server_.content.size();
  }
  void TearDown() override {
    stream_.Close(true);
    server = nullptr;
  }
  // Reads [start, end) and checks it against the server's bytes.
  bool ReadsRight(uint64_t start, uint64_t end) {
    std::vector<uint8_t> out(end - start);
    std::string failure;
    if (!stream_.Read(nullptr, "/f", start, end, out.data(), failure)) return false;
    return std::equal(out.begin(), out.end(), server_.content.begin() + static_cast<ptrdiff_t>(start));
  }
  bool ReadsWhole(uint64_t piece) {
    for (uint64_t at = 0; at < server_.content.size(); at += piece)
      if (!ReadsRight(at, std::min<uint64_t>(server_.content.size(), at + piece))) return false;
    return true;
  }

  ScriptedServer server_;
  LibSsh ssh_ = ScriptedLibrary();
  SftpReadStream stream_{ssh_};
};

TEST_F(SftpReadStreamTest, PiecesOf64KiBAndOf1MiBStreamWithManyRequestsInFlight) {
  EXPECT_TRUE(ReadsWhole(64 * 1024));
  EXPECT_EQ(server_.opens, 1);
  EXPECT_GT(server_.mostInFlight, 4u);
  EXPECT_EQ(server_.largestAsked, kSftpReadRequestBytes);
  stream_.Close(true);
  EXPECT_TRUE(ReadsWhole(kMiB));
  EXPECT_EQ(server_.opens, 2);
  // A wide piece keeps more than itself asked for ahead of the reader.
  EXPECT_GT(server_.mostInFlight * kSftpReadRequestBytes, 2 * kMiB);
}

TEST_F(SftpReadStreamTest, AServerAnsweringLessThanAskedTeachesTheRequestSize) {
  server_.mostPerAnswer = 100000;
  EXPECT_TRUE(ReadsWhole(kMiB));
  EXPECT_EQ(stream_.requestBytes(), 100000u);
  ASSERT_FALSE(server_.askedAfterCut.empty());
  EXPECT_LE(*std::max_element(server_.askedAfterCut.begin(), server_.askedAfterCut.end()), 100000u);
}

TEST_F(SftpReadStreamTest, OneShortAnswerMidFileLeavesNoGapAndNoAnswerAtTheWrongOffset) {
  // The third request's answer comes back cut; the answers already asked for
  // after it belong to later offsets and must not fill the gap.
  server_.cutOnceAt = 2 * uint64_t{kSftpReadRequestBytes};
  server_.cutOnceTo = 777;
  EXPECT_TRUE(ReadsWhole(64 * 1024));
  EXPECT_EQ(stream_.requestBytes(), kSftpSmallestReadRequest);  // 777 is below the smallest request
}

TEST_F(SftpReadStreamTest, JumpsInTheFileDropTheAnswersAheadAndKeepTheHandle) {
  EXPECT_TRUE(ReadsRight(0, 65536));
  EXPECT_TRUE(ReadsRight(5 * kMiB + 3, 6 * kMiB + 3));
  EXPECT_TRUE(ReadsRight(100, 200));
  EXPECT_TRUE(ReadsRight(200, 200 + kMiB));
  EXPECT_EQ(server_.opens, 1);
}

TEST_F(SftpReadStreamTest, AFileShorterThanListedFailsAndOneThatGrewIsReadOn) {
  server_.listedSize = server_.content.size() + 10000;
  std::vector<uint8_t> out(65536);
  std::string failure;
  uint64_t tail = server_.content.size() - 1000;
  EXPECT_FALSE(stream_.Read(nullptr, "/f", tail, tail + out.size(), out.data(), failure));
  EXPECT_EQ(failure, "The file on the server is shorter than its listed size.");
  stream_.Close(true);
  // Smaller at open than it is now: the size is asked again before giving up.
  server_.listedSize = 3 * kMiB;
  server_.grewAfterOpen = true;
  server_.fstats = 0;
  EXPECT_TRUE(ReadsRight(3 * kMiB - 100, 3 * kMiB + 65436));
}

TEST_F(SftpReadStreamTest, ClosingReadsEveryAnswerStillDueAndClosesTheHandle) {
  EXPECT_TRUE(ReadsRight(0, 65536));
  EXPECT_GT(stream_.requestsInFlight(), 0u);
  stream_.Close(true);
  EXPECT_TRUE(server_.due.empty());
  EXPECT_EQ(server_.closes, 1);
  EXPECT_FALSE(stream_.open());
}

}  // namespace
}  // namespace hvm
