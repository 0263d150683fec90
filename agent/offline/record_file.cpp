// Fixed-size record files written so that a killed agent or a lost power
// supply leaves every record either old or new, never half.
#include "agent/offline/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hvm {
namespace {

constexpr size_t kRecordSize = sizeof(JournalRecord);

bool WriteAllAt(int fd, const void* data, size_t length, off_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (length > 0) {
    ssize_t n = pwrite(fd, bytes, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool ReadAll(int fd, std::vector<uint8_t>& bytes) {
  uint8_t buffer[64 * 1024];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
}

}  // namespace

bool IsWholeRecord(const JournalRecord& r) {
  switch (r.state) {
    case kJournalFree: case kJournalFolder: case kJournalFolderTree: case kJournalFile:
    case kPendingUpload: case kPendingDelete: break;
    default: return false;
  }
  for (size_t i = 0; i < kJournalPathChars; ++i)
    if (r.path[i] == 0) return true;
  return false;
}

bool SyncParentFolder(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

RecordFile::~RecordFile() { Close(); }

void RecordFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  records_.clear();
}

bool RecordFile::Open(const std::string& path, bool readOnly) {
  Close();
  path_ = path;
  readOnly_ = readOnly;
  int flags = O_CLOEXEC | O_NOFOLLOW | (readOnly ? O_RDONLY : (O_RDWR | O_CREAT));
  fd_ = open(path.c_str(), flags, 0600);
  if (fd_ < 0) return false;
  struct stat info {};
  std::vector<uint8_t> bytes;
  if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || !ReadAll(fd_, bytes)) {
    int saved = S_ISREG(info.st_mode) ? errno : EINVAL;
    Close();
    errno = saved;
    return false;
  }
  // A tail shorter than a record is what a crash in the middle of an append leaves.
  for (size_t offset = 0; offset + kRecordSize <= bytes.size(); offset += kRecordSize) {
    JournalRecord r;
    std::memcpy(&r, bytes.data() + offset, kRecordSize);
    if (!IsWholeRecord(r)) {
      std::memset(&r, 0, sizeof r);
      r.state = kJournalFree;
    }
    records_.push_back(r);
  }
  return true;
}

bool RecordFile::Write(size_t slot, const JournalRecord& record) {
  if (fd_ < 0 || readOnly_ || slot > records_.size()) return false;
  if (!WriteAllAt(fd_, &record, kRecordSize, static_cast<off_t>(slot * kRecordSize))) return false;
  if (!deferFlush_ && fdatasync(fd_) != 0) return false;
  if (slot == records_.size()) {
    records_.push_back(record);
  } else {
    records_[slot] = record;
  }
  return true;
}

bool RecordFile::Flush() { return fd_ < 0 || readOnly_ || fdatasync(fd_) == 0; }

bool RecordFile::Replace(const std::vector<JournalRecord>& kept) {
  if (fd_ < 0 || readOnly_) return false;
  std::string temporary = path_ + ".new";
  unlink(temporary.c_str());
  int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = kept.empty() || WriteAllAt(fd, kept.data(), kept.size() * kRecordSize, 0);
  ok = ok && fsync(fd) == 0;
  if (!ok || rename(temporary.c_str(), path_.c_str()) != 0) {
    close(fd);
    unlink(temporary.c_str());
    return false;
  }
  SyncParentFolder(path_);
  // The new file's own descriptor goes on: opening the name again could fail
  // and leave the writes going to the old file, which no name holds any more.
  close(fd_);
  fd_ = fd;
  records_ = kept;
  return true;
}

}  // namespace hvm
