// New, Clone, Rename, Delete and the field edits of the site manager.
#include "agent/app/site_manager.h"

#include <cstring>

#include "agent/app/drive_letters.h"
#include "agent/app/sites_values.h"
#include "agent/app/string_table.h"
#include "platform/runtime_paths.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {

namespace {

constexpr char16_t kNewSiteName[] = u"New site";
constexpr char16_t kCopyPrefix[] = u"Copy of ";
constexpr char16_t kNameTooLongText[] = u"The size of a connection name has been exceeded";
// New stops one short of the table, as the list it fills always did.
constexpr int kNewSiteLimit = static_cast<int>(kSiteCount) - 1;

std::u16string ResourceText(uint32_t id) {
  const char16_t* text = LoadResourceString(id);
  return text != nullptr ? text : u"";
}

bool HasSlash(std::u16string_view name) {
  return name.find(u'/') != std::u16string_view::npos ||
         name.find(u'\\') != std::u16string_view::npos;
}

char UpperLetter(char letter) {
  return (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 'a' + 'A') : letter;
}

void CopyRecordFields(const SiteRecord& from, SiteRecord& to) {
  std::memcpy(to.url, from.url, sizeof(to.url));
  std::memcpy(to.login, from.login, sizeof(to.login));
  std::memcpy(to.password, from.password, sizeof(to.password));
  to.dontSavePassword = from.dontSavePassword;
  to.drive[0] = from.drive[0] != '\0' ? from.drive[0] : 'D';
  to.drive[1] = '\0';
  to.resolveTimeout = from.resolveTimeout;
  to.connectTimeout = from.connectTimeout;
  to.sendTimeout = from.sendTimeout;
  to.receiveTimeout = from.receiveTimeout;
  to.retryCount = from.retryCount;
  to.passive = from.passive;
  to.autoConnect = from.autoConnect;
  to.refreshMinutes = from.refreshMinutes;
}

// The sync options' stored values carry the person's own choice (bit 15),
// which the record does not hold; a renamed site keeps them.
struct SyncValues {
  bool hasCon = false;
  bool hasDiscon = false;
  DWORD con = 0;
  DWORD discon = 0;
};

SyncValues ReadSyncValues(HKEY base, std::u16string_view name) {
  SyncValues values;
  HKEY key = nullptr;
  if (RegOpenKeyExW(base, std::u16string(name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return values;
  }
  values.hasCon = QueryDwordValue(key, u"SynByCon", values.con) == ERROR_SUCCESS;
  values.hasDiscon = QueryDwordValue(key, u"SynByDiscon", values.discon) == ERROR_SUCCESS;
  RegCloseKey(key);
  return values;
}

void WriteSyncValues(HKEY base, std::u16string_view name, const SyncValues& values) {
  if (!values.hasCon && !values.hasDiscon) return;
  HKEY key = nullptr;
  if (RegCreateKeyExW(base, std::u16string(name).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;  // SaveSite reports the key
  }
  if (values.hasCon) SetDwordValue(key, u"SynByCon", values.con);
  if (values.hasDiscon) SetDwordValue(key, u"SynByDiscon", values.discon);
  RegCloseKey(key);
}

}  // namespace

const char* SiteResultText(SiteResult result) {
  switch (result) {
    case SiteResult::kDone: return "done";
    case SiteResult::kUnchanged: return "nothing changed";
    case SiteResult::kTableFull: return "the list of sites is full";
    case SiteResult::kUnknownSite: return "no such site";
    case SiteResult::kUnknownOption: return "no such option";
    case SiteResult::kNameEmpty: return "the name is empty";
    case SiteResult::kNameTooLong: return "the name is longer than 62 characters";
    case SiteResult::kNameHasSlash: return "the name cannot contain '\\' or '/'";
    case SiteResult::kNameExists: return "a site of that name exists already";
    case SiteResult::kBadUrl: return "the URL must begin with http://, https://, ftp://, ftps://, "
                                     "sftp:// or file:/";
    case SiteResult::kTooLong: return "the value is longer than its limit";
    case SiteResult::kBadDriveLetter: return "a drive letter is one letter A to Z";
    case SiteResult::kDriveLetterTaken: return "the drive letter is in use";
    case SiteResult::kSiteConnected: return "the site is connected; disconnect it first";
    case SiteResult::kLastSite: return "the last site cannot be deleted";
    case SiteResult::kCacheNotMovable: return "the offline cache cannot be renamed";
    case SiteResult::kRegistryFailed: return "the registry could not be written";
  }
  return "unknown result";
}

std::string OfflineCacheRoot() { return DataDir() + "/offline"; }

SiteManager::SiteManager(SiteStore& store, std::unique_ptr<SiteCacheMover> mover)
    : store_(store), mover_(std::move(mover)) {
  if (!mover_) mover_ = std::make_unique<FolderCacheMover>(OfflineCacheRoot());
}

bool SiteManager::ValidIndex(int index) const { return index >= 0 && index < store_.Count(); }

bool SiteManager::AnySiteConnected() const {
  for (int i = 0; i < store_.Count(); ++i) {
    if (store_.Record(i).mappedDrive != '\0') return true;
  }
  return false;
}

SiteResult SiteManager::Refuse(SiteResult result, std::u16string_view text,
                               std::u16string_view caption) {
  CurrentUi().MessageBox(text, caption, MB_OK | MB_ICONERROR);
  return result;
}

SiteResult SiteManager::CheckName(std::u16string_view name, int except) const {
  if (name.empty()) return SiteResult::kNameEmpty;
  if (HasSlash(name)) return SiteResult::kNameHasSlash;
  if (name.size() > kSiteNameMaxChars) return SiteResult::kNameTooLong;
  int other = store_.Find(name);
  if (other >= 0 && other != except) return SiteResult::kNameExists;
  return SiteResult::kDone;
}

SiteResult SiteManager::NewSite() {
  int count = store_.Count();
  if (count >= kNewSiteLimit) return SiteResult::kTableFull;
  int existing = store_.Find(kNewSiteName);
  if (existing >= 0) {
    store_.selected = existing;
    return SiteResult::kUnchanged;
  }
  SiteRecord& record = store_.Record(count);
  std::memset(&record, 0, sizeof(record));
  CopyWide(record.name, kSiteNameChars, kNewSiteName);
  ApplyNewSiteDefaults(record);
  ProposeDriveLetter(record, 'X');
  store_.selected = count;
  if (store_.tableChanged) store_.tableChanged();

  HKEY base = store_.BaseKey();
  HKEY key = nullptr;
  if (base == nullptr || RegCreateKeyExW(base, kNewSiteName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return Refuse(SiteResult::kRegistryFailed, u"Unable to open registry key", kNewSiteName);
  }
  if (RegCloseKey(key) != ERROR_SUCCESS) {
    return Refuse(SiteResult::kRegistryFailed, u"Unable to close registry key", kNewSiteName);
  }
  return SiteResult::kDone;
}

SiteResult SiteManager::AddSite(std::u16string_view name, const SiteRecord& fields, int* index) {
  int count = store_.Count();
  if (count >= kNewSiteLimit) return SiteResult::kTableFull;
  SiteResult nameCheck = CheckName(name, -1);
  if (nameCheck == SiteResult::kNameHasSlash) {
    return Refuse(nameCheck, ResourceText(IDS_NAME_HAS_SLASH), kProductName);
  }
  if (nameCheck == SiteResult::kNameTooLong) return Refuse(nameCheck, kNameTooLongText, u"Error");
  if (nameCheck != SiteResult::kDone) return nameCheck;
  if (!CheckSiteUrl(WideField(fields.url, kSiteUrlChars))) return SiteResult::kBadUrl;

  char letter = UpperLetter(fields.drive[0]);
  if (letter != '\0' && (letter < 'A' || letter > 'Z')) return SiteResult::kBadDriveLetter;
  if (letter != '\0' && DriveLetterInUse(letter)) return SiteResult::kDriveLetterTaken;

  SiteRecord& record = store_.Record(count);
  record = fields;
  std::memset(record.name, 0, sizeof(record.name));
  CopyWide(record.name, kSiteNameChars, name);
  record.mappedDrive = '\0';
  record.trayMenu = 0;
  if (letter != '\0') {
    record.drive[0] = letter;
    record.drive[1] = '\0';
  } else {
    ProposeDriveLetter(record, 'X');
  }
  if (index != nullptr) *index = count;
  if (store_.selected < 0) store_.selected = count;
  if (store_.tableChanged) store_.tableChanged();
  return store_.SaveSite(count) == 0 ? SiteResult::kDone : SiteResult::kRegistryFailed;
}

SiteResult SiteManager::CloneSite(int index) {
  if (!ValidIndex(index)) return SiteResult::kUnknownSite;
  int count = store_.Count();
  if (count >= static_cast<int>(kSiteCount)) return SiteResult::kTableFull;
  std::u16string name = kCopyPrefix + std::u16string(store_.Name(index));
  if (name.size() >= kSiteNameChars) {
    return Refuse(SiteResult::kNameTooLong, kNameTooLongText, u"Error");
  }
  if (store_.Find(name) >= 0) {
    return Refuse(SiteResult::kNameExists,
                  u"Copy of a site already exists, please, correct the situation", u"Error");
  }
  SiteRecord& clone = store_.Record(count);
  std::memset(&clone, 0, sizeof(clone));
  CopyWide(clone.name, kSiteNameChars, name);
  CopyRecordFields(store_.Record(index), clone);
  if (store_.tableChanged) store_.tableChanged();
  return store_.SaveSite(count) == 0 ? SiteResult::kDone : SiteResult::kRegistryFailed;
}

SiteResult SiteManager::RenameSite(int index, std::u16string_view newName) {
  if (!ValidIndex(index)) return SiteResult::kUnknownSite;
  std::u16string oldName(store_.Name(index));
  if (newName == oldName) return SiteResult::kUnchanged;
  SiteResult nameCheck = CheckName(newName, index);
  if (nameCheck == SiteResult::kNameHasSlash) {
    return Refuse(nameCheck, ResourceText(IDS_NAME_HAS_SLASH), kProductName);
  }
  if (nameCheck == SiteResult::kNameTooLong) return Refuse(nameCheck, kNameTooLongText, u"Error");
  if (nameCheck != SiteResult::kDone) return nameCheck;  // refused without a word
  SiteRecord& record = store_.Record(index);
  // The connection name is the site's name: a connected site keeps it.
  if (record.mappedDrive != '\0' || (record.flags & kSiteOffline) != 0) {
    return Refuse(SiteResult::kSiteConnected, ResourceText(IDS_DISCONNECT_ALL), kProductName);
  }
  HKEY base = store_.BaseKey();
  if (base == nullptr) return SiteResult::kRegistryFailed;

  if (!mover_->Move(oldName, newName)) {
    return Refuse(SiteResult::kCacheNotMovable, u"Cannot rename, offline cannot be renamed",
                  u"Error");
  }
  SyncValues sync = ReadSyncValues(base, oldName);
  LONG error = RegDeleteTreeW(base, oldName.c_str());
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
    mover_->Move(newName, oldName);
    return Refuse(SiteResult::kRegistryFailed, u"Unable to delete registry key", oldName);
  }
  std::memset(record.name, 0, sizeof(record.name));
  CopyWide(record.name, kSiteNameChars, newName);
  WriteSyncValues(base, newName, sync);
  NTSTATUS saved = store_.SaveSite(index);
  if (store_.tableChanged) store_.tableChanged();
  return saved == 0 ? SiteResult::kDone : SiteResult::kRegistryFailed;
}

SiteResult SiteManager::DeleteSite(int index) {
  if (!ValidIndex(index)) return SiteResult::kUnknownSite;
  if (AnySiteConnected()) {
    return Refuse(SiteResult::kSiteConnected, ResourceText(IDS_DISCONNECT_ALL), kProductName);
  }
  int count = store_.Count();
  if (count <= 1) {
    return Refuse(SiteResult::kLastSite, ResourceText(IDS_CANNOT_DELETE_LAST), kProductName);
  }
  std::u16string name(store_.Name(index));
  for (int i = index; i + 1 < count; ++i) store_.Record(i) = store_.Record(i + 1);
  std::memset(&store_.Record(count - 1), 0, sizeof(SiteRecord));
  store_.selected = 0;
  if (store_.tableChanged) store_.tableChanged();

  HKEY base = store_.BaseKey();
  LONG error = base != nullptr ? RegDeleteTreeW(base, name.c_str()) : ERROR_CANTOPEN;
  // A site seeded from the machine has no key of its own.
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
    return Refuse(SiteResult::kRegistryFailed, u"Unable to delete registry key", name);
  }
  return SiteResult::kDone;
}

SiteResult SiteManager::SetUrl(int index, std::u16string_view url) {
  if (!ValidIndex(index)) return SiteResult::kUnknownSite;
  if (url.size() > kSiteUrlMaxChars) return SiteResult::kTooLong;
  SiteRecord& record = store_.Record(index);
  std::memset(record.url, 0, sizeof(record.url));
  CopyWide(record.url, kSiteUrlChars, url);
  return store_.WriteSiteString(index, u"Url", url) ? SiteResult::kDone
                                                    : SiteResult::kRegistryFailed;
}

SiteResult SiteManager::SetLogin(int index, std::string_view login) {
  if (!ValidIndex(index)) return SiteResult::kUnknownSite;
  if (login.size() > kSiteLoginMaxBytes) return SiteResult::kTooLong;
  CopyNarrow(store_.Record(index).login, kSiteLoginChars, login);
  return store_.WriteSiteString(index, u"Login", Utf8ToUtf16(login)) ? SiteResult::kDone
                                                                     : SiteResult::kRegistryFailed;
}

SiteResult SiteManager::SetPassword(int index, std::string_view password) {
  if (!ValidIndex(index)) return SiteResult::kUnknownSite;
  if (password.size() > kSitePasswordMaxBytes) return SiteResult::kTooLong;
  SiteRecord& record = store_.Record(index);
  CopyNarrow(record.password, kSitePasswordChars, password);
  if (record.dontSavePassword != 0) return SiteResult::kDone;
  return store_.WriteSiteString(index, u"Settings", u"") ? SiteResult::kDone
                                                         : SiteResult::kRegistryFailed;
}

SiteResult SiteManager::SetDontSavePassword(int index, bool dontSave) {
  if (!ValidIndex(index)) return SiteResult::kUnknownSite;
  store_.Record(index).dontSavePassword = dontSave ? 1 : 0;
  return store_.WriteSiteString(index, u"Settings", u"") ? SiteResult::kDone
                                                         : SiteResult::kRegistryFailed;
}

SiteResult SiteManager::SetDrive(int index, char letter) {
  if (!ValidIndex(index)) return SiteResult::kUnknownSite;
  letter = UpperLetter(letter);
  if (letter < 'A' || letter > 'Z') return SiteResult::kBadDriveLetter;
  SiteRecord& record = store_.Record(index);
  record.drive[0] = letter;
  record.drive[1] = '\0';
  return store_.WriteSiteString(index, u"Drive", std::u16string(1, static_cast<char16_t>(letter)))
             ? SiteResult::kDone
             : SiteResult::kRegistryFailed;
}

SiteResult SiteManager::SetOption(int index, const char16_t* valueName, DWORD value) {
  if (!ValidIndex(index)) return SiteResult::kUnknownSite;
  LONG error = store_.SetSiteOption(index, valueName, value);
  if (error == ERROR_INVALID_PARAMETER) return SiteResult::kUnknownOption;
  return error == ERROR_SUCCESS ? SiteResult::kDone : SiteResult::kRegistryFailed;
}

}  // namespace hvm
