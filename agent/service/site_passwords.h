// Clear-text passwords of the sites in the shared block, kept in the agent's
// own memory.
//
// The shared block is a shared-memory object that outlives an agent that is
// killed, so its password bytes (SiteRecord::password, the proxy password)
// stay zero; the layout keeps the fields. Whoever fills a record of the
// shared block hands the password here, keyed by the record's address, and
// whoever sends it to a server asks SitePassword. A record in private memory
// (a table the site manager edits) still carries its own password bytes,
// which then win.
#pragma once
#include <string>
#include <string_view>

#include "agent/service/site_record.h"

namespace hvm {

// The password of the record: its own bytes when it has any, else the one
// kept for it here; empty when there is neither.
std::string SitePassword(const SiteRecord& record);
// Keeps password for the record and zeroes the record's password bytes.
void KeepSitePassword(SiteRecord& record, std::string_view password);
// Drops what is kept for the record (it was cleared or refused).
void ForgetSitePassword(const SiteRecord& record);
// Copies from (private memory) into to (the shared block): every field but
// the password, which is kept here for to.
void PublishSiteRecord(SiteRecord& to, const SiteRecord& from);
// Overwrites every kept password; at the agent's end.
void ForgetAllSitePasswords();

// The proxy password, read from the registry with the other proxy values.
void KeepProxyPassword(std::u16string_view password);
std::u16string ProxyPassword();

// Zeroes memory in a way the compiler may not leave out.
void WipeMemory(void* data, size_t length);

// Zeroes all of a string's buffer, the room past its end too (what a longer
// text left there), and empties it. Text is any std::basic_string.
template <typename Text>
void WipeText(Text& text) {
  text.resize(text.capacity());
  WipeMemory(text.data(), text.size() * sizeof(typename Text::value_type));
  text.clear();
}

// Wipes a string that holds a password when the scope ends, on every way out.
template <typename Text>
class WipeOnExit {
 public:
  explicit WipeOnExit(Text& text) : text_(text) {}
  ~WipeOnExit() { WipeText(text_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  Text& text_;
};

}  // namespace hvm
