// Connecting, disconnecting and refreshing sites on the person's behalf.
#include "agent/app/connect_site.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "agent/app/drive_letters.h"
#include "agent/app/shell_notify.h"
#include "agent/app/sites.h"
#include "agent/app/upload_notice.h"
#include "agent/offline/offline_commands.h"
#include "agent/service/operations.h"
#include "agent/service/site_passwords.h"
#include "common/moorlib.h"
#include "platform/runtime_paths.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

extern char** environ;

namespace hvm {
namespace {

std::u16string NameOf(const SiteRecord& record) {
  return std::u16string(WideField(record.name, kSiteNameChars));
}

// False when the person declined to give the password. An answer is kept in
// the agent's own memory only: the site does not save its password.
bool PasswordAvailable(SiteRecord& record, bool& asked) {
  asked = false;
  if (record.login[0] == 0 || !record.dontSavePassword || !SitePassword(record).empty()) return true;
  std::string login(record.login, strnlen(record.login, kSiteLoginChars));
  std::u16string prompt = FormatWide(u"Password of %s for %ws", login.c_str(), NameOf(record).c_str());
  std::string password;
  if (!CurrentUi().AskPassword(prompt, password)) {
    ForgetSitePassword(record);
    WipeMemory(record.password, sizeof record.password);
    return false;
  }
  KeepSitePassword(record, password);
  WipeMemory(password.data(), password.size());
  asked = true;
  return true;
}

// The refresh is refused while a file of the drive is open.
const FileEntry* OpenFileOf(const Connection& c) {
  for (OpenHandle* handle = c.openHandles.head(); handle != nullptr; handle = handle->next) {
    const FileEntry* entry = handle->entry;
    if (entry != nullptr && !entry->IsDirectory() && (entry->handleCount > 0 || entry->HasLocalCopy()))
      return entry;
  }
  return nullptr;
}

}  // namespace

std::vector<std::string> FileManagerCommand(char letter, bool hasDisplay) {
  if (!hasDisplay) return {};
  return {"xdg-open", DriveLinkPath(letter)};
}

std::string SuspendPath() {
  char sid[kSidChars] = {};
  GetCurrentUserSidString(sid, static_cast<int>(kSidChars - 1));
  return MountPointPath() + "/" + std::string(sid) + "/QUENLODE/sp/suspend";
}

SiteRecord* SiteConnector::Record(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= table_.size() || table_.block() == nullptr)
    return nullptr;
  SiteRecord* record = &table_.block()->sites[index];
  return record->name[0] != 0 ? record : nullptr;
}

// Every slot is looked at: a site read again while another stays connected
// may leave free slots before a connected one.
int SiteConnector::Find(std::u16string_view name) const {
  if (name.empty()) return -1;
  for (size_t i = 0; i < kSiteCount; ++i) {
    const SiteRecord* record = Record(static_cast<int>(i));
    if (record != nullptr && WideField(record->name, kSiteNameChars) == name) return static_cast<int>(i);
  }
  return -1;
}

int SiteConnector::IndexOfLetter(char letter) const {
  for (size_t i = 0; i < kSiteCount; ++i) {
    SiteRecord* record = Record(static_cast<int>(i));
    if (record == nullptr) continue;
    if (record->mappedDrive != 0 && (record->mappedDrive & ~0x20) == (letter & ~0x20))
      return static_cast<int>(i);
  }
  return -1;
}

int SiteConnector::MapSite(int index, bool offline) {
  if (Record(index) == nullptr) return 0;
  Connection& c = table_.at(static_cast<size_t>(index));
  // Server changes a re-listing finds reach the kernel through the notification queue.
  c.hooks.serverChanged = QueueShellNotify;
  // Uploads nobody waits for tell their end through the front end.
  c.hooks.uploadEnded = ShowUploadNotice;
  InstallOfflineHooks(c);
  // A Connection that ended on its own (the driver suspended it) may have left the mark.
  if (!offline && c.site->mappedDrive == 0) c.site->flags &= ~kSiteOffline;
  return MapConnection(c, offline);
}

int SiteConnector::UnmapSite(int index, bool askOpenFiles, bool keepRegistration) {
  SiteRecord* record = Record(index);
  if (record == nullptr) return kDisconnectDone;
  Connection& c = table_.at(static_cast<size_t>(index));
  // The offline folders take the server's last state before the site goes.
  if (!keepRegistration && record->mappedDrive != 0 && !(record->flags & kSiteOffline) &&
      (record->flags & kSiteSynByDiscon))
    SynchronizeSite(c);
  int result = DisconnectConnection(c, askOpenFiles, keepRegistration);
  if (result == kDisconnectDone && !keepRegistration && record->mappedDrive == 0)
    record->flags &= ~kSiteOffline;
  return result;
}

bool SiteConnector::OfflineConnectSite(int index) {
  SiteRecord* record = Record(index);
  if (record == nullptr) return false;
  if (!CheckSiteUrl(WideField(record->url, kSiteUrlChars))) return false;
  WideDbgPrint(u"@@OnOfflineConnect %ws\n", NameOf(*record).c_str());
  if (record->mappedDrive != 0) return (record->flags & kSiteOffline) != 0;
  if (MapSite(index, true) != 1) return false;
  record->flags |= kSiteOffline;
  return true;
}

int SiteConnector::SynchronizeSiteNow(int index) {
  SiteRecord* record = Record(index);
  if (record == nullptr || record->mappedDrive == 0 || (record->flags & kSiteOffline)) return -3;
  return SynchronizeSite(table_.at(static_cast<size_t>(index)));
}

bool SiteConnector::ConnectSite(int index, bool openExplorer) {
  SiteRecord* record = Record(index);
  if (record == nullptr) return false;
  if (!CheckSiteUrl(WideField(record->url, kSiteUrlChars))) return false;
  WideDbgPrint(u"@@OnConnect %ws\n", NameOf(*record).c_str());
  bool asked = false;
  if (!PasswordAvailable(*record, asked)) return false;
  if (record->mappedDrive != 0) return true;
  if (MapSite(index, false) != 1) return false;
  if (record->flags & kSiteSynByCon) SynchronizeSite(table_.at(static_cast<size_t>(index)));
  if (openExplorer || asked) OpenSiteInExplorer(index, true);
  return true;
}

int SiteConnector::DisconnectSite(int index, bool askOpenFiles) {
  SiteRecord* record = Record(index);
  if (record == nullptr) return kDisconnectDone;
  WideDbgPrint(u"@@OnDiscon %ws\n", NameOf(*record).c_str());
  Connection& c = table_.at(static_cast<size_t>(index));
  std::lock_guard<std::recursive_mutex> guard(c.requestLock);
  WideDbgPrint(u"ExeAcquireMutex(DLG)\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(disconnectDelayMs));
  int result = UnmapSite(index, askOpenFiles, false);
  WideDbgPrint(u"ExeReleaseMutex(DLG)\n");
  return result;
}

bool SiteConnector::RefreshSite(int index) {
  SiteRecord* record = Record(index);
  if (record == nullptr) return false;
  Connection& c = table_.at(static_cast<size_t>(index));
  std::lock_guard<std::recursive_mutex> guard(c.requestLock);
  if (const FileEntry* open = OpenFileOf(c)) {
    WideDbgPrint(u"refresh is not possible, because of the file %ws\n",
                 std::u16string(open->Path()).c_str());
    // The drive cannot be rebuilt under an open file, but its folders can be
    // listed again: each one's next query goes to the server, as after the
    // refresh key, and open files keep what they have.
    ExpireAllListings(c);
    return true;
  }
  char letter = record->mappedDrive;
  if (UnmapSite(index, false, true) != kDisconnectDone) return false;
  if (letter == 0) return true;
  RemoveDriveLink(letter);
  RunConnectionTest(c);
  RegisterConnection(c, true);
  if (!DefineDriveLink(letter, ConnectionFolder(c.Name())))
    WideDbgPrint(u"*** Error refreshing connections %ld\n", static_cast<long>(errno));
  record->mappedDrive = record->drive[0];
  // What the kernel cached of the drive is stale now.
  ShellNotice root{SHCNE_UPDATEDIR, FormatWide(u"%c:\\", record->drive[0]), NameOf(*record), u"\\"};
  SendInvalidation(root);
  return true;
}

void SiteConnector::OpenSiteInExplorer(int index, bool show) {
  SiteRecord* record = Record(index);
  if (record == nullptr || record->mappedDrive == 0 || !show) return;
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  bool hasDisplay = (display != nullptr && display[0] != 0) || (wayland != nullptr && wayland[0] != 0);
  std::vector<std::string> command = FileManagerCommand(record->mappedDrive, hasDisplay);
  if (command.empty()) {
    std::printf("%s\n", DriveLinkPath(record->mappedDrive).c_str());
    std::fflush(stdout);
    return;
  }
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    WideDbgPrint(u"xdg-open could not be started\n");
}

int SiteConnector::ConnectAutoSites() {
  int connected = 0;
  for (size_t i = 0; i < kSiteCount; ++i) {
    SiteRecord* record = Record(static_cast<int>(i));
    if (record == nullptr) continue;
    if (!record->autoConnect || record->mappedDrive != 0 || record->login[0] == 0) continue;
    if (ConnectSite(static_cast<int>(i), false)) ++connected;
  }
  return connected;
}

void SiteConnector::DisconnectAllSites() {
  for (size_t i = 0; i < kSiteCount; ++i) {
    SiteRecord* record = Record(static_cast<int>(i));
    if (record == nullptr) continue;
    Connection& c = table_.at(i);
    std::lock_guard<std::recursive_mutex> guard(c.requestLock);
    UnmapSite(static_cast<int>(i), true, false);
  }
  // The driver suspends every Connection of this user; the open itself fails.
  int fd = open(SuspendPath().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
}

uint32_t SiteConnector::HandleCommand(const InstanceMessage& message) {
  std::u16string name = Utf8ToUtf16(std::string_view(message.siteName, strnlen(message.siteName, sizeof message.siteName)));
  int index = -1;
  if (message.message == kMessageDisconnect && message.wParam != 0) {
    index = IndexOfLetter(static_cast<char>(message.wParam));
  } else if (message.message == kMessageConnect || message.message == kMessageDisconnect ||
             message.message == kMessageRefresh || message.message == kMessageOfflineConnect ||
             message.message == kMessageSynchronize) {
    index = Find(name);
  }
  SiteRecord* record = Record(index);
  switch (message.message) {
    case kMessageConnect:
      if (record == nullptr) return 0;
      return ConnectSite(index, false) ? 1 : 0;
    case kMessageDisconnect:
      if (record == nullptr) return kCommandFailed;
      switch (DisconnectSite(index, true)) {
        case kDisconnectDone: return kCommandDone;
        case kDisconnectCancelled: return kCommandFileOpen;
        default: return kCommandDriveBusy;
      }
    case kMessageRefresh:
      if (record == nullptr || record->mappedDrive == 0) return 0;
      return RefreshSite(index) ? 1 : 0;
    case kMessageOfflineConnect:
      if (record == nullptr) return 0;
      return OfflineConnectSite(index) ? 1 : 0;
    case kMessageSynchronize:
      if (record == nullptr) return 0;
      return SynchronizeSiteNow(index) == 0 ? 1 : 0;
    default:
      return 0;
  }
}

}  // namespace hvm
