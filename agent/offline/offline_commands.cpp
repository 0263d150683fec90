// The folder menu's offline commands, carried out in the agent.
#include "agent/offline/offline_commands.h"

#include <sys/stat.h>

#include "agent/offline/connection_sync_server.h"
#include "agent/offline/offline_cache.h"
#include "agent/offline/synchronizer.h"
#include "agent/service/ntstatus.h"
#include "agent/service/path_forms.h"
#include "agent/service/shared_section.h"
#include "common/moorlib.h"
#include "platform/registry.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::u16string SitePathOf(const Connection& c, const FileEntry& entry) {
  std::u16string path(PathBelowConnection(c, entry.Path()));
  return path.empty() ? u"\\" : path;
}

// Progress through the person's front end, opened on the first step.
class ProgressReport {
 public:
  explicit ProgressReport(std::u16string title) : title_(std::move(title)) {}
  bool operator()(double done, double total) {
    if (!window_) window_ = CurrentUi().OpenProgress(title_);
    return !window_ || window_->Update(static_cast<uint64_t>(done), static_cast<uint64_t>(total), title_);
  }
 private:
  std::u16string title_;
  std::unique_ptr<ProgressWindow> window_;
};

SyncCallbacks CallbacksFor(Connection& c, std::shared_ptr<ProgressReport> progress) {
  SyncCallbacks callbacks;
  callbacks.progress = [progress](double done, double total) { return (*progress)(done, total); };
  callbacks.notify = [&c](std::u16string_view path, uint16_t event) {
    if (!c.hooks.serverChanged) return;
    std::u16string cachePath = c.RootPath() + std::u16string(path);
    if (FileEntry* entry = c.entries.LookUp(cachePath)) c.hooks.serverChanged(c, *entry, event);
  };
  return callbacks;
}

// First use of the offline cache: synchronise on disconnect and on connect
// unless the site says otherwise already.
void SetFirstUseDefaults(Connection& c) {
  if (c.site == nullptr || (c.site->flags & (kSiteSynByCon | kSiteSynByDiscon))) return;
  c.site->flags |= kSiteSynByCon | kSiteSynByDiscon;
  std::u16string key = std::u16string(kProductKey) + u"\\" + std::u16string(c.Name());
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return;
  DWORD discon = kSiteSynByDiscon;
  DWORD con = kSiteSynByCon;
  RegSetValueExW(handle, u"SynByDiscon", 0, REG_DWORD, reinterpret_cast<BYTE*>(&discon), sizeof discon);
  RegSetValueExW(handle, u"SynByCon", 0, REG_DWORD, reinterpret_cast<BYTE*>(&con), sizeof con);
  RegCloseKey(handle);
}

bool HoldsChanges(Connection& c, OfflineCache& cache, std::u16string_view path) {
  ConnectionSyncServer server(c);
  return Synchronizer(cache, server).LocalChangesBelow(path);
}

uint32_t MakeAvailable(Connection& c, OfflineCache& cache, std::u16string_view path, bool recursive,
                       uint16_t& menu) {
  if (const JournalRecord* record = cache.FindRecord(path)) {
    // A second choice of the command takes the folder offline again; what
    // was changed here and not yet synchronised is never dropped with it.
    if (HoldsChanges(c, cache, path)) {
      menu = record->state == kJournalFolder ? kMenuOffline : kMenuOfflineTree;
      return static_cast<uint32_t>(kSyncChangesWaiting);
    }
    cache.DeleteLocalTree(path, false);
    cache.FreeRecord(path, true);
    menu = kMenuOffline;
    return 0;
  }
  ConnectionSyncServer server(c);
  auto progress = std::make_shared<ProgressReport>(std::u16string(c.Name()));
  Synchronizer sync(cache, server, CallbacksFor(c, progress));
  int result = sync.CopyFolderToLocal(path, recursive, true);
  if (result == kSyncCancelled) {
    cache.DeleteLocalTree(path, false);
    return static_cast<uint32_t>(result);
  }
  if (result != 0) return static_cast<uint32_t>(result);
  SetFirstUseDefaults(c);
  cache.SetRecord(recursive ? kJournalFolderTree : kJournalFolder, path, 0);
  menu = recursive ? kMenuOfflineTree : kMenuOffline;
  return 0;
}

}  // namespace

uint32_t OfflineCommand(uint32_t code, Connection& c, FileEntry* entry, ReplyArea&, const InternalRequest&,
                        InternalRequest& answer) {
  uint16_t menu = kMenuNotOffline;
  uint32_t result = 0;
  auto finish = [&answer, &menu](uint32_t value) {
    answer.target[0] = menu;
    answer.target[1] = 0;
    return value;
  };
  if (c.Options() & kSiteOffline) {
    menu = kMenuNotPossible;
    return finish(0);
  }
  if (entry == nullptr) return finish(STATUS_OBJECT_NAME_NOT_FOUND);
  OfflineCache cache(OfflineCacheRootFolder(), std::u16string(c.Name()));
  if (!cache.Open(false) || !cache.tree().Create()) return finish(STATUS_ACCESS_DENIED);
  std::u16string path = SitePathOf(c, *entry);
  const JournalRecord* record = cache.FindRecord(path);
  switch (code) {
    case kOfflineQuery:
      if (record != nullptr) menu = record->state == kJournalFolder ? kMenuOffline : kMenuOfflineTree;
      break;
    case kOfflineAvailable:
    case kOfflineAvailableTree:
      if (!entry->IsDirectory()) return finish(STATUS_NOT_A_DIRECTORY);
      result = MakeAvailable(c, cache, path, code == kOfflineAvailableTree, menu);
      break;
    case kOfflineSynchronize:
      if (record == nullptr) {
        menu = kMenuOffline;
        break;
      } else {
        ConnectionSyncServer server(c);
        auto progress = std::make_shared<ProgressReport>(std::u16string(c.Name()));
        Synchronizer sync(cache, server, CallbacksFor(c, progress));
        result = static_cast<uint32_t>(sync.SynchronizeFolder(path, record->state == kJournalFolderTree, true, true));
      }
      break;
    case kOfflineDeleteCache:
      if (record == nullptr) {
        menu = kMenuOffline;
        break;
      }
      if (HoldsChanges(c, cache, path)) {
        result = static_cast<uint32_t>(kSyncChangesWaiting);
        menu = record->state == kJournalFolder ? kMenuOffline : kMenuOfflineTree;
        break;
      }
      result = static_cast<uint32_t>(cache.DeleteLocalTree(path, true));
      break;
    default:
      return finish(STATUS_INVALID_DEVICE_REQUEST);
  }
  return finish(result);
}

int SynchronizeSite(Connection& c) {
  std::lock_guard<std::recursive_mutex> guard(c.requestLock);
  if (!c.client || (c.Options() & kSiteOffline)) return 0;
  const std::string& root = OfflineCacheRootFolder();
  struct stat info {};
  if (stat(root.c_str(), &info) != 0) return 0;
  OfflineCache cache(root, std::u16string(c.Name()));
  if (!cache.Open(false) || (cache.Records().empty() && cache.PendingChanges().empty())) return 0;
  ConnectionSyncServer server(c);
  auto progress = std::make_shared<ProgressReport>(std::u16string(c.Name()));
  Synchronizer sync(cache, server, CallbacksFor(c, progress));
  int result = sync.SynchronizeSite();
  const Synchronizer::Counts& n = sync.counts();
  WideDbgPrint(u"Synchronized %ws: result %d, %d down, %d up, %d conflicts, %d deleted here, "
               u"%d deleted there, %d failed\n",
               std::u16string(c.Name()).c_str(), result, n.downloaded, n.uploaded, n.conflicts,
               n.deletedLocally, n.deletedOnServer, n.failed);
  return result;
}

void InstallOfflineHooks(Connection& c) {
  c.hooks.offlineCommand = OfflineCommand;
  c.offlineFeature = true;
}

}  // namespace hvm
