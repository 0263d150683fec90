// The agent's record of one remote file or folder, the records background jobs
// attach to it, and the per-Connection entry cache ordered by path.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "agent/service/file_time.h"

namespace hvm {

inline constexpr size_t kEntryPathChars = 260;      // 259 and a terminator
inline constexpr size_t kEntryMaxPathChars = 259;
inline constexpr uint64_t kNoSize = ~uint64_t{0};  // no size known yet
inline constexpr int kNoFile = -1;                 // no local copy open

// FileEntry::flags
inline constexpr uint32_t kEntryReadFailed = 0x0001;       // first strike: a server read failed
inline constexpr uint32_t kEntryReadFailedAgain = 0x0002;  // second strike
inline constexpr uint32_t kEntryDeletePending = 0x0004;
inline constexpr uint32_t kEntryReadOnly = 0x0008;         // the client refused to prepare a change
inline constexpr uint32_t kEntryDirectory = 0x0010;
inline constexpr uint32_t kEntryDirectory2 = 0x0020;
inline constexpr uint32_t kEntryDirectoryBits = 0x0030;   // either bit marks a directory
inline constexpr uint32_t kEntryWrittenLocally = 0x0040;   // created or written since the last upload
inline constexpr uint32_t kEntrySpecial = 0x0080;          // e.g. a symbolic link; not re-checked at open
inline constexpr uint32_t kEntryDeleteOnClose = 0x1000;
inline constexpr uint32_t kEntryTimesSet = 0x2000;         // a caller set the times
inline constexpr uint32_t kEntryDeletedOnServer = 0x8000;
// A created or emptied file whose server copy is made by its first upload
// (the client deferred the empty create): until then the server has the old
// file, or none.
inline constexpr uint32_t kEntryCreatePending = 0x10000;
// The first upload of a created name must not replace a file that another
// client made under that name meanwhile.
inline constexpr uint32_t kEntryMustBeNew = 0x20000;
// The server keeps the times of this file as properties of their own, which a
// plain upload would leave stale.
inline constexpr uint32_t kEntryServerKeepsTimes = 0x40000;
inline constexpr uint32_t kEntryStrikeBits = kEntryReadFailed | kEntryReadFailedAgain;

class EntryCache;
struct FileEntry;

// How the last upload of an entry's written copy failed: what the server or
// the connection said, and where the written contents were kept.
struct UploadFailure {
  std::u16string errorText;
  std::string backupPath;  // empty when no copy could be kept
};

// A record that a background job (upload, download block, read-ahead) hangs on
// an entry. The entry owns it once attached; detaching runs the cleanup and
// frees it. Jobs derive their own records from it.
struct AttachedSection {
  virtual ~AttachedSection() = default;
  uint8_t kind = 0;
  bool detached = false;
  AttachedSection* next = nullptr;
  std::unique_ptr<std::mutex> lock;                  // present when asked for at attach
  std::function<void(AttachedSection&)> cleanup;     // optional
};

struct FileEntry {
  FileEntry();
  ~FileEntry();
  FileEntry(const FileEntry&) = delete;
  FileEntry& operator=(const FileEntry&) = delete;

  FileEntry* parent = nullptr;        // null for the root
  uint32_t fileToken = 0;             // the driver's FCB identity; 0 = none
  FileTime creationTime = 0;
  FileTime changeTime = 0;
  FileTime lastWriteTime = 0;
  FileTime serverModifiedTime = 0;
  FileTime lastRefreshTime = 0;
  FileTime childrenListedTime = 0;    // a folder: when its own listing last came from the server
  uint64_t size = 0;                  // kNoSize = none yet
  uint32_t useCount = 0;              // create .. close
  uint32_t handleCount = 0;           // create .. cleanup
  uint32_t lockCount = 0;             // WebDAV lock depth
  uint32_t readCount = 0;
  std::u16string lockToken;           // empty = no lock token
  int localCopy = kNoFile;            // descriptor of the local copy
  int secondCopy = kNoFile;           // contents pushed while no local copy was open
  uint32_t backgroundUsers = 0;
  uint32_t flags = 0;
  std::recursive_mutex lock;          // guards sections
  std::atomic<uint32_t> readers{0};   // jobs reading the entry right now
  // Counts the uploads of the file: bytes a client fetched from the server
  // before the last one are the old contents.
  std::atomic<uint32_t> uploadsDone{0};
  AttachedSection* sections = nullptr;
  std::unique_ptr<UploadFailure> uploadFailure;  // the last upload's failure; null after a success
  EntryCache* owner = nullptr;        // the cache that made the record
  char16_t path[kEntryPathChars] = {};
  uint16_t pathChars = 0;             // the length of path, kept by SetPath (the cache's order reads it often)

  std::u16string_view Path() const;
  // Copies at most 259 characters. Only while the entry is not in a cache.
  void SetPath(std::u16string_view newPath);
  bool IsDirectory() const { return (flags & kEntryDirectoryBits) != 0; }
  bool IsDeletePending() const { return (flags & kEntryDeletePending) != 0; }
  bool IsReadOnly() const { return (flags & kEntryReadOnly) != 0; }
  bool HasLocalCopy() const { return localCopy != kNoFile; }
  // The last path component (after the last backslash); empty when none.
  std::u16string_view Name() const;
};

// Sections. Attach appends unless the section is already there (then false)
// and takes ownership; detach unlinks, runs the cleanup, frees the section
// and frees a deferred entry whose last section went.
bool AttachSection(FileEntry& entry, AttachedSection* section, uint8_t kind, bool ownLock);
void DetachSection(FileEntry& entry, AttachedSection* section);
// Ends every section, from the tail of the list to the head.
void DetachAllSections(FileEntry& entry);

// Ordering of entry paths: case-insensitive, with the backslash below every
// other character, so that a folder is followed by everything below it before
// its next sibling.
int ComparePaths(std::u16string_view a, std::u16string_view b);
// True when path is prefix itself or lies below it (case-insensitive).
bool PathIsAtOrBelow(std::u16string_view path, std::u16string_view prefix);

struct EntryPathLess {
  using is_transparent = void;
  bool operator()(const FileEntry* a, const FileEntry* b) const;
  bool operator()(const FileEntry* a, std::u16string_view b) const;
  bool operator()(std::u16string_view a, const FileEntry* b) const;
};

// One per Connection. Used under the Connection's request lock; only the
// deferred list is touched from job threads and has a lock of its own.
class EntryCache {
 public:
  using Set = std::set<FileEntry*, EntryPathLess>;
  using Iterator = Set::const_iterator;

  EntryCache() = default;
  ~EntryCache();
  EntryCache(const EntryCache&) = delete;
  EntryCache& operator=(const EntryCache&) = delete;

  // The entry whose path equals path case-insensitively (at most 260 characters compared).
  FileEntry* LookUp(std::u16string_view path) const;
  // False (nothing inserted) when another entry has the same path.
  bool Insert(FileEntry* entry);
  // A new zeroed record with the path (at most 259 characters), inserted;
  // null when allocation fails or the path is taken.
  FileEntry* NewEntry(std::u16string_view path);
  // The entry of that path, or a new one made as NewEntry makes it (made
  // true then), found with one search of the cache; null when allocation fails.
  FileEntry* FindOrNewEntry(std::u16string_view path, bool& made);
  // A copy of every field (descriptors duplicated, no sections, a fresh lock),
  // inserted under path; null when that fails.
  FileEntry* CloneEntry(const FileEntry& entry, std::u16string_view path);
  void Remove(FileEntry* entry);
  // Ends the sections, closes the local copies and frees the record.
  void FreeEntry(FileEntry* entry, bool alsoRemove);
  // Frees at once, or, while sections are attached, parks the record on the
  // deferred list until its last section is detached.
  void DiscardEntry(FileEntry* entry, bool alsoRemove);

  bool Contains(const FileEntry* entry) const;
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  Iterator begin() const { return entries_.begin(); }
  Iterator end() const { return entries_.end(); }
  Iterator Find(const FileEntry* entry) const;
  // The first entry whose path is not below path in the order.
  Iterator LowerBound(std::u16string_view path) const { return entries_.lower_bound(path); }
  size_t DeferredCount() const;

  // For DetachSection: the deferred list's lock, and taking a parked entry
  // off the list (true when it was there) while that lock is held.
  std::unique_lock<std::mutex> LockDeferred() const;
  bool TakeDeferredLocked(FileEntry* entry);

  // The housekeeping's pass over the deferred list: every parked entry that
  // held() does not claim is taken off the list under its lock, then freed
  // (its sections ended) outside it. Returns the number freed.
  size_t FreeDeferred(const std::function<bool(const FileEntry&)>& held);

  // The housekeeping's walk over every entry for idle sections is only
  // needed while sections may be attached: AttachSection notes each one, and
  // the walk says whether it left any. A walk is also made at least every
  // kSectionWalkRounds rounds, whatever was noted.
  static constexpr int kSectionWalkRounds = 10;
  void NoteSectionAttached() { sectionAttached_.store(true); }
  bool SectionWalkDue();
  void SectionWalkDone(bool sectionsLeft) { sectionsLeft_ = sectionsLeft; }

 private:
  Set entries_;
  std::atomic<bool> sectionAttached_{false};
  bool sectionsLeft_ = false;      // both under the Connection's request lock
  int roundsWithoutWalk_ = 0;
  mutable std::mutex deferredLock_;
  std::vector<FileEntry*> deferred_;
};

}  // namespace hvm
