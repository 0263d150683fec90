// The journal and the list of changes of a site's offline cache.
#include "agent/offline/offline_cache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/service/file_entry.h"
#include "agent/service/ntstatus.h"
#include "platform/runtime_paths.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::u16string_view PathOf(const JournalRecord& record) {
  return WideField(record.path, kJournalPathChars);
}

JournalRecord MakeRecord(uint32_t state, std::u16string_view path, FileTime time) {
  JournalRecord record;
  std::memset(&record, 0, sizeof record);
  record.state = state;
  CopyWide(record.path, kJournalPathChars, path);
  record.serverTime = time;
  return record;
}

bool IsFree(const JournalRecord& record) { return record.state == kJournalFree; }

// The stored form: a leading backslash, backslashes inside, no trailing one.
std::u16string StoredPath(std::u16string_view path) {
  std::u16string stored;
  for (char16_t c : path) stored += c == u'/' ? u'\\' : c;
  while (stored.size() > 1 && stored.back() == u'\\') stored.pop_back();
  if (stored.empty() || stored.front() != u'\\') stored.insert(stored.begin(), u'\\');
  return stored;
}

bool ValidStoredPath(std::u16string_view path) {
  std::vector<std::string> components;
  return path.size() < kJournalPathChars && SplitSitePath(path, components);
}

}  // namespace

bool PathNoCaseLess::operator()(std::u16string_view a, std::u16string_view b) const {
  return ComparePaths(a, b) < 0;
}

const std::string& OfflineCacheRootFolder() {
  static const std::string root = [] {
    std::string folder = DataDir() + "/offline";
    MakeDirs(folder, 0700);
    return folder;
  }();
  return root;
}

OfflineCache::OfflineCache(std::string root, std::u16string siteName)
    : root_(std::move(root)),
      siteName_(std::move(siteName)),
      validName_(IsPlainName(Utf16ToUtf8(siteName_))),
      tree_(root_ + "/" + Utf16ToUtf8(siteName_), root_ + "/" + Utf16ToUtf8(siteName_) + ".part") {}

OfflineCache::~OfflineCache() {
  EndBatch();
  CompactJournal();
}

void OfflineCache::BeginBatch() {
  batch_ = true;
  journal_.DeferFlush(true);
  pending_.DeferFlush(true);
}

bool OfflineCache::Commit() {
  if (!batch_) return true;
  bool ok = tree_.SyncAll();
  ok = journal_.Flush() && ok;
  return pending_.Flush() && ok;
}

void OfflineCache::EndBatch() {
  if (!batch_) return;
  Commit();
  batch_ = false;
  journal_.DeferFlush(false);
  pending_.DeferFlush(false);
}

std::string OfflineCache::JournalPath() const { return root_ + "/" + Utf16ToUtf8(siteName_) + ".sys"; }
std::string OfflineCache::PendingPath() const {
  return root_ + "/" + Utf16ToUtf8(siteName_) + ".pending";
}

bool OfflineCache::ExistsLocally(const JournalRecord& record) const {
  struct stat info {};
  if (!tree_.Stat(PathOf(record), info)) return false;
  bool folder = record.state == kJournalFolder || record.state == kJournalFolderTree;
  return folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode);
}

bool OfflineCache::Open(bool readOnly) {
  index_.clear();
  pendingIndex_.clear();
  hasFreeRecords_ = false;
  if (!validName_) {
    errno = EINVAL;
    return false;
  }
  if (!readOnly) MakeDirs(root_, 0700);
  if (!journal_.Open(JournalPath(), readOnly)) return false;
  const auto& records = journal_.records();
  for (size_t slot = 0; slot < records.size(); ++slot) {
    JournalRecord record = records[slot];
    std::u16string path(PathOf(record));
    if (IsFree(record) || !ValidStoredPath(path)) {
      hasFreeRecords_ = true;
      continue;
    }
    if (!ExistsLocally(record)) {
      hasFreeRecords_ = true;
      if (readOnly) continue;
      record.state = kJournalFree;
      journal_.Write(slot, record);
    }
    // A later record of the same path wins; the earlier one is compacted away.
    auto [it, added] = index_.emplace(path, slot);
    if (!added) {
      JournalRecord older = records[it->second];
      older.state = kJournalFree;
      journal_.Write(it->second, older);
      hasFreeRecords_ = true;
      it->second = slot;
    }
  }
  if (pending_.Open(PendingPath(), readOnly)) {
    const auto& changes = pending_.records();
    for (size_t slot = 0; slot < changes.size(); ++slot) {
      std::u16string path(PathOf(changes[slot]));
      if (!IsFree(changes[slot]) && ValidStoredPath(path)) pendingIndex_[path] = slot;
    }
  }
  if (!readOnly) tree_.ClearParts();
  return true;
}

const JournalRecord* OfflineCache::FindRecord(std::u16string_view path) const {
  auto it = index_.find(StoredPath(path));
  if (it == index_.end()) return nullptr;
  const JournalRecord& record = journal_.records()[it->second];
  return IsFree(record) ? nullptr : &record;
}

bool OfflineCache::WriteIndexed(RecordFile& file,
                                std::map<std::u16string, size_t, PathNoCaseLess>& index,
                                const JournalRecord& record, std::u16string_view path) {
  auto it = index.find(path);
  size_t slot = it != index.end() ? it->second : file.records().size();
  if (!file.Write(slot, record)) return false;
  if (it == index.end()) index.emplace(std::u16string(path), slot);
  return true;
}

bool OfflineCache::SetRecord(uint32_t state, std::u16string_view path, std::optional<FileTime> time) {
  std::u16string stored = StoredPath(path);
  if (!ValidStoredPath(stored)) return false;
  const JournalRecord* old = FindRecord(stored);
  FileTime keptTime = old != nullptr ? old->serverTime : 0;
  return WriteIndexed(journal_, index_, MakeRecord(state, stored, time.value_or(keptTime)), stored);
}

NTSTATUS OfflineCache::FreeRecord(std::u16string_view path, bool recursive) {
  std::u16string stored = StoredPath(path);
  bool found = false;
  for (auto& [key, slot] : index_) {
    bool here = EqualsNoCase(key, stored);
    bool below = recursive && !here && PathIsAtOrBelow(key, stored == u"\\" ? u"" : stored);
    if (!here && !below) continue;
    JournalRecord record = journal_.records()[slot];
    if (IsFree(record)) continue;
    found = found || here;
    record.state = kJournalFree;
    journal_.Write(slot, record);
    hasFreeRecords_ = true;
  }
  return found ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

bool OfflineCache::HasRecordsBelow(std::u16string_view folder) const {
  std::u16string stored = StoredPath(folder);
  for (const auto& [key, slot] : index_) {
    if (!IsFree(journal_.records()[slot]) && !EqualsNoCase(key, stored) &&
        PathIsAtOrBelow(key, stored == u"\\" ? u"" : stored))
      return true;
  }
  return false;
}

void OfflineCache::CompactJournal() {
  auto compact = [](RecordFile& file, std::map<std::u16string, size_t, PathNoCaseLess>& index) {
    if (!file.IsOpen()) return;
    // Only the slot each path is indexed at survives: a path is never kept twice.
    std::vector<bool> indexed(file.records().size(), false);
    for (const auto& entry : index) indexed[entry.second] = true;
    size_t slot = 0;
    if (!file.Compact([&](const JournalRecord& r) { return indexed[slot++] && !IsFree(r); }))
      return;
    index.clear();
    for (size_t i = 0; i < file.records().size(); ++i)
      index.emplace(std::u16string(PathOf(file.records()[i])), i);
  };
  bool pendingHasFree = false;
  for (const JournalRecord& r : pending_.records()) pendingHasFree = pendingHasFree || IsFree(r);
  if (hasFreeRecords_) compact(journal_, index_);
  if (pendingHasFree) compact(pending_, pendingIndex_);
  hasFreeRecords_ = false;
}

std::vector<JournalRecord> OfflineCache::Records() const {
  std::vector<JournalRecord> records;
  for (const auto& [key, slot] : index_)
    if (!IsFree(journal_.records()[slot])) records.push_back(journal_.records()[slot]);
  return records;
}

const JournalRecord* OfflineCache::FindPending(std::u16string_view path) const {
  auto it = pendingIndex_.find(StoredPath(path));
  if (it == pendingIndex_.end()) return nullptr;
  const JournalRecord& record = pending_.records()[it->second];
  return IsFree(record) ? nullptr : &record;
}

bool OfflineCache::SetPending(uint32_t state, std::u16string_view path, FileTime time) {
  std::u16string stored = StoredPath(path);
  if (!ValidStoredPath(stored)) return false;
  return WriteIndexed(pending_, pendingIndex_, MakeRecord(state, stored, time), stored);
}

void OfflineCache::ClearPending(std::u16string_view path) {
  auto it = pendingIndex_.find(StoredPath(path));
  if (it == pendingIndex_.end()) return;
  JournalRecord record = pending_.records()[it->second];
  if (IsFree(record)) return;
  record.state = kJournalFree;
  pending_.Write(it->second, record);
}

std::vector<JournalRecord> OfflineCache::PendingChanges() const {
  std::vector<JournalRecord> changes;
  for (const auto& [key, slot] : pendingIndex_)
    if (!IsFree(pending_.records()[slot])) changes.push_back(pending_.records()[slot]);
  return changes;
}

int OfflineCache::DeleteFolderContents(std::u16string_view folder, bool keepRecords) {
  std::vector<std::string> names;
  if (!tree_.Names(folder, names)) return errno == ENOENT ? 0 : errno;
  for (const std::string& name : names) {
    std::u16string path = std::u16string(folder) + u"\\" + Utf8ToUtf16(name);
    struct stat info {};
    if (!tree_.Stat(path, info)) continue;
    if (S_ISDIR(info.st_mode)) {
      if (int error = DeleteFolderContents(path, keepRecords)) return error;
      if (!tree_.Remove(path, true) && errno != ENOENT) return errno;
    } else {
      // A link or any other file is removed itself, never followed.
      if (!tree_.Remove(path, false) && errno != ENOENT) return errno;
    }
    if (!keepRecords) FreeRecord(path, false);
  }
  return 0;
}

int OfflineCache::DeleteLocalTree(std::u16string_view folder, bool keepRecords) {
  std::u16string stored = StoredPath(folder);
  if (!ValidStoredPath(stored)) return EINVAL;
  std::u16string base = stored == u"\\" ? u"" : stored;
  if (int error = DeleteFolderContents(base, keepRecords)) return error;
  // With its records kept the folder stays, empty: a record whose folder is
  // gone would turn free at the next opening and the folder lose its mark.
  if (keepRecords) return 0;
  if (!base.empty() && !tree_.Remove(base, true) && errno != ENOENT) return errno;
  FreeRecord(stored, true);
  return 0;
}

bool IsCacheEmpty(const std::string& root, std::u16string_view siteName, bool connectedOffline) {
  if (connectedOffline) return false;
  struct stat info {};
  if (stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  OfflineCache cache(root, std::u16string(siteName));
  if (!cache.Open(true)) return true;
  return cache.Records().empty();
}

}  // namespace hvm
