// The first run of a user without sites: the machine's seed site, else two examples.
#include <cstring>

#include "agent/app/password_cipher.h"
#include "agent/app/sites.h"
#include "agent/app/sites_values.h"
#include "agent/service/shared_section.h"
#include "agent/service/site_passwords.h"
#include "platform/wide_text.h"

namespace hvm {

namespace {

// Examples under the reserved example domains: they show the form of a site
// and never reach a real server, and they are never connected at start.
struct ExampleSite {
  const char16_t* name;
  const char16_t* url;
  const char* login;
  const char* password;
  char drive;
};

constexpr ExampleSite kExamples[] = {
    {u"First Https example", u"https://www.example.com/dav/", "guest", "guest", 'R'},
    {u"Second ftp example", u"ftp://ftp.example.org/pub/", "anonymous", "guest@example.org", 'T'},
};

DWORD DwordOr(HKEY key, const char16_t* name, DWORD fallback) {
  DWORD value = fallback;
  QueryDwordValue(key, name, value);
  return value;
}

}  // namespace

bool SiteStore::SeedFromMachine() {
  HKEY machine = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &machine) != ERROR_SUCCESS) {
    return false;
  }
  char16_t name[kSiteNameChars] = {};
  DWORD nameChars = kSiteNameChars;
  HKEY key = nullptr;
  bool found = RegEnumKeyExW(machine, 0, name, &nameChars, nullptr, nullptr, nullptr, nullptr) ==
                   ERROR_SUCCESS &&
               RegOpenKeyExW(machine, name, 0, KEY_READ, &key) == ERROR_SUCCESS;
  RegCloseKey(machine);
  if (!found) return false;

  SiteRecord& record = table_[0];
  std::memset(&record, 0, sizeof(record));
  CopyWide(record.name, kSiteNameChars, WideField(name, nameChars));
  std::u16string url;
  if (QueryWideValue(key, u"Url", url) == ERROR_SUCCESS) CopyWide(record.url, kSiteUrlChars, url);
  std::string text;
  if (QueryNarrowValue(key, u"Login", text) == ERROR_SUCCESS) {
    CopyNarrow(record.login, kSiteLoginChars, text);
  }
  // The machine file is read-only here: a clear password is taken as it is.
  record.dontSavePassword = 1;
  std::string password;
  WipeOnExit wipePassword(password);
  if (QueryNarrowValue(key, u"Settings", text) == ERROR_SUCCESS &&
      DecipherPassword(text, password)) {
    record.dontSavePassword = 0;
  } else if (QueryNarrowValue(key, u"Password", password) == ERROR_SUCCESS) {
    record.dontSavePassword = 0;
  }
  CopyNarrow(record.password, kSitePasswordChars, password);
  if (QueryNarrowValue(key, u"Drive", text) == ERROR_SUCCESS && !text.empty()) {
    record.drive[0] = text[0];
  }
  record.autoConnect = DwordOr(key, u"Auto", 0) != 0 ? 1 : 0;
  record.resolveTimeout = DwordOr(key, u"Resolve", 60);
  record.connectTimeout = DwordOr(key, u"Connect", 60);
  record.sendTimeout = DwordOr(key, u"Send", 120);
  record.receiveTimeout = DwordOr(key, u"Receive", 120);
  record.retryCount = DwordOr(key, u"Retry", 1);
  record.refreshMinutes = DwordOr(key, u"Refresh", 5);
  record.passive = 0;  // not taken from the machine's key
  RegCloseKey(key);
  selected = 0;
  Changed();
  return true;
}

int SiteStore::SeedFirstRun() {
  if (Count() > 0) return Count();
  if (SeedFromMachine()) return Count();
  for (const ExampleSite& example : kExamples) {
    int index = Count();
    SiteRecord& record = table_[index];
    std::memset(&record, 0, sizeof(record));
    CopyWide(record.name, kSiteNameChars, example.name);
    CopyWide(record.url, kSiteUrlChars, example.url);
    CopyNarrow(record.login, kSiteLoginChars, example.login);
    CopyNarrow(record.password, kSitePasswordChars, example.password);
    record.drive[0] = example.drive;
    if (!WriteNewSite(index)) {
      std::memset(&record, 0, sizeof(record));
      break;
    }
  }
  if (Count() > 0 && selected < 0) selected = 0;
  return Count();
}

}  // namespace hvm
