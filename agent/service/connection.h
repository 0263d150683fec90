// The process-local side of a connected site: what the request loop, the
// clients and the registration share. Tied to its SiteRecord in the shared
// block, which keeps only plain configuration.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "agent/service/channel_records.h"
#include "agent/service/file_entry.h"
#include "agent/service/open_handle.h"
#include "agent/service/reply_area.h"
#include "agent/service/site_record.h"

namespace hvm {

// The refresh period of a site in minutes: its "Refresh" value, 5 when that is 0.
inline uint32_t RefreshPeriodMinutes(uint32_t refreshMinutes) {
  return refreshMinutes == 0 ? 5 : refreshMinutes;
}

class RemoteClient;
enum class ClientKind : uint8_t;

inline constexpr size_t kServerBasePathChars = 768;

// Shell event codes: what a change notice says happened to a path.
inline constexpr uint16_t SHCNE_RENAMEITEM = 0x0001;
inline constexpr uint16_t SHCNE_CREATE = 0x0002;
inline constexpr uint16_t SHCNE_DELETE = 0x0004;
inline constexpr uint16_t SHCNE_MKDIR = 0x0008;
inline constexpr uint16_t SHCNE_RMDIR = 0x0010;
inline constexpr uint16_t SHCNE_ATTRIBUTES = 0x0800;
inline constexpr uint16_t SHCNE_UPDATEDIR = 0x1000;
inline constexpr uint16_t SHCNE_UPDATEITEM = 0x2000;

// How an upload nobody waits for ended: a file's last release after its
// program closed it, a background job, an offline synchronisation.
struct UploadNotice {
  std::u16string file;       // as the drive shows it: "M:\docs\a.txt"
  bool failed = false;
  std::u16string errorText;  // failed: what the server or the connection said
  std::string backupPath;    // failed: where the written contents are; empty when none could be kept
};

// What the loop hands to other subsystems. Every member is optional.
struct ConnectionHooks {
  // Offline-cache commands 0x142100..0x142110; returns the result word.
  std::function<uint32_t(uint32_t code, class Connection& connection, FileEntry* entry,
                         ReplyArea& reply, const InternalRequest& request,
                         InternalRequest& answer)>
      offlineCommand;
  // A written local copy was uploaded: refresh the offline copy of it.
  std::function<void(class Connection&, FileEntry&)> offlineCopyUpdated;
  // A file or folder was deleted on the server.
  std::function<void(class Connection&, FileEntry&)> offlineDeleted;
  // The last use of a path ended (the housekeeping's set of busy paths).
  std::function<void(class Connection&, std::u16string_view path)> pathReleased;
  // Foreground check before an offline update ("excel.exe" with an ".xls").
  std::function<bool(std::u16string_view path)> offlineUpdateAllowed;
  // The loop ended: disconnect the Connection (drive link, registration).
  std::function<void(class Connection&)> loopEnded;
  // A listing found a child that is new, changed or gone on the server, or a
  // folder whose children changed: the kernel still shows the old state.
  // Called before a vanished entry is discarded; event is a SHCNE_* code.
  std::function<void(class Connection&, const FileEntry&, uint16_t event)> serverChanged;
  // An upload nobody waits for ended: the person is told (any thread).
  std::function<void(class Connection&, const UploadNotice&)> uploadEnded;
};

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  SiteRecord* site = nullptr;
  uint32_t connectionHandle = 0;           // from IOCTL_CONNECT
  // Largest read, write or content push the driver hands over whole: 64 KiB,
  // or kWidePieceSize when the driver agreed to wide pieces at registration.
  size_t pieceSize = kMaxChunk;
  // The driver made a shared data area for the Connection at registration;
  // its request loop fetches and maps it (IOCTL_SHARED_AREA).
  bool sharedAreaAgreed = false;
  std::u16string serverBasePath;           // server-side prefix, at most 768 characters
  std::atomic<uint8_t> mapped{0};          // the loop runs while non-zero
  std::atomic<uint8_t> connected{0};       // 0 once the driver suspended the Connection
  std::atomic<uint8_t> loopRunning{0};
  std::atomic<bool> offlineFeature{false};

  std::recursive_mutex requestLock;        // held while one request is processed
  OpenHandleList openHandles;
  EntryCache entries;
  std::unique_ptr<RemoteClient> client;
  ClientKind clientKind{};
  FileEntry* lastListed = nullptr;         // folder most recently listed from the server
  ConnectionHooks hooks;

  std::thread loopThread;
  std::thread refreshThread;
  std::mutex wakeLock;                     // wakes the refresh thread early when the loop ends
  std::condition_variable wake;

  // The connection name: the site's name (the first component after "\\QUENLODE\\").
  std::u16string_view Name() const;
  uint32_t Options() const { return site ? site->flags : 0; }
  uint32_t RefreshMinutes() const { return site ? site->refreshMinutes : 0; }
  char DriveLetter() const;
  // "\QUENLODE\" + name: the root entry's path.
  std::u16string RootPath() const;
};

}  // namespace hvm
