// The agent's own store of the passwords that stay out of the shared block.
#include "agent/service/site_passwords.h"

#include <string.h>

#include <cstring>
#include <map>
#include <mutex>

namespace hvm {
namespace {

struct Store {
  std::mutex lock;
  std::map<const SiteRecord*, std::string> sites;
  std::u16string proxy;
};

Store& TheStore() {
  static Store* store = new Store;  // never destroyed: threads may still ask at exit
  return *store;
}

size_t PasswordLength(const SiteRecord& record) {
  return strnlen(record.password, sizeof record.password);
}

}  // namespace

void WipeMemory(void* data, size_t length) {
  if (data != nullptr && length > 0) explicit_bzero(data, length);
}

std::string SitePassword(const SiteRecord& record) {
  if (size_t own = PasswordLength(record)) return std::string(record.password, own);
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  auto found = store.sites.find(&record);
  return found == store.sites.end() ? std::string() : found->second;
}

void KeepSitePassword(SiteRecord& record, std::string_view password) {
  WipeMemory(record.password, sizeof record.password);
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  std::string& kept = store.sites[&record];
  WipeText(kept);
  // The record could hold no more; the same limit holds here.
  kept.assign(password.substr(0, kSitePasswordChars - 1));
}

void ForgetSitePassword(const SiteRecord& record) {
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  auto found = store.sites.find(&record);
  if (found == store.sites.end()) return;
  WipeText(found->second);
  store.sites.erase(found);
}

void PublishSiteRecord(SiteRecord& to, const SiteRecord& from) {
  std::string password = SitePassword(from);
  // Field by field up to the password and from it on: the password bytes of
  // the shared record are never written, not even for an instant.
  std::memcpy(&to, &from, offsetof(SiteRecord, password));
  constexpr size_t kAfter = offsetof(SiteRecord, password) + sizeof(SiteRecord::password);
  std::memcpy(reinterpret_cast<char*>(&to) + kAfter, reinterpret_cast<const char*>(&from) + kAfter,
              sizeof(SiteRecord) - kAfter);
  if (password.empty()) {
    WipeMemory(to.password, sizeof to.password);
    ForgetSitePassword(to);
  } else {
    KeepSitePassword(to, password);
  }
  WipeText(password);
}

void ForgetAllSitePasswords() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  for (auto& [record, password] : store.sites) WipeText(password);
  store.sites.clear();
  WipeText(store.proxy);
}

void KeepProxyPassword(std::u16string_view password) {
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  WipeText(store.proxy);
  store.proxy.assign(password);
}

std::u16string ProxyPassword() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  return store.proxy;
}

}  // namespace hvm
