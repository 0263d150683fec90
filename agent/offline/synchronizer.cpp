// Synchronisation of a site's offline folders with its server.
#include "agent/offline/synchronizer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "agent/app/string_table.h"
#include "agent/service/connection.h"
#include "agent/service/ntstatus.h"
#include "common/moorlib.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr char16_t kWriteToLocal[] = u"Write2local";
constexpr char16_t kWriteToLocalText[] = u"Cannot write the file to the local drive";
constexpr char16_t kUploadName[] = u"Upload";
constexpr char16_t kUploadText[] = u"Cannot copy the file to the server";
constexpr size_t kConflictTextChars = 180;

std::u16string Join(std::u16string_view folder, std::u16string_view name) {
  std::u16string path(folder == u"\\" ? u"" : folder);
  path += u'\\';
  path += name;
  return path;
}

std::u16string_view ParentOf(std::u16string_view path) {
  size_t slash = path.rfind(u'\\');
  return slash == std::u16string_view::npos ? std::u16string_view() : path.substr(0, slash);
}

std::u16string_view NameOf(std::u16string_view path) {
  size_t slash = path.rfind(u'\\');
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

// A listed item's path within the site; false when its name is not one plain
// name (a separator in it would make it stand for a file further down) or the
// path is not one the local tree takes.
bool ItemPath(std::u16string_view folder, const RemoteItem& item, std::u16string& path) {
  path = Join(folder, item.name);
  std::vector<std::string> checked;
  return item.name.find_first_of(u"\\/") == std::u16string::npos && SplitSitePath(path, checked);
}

bool StatLocal(const OfflineCache& cache, std::u16string_view path, struct stat& info) {
  return cache.tree().Stat(path, info);
}

}  // namespace

int AskConflictQuestion(std::u16string_view fileName) {
  const char16_t* resource = LoadResourceString(IDS_CONFLICT_QUESTION);
  std::u16string text = resource != nullptr ? resource : u"";
  if (text.size() > kConflictTextChars) text.resize(kConflictTextChars);
  std::u16string caption(fileName);
  auto answer = std::async(std::launch::async, [text, caption] {
    return CurrentUi().MessageBox(text, caption, MB_YESNOCANCEL | MB_ICONQUESTION);
  });
  while (answer.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
  }
  return answer.get();
}

Synchronizer::Synchronizer(OfflineCache& cache, SyncServer& server, SyncCallbacks callbacks)
    : cache_(cache), server_(server), callbacks_(std::move(callbacks)) {
  if (!callbacks_.askConflict)
    callbacks_.askConflict = [](std::u16string_view path) { return AskConflictQuestion(NameOf(path)); };
  cache_.BeginBatch();
}

Synchronizer::~Synchronizer() { cache_.EndBatch(); }

void Synchronizer::Copied() {
  constexpr unsigned kFilesPerCommit = 256;
  if (++sinceCommit_ < kFilesPerCommit) return;
  cache_.Commit();
  sinceCommit_ = 0;
}

void Synchronizer::Failure(std::u16string_view operation, uint32_t code, std::u16string_view path,
                           std::u16string_view text) {
  counts_.failed += 1;
  WideDbgPrint(u"** %ws %ws status=%ld %ws %ws\n", std::u16string(cache_.siteName()).c_str(),
               std::u16string(operation).c_str(), static_cast<long>(code),
               std::u16string(path).c_str(), std::u16string(text).c_str());
  if (callbacks_.logFailure) callbacks_.logFailure(operation, code, path, text);
}

int64_t Synchronizer::Difference(FileTime a, FileTime b) const {
  int64_t seconds = static_cast<int64_t>(a / kFileTimeTicksPerSecond) -
                    static_cast<int64_t>(b / kFileTimeTicksPerSecond);
  return server_.MinutePrecision() ? seconds / 60 : seconds;
}

// Whether the local copy was written after a run gave it its time: to the
// second, whatever the server's precision. Its time is set here, so seconds
// a minute-precise listing drops never stand between the two; an edit made
// in the minute after a run would otherwise pass for the copy the run left.
bool Synchronizer::WrittenSince(FileTime localTime, FileTime given) {
  return localTime / kFileTimeTicksPerSecond != given / kFileTimeTicksPerSecond;
}

bool Synchronizer::Step() {
  if (!withProgress_) return true;
  cache_.done += 1;
  if (cache_.done > cache_.total) cache_.total = cache_.done;
  return !callbacks_.progress || callbacks_.progress(cache_.done, cache_.total);
}

bool Synchronizer::Download(std::u16string_view path, const RemoteItem& item) {
  uint32_t result = cache_.tree().ReplaceFile(
      path, [&](int fd) { return static_cast<uint32_t>(server_.Download(path, item.size, fd)); },
      item.modified, !cache_.InBatch());
  if (result != 0) {
    Failure(kWriteToLocal, result, path, kWriteToLocalText);
    return false;
  }
  cache_.SetRecord(kJournalFile, path, item.modified);
  cache_.ClearPending(path);
  counts_.downloaded += 1;
  Copied();
  return true;
}

// A failed upload that left the server's copy as this side last knew it
// changed nothing there: its note goes, so that a change made there before
// the next run is asked about instead of overwritten. One that may have
// touched it (a partial write changes its time), or a server that cannot
// tell, keeps the note: the next run finishes the upload.
void Synchronizer::ForgetUntouchedUpload(std::u16string_view path) {
  const JournalRecord* record = cache_.FindRecord(path);
  FileTime known = record != nullptr ? record->serverTime : 0;
  RemoteItem now;
  NTSTATUS found = server_.Stat(path, now);
  bool untouched = (found == STATUS_OBJECT_NAME_NOT_FOUND && known == 0) ||
                   (found == STATUS_SUCCESS && known != 0 && Difference(now.modified, known) == 0);
  if (untouched) cache_.ClearPending(path);
}

bool Synchronizer::Upload(std::u16string_view path, FileTime localTime) {
  // Noted first: a run killed from here on uploads the file again next time.
  cache_.SetPending(kPendingUpload, path, localTime);
  int fd = cache_.tree().OpenFile(path, O_RDONLY);
  if (fd < 0) {
    Failure(kUploadName, static_cast<uint32_t>(errno), path, kUploadText);
    ForgetUntouchedUpload(path);
    return false;
  }
  NTSTATUS status = server_.Upload(path, fd);
  close(fd);
  RemoteItem item;
  if (status == STATUS_SUCCESS) status = server_.Stat(path, item);
  if (status != STATUS_SUCCESS) {
    Failure(kUploadName, status, path, kUploadText);
    ForgetUntouchedUpload(path);
    return false;
  }
  cache_.SetRecord(kJournalFile, path, item.modified);
  // The local copy takes the server's time, so that both count as the same.
  struct stat info {};
  if (StatLocal(cache_, path, info) && ModifiedTimeOf(info) == localTime && item.modified != 0)
    cache_.tree().SetTimes(path, item.modified);
  cache_.ClearPending(path);
  counts_.uploaded += 1;
  Copied();
  if (callbacks_.notify) {
    callbacks_.notify(path, SHCNE_UPDATEITEM);
    callbacks_.notify(path, SHCNE_CREATE);
  }
  return true;
}

// A folder made here in place of a file deleted here: the file goes from the
// server while it still is the copy it had, and the folder goes up in its
// place. True when the server's file went.
bool Synchronizer::ReplaceFileByLocalFolder(std::u16string_view path, const RemoteItem& item) {
  const JournalRecord* pending = cache_.FindPending(path);
  struct stat info {};
  if (pending == nullptr || pending->state != kPendingDelete || !StatLocal(cache_, path, info) ||
      !S_ISDIR(info.st_mode) || Difference(item.modified, pending->serverTime) != 0)
    return false;
  NTSTATUS status = server_.Delete(path, false);
  if (status != STATUS_SUCCESS) {
    Failure(u"Delete", status, path, u"Cannot delete the file on the server");
    return false;
  }
  cache_.ClearPending(path);
  counts_.deletedOnServer += 1;
  if (callbacks_.notify) callbacks_.notify(path, SHCNE_DELETE);
  return true;
}

// A folder here where the server has a file. When only one side changed,
// it takes the other's place; when both did (the file was changed there
// after it was deleted here, or the server replaced the folder by a file
// while something in it changed here), the person decides.
int Synchronizer::SyncFolderInPlaceOfFile(std::u16string_view path, const RemoteItem& item,
                                          bool recursive, bool withProgress) {
  if (ReplaceFileByLocalFolder(path, item)) return SyncLocalOnly(path, recursive, withProgress);
  const JournalRecord* pending = cache_.FindPending(path);
  bool fileDeletedHere = pending != nullptr && pending->state == kPendingDelete;
  // A failed delete there was logged; the next run tries again.
  if (fileDeletedHere && Difference(item.modified, pending->serverTime) == 0) return 0;
  int answer = LocalChangesBelow(path) ? AskTypeClash(path) : kConflictDownload;
  if (answer == kConflictUpload) {
    NTSTATUS status = server_.Delete(path, false);
    if (status != STATUS_SUCCESS) {
      Failure(u"Delete", status, path, u"Cannot delete the file on the server");
      return 0;
    }
    cache_.ClearPending(path);
    counts_.deletedOnServer += 1;
    if (callbacks_.notify) callbacks_.notify(path, SHCNE_DELETE);
    return SyncLocalOnly(path, recursive, withProgress);
  }
  if (answer != kConflictDownload) return kSyncConflictLeft;
  if (int error = cache_.DeleteLocalTree(path, false)) {
    Failure(kWriteToLocal, static_cast<uint32_t>(error), path, kWriteToLocalText);
    return 0;
  }
  ClearPendingAtOrBelow(path);
  counts_.deletedLocally += 1;
  Download(path, item);
  return 0;
}

// A file here where the server has a folder: the mirror of the case above.
int Synchronizer::SyncFileInPlaceOfFolder(std::u16string_view path, bool recursive, bool withProgress) {
  int answer = UnchangedCopy(path) ? kConflictDownload : AskTypeClash(path);
  if (answer == kConflictUpload) {
    if (!DeleteServerTree(path)) return 0;
    ClearPendingAtOrBelow(path);
    // The records below stood for the folder's files; the file's own goes
    // too, so that it counts as made here and goes up.
    cache_.FreeRecord(path, true);
    return SyncLocalOnly(path, recursive, withProgress);
  }
  if (answer != kConflictDownload) return kSyncConflictLeft;
  if (!cache_.tree().Remove(path, false)) {
    Failure(kWriteToLocal, static_cast<uint32_t>(errno), path, kWriteToLocalText);
    return 0;
  }
  cache_.FreeRecord(path, false);
  cache_.ClearPending(path);
  counts_.deletedLocally += 1;
  return recursive ? SynchronizeFolder(path, true, withProgress, false) : 0;
}

// A file on one side and a folder on the other, both changed: Yes keeps this
// side's, No the server's, Cancel leaves both as they are.
int Synchronizer::AskTypeClash(std::u16string_view path) {
  counts_.conflicts += 1;
  int answer = callbacks_.askConflict(path);
  if (answer != kConflictUpload && answer != kConflictDownload)
    Failure(u"Conflict", 0, path, u"Cannot solve the conflict situation, please, solve manually");
  return answer;
}

// The server's folder with all it holds, deepest first: not every protocol
// deletes a folder that is not empty.
bool Synchronizer::DeleteServerTree(std::u16string_view folder) {
  constexpr char16_t kDeleteText[] = u"Cannot delete the folder on the server";
  std::vector<RemoteItem> inside;
  NTSTATUS status = server_.List(folder, inside);
  if (status != STATUS_SUCCESS) {
    Failure(u"Delete", status, folder, kDeleteText);
    return false;
  }
  for (const RemoteItem& item : inside) {
    std::u16string path;
    if (!ItemPath(folder, item, path)) {
      Failure(u"Delete", EINVAL, path, kDeleteText);
      return false;
    }
    if (item.folder) {
      if (!DeleteServerTree(path)) return false;
      continue;
    }
    status = server_.Delete(path, false);
    if (status != STATUS_SUCCESS) {
      Failure(u"Delete", status, path, u"Cannot delete the file on the server");
      return false;
    }
    counts_.deletedOnServer += 1;
  }
  status = server_.Delete(folder, true);
  if (status != STATUS_SUCCESS) {
    Failure(u"Delete", status, folder, kDeleteText);
    return false;
  }
  counts_.deletedOnServer += 1;
  if (callbacks_.notify) callbacks_.notify(folder, SHCNE_RMDIR);
  return true;
}

void Synchronizer::ClearPendingAtOrBelow(std::u16string_view path) {
  for (const JournalRecord& change : cache_.PendingChanges()) {
    std::u16string changed(WideField(change.path, kJournalPathChars));
    if (PathIsAtOrBelow(changed, path)) cache_.ClearPending(changed);
  }
}

int Synchronizer::SyncFile(std::u16string_view path, const RemoteItem& listed) {
  RemoteItem item = listed;
  const JournalRecord* pending = cache_.FindPending(path);
  struct stat info {};
  if (!StatLocal(cache_, path, info)) {
    // Deleted here while the server kept it unchanged: delete it there too.
    if (pending != nullptr && pending->state == kPendingDelete) {
      if (Difference(item.modified, pending->serverTime) == 0) {
        NTSTATUS status = server_.Delete(path, false);
        if (status == STATUS_SUCCESS) {
          cache_.ClearPending(path);
          cache_.FreeRecord(path, false);
          counts_.deletedOnServer += 1;
          if (callbacks_.notify) callbacks_.notify(path, SHCNE_DELETE);
        } else {
          Failure(u"Delete", status, path, u"Cannot delete the file on the server");
        }
        return 0;
      }
    }
    Download(path, item);
    return 0;
  }
  if (!S_ISREG(info.st_mode)) {
    Failure(kWriteToLocal, EISDIR, path, kWriteToLocalText);
    return 0;
  }
  if (server_.MinutePrecision() && server_.Stat(path, item) != STATUS_SUCCESS) return 0;
  FileTime localTime = ModifiedTimeOf(info);
  // An upload that a killed run began is finished, without a question.
  if (pending != nullptr && pending->state == kPendingUpload) {
    if (pending->serverTime == localTime) {
      Upload(path, localTime);
      return 0;
    }
    cache_.ClearPending(path);
  }
  const JournalRecord* record = cache_.FindRecord(path);
  FileTime journalTime = record != nullptr ? record->serverTime : localTime;
  bool writtenHere = WrittenSince(localTime, journalTime);
  // Equal times with another size: a copy a power loss cut short.
  if (Difference(localTime, item.modified) == 0 && item.size != kUnknownItemSize &&
      item.size != static_cast<uint64_t>(info.st_size) && !writtenHere) {
    Download(path, item);
    return 0;
  }
  // The same time on both sides is the same copy, but within a minute on a
  // minute-precise server only while nothing was written here.
  if (Difference(localTime, item.modified) == 0 && !(server_.MinutePrecision() && writtenHere)) {
    if (record == nullptr || record->serverTime != item.modified)
      cache_.SetRecord(kJournalFile, path, item.modified);
    // The copy takes the server's time to the second, so that a later edit
    // here tells from it.
    if (server_.MinutePrecision() && localTime != item.modified) cache_.tree().SetTimes(path, item.modified);
    return 0;
  }
  if (Difference(item.modified, journalTime) == 0) {
    Upload(path, localTime);
    return 0;
  }
  if (!writtenHere) {
    Download(path, item);
    return 0;
  }
  counts_.conflicts += 1;
  switch (callbacks_.askConflict(path)) {
    case kConflictUpload: Upload(path, localTime); return 0;
    case kConflictDownload: Download(path, item); return 0;
    default:
      Failure(u"Conflict", 0, path, u"Cannot solve the conflict situation, please, solve manually");
      return kSyncConflictLeft;
  }
}

bool Synchronizer::UnchangedCopy(std::u16string_view path) const {
  const JournalRecord* record = cache_.FindRecord(path);
  struct stat info {};
  return record != nullptr && record->state == kJournalFile && cache_.FindPending(path) == nullptr &&
         StatLocal(cache_, path, info) && S_ISREG(info.st_mode) &&
         !WrittenSince(ModifiedTimeOf(info), record->serverTime);
}

// A folder holding only unchanged copies (at least one record below it):
// the server deleted it, nothing of it is new here.
bool Synchronizer::UnchangedTree(std::u16string_view folder) const {
  std::vector<std::string> names;
  if (!cache_.tree().Names(folder, names)) return false;
  for (const std::string& name : names) {
    std::u16string path = Join(folder, Utf8ToUtf16(name));
    struct stat info {};
    if (!StatLocal(cache_, path, info)) return false;
    if (S_ISDIR(info.st_mode) ? !UnchangedTree(path) : !UnchangedCopy(path)) return false;
  }
  return cache_.HasRecordsBelow(folder) || cache_.FindRecord(folder) != nullptr;
}

bool Synchronizer::LocalChangesBelow(std::u16string_view folder) const {
  std::u16string_view base = folder == u"\\" ? u"" : folder;
  for (const JournalRecord& change : cache_.PendingChanges())
    if (PathIsAtOrBelow(WideField(change.path, kJournalPathChars), base)) return true;
  struct stat info {};
  if (!StatLocal(cache_, folder, info)) return false;  // no local copy, nothing of it to lose
  return !S_ISDIR(info.st_mode) || !UnchangedTree(folder);
}

// A folder deleted here and made again: the note of its deletion is done
// with (what it held is noted file by file). Left, it would count as a
// change waiting for good.
void Synchronizer::ForgetFolderDeletion(std::u16string_view path) {
  const JournalRecord* pending = cache_.FindPending(path);
  if (pending != nullptr && pending->state == kPendingDelete) cache_.ClearPending(path);
}

int Synchronizer::SyncLocalOnly(std::u16string_view path, bool recursive, bool withProgress) {
  struct stat info {};
  if (!StatLocal(cache_, path, info)) return 0;
  if (S_ISREG(info.st_mode)) {
    if (UnchangedCopy(path)) {
      // Deleted on the server while unchanged here.
      if (cache_.tree().Remove(path, false)) {
        cache_.FreeRecord(path, false);
        counts_.deletedLocally += 1;
      }
      return 0;
    }
    Upload(path, ModifiedTimeOf(info));
    return 0;
  }
  if (!S_ISDIR(info.st_mode)) return 0;  // links and the like stay local
  ForgetFolderDeletion(path);
  if (UnchangedTree(path)) {
    if (cache_.DeleteLocalTree(path, false) == 0) counts_.deletedLocally += 1;
    return 0;
  }
  NTSTATUS status = server_.MakeFolder(path);
  if (status != STATUS_SUCCESS) {
    Failure(u"MakeFolder", status, path, u"Cannot create the folder on the server");
    return 0;
  }
  counts_.foldersMade += 1;
  return recursive ? SynchronizeFolder(path, true, withProgress, false) : 0;
}

// A folder deleted here goes from the server only when nothing in it is new
// there: each file only while the server still has the copy it had when it
// was deleted here, each subfolder by the same rule.
Synchronizer::FolderDeletion Synchronizer::DeleteFolderOnServer(std::u16string_view folder) {
  constexpr char16_t kDeleteText[] = u"Cannot delete the folder on the server";
  std::vector<RemoteItem> inside;
  NTSTATUS status = server_.List(folder, inside);
  if (status != STATUS_SUCCESS) {
    Failure(u"Delete", status, folder, kDeleteText);
    return FolderDeletion::kFailed;
  }
  bool kept = false;
  bool failed = false;
  for (const RemoteItem& item : inside) {
    std::u16string path;
    if (!ItemPath(folder, item, path)) {
      kept = true;
      continue;
    }
    if (item.folder) {
      FolderDeletion inner = DeleteFolderOnServer(path);
      if (inner == FolderDeletion::kDeleted) cache_.ClearPending(path);
      kept = kept || inner == FolderDeletion::kKept;
      failed = failed || inner == FolderDeletion::kFailed;
      continue;
    }
    const JournalRecord* pending = cache_.FindPending(path);
    if (pending == nullptr || pending->state != kPendingDelete ||
        Difference(item.modified, pending->serverTime) != 0) {
      kept = true;
      continue;
    }
    status = server_.Delete(path, false);
    if (status != STATUS_SUCCESS) {
      Failure(u"Delete", status, path, u"Cannot delete the file on the server");
      failed = true;
      continue;
    }
    cache_.ClearPending(path);
    counts_.deletedOnServer += 1;
    if (callbacks_.notify) callbacks_.notify(path, SHCNE_DELETE);
  }
  if (kept) return FolderDeletion::kKept;
  if (failed) return FolderDeletion::kFailed;
  status = server_.Delete(folder, true);
  if (status != STATUS_SUCCESS) {
    Failure(u"Delete", status, folder, kDeleteText);
    return FolderDeletion::kFailed;
  }
  counts_.deletedOnServer += 1;
  return FolderDeletion::kDeleted;
}

int Synchronizer::SyncFolderItem(std::u16string_view path, bool recursive, bool withProgress) {
  struct stat info {};
  bool local = StatLocal(cache_, path, info);
  // A file made here in place of a folder goes up once the folder went from
  // the server, which it does only when all it holds was deleted here (the
  // folder itself may have no note: one moved away with its parent has none).
  // A folder gone here whose files were deleted here went with its parent
  // (moved or removed) when it has no note of its own. Without any note the
  // folder was not deleted here: a file of its name (a copy of a file the
  // server replaced by a folder) leaves the server's folder alone.
  bool deletedHere = false;
  if (local && S_ISDIR(info.st_mode)) ForgetFolderDeletion(path);
  if (!local || S_ISREG(info.st_mode)) {
    for (const JournalRecord& change : cache_.PendingChanges())
      deletedHere = deletedHere || (change.state == kPendingDelete &&
                                    PathIsAtOrBelow(WideField(change.path, kJournalPathChars), path));
  }
  bool fileInPlace = local && S_ISREG(info.st_mode) && deletedHere;
  if (deletedHere) {
    switch (DeleteFolderOnServer(path)) {
      case FolderDeletion::kDeleted:
        cache_.ClearPending(path);
        if (fileInPlace) return SyncLocalOnly(path, recursive, withProgress);
        cache_.FreeRecord(path, true);
        return 0;
      case FolderDeletion::kFailed:
        return 0;  // tried again next time
      case FolderDeletion::kKept:
        // Something in it is new on the server: the folder stays and comes back here.
        cache_.ClearPending(path);
        break;
    }
  }
  if (local && S_ISREG(info.st_mode)) return SyncFileInPlaceOfFolder(path, recursive, withProgress);
  if (!recursive) return 0;
  if (local && !S_ISDIR(info.st_mode)) {
    Failure(kWriteToLocal, ENOTDIR, path, kWriteToLocalText);
    return 0;
  }
  return SynchronizeFolder(path, true, withProgress, false);
}

int Synchronizer::SynchronizeFolder(std::u16string_view folder, bool recursive, bool withProgress,
                                    bool top) {
  withProgress_ = withProgress;
  int fd = cache_.tree().OpenFolder(folder, true);
  if (fd < 0) return errno;
  close(fd);
  if (top && withProgress) cache_.total = cache_.done = 0;
  std::vector<std::string> localNames;
  cache_.tree().Names(folder, localNames);
  std::set<std::u16string, PathNoCaseLess> leftOver;
  for (const std::string& name : localNames) leftOver.insert(Utf8ToUtf16(name));
  std::vector<RemoteItem> items;
  NTSTATUS listed = server_.List(folder, items);
  if (listed != STATUS_SUCCESS) return static_cast<int>(listed);
  if (withProgress) cache_.total += static_cast<double>(items.size() + localNames.size());
  int firstFailure = 0;
  for (const RemoteItem& item : items) {
    std::u16string path;
    if (!ItemPath(folder, item, path)) {
      Failure(kWriteToLocal, EINVAL, path, kWriteToLocalText);
      continue;
    }
    leftOver.erase(item.name);
    struct stat info {};
    bool folderHere = StatLocal(cache_, path, info) && S_ISDIR(info.st_mode);
    int result = item.folder   ? SyncFolderItem(path, recursive, withProgress)
                 : folderHere ? SyncFolderInPlaceOfFile(path, item, recursive, withProgress)
                              : SyncFile(path, item);
    if (result == kSyncCancelled) return result;
    // A conflict left or a subfolder that failed does not hold up the rest
    // of the folder; the first one is the run's result.
    if (firstFailure == 0) firstFailure = result;
    if (!Step()) return kSyncCancelled;
  }
  for (const std::u16string& name : leftOver) {
    int result = SyncLocalOnly(Join(folder, name), recursive, withProgress);
    if (result == kSyncCancelled) return result;
    if (firstFailure == 0) firstFailure = result;
    if (!Step()) return kSyncCancelled;
  }
  // Deleted here and gone from the server as well: nothing is left to do.
  std::set<std::u16string, PathNoCaseLess> onServer;
  for (const RemoteItem& item : items) onServer.insert(item.name);
  for (const JournalRecord& change : cache_.PendingChanges()) {
    std::u16string_view path = WideField(change.path, kJournalPathChars);
    if (change.state == kPendingDelete && EqualsNoCase(ParentOf(path), folder == u"\\" ? u"" : folder) &&
        !onServer.count(std::u16string(NameOf(path))))
      cache_.ClearPending(path);
  }
  if (top && withProgress) cache_.total = cache_.done = 0;
  return firstFailure;
}

int Synchronizer::SynchronizeSite() {
  std::vector<JournalRecord> records = cache_.Records();
  std::vector<std::u16string> treeFolders;
  std::vector<std::u16string> folders;
  cache_.total = cache_.done = 0;
  int result = 0;
  for (const JournalRecord& record : records) {
    if (record.state != kJournalFolder && record.state != kJournalFolderTree) continue;
    std::u16string path(WideField(record.path, kJournalPathChars));
    bool covered = false;
    for (const std::u16string& done : treeFolders)
      covered = covered || PathIsAtOrBelow(path, done == u"\\" ? u"" : done);
    if (covered) continue;
    bool recursive = record.state == kJournalFolderTree;
    if (recursive) treeFolders.push_back(path);
    int folderResult = SynchronizeFolder(path, recursive, true, false);
    // An offline folder the server has not got that holds changes made here
    // (moved or renamed here): it is made there, and what it holds goes up.
    if (folderResult == static_cast<int>(STATUS_OBJECT_NAME_NOT_FOUND) && LocalChangesBelow(path)) {
      NTSTATUS made = server_.MakeFolder(path);
      if (made == STATUS_SUCCESS) {
        counts_.foldersMade += 1;
        folderResult = SynchronizeFolder(path, recursive, true, false);
      } else {
        Failure(u"MakeFolder", made, path, u"Cannot create the folder on the server");
      }
    }
    if (folderResult == kSyncCancelled) {
      result = folderResult;
      break;
    }
    // The first folder that failed or left a conflict makes the run's result.
    if (result == 0) result = folderResult;
    folders.push_back(path);
    if (callbacks_.progress && !callbacks_.progress(cache_.done, cache_.total)) {
      result = kSyncCancelled;
      break;
    }
  }
  if (result != kSyncCancelled) DeleteGoneFolders(folders);
  return result;
}

// Offline folders deleted here whole: their records went with them, so no
// folder run met them. Their contents go first (the changes in reverse path
// order), each file only while the server still has the copy it had; a
// folder only once the server's copy is empty, so nothing someone else put
// there is lost.
void Synchronizer::DeleteGoneFolders(const std::vector<std::u16string>& visited) {
  std::vector<JournalRecord> changes = cache_.PendingChanges();
  for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
    const JournalRecord& change = *it;
    std::u16string path(WideField(change.path, kJournalPathChars));
    bool seen = false;
    for (const std::u16string& folder : visited)
      seen = seen || PathIsAtOrBelow(path, folder == u"\\" ? u"" : folder);
    struct stat info {};
    if (seen || change.state != kPendingDelete || StatLocal(cache_, path, info)) continue;
    RemoteItem item;
    NTSTATUS status = server_.Stat(path, item);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
      cache_.ClearPending(path);
      continue;
    }
    if (status != STATUS_SUCCESS) continue;
    // A file the server changed since it was copied stays there, and so does
    // a folder that still holds something.
    std::vector<RemoteItem> inside;
    bool keep = item.folder ? (server_.List(path, inside) != STATUS_SUCCESS || !inside.empty())
                            : Difference(item.modified, change.serverTime) != 0;
    if (keep) {
      cache_.ClearPending(path);
      continue;
    }
    status = server_.Delete(path, item.folder);
    if (status == STATUS_SUCCESS) {
      cache_.ClearPending(path);
      counts_.deletedOnServer += 1;
    } else {
      Failure(u"Delete", status, path, u"Cannot delete the folder on the server");
    }
  }
}

int Synchronizer::CopyFolderToLocal(std::u16string_view folder, bool recursive, bool top) {
  withProgress_ = true;
  if (top) {
    cache_.total = cache_.done = 0;
    // The folder's copy starts anew, except for files changed here since their
    // copy: their records stay so that they are synchronised, not overwritten.
    std::u16string_view base = folder == u"\\" ? u"" : folder;
    for (const JournalRecord& record : cache_.Records()) {
      std::u16string path(WideField(record.path, kJournalPathChars));
      if (PathIsAtOrBelow(path, base) &&
          (record.state != kJournalFile || UnchangedCopy(path)))
        cache_.FreeRecord(path, false);
    }
  }
  int fd = cache_.tree().OpenFolder(folder, true);
  if (fd < 0) return errno;
  close(fd);
  std::vector<RemoteItem> items;
  NTSTATUS listed = server_.List(folder, items);
  if (listed != STATUS_SUCCESS) return static_cast<int>(listed);
  cache_.total += static_cast<double>(items.size());
  for (const RemoteItem& item : items) {
    std::u16string path;
    if (!ItemPath(folder, item, path)) {
      Failure(kWriteToLocal, EINVAL, path, kWriteToLocalText);
      continue;
    }
    if (!item.folder) {
      const JournalRecord* record = cache_.FindRecord(path);
      if (record != nullptr && record->state == kJournalFile) {
        SyncFile(path, item);  // a conflict left is reported and the file stays as it is
      } else {
        Download(path, item);
      }
    } else if (recursive) {
      int result = CopyFolderToLocal(path, true, false);
      if (result != 0) return result;
    }
    if (!Step()) return kSyncCancelled;
  }
  return 0;
}

}  // namespace hvm
