#include "shell/shell_commands.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/service/channel_records.h"
#include "common/moorlib.h"
#include "driver/invalidate_record.h"
#include "platform/control_device.h"
#include "platform/locale_language.h"
#include "platform/runtime_paths.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr DWORD kGermanLanguage = 7;
constexpr DWORD kErrorInvalidData = 13;
constexpr size_t kAnswerTextChars = (offsetof(InternalRequest, result) - offsetof(InternalRequest, target)) / 2;

constexpr ShellCommandInfo kCommands[kShellCommandCount] = {
    {ShellCommand::Copy, "copy", "Copy", "Kopieren", kShellCopy},
    {ShellCommand::Lock, "lock", "Lock", "Sperren", kShellLock},
    {ShellCommand::Unlock, "unlock", "Unlock", "Entsperren", kShellLockToggle},
    {ShellCommand::Search, "search", "Search", "Suchen", kShellSearch},
    {ShellCommand::Checkout, "checkout", "Checkout", "Auschecken", kShellCheckout},
    {ShellCommand::Checkin, "checkin", "Check in", "Einchecken", kShellCheckin},
    {ShellCommand::Uncheckout, "uncheckout", "Uncheckout", "Auschecken r\xC3\xBC" "ckg\xC3\xA4ngig", kShellUncheckout},
    {ShellCommand::Report, "report", "Report", "Versionshistorie anzeigen", kShellReport},
    {ShellCommand::HideReport, "hide-report", "Hide report ", "Versionshistorie ausblenden", kShellHideReport},
};

bool Has(std::u16string_view text, std::u16string_view word) { return text.find(word) != std::u16string_view::npos; }

HANDLE OpenDevice() {
  return CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

const ShellCommandInfo& InfoOf(ShellCommand command) { return kCommands[static_cast<int>(command)]; }

std::optional<ShellCommand> CommandOfWord(std::string_view word) {
  for (const auto& info : kCommands)
    if (word == info.word) return info.command;
  return std::nullopt;
}

bool CommandEnabled(ShellCommand command, std::u16string_view options) {
  switch (command) {
    case ShellCommand::Copy: return Has(options, u"COPY");
    // "LOCK" inside "UNLOCK" does not count.
    case ShellCommand::Lock: return Has(options, u" LOCK") || Has(options, u",LOCK");
    case ShellCommand::Unlock: return Has(options, u"UNLOCK");
    case ShellCommand::Search: return Has(options, u"SEARCH");
    case ShellCommand::Checkout:
      return !Has(options, u"CHECKIN") && (Has(options, u"CHECKOUT") || Has(options, u"VERSION-CONTROL"));
    case ShellCommand::Checkin: return Has(options, u"CHECKIN");
    case ShellCommand::Uncheckout: return Has(options, u"UNCHECKOUT");
    case ShellCommand::Report: return Has(options, u"REPORT");
    case ShellCommand::HideReport: return Has(options, u"PUT");
  }
  return false;
}

bool GermanTexts() { return LanguageFromLocale() == kGermanLanguage; }

std::string NotOnDriveText() {
  return GermanTexts() ? "Diese Funktion ist nur inerhalb vom Halvenmoors Laufwerk erlaubt"
                       : "The operation is only permited within Halvenmoor's disks";
}
std::string ErrorCaptionText() { return GermanTexts() ? "Fehler" : "Error"; }
std::string NothingToHideText() { return GermanTexts() ? "Ausblenden hier nicht m\xC3\xB6glich" : "There is nothing to hide"; }

std::u16string CallerSid() {
  char16_t sid[kSidChars] = {};
  if (GetCurrentUserSidString(sid, static_cast<int>(kSidChars)) != 0) return u"";
  return sid;
}

std::string CanonicalMountRoot() {
  char* resolved = realpath(MountPointPath().c_str(), nullptr);
  if (resolved == nullptr) return "";
  std::string root(resolved);
  free(resolved);
  return root;
}

char16_t DriveLetterOf(std::u16string_view connection) {
  HANDLE device = OpenDevice();
  if (device == INVALID_HANDLE_VALUE) return 0;
  std::vector<uint8_t> in(kConnectionInfoMinIn, 0);
  CopyWide(reinterpret_cast<char16_t*>(in.data()), kSidChars, CallerSid());
  constexpr size_t kRecords = 26;
  std::vector<uint8_t> out(sizeof(uint32_t) + kRecords * sizeof(ConnectionRecord), 0);
  DWORD returned = 0;
  char16_t letter = 0;
  if (DeviceIoControl(device, IOCTL_CONNECTION_INFO, in.data(), static_cast<DWORD>(in.size()), out.data(),
                      static_cast<DWORD>(out.size()), &returned, nullptr) &&
      returned >= sizeof(uint32_t)) {
    uint32_t count;
    std::memcpy(&count, out.data(), sizeof count);
    for (uint32_t i = 0; i < count && sizeof(uint32_t) + (i + 1) * sizeof(ConnectionRecord) <= returned; ++i) {
      ConnectionRecord record;
      std::memcpy(&record, out.data() + sizeof(uint32_t) + i * sizeof record, sizeof record);
      if (WideField(record.name, kConnectionNameChars) == connection) letter = record.driveLetter;
    }
  }
  CloseHandle(device);
  return letter;
}

bool ServerDidIt(const CommandAnswer& answer) {
  constexpr uint32_t kMultiStatus = 207;
  return answer.called && (answer.result == 0 ||
                           (answer.result >= 200 && answer.result < 300 && answer.result != kMultiStatus));
}

CommandAnswer SendShellCommand(uint32_t code, const DrivePath& target, std::u16string_view second) {
  CommandAnswer answer;
  char16_t letter = DriveLetterOf(target.connection);
  InternalRequest request{};
  request.marker = kRecordMarker;
  CopyWide(request.sid, kSidChars, CallerSid());
  CopyWide(request.name, kConnectionNameChars, target.connection);
  CopyWide(request.target, kPathChars, DriveText(letter ? letter : u'X', target));
  CopyWide(request.destination, kPathChars, second);
  InternalRequest reply{};
  DWORD returned = 0;
  HANDLE device = OpenDevice();
  BOOL ok = device != INVALID_HANDLE_VALUE &&
            DeviceIoControl(device, code, &request, sizeof request, &reply, sizeof reply, &returned, nullptr);
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  if (!ok || returned < sizeof reply) {
    answer.result = error != ERROR_SUCCESS ? error : kErrorInvalidData;
    char text[64];
    std::snprintf(text, sizeof text, "Error calling Halvenmoor(%ld)", static_cast<long>(answer.result));
    answer.text = Utf8ToUtf16(text);
  } else {
    answer.called = true;
    answer.result = reply.result;
    // The answer text runs on past the target field, up to the result word.
    const auto* text = reinterpret_cast<const char16_t*>(reinterpret_cast<const uint8_t*>(&reply) +
                                                         offsetof(InternalRequest, target));
    answer.text = WideField(text, kAnswerTextChars);
  }
  WideDbgPrint(u"%ws\n", answer.text.c_str());
  return answer;
}

void NotifyChanged(const DrivePath& path) {
  driver::InvalidatePathRecord record{};
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, CallerSid());
  CopyWide(record.name, kConnectionNameChars, path.connection);
  CopyWide(record.path, kPathChars, path.inside.empty() ? u"\\" : path.inside);
  HANDLE device = OpenDevice();
  if (device == INVALID_HANDLE_VALUE) return;
  DWORD returned = 0;
  DeviceIoControl(device, IOCTL_INVALIDATE_PATH, &record, sizeof record, nullptr, 0, &returned, nullptr);
  CloseHandle(device);
}

}  // namespace hvm
