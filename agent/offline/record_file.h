// A file of fixed JournalRecords: read whole at opening, each change written
// in place (or appended) and flushed to the disk before the call returns,
// rewritten through a temporary file and a rename when compacted. A torn
// record left by a crash (a state that is none of the known ones, a path
// without its terminator, a short tail) reads as free.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "agent/offline/journal_record.h"

namespace hvm {

class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Opens (creating when writable) the file at path, never through a
  // symbolic link, and reads every record; false with errno when it cannot.
  bool Open(const std::string& path, bool readOnly);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  const std::vector<JournalRecord>& records() const { return records_; }
  // Writes record slot (records().size() appends); false when not written.
  // The record is on the disk when Write returns unless flushing is deferred;
  // a killed process loses nothing either way (the system holds the bytes).
  bool Write(size_t slot, const JournalRecord& record);
  // With true, writes wait for Flush before they reach the disk.
  void DeferFlush(bool defer) { deferFlush_ = defer; }
  bool Flush();
  // Keeps only the records keep() accepts, in their order: a new file is
  // written, flushed and renamed over the old one, so a crash leaves one or
  // the other whole. The slots change.
  template <typename Keep>
  bool Compact(Keep keep) {
    std::vector<JournalRecord> kept;
    for (const JournalRecord& r : records_)
      if (keep(r)) kept.push_back(r);
    return Replace(kept);
  }

 private:
  bool Replace(const std::vector<JournalRecord>& kept);

  std::string path_;
  int fd_ = -1;
  bool readOnly_ = true;
  bool deferFlush_ = false;
  std::vector<JournalRecord> records_;
};

// A record as it was read: a known state and a terminated path.
bool IsWholeRecord(const JournalRecord& record);
// fsync of the folder holding path, so that a rename in it is on the disk.
bool SyncParentFolder(const std::string& path);

}  // namespace hvm
