// Reads: from a complete downloaded copy, from a background download on
// servers without byte ranges, from a 3 MiB read-ahead block for large files
// read again and again, or with one ranged GET. The jobs that fill the
// blocks run on the job pool, each on its own clone of the client.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "agent/clients/webdav_sections.h"
#include "common/moorlib.h"
#include "platform/temp_file.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr DWORD kSizeDiffers = static_cast<DWORD>(-3);

ThreadPool& JobPool() {
  static ThreadPool pool(4, 1);
  return pool;
}

// Fills a section from a GET on the section's own client.
class SectionFillJob : public Job {
 public:
  explicit SectionFillJob(WebDavSection* section) : section_(section) {}
  void Run() override {
    WebDavClient& client = *section_->client;
    int32_t status = section_->cancel.load() ? static_cast<int32_t>(STATUS_CANCELLED) : Request(client);
    bool ok = Accepts(client, status);
    {
      std::lock_guard<std::mutex> guard(section_->mutex);
      section_->started = true;
      if (!ok) section_->status = status ? status : static_cast<int32_t>(STATUS_UNEXPECTED_NETWORK_ERROR);
    }
    section_->event.notify_all();
    if (ok) Transfer(client);
    client.CloseRequest();
    {
      std::lock_guard<std::mutex> guard(section_->mutex);
      section_->finished = true;
    }
    section_->event.notify_all();
    section_->JobLeft();
  }

 protected:
  virtual int32_t Request(WebDavClient& client) = 0;
  virtual bool Accepts(WebDavClient& client, int32_t status) = 0;
  // Stores a piece at the section's position; false when it cannot.
  virtual bool Store(const char* data, size_t length) = 0;
  virtual uint64_t Wanted() = 0;

  // The body goes straight from the connection into the section.
  void Transfer(WebDavClient& client) {
    const uint64_t wanted = Wanted();
    std::function<bool(const char*, size_t)> sink = [&](const char* data, size_t length) {
      if (section_->cancel.load()) return false;
      uint64_t at = section_->position.load(std::memory_order_relaxed);  // only this job moves it
      size_t take = static_cast<size_t>(std::min<uint64_t>(length, wanted - std::min(wanted, at)));
      if (take && !Store(data, take)) {
        std::lock_guard<std::mutex> guard(section_->mutex);
        section_->status = static_cast<int32_t>(-2);
        return false;
      }
      Publish(at + take);
      // The last wanted byte does not stop the transfer: a reply that ends
      // there completes normally and its connection serves the next fill.
      // Only bytes beyond what is wanted end it early.
      return take == length;
    };
    DWORD error = client.transport().Drain(sink);
    std::lock_guard<std::mutex> guard(section_->mutex);
    // A failure after the last wanted byte costs only the connection.
    if (error && !section_->status && section_->position < wanted) section_->status = static_cast<int32_t>(error);
    if (!section_->status && section_->position < wanted && wanted != ~uint64_t{0} && !section_->cancel.load())
      section_->status = static_cast<int32_t>(STATUS_UNEXPECTED_NETWORK_ERROR);
  }

  // Makes the bytes up to filled visible and wakes a reader only once what
  // it sleeps for is there (a wake-up per piece costs more than the copy).
  void Publish(uint64_t filled) {
    section_->position.store(filled);
    uint64_t awaited = section_->awaited.load();
    if (awaited == 0 || filled < awaited) return;
    {
      std::lock_guard<std::mutex> guard(section_->mutex);
      section_->awaited.store(0);
    }
    section_->event.notify_all();
  }

  WebDavSection* section_;
};

class FullDownloadJob : public SectionFillJob {
 public:
  explicit FullDownloadJob(DownloadSection* s) : SectionFillJob(s), download_(s) {}

 protected:
  int32_t Request(WebDavClient& client) override {
    WideDbgPrint(u" reading count=%d noRange started %ws\n", 0, download_->serverPath.c_str());
    return client.PerformRequest('T', nullptr, download_->serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  }
  bool Accepts(WebDavClient&, int32_t status) override { return IsSuccessStatus(status); }
  bool Store(const char* data, size_t length) override {
    ssize_t n = pwrite(download_->fd, data, length, static_cast<off_t>(download_->position.load()));
    return n == static_cast<ssize_t>(length);
  }
  uint64_t Wanted() override { return download_->fileSize ? download_->fileSize : ~uint64_t{0}; }

 private:
  DownloadSection* download_;
};

class RangeReadJob : public SectionFillJob {
 public:
  explicit RangeReadJob(ReadAheadSection* s) : SectionFillJob(s), block_(s) {}

 protected:
  int32_t Request(WebDavClient& client) override {
    return client.PerformRequest('T', nullptr, block_->serverPath, nullptr, {}, nullptr, block_->start,
                                 block_->start + block_->length, nullptr);
  }
  bool Accepts(WebDavClient& client, int32_t status) override {
    return status == 206 && client.transport().RangeStartsAt(block_->start);
  }
  bool Store(const char* data, size_t length) override {
    uint64_t at = block_->position.load(std::memory_order_relaxed);
    if (at + length > block_->buffer.size()) return false;
    std::memcpy(block_->buffer.data() + at, data, length);
    return true;
  }
  uint64_t Wanted() override { return block_->length; }

 private:
  ReadAheadSection* block_;
};

void Submit(WebDavSection* section, Job* job) {
  {
    std::lock_guard<std::mutex> guard(section->mutex);
    section->jobRunning = true;
    section->started = section->finished = false;
    section->status = 0;
    section->position = 0;
    section->awaited = 0;
    section->cancel = false;
  }
  JobPool().Assignment(job);
}

void WaitStarted(WebDavSection* section) {
  std::unique_lock<std::mutex> guard(section->mutex);
  section->event.wait(guard, [&] { return section->started || section->finished; });
}

// Waits until the section holds `until` bytes or its job ended; true when it does.
bool WaitFilled(WebDavSection* section, uint64_t until) {
  if (section->position.load() >= until) return true;
  std::unique_lock<std::mutex> guard(section->mutex);
  while (section->position.load() < until && !section->finished) {
    uint64_t awaited = section->awaited.load();
    if (awaited == 0 || until < awaited) section->awaited.store(until);
    // Looked at again after announcing the wait: the job may have passed
    // the point before it could see the announcement.
    if (section->position.load() >= until) break;
    section->event.wait(guard);
  }
  return section->position.load() >= until;
}

}  // namespace

WebDavSection::WebDavSection() = default;
WebDavSection::~WebDavSection() { StopJob(); }

bool WebDavSection::IsFinished() {
  std::lock_guard<std::mutex> guard(mutex);
  return finished || !jobRunning;
}

void WebDavSection::StopJob() {
  cancel = true;
  std::unique_lock<std::mutex> guard(mutex);
  event.wait(guard, [&] { return !jobRunning; });
}

void WebDavSection::JobLeft() {
  std::lock_guard<std::mutex> guard(mutex);
  jobRunning = false;
  event.notify_all();
}

DownloadSection::~DownloadSection() {
  StopJob();
  if (fd >= 0) close(fd);
}

void StartFullDownload(DownloadSection* section) { Submit(section, new FullDownloadJob(section)); }
void StartRangeRead(ReadAheadSection* section) { Submit(section, new RangeReadJob(section)); }

NTSTATUS WebDavClient::Get(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination,
                           uint32_t) {
  WideDbgPrint(u"Get start=%ld, finish=%ld, *buf=%lx *len=%ld %ws\n", static_cast<long>(start),
               static_cast<long>(end), 0L, static_cast<long>(end - start), entry ? entry->path : u"");
  if (!entry || end <= start) return end == start ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  bool done = false;
  NTSTATUS status = ReadFromCompleteCopy(entry, start, end, destination, &done);
  if (done) return status;
  if (site_ && !site_->passive) return ReadWithoutRanges(entry, reply, start, end, destination);
  return ReadWithRanges(entry, reply, start, end, destination);
}

NTSTATUS WebDavClient::GetChecked(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
                                  uint8_t* destination, uint32_t) {
  return DirectRangedGet(entry, reply, start, end, destination, true);
}

NTSTATUS WebDavClient::ReadFromCompleteCopy(FileEntry* entry, uint64_t start, uint64_t end, uint8_t* destination,
                                            bool* done) {
  *done = false;
  DownloadSection* copy = FindSection<DownloadSection>(*entry);
  if (!copy || copy->kind != kSectionCompleteCopy || copy->generation != entry->uploadsDone) return STATUS_SUCCESS;
  ssize_t n = pread(copy->fd, destination, end - start, static_cast<off_t>(start));
  if (n == static_cast<ssize_t>(end - start)) {
    *done = true;
    return STATUS_SUCCESS;
  }
  WideDbgPrint(u"Get TMP_FILE error=%ld s=%ld f=%ld \n", static_cast<long>(errno), static_cast<long>(start),
               static_cast<long>(end));
  return STATUS_SUCCESS;
}

NTSTATUS WebDavClient::ReadWithoutRanges(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
                                         uint8_t* destination) {
  DownloadSection* download = FindSection<DownloadSection>(*entry);
  if (download && download->generation != entry->uploadsDone) {
    // Downloaded before the file was last uploaded: the old contents.
    DetachSection(*entry, download);
    download = nullptr;
  }
  if (!download) {
    auto* fresh = new (std::nothrow) DownloadSection();
    if (!fresh) return STATUS_INSUFFICIENT_RESOURCES;
    fresh->fd = CreateTempLocalFile();
    if (fresh->fd < 0) {
      delete fresh;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    fresh->client = Clone();
    fresh->serverPath = reply.serverPath;
    fresh->fileSize = entry->size == kNoSize ? 0 : entry->size;
    fresh->generation = entry->uploadsDone;
    AttachSection(*entry, fresh, kSectionDownload, false);
    download = fresh;
    StartFullDownload(download);
    WaitStarted(download);
  }
  for (;;) {
    bool reached = WaitFilled(download, end);
    ssize_t n = pread(download->fd, destination, end - start, static_cast<off_t>(start));
    if (n == static_cast<ssize_t>(end - start) || (reached && n >= 0 && download->IsFinished() && !download->status)) {
      WideDbgPrint(u" * read success start %ld pos=%ld\n", static_cast<long>(start),
                   static_cast<long>(download->position));
      std::lock_guard<std::mutex> guard(download->mutex);
      if (download->finished && !download->status) download->kind = kSectionCompleteCopy;
      return STATUS_SUCCESS;
    }
    WideDbgPrint(u" reading atemp error %lx start=%ld finish=%ld pos=%ld \n", static_cast<unsigned long>(errno),
                 static_cast<long>(start), static_cast<long>(end), static_cast<long>(download->position));
    if (download->IsFinished()) break;
  }
  // The download ended early: drop it and read what is asked directly.
  DetachSection(*entry, download);
  return GetChecked(entry, reply, start, end, destination, 0);
}

// Read-ahead blocks of one entry, at most two: the one being read and the
// next one, filled while the first is read.
static std::vector<ReadAheadSection*> ReadAheadBlocks(FileEntry& entry) {
  std::vector<ReadAheadSection*> blocks;
  std::lock_guard<std::recursive_mutex> guard(entry.lock);
  for (AttachedSection* s = entry.sections; s; s = s->next)
    if (auto* block = dynamic_cast<ReadAheadSection*>(s)) blocks.push_back(block);
  return blocks;
}

static bool Covers(ReadAheadSection* block, uint64_t start, uint64_t end, uint32_t generation) {
  if (block->length == 0 || block->generation != generation || start < block->start ||
      end > block->start + block->length)
    return false;
  std::lock_guard<std::mutex> guard(block->mutex);
  return !(block->finished && block->status);
}

void WebDavClient::LeavePath(FileEntry* entry) {
  RemoteClient::LeavePath(entry);
  if (entry == nullptr) return;
  // A fill under way asks for the old path, where another file may stand
  // once the rename is done: it is stopped, and its block filled anew from
  // the new path when read. What blocks hold already is the file's.
  for (ReadAheadSection* block : ReadAheadBlocks(*entry))
    if (!block->IsFinished()) {
      block->StopJob();
      block->length = 0;
    }
  if (DownloadSection* download = FindSection<DownloadSection>(*entry); download && !download->IsFinished())
    DetachSection(*entry, download);
}

ReadAheadSection* WebDavClient::NewReadAhead(FileEntry* entry, std::u16string_view serverPath) {
  auto* block = new (std::nothrow) ReadAheadSection();
  if (!block) return nullptr;
  block->buffer.resize(kReadAheadBytes);
  block->client = Clone();
  block->serverPath = serverPath;
  AttachSection(*entry, block, kSectionReadAhead, false);
  return block;
}

// Moves the block to start and fills it anew from serverPath (the file's
// path now: it may have been renamed since the block was made) with the
// contents of upload generation; false when the rest of the file is too
// short for the range.
static bool Refill(ReadAheadSection* block, uint64_t start, uint64_t fileSize, uint64_t needed, uint32_t generation,
                   std::u16string_view serverPath) {
  block->StopJob();
  block->generation = generation;
  block->serverPath = serverPath;
  block->start = start;
  block->length = std::min<uint64_t>(kReadAheadBytes, fileSize - start);
  if (block->length < needed) {
    block->length = 0;
    return false;
  }
  StartRangeRead(block);
  return true;
}

NTSTATUS WebDavClient::ReadWithRanges(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
                                      uint8_t* destination) {
  bool qualifies = entry->size != kNoSize && entry->size >= kReadAheadMinSize && end <= entry->size &&
                   end - start <= kReadAheadBytes;
  std::vector<ReadAheadSection*> blocks = ReadAheadBlocks(*entry);
  if (blocks.empty() && qualifies && entry->readCount >= 2) {
    ReadAheadSection* block = NewReadAhead(entry, reply.serverPath);
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    blocks.push_back(block);
  }
  if (blocks.empty() || !qualifies) return DirectRangedGet(entry, reply, start, end, destination, false);

  ReadAheadSection* block = nullptr;
  for (ReadAheadSection* b : blocks)
    if (Covers(b, start, end, entry->uploadsDone)) block = b;
  if (!block) {
    block = blocks.back()->IsFinished() ? blocks.back() : blocks.front();
    if (!Refill(block, start, entry->size, end - start, entry->uploadsDone, reply.serverPath))
      return DirectRangedGet(entry, reply, start, end, destination, false);
    WaitStarted(block);
  }
  // The next block is asked for before this one is waited for, so that its
  // request overlaps this block's transfer instead of following it.
  PrefetchAfter(entry, block, blocks, reply.serverPath);
  if (!WaitFilled(block, end - block->start)) {
    WideDbgPrint(u" reading atemp error %lx start=%ld finish=%ld pos=%ld \n",
                 static_cast<unsigned long>(block->status), static_cast<long>(start), static_cast<long>(end),
                 static_cast<long>(block->position));
    block->length = 0;  // refilled by the next read
    return DirectRangedGet(entry, reply, start, end, destination, false);
  }
  std::memcpy(destination, block->buffer.data() + (start - block->start), end - start);
  return STATUS_SUCCESS;
}

void WebDavClient::PrefetchAfter(FileEntry* entry, ReadAheadSection* block, std::vector<ReadAheadSection*>& blocks,
                                 std::u16string_view serverPath) {
  uint64_t next = block->start + block->length;
  if (next >= entry->size) return;
  for (ReadAheadSection* b : blocks)
    if (b != block && b->length && b->start == next && b->generation == entry->uploadsDone)
      return;  // already on its way
  ReadAheadSection* other = nullptr;
  for (ReadAheadSection* b : blocks)
    if (b != block) other = b;
  if (!other) other = NewReadAhead(entry, serverPath);
  if (other && other->IsFinished()) Refill(other, next, entry->size, 1, entry->uploadsDone, serverPath);
}

NTSTATUS WebDavClient::DirectRangedGet(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
                                       uint8_t* destination, bool checkSize) {
  bool ranges = site_ && site_->passive;
  int32_t status = PerformRequest('T', entry, reply.serverPath, nullptr, {}, nullptr, start, end, nullptr);
  bool accepted = ranges ? status == 206 : IsSuccessStatus(status);
  if (status == 206 && !transport_.RangeStartsAt(start)) {
    WideDbgPrint(u"Get: the server answered the range %ld-%ld with \"%ws\"\n", static_cast<long>(start),
                 static_cast<long>(end), Utf8ToUtf16(transport_.Header("Content-Range")).c_str());
    accepted = false;
  }
  if (!accepted) {
    CloseRequest();
    if (status >= 400 || status < 0) SetReplyMessage(reply, static_cast<uint32_t>(status));
    WideDbgPrint(u"Get error s=%ld f=%ld \n", static_cast<long>(start), static_cast<long>(end));
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  // A whole-file answer: skip to the range.
  uint64_t skip = status == 206 ? 0 : start;
  std::vector<uint8_t> scratch(std::min<uint64_t>(kMaxReplyRead, std::max<uint64_t>(skip, 1)));
  while (skip) {
    size_t got = 0;
    size_t want = static_cast<size_t>(std::min<uint64_t>(skip, scratch.size()));
    if (transport_.Read(reinterpret_cast<char*>(scratch.data()), want, &got) || got != want) break;
    skip -= got;
  }
  uint64_t total = 0;
  bool failed = skip != 0;
  while (!failed && total < end - start) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kMaxReplyRead, end - start - total));
    size_t got = 0;
    if (ReadReplyBody(destination + total, want, &got) != STATUS_SUCCESS) failed = true;
    total += got;
  }
  // More bytes than asked for also means the listing's size is stale.
  if (!failed && checkSize && status == 206 && !transport_.finished()) {
    uint8_t extra = 0;
    size_t got = 0;
    transport_.Read(reinterpret_cast<char*>(&extra), 1, &got);
    failed = got != 0;
  }
  CloseRequest();
  if (failed) {
    if (checkSize) {
      WideDbgPrint(u"** %ws GET status=%ld %ws The size of the file differs from the server PROPFIND\n",
                   std::u16string(connection_->Name()).c_str(), static_cast<long>(kSizeDiffers),
                   entry ? entry->path : u"");
      CopyWide(reply.message, kReplyMessageChars, u"The size of the file differs from the server PROPFIND");
    }
    WideDbgPrint(u"Get error s=%ld f=%ld \n", static_cast<long>(start), static_cast<long>(end));
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  return STATUS_SUCCESS;
}

NTSTATUS WebDavClient::Write(FileEntry* entry, ReplyArea&, uint64_t, uint64_t, const uint8_t*, NTSTATUS) {
  if (!entry) return STATUS_SUCCESS;
  while (entry->readers.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  DownloadSection* download = FindSection<DownloadSection>(*entry);
  if (download && site_ && !site_->passive && !entry->HasLocalCopy() && download->IsFinished() &&
      !download->status) {
    // The downloaded copy becomes the local copy the service writes into.
    entry->localCopy = dup(download->fd);
  }
  return STATUS_SUCCESS;
}

}  // namespace hvm
