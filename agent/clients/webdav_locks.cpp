// Locks are discovered (and taken only by the shell command): a lock the site's user already holds on
// the server is found with PROPFIND lockdiscovery, its token kept in the
// entry and sent with every change, and released with UNLOCK.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <memory>

#include "agent/clients/webdav_client.h"
#include "agent/clients/webdav_listing_bodies.h"
#include "agent/clients/webdav_xml.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

// The first element of that name at or below node (depth-first).
const xmlNode* Find(const xmlNode* node, const char* ns, const char* local) {
  for (const xmlNode* c = node; c; c = c->next) {
    if (IsElement(c, ns, local)) return c;
    if (const xmlNode* below = Find(c->children, ns, local)) return below;
  }
  return nullptr;
}

// All text below the node; entity references are not followed.
void AllText(const xmlNode* node, std::string& out) {
  for (const xmlNode* c = node ? node->children : nullptr; c && out.size() < 4096; c = c->next) {
    if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content)
      out += reinterpret_cast<const char*>(c->content);
    else if (c->type == XML_ELEMENT_NODE)
      AllText(c, out);
  }
}

}  // namespace

// The token and owner of the active lock in a lockdiscovery reply.
// Returns 0, or the message box text of a reply that cannot be read.
static std::u16string ParseLockDiscovery(const std::string& xml, std::string& token, std::string& owner) {
  XmlDocument doc = ParseXmlReply(xml, "lock.xml");
  if (!doc) return u"Invalid xml";
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!root || !root->ns || !root->ns->href) return u"Invalid root element";
  const char* dav = reinterpret_cast<const char*>(root->ns->href);
  const xmlNode* active = Find(root, dav, "activelock");
  if (!active) return {};
  // Only an href inside the active lock is a token; the resource's own href never is.
  const xmlNode* href = Find(Find(active->children, dav, "locktoken"), dav, "href");
  if (!href) href = Find(active->children, dav, "href");
  if (!href) {
    WideDbgPrint(u"xmlParseLock Missing href\n");
    return {};
  }
  AllText(href, token);
  token = Trimmed(token);
  AllText(Find(active->children, dav, "owner"), owner);
  owner = Trimmed(owner);
  WideDbgPrint(u"*** xmlParseLock owner=%ws\n", Utf8ToUtf16(owner).c_str());
  return {};
}

// The shell's lock command: the server is asked for a lock of its own when
// discovery found none (a command that said "locked" without a lock on the
// server would report success for nothing).
NTSTATUS WebDavClient::TakeLock(FileEntry* entry, ReplyArea& reply, char16_t* resultText) {
  int32_t status = PerformRequest('L', entry, reply.serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  std::string token = Trimmed(transport_.Header("Lock-Token"));
  CloseRequest();
  if (!IsSuccessStatus(status) || token.empty()) {
    if (resultText) CopyWide(resultText, kReplyMessageChars, ErrorText(static_cast<uint32_t>(status)));
    return STATUS_ACCESS_DENIED;
  }
  if (token.front() == '<' && token.back() == '>') token = token.substr(1, token.size() - 2);
  // Held until the unlock command: with a lock depth of 0 no close releases it.
  entry->lockToken = Utf8ToUtf16(token);
  return STATUS_SUCCESS;
}

NTSTATUS WebDavClient::Lock(FileEntry* entry, ReplyArea& reply, uint32_t depth, char16_t* resultText) {
  // Automatic discovery stops once locking is off for the site; the command does not.
  bool command = depth == kCommandMode;
  if (!entry || (!command && site_ && (site_->flags & kSiteLockingOff)) || !entry->lockToken.empty())
    return STATUS_SUCCESS;
  std::string body = LockDiscoveryBody();
  int32_t status = PerformRequest('D', entry, reply.serverPath, nullptr, {}, &body, 0, 0, nullptr);
  if (!IsSuccessStatus(status)) {
    CloseRequest();
    if (resultText) CopyWide(resultText, kReplyMessageChars, ErrorText(static_cast<uint32_t>(status)));
    return STATUS_ACCESS_DENIED;
  }
  std::string xml;
  DWORD error = ReadReplyText(xml);
  CloseRequest();
  std::string token, owner;
  std::u16string problem = error ? u"Invalid xml" : ParseLockDiscovery(xml, token, owner);
  if (!problem.empty()) Ask(problem, connection_->Name(), MB_OK | MB_ICONERROR);
  std::string login = site_ ? std::string(site_->login, strnlen(site_->login, sizeof site_->login)) : "";
  if (depth != kCommandMode && owner != login) token.clear();  // someone else's lock
  if (!token.empty()) {
    entry->lockToken = Utf8ToUtf16(token);
    if (entry->lockCount == 0) entry->lockCount = depth;
    return STATUS_SUCCESS;
  }
  if (command) return TakeLock(entry, reply, resultText);
  if (resultText) CopyWide(resultText, kReplyMessageChars, u"lockDiscovery error");
  return STATUS_ACCESS_DENIED;
}

NTSTATUS WebDavClient::Unlock(FileEntry* entry, ReplyArea& reply, uint32_t mode, char16_t* resultText) {
  if (!entry) return STATUS_SUCCESS;
  entry->flags &= ~kEntryExcelFirstClose;
  if ((mode != kCommandMode && site_ && (site_->flags & kSiteLockingOff)) || entry->lockToken.empty() ||
      (entry->lockCount < 1 && mode != kCommandMode))
    return STATUS_SUCCESS;
  int32_t status = PerformRequest('U', entry, reply.serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  entry->lockCount = 0;
  entry->lockToken.clear();
  if (IsSuccessStatus(status)) {
    entry->lastRefreshTime = NowFileTime();
    return STATUS_SUCCESS;
  }
  if (resultText) {
    CopyWide(resultText, kReplyMessageChars, ErrorText(static_cast<uint32_t>(status)));
    return STATUS_SUCCESS;
  }
  return STATUS_FILE_LOCK_CONFLICT;
}

NTSTATUS WebDavClient::BeginWrite(FileEntry* entry, ReplyArea&, uint32_t, char16_t*) {
  // The first change of a plain file switches lock handling off for the whole site.
  if (entry && !entry->IsDirectory() && !(entry->Name().size() && entry->Name().front() == u'~') &&
      entry->readers.load() == 0 && site_)
    site_->flags |= kSiteLockingOff;
  return STATUS_SUCCESS;
}

}  // namespace hvm
