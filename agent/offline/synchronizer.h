// Bringing the local copies of the folders available offline and the server
// back into step: files changed only on the server are downloaded, files
// changed only locally are uploaded, files changed on both sides are a
// conflict the person decides; files and folders only present locally are
// uploaded and made, files deleted on one side while unchanged on the other
// are deleted on that other side. The list of changes under way makes a run
// that was killed finish at the next one without asking or copying twice.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/offline/offline_cache.h"
#include "agent/offline/sync_server.h"

namespace hvm {

// Results besides 0 and the client's or file system's error codes.
inline constexpr int kSyncConflictLeft = -1;
inline constexpr int kSyncCancelled = -2;
// A command that drops a local copy was refused: it holds changes not yet synchronised.
inline constexpr int kSyncChangesWaiting = -3;

// The conflict question's answers (message box identifiers).
inline constexpr int kConflictUpload = 6;    // IDYES
inline constexpr int kConflictDownload = 7;  // IDNO
inline constexpr int kConflictCancel = 2;    // IDCANCEL

struct SyncCallbacks {
  // The conflict question for a file; IDYES, IDNO or IDCANCEL. Default: the Ui's question.
  std::function<int(std::u16string_view path)> askConflict;
  // A file that failed: operation name, code, path within the site, text.
  std::function<void(std::u16string_view operation, uint32_t code, std::u16string_view path,
                     std::u16string_view text)> logFailure;
  // Progress in units (files); false when the person cancelled.
  std::function<bool(double done, double total)> progress;
  // A file changed on the server by the run (shell event code).
  std::function<void(std::u16string_view path, uint16_t event)> notify;
};

class Synchronizer {
 public:
  // Runs its copies as one batch of the cache (committed every few hundred files and at the end).
  Synchronizer(OfflineCache& cache, SyncServer& server, SyncCallbacks callbacks = {});
  ~Synchronizer();

  // The folders of the journal; 0 when there is nothing to do.
  int SynchronizeSite();
  int SynchronizeFolder(std::u16string_view folder, bool recursive, bool withProgress, bool top);
  // Copies the folder's files (and with recursive its subfolders) into the
  // local tree; 0, kSyncCancelled or the error of the folder's listing.
  int CopyFolderToLocal(std::u16string_view folder, bool recursive, bool top);

  // The folder's local copy holds something the server has not got yet: a
  // file changed or made here, a deletion still to be carried out there.
  bool LocalChangesBelow(std::u16string_view folder) const;

  // Counts of the last run, for reports and tests.
  struct Counts {
    int downloaded = 0, uploaded = 0, conflicts = 0, deletedLocally = 0, deletedOnServer = 0,
        foldersMade = 0, failed = 0;
  };
  const Counts& counts() const { return counts_; }

 private:
  int SyncFile(std::u16string_view path, const RemoteItem& item);
  bool ReplaceFileByLocalFolder(std::u16string_view path, const RemoteItem& item);
  int SyncFolderInPlaceOfFile(std::u16string_view path, const RemoteItem& item, bool recursive,
                              bool withProgress);
  int SyncFileInPlaceOfFolder(std::u16string_view path, bool recursive, bool withProgress);
  int AskTypeClash(std::u16string_view path);
  bool DeleteServerTree(std::u16string_view folder);
  void ClearPendingAtOrBelow(std::u16string_view path);
  int SyncLocalOnly(std::u16string_view path, bool recursive, bool withProgress);
  void ForgetFolderDeletion(std::u16string_view path);
  int SyncFolderItem(std::u16string_view path, bool recursive, bool withProgress);
  enum class FolderDeletion { kDeleted, kKept, kFailed };
  FolderDeletion DeleteFolderOnServer(std::u16string_view folder);
  bool Download(std::u16string_view path, const RemoteItem& item);
  bool Upload(std::u16string_view path, FileTime localTime);
  void ForgetUntouchedUpload(std::u16string_view path);
  bool UnchangedCopy(std::u16string_view path) const;
  bool UnchangedTree(std::u16string_view folder) const;
  int64_t Difference(FileTime a, FileTime b) const;
  static bool WrittenSince(FileTime localTime, FileTime given);
  void DeleteGoneFolders(const std::vector<std::u16string>& visited);
  bool Step();
  void Copied();
  void Failure(std::u16string_view operation, uint32_t code, std::u16string_view path,
               std::u16string_view text);

  OfflineCache& cache_;
  SyncServer& server_;
  SyncCallbacks callbacks_;
  bool withProgress_ = false;
  unsigned sinceCommit_ = 0;
  Counts counts_;
};

// The conflict question through the process's Ui, asked on a thread of its
// own while the caller waits in 100 ms steps.
int AskConflictQuestion(std::u16string_view fileName);

}  // namespace hvm
