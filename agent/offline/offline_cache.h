// A site's offline cache: its local tree under the cache root, its journal
// ("<site>.sys": what is available offline and the server time of each
// copied file) and its list of changes under way ("<site>.pending": uploads
// begun and files deleted while offline), which the next synchronisation
// completes. One OpenOfflineCache per operation; closing compacts.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/offline/journal_record.h"
#include "agent/offline/local_tree.h"
#include "agent/offline/record_file.h"
#include "platform/win32.h"

namespace hvm {

// DataDir()/offline, computed once per process (the folder is made 0700).
const std::string& OfflineCacheRootFolder();

struct PathNoCaseLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const;
};

class OfflineCache {
 public:
  OfflineCache(std::string root, std::u16string siteName);
  // Compacts the journal and the list of changes.
  ~OfflineCache();
  OfflineCache(const OfflineCache&) = delete;
  OfflineCache& operator=(const OfflineCache&) = delete;

  // Opens or (in write mode) creates the journal. Records whose local copy
  // is gone turn free (in write mode they are compacted later). False when
  // the journal cannot be opened or the site name cannot name a folder;
  // every later write then fails and nothing is recorded.
  bool Open(bool readOnly);
  bool IsOpen() const { return journal_.IsOpen(); }

  const JournalRecord* FindRecord(std::u16string_view path) const;
  // Sets the state (and the time when given) of the path's record, or adds one.
  bool SetRecord(uint32_t state, std::u16string_view path, std::optional<FileTime> time);
  // Frees the path's record (and, when recursive, every record below it);
  // 0xC0000034 when the path itself has none.
  NTSTATUS FreeRecord(std::u16string_view path, bool recursive);
  bool HasRecordsBelow(std::u16string_view folder) const;
  void CompactJournal();
  // Many copies at once: files and records are written without waiting for
  // the disk each time; Commit flushes the files first, then the records, so
  // a record on the disk never names a copy that is not. Ending the batch commits.
  void BeginBatch();
  bool Commit();
  void EndBatch();
  // The records that are not free, in path order (a folder before its contents).
  std::vector<JournalRecord> Records() const;

  // The changes under way: kPendingUpload or kPendingDelete.
  const JournalRecord* FindPending(std::u16string_view path) const;
  bool SetPending(uint32_t state, std::u16string_view path, FileTime time);
  void ClearPending(std::u16string_view path);
  std::vector<JournalRecord> PendingChanges() const;

  // Deletes the folder's local copy depth first; without keepRecords the
  // folder itself goes and the records of what it held are freed too, with
  // keepRecords the emptied folder stays. 0 or the errno that stopped it.
  int DeleteLocalTree(std::u16string_view folder, bool keepRecords);

  LocalTree& tree() { return tree_; }
  const LocalTree& tree() const { return tree_; }
  bool InBatch() const { return batch_; }
  const std::u16string& siteName() const { return siteName_; }
  std::string JournalPath() const;
  std::string PendingPath() const;

  // Progress of the running command (bytes or units).
  double total = 0;
  double done = 0;

 private:
  bool ExistsLocally(const JournalRecord& record) const;
  bool WriteIndexed(RecordFile& file, std::map<std::u16string, size_t, PathNoCaseLess>& index,
                    const JournalRecord& record, std::u16string_view path);
  int DeleteFolderContents(std::u16string_view folder, bool keepRecords);

  std::string root_;
  std::u16string siteName_;
  bool validName_ = false;
  LocalTree tree_;
  RecordFile journal_;
  RecordFile pending_;
  std::map<std::u16string, size_t, PathNoCaseLess> index_;
  std::map<std::u16string, size_t, PathNoCaseLess> pendingIndex_;
  bool hasFreeRecords_ = false;
  bool batch_ = false;
};

// True when the cache root exists and the site's journal holds no record
// (also when it is missing); false while the site is connected offline.
bool IsCacheEmpty(const std::string& root, std::u16string_view siteName, bool connectedOffline);

}  // namespace hvm
