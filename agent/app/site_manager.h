// The site manager's operations: New, Clone, Rename, Delete and the field
// edits, independent of any front end. Each operation changes the table and
// the registry together, shows its refusals and failures through CurrentUi()
// (texts from the string table where one exists), and returns what happened.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "agent/app/sites.h"

namespace hvm {

enum class SiteResult {
  kDone,
  kUnchanged,         // New found its entry already there; nothing written
  kTableFull,
  kUnknownSite,
  kUnknownOption,
  kNameEmpty,
  kNameTooLong,
  kNameHasSlash,
  kNameExists,
  kBadUrl,
  kTooLong,           // a field above its limit
  kBadDriveLetter,
  kDriveLetterTaken,
  kSiteConnected,     // disconnect first
  kLastSite,
  kCacheNotMovable,
  kRegistryFailed,
};

// A short English text for a result, for front ends that print one.
const char* SiteResultText(SiteResult result);

// Moves the offline cache of a site (its local tree and its journal) when
// the site is renamed. The offline cache supplies the real one.
class SiteCacheMover {
 public:
  virtual ~SiteCacheMover() = default;
  // False when a cache exists and could not be moved; nothing is changed then.
  virtual bool Move(std::u16string_view from, std::u16string_view to) = 0;
};

// The cache as folders: <root>/<site> (the tree) and <root>/<site>.sys (the journal).
class FolderCacheMover : public SiteCacheMover {
 public:
  explicit FolderCacheMover(std::string root) : root_(std::move(root)) {}
  bool Move(std::u16string_view from, std::u16string_view to) override;

 private:
  std::string root_;
};

// <data folder>/offline: where the offline trees of this user's sites live.
std::string OfflineCacheRoot();

class SiteManager {
 public:
  // mover may be null: the folder mover under OfflineCacheRoot() is used.
  explicit SiteManager(SiteStore& store, std::unique_ptr<SiteCacheMover> mover = nullptr);

  // "New": the entry "New site", selected; kUnchanged when it existed already.
  SiteResult NewSite();
  // A new site with the given name and the options of a new site; its drive
  // letter is the record's when set (refused when in use), else proposed from 'X'.
  SiteResult AddSite(std::u16string_view name, const SiteRecord& fields, int* index = nullptr);
  SiteResult CloneSite(int index);
  SiteResult RenameSite(int index, std::u16string_view newName);
  SiteResult DeleteSite(int index);

  // Field edits, written at once.
  SiteResult SetUrl(int index, std::u16string_view url);
  SiteResult SetLogin(int index, std::string_view login);
  SiteResult SetPassword(int index, std::string_view password);
  SiteResult SetDontSavePassword(int index, bool dontSave);
  SiteResult SetDrive(int index, char letter);
  // A 32-bit option as the options dialog writes it (Auto, Retry, SynByCon ...).
  SiteResult SetOption(int index, const char16_t* valueName, DWORD value);

  // Name rules shared by New, Add and Rename (no box shown).
  SiteResult CheckName(std::u16string_view name, int except) const;
  bool AnySiteConnected() const;

 private:
  bool ValidIndex(int index) const;
  SiteResult Refuse(SiteResult result, std::u16string_view text, std::u16string_view caption);

  SiteStore& store_;
  std::unique_ptr<SiteCacheMover> mover_;
};

}  // namespace hvm
