// The FTP client's life (open, connect, shutdown), its paths, and the
// one-command operations: make directory, delete, move.
#include "agent/clients/ftp_client.h"

#include <algorithm>

#include "agent/clients/client_factory.h"
#include "agent/clients/ftp_error_text.h"
#include "agent/clients/webdav_client.h"
#include "agent/service/ntstatus.h"
#include "agent/service/site_passwords.h"
#include "common/moorlib.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr long kDefaultTimeoutMs = 30000;
constexpr uint32_t kCertificateChoiceFlags = 0x3300;
constexpr DWORD kSecureChannelFailure = 12175;  // asks the person to accept the certificate
constexpr DWORD MB_SERVICE_NOTIFICATION_FLAG = 0x00200000;

long TimeoutMs(uint32_t seconds) { return seconds ? static_cast<long>(seconds) * 1000 : kDefaultTimeoutMs; }

std::string Field8(const char* field, size_t size) {
  size_t length = 0;
  while (length < size && field[length]) ++length;
  return std::string(field, length);
}

// The text of kFtpListingTooLong, with the limits it names.
std::u16string ListingTooLongText() {
  return u"The server's listing of the folder is longer than the drive takes (at most " +
         Utf8ToUtf16(std::to_string(kMaxFtpListedEntries)) + u" names or " +
         Utf8ToUtf16(std::to_string(kMaxFtpListingBytes >> 20)) + u" MiB). ";
}

bool IsRefusal(long reply) { return reply >= 500 || (reply >= 400 && reply != 421 && reply != 425 && reply != 426); }

}  // namespace

FtpClient::FtpClient(Connection& connection) : RemoteClient(connection) {}

FtpClient::~FtpClient() { Shutdown(); }

NTSTATUS FtpClient::Open() {
  if (opened_ && session_) return STATUS_SUCCESS;
  siteUrl_ = site_ ? std::u16string(WideField(site_->url, kSiteUrlChars)) : std::u16string();
  if (siteUrl_.empty()) siteUrl_ = connection_->serverBasePath;
  FtpEndpoint endpoint;
  if (!ParseFtpUrl(siteUrl_, endpoint)) return STATUS_INSUFFICIENT_RESOURCES;
  while (!siteUrl_.empty() && (siteUrl_.back() == u'/' || siteUrl_.back() == u'\\')) siteUrl_.pop_back();
  if (site_) {
    endpoint.login = Field8(site_->login, kSiteLoginChars);
    endpoint.password = SitePassword(*site_);  // kept out of the shared block
    if (endpoint.login.empty()) endpoint.login = "anonymous";
    endpoint.connectTimeoutMs = TimeoutMs(site_->connectTimeout);
    endpoint.receiveTimeoutMs = TimeoutMs(site_->receiveTimeout);
    endpoint.sendTimeoutMs = TimeoutMs(site_->sendTimeout);
    endpoint.passive = site_->passive != 0;
    endpoint.verifyCertificate = !site_->ignoreCertificateWarning;
  }
  if ((securityFlags_ & kCertificateChoiceFlags) == kCertificateChoiceFlags) endpoint.verifyCertificate = false;
  ThroughProxy(endpoint);
  endpoint_ = endpoint;
  session_ = std::make_unique<FtpSession>(endpoint_);
  if (!session_->valid()) {
    session_.reset();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  opened_ = true;
  DWORD error = Connect();
  if (error) {
    // A certificate the person may still accept is asked about by the connection test.
    if (IsCertificateError(error)) return STATUS_SUCCESS;
    std::u16string caption = FtpInetErrorText(kInetCannotConnect);
    std::u16string text = ErrorText(error);
    CurrentUi().MessageBox(text, caption, MB_OK | MB_ICONERROR | MB_SERVICE_NOTIFICATION_FLAG);
    Shutdown();
    return error;
  }
  return STATUS_SUCCESS;
}

void FtpClient::ThroughProxy(FtpEndpoint& endpoint) {
  WebDavProxySettings proxy = GetWebDavProxySettings();
  if (!proxy.enabled || proxy.host.empty()) return;
  // The proxy learns the target from the login: "login@proxyUser@host".
  std::string target = endpoint.host;
  if (endpoint.port != (endpoint.implicitTls ? 990 : 21)) {
    target += ':';
    target += std::to_string(endpoint.port);
  }
  endpoint.login = ProxyLogin(endpoint.login, Utf16ToUtf8(proxy.user), target);
  endpoint.password = ProxyPassword(endpoint.password, Utf16ToUtf8(proxy.password));
  endpoint.host = Utf16ToUtf8(proxy.host);
  endpoint.port = proxy.port ? static_cast<int>(proxy.port) : 21;
  WideDbgPrint(u"ftp: through the proxy %s:%d\n", endpoint.host.c_str(), endpoint.port);
}

DWORD FtpClient::Connect() {
  if (!session_) {
    WideDbgPrint(u"**************** ftpConnect the session is NULL!!..\n");
    return STATUS_UNSUCCESSFUL;
  }
  if (session_->connected() && !baseDirectory_.empty()) return 0;
  std::string start;
  DWORD error = session_->Connect(start);
  lastError_ = error;
  lastReplyText_ = session_->lastReplyText();
  if (error) return error;
  if (baseDirectory_.empty()) {
    std::string base = start.empty() || start.front() != '/' ? "/" + start : start;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (!endpoint_.sitePath.empty()) base += (base == "/" ? "" : "/") + endpoint_.sitePath;
    if (base.back() != '/') base += '/';
    baseDirectory_ = base;
    WideDbgPrint(u"ftp: %ws works in %s\n", std::u16string(connection_->Name()).c_str(), baseDirectory_.c_str());
  }
  return 0;
}

std::string FtpClient::FtpPathOf(std::u16string_view serverPath) const {
  std::u16string_view below = serverPath;
  if (below.size() >= siteUrl_.size() && EqualsNoCase(below.substr(0, siteUrl_.size()), siteUrl_))
    below.remove_prefix(siteUrl_.size());
  std::string rest = Utf16ToUtf8(below);
  std::replace(rest.begin(), rest.end(), '\\', '/');
  while (!rest.empty() && rest.front() == '/') rest.erase(rest.begin());
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string path = baseDirectory_.empty() ? "/" : baseDirectory_;
  path += rest;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

void FtpClient::Shutdown() {
  if (session_) session_.reset();
  opened_ = false;
}

const char16_t* FtpClient::ErrorText(uint32_t code) {
  if (code == kSecureChannelFailure && IsCertificateError(lastError_)) code = lastError_;
  if (code == kFtpListingTooLong) {
    CopyWide(errorText_, kErrorTextChars, ListingTooLongText());
    return errorText_;
  }
  const char16_t* text = FtpInetErrorText(code);
  if (!text) {
    // Codes of other spaces (Windows errors) keep the agent's own texts.
    return FtpFallbackErrorText(code, errorText_, kErrorTextChars);
  }
  std::u16string full = text;
  if (code == kInetExtendedError && !lastReplyText_.empty()) full += Utf8ToUtf16(lastReplyText_);
  CopyWide(errorText_, kErrorTextChars, full);
  return errorText_;
}

int FtpClient::IsConnected() { return session_ && session_->connected() ? 1 : 0; }

NTSTATUS FtpClient::Failed(DWORD error, ReplyArea* reply, NTSTATUS refusal) {
  lastError_ = error;
  if (session_) lastReplyText_ = session_->lastReplyText();
  if (reply) CopyWide(reply->message, kReplyMessageChars, ErrorText(error));
  if (error == kInetExtendedError && session_ && IsRefusal(session_->lastReply())) return refusal;
  return STATUS_UNEXPECTED_NETWORK_ERROR;
}

void FtpClient::ReportFailure(const char* step, DWORD error, std::u16string_view path) {
  std::u16string stepText = Utf8ToUtf16(step);
  WideDbgPrint(u"** %ws %ws status=%ld %ws %ws\n", std::u16string(connection_->Name()).c_str(), stepText.c_str(),
               static_cast<long>(error), std::u16string(path).c_str(), ErrorText(error));
}

NTSTATUS FtpClient::MakeDirectory(ReplyArea& reply) {
  if (DWORD error = Connect()) return Failed(error, &reply, STATUS_ACCESS_DENIED);
  DWORD error = session_->Commands({"MKD " + FtpPathOf(reply.serverPath)});
  if (!error) return STATUS_SUCCESS;
  ReportFailure("MKD", error, reply.serverPath);
  return Failed(error, &reply, STATUS_ACCESS_DENIED);
}

NTSTATUS FtpClient::Delete(FileEntry* entry, ReplyArea& reply) {
  // A new file that never reached the server has nothing there to remove; a
  // file of that name there is another client's.
  if (entry && IsUnsentNewFile(*entry)) return STATUS_SUCCESS;
  if (DWORD error = Connect()) return Failed(error, &reply, STATUS_CANNOT_DELETE);
  DropCache(entry);
  bool folder = entry && entry->IsDirectory();
  DWORD error = session_->Commands({(folder ? "RMD " : "DELE ") + FtpPathOf(reply.serverPath)});
  if (!error) return STATUS_SUCCESS;
  ReportFailure(folder ? "RMD" : "DELE", error, reply.serverPath);
  return Failed(error, &reply, STATUS_CANNOT_DELETE);
}

NTSTATUS FtpClient::Move(FileEntry* entry, ReplyArea& reply, FileEntry*, std::u16string_view destinationServerPath) {
  if (DWORD error = Connect()) return Failed(error, &reply, STATUS_ACCESS_DENIED);
  // A new file the server has not got yet is made there first, under its old
  // name and guarded like its upload, so that the move takes it along (the
  // close uploads the contents).
  if (entry && (entry->flags & kEntryCreatePending)) {
    bool guarded = IsUnsentNewFile(*entry);
    DWORD made = session_->Upload(FtpPathOf(reply.serverPath), -1, 0, 0, {}, nullptr, guarded);
    if (made && guarded && session_->nameTaken()) {
      lastReplyText_ = "a file of this name was made on the server meanwhile";
      lastError_ = made;
      CopyWide(reply.message, kReplyMessageChars, ErrorText(made));
      return STATUS_OBJECT_NAME_COLLISION;
    }
    if (made) {
      ReportFailure("STOR", made, reply.serverPath);
      return Failed(made, &reply, STATUS_ACCESS_DENIED);
    }
    entry->flags &= ~(kEntryCreatePending | kEntryMustBeNew);
  }
  DropCache(entry);
  DWORD error = session_->Commands(
      {"RNFR " + FtpPathOf(reply.serverPath), "RNTO " + FtpPathOf(destinationServerPath)});
  if (!error) return STATUS_SUCCESS;
  ReportFailure("RNFR", error, reply.serverPath);
  return Failed(error, &reply, STATUS_ACCESS_DENIED);
}

NTSTATUS FtpClient::Copy(FileEntry*, ReplyArea&, uint32_t, std::u16string_view, char16_t*) {
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS FtpClient::Lock(FileEntry*, ReplyArea&, uint32_t, char16_t*) { return STATUS_SUCCESS; }
NTSTATUS FtpClient::BeginWrite(FileEntry*, ReplyArea&, uint32_t, char16_t*) { return STATUS_SUCCESS; }
NTSTATUS FtpClient::Unlock(FileEntry*, ReplyArea&, uint32_t, char16_t*) { return STATUS_SUCCESS; }

NTSTATUS FtpClient::Control(uint32_t code, FileEntry*, ReplyArea&, InternalRequest* answer, uint32_t*,
                            const InternalRequest*) {
  if (code != kControlQuota) return STATUS_INVALID_DEVICE_REQUEST;
  if (!session_) return STATUS_UNSUCCESSFUL;
  DWORD error = Connect();
  if (!error) {
    // The start folder must be there too: the first listing would fail otherwise.
    std::string text;
    error = session_->List(baseDirectory_, false, text);
    lastError_ = error;
    lastReplyText_ = session_->lastReplyText();
  }
  if (!error) return STATUS_SUCCESS;
  if (answer) answer->result = IsCertificateError(error) ? kSecureChannelFailure : error;
  return STATUS_UNSUCCESSFUL;
}

void FtpClient::SetSecurityFlags(uint32_t flags) {
  RemoteClient::SetSecurityFlags(flags);
  if ((flags & kCertificateChoiceFlags) != kCertificateChoiceFlags || endpoint_.verifyCertificate == false) return;
  // The person accepted the certificate: connect anew without checking it.
  endpoint_.verifyCertificate = false;
  if (opened_) session_ = std::make_unique<FtpSession>(endpoint_);
}

std::unique_ptr<RemoteClient> MakeFtpClient(Connection& connection) {
  return std::make_unique<FtpClient>(connection);
}

void RegisterFtpClient() { RegisterClientConstructor(ClientKind::Ftp, &MakeFtpClient); }

}  // namespace hvm
