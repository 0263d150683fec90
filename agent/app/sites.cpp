// Reading and writing the site table from and to the user's registry.
#include "agent/app/sites.h"

#include <cstring>
#include <memory>
#include <utility>

#include "agent/app/drive_letters.h"
#include "agent/app/password_cipher.h"
#include "agent/app/sites_values.h"
#include "agent/service/site_passwords.h"
#include "agent/app/string_table.h"
#include "common/moorlib.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {

namespace {

constexpr char16_t kOpenKeyFailed[] = u"Unable to open registry key";
constexpr char16_t kSetValueFailed[] = u"Unable to set registry value";
constexpr char16_t kCloseKeyFailed[] = u"Unable to close registry key";

// The options a site key holds as 32-bit values, with where each lives in the record.
struct DwordOption {
  const char16_t* name;
  DWORD defaultValue;
  uint32_t SiteRecord::*wide;  // a 32-bit field, or
  uint8_t SiteRecord::*byte;   // a byte that is 1 for any non-zero value
  uint32_t flag;               // or a flag bit
};

constexpr DwordOption kDwordOptions[] = {
    {u"Auto", 0, nullptr, &SiteRecord::autoConnect, 0},
    {u"Resolve", kDefaultTimeoutSeconds, &SiteRecord::resolveTimeout, nullptr, 0},
    {u"Connect", kDefaultTimeoutSeconds, &SiteRecord::connectTimeout, nullptr, 0},
    {u"Send", kDefaultTimeoutSeconds, &SiteRecord::sendTimeout, nullptr, 0},
    {u"Receive", kDefaultTimeoutSeconds, &SiteRecord::receiveTimeout, nullptr, 0},
    {u"Retry", kDefaultRetry, &SiteRecord::retryCount, nullptr, 0},
    {u"Passive", kDefaultPassive, nullptr, &SiteRecord::passive, 0},
    {u"Refresh", kDefaultRefreshMinutes, &SiteRecord::refreshMinutes, nullptr, 0},
    {u"ignoreCertificateWarning", 0, nullptr, &SiteRecord::ignoreCertificateWarning, 0},
    {u"ActiveRefresh", 0, nullptr, nullptr, kSiteActiveRefresh},
    {u"PropfindGet", 0, nullptr, nullptr, kSitePropfindGet},
    {u"SynByCon", 0, nullptr, nullptr, kSiteSynByCon},
    {u"SynByDiscon", 0, nullptr, nullptr, kSiteSynByDiscon},
};

const DwordOption* FindOption(std::u16string_view name) {
  for (const DwordOption& option : kDwordOptions) {
    if (EqualsNoCase(option.name, name)) return &option;
  }
  return nullptr;
}

bool IsSyncOption(const DwordOption& option) {
  return option.flag == kSiteSynByCon || option.flag == kSiteSynByDiscon;
}

void SetFlag(SiteRecord& record, uint32_t flag, bool on) {
  record.flags = on ? (record.flags | flag) : (record.flags & ~flag);
}

// How a stored value shows in the record.
void ApplyOption(SiteRecord& record, const DwordOption& option, DWORD value) {
  if (option.wide != nullptr) {
    record.*option.wide = value;
  } else if (option.byte != nullptr) {
    record.*option.byte = value != 0 ? 1 : 0;
  } else if (IsSyncOption(option)) {
    SetFlag(record, option.flag, (value & kSyncOnBits) != 0);
  } else {
    SetFlag(record, option.flag, value != 0);
  }
}

DWORD OptionFromRecord(const SiteRecord& record, const DwordOption& option) {
  if (option.wide != nullptr) return record.*option.wide;
  if (option.byte != nullptr) return record.*option.byte;
  return (record.flags & option.flag) != 0 ? 1 : 0;
}

// The stored value of a sync option after a save: the person's mark is kept,
// the on bits follow the record's flag.
DWORD NextSyncValue(bool exists, DWORD old, uint32_t flag, bool on) {
  if (!exists) return on ? flag : 0;
  return on ? (old | flag) : (old & ~kSyncOnBits);
}

std::u16string DriveText(const SiteRecord& record) {
  return record.drive[0] != '\0' ? std::u16string(1, static_cast<char16_t>(record.drive[0]))
                                 : std::u16string();
}

char UpperDriveLetter(char letter) {
  return (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 'a' + 'A') : letter;
}

class KeyCloser {
 public:
  explicit KeyCloser(HKEY key) : key_(key) {}
  ~KeyCloser() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;
  HKEY Release() { return std::exchange(key_, nullptr); }

 private:
  HKEY key_;
};

}  // namespace

bool IsAcceptedSiteUrl(std::u16string_view url) {
  for (std::u16string_view scheme :
       {u"sftp://", u"ftps://", u"ftpes://", u"ftp://", u"http://", u"https:/", u"file:/"}) {
    if (url.size() >= scheme.size() && EqualsNoCase(url.substr(0, scheme.size()), scheme)) {
      return true;
    }
  }
  return false;
}

bool CheckSiteUrl(std::u16string_view url) {
  if (IsAcceptedSiteUrl(url)) return true;
  const char16_t* text = LoadResourceString(IDS_BAD_URL);
  CurrentUi().MessageBox(text != nullptr ? text : u"", kProductName, MB_OK | MB_ICONERROR);
  return false;
}

void ShowRegistryError(std::u16string_view text, std::u16string_view caption) {
  CurrentUi().MessageBox(text, caption, MB_OK | MB_ICONERROR);
}

void ApplyNewSiteDefaults(SiteRecord& record) {
  record.resolveTimeout = kDefaultTimeoutSeconds;
  record.connectTimeout = kDefaultTimeoutSeconds;
  record.sendTimeout = kDefaultTimeoutSeconds;
  record.receiveTimeout = kDefaultTimeoutSeconds;
  record.retryCount = kDefaultRetry;
  record.passive = kDefaultPassive;
  record.refreshMinutes = kDefaultRefreshMinutes;
  record.autoConnect = 0;
}

SiteStore::SiteStore(SiteTable& table) : table_(table) {}

SiteStore::~SiteStore() {
  if (baseKey_ != nullptr) RegCloseKey(baseKey_);
}

bool SiteStore::OpenBaseKey(bool showErrors, int* failedStep) {
  if (baseKey_ != nullptr) return true;
  static constexpr const char16_t* kSteps[] = {u"Software", u"KOLV", u"Halvenmoor"};
  static constexpr const char16_t* kCaptions[] = {u"\\Software", u"KOLV", u"Halvenmoor"};
  HKEY parent = HKEY_CURRENT_USER;
  for (int step = 0; step < 3; ++step) {
    HKEY child = nullptr;
    LONG error = RegCreateKeyExW(parent, kSteps[step], 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, &child, nullptr);
    if (parent != HKEY_CURRENT_USER) RegCloseKey(parent);
    if (error != ERROR_SUCCESS) {
      if (showErrors) ShowRegistryError(kOpenKeyFailed, kCaptions[step]);
      if (failedStep != nullptr) *failedStep = step;
      return false;
    }
    parent = child;
  }
  baseKey_ = parent;
  return true;
}

HKEY SiteStore::BaseKey() { return OpenBaseKey(true, nullptr) ? baseKey_ : nullptr; }

int SiteStore::ReadSites() {
  // The section outlives the agent here, so a table may still hold an earlier run's sites.
  std::memset(&table_[0], 0, sizeof(SiteTable));
  selected = -1;
  int failedStep = 0;
  if (!OpenBaseKey(true, &failedStep)) return -1 - failedStep;

  int count = 0;
  for (DWORD index = 0; count < static_cast<int>(kSiteCount); ++index) {
    char16_t name[256] = {};
    DWORD nameChars = 256;
    LONG error =
        RegEnumKeyExW(baseKey_, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_NO_MORE_ITEMS) break;
    if (error == ERROR_MORE_DATA || (error == ERROR_SUCCESS && nameChars > kSiteNameMaxChars)) {
      // No record could carry this name; reading it cut would bind the site to another key.
      WideDbgPrint(u"ReadSites skips a key with a name of %lu characters\n",
                   static_cast<unsigned long>(nameChars));
      continue;
    }
    if (error != ERROR_SUCCESS) {
      CurrentUi().MessageBox(u"Unable to enumerate connections", u"Error", MB_OK | MB_ICONERROR);
      return -4;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(baseKey_, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
      ShowRegistryError(kOpenKeyFailed, name);
      return -5;
    }
    SiteRecord& record = table_[count];
    CopyWide(record.name, kSiteNameChars, WideField(name, nameChars));
    ReadSiteValues(key, record);
    ReadSitePassword(key, count);
    RegCloseKey(key);
    ++count;
  }
  if (count > 0) selected = 0;
  return count;
}

void SiteStore::ReadSiteValues(HKEY key, SiteRecord& record) {
  std::u16string url;
  if (QueryWideValue(key, u"Url", url) == ERROR_SUCCESS) {
    CopyWide(record.url, kSiteUrlChars, url);
  }
  std::string text;
  if (QueryNarrowValue(key, u"Login", text) == ERROR_SUCCESS) {
    CopyNarrow(record.login, kSiteLoginChars, text);
  }
  if (QueryNarrowValue(key, u"Drive", text) == ERROR_SUCCESS && !text.empty()) {
    record.drive[0] = UpperDriveLetter(text[0]);
  }
  for (const DwordOption& option : kDwordOptions) {
    DWORD value = option.defaultValue;
    bool present = QueryDwordValue(key, option.name, value) == ERROR_SUCCESS;
    // Absent sync options are off; the other flags keep what the record had.
    if (!present && option.flag != 0 && !IsSyncOption(option)) continue;
    ApplyOption(record, option, value);
  }
}

void SiteStore::ReadSitePassword(HKEY key, int index) {
  SiteRecord& record = table_[index];
  std::memset(record.password, 0, sizeof(record.password));
  std::string clear;
  WipeOnExit wipeClear(clear);
  if (QueryNarrowValue(key, u"Password", clear) == ERROR_SUCCESS) {
    // A clear password of an older version moves into "Settings" once.
    CopyNarrow(record.password, kSitePasswordChars, clear);
    record.dontSavePassword = 0;
    std::string stored;
    if (EncipherPassword(NarrowField(record.password, kSitePasswordChars), stored) &&
        SetNarrowValue(key, u"Settings", stored) == ERROR_SUCCESS) {
      RegDeleteValueW(key, u"Password");
    }
    return;
  }
  record.dontSavePassword = 1;
  std::string stored;
  if (QueryNarrowValue(key, u"Settings", stored) != ERROR_SUCCESS) return;
  std::string password;
  WipeOnExit wipePassword(password);
  if (!DecipherPassword(stored, password)) {
    WideDbgPrint(u"The saved password of %ws cannot be read\n", record.name);
    return;
  }
  CopyNarrow(record.password, kSitePasswordChars, password);
  record.dontSavePassword = 0;
}

bool SiteStore::SaveSitePassword(HKEY key, const SiteRecord& record) {
  if (record.dontSavePassword != 0) {
    LONG error = RegDeleteValueW(key, u"Settings");
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND;
  }
  std::string stored;
  return EncipherPassword(NarrowField(record.password, kSitePasswordChars), stored) &&
         SetNarrowValue(key, u"Settings", stored) == ERROR_SUCCESS;
}

LONG SiteStore::CreateSiteKey(std::u16string_view name, HKEY& key) {
  LONG error = RegCreateKeyExW(baseKey_, std::u16string(name).c_str(), 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (error != ERROR_SUCCESS) ShowRegistryError(kOpenKeyFailed, name);
  return error;
}

NTSTATUS SiteStore::SaveSite(int index) {
  SiteRecord& record = table_[index];
  std::u16string_view name = Name(index);
  if (name.empty() || BaseKey() == nullptr) return kSiteSaveFailed;
  HKEY key = nullptr;
  if (CreateSiteKey(name, key) != ERROR_SUCCESS) return kSiteSaveFailed;
  KeyCloser closer(key);
  auto failed = [](const char16_t* value) {
    ShowRegistryError(kSetValueFailed, value);
    return kSiteSaveFailed;
  };

  if (SetWideValue(key, u"Url", WideField(record.url, kSiteUrlMaxChars)) != ERROR_SUCCESS) {
    return failed(u"Url");
  }
  if (SetNarrowValue(key, u"Login", NarrowField(record.login, kSiteLoginChars)) != ERROR_SUCCESS) {
    return failed(u"Login");
  }
  if (!SaveSitePassword(key, record)) {
    ShowRegistryError(kSetValueFailed, u"System error");
    return kSiteSaveFailed;
  }
  if (SetWideValue(key, u"Drive", DriveText(record)) != ERROR_SUCCESS) return failed(u"Drive");
  for (const DwordOption& option : kDwordOptions) {
    if (IsSyncOption(option)) continue;
    if (SetDwordValue(key, option.name, OptionFromRecord(record, option)) != ERROR_SUCCESS) {
      return failed(option.name);
    }
  }
  for (uint32_t flag : {kSiteSynByDiscon, kSiteSynByCon}) {
    const char16_t* valueName = flag == kSiteSynByCon ? u"SynByCon" : u"SynByDiscon";
    DWORD old = 0;
    bool exists = QueryDwordValue(key, valueName, old) == ERROR_SUCCESS;
    DWORD next = NextSyncValue(exists, old, flag, (record.flags & flag) != 0);
    if (SetDwordValue(key, valueName, next) != ERROR_SUCCESS) return failed(valueName);
  }
  if (RegCloseKey(closer.Release()) != ERROR_SUCCESS) {
    ShowRegistryError(kCloseKeyFailed, name);
    return kSiteSaveFailed;
  }
  if (selected < 0) selected = 0;
  return 0;
}

bool SiteStore::WriteNewSite(int index) {
  SiteRecord& record = table_[index];
  std::u16string name(Name(index));
  if (name.empty() || BaseKey() == nullptr) return false;
  HKEY key = nullptr;
  if (CreateSiteKey(name, key) != ERROR_SUCCESS) return false;
  KeyCloser closer(key);
  ProposeDriveLetter(record, record.drive[0] != '\0' ? record.drive[0] : 'X');
  ApplyNewSiteDefaults(record);

  bool written =
      SetWideValue(key, u"Url", WideField(record.url, kSiteUrlMaxChars)) == ERROR_SUCCESS &&
      SetNarrowValue(key, u"Login", NarrowField(record.login, kSiteLoginChars)) == ERROR_SUCCESS &&
      SaveSitePassword(key, record) &&
      SetWideValue(key, u"Drive", DriveText(record)) == ERROR_SUCCESS;
  for (const char16_t* option :
       {u"Auto", u"Resolve", u"Connect", u"Send", u"Receive", u"Retry", u"Passive", u"Refresh"}) {
    written =
        written &&
        SetDwordValue(key, option, OptionFromRecord(record, *FindOption(option))) == ERROR_SUCCESS;
  }
  if (!written) {
    ShowRegistryError(kSetValueFailed, name);
    return false;
  }
  if (RegCloseKey(closer.Release()) != ERROR_SUCCESS) {
    ShowRegistryError(kCloseKeyFailed, name);
    return false;
  }
  if (selected < 0) selected = index;
  Changed();
  return true;
}

bool SiteStore::EnsureSiteKey(int index) {
  std::u16string name(Name(index));
  if (name.empty() || BaseKey() == nullptr) return false;
  HKEY key = nullptr;
  LONG error = RegOpenKeyExW(baseKey_, name.c_str(), 0, KEY_READ, &key);
  if (error == ERROR_SUCCESS) {
    RegCloseKey(key);
    return true;
  }
  // A site seeded from the machine has no key yet: one value alone would
  // become a site without its login, password and letter at the next start.
  return error == ERROR_FILE_NOT_FOUND && SaveSite(index) == 0;
}

DWORD ClampTimeoutSeconds(DWORD typed) {
  constexpr DWORD kLowest = 1, kHighest = 120;
  return typed < kLowest ? kLowest : typed > kHighest ? kHighest : typed;
}

bool IsTimeoutValue(std::u16string_view valueName) {
  return valueName == u"Resolve" || valueName == u"Connect" || valueName == u"Send" ||
         valueName == u"Receive";
}

LONG SiteStore::SetSiteOption(int index, const char16_t* valueName, DWORD value) {
  const DwordOption* option = FindOption(valueName);
  if (IsTimeoutValue(valueName)) value = ClampTimeoutSeconds(value);
  std::u16string name(Name(index));
  if (option == nullptr || name.empty()) return ERROR_INVALID_PARAMETER;
  if (!EnsureSiteKey(index)) return ERROR_CANTOPEN;
  HKEY key = nullptr;
  LONG error = CreateSiteKey(name, key);
  if (error != ERROR_SUCCESS) return error;
  error = SetDwordValue(key, option->name, value);
  RegCloseKey(key);
  if (error != ERROR_SUCCESS) {
    ShowRegistryError(kSetValueFailed, option->name);
    return error;
  }
  ApplyOption(table_[index], *option, value);
  return ERROR_SUCCESS;
}

bool SiteStore::WriteSiteString(int index, const char16_t* valueName, std::u16string_view text) {
  std::u16string name(Name(index));
  if (!EnsureSiteKey(index)) return false;
  HKEY key = nullptr;
  if (CreateSiteKey(name, key) != ERROR_SUCCESS) return false;
  KeyCloser closer(key);
  bool done = std::u16string_view(valueName) == u"Settings"
                  ? SaveSitePassword(key, table_[index])
                  : SetWideValue(key, valueName, text) == ERROR_SUCCESS;
  if (!done) {
    ShowRegistryError(kSetValueFailed, valueName);
    return false;
  }
  if (RegCloseKey(closer.Release()) != ERROR_SUCCESS) {
    ShowRegistryError(kCloseKeyFailed, name);
    return false;
  }
  return true;
}

int SiteStore::Count() const {
  int count = 0;
  while (count < static_cast<int>(kSiteCount) && table_[count].name[0] != u'\0') ++count;
  return count;
}

int SiteStore::Find(std::u16string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    if (EqualsNoCase(Name(i), name)) return i;
  }
  return -1;
}

std::u16string_view SiteStore::Name(int index) const {
  return WideField(table_[index].name, kSiteNameChars);
}

void SiteStore::Changed() {
  if (tableChanged) tableChanged();
}

namespace {

bool IsConnected(const SiteRecord& record) { return record.name[0] != 0 && record.mappedDrive != 0; }

bool ConnectedElsewhere(const SiteTable& live, std::u16string_view name) {
  for (const SiteRecord& record : live)
    if (IsConnected(record) && EqualsNoCase(WideField(record.name, kSiteNameChars), name)) return true;
  return false;
}

}  // namespace

void MergeSiteTable(SiteTable& live, const SiteTable& fresh) {
  size_t slot = 0;
  auto nextFreeSlot = [&live, &slot]() {
    while (slot < kSiteCount && IsConnected(live[slot])) ++slot;
    return slot;
  };
  for (const SiteRecord& site : fresh) {
    std::u16string_view name = WideField(site.name, kSiteNameChars);
    if (name.empty() || ConnectedElsewhere(live, name)) continue;
    if (nextFreeSlot() == kSiteCount) break;
    PublishSiteRecord(live[slot], site);
    live[slot].mappedDrive = 0;
    ++slot;
  }
  for (; nextFreeSlot() < kSiteCount; ++slot) {
    ForgetSitePassword(live[slot]);
    std::memset(&live[slot], 0, sizeof(SiteRecord));
  }
}

int RereadSites(SiteTable& live) {
  struct Scratch {
    SiteTable sites;
  };
  auto scratch = std::make_unique<Scratch>();
  std::memset(scratch->sites, 0, sizeof(SiteTable));
  SiteStore store(scratch->sites);
  int count = store.ReadSites();
  if (count < 0) return count;
  MergeSiteTable(live, scratch->sites);
  WipeMemory(scratch->sites, sizeof(SiteTable));
  return count;
}

}  // namespace hvm
