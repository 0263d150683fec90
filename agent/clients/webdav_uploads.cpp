// Sending a written local copy back: one streamed PUT in 131,072-byte
// pieces, "Retry" + 1 attempts and then the user's choice, a backup copy when
// everything failed, and the times as dead properties afterwards.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "agent/clients/upload_backup.h"
#include "agent/clients/webdav_dates.h"
#include "agent/clients/webdav_listing_bodies.h"
#include "agent/clients/webdav_sections.h"
#include "agent/service/local_copy.h"
#include "agent/service/operations.h"
#include "agent/service/pending_answer.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"
#include "platform/start_thread.h"

namespace hvm {
namespace {

constexpr uint8_t kSectionUpload = 8;

// Keeps the entry alive (deferred, not freed) while its upload runs in the background.
struct UploadSection : WebDavSection {
  ~UploadSection() override {
    StopJob();
    if (fd >= 0) close(fd);
  }
  int fd = -1;
  uint64_t size = 0;
  FileEntry* entry = nullptr;
  uint32_t connectionHandle = 0;
  uint32_t requestId = 0;
  Connection* connection = nullptr;
};

ThreadPool& UploadPool() {
  static ThreadPool pool(2, 1);
  return pool;
}

class SectionWriterJob : public Job {
 public:
  explicit SectionWriterJob(UploadSection* section) : section_(section) {}
  void Run() override {
    UploadSection* s = section_;
    FileEntry* entry = s->entry;
    NTSTATUS status;
    {
      std::lock_guard<std::recursive_mutex> guard(entry->lock);
      status = s->client->UploadCopy(entry, s->fd, s->size, s->serverPath);
    }
    uint32_t connectionHandle = s->connectionHandle, requestId = s->requestId;
    // Nobody waits on this thread: the person learns how the upload ended.
    if (s->connection != nullptr) ReportUploadEnd(*s->connection, *entry, status);
    s->JobLeft();
    DetachSection(*entry, s);
    // Last: while the job counts as a reader the housekeeping leaves the entry alone.
    if (entry->readers.load() > 0) entry->readers--;
    bool known = status == STATUS_SUCCESS || status == STATUS_OBJECT_NAME_COLLISION;
    FinishPendingRequest(connectionHandle, requestId, known ? status : STATUS_CANCELLED);
  }

 private:
  UploadSection* section_;
};

bool ForegroundIsExcel() {
  char module[260] = {};
  return GetActiveWindowModuleName(module, sizeof module, "excel.exe") == 0 && strcasecmp(module, "excel.exe") == 0;
}

bool ContainsNoCase(std::u16string_view text, std::u16string_view part) {
  if (part.size() > text.size()) return false;
  for (size_t i = 0; i + part.size() <= text.size(); ++i)
    if (EqualsNoCase(text.substr(i, part.size()), part)) return true;
  return false;
}

}  // namespace

NTSTATUS WebDavClient::CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t synchronous, uint32_t) {
  FileEntry* entry = handle ? handle->entry : nullptr;
  if (!entry || entry->IsDirectory()) return STATUS_SUCCESS;
  if (!(entry->flags & kEntryWrittenLocally)) {
    StoreSetTimes(entry, reply.serverPath);
    return STATUS_SUCCESS;
  }
  if (!(entry->flags & kEntryUploadKeepsLock) && (IsSharePoint() || BannerContains(u"Microsoft-IIS")))
    Unlock(entry, reply, 1, nullptr);
  // Excel closes and reopens its workbook while saving; only the second close is uploaded.
  if (synchronous && entry->handleCount > 0 && ContainsNoCase(entry->Name(), u".xls") &&
      !(entry->flags & kEntryExcelFirstClose) && ForegroundIsExcel()) {
    entry->flags |= kEntryExcelFirstClose;
    entry->flags &= ~kEntryWrittenLocally;
    WideDbgPrint(u"the first attempt to write the data from Excel, ignored %ws", entry->path);
    return STATUS_SUCCESS;
  }
  if (!entry->HasLocalCopy()) return STATUS_SUCCESS;
  struct stat info {};
  if (fstat(entry->localCopy, &info) != 0) return STATUS_UNSUCCESSFUL;
  uint64_t size = static_cast<uint64_t>(info.st_size);
  std::u16string serverPath = reply.serverPath;
  if (FinishStreamedPut(entry, size, serverPath, synchronous != 0)) return STATUS_SUCCESS;

  entry->readers++;
  if (synchronous) {
    NTSTATUS status;
    {
      std::lock_guard<std::recursive_mutex> guard(entry->lock);
      status = UploadCopy(entry, entry->localCopy, size, serverPath);
    }
    if (entry->readers.load() > 0) entry->readers--;
    // The name is another client's file: what is read from now on is theirs.
    if (status == STATUS_OBJECT_NAME_COLLISION) CloseLocalCopy(*connection_, *entry, CopyKind::Local);
    return status;
  }
  if (!entry->lockToken.empty()) Unlock(entry, reply, kCommandMode, nullptr);
  auto* section = new (std::nothrow) UploadSection();
  int fd = section ? dup(entry->localCopy) : -1;
  if (!section || fd < 0) {
    delete section;
    if (entry->readers.load() > 0) entry->readers--;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  section->fd = fd;
  section->size = size;
  section->entry = entry;
  section->client = Clone();
  section->serverPath = serverPath;
  section->connectionHandle = reply.connectionHandle;
  section->requestId = reply.requestId;
  section->connection = connection_;
  section->jobRunning = true;
  AttachSection(*entry, section, kSectionUpload, false);
  UploadPool().Assignment(new SectionWriterJob(section));
  return STATUS_PENDING;
}

NTSTATUS WebDavClient::UploadCopy(FileEntry* entry, int fd, uint64_t size, std::u16string_view serverPath) {
  std::unique_ptr<ProgressWindow> progress;
  if (size >= kProgressMinSize) {
    WideDbgPrint(u" domodal EndOfFile=%ld\n", static_cast<long>(size));
    std::u16string title = FormatWide(u"%c:%ws", connection_->DriveLetter(),
                                      DrivePathOf(*connection_, entry->Path()).substr(2).c_str());
    progress = CurrentUi().OpenProgress(title);
  }
  uint64_t offset = 0;
  UploadSource source;
  source.totalLength = size;
  source.rewind = [&] {
    offset = 0;
    return true;
  };
  source.read = [&](char* buffer, size_t length) -> long {
    size_t want = std::min<size_t>(length, kUploadPieceBytes);
    ssize_t n = pread(fd, buffer, want, static_cast<off_t>(offset));
    if (n < 0) {
      Ask(FormatWide(u"%ws total=%d, len=%d, bytes=%d, code=%d", entry->path, static_cast<int>(size),
                     static_cast<int>(want), static_cast<int>(n), errno)
              .substr(0, 179),
          u"Read error", MB_OK | MB_ICONERROR);
      return -1;
    }
    offset += static_cast<uint64_t>(n);
    if (progress) progress->Update(offset, size, entry->Name());
    return n;
  };

  uint32_t retries = site_ ? site_->retryCount : 1;
  int32_t status = 0;
  bool uploaded = false;
  UploadReply answer;
  for (uint32_t attempt = 0; !uploaded; ++attempt) {
    auto started = std::chrono::steady_clock::now();
    status = PerformRequest('N', entry, serverPath, nullptr, {}, nullptr, 1, size, nullptr);
    if (status == kRequestNotSent) status = SendPrepared(&source);
    uploaded = IsSuccessStatus(status);
    if (uploaded)
      answer = {transport_.Header("Last-Modified"), transport_.Header("Date"),
                std::chrono::steady_clock::now() - started < std::chrono::seconds(1)};
    CloseRequest();
    if (uploaded) break;
    if (status != 0) ReportFailure("PUT", status, serverPath);
    // Someone else made the file meanwhile: no attempt or answer changes that.
    if (status == 412 && IsUnsentNewFile(*entry)) break;
    if (attempt < retries) continue;
    std::u16string text = u"Cannot write into a file!\n" + std::u16string(ErrorText(static_cast<uint32_t>(status)));
    if (Ask(text, entry->Name(), MB_RETRYCANCEL | MB_ICONERROR) != IDRETRY) break;
  }
  progress.reset();

  if (!uploaded) {
    // The person gave up on the upload and the data is safe in the backup: the
    // close that follows this cleanup must not ask and back up a second time.
    if (KeepFailedUpload(*entry, fd, connection_->Name(), ErrorText(static_cast<uint32_t>(status))))
      entry->flags &= ~kEntryWrittenLocally;
    if (status != 412 || !IsUnsentNewFile(*entry)) return STATUS_UNEXPECTED_NETWORK_ERROR;
    // The name is the other client's file now: the next open reads it from the server.
    WideDbgPrint(1, 1, u"%ws: %ws was made on the server by someone else before it was closed here\n",
                 std::u16string(connection_->Name()).c_str(), std::u16string(serverPath).c_str());
    entry->flags &= ~(kEntryCreatePending | kEntryMustBeNew);
    entry->lastRefreshTime = 0;
    return STATUS_OBJECT_NAME_COLLISION;
  }
  entry->uploadFailure.reset();
  FinishUpload(entry, size, serverPath, answer);
  WideDbgPrint(u"***###**** closing Writing\n");
  return STATUS_SUCCESS;
}

void WebDavClient::FinishUpload(FileEntry* entry, uint64_t size, std::u16string_view serverPath,
                                const UploadReply& answer) {
  // What reads fetched from the server before this upload is the old contents.
  entry->uploadsDone++;
  // A new file has no properties of its own yet; an earlier PROPPATCH's would outlive the new contents.
  bool wasNew = IsUnsentNewFile(*entry);
  entry->flags &= ~(kEntryWrittenLocally | kEntryCreatePending | kEntryMustBeNew);
  if (wasNew) entry->flags &= ~kEntryServerKeepsTimes;
  entry->size = size;
  bool plain = site_ && (site_->flags & kSitePlainProperties);
  bool patch = !plain && (entry->flags & (kEntryTimesSet | kEntryServerKeepsTimes));
  std::tm t{};
  if (patch && wasNew && SendTimesBehind(entry, serverPath)) {
    // The entry's own times are the server's once the PROPPATCH is through.
  } else if (patch && PatchTimes(entry, serverPath)) {
    // The entry's own times are the server's now.
  } else if (ParseHttpDate(answer.lastModified.substr(0, 255), t) == 0) {
    entry->lastWriteTime = entry->changeTime = entry->serverModifiedTime = FileTimeFromUtc(t);
  } else if (answer.quick && ParseHttpDate(answer.date.substr(0, 255), t) == 0) {
    // The server keeps the time the file was written, to the second, and
    // dates its answer by the request's arrival: for an upload of under a
    // second the same second or the one before. A second apart shows later
    // as a change, which costs only a fresh read of a small file.
    entry->lastWriteTime = entry->changeTime = entry->serverModifiedTime = FileTimeFromUtc(t);
  } else if (!plain) {
    RefreshAfterUpload(serverPath, entry);
  }
  entry->lastRefreshTime = NowFileTime();
}

bool WebDavClient::PatchTimes(FileEntry* entry, std::u16string_view serverPath) {
  WideDbgPrint(u"proppatch %ws\n", entry->path);
  int32_t patched = PerformRequest('W', entry, serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  CloseRequest();
  // The server keeps no dead properties: later uploads and listings go without them.
  if ((patched == 501 || patched == 403 || patched == 405) && site_) site_->flags |= kSitePlainProperties;
  entry->flags &= ~kEntryTimesPending;
  if (patched < 1 || patched >= 400) return false;
  // A listing would read back the times just stored, to the second.
  entry->flags |= kEntryServerKeepsTimes;
  entry->serverModifiedTime = entry->lastWriteTime - entry->lastWriteTime % kFileTimeTicksPerSecond;
  return true;
}

bool WebDavClient::SendTimesBehind(FileEntry* entry, std::u16string_view serverPath) {
  if (!entry->lockToken.empty() || connection_->client.get() != this) return false;
  std::lock_guard<std::recursive_mutex> guard(timesLock_);
  // A free connection, or the one whose PROPPATCH went out first.
  TimesJob* slot = nullptr;
  for (auto& job : timesJobs_)
    if (!job->thread.joinable()) {
      slot = job.get();
      break;
    }
  if (slot == nullptr && timesJobs_.size() < kTimesConnections) {
    timesJobs_.push_back(std::make_unique<TimesJob>());
    slot = timesJobs_.back().get();
  }
  if (slot == nullptr) {
    for (auto& job : timesJobs_)
      if (slot == nullptr || job->started < slot->started) slot = job.get();
    FinishTimes(*slot);
  }
  if (!slot->client) slot->client = Clone();
  WideDbgPrint(u"proppatch behind %ws\n", entry->path);
  auto body = std::make_shared<std::string>(PropPatchBody(entry));
  entry->flags &= ~kEntryTimesPending;
  // What PatchTimes learns from a stored PROPPATCH, taken now; FinishTimes undoes it on a refusal.
  entry->flags |= kEntryServerKeepsTimes;
  entry->serverModifiedTime = entry->lastWriteTime - entry->lastWriteTime % kFileTimeTicksPerSecond;
  slot->path = entry->Path();
  slot->written = entry->lastWriteTime;
  slot->status = 0;
  slot->started = ++timesStarted_;
  WebDavClient* client = slot->client.get();
  std::u16string path(serverPath);
  auto patch = [slot, client, path, body] {
    int32_t status = client->PerformRequest('W', nullptr, path, nullptr, {}, body.get(), 0, 0, nullptr);
    client->CloseRequest();
    slot->status = status;
  };
  if (!StartThread(slot->thread, patch)) {
    // Without a thread to spare the times go out now, one after the other.
    patch();
    JudgeTimes(*slot);
  }
  return true;
}

void WebDavClient::SettleTimes() {
  std::lock_guard<std::recursive_mutex> guard(timesLock_);
  for (auto& job : timesJobs_) FinishTimes(*job);
}

void WebDavClient::FinishTimes(TimesJob& job) {
  if (!job.thread.joinable()) return;
  job.thread.join();
  JudgeTimes(job);
}

void WebDavClient::JudgeTimes(TimesJob& job) {
  int32_t patched = job.status;
  if ((patched == 501 || patched == 403 || patched == 405) && site_) site_->flags |= kSitePlainProperties;
  if (IsSuccessStatus(patched)) return;
  WideDbgPrint(1, 1, u"%ws: the times of %ws were not stored (status %d)\n",
               std::u16string(connection_->Name()).c_str(), job.path.c_str(), static_cast<int>(patched));
  // Not stored: the times stay the entry's and go again at its next cleanup.
  FileEntry* entry = connection_->entries.LookUp(job.path);
  if (entry == nullptr) return;
  entry->flags &= ~kEntryServerKeepsTimes;
  if (entry->lastWriteTime == job.written) entry->flags |= kEntryTimesPending;
}

// Times set on a file without writing it are stored at its cleanup.
void WebDavClient::StoreSetTimes(FileEntry* entry, std::u16string_view serverPath) {
  if (!(entry->flags & kEntryTimesSet) || (entry->flags & kEntryCreatePending)) return;
  if (site_ && (site_->flags & kSitePlainProperties)) return;
  PatchTimes(entry, serverPath);
}

void WebDavClient::RefreshAfterUpload(std::u16string_view serverPath, FileEntry* entry) {
  int32_t status = PerformRequest('D', entry, serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  if (IsSuccessStatus(status)) ParseListing(entry->Path(), entry);
  else CloseRequest();
}

}  // namespace hvm
