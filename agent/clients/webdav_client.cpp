// The WebDAV client's life (open, clone, shutdown) and the plain one-request
// operations: create, make directory, delete, move, copy.
#include "agent/clients/webdav_client.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "agent/clients/client_factory.h"
#include "agent/clients/url_coding.h"
#include "agent/clients/webdav_error_text.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
WebDavClient::WebDavClient(Connection& connection)
    : RemoteClient(connection), facts_(std::make_shared<WebDavSiteFacts>()) {}

WebDavClient::~WebDavClient() {
  SettleTimes();
  Shutdown();
}

NTSTATUS WebDavClient::Open() {
  if (opened_) return STATUS_SUCCESS;
  std::u16string url = site_ ? std::u16string(WideField(site_->url, kSiteUrlChars)) : std::u16string();
  if (url.empty() && !connection_->serverBasePath.empty()) url = connection_->serverBasePath;
  size_t scheme = url.find(u"://");
  if (scheme == std::u16string::npos) return STATUS_INSUFFICIENT_RESOURCES;
  size_t hostEnd = url.find(u'/', scheme + 3);
  std::u16string hostPort = url.substr(scheme + 3, hostEnd == std::u16string::npos ? std::u16string::npos
                                                                                    : hostEnd - scheme - 3);
  if (hostPort.empty()) return STATUS_INSUFFICIENT_RESOURCES;
  size_t colon = hostPort.rfind(u':');
  if (colon != std::u16string::npos && hostPort.find(u']') == std::u16string::npos) hostPort.resize(colon);
  if (colon != std::u16string::npos && hostPort.find(u']') != std::u16string::npos && colon > hostPort.find(u']'))
    hostPort.resize(colon);
  host_ = Utf16ToUtf8(hostPort);
  siteUrl_ = url;
  if (siteUrl_.back() != u'/') siteUrl_ += u'/';
  if (!transport_.valid()) {
    WideDbgPrint(u"WinHttpSession(%ws)\n", ErrorText(ERROR_NOT_ENOUGH_MEMORY));
    return STATUS_UNSUCCESSFUL;
  }
  opened_ = true;
  return STATUS_SUCCESS;
}

std::unique_ptr<WebDavClient> WebDavClient::Clone() const {
  auto copy = std::make_unique<WebDavClient>(*connection_);
  copy->facts_ = facts_;
  copy->securityFlags_ = securityFlags_;
  copy->host_ = host_;
  copy->siteUrl_ = siteUrl_;
  copy->opened_ = opened_;
  copy->quiet_ = false;
  return copy;
}

void WebDavClient::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  CloseRequest();
}

const char16_t* WebDavClient::ErrorText(uint32_t code) {
  return WebDavErrorText(code, errorText_, kErrorTextChars);
}

int WebDavClient::IsConnected() { return 1; }

std::u16string WebDavClient::SitePath() const {
  size_t scheme = siteUrl_.find(u"://");
  size_t slash = scheme == std::u16string::npos ? std::u16string::npos : siteUrl_.find(u'/', scheme + 3);
  std::u16string path = slash == std::u16string::npos ? u"/" : siteUrl_.substr(slash);
  std::u16string decoded(kUrlByteBufferSize, u'\0');
  if (decodeUrl(path.c_str(), decoded.data(), decoded.size())) {
    decoded.resize(std::char_traits<char16_t>::length(decoded.c_str()));
    path = decoded;
  }
  return path;
}

std::u16string WebDavClient::CachePathOfServer(std::u16string_view serverPath) const {
  return CachePathOf(*connection_, serverPath);
}

int WebDavClient::Ask(std::u16string_view text, std::u16string_view caption, DWORD style) {
  return CurrentUi().MessageBox(text, caption, style);
}

void WebDavClient::SetReplyMessage(ReplyArea& reply, uint32_t code) {
  CopyWide(reply.message, kReplyMessageChars, ErrorText(code));
}

// The empty file is not sent now: the upload at the first cleanup makes it,
// with the contents written until then, in one PUT instead of two.
NTSTATUS WebDavClient::CreateFile(FileEntry* entry, ReplyArea& reply) {
  if (entry) {
    entry->flags |= kEntryCreatePending;
    return STATUS_SUCCESS;
  }
  return PutEmpty(entry, reply.serverPath, reply);
}

// An empty PUT, guarded like the upload when the name must be new.
NTSTATUS WebDavClient::PutEmpty(FileEntry* entry, std::u16string_view serverPath, ReplyArea& reply) {
  int32_t status = PerformRequest('N', entry, serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  CloseRequest();
  if (IsSuccessStatus(status)) {
    if (entry) entry->flags &= ~(kEntryCreatePending | kEntryMustBeNew);
    return STATUS_SUCCESS;
  }
  SetReplyMessage(reply, static_cast<uint32_t>(status));
  return status == 412 ? STATUS_OBJECT_NAME_COLLISION : STATUS_ACCESS_DENIED;
}

NTSTATUS WebDavClient::MakeDirectory(ReplyArea& reply) {
  int32_t status = PerformRequest('M', nullptr, reply.serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  if (IsSuccessStatus(status)) return STATUS_SUCCESS;
  SetReplyMessage(reply, static_cast<uint32_t>(status));
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS WebDavClient::Delete(FileEntry* entry, ReplyArea& reply) {
  // A new file that never reached the server has nothing there to remove; a
  // file of that name there is another client's.
  if (entry && IsUnsentNewFile(*entry)) return STATUS_SUCCESS;
  if (entry) Unlock(entry, reply, 1, nullptr);
  std::u16string path = reply.serverPath;
  if (entry && entry->IsDirectory() && !path.empty() && path.back() != u'/') path += u'/';
  int32_t status = PerformRequest('E', entry, path, nullptr, {}, nullptr, 0, 0, nullptr);
  if (IsSuccessStatus(status) || status == 404) return STATUS_SUCCESS;
  SetReplyMessage(reply, static_cast<uint32_t>(status));
  return status == 423 ? STATUS_ACCESS_DENIED : STATUS_CANNOT_DELETE;
}

NTSTATUS WebDavClient::Move(FileEntry* entry, ReplyArea& reply, FileEntry* targetDirectory,
                            std::u16string_view destinationServerPath) {
  (void)targetDirectory;
  // A new file the server has not got yet is made there first, under its old
  // name, so that the move takes it along (the close uploads the contents).
  if (entry && IsUnsentNewFile(*entry)) {
    if (NTSTATUS made = PutEmpty(entry, reply.serverPath, reply); made != STATUS_SUCCESS) return made;
  }
  FileEntry* destination = connection_->entries.LookUp(CachePathOfServer(destinationServerPath));
  if (entry) Unlock(entry, reply, 1, nullptr);
  if (destination && destination != entry) Unlock(destination, reply, 1, nullptr);
  std::u16string source = reply.serverPath;
  if (entry && entry->IsDirectory() && !source.empty() && source.back() != u'/') source += u'/';
  int32_t status = PerformRequest('R', entry, source, destination, destinationServerPath, nullptr, 0, 0, nullptr);
  if (IsSuccessStatus(status)) return STATUS_SUCCESS;
  SetReplyMessage(reply, static_cast<uint32_t>(status));
  return STATUS_ACCESS_DENIED;
}

NTSTATUS WebDavClient::Copy(FileEntry* entry, ReplyArea& reply, uint32_t, std::u16string_view destinationServerPath,
                            char16_t* resultText) {
  std::u16string source = reply.serverPath;
  if (entry && entry->IsDirectory() && !source.empty() && source.back() != u'/') source += u'/';
  int32_t status = PerformRequest('C', entry, source, nullptr, destinationServerPath, nullptr, 0, 0, nullptr);
  if (IsSuccessStatus(status)) return STATUS_SUCCESS;
  if (resultText) CopyWide(resultText, kReplyMessageChars, ErrorText(static_cast<uint32_t>(status)));
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS WebDavClient::CopyToNewFile(FileEntry* source, ReplyArea& reply, FileEntry* destination,
                                     std::u16string_view destinationServerPath) {
  if (!source || !destination || source->IsDirectory() || !IsUnsentNewFile(*destination))
    return STATUS_NOT_SUPPORTED;
  int32_t status = PerformRequest('C', source, reply.serverPath, destination, destinationServerPath, nullptr, 0, 0,
                                  nullptr);
  // 201 or 204: the whole file. A multistatus names members that failed.
  if (status >= 200 && status < 300 && status != 207) return STATUS_SUCCESS;
  SetReplyMessage(reply, static_cast<uint32_t>(status));
  return status == 412 ? STATUS_OBJECT_NAME_COLLISION : STATUS_UNSUCCESSFUL;
}

// A URL that does not encode within the coding's buffers would be sent
// unencoded, naming some other resource or none.
bool WebDavClient::CarriesPath(std::u16string_view serverPath) const {
  std::u16string url = UrlOf(serverPath) + u"/";  // a folder's URL ends in one
  std::u16string out(kUrlByteBufferSize, u'\0');
  return encodeUrl(url.c_str(), out.data(), out.size());
}

void WebDavClient::DropLocalCopy(FileEntry* entry, ReplyArea&) {
  if (entry && entry->secondCopy != kNoFile && entry->secondCopy != 0) {
    close(entry->secondCopy);
    entry->secondCopy = kNoFile;
  }
}

std::unique_ptr<RemoteClient> MakeWebDavClient(Connection& connection) {
  return std::make_unique<WebDavClient>(connection);
}

void RegisterWebDavClient() { RegisterClientConstructor(ClientKind::WebDav, &MakeWebDavClient); }

}  // namespace hvm
