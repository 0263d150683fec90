// Registering a Connection with the driver and mapping it to a drive.
#include "agent/service/registration.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "agent/app/error_texts.h"
#include "agent/app/string_table.h"
#include "agent/clients/client_factory.h"
#include "agent/clients/remote_client.h"
#include "agent/service/request_loop.h"
#include "agent/service/shared_section.h"
#include "common/moorlib.h"
#include "platform/control_device.h"
#include "platform/registry.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

// The remember choice of the certificate question: continue and keep the answer.
constexpr int kRememberAnswer = IDYES;
constexpr int kContinueOnceAnswer = IDNO;

std::u16string CurrentSid() {
  char16_t sid[kSidChars] = {};
  GetCurrentUserSidString(sid, static_cast<int>(kSidChars - 1));
  return std::u16string(WideField(sid, kSidChars));
}

std::u16string Resource(uint32_t id) {
  const char16_t* text = LoadResourceString(id);
  return text != nullptr ? std::u16string(text) : std::u16string();
}

std::u16string DriveCaption(char letter) {
  std::u16string caption(1, static_cast<char16_t>(static_cast<unsigned char>(letter)));
  caption += u':';
  return caption;
}

void StopBox(const std::u16string& text, const std::u16string& caption) {
  CurrentUi().MessageBox(text, caption, MB_OK | MB_ICONSTOP);
}

// A link left over for this very Connection is removed;
// anything else under the letter refuses the mapping.
bool DriveLetterFree(char letter, const std::string& target) {
  std::string existing;
  if (!QueryDriveLink(letter, existing)) return true;
  if (!existing.empty() && EqualsNoCase(Utf8ToUtf16(existing), Utf8ToUtf16(target)) &&
      RemoveDriveLink(letter))
    return true;
  StopBox(Resource(IDS_DRIVE_ALREADY_MAPPED), DriveCaption(letter));
  return false;
}

bool IsFtpBase(std::u16string_view base) {
  auto isF = [](char16_t c) { return c == u'f' || c == u'F'; };
  return (!base.empty() && isF(base[0])) || (base.size() > 1 && isF(base[1]));
}

std::u16string ClientErrorText(Connection& c, uint32_t code) {
  const char16_t* text = c.client ? c.client->ErrorText(code) : nullptr;
  if (text != nullptr && text[0] != 0) return std::u16string(text);
  char16_t buffer[kErrorTextBufferChars];
  return GetErrorText(code, buffer, kErrorTextBufferChars);
}

void RememberCertificateChoice(Connection& c) {
  c.site->ignoreCertificateWarning = 1;
  std::u16string key = std::u16string(kProductKey) + u"\\" + std::u16string(c.Name());
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) {
    WideDbgPrint(u"ignoreCertificateWarning not stored for %ws\n", key.c_str());
    return;
  }
  DWORD one = 1;
  RegSetValueExW(handle, u"ignoreCertificateWarning", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one),
                 sizeof one);
  RegCloseKey(handle);
}

// True when the person lets the connection go on despite the certificate.
bool AcceptCertificate(Connection& c) {
  std::u16string text = ClientErrorText(c, kSecureChannelFailure);
  size_t bracket = text.find(u'(');
  if (bracket != std::u16string::npos) text.resize(bracket);
  text += u"\n\nContinue anyway?\nYes: continue and remember this choice for the site."
          u"\nNo: continue this time only.\nCancel: do not connect.";
  int answer = CurrentUi().MessageBox(text, kAgentCaption, MB_YESNOCANCEL | MB_ICONWARNING);
  if (answer != kRememberAnswer && answer != kContinueOnceAnswer) return false;
  if (answer == kRememberAnswer) RememberCertificateChoice(c);
  return true;
}

void ShowConnectFailure(Connection& c, NTSTATUS result) {
  std::u16string text;
  if (result == kHttpUnauthorized) {
    text = Resource(IDS_CONNECT_LOGIN_FAILED);
  } else if (IsFtpBase(c.serverBasePath)) {
    text = Resource(IDS_CONNECT_FTP_FAILED);
  } else {
    text = Resource(IDS_CONNECT_FAILED);
  }
  text += u"\n(" + ClientErrorText(c, result) + u")";
  text += u"\n(" + std::u16string(c.Name()) + u")";
  StopBox(text, Resource(IDS_ERROR));
}

// A client that answers the connection test, or none.
bool MakeTestedClient(Connection& c, bool offline) {
  std::u16string savedUrl(WideField(c.site->url, kSiteUrlChars));
  std::u16string savedBase = c.serverBasePath;
  if (offline && c.site->url[0] != 0) {
    std::u16string url = u"file:" + savedUrl.substr(savedUrl.size() < 5 ? savedUrl.size() : 5);
    CopyWide(c.site->url, kSiteUrlChars, url);
    c.serverBasePath = u"file:" + savedBase.substr(savedBase.size() < 5 ? savedBase.size() : 5);
  }
  std::u16string reason;
  NTSTATUS made = AttachClient(c, offline, reason);
  NTSTATUS result = made == STATUS_SUCCESS ? RunConnectionTest(c) : made;
  CopyWide(c.site->url, kSiteUrlChars, savedUrl);
  c.serverBasePath = savedBase;
  if (made != STATUS_SUCCESS) {
    StopBox(reason + u"\n(" + std::u16string(c.Name()) + u")", Resource(IDS_ERROR));
    return false;
  }
  if (result == kSecureChannelFailure) {
    if (!AcceptCertificate(c)) {
      DetachClient(c);
      return false;
    }
    c.client->SetSecurityFlags(kIgnoreCertificateFlags);
    result = RunConnectionTest(c);
  }
  if (result != STATUS_SUCCESS) {
    ShowConnectFailure(c, result);
    DetachClient(c);
    return false;
  }
  return true;
}

// The driver fails every request of a Connection whose loop has not asked
// for one yet, so the drive only counts as there once a command has gone
// through the driver to the new loop and back. Another thread may wait here;
// the loop's own thread never does.
bool WaitForLoop(Connection& c) {
  constexpr uint32_t kStateQuery = 0x1420C4;
  constexpr int kAttempts = 400;  // 2 s in steps of 5 ms
  auto request = std::make_unique<InternalRequest>();
  auto answer = std::make_unique<InternalRequest>();
  std::memset(request.get(), 0, sizeof(InternalRequest));
  request->marker = kRecordMarker;
  CopyWide(request->sid, kSidChars, CurrentSid());
  CopyWide(request->name, kConnectionNameChars, c.Name());
  CopyWide(request->target, kPathChars, u"X:\\");
  HANDLE device = CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  bool through = false;
  for (int i = 0; i < kAttempts && !through; ++i) {
    DWORD returned = 0;
    through = DeviceIoControl(device, kStateQuery, request.get(), sizeof(InternalRequest), answer.get(),
                              sizeof(InternalRequest), &returned, nullptr) != 0;
    if (!through) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  CloseHandle(device);
  if (!through) WideDbgPrint(u"The request loop of %ws did not answer\n", std::u16string(c.Name()).c_str());
  return through;
}

// Disconnect at the loop's end: the driver suspended the Connection or went away.
void DisconnectAtLoopEnd(Connection& c) { DisconnectConnection(c, true, false); }

}  // namespace

NTSTATUS RunConnectionTest(Connection& c) {
  if (!c.client) return STATUS_UNSUCCESSFUL;
  ReplyArea area;
  area.serverPath = c.serverBasePath;
  auto request = std::make_unique<InternalRequest>();
  auto answer = std::make_unique<InternalRequest>();
  std::memset(request.get(), 0, sizeof(InternalRequest));
  std::memset(answer.get(), 0, sizeof(InternalRequest));
  uint32_t information = 0;
  NTSTATUS result =
      c.client->Control(kConnectionTestCode, nullptr, area, answer.get(), &information, request.get());
  // A client reporting its HTTP status reports success as 2xx or 3xx.
  if (result == STATUS_SUCCESS || (result >= 200 && result < 400)) return STATUS_SUCCESS;
  // The protocol's own code (HTTP status, 12175 ...) travels in the answer's result.
  if (answer->result != 0 && answer->result != STATUS_SUCCESS) return answer->result;
  return result;
}


namespace {
ConnectionTable* boundTable = nullptr;
}  // namespace

ConnectionTable* BoundConnectionTable() { return boundTable; }

ConnectionTable::~ConnectionTable() {
  if (boundTable == this) {
    StopHousekeeping();
    boundTable = nullptr;
  }
}

void ConnectionTable::Bind(SharedUserBlock* block) {
  // The housekeeping thread serves one table: the one bound last.
  if (boundTable != nullptr && boundTable != this) StopHousekeeping();
  block_ = block;
  boundTable = block != nullptr ? this : nullptr;
  for (size_t i = 0; i < connections_.size(); ++i)
    connections_[i].site = block != nullptr ? &block->sites[i] : nullptr;
}

int ConnectionTable::IndexOfName(std::u16string_view name) const {
  if (block_ == nullptr || name.empty()) return -1;
  for (size_t i = 0; i < kSiteCount; ++i) {
    std::u16string_view siteName = WideField(block_->sites[i].name, kSiteNameChars);
    if (!siteName.empty() && siteName == name) return static_cast<int>(i);
  }
  return -1;
}

bool WidePiecesWanted() {
  const char* narrow = getenv("HALVENMOOR_NARROW_PIECES");
  return narrow == nullptr || narrow[0] == '\0' || std::strcmp(narrow, "0") == 0;
}

bool SharedAreaWanted() {
  const char* setting = getenv("HALVENMOOR_SHARED_AREA");
  return setting == nullptr || std::strcmp(setting, "0") != 0;
}

void FillConnectionRecord(ConnectionRecord& record, const Connection& c, std::u16string_view sid,
                          bool registerIt) {
  std::memset(&record, 0, sizeof record);
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, sid);
  // 62 characters at most, so that the terminator sits inside the field at 246.
  CopyWide(record.name, kConnectionNameChars, c.Name());
  record.driveLetter = static_cast<uint8_t>(c.DriveLetter());
  record.active = registerIt ? 1 : 0;
  record.usedUnits = 0;
  record.freeUnits = 0;
  record.reserved = registerIt && WidePiecesWanted() ? kAskWidePieces : 0;
  if (record.reserved != 0 && SharedAreaWanted()) record.reserved |= kAskSharedArea;
  record.connectionHandle = c.connectionHandle;
}

bool RegisterConnection(Connection& c, bool registerIt, HANDLE device) {
  bool ownDevice = device == INVALID_HANDLE_VALUE;
  if (ownDevice) {
    device = CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
      WideDbgPrint(u"CreateFile QLODE failed with code %d\n", static_cast<int>(GetLastError()));
      return false;
    }
  }
  ConnectionRecord record;
  FillConnectionRecord(record, c, CurrentSid(), registerIt);
  ConnectionRecord answer = record;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, registerIt ? IOCTL_CONNECT : IOCTL_DISCONNECT, &record,
                            sizeof record, &answer, sizeof answer, &returned, nullptr);
  if (!ok) WideDbgPrint(u"Ioctl failed with code %d\n", static_cast<int>(GetLastError()));
  if (ownDevice) CloseHandle(device);
  if (!ok) return false;
  c.mapped = registerIt ? 1 : 0;
  if (registerIt) {
    c.connectionHandle = answer.connectionHandle;
    c.pieceSize = (answer.reserved & kAgreedWidePieces) ? kWidePieceSize : kMaxChunk;
    c.sharedAreaAgreed = c.pieceSize == kWidePieceSize && (answer.reserved & kAgreedSharedArea) != 0;
    c.connected = 1;
  }
  return true;
}

int MapConnection(Connection& c, bool offline) {
  if (c.site == nullptr || c.site->name[0] == 0) return 0;
  if (c.site->mappedDrive != 0 && c.mapped) return 1;  // mapped already
  char letter = c.site->drive[0];
  // The previous loop of this Connection must be over, its own disconnect included,
  // before this mapping sets anything that loop's end would undo.
  JoinRequestLoop(c);
  if (ConnectionTable* table = BoundConnectionTable()) StartHousekeeping(*table);
  std::string target = ConnectionFolder(c.Name());
  if (!DriveLetterFree(letter, target)) return 0;

  c.serverBasePath = WideField(c.site->url, kSiteUrlChars);
  if (!c.serverBasePath.empty() && c.serverBasePath.back() != u'\\' && c.serverBasePath.back() != u'/')
    c.serverBasePath += u'/';
  if (!MakeTestedClient(c, offline)) return 0;

  c.site->mappedDrive = letter;
  if (!RegisterConnection(c, true)) {
    c.site->mappedDrive = 0;
    DetachClient(c);
    StopBox(Resource(IDS_UNABLE_TO_MAP), DriveCaption(letter));
    return 0;
  }
  if (!DefineDriveLink(letter, target)) {
    // Disconnecting unregisters and clears what the mapping made.
    DisconnectConnection(c, true, false);
    c.site->mappedDrive = 0;
    StopBox(Resource(IDS_UNABLE_TO_MAP), DriveCaption(letter));
    return 0;
  }
  c.hooks.loopEnded = DisconnectAtLoopEnd;
  if (!StartRequestLoop(c)) {
    c.hooks.loopEnded = nullptr;
    DisconnectConnection(c, true, false);
    c.site->mappedDrive = 0;
    StopBox(Resource(IDS_UNABLE_TO_MAP), DriveCaption(letter));
    return 0;
  }
  WaitForLoop(c);
  return 1;
}

}  // namespace hvm
