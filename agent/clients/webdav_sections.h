// The records the WebDAV client hangs on an entry while background jobs fill
// them: a full download into a temporary file (kind 5, kind 6 once complete)
// and a 3 MiB read-ahead block (kind 7). Each has its own lock and event and
// its own clone of the client; detaching one stops its job and waits for it.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/clients/webdav_client.h"
#include "agent/service/file_entry.h"

namespace hvm {

inline constexpr uint8_t kSectionDownload = 5;
inline constexpr uint8_t kSectionCompleteCopy = 6;
inline constexpr uint8_t kSectionReadAhead = 7;

struct WebDavSection : AttachedSection {
  WebDavSection();
  // Every derived record stops the job in its own destructor first.
  ~WebDavSection() override;
  bool IsFinished();
  // Cancels a running job and waits until it has left the section.
  void StopJob();
  // Called by the job when it is done with the section (it must not touch it afterwards).
  void JobLeft();

  std::mutex mutex;
  std::condition_variable event;
  bool started = false;
  bool finished = false;
  bool jobRunning = false;
  std::atomic<bool> cancel{false};
  int32_t status = 0;               // the GET's final status or error; 0 while fine
  // Bytes filled so far (from the block's start). Only the job moves it, so a
  // reader that sees enough bytes reads them without taking the lock.
  std::atomic<uint64_t> position{0};
  // The least position a sleeping reader waits for, 0 when none sleeps: the
  // job wakes readers only when it passes that point, not for every piece.
  std::atomic<uint64_t> awaited{0};
  std::unique_ptr<WebDavClient> client;
  std::u16string serverPath;
  // The entry's uploadsDone when the bytes were asked for: after a later
  // upload they are not the file's any more.
  uint32_t generation = 0;
};

struct DownloadSection : WebDavSection {
  ~DownloadSection() override;
  int fd = -1;                      // the temporary file
  uint64_t fileSize = 0;
};

struct ReadAheadSection : WebDavSection {
  // The job is stopped before the buffer it writes into goes away.
  ~ReadAheadSection() override { StopJob(); }
  std::vector<uint8_t> buffer;
  uint64_t start = 0;               // file offset of buffer[0]
  uint64_t length = 0;              // bytes this fill brings
};

template <class T>
T* FindSection(FileEntry& entry) {
  std::lock_guard<std::recursive_mutex> guard(entry.lock);
  for (AttachedSection* s = entry.sections; s; s = s->next)
    if (auto* t = dynamic_cast<T*>(s)) return t;
  return nullptr;
}

// Starts the job that fills the section (on the agent's job pool).
void StartFullDownload(DownloadSection* section);
void StartRangeRead(ReadAheadSection* section);

}  // namespace hvm
