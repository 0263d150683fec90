// The upload that reads the local copy behind the program's writes: what it
// may send and when, what makes it give up, and that a close learns whether
// every byte went out.
#include "agent/clients/streamed_upload.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process_count_group.h"

namespace hvm {
namespace {

constexpr uint64_t kMiB = 1u << 20;

// A local copy in a temporary file, written like the service writes it.
struct LocalCopy {
  LocalCopy() {
    char name[] = "/tmp/hvm-stream-testXXXXXX";
    fd = mkstemp(name);
    unlink(name);
  }
  ~LocalCopy() { close(fd); }
  void Write(uint64_t at, const std::string& bytes) {
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)), static_cast<ssize_t>(bytes.size()));
    if (model.size() < at + bytes.size()) model.resize(at + bytes.size(), '\0');
    model.replace(at, bytes.size(), bytes);
  }
  int fd = -1;
  std::string model;
};

// What a server received: every byte the sender read, in order.
struct Received {
  std::mutex lock;
  std::string bytes;
  std::atomic<bool> failed{false};
  size_t Size() {
    std::lock_guard<std::mutex> guard(lock);
    return bytes.size();
  }
};

StreamedUpload* Started(LocalCopy& copy, uint64_t written, Received& received, bool accept = true) {
  StreamedUpload* stream = StreamedUpload::Make(copy.fd, written);
  if (!stream) return nullptr;
  stream->Start([&received, accept](StreamedUpload& s) {
    std::vector<char> piece(100000);  // not a divisor of the writes
    for (;;) {
      long n = s.Read(piece.data(), piece.size());
      if (n < 0) {
        received.failed = true;
        return false;
      }
      if (n == 0) return accept;
      std::lock_guard<std::mutex> guard(received.lock);
      received.bytes.append(piece.data(), static_cast<size_t>(n));
    }
  });
  return stream;
}

bool WaitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 2000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return condition();
}

std::string Bytes(size_t count, char first) {
  std::string text(count, '\0');
  for (size_t i = 0; i < count; ++i) text[i] = static_cast<char>(first + i % 23);
  return text;
}

// A local copy whose first `written` bytes are written, with its stream running.
struct Scene {
  explicit Scene(uint64_t written, bool accept = true) {
    copy.Write(0, Bytes(written, 'a'));
    stream.reset(Started(copy, written, received, accept));
  }
  bool Sent(uint64_t count) {
    return WaitFor([&] { return received.Size() == count; });
  }
  LocalCopy copy;
  Received received;
  std::unique_ptr<StreamedUpload> stream;
};

TEST(StreamedUpload, SendsWrittenBytesAsTheyComeAndTheRestAtTheClose) {
  Scene scene(kMiB);
  StreamedUpload& stream = *scene.stream;
  // Only what was written is sent; the sender waits for the next write.
  ASSERT_TRUE(scene.Sent(kMiB));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(scene.received.Size(), kMiB);
  scene.copy.Write(kMiB, Bytes(kMiB / 2, 'b'));
  stream.Wrote(kMiB, kMiB + kMiB / 2);
  ASSERT_TRUE(scene.Sent(kMiB + kMiB / 2));
  // A write further on leaves a gap: nothing past it goes before the close.
  scene.copy.Write(3 * kMiB, Bytes(1000, 'c'));
  stream.Changed(3 * kMiB);
  stream.Wrote(3 * kMiB, 3 * kMiB + 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(scene.received.Size(), kMiB + kMiB / 2);
  EXPECT_TRUE(stream.Finish(scene.copy.model.size()));
  EXPECT_EQ(scene.received.bytes, scene.copy.model);
  EXPECT_FALSE(stream.abandoned());
}

TEST(StreamedUpload, AChangeOfSentBytesAbandonsAndTheCloseSaysSo) {
  Scene scene(2 * kMiB);
  ASSERT_TRUE(scene.Sent(2 * kMiB));
  scene.copy.Write(10, "rewritten");
  scene.stream->Changed(10);
  EXPECT_TRUE(scene.stream->abandoned());
  // The sender breaks its request off; the close uploads the ordinary way.
  EXPECT_TRUE(WaitFor([&] { return scene.received.failed.load(); }));
  EXPECT_FALSE(scene.stream->Finish(scene.copy.model.size()));
}

TEST(StreamedUpload, ChangesOfBytesNotYetSentAreTakenAlong) {
  Scene scene(kMiB);
  ASSERT_TRUE(scene.Sent(kMiB));
  // Written twice after the sent part: the last bytes are what goes out.
  scene.copy.Write(kMiB, Bytes(4096, 'x'));
  scene.stream->Changed(kMiB);
  scene.copy.Write(kMiB + 100, "again");
  scene.stream->Changed(kMiB + 100);
  EXPECT_FALSE(scene.stream->abandoned());
  EXPECT_TRUE(scene.stream->Finish(scene.copy.model.size()));
  EXPECT_EQ(scene.received.bytes, scene.copy.model);
}

TEST(StreamedUpload, ANewCopyFailsTheClose) {
  Scene scene(kMiB);
  scene.stream->Changed(0);  // the local copy was replaced or closed
  EXPECT_FALSE(scene.stream->Finish(kMiB));
}

TEST(StreamedUpload, ATruncationBelowTheSentPartFailsTheClose) {
  Scene scene(kMiB);
  ASSERT_TRUE(scene.Sent(kMiB));
  ASSERT_EQ(ftruncate(scene.copy.fd, 1000), 0);
  EXPECT_FALSE(scene.stream->Finish(1000));  // shorter than what the server has
}

TEST(StreamedUpload, ARefusalAfterTheLastByteFailsTheClose) {
  Scene scene(kMiB, false);
  EXPECT_FALSE(scene.stream->Finish(kMiB));
  EXPECT_EQ(scene.received.bytes, scene.copy.model);
}

// The test program itself in a group without room for one more thread.
TEST(StreamedUpload, AStreamTheSystemGivesNoThreadFailsTheCloseAtOnce) {
  if (test::kSanitizedBuild) GTEST_SKIP() << "a sanitized std::thread cannot fail to start cleanly";
  LocalCopy copy;
  copy.Write(0, Bytes(kMiB, 'a'));
  test::ProcessCountGroup group("hvm-stream-test-" + std::to_string(getpid()));
  if (!group.made()) GTEST_SKIP() << "no process-count group can be made";
  ASSERT_TRUE(group.Limit(test::ProcessCountGroup::ThreadsOf(getpid())));
  ASSERT_TRUE(group.Enter(getpid()));
  Received received;
  std::unique_ptr<StreamedUpload> stream(Started(copy, kMiB, received));
  ASSERT_TRUE(group.Leave(getpid()));
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(stream->abandoned());
  EXPECT_FALSE(stream->Finish(kMiB));  // the close uploads the whole copy instead
  EXPECT_EQ(received.Size(), 0u);
}

TEST(StreamedUpload, ASenderThatNeverEndsIsStoppedWithItsStream) {
  LocalCopy copy;
  copy.Write(0, Bytes(kMiB, 'a'));
  Received received;
  auto* stream = Started(copy, kMiB, received);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(WaitFor([&] { return received.Size() == kMiB; }));
  // The entry goes away while the program still "writes": no hang, no send.
  auto done = std::async(std::launch::async, [stream] { delete stream; });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(received.failed.load());
}

TEST(StreamedUpload, ASenderStuckOutsideItsReadsIsCancelled) {
  LocalCopy copy;
  copy.Write(0, Bytes(kMiB, 'a'));
  auto* stream = StreamedUpload::Make(copy.fd, kMiB);
  ASSERT_TRUE(stream);
  std::atomic<bool> entered{false};
  stream->Start([&entered](StreamedUpload& s) {
    // Like a transfer whose server stopped reading: no further Read comes.
    auto stop = std::make_shared<std::atomic<bool>>(false);
    s.SetCanceller([stop] { stop->store(true); });
    entered = true;
    while (!stop->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.SetCanceller({});
    return true;
  });
  ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
  stream->Changed(0);
  auto done = std::async(std::launch::async, [stream] { return stream->Finish(kMiB); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(done.get());
  delete stream;
}

TEST(StreamedUpload, OnlyAFewRunAtOnceAndARewindOnlyBeforeTheFirstByte) {
  LocalCopy copy;
  copy.Write(0, Bytes(4096, 'a'));
  std::vector<std::unique_ptr<StreamedUpload>> streams;
  for (int i = 0; i < kMostStreams; ++i) {
    streams.emplace_back(StreamedUpload::Make(copy.fd, 4096));
    ASSERT_TRUE(streams.back());
  }
  EXPECT_EQ(StreamedUpload::Make(copy.fd, 4096), nullptr);
  EXPECT_TRUE(streams[0]->Rewind());
  char piece[10];
  EXPECT_EQ(streams[0]->Read(piece, sizeof piece), 10);
  EXPECT_FALSE(streams[0]->Rewind());
  streams.pop_back();
  std::unique_ptr<StreamedUpload> again(StreamedUpload::Make(copy.fd, 4096));
  EXPECT_TRUE(again);
  // A descriptor that cannot be duplicated gives no stream and keeps no slot.
  EXPECT_EQ(StreamedUpload::Make(-1, 0), nullptr);
}

}  // namespace
}  // namespace hvm
