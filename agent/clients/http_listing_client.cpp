// Listing folders from their index pages, refreshing files with HEAD, and
// refusing every change of the read-only drive.
#include "agent/clients/http_listing_client.h"

#include <strings.h>

#include <algorithm>
#include <ctime>
#include <thread>

#include "agent/clients/client_factory.h"
#include "agent/clients/url_coding.h"
#include "agent/clients/webdav_dates.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/start_thread.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

bool IsSuccess(int32_t status) { return status >= 200 && status < 300; }

bool ContainsNoCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return false;
  for (size_t i = 0; i + part.size() <= text.size(); ++i)
    if (strncasecmp(text.data() + i, part.data(), part.size()) == 0) return true;
  return false;
}

// The "charset" parameter of a Content-Type value, without quotes.
std::string CharsetOf(std::string_view contentType) {
  size_t at = std::string_view::npos;
  for (size_t i = 0; i + 8 <= contentType.size(); ++i)
    if (strncasecmp(contentType.data() + i, "charset=", 8) == 0) at = i + 8;
  if (at == std::string_view::npos) return {};
  std::string_view value = contentType.substr(at);
  value = value.substr(0, value.find_first_of(";, \t"));
  while (!value.empty() && (value.front() == '"' || value.front() == '\'')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == '"' || value.back() == '\'')) value.remove_suffix(1);
  return std::string(value.substr(0, 40));
}

bool ExactLength(const std::string& text, uint64_t& size) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  size = std::stoull(text);
  return true;
}

void NoteChange(Connection& connection, const FileEntry& entry, uint16_t event) {
  if (connection.hooks.serverChanged) connection.hooks.serverChanged(connection, entry, event);
}

// Clears the page flag of the client however the request ends.
class PageRequestScope {
 public:
  explicit PageRequestScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~PageRequestScope() { flag_ = false; }
  PageRequestScope(const PageRequestScope&) = delete;
  PageRequestScope& operator=(const PageRequestScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

HttpListingClient::HttpListingClient(Connection& connection) : WebDavClient(connection) {
  // The server keeps no locks: discovery and UNLOCK are never sent.
  if (site_) site_->flags |= kSiteLockingOff;
  pageHeaders_ = {{"Accept", "text/html"},
                  {"UA-CPU", "x86"},
                  {"Content-Type", "text/html; charset=\"utf-8\""},
                  {"Content-Language", "de, en-us"}};
}

HttpListingClient::HeadReply HttpListingClient::SendHead(WebDavClient& client, std::u16string_view serverPath) {
  HeadReply reply;
  reply.status = client.PerformRequest('H', nullptr, serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  if (reply.status < 1 || reply.status >= 400) return reply;
  // A redirection's headers describe the redirection, not the file.
  if (IsSuccess(reply.status)) {
    reply.modified = client.transport().Header("Last-Modified").substr(0, 255);
    reply.length = client.transport().Header("Content-Length").substr(0, 40);
    reply.ranges = client.transport().Header("Accept-Ranges").substr(0, 255);
  }
  client.CloseRequest();
  return reply;
}

int32_t HttpListingClient::TakeHead(const HeadReply& reply, IndexLine& facts) {
  if (!IsSuccess(reply.status)) return reply.status;
  std::tm t{};
  if (ParseHttpDate(reply.modified, t) == 0) {
    facts.hasTime = true;
    facts.time = FileTimeFromUtc(t);
  }
  if (!facts.isDirectory) LearnRangesFromHead(reply.ranges);
  uint64_t size = 0;
  if (!facts.isDirectory && ExactLength(reply.length, size)) {
    facts.hasSize = true;
    facts.size = size;
  }
  return 0;
}

int32_t HttpListingClient::ReadLastModified(std::u16string_view serverPath, IndexLine& facts) {
  return TakeHead(SendHead(*this, serverPath), facts);
}

// A page of many files without exact sizes (Apache's rounded ones, Python's
// pages) would cost a round trip to the server for each, one after the
// other; this client and its HEAD connections take them in turns instead.
std::vector<HttpListingClient::HeadReply> HttpListingClient::SendHeads(const std::vector<std::u16string>& serverPaths) {
  std::vector<HeadReply> replies(serverPaths.size());
  std::atomic<size_t> next{0};
  auto work = [&](WebDavClient* client) {
    for (size_t i; !stopHeads_ && (i = next.fetch_add(1)) < serverPaths.size();)
      replies[i] = SendHead(*client, serverPaths[i]);
  };
  size_t helpers = std::min(serverPaths.size() / 2, kHeadConnections);
  while (headClients_.size() < helpers) headClients_.push_back(Clone());
  std::vector<std::thread> threads(helpers);
  size_t started = 0;
  while (started < helpers && StartThread(threads[started], work, headClients_[started].get())) ++started;
  work(this);
  for (size_t i = 0; i < started; ++i) threads[i].join();
  return replies;
}

void HttpListingClient::Shutdown() {
  stopHeads_ = true;
  WebDavClient::Shutdown();
}

// A file's HEAD says whether its server takes byte ranges, before the first
// read: a server that ignores them would fail that read.
void HttpListingClient::LearnRangesFromHead(const std::string& acceptRanges) {
  if (!site_ || !site_->passive || ContainsNoCase(acceptRanges, "bytes")) return;
  if (ContainsNoCase(acceptRanges, "none") || !BannerContains(u"Microsoft-IIS")) site_->passive = 0;
}

NTSTATUS HttpListingClient::RefreshFile(std::u16string_view serverPath, FileEntry* entry) {
  IndexLine facts;
  int32_t status = ReadLastModified(serverPath, facts);
  if (status < 0) return STATUS_INSUFFICIENT_RESOURCES;
  if (status == 404 || status == 410) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (status != 0) return STATUS_UNSUCCESSFUL;
  entry->flags |= kEntryReadOnly;
  if ((entry->flags & kEntryWrittenLocally) || entry->HasLocalCopy()) return STATUS_SUCCESS;
  bool changed = false;
  // A changed file usually changed its size too; a stale size would fail every read.
  if (facts.hasSize && facts.size != entry->size) {
    changed = true;
    entry->size = facts.size;
  }
  // Pages give times to the minute, HEAD to the second: within the page's
  // minute the file is the one listed.
  FileTime known = entry->serverModifiedTime;
  bool sameMinute = known != 0 && facts.time >= known && facts.time - known < 60 * kFileTimeTicksPerSecond;
  if (facts.hasTime && facts.time != known && (changed || !sameMinute)) {
    changed = changed || known != 0;
    entry->lastWriteTime = entry->changeTime = entry->serverModifiedTime = facts.time;
  }
  entry->lastRefreshTime = NowFileTime();
  if (changed) NoteChange(*connection_, *entry, SHCNE_UPDATEITEM);
  return STATUS_SUCCESS;
}

IndexPageScope HttpListingClient::ScopeOf(std::u16string_view folderUrl, std::string& origin,
                                          std::string& folderPath) const {
  std::string url = Utf16ToUtf8(folderUrl);
  size_t scheme = url.find("://");
  size_t slash = scheme == std::string::npos ? std::string::npos : url.find('/', scheme + 3);
  origin = slash == std::string::npos ? url : url.substr(0, slash);
  folderPath = PercentDecode(slash == std::string::npos ? "/" : url.substr(slash));
  if (folderPath.empty() || folderPath.back() != '/') folderPath += '/';
  IndexPageScope scope;
  scope.origin = origin;
  scope.folderPath = folderPath;
  // nginx writes its pages' times in UTC; the others in the server's local time.
  scope.datesInUtc = BannerContains(u"nginx");
  return scope;
}

NTSTATUS HttpListingClient::ReadIndexPage(std::u16string_view folderUrl, std::string& page, std::string& charset) {
  int32_t status;
  {
    PageRequestScope scope(pageRequest_);
    status = PerformRequest('T', nullptr, folderUrl, nullptr, {}, nullptr, 0, 0, nullptr);
  }
  quiet_ = false;
  if (status < 0) return STATUS_INSUFFICIENT_RESOURCES;
  if (status == 0 || status >= 400) {
    if (status == 0)
      WideDbgPrint(u"******** %ws status=%d %ws *******\n", u"GET", status, std::u16string(folderUrl).c_str());
    return status == 404 || status == 410 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_UNSUCCESSFUL;
  }
  std::string type = transport().Header("Content-Type");
  if (status >= 300 || (!type.empty() && !ContainsNoCase(type, "html"))) {
    // A redirection, or a file where a folder was expected: no page to read.
    CloseRequest();
    WideDbgPrint(u"** %ws no index page status=%ld type=%ws %ws\n", std::u16string(connection_->Name()).c_str(),
                 static_cast<long>(status), Utf8ToUtf16(type).c_str(), std::u16string(folderUrl).c_str());
    return STATUS_UNSUCCESSFUL;
  }
  charset = CharsetOf(type);
  page.clear();
  char piece[kReplyTextPiece];
  for (;;) {
    size_t got = 0;
    DWORD error = transport().Read(piece, sizeof piece, &got);
    page.append(piece, got);
    if (error) {
      CloseRequest();
      ReportFailure("GET", static_cast<int32_t>(error), folderUrl);
      return STATUS_UNSUCCESSFUL;
    }
    if (page.size() > kMaxIndexPageBytes) {
      CloseRequest();
      WideDbgPrint(u"** %ws index page larger than %ld bytes, not read %ws\n",
                   std::u16string(connection_->Name()).c_str(), static_cast<long>(kMaxIndexPageBytes),
                   std::u16string(folderUrl).c_str());
      return STATUS_UNSUCCESSFUL;
    }
    if (got < sizeof piece) break;
  }
  CloseRequest();
  return STATUS_SUCCESS;
}

NTSTATUS HttpListingClient::ListDirectory(std::u16string_view serverPath, FileEntry* entry, const char16_t*) {
  if (entry && !entry->IsDirectory()) return RefreshFile(serverPath, entry);
  std::u16string path(serverPath);
  if (path.empty() || path.back() != u'/') path += u'/';
  std::u16string cachePath = entry ? std::u16string(entry->Path()) : connection_->RootPath();
  FileEntry* folder = entry ? entry : connection_->entries.LookUp(cachePath);
  if (!folder) folder = RootEntry();
  if (!folder) return STATUS_INSUFFICIENT_RESOURCES;

  // The folder's own times, where the server gives them.
  ListedItem self;
  self.isDirectory = true;
  IndexLine folderFacts;
  folderFacts.isDirectory = true;
  if (ReadLastModified(path, folderFacts) == 0 && folderFacts.hasTime)
    self.creationTime = self.lastWriteTime = folderFacts.time;

  std::string page, charset;
  NTSTATUS status = ReadIndexPage(UrlOf(path), page, charset);
  if (status != STATUS_SUCCESS) return status;
  std::string origin, folderPath;
  IndexPageScope scope = ScopeOf(UrlOf(path), origin, folderPath);
  IndexPageResult parsed = ParseIndexPage(page, charset, scope, language_);
  if (parsed.error) {
    WideDbgPrint(u"** %ws %ws index page %ws\n", std::u16string(connection_->Name()).c_str(),
                 parsed.error == -2 ? u"overlong" : u"unreadable", path.c_str());
    return STATUS_UNSUCCESSFUL;
  }

  // Where the page gives no exact size or no time, the server's own headers do.
  auto tooLong = [&](const IndexItem& found) { return cachePath.size() + 1 + found.name.size() > kEntryMaxPathChars; };
  auto wantsHead = [](const IndexItem& found) { return !found.isDirectory && !(found.line.hasSize && found.line.hasTime); };
  std::vector<std::u16string> headed;
  for (const IndexItem& found : parsed.items)
    if (!tooLong(found) && wantsHead(found)) headed.push_back(path + found.name);
  std::vector<HeadReply> heads = SendHeads(headed);
  size_t nextHead = 0;

  std::vector<ListedItem> items{self};
  for (IndexItem& found : parsed.items) {
    if (tooLong(found)) {
      WideDbgPrint(u"** %ws name too long, left out %ws\n", std::u16string(connection_->Name()).c_str(),
                   found.name.c_str());
      continue;
    }
    IndexLine facts = found.line;
    if (wantsHead(found)) {
      int32_t result = TakeHead(heads[nextHead++], facts);
      if (result != 0 || !facts.hasSize) {
        WideDbgPrint(u"** %ws HEAD status=%ld no size, left out %ws\n", std::u16string(connection_->Name()).c_str(),
                     static_cast<long>(result), found.name.c_str());
        continue;
      }
    }
    ListedItem item;
    item.name = std::move(found.name);
    item.isDirectory = found.isDirectory;
    item.size = found.isDirectory ? 0 : facts.size;
    item.creationTime = item.lastWriteTime = facts.hasTime ? facts.time : 0;
    items.push_back(std::move(item));
  }
  status = ApplyListing(cachePath, folder, items);
  if (status != STATUS_SUCCESS) return status;
  // Files of this drive cannot be changed; their attributes say so.
  for (const ListedItem& item : items) {
    if (item.name.empty() || item.isDirectory) continue;
    if (FileEntry* child = connection_->entries.LookUp(cachePath + u"\\" + item.name)) child->flags |= kEntryReadOnly;
  }
  return STATUS_SUCCESS;
}

NTSTATUS HttpListingClient::Refuse(ReplyArea& reply) {
  CopyWide(reply.message, kReplyMessageChars, kReadOnlySiteText);
  return STATUS_ACCESS_DENIED;
}

NTSTATUS HttpListingClient::CreateFile(FileEntry*, ReplyArea& reply) { return Refuse(reply); }

NTSTATUS HttpListingClient::CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t, uint32_t) {
  // Nothing can have been written: every change was refused before it began.
  FileEntry* entry = handle ? handle->entry : nullptr;
  if (entry && (entry->flags & kEntryWrittenLocally)) return Refuse(reply);
  return STATUS_SUCCESS;
}

NTSTATUS HttpListingClient::MakeDirectory(ReplyArea& reply) { return Refuse(reply); }

NTSTATUS HttpListingClient::Delete(FileEntry*, ReplyArea& reply) { return Refuse(reply); }

NTSTATUS HttpListingClient::Move(FileEntry*, ReplyArea& reply, FileEntry*, std::u16string_view) {
  return Refuse(reply);
}

NTSTATUS HttpListingClient::Copy(FileEntry*, ReplyArea& reply, uint32_t, std::u16string_view, char16_t* resultText) {
  if (resultText) CopyWide(resultText, kReplyMessageChars, kReadOnlySiteText);
  Refuse(reply);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS HttpListingClient::BeginWrite(FileEntry*, ReplyArea& reply, uint32_t, char16_t* resultText) {
  if (resultText) CopyWide(resultText, kReplyMessageChars, kReadOnlySiteText);
  return Refuse(reply);
}

NTSTATUS HttpListingClient::Control(uint32_t code, FileEntry*, ReplyArea& reply, InternalRequest* answer,
                                    uint32_t* information, const InternalRequest*) {
  if (information) *information = 0;
  if (code == kControlQuota) {
    // The connection test: a plain web server knows no quota (PROPFIND), so
    // the site's root page is asked for instead; the figures stay unknown.
    std::u16string root = reply.serverPath.empty() ? UrlOf(u"") : reply.serverPath;
    if (root.empty() || root.back() != u'/') root += u'/';
    int32_t status = PerformRequest('H', nullptr, root, nullptr, {}, nullptr, 0, 0, nullptr);
    CloseRequest();
    if (status >= 200 && status < 400) return STATUS_SUCCESS;
    if (answer) answer->result = static_cast<uint32_t>(status ? status : STATUS_UNSUCCESSFUL);
    SetReplyMessage(reply, static_cast<uint32_t>(status));
    return STATUS_UNSUCCESSFUL;
  }
  // Searches, versions, labels and server-side copies are WebDAV's; a plain
  // web server offers none of them.
  if (answer) answer->result = static_cast<uint32_t>(STATUS_INVALID_DEVICE_REQUEST);
  CopyWide(reply.message, kReplyMessageChars, kReadOnlySiteText);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::unique_ptr<RemoteClient> MakeHttpListingClient(Connection& connection) {
  return std::make_unique<HttpListingClient>(connection);
}

void RegisterHttpListingClient() { RegisterClientConstructor(ClientKind::HttpListing, &MakeHttpListingClient); }

}  // namespace hvm
