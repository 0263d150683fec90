// Reads. A read of a full piece or more goes through the reading job: it
// reads the file sequentially from the first asked offset on a connection of
// its own into a temporary cache file, and readers wait until the cache
// position passes the end of their range. A broken transfer is resumed from
// the cache position (REST). The job stays at most kReadAheadLimit ahead of
// the last reader, and the part of the cache far behind it is given back.
// Smaller reads go to the server directly, unless the cache holds them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "agent/clients/ftp_client.h"
#include "agent/service/ntstatus.h"
#include "common/moorlib.h"
#include "platform/temp_file.h"

namespace hvm {

namespace {
constexpr uint8_t kSectionFtpCache = 9;
constexpr uint64_t kReadAheadLimit = 32u << 20;
// A job held at the limit goes on once it is this much closer to the reader:
// one wake-up for many pieces instead of one for each.
constexpr uint64_t kResumeSlack = 4u << 20;
constexpr uint64_t kRestartDistance = 8u << 20;   // a read this far past the cache starts anew there
constexpr uint64_t kKeepBehind = 64u << 20;       // cache kept behind the last reader
constexpr int kResumeAttempts = 5;
constexpr auto kParkAfter = std::chrono::seconds(20);
}  // namespace

struct FtpCacheSection : AttachedSection {
  ~FtpCacheSection() override {
    StopJob();
    if (fd >= 0) close(fd);
  }
  void StopJob() {
    std::unique_lock<std::mutex> guard(mutex);
    cancel = true;
    if (session) session->Cancel();
    event.notify_all();
    event.wait(guard, [&] { return !jobRunning; });
  }

  std::mutex mutex;
  std::condition_variable event;
  int fd = -1;
  std::string path;
  uint64_t fileSize = 0;
  uint64_t begin = 0;     // first cached offset
  uint64_t position = 0;  // the cache holds [begin, position)
  uint64_t readerEnd = 0; // end of the last range a reader asked for
  uint64_t awaited = 0;   // the position a sleeping reader waits for, 0 when none sleeps
  DWORD status = 0;       // the job's failure, 0 while fine
  bool finished = false;
  bool jobRunning = false;
  bool cancel = false;
  bool parked = false;    // the job stopped itself while no reader came closer
  bool held = false;      // the job waits at the read-ahead limit for the reader
  FtpSession* session = nullptr;  // the running job's, for cancelling
};

namespace {

// Called with the section's lock held.
bool HeldBack(const FtpCacheSection& s) { return s.position + kResumeSlack >= s.readerEnd + kReadAheadLimit; }

// A reader got as far as end: a job held at the limit goes on once the
// reader came close enough. Called with the section's lock held.
void ReaderReached(FtpCacheSection& s, uint64_t end) {
  s.readerEnd = std::max(s.readerEnd, end);
  if (s.held && !HeldBack(s)) s.event.notify_all();
}

ThreadPool& ReaderPool() {
  static ThreadPool pool(4, 1);
  return pool;
}

class ReadingJob : public Job {
 public:
  ReadingJob(FtpCacheSection* section, const FtpEndpoint& endpoint) : section_(section), endpoint_(endpoint) {}

  void Run() override {
    FtpSession session(endpoint_);
    FtpCacheSection* s = section_;
    {
      std::lock_guard<std::mutex> guard(s->mutex);
      s->session = &session;
    }
    WideDbgPrint(u"ReadingThread pos=%ld read=%ld\n", static_cast<long>(s->position), 0L);
    DWORD status = 0;
    int attempts = 0;
    while (!Cancelled() && Position() < s->fileSize && attempts < kResumeAttempts) {
      uint64_t from = Position();
      status = session.Download(s->path, from, 0, [&](const char* data, size_t length) { return Store(data, length); });
      if (!status || Cancelled() || Parked()) break;
      // A broken transfer goes on where it stopped; one that brings nothing gives up sooner.
      attempts = Position() > from ? 1 : attempts + 1;
      WideDbgPrint(u" ftp error *status=%d  start %ld pos=%ld cache.pos=%ld\n", static_cast<int>(status),
                   static_cast<long>(from), static_cast<long>(Position()), static_cast<long>(s->begin));
    }
    std::lock_guard<std::mutex> guard(s->mutex);
    if (s->parked) status = 0;
    else if (s->position < s->fileSize && !status && !s->cancel) status = kInetConnectionAborted;  // the file shrank
    s->status = s->cancel ? kInetOperationCancelled : status;
    s->finished = true;
    s->jobRunning = false;
    s->session = nullptr;
    WideDbgPrint(u"ReadingThread closing... status=0x%lx\n", static_cast<unsigned long>(s->status));
    s->event.notify_all();
  }

 private:
  uint64_t Position() {
    std::lock_guard<std::mutex> guard(section_->mutex);
    return section_->position;
  }
  bool Parked() {
    std::lock_guard<std::mutex> guard(section_->mutex);
    return section_->parked;
  }
  bool Cancelled() {
    std::lock_guard<std::mutex> guard(section_->mutex);
    return section_->cancel;
  }
  bool Store(const char* data, size_t length) {
    FtpCacheSection* s = section_;
    uint64_t at = Position();
    if (at >= s->fileSize) return false;  // more than the listing said: the rest is not wanted
    length = static_cast<size_t>(std::min<uint64_t>(length, s->fileSize - at));
    size_t done = 0;
    while (done < length) {
      ssize_t n = pwrite(s->fd, data + done, length - done, static_cast<off_t>(at + done));
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    std::unique_lock<std::mutex> guard(s->mutex);
    s->position = at + length;
    // A reader is woken once what it sleeps for is there, not for every piece.
    if (s->awaited && s->position >= s->awaited) {
      s->awaited = 0;
      s->event.notify_all();
    }
    // Far enough ahead of the reader: wait until it comes closer. A reader
    // that stays away lets the job end, so that it holds no worker.
    if (s->position < s->readerEnd + kReadAheadLimit) return !s->cancel;
    s->held = true;
    bool closer = s->event.wait_for(guard, kParkAfter, [&] { return s->cancel || !HeldBack(*s); });
    s->held = false;
    if (!closer) {
      s->parked = true;
      return false;
    }
    return !s->cancel;
  }

  FtpCacheSection* section_;
  FtpEndpoint endpoint_;
};

FtpCacheSection* FindCache(FileEntry& entry) {
  std::lock_guard<std::recursive_mutex> guard(entry.lock);
  for (AttachedSection* s = entry.sections; s; s = s->next)
    if (auto* cache = dynamic_cast<FtpCacheSection*>(s)) return cache;
  return nullptr;
}

// Starts the job at from; a job that goes on where the cache ends keeps the cache.
void StartJob(FtpCacheSection* s, uint64_t from, const FtpEndpoint& endpoint) {
  s->StopJob();
  {
    std::lock_guard<std::mutex> guard(s->mutex);
    if (from != s->position || from < s->begin) {
      // Starting elsewhere: what the cache held is no longer reachable.
      if (s->position > s->begin)
        fallocate(s->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(s->begin),
                  static_cast<off_t>(s->position - s->begin));
      s->begin = from;
    }
    s->position = from;
    s->readerEnd = from;
    s->parked = false;
    s->status = 0;
    s->finished = false;
    s->cancel = false;
    s->jobRunning = true;
  }
  WideDbgPrint(u"Reading asynchron pos=%ld read=%ld %s\n", static_cast<long>(from), 0L, s->path.c_str());
  ReaderPool().Assignment(new ReadingJob(s, endpoint));
}

// Gives the cache far behind the reader back to the file system.
void ReleaseBehind(FtpCacheSection* s) {
  std::lock_guard<std::mutex> guard(s->mutex);
  if (s->readerEnd < s->begin + 2 * kKeepBehind || s->readerEnd > s->position) return;
  uint64_t newBegin = s->readerEnd - kKeepBehind;
  fallocate(s->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(s->begin),
            static_cast<off_t>(newBegin - s->begin));
  s->begin = newBegin;
}

}  // namespace

NTSTATUS FtpClient::Get(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination,
                        uint32_t) {
  if (!entry || end <= start) return end == start ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  if (ReadFromCache(entry, start, end, destination)) return STATUS_SUCCESS;
  bool large = end - start >= kFtpAsyncReadBytes && entry->size != kNoSize && start < entry->size;
  return large ? ReadThroughCache(entry, reply, start, end, destination)
               : ReadDirect(entry, reply, start, end, destination);
}

bool FtpClient::ReadFromCache(FileEntry* entry, uint64_t start, uint64_t end, uint8_t* destination) {
  FtpCacheSection* s = FindCache(*entry);
  if (!s) return false;
  {
    std::lock_guard<std::mutex> guard(s->mutex);
    if (start < s->begin || end > s->position) return false;
    // Served from the cache, the reader still moves on: the job must follow.
    ReaderReached(*s, end);
  }
  ssize_t n = pread(s->fd, destination, end - start, static_cast<off_t>(start));
  if (n != static_cast<ssize_t>(end - start)) return false;
  ReleaseBehind(s);
  return true;
}

NTSTATUS FtpClient::ReadThroughCache(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
                                     uint8_t* destination) {
  FtpCacheSection* s = FindCache(*entry);
  if (!s) {
    s = new (std::nothrow) FtpCacheSection();
    if (!s) return STATUS_INSUFFICIENT_RESOURCES;
    s->fd = CreateTempLocalFile();
    if (s->fd < 0) {
      delete s;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Readers read just behind the job's writes, where read-ahead would only
    // make and zero pages past the end for the next write to fill.
    posix_fadvise(s->fd, 0, 0, POSIX_FADV_RANDOM);
    s->path = FtpPathOf(reply.serverPath);
    s->fileSize = entry->size;
    AttachSection(*entry, s, kSectionFtpCache, false);
    StartJob(s, start, endpoint_);
  } else {
    uint64_t from = kNoSize;
    {
      std::lock_guard<std::mutex> guard(s->mutex);
      if (start < s->begin || start > s->position + kRestartDistance) from = start;
      else if (s->finished && s->position < std::min(end, s->fileSize)) from = s->position;  // resumed
    }
    if (from != kNoSize) StartJob(s, from, endpoint_);
  }
  uint64_t wanted = std::min(end, s->fileSize);
  {
    std::unique_lock<std::mutex> guard(s->mutex);
    ReaderReached(*s, end);
    WideDbgPrint(u"GetAsinchron's waiting for having read start=%ld end=%ld %ws\n", static_cast<long>(start),
                 static_cast<long>(end), entry->path);
    while (s->position < wanted && !s->finished) {
      s->awaited = wanted;
      s->event.wait(guard);
    }
    s->awaited = 0;
    if (s->position < wanted) {
      WideDbgPrint(u" reading cycling start=%ld finish=%ld pos=%ld\n", static_cast<long>(start),
                   static_cast<long>(end), static_cast<long>(s->position));
      DWORD status = s->status ? s->status : kInetConnectionAborted;
      guard.unlock();
      return Failed(status, &reply, STATUS_UNEXPECTED_NETWORK_ERROR);
    }
  }
  ssize_t n = pread(s->fd, destination, wanted - start, static_cast<off_t>(start));
  if (n != static_cast<ssize_t>(wanted - start)) return STATUS_UNEXPECTED_NETWORK_ERROR;
  if (end > wanted) std::memset(destination + (wanted - start), 0, end - wanted);
  ReleaseBehind(s);
  return STATUS_SUCCESS;
}

NTSTATUS FtpClient::ReadDirect(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination) {
  // Up to the end of the file the transfer ends by itself and the connection stays;
  // a range that ends before it makes libcurl close the connection afterwards.
  bool toEnd = entry->size != kNoSize && end >= entry->size;
  // Bytes past the listed end are not the file's, as for the reading job.
  uint64_t want = (toEnd ? std::max(entry->size, start) : end) - start;
  uint64_t got = 0;
  if (want > 0) {
    if (DWORD error = Connect()) return Failed(error, &reply, STATUS_UNEXPECTED_NETWORK_ERROR);
    // A server sending on past what was asked for (a grown file, or one that
    // never stops) is cut off once those bytes are in; how the transfer ended
    // does not matter then.
    DWORD error = session_->Download(FtpPathOf(reply.serverPath), start, toEnd ? 0 : end,
                                     [&](const char* data, size_t length) {
                                       size_t take = static_cast<size_t>(std::min<uint64_t>(length, want - got));
                                       std::memcpy(destination + got, data, take);
                                       got += take;
                                       return take == length;
                                     });
    if (error && got < want) {
      ReportFailure("RETR", error, reply.serverPath);
      return Failed(error, &reply, STATUS_UNEXPECTED_NETWORK_ERROR);
    }
  }
  if (got < want && !toEnd) return STATUS_UNEXPECTED_NETWORK_ERROR;
  std::memset(destination + got, 0, (end - start) - got);  // past the end of the file
  return STATUS_SUCCESS;
}

uint64_t FtpClient::CachedUpTo(FileEntry* entry) {
  FtpCacheSection* s = entry ? FindCache(*entry) : nullptr;
  if (!s) return 0;
  std::lock_guard<std::mutex> guard(s->mutex);
  return s->position;
}

uint64_t FtpClient::CacheFootprint(FileEntry* entry) {
  FtpCacheSection* s = entry ? FindCache(*entry) : nullptr;
  struct stat info {};
  if (!s || fstat(s->fd, &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_blocks) * 512;
}

void FtpClient::DropCache(FileEntry* entry) {
  if (!entry) return;
  while (FtpCacheSection* s = FindCache(*entry)) DetachSection(*entry, s);
}

NTSTATUS FtpClient::Write(FileEntry* entry, ReplyArea&, uint64_t, uint64_t, const uint8_t*, NTSTATUS) {
  // The service writes into its local copy; what the cache holds is old from now on.
  DropCache(entry);
  return STATUS_SUCCESS;
}

void FtpClient::DropLocalCopy(FileEntry* entry, ReplyArea&) { DropCache(entry); }

}  // namespace hvm
