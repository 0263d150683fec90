// A site connected offline, served from its local tree.
#include "agent/offline/file_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "agent/clients/client_factory.h"
#include "agent/service/ntstatus.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr char16_t kOptionsAnswer[] = u"COPY";

NTSTATUS StatusOfErrno(int error) {
  switch (error) {
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case ENOTEMPTY: return STATUS_CANNOT_DELETE;
    case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_ACCESS_DENIED;
  }
}

bool CopyAll(int from, int to) {
  uint8_t buffer[64 * 1024];
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(from, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
      if (w <= 0) return false;
      done += w;
    }
    offset += n;
  }
}

}  // namespace

FileClient::FileClient(Connection& connection, std::string cacheRoot)
    : RemoteClient(connection), root_(std::move(cacheRoot)) {}

FileClient::~FileClient() = default;

std::u16string FileClient::SitePathOfCachePath(std::u16string_view cachePath) const {
  std::u16string path(PathBelowConnection(*connection_, cachePath));
  return path.empty() ? u"\\" : path;
}

std::u16string FileClient::SitePath(const FileEntry& entry) const { return SitePathOfCachePath(entry.Path()); }

NTSTATUS FileClient::Open() {
  if (cache_) return STATUS_SUCCESS;
  auto cache = std::make_unique<OfflineCache>(root_, std::u16string(connection_->Name()));
  if (!cache->Open(false) || !cache->tree().Create()) {
    WideDbgPrint(u"The offline cache of %ws cannot be opened (%d)\n",
                 std::u16string(connection_->Name()).c_str(), errno);
    return STATUS_ACCESS_DENIED;
  }
  cache_ = std::move(cache);
  return STATUS_SUCCESS;
}

void FileClient::FillEntry(FileEntry& entry, const struct stat& info) const {
  entry.size = S_ISDIR(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_size);
  entry.lastWriteTime = FileTimeFromUnix(info.st_mtim);
  entry.changeTime = FileTimeFromUnix(info.st_ctim);
  if (entry.creationTime == 0) entry.creationTime = entry.lastWriteTime;
  entry.lastRefreshTime = NowFileTime();
}

NTSTATUS FileClient::CreateFile(FileEntry* entry, ReplyArea&) {
  if (!cache_ || entry == nullptr) return STATUS_UNSUCCESSFUL;
  std::u16string path = SitePath(*entry);
  int fd = cache_->tree().OpenFile(path, O_RDWR | O_CREAT | O_TRUNC);
  if (fd < 0) return StatusOfErrno(errno);
  fsync(fd);
  close(fd);
  cache_->SetRecord(kJournalFile, path, TakeOverReplaced(path));
  return STATUS_SUCCESS;
}

NTSTATUS FileClient::CloseAfterWrite(OpenHandle* handle, ReplyArea&, uint32_t, uint32_t) {
  FileEntry* entry = handle ? handle->entry : nullptr;
  if (!cache_ || entry == nullptr || entry->IsDirectory() || !(entry->flags & kEntryWrittenLocally) ||
      !entry->HasLocalCopy())
    return STATUS_SUCCESS;
  std::u16string path = SitePath(*entry);
  // The written copy replaces the local file whole and is on the disk before the close answers.
  uint32_t result = cache_->tree().ReplaceFile(
      path, [entry](int fd) { return CopyAll(entry->localCopy, fd) ? 0u : static_cast<uint32_t>(EIO); }, 0);
  if (result != 0) return StatusOfErrno(static_cast<int>(result));
  // The journal keeps the server time of the last copy: only the local side changed.
  cache_->SetRecord(kJournalFile, path, std::nullopt);
  struct stat info {};
  if (cache_->tree().Stat(path, info)) FillEntry(*entry, info);
  entry->flags &= ~kEntryWrittenLocally;
  return STATUS_SUCCESS;
}

NTSTATUS FileClient::ListDirectory(std::u16string_view, FileEntry* entry, const char16_t* name) {
  if (!cache_) return STATUS_UNSUCCESSFUL;
  if (entry == nullptr) entry = RootEntry();
  if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::u16string folder = SitePath(*entry);
  struct stat info {};
  if (!cache_->tree().Stat(folder, info)) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!entry->IsDirectory()) {
    if (entry->handleCount == 0) FillEntry(*entry, info);
    return STATUS_SUCCESS;
  }
  std::vector<std::string> names;
  if (!cache_->tree().Names(folder, names)) return StatusOfErrno(errno);
  EntryCache& cache = connection_->entries;
  std::u16string base(entry->Path());
  std::set<std::u16string, PathNoCaseLess> present;
  for (const std::string& item : names) {
    std::u16string childName = Utf8ToUtf16(item);
    std::u16string childPath = base + u"\\" + childName;
    std::u16string sitePath = SitePathOfCachePath(childPath);
    struct stat childInfo {};
    if (childPath.size() > kEntryMaxPathChars || !cache_->tree().Stat(sitePath, childInfo)) continue;
    if (!S_ISDIR(childInfo.st_mode) && !S_ISREG(childInfo.st_mode)) continue;  // links stay hidden
    present.insert(childName);
    FileEntry* child = cache.LookUp(childPath);
    if (child == nullptr) {
      child = cache.NewEntry(childPath);
      if (child == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      child->flags = S_ISDIR(childInfo.st_mode) ? kEntryDirectory : 0;
    }
    child->parent = entry;
    if (child->handleCount == 0) FillEntry(*child, childInfo);
  }
  // Entries whose local file went are gone.
  std::vector<FileEntry*> vanished;
  for (auto it = cache.LowerBound(base); it != cache.end() && PathIsAtOrBelow((*it)->Path(), base); ++it) {
    FileEntry* child = *it;
    if (child->parent == entry && child != entry && !present.count(std::u16string(child->Name())))
      vanished.push_back(child);
  }
  for (FileEntry* child : vanished) {
    if (child->useCount > 0 || child->handleCount > 0) {
      child->flags |= kEntryDeletedOnServer;
      continue;
    }
    cache.Remove(child);
    ForgetEntry(*connection_, *child);
    cache.DiscardEntry(child, false);
  }
  entry->lastRefreshTime = NowFileTime();
  if (name != nullptr) {
    std::u16string_view wanted(name);
    if (wanted.size() > base.size() + 1 && PathIsAtOrBelow(wanted, base)) {
      std::u16string_view rest = wanted.substr(base.size() + 1);
      std::u16string_view next = rest.substr(0, rest.find(u'\\'));
      if (!present.count(std::u16string(next))) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS FileClient::MakeDirectory(ReplyArea& reply) {
  if (!cache_) return STATUS_UNSUCCESSFUL;
  std::string name;
  int parent = cache_->tree().OpenParent(SitePathOfCachePath(WideField(reply.path, kEntryPathChars)),
                                         false, name);
  if (parent < 0) return StatusOfErrno(errno);
  int made = mkdirat(parent, name.c_str(), 0700);
  int error = errno;
  close(parent);
  return made == 0 ? STATUS_SUCCESS : StatusOfErrno(error);
}

void FileClient::NoteDeleted(std::u16string_view path, bool folder) {
  const JournalRecord* record = cache_->FindRecord(path);
  // Only what came from the server is deleted there. Every folder is noted:
  // an empty one synchronised before has nothing recorded to tell, and the
  // server's folder goes only while it holds nothing but what was deleted
  // here (one that never reached the server leaves nothing to do).
  bool fromServer = folder || (record != nullptr && record->serverTime != 0);
  if (fromServer) {
    // A file of this name deleted here before (a folder made in its place)
    // keeps the server time it had, so that it still goes from the server.
    FileTime time = record != nullptr ? record->serverTime : 0;
    const JournalRecord* earlier = cache_->FindPending(path);
    if (time == 0 && earlier != nullptr && earlier->state == kPendingDelete) time = earlier->serverTime;
    cache_->SetPending(kPendingDelete, path, time);
  }
  cache_->FreeRecord(path, true);
}

NTSTATUS FileClient::Delete(FileEntry* entry, ReplyArea&) {
  if (!cache_ || entry == nullptr) return STATUS_UNSUCCESSFUL;
  std::u16string path = SitePath(*entry);
  if (!cache_->tree().Remove(path, entry->IsDirectory()) && errno != ENOENT) return STATUS_CANNOT_DELETE;
  NoteDeleted(path, entry->IsDirectory());
  return STATUS_SUCCESS;
}

// A file made or moved in place of one deleted or replaced here goes on from
// the server copy that one had (programs save so: a new file renamed over the
// old one, or the old one deleted and made again). The next synchronisation
// then uploads it unless the server changed meanwhile, instead of asking
// about every such save. Nothing when the name held no copy from the server.
std::optional<FileTime> FileClient::TakeOverReplaced(std::u16string_view path) {
  const JournalRecord* pending = cache_->FindPending(path);
  if (pending != nullptr && pending->state == kPendingDelete && pending->serverTime != 0) {
    FileTime replaced = pending->serverTime;
    cache_->ClearPending(path);
    return replaced;
  }
  const JournalRecord* record = cache_->FindRecord(path);
  if (record != nullptr && record->state == kJournalFile && record->serverTime != 0) return record->serverTime;
  return std::nullopt;
}

NTSTATUS FileClient::Move(FileEntry* entry, ReplyArea&, FileEntry*, std::u16string_view destinationServerPath) {
  if (!cache_ || entry == nullptr) return STATUS_UNSUCCESSFUL;
  std::u16string from = SitePath(*entry);
  std::u16string destination(destinationServerPath);
  while (!destination.empty() && destination.back() == u'/') destination.pop_back();
  std::u16string to = SitePathOfCachePath(CachePathOf(*connection_, destination));
  // The records below the old path, taken before they are freed.
  std::vector<JournalRecord> moved;
  for (const JournalRecord& record : cache_->Records())
    if (PathIsAtOrBelow(WideField(record.path, kJournalPathChars), from)) moved.push_back(record);
  // A file put in place of a file (or of one deleted here), not a new spelling of its own name.
  struct stat target {};
  bool inPlaceOfFile = !entry->IsDirectory() && !EqualsNoCase(from, to) &&
                       (!cache_->tree().Stat(to, target) || S_ISREG(target.st_mode));
  if (!cache_->tree().Move(from, to)) return STATUS_ACCESS_DENIED;
  std::optional<FileTime> replaced = inPlaceOfFile ? TakeOverReplaced(to) : std::nullopt;
  // A moved folder's files leave their old place on the server as deleted
  // files do: each only while the server still has the copy it had. Noted
  // first, so that the folder counts as one that held files from there.
  for (const JournalRecord& record : moved) {
    std::u16string old(WideField(record.path, kJournalPathChars));
    if (old.size() > from.size() && record.state == kJournalFile && record.serverTime != 0)
      cache_->SetPending(kPendingDelete, old, record.serverTime);
  }
  NoteDeleted(from, entry->IsDirectory());
  // Under the new name nothing was ever copied from the server: it is uploaded
  // there. A file of the folder landing where one from the server was deleted
  // here goes on from that copy, as a file saved in place of another does.
  for (const JournalRecord& record : moved) {
    std::u16string old(WideField(record.path, kJournalPathChars));
    std::u16string now = to + old.substr(from.size());
    std::optional<FileTime> took;
    if (record.state == kJournalFile && old.size() > from.size()) took = TakeOverReplaced(now);
    cache_->SetRecord(record.state, now, took.value_or(0));
  }
  // A folder with nothing recorded in it (made here) gets no record: one
  // would mark it as an offline folder of its own, which the next run takes
  // for a copy the server deleted.
  if (moved.empty() && !entry->IsDirectory()) cache_->SetRecord(kJournalFile, to, 0);
  if (replaced) cache_->SetRecord(kJournalFile, to, replaced);
  return STATUS_SUCCESS;
}

NTSTATUS FileClient::Get(FileEntry* entry, ReplyArea&, uint64_t start, uint64_t end, uint8_t* destination,
                         uint32_t) {
  if (!cache_ || entry == nullptr || end < start) return STATUS_ACCESS_DENIED;
  int fd = cache_->tree().OpenFile(SitePath(*entry), O_RDONLY);
  if (fd < 0) return STATUS_ACCESS_DENIED;
  uint64_t done = 0;
  while (start + done < end) {
    ssize_t n = pread(fd, destination + done, static_cast<size_t>(end - start - done),
                      static_cast<off_t>(start + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint64_t>(n);
  }
  close(fd);
  // Past the end of the local file the bytes read as zero, as a short file's would.
  if (start + done < end) std::memset(destination + done, 0, static_cast<size_t>(end - start - done));
  return STATUS_SUCCESS;
}

NTSTATUS FileClient::Write(FileEntry* entry, ReplyArea&, uint64_t, uint64_t, const uint8_t*, NTSTATUS) {
  // The service writes into the entry's local copy; CloseAfterWrite stores it.
  if (entry != nullptr && entry->IsReadOnly()) return STATUS_ACCESS_DENIED;
  return STATUS_SUCCESS;
}

NTSTATUS FileClient::Copy(FileEntry*, ReplyArea&, uint32_t, std::u16string_view, char16_t*) {
  return STATUS_UNSUCCESSFUL;
}
NTSTATUS FileClient::Lock(FileEntry*, ReplyArea&, uint32_t, char16_t*) { return STATUS_SUCCESS; }
NTSTATUS FileClient::BeginWrite(FileEntry*, ReplyArea&, uint32_t, char16_t*) { return STATUS_SUCCESS; }
NTSTATUS FileClient::Unlock(FileEntry*, ReplyArea&, uint32_t, char16_t*) { return STATUS_SUCCESS; }
void FileClient::Shutdown() { cache_.reset(); }
const char16_t* FileClient::ErrorText(uint32_t) { return nullptr; }
int FileClient::IsConnected() { return cache_ ? 1 : 0; }

NTSTATUS FileClient::Control(uint32_t code, FileEntry*, ReplyArea&, InternalRequest* answer,
                             uint32_t* information, const InternalRequest*) {
  if (code == kControlQuota) return STATUS_SUCCESS;
  if (code == kControlOptions && answer != nullptr) {
    CopyWide(answer->target, kPathChars, kOptionsAnswer);
    if (information != nullptr) *information = sizeof kOptionsAnswer - sizeof(char16_t);
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::unique_ptr<RemoteClient> MakeFileClient(Connection& connection) {
  return std::make_unique<FileClient>(connection, OfflineCacheRootFolder());
}

void RegisterFileClient() { RegisterClientConstructor(ClientKind::File, MakeFileClient); }

}  // namespace hvm
