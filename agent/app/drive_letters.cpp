// Which drive letters are free, judged by the drives folder and remembered drives.
#include "agent/app/drive_letters.h"

#include <sys/stat.h>

#include <cstdlib>
#include <unistd.h>

#include "agent/service/shared_section.h"
#include "platform/registry.h"
#include "platform/runtime_paths.h"
#include "platform/wide_text.h"

namespace hvm {

namespace {

std::string HomeFolder() { return HomeDir(); }  // never a shared folder such as /tmp

std::string RegistryDrivesFolder() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  char16_t text[1024] = {};
  DWORD type = 0;
  DWORD size = sizeof(text) - sizeof(char16_t);
  LONG error = RegQueryValueExW(key, u"DrivesFolder", nullptr, &type,
                                reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (error != ERROR_SUCCESS || type != REG_SZ) return {};
  return Utf16ToUtf8(WideField(text, size / sizeof(char16_t)));
}

bool RememberedNetworkDrive(char letter) {
  char16_t subKey[] = u"Network\\?";
  subKey[8] = static_cast<char16_t>(letter);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

}  // namespace

std::string DrivesFolder() {
  std::string folder = RegistryDrivesFolder();
  return folder.empty() ? HomeFolder() + "/Halvenmoor" : folder;
}

std::string DriveLinkPath(char letter) { return DrivesFolder() + "/" + std::string(1, letter); }

bool DriveLetterInUse(char letter) {
  struct stat info {};
  // lstat: a link whose target is gone still holds the letter.
  return RememberedNetworkDrive(letter) || lstat(DriveLinkPath(letter).c_str(), &info) == 0;
}

char ProposeDriveLetter(SiteRecord& record, char start) {
  char letter = (start >= 'a' && start <= 'z') ? static_cast<char>(start - 'a' + 'A') : start;
  while (letter >= 'D' && letter <= 'Z' && DriveLetterInUse(letter)) --letter;
  record.drive[0] = letter;
  record.drive[1] = '\0';
  return letter;
}

}  // namespace hvm
