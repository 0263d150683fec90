// A large file on its way to the server while the program is still writing
// it. A program that writes a file from its start to its end (cp, dd, tar,
// a download) would otherwise wait at close for the whole upload of the
// local copy; here the upload reads the local copy behind the writes, on a
// thread and connection of its own, and at close only the rest goes out.
//
// Bytes are sent only once they are final: those below the end of the
// writes that followed one another without a gap. Any change below that
// point (a write further back, a truncation, a new local copy) abandons the
// stream: its request is broken off, which servers treat as a failed
// upload, and the close uploads the whole copy the ordinary way. The close
// still returns only the server's answer to the finished upload.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "agent/service/file_entry.h"

namespace hvm {

inline constexpr uint8_t kSectionStreamedUpload = 10;
// A file is streamed once a write that ends at the local copy's end reaches this far.
inline constexpr uint64_t kStreamFromBytes = 1u << 20;
// Streams running at once in the agent; a file beyond that goes up at close.
inline constexpr int kMostStreams = 4;

struct StreamedUpload : AttachedSection {
  // The protocol's upload: reads its body with Read() until it returns 0
  // and answers true when the server accepted it.
  using Sender = std::function<bool(StreamedUpload& stream)>;

  // A stream over a duplicate of localCopy whose bytes [0, finalUpTo) are
  // written already; null when kMostStreams run or the copy cannot be
  // duplicated.
  static StreamedUpload* Make(int localCopy, uint64_t finalUpTo);
  // Abandons a stream that is still running and waits for its thread.
  ~StreamedUpload() override;
  StreamedUpload(const StreamedUpload&) = delete;
  StreamedUpload& operator=(const StreamedUpload&) = delete;

  // Runs send on the stream's own thread.
  void Start(Sender send);

  // The program wrote [start, end) into the local copy.
  void Wrote(uint64_t start, uint64_t end);
  // The local copy changed from offset `from` on in another way.
  void Changed(uint64_t from);
  // The file's server path changed: the request, made for the old one, is broken off.
  void Cancel();
  // The copy is complete at `size` bytes: sends the rest and waits for the
  // server's answer. True only when every byte went out and was accepted.
  bool Finish(uint64_t size);
  bool abandoned();

  // What the protocol's sender learnt from the server, for the close.
  std::shared_ptr<void> protocolAnswer;

  // For the sender: up to length bytes of the body, waiting until they are
  // final; 0 at the end of the body, -1 once the stream is abandoned or the
  // local copy cannot be read.
  long Read(char* buffer, size_t length);
  // For the sender: back to the start for a resend, possible only while
  // nothing has gone out.
  bool Rewind();
  // For the sender: called when the stream is abandoned, so that a transfer
  // stuck on a server that stopped reading ends too (cleared with {}).
  void SetCanceller(std::function<void()> cancel);

 private:
  StreamedUpload(int fd, uint64_t finalUpTo);
  void Abandon();  // the lock is held

  std::mutex mutex_;
  std::condition_variable event_;
  int fd_;
  uint64_t final_;                  // [0, final_) may be sent
  uint64_t size_ = ~uint64_t{0};    // the body's length once the copy is closed
  uint64_t sent_ = 0;
  uint64_t claimed_ = 0;            // sent_ and the piece being read now
  bool abandoned_ = false;
  bool done_ = false;               // the sender returned
  bool accepted_ = false;           // and said the server took it
  std::function<void()> cancel_;
  std::thread thread_;
};

// The entry's stream, or null.
StreamedUpload* FindStream(FileEntry& entry);
// Whether the program's write that ended at `end` may start a stream: it
// reached kStreamFromBytes and the local copy's end (so everything before it
// is written), and the file is no Excel workbook (whose first close is not
// uploaded).
bool MayStartStream(FileEntry& entry, uint64_t end);
// A stream of the entry's local copy attached to the entry, the first
// `written` bytes final, carrying `answer` for the protocol; null when none
// may run now.
StreamedUpload* AttachStream(FileEntry& entry, uint64_t written, std::shared_ptr<void> answer);

}  // namespace hvm
