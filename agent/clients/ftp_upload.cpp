// Sending a written local copy back: STOR of the whole copy; after a broken
// transfer the server's SIZE tells how much arrived and APPE sends the rest.
// The server's size is checked afterwards. "Retry" + 1 attempts, then the
// person's choice; when everything failed the copy is kept as a backup.
// A created file reaches the server with its first upload (no empty STOR at
// create); a name that was new then is checked to be still free first.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "agent/clients/ftp_client.h"
#include "agent/clients/upload_backup.h"
#include "agent/clients/webdav_client.h"
#include "agent/service/local_copy.h"
#include "agent/service/ntstatus.h"
#include "common/moorlib.h"
#include "platform/runtime_paths.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr uint64_t kProgressFromBytes = 512001;

bool ContainsNoCase(std::u16string_view text, std::u16string_view part) {
  for (size_t i = 0; part.size() <= text.size() && i + part.size() <= text.size(); ++i)
    if (EqualsNoCase(text.substr(i, part.size()), part)) return true;
  return false;
}

bool ForegroundIsExcel() {
  char module[260] = {};
  return GetActiveWindowModuleName(module, sizeof module, "excel.exe") == 0 && strcasecmp(module, "excel.exe") == 0;
}

}  // namespace

NTSTATUS FtpClient::CreateFile(FileEntry* entry, ReplyArea& reply) {
  DropCache(entry);
  if (entry) {
    // The upload at the first cleanup makes the file, with what was written
    // until then: one data connection instead of two.
    entry->flags |= kEntryCreatePending;
    return STATUS_SUCCESS;
  }
  DWORD error = Connect();
  if (!error) error = session_->Upload(FtpPathOf(reply.serverPath), -1, 0, 0, {});
  if (!error) return STATUS_SUCCESS;
  WideDbgPrint(u"Error Open File %ld\n", static_cast<long>(error));
  return Failed(error, &reply, STATUS_ACCESS_DENIED);
}

NTSTATUS FtpClient::CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t synchronous, uint32_t) {
  FileEntry* entry = handle ? handle->entry : nullptr;
  if (!entry || !(entry->flags & kEntryWrittenLocally) || entry->IsDirectory()) return STATUS_SUCCESS;
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
  if (fstat(entry->localCopy, &info) != 0) {
    CurrentUi().MessageBox(u"Cannot read from tempfile", entry->Name(), MB_OK | MB_ICONERROR);
    return STATUS_UNSUCCESSFUL;
  }
  DropCache(entry);
  uint64_t size = static_cast<uint64_t>(info.st_size);
  if (FinishStreamedStor(entry, size)) {
    entry->flags &= ~(kEntryWrittenLocally | kEntryCreatePending | kEntryMustBeNew);
    entry->size = size;
    entry->lastRefreshTime = NowFileTime();
    return STATUS_SUCCESS;
  }
  entry->readers++;
  NTSTATUS status;
  {
    std::lock_guard<std::recursive_mutex> guard(entry->lock);
    status = UploadCopy(entry, entry->localCopy, size, FtpPathOf(reply.serverPath));
  }
  if (entry->readers.load() > 0) entry->readers--;
  if (status != STATUS_SUCCESS) CopyWide(reply.message, kReplyMessageChars, ErrorText(lastError_));
  // The name is another client's file: what is read from now on is theirs.
  if (status == STATUS_OBJECT_NAME_COLLISION) CloseLocalCopy(*connection_, *entry, CopyKind::Local);
  return status;
}

DWORD FtpClient::UploadOnce(int fd, uint64_t size, const std::string& path, ProgressWindow* progress,
                            FileEntry* entry, bool onlyIfFree) {
  if (DWORD error = Connect()) return error;
  auto report = [&](uint64_t sent) {
    if (progress) progress->Update(sent, size, entry->Name());
  };
  // The server's SIZE comes with the upload's own request.
  uint64_t stored = FtpSession::kNoSizeKnown;
  DWORD error = session_->Upload(path, fd, 0, size, report, &stored, onlyIfFree);
  if (error && session_->nameTaken()) return error;
  // A broken transfer: what arrived stays, the rest is appended.
  for (int resume = 0; error && error != kInetExtendedError && resume < 2; ++resume) {
    uint64_t arrived = FtpSession::kNoSizeKnown;
    if (session_->SizeOf(path, arrived) || arrived == FtpSession::kNoSizeKnown || arrived == 0 || arrived >= size)
      break;
    WideDbgPrint(u"ftp: upload broke at %llu of %llu, appending the rest\n", static_cast<unsigned long long>(arrived),
                 static_cast<unsigned long long>(size));
    error = session_->Upload(path, fd, arrived, size, report, &stored);
  }
  if (error) return error;
  if (stored != FtpSession::kNoSizeKnown && stored != size) {
    WideDbgPrint(u"ftp: the server holds %llu bytes instead of %llu\n", static_cast<unsigned long long>(stored),
                 static_cast<unsigned long long>(size));
    return kInetConnectionAborted;
  }
  return 0;
}

NTSTATUS FtpClient::UploadCopy(FileEntry* entry, int fd, uint64_t size, const std::string& path) {
  std::unique_ptr<ProgressWindow> progress;
  if (size >= kProgressFromBytes) {
    WideDbgPrint(u" domodal EndOfFile=%ld\n", static_cast<long>(size));
    progress = CurrentUi().OpenProgress(FormatWide(u"%c:%ws", connection_->DriveLetter(),
                                                   std::u16string(entry->Name()).c_str()));
  }
  uint32_t retries = site_ ? site_->retryCount : 1;
  DWORD error = 0;
  // Only the first STOR of a new name asks whether it is free: a later
  // attempt would meet what the broken one left there.
  bool onlyIfFree = IsUnsentNewFile(*entry);
  bool taken = false;
  for (uint32_t attempt = 0;; ++attempt) {
    error = UploadOnce(fd, size, path, progress.get(), entry, onlyIfFree && attempt == 0);
    lastError_ = error;
    if (session_) lastReplyText_ = session_->lastReplyText();
    if (!error) break;
    // Someone else made the file meanwhile: no attempt or answer changes that.
    taken = session_ && session_->nameTaken();
    if (taken) {
      lastReplyText_ = "a file of this name was made on the server meanwhile";
      break;
    }
    ReportFailure("STOR", error, entry->Path());
    if (attempt < retries) continue;
    std::u16string text = u"Cannot write into a file!\n" + std::u16string(ErrorText(error));
    if (CurrentUi().MessageBox(text, entry->Name(), MB_RETRYCANCEL | MB_ICONERROR) != IDRETRY) break;
  }
  progress.reset();
  if (error) {
    // The data is safe in the backup: the close that follows must not back it up again.
    if (KeepFailedUpload(*entry, fd, connection_->Name(), ErrorText(error)))
      entry->flags &= ~kEntryWrittenLocally;
    lastError_ = error;
    if (!taken) return STATUS_UNEXPECTED_NETWORK_ERROR;
    // The name is the other client's file now: the next open reads it from the server.
    WideDbgPrint(1, 1, u"%ws: %s was made on the server by someone else before it was closed here\n",
                 std::u16string(connection_->Name()).c_str(), path.c_str());
    entry->flags &= ~(kEntryCreatePending | kEntryMustBeNew);
    entry->lastRefreshTime = 0;
    return STATUS_OBJECT_NAME_COLLISION;
  }
  entry->uploadFailure.reset();
  entry->flags &= ~(kEntryWrittenLocally | kEntryCreatePending | kEntryMustBeNew);
  entry->size = size;
  entry->lastRefreshTime = NowFileTime();
  WideDbgPrint(u"***###**** closing Writing\n");
  return STATUS_SUCCESS;
}

}  // namespace hvm
