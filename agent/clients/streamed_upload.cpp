#include "agent/clients/streamed_upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "common/moorlib.h"
#include "platform/wide_text.h"
#include "platform/start_thread.h"

namespace hvm {
namespace {

constexpr uint64_t kSizeOpen = ~uint64_t{0};
std::atomic<int> g_running{0};

// A descriptor of its own for the local copy, so that its reads can go
// without read-ahead while the service's reads of the copy keep theirs. The
// stream reads just behind the writes, at the copy's end: read-ahead there
// would make and zero new pages past the end for every read, only for the
// next write to fill them.
int OwnDescription(int localCopy) {
  std::string self = "/proc/self/fd/" + std::to_string(localCopy);
  int fd = open(self.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return dup(localCopy);
  posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  return fd;
}

}  // namespace

StreamedUpload* StreamedUpload::Make(int localCopy, uint64_t finalUpTo) {
  if (g_running.fetch_add(1) >= kMostStreams) {
    g_running--;
    return nullptr;
  }
  int fd = localCopy < 0 ? -1 : OwnDescription(localCopy);
  if (fd < 0) {
    g_running--;
    return nullptr;
  }
  return new StreamedUpload(fd, finalUpTo);
}

StreamedUpload::StreamedUpload(int fd, uint64_t finalUpTo) : fd_(fd), final_(finalUpTo) {}

StreamedUpload::~StreamedUpload() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!done_) Abandon();
  }
  if (thread_.joinable()) thread_.join();
  close(fd_);
  g_running--;
}

void StreamedUpload::Start(Sender send) {
  bool started = StartThread(thread_, [this, send = std::move(send)] {
    bool accepted = send(*this);
    std::lock_guard<std::mutex> guard(mutex_);
    done_ = true;
    accepted_ = accepted;
    event_.notify_all();
  });
  if (started) return;
  // No thread for it: the stream ends at once as an abandoned one, and the
  // close uploads the whole copy the ordinary way.
  std::lock_guard<std::mutex> guard(mutex_);
  abandoned_ = true;
  done_ = true;
  event_.notify_all();
}

void StreamedUpload::Abandon() {
  if (!abandoned_ && cancel_) cancel_();
  abandoned_ = true;
  event_.notify_all();
}

void StreamedUpload::SetCanceller(std::function<void()> cancel) {
  std::lock_guard<std::mutex> guard(mutex_);
  cancel_ = std::move(cancel);
  if (abandoned_ && cancel_) cancel_();
}

bool StreamedUpload::abandoned() {
  std::lock_guard<std::mutex> guard(mutex_);
  return abandoned_;
}

void StreamedUpload::Wrote(uint64_t start, uint64_t end) {
  std::lock_guard<std::mutex> guard(mutex_);
  // Only writes that join the written part move its end; one further on
  // leaves a gap whose bytes are not known yet.
  if (abandoned_ || size_ != kSizeOpen || start > final_ || end <= final_) return;
  final_ = end;
  event_.notify_all();
}

void StreamedUpload::Changed(uint64_t from) {
  std::lock_guard<std::mutex> guard(mutex_);
  // Bytes taken for the request cannot be taken back; a change at the
  // start is a new copy or a rewrite of the file.
  if (from < claimed_ || from == 0) Abandon();
}

void StreamedUpload::Cancel() {
  std::lock_guard<std::mutex> guard(mutex_);
  Abandon();
}

bool StreamedUpload::Finish(uint64_t size) {
  std::unique_lock<std::mutex> guard(mutex_);
  if (size < claimed_) Abandon();
  if (!abandoned_) size_ = size;
  event_.notify_all();
  event_.wait(guard, [this] { return done_; });
  return !abandoned_ && accepted_ && sent_ == size;
}

long StreamedUpload::Read(char* buffer, size_t length) {
  std::unique_lock<std::mutex> guard(mutex_);
  for (;;) {
    if (abandoned_) return -1;
    uint64_t limit = size_ != kSizeOpen ? size_ : final_;
    if (sent_ < limit) {
      length = static_cast<size_t>(std::min<uint64_t>(length, limit - sent_));
      break;
    }
    if (size_ != kSizeOpen) return 0;  // the whole body went out
    event_.wait(guard);
  }
  uint64_t at = sent_;
  claimed_ = at + length;
  guard.unlock();
  ssize_t n;
  do {
    n = pread(fd_, buffer, length, static_cast<off_t>(at));
  } while (n < 0 && errno == EINTR);
  guard.lock();
  if (n <= 0 || abandoned_) {
    Abandon();
    return -1;
  }
  sent_ = at + static_cast<uint64_t>(n);
  claimed_ = sent_;
  return static_cast<long>(n);
}

bool StreamedUpload::Rewind() {
  std::lock_guard<std::mutex> guard(mutex_);
  return claimed_ == 0 && !abandoned_;
}

StreamedUpload* FindStream(FileEntry& entry) {
  std::lock_guard<std::recursive_mutex> guard(entry.lock);
  for (AttachedSection* s = entry.sections; s; s = s->next)
    if (auto* stream = dynamic_cast<StreamedUpload*>(s)) return stream;
  return nullptr;
}

bool MayStartStream(FileEntry& entry, uint64_t end) {
  if (end < kStreamFromBytes || entry.IsDirectory() || !entry.HasLocalCopy()) return false;
  struct stat info {};
  if (fstat(entry.localCopy, &info) != 0 || static_cast<uint64_t>(info.st_size) != end) return false;
  std::u16string_view name = entry.Name();
  for (size_t i = 0; i + 4 <= name.size(); ++i)
    if (EqualsNoCase(name.substr(i, 4), u".xls")) return false;
  return true;
}

StreamedUpload* AttachStream(FileEntry& entry, uint64_t written, std::shared_ptr<void> answer) {
  StreamedUpload* stream = StreamedUpload::Make(entry.localCopy, written);
  if (!stream) return nullptr;
  stream->protocolAnswer = std::move(answer);
  AttachSection(entry, stream, kSectionStreamedUpload, false);
  WideDbgPrint(u"streaming the upload of %ws from %ld bytes\n", entry.path, static_cast<long>(written));
  return stream;
}

}  // namespace hvm
