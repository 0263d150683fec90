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
#include "agent/clients/webdav_listing_bodies.h"
#include "agent/clients/webdav_sections.h"
#include "agent/service/pending_answer.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

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
    s->JobLeft();
    DetachSection(*entry, s);
    // Last: while the job counts as a reader the housekeeping leaves the entry alone.
    if (entry->readers.load() > 0) entry->readers--;
    FinishPendingRequest(connectionHandle, requestId, status == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_CANCELLED);
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
  if (!entry || !(entry->flags & kEntryWrittenLocally) || entry->IsDirectory()) return STATUS_SUCCESS;
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

  entry->readers++;
  if (synchronous) {
    NTSTATUS status;
    {
      std::lock_guard<std::recursive_mutex> guard(entry->lock);
      status = UploadCopy(entry, entry->localCopy, size, serverPath);
    }
    if (entry->readers.load() > 0) entry->readers--;
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
  for (uint32_t attempt = 0; !uploaded; ++attempt) {
    status = PerformRequest('N', entry, serverPath, nullptr, {}, nullptr, 1, size, nullptr);
    if (status == kRequestNotSent) status = SendPrepared(&source);
    CloseRequest();
    uploaded = status >= 1 && status < 400;
    if (uploaded) break;
    if (status != 0) ReportFailure("PUT", status, serverPath);
    if (attempt < retries) continue;
    std::u16string text = u"Cannot write into a file!\n" + std::u16string(ErrorText(static_cast<uint32_t>(status)));
    if (Ask(text, entry->Name(), MB_RETRYCANCEL | MB_ICONERROR) != IDRETRY) break;
  }
  progress.reset();

  if (!uploaded) {
    // The person gave up on the upload and the data is safe in the backup: the
    // close that follows this cleanup must not ask and back up a second time.
    if (SaveUploadBackup(fd, connection_->Name(), entry->Name())) entry->flags &= ~kEntryWrittenLocally;
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  entry->flags &= ~kEntryWrittenLocally;
  entry->size = size;
  if (!(site_ && (site_->flags & kSitePlainProperties))) {
    WideDbgPrint(u"proppatch %ws\n", entry->path);
    int32_t patched = PerformRequest('W', entry, serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
    CloseRequest();
    // The server keeps no dead properties: later uploads and listings go without them.
    if ((patched == 501 || patched == 403 || patched == 405) && site_) site_->flags |= kSitePlainProperties;
    entry->flags &= ~kEntryTimesPending;
    if (!(site_ && (site_->flags & kSitePlainProperties))) RefreshAfterUpload(serverPath, entry);
  }
  entry->lastRefreshTime = NowFileTime();
  WideDbgPrint(u"***###**** closing Writing\n");
  return STATUS_SUCCESS;
}

void WebDavClient::RefreshAfterUpload(std::u16string_view serverPath, FileEntry* entry) {
  int32_t status = PerformRequest('D', entry, serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  if (status >= 1 && status < 400) ParseListing(entry->Path(), entry);
  else CloseRequest();
}

}  // namespace hvm
