// The configured sites: the SiteTable in the user's shared block and its copy
// in the user's registry, one subkey per site under Software\KOLV\Halvenmoor.
// Memory and registry change together; registry failures are shown to the
// person (CurrentUi) with the failing step as text and the key or value as
// caption, and nothing is rolled back.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "agent/service/site_record.h"
#include "platform/registry.h"
#include "platform/win32.h"

namespace hvm {

inline constexpr char16_t kProductName[] = u"Halvenmoor";
inline constexpr size_t kSiteNameMaxChars = kSiteNameChars - 1;   // 62
inline constexpr size_t kSiteUrlMaxChars = kSiteUrlChars - 1;     // 259
inline constexpr size_t kSiteLoginMaxBytes = kSiteLoginChars - 1; // 59
inline constexpr size_t kSitePasswordMaxBytes = kSitePasswordChars - 1;

// Defaults of a site key's values.
inline constexpr DWORD kDefaultTimeoutSeconds = 60;
inline constexpr DWORD kDefaultRetry = 1;
inline constexpr DWORD kDefaultPassive = 1;
inline constexpr DWORD kDefaultRefreshMinutes = 5;
// SynByCon / SynByDiscon: the person set the option; the low 15 bits say "on".
inline constexpr DWORD kSyncUserSet = 0x8000;
inline constexpr DWORD kSyncOnBits = 0x7FFF;

inline constexpr NTSTATUS kSiteSaveFailed = static_cast<NTSTATUS>(0xC0000001);

// A typed time-out in seconds as the options store it: 0 is taken as 1,
// anything above 120 as 120.
DWORD ClampTimeoutSeconds(DWORD typed);
// True for the values the time-out rule applies to: Resolve, Connect, Send, Receive.
bool IsTimeoutValue(std::u16string_view valueName);

// The schemes a site URL may have, compared without regard to case.
bool IsAcceptedSiteUrl(std::u16string_view url);
// The same, showing string 130 when the URL is refused.
bool CheckSiteUrl(std::u16string_view url);

// A registry failure box: text is the step, caption the key or value.
void ShowRegistryError(std::u16string_view text, std::u16string_view caption);

class SiteStore {
 public:
  // The table is the first member of the block; it stays the caller's.
  explicit SiteStore(SiteTable& table);
  ~SiteStore();
  SiteStore(const SiteStore&) = delete;
  SiteStore& operator=(const SiteStore&) = delete;

  // Fills the table from the registry: the number of sites read, or -1/-2/-3
  // when "Software", "KOLV" or "Halvenmoor" cannot be opened, -4 when the
  // enumeration fails, -5 when a site key cannot be opened.
  int ReadSites();
  // Password and don't-save-password of record `index` from its key; a clear
  // "Password" is moved into the enciphered "Settings" on the way.
  void ReadSitePassword(HKEY key, int index);
  // Writes every value of record `index` into its key: 0 or kSiteSaveFailed.
  NTSTATUS SaveSite(int index);
  // "Settings" from the record: enciphered password, or deleted when it is not to be kept.
  bool SaveSitePassword(HKEY key, const SiteRecord& record);
  // A site filled in memory as a new key with the default options.
  bool WriteNewSite(int index);
  // One option value as the options dialog writes it; the record follows.
  LONG SetSiteOption(int index, const char16_t* valueName, DWORD value);
  // Writes a string value of the site's key (the field edits); false after a shown failure.
  bool WriteSiteString(int index, const char16_t* valueName, std::u16string_view text);
  // First run: the machine's first site, else the two example sites.
  // Returns the number of sites afterwards.
  int SeedFirstRun();

  int Count() const;
  // Index of the site with this name (case ignored), or -1.
  int Find(std::u16string_view name) const;
  SiteRecord& Record(int index) { return table_[index]; }
  const SiteRecord& Record(int index) const { return table_[index]; }
  std::u16string_view Name(int index) const;
  // The product key, created when missing; null when it cannot be opened.
  HKEY BaseKey();

  int selected = -1;                    // the site the manager works on
  std::function<void()> tableChanged;   // rebuilds the tray menu and the list

 private:
  bool OpenBaseKey(bool showErrors, int* failedStep);
  void ReadSiteValues(HKEY key, SiteRecord& record);
  bool SeedFromMachine();
  // Creates the site's key with every value when it has none yet.
  bool EnsureSiteKey(int index);
  // Creates or opens the site's key below the base key; a failure is shown.
  LONG CreateSiteKey(std::u16string_view name, HKEY& key);
  void Changed();

  SiteTable& table_;
  HKEY baseKey_ = nullptr;
};

// Fills a record with the options of a new site (no name, URL or letter).
void ApplyNewSiteDefaults(SiteRecord& record);

// A running agent takes in the sites as the registry now has them. A record
// whose site is connected keeps its slot and every field (the Connection of
// that slot works on it); the other slots take the registry's sites in their
// order, leaving out names a connected record already carries, and the rest
// are cleared.
void MergeSiteTable(SiteTable& live, const SiteTable& fresh);
// Reads the registry into a scratch table and merges it into live: the number
// of sites read, or ReadSites' negative code (live then stays as it was).
int RereadSites(SiteTable& live);

}  // namespace hvm
