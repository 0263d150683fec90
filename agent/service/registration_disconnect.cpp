// Disconnecting a Connection: the open-files question, the drive link, the
// driver's registration and the agent's file state, in that order.
#include <chrono>
#include <thread>
#include <vector>

#include "agent/app/string_table.h"
#include "agent/clients/client_factory.h"
#include "agent/clients/remote_client.h"
#include "agent/service/path_forms.h"
#include "agent/service/registration.h"
#include "common/moorlib.h"
#include "platform/ui.h"

namespace hvm {
namespace {

std::u16string Resource(uint32_t id) {
  const char16_t* text = LoadResourceString(id);
  return text != nullptr ? std::u16string(text) : std::u16string();
}

bool AsksAbout(const FileEntry& entry, bool askOpenFiles) {
  if (askOpenFiles) return entry.HasLocalCopy();
  return entry.IsDirectory() || entry.HasLocalCopy();
}

// False when the person aborted at an open file.
bool OpenFilesMayGo(Connection& c, bool askOpenFiles) {
  for (OpenHandle* handle = c.openHandles.head(); handle != nullptr;) {
    FileEntry* entry = handle->entry;
    if (entry == nullptr || !AsksAbout(*entry, askOpenFiles)) {
      handle = handle->next;
      continue;
    }
    std::u16string_view path = entry->Path();
    std::u16string caption(path.starts_with(kNamePrefix) ? path.substr(kNamePrefix.size()) : path);
    int answer = CurrentUi().MessageBox(Resource(IDS_OPEN_FILE_ON_CONNECTION), caption,
                                        MB_ABORTRETRYIGNORE | MB_ICONSTOP);
    if (answer == IDABORT) return false;
    handle = answer == IDRETRY ? c.openHandles.head() : handle->next;
  }
  return true;
}

void ReleaseEntry(Connection& c, FileEntry* entry) {
  DetachAllSections(*entry);
  if (!entry->IsDeletePending() && !entry->lockToken.empty() && c.client) {
    ReplyArea area;
    c.client->Unlock(entry, area, kCommandMode, nullptr);
    entry->lockToken.clear();
  }
  c.entries.FreeEntry(entry, true);
}

}  // namespace

void ClearFileState(Connection& c) {
  c.openHandles.Clear();
  c.lastListed = nullptr;
  // Entries parked on the deferred list still carry a running job's section;
  // they go when that job detaches it, never under the job's feet.
  std::vector<FileEntry*> entries(c.entries.begin(), c.entries.end());
  for (FileEntry* entry : entries) ReleaseEntry(c, entry);
}

int DisconnectConnection(Connection& c, bool askOpenFiles, bool keepRegistration) {
  if (c.site == nullptr) return kDisconnectDone;
  // The loop's own end disconnects too; the lock makes the two take turns.
  std::lock_guard<std::recursive_mutex> guard(c.requestLock);
  char letter = c.site->mappedDrive;
  if (letter == 0) return kDisconnectDone;
  if (!OpenFilesMayGo(c, askOpenFiles)) return kDisconnectCancelled;
  c.lastListed = nullptr;

  if (!keepRegistration) {
    if (!RemoveDriveLink(letter)) {
      std::u16string caption(1, static_cast<char16_t>(static_cast<unsigned char>(letter)));
      caption += u':';
      CurrentUi().MessageBox(Resource(IDS_UNABLE_TO_DISCONNECT), caption, MB_OK | MB_ICONSTOP);
      return kDisconnectDriveBusy;
    }
    // Unregistering completes the loop's pending call with 0 bytes: the loop ends.
    if (!RegisterConnection(c, false)) c.mapped = 0;
    c.site->mappedDrive = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ClearFileState(c);
  if (!keepRegistration) DetachClient(c);
  WideDbgPrint(u"Disconnected %ws\n", std::u16string(c.Name()).c_str());
  return kDisconnectDone;
}

}  // namespace hvm
