// The SFTP client's life: open, connect (key check, authentication, SFTP
// session), reconnect, shutdown, error texts, and the plain one-request
// operations: create, make directory, delete, move.
#include "agent/clients/sftp_client.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "agent/app/language.h"
#include "agent/clients/client_factory.h"
#include "agent/clients/server_text.h"
#include "agent/service/ntstatus.h"
#include "agent/service/site_passwords.h"
#include "common/moorlib.h"
#include "lang/language_library.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr NTSTATUS kGeneralFailure = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS kNoResources = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS kNotOffered = static_cast<NTSTATUS>(-1);
constexpr long kConnectSeconds = 30;
constexpr size_t kKeptCreatedFiles = 16;
constexpr const char* kPreferredCiphers =
    "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,aes128-ctr,aes256-ctr";

std::string Field(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

bool ContainsNoCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return false;
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    size_t j = 0;
    while (j < part.size() && std::tolower(static_cast<unsigned char>(text[i + j])) ==
                                  std::tolower(static_cast<unsigned char>(part[j])))
      ++j;
    if (j == part.size()) return true;
  }
  return false;
}

// The SFTP status codes of draft-ietf-secsh-filexfer-02 as texts.
const char* SftpStatusText(int code) {
  switch (code) {
    case SSH_FX_EOF: return "end of file";
    case SSH_FX_NO_SUCH_FILE: return "no such file";
    case SSH_FX_PERMISSION_DENIED: return "permission denied";
    case SSH_FX_FAILURE: return "the server failed the request";
    case SSH_FX_BAD_MESSAGE: return "bad message";
    case SSH_FX_NO_CONNECTION: return "no connection";
    case SSH_FX_CONNECTION_LOST: return "connection lost";
    case SSH_FX_OP_UNSUPPORTED: return "operation not supported by the server";
    case SSH_FX_INVALID_HANDLE: return "invalid handle";
    case SSH_FX_NO_SUCH_PATH: return "no such path";
    case SSH_FX_FILE_ALREADY_EXISTS: return "file already exists";
    case SSH_FX_WRITE_PROTECT: return "write protected";
    case SSH_FX_NO_MEDIA: return "no media";
    default: return nullptr;
  }
}

}  // namespace

SftpClient::SftpClient(Connection& connection) : RemoteClient(connection) {}

SftpClient::~SftpClient() { Shutdown(); }

NTSTATUS SftpClient::Open() {
  opened_ = true;
  return STATUS_SUCCESS;
}

NTSTATUS SftpClient::Control(uint32_t code, FileEntry*, ReplyArea& reply, InternalRequest* answer, uint32_t*,
                             const InternalRequest*) {
  if (code != kControlQuota) return kNotOffered;
  if (!tested_) {
    tested_ = true;
    testResult_ = Connect(true);
    if (testResult_ != STATUS_SUCCESS) {
      SetReplyMessage(reply);
      if (answer) answer->result = static_cast<uint32_t>(testResult_);
    }
  }
  return testResult_;
}

NTSTATUS SftpClient::Connect(bool interactive) {
  std::u16string_view url = site_ ? WideField(site_->url, kSiteUrlChars) : std::u16string_view();
  if (url.size() <= 7) return kNoResources;
  if (!ParseSftpAddress(url, address_)) {
    lastError_ = "The site address is not sftp://host[:port]/folder.";
    ReportFailure("Open", "");
    return kNoResources;
  }
  ssh_ = LoadLibSsh();
  if (ssh_ == nullptr) {
    lastError_ = "Open libssh[.dll] (or OpenSSL libraries) missing.";
    ReportFailure("Open", "");
    return kGeneralFailure;
  }
  Disconnect();
  session_ = ssh_->new_session();
  if (session_ == nullptr) return kNoResources;
  int port = address_.port;
  long timeout = site_->connectTimeout ? static_cast<long>(site_->connectTimeout) : kConnectSeconds;
  bool no = false;
  std::string login = Field(site_->login, kSiteLoginChars);
  std::string knownHosts = SftpKnownHostsPath();
  const char* home = std::getenv("HOME");
  std::string sshDir = home && *home ? std::string(home) + "/.ssh" : std::string();
  ssh_->options_set(session_, SSH_OPTIONS_HOST, address_.host.c_str());
  ssh_->options_set(session_, SSH_OPTIONS_PORT, &port);
  ssh_->options_set(session_, SSH_OPTIONS_TIMEOUT, &timeout);
  // The site says where and as whom; a ~/.ssh/config must not redirect it.
  ssh_->options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &no);
  // AES-GCM first: processors accelerate it, and the agent decrypts in the
  // thread that answers the driver.
  ssh_->options_set(session_, SSH_OPTIONS_CIPHERS_C_S, kPreferredCiphers);
  ssh_->options_set(session_, SSH_OPTIONS_CIPHERS_S_C, kPreferredCiphers);
  // Read requests and window updates are small packets the server waits for:
  // they leave at once instead of behind the acknowledgement of the last one.
  int noDelay = 1;
  ssh_->options_set(session_, SSH_OPTIONS_NODELAY, &noDelay);
  if (!login.empty()) ssh_->options_set(session_, SSH_OPTIONS_USER, login.c_str());
  // libssh looks up the home folder in the password database; the keys are
  // those of the home the agent runs with.
  if (!sshDir.empty()) ssh_->options_set(session_, SSH_OPTIONS_SSH_DIR, sshDir.c_str());
  if (!knownHosts.empty()) ssh_->options_set(session_, SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str());
  if (ssh_->connect(session_) != SSH_OK) {
    lastError_ = ServerTextForUser(ssh_->get_error(session_), 512);
    ReportFailure("Open last", "");
    Disconnect();
    return kAccessDenied;
  }
  HostKeyState state = CheckHostKey();
  if (!AcceptHostKey(state, interactive)) {
    Disconnect();
    return kGeneralFailure;
  }
  if (!Authenticate(interactive)) {
    ReportFailure("Open 3", "");
    Disconnect();
    return kAccessDenied;
  }
  sftp_ = ssh_->sftp_new(session_);
  if (sftp_ == nullptr || ssh_->sftp_init(sftp_) != SSH_OK) {
    lastError_ = ServerTextForUser(ssh_->get_error(session_), 512);
    ReportFailure("Open 2", "");
    Disconnect();
    return kAccessDenied;
  }
  if (!LearnWriteLimit()) {
    ReportFailure("Open 3", "");
    return kAccessDenied;
  }
  WideDbgPrint(u"sftp connected %s:%d\n", address_.host.c_str(), address_.port);
  return STATUS_SUCCESS;
}

bool SftpClient::Authenticate(bool interactive) {
  int rc = ssh_->userauth_none(session_, nullptr);
  if (rc == SSH_AUTH_SUCCESS) return true;
  int methods = ssh_->userauth_list(session_, nullptr);
  // The keys of ~/.ssh and those an ssh-agent holds.
  if ((methods & SSH_AUTH_METHOD_PUBLICKEY) &&
      ssh_->userauth_publickey_auto(session_, nullptr, nullptr) == SSH_AUTH_SUCCESS)
    return true;
  if (interactive) {
    if (char* banner = ssh_->get_issue_banner(session_)) {
      CurrentUi().MessageBox(Utf8ToUtf16(banner), u"Halvenmoor", MB_OK | MB_ICONWARNING);
      ssh_->string_free_char(banner);
    }
  }
  std::string password = SitePassword(*site_);  // kept out of the shared block
  WipeOnExit wipePassword(password);
  if ((methods & SSH_AUTH_METHOD_PASSWORD) && !password.empty() &&
      ssh_->userauth_password(session_, nullptr, password.c_str()) == SSH_AUTH_SUCCESS)
    return true;
  if ((methods & SSH_AUTH_METHOD_INTERACTIVE) && KeyboardInteractive()) return true;
  lastError_ = ServerTextForUser(ssh_->get_error(session_), 512);
  if (lastError_.empty() || lastError_ == "No error")
    lastError_ = "The server accepted neither the keys nor the site's login and password.";
  return false;
}

bool SftpClient::KeyboardInteractive() {
  std::string login = Field(site_->login, kSiteLoginChars);
  std::string password = SitePassword(*site_);  // kept out of the shared block
  WipeOnExit wipePassword(password);
  int rc = ssh_->userauth_kbdint(session_, nullptr, nullptr);
  // A server that keeps asking is not answered for ever.
  for (int round = 0; rc == SSH_AUTH_INFO && round < 8; ++round) {
    int prompts = ssh_->userauth_kbdint_getnprompts(session_);
    for (int i = 0; i < prompts; ++i) {
      char echo = 0;
      const char* prompt = ssh_->userauth_kbdint_getprompt(session_, static_cast<unsigned>(i), &echo);
      std::string text = prompt ? prompt : "";
      if (text.empty()) continue;
      if (ContainsNoCase(text, "password")) {
        ssh_->userauth_kbdint_setanswer(session_, static_cast<unsigned>(i), password.c_str());
      } else if (ContainsNoCase(text, "login")) {
        ssh_->userauth_kbdint_setanswer(session_, static_cast<unsigned>(i), login.c_str());
      } else {
        ReportFailure(text.substr(0, 80).c_str(), "");
        ssh_->userauth_kbdint_setanswer(session_, static_cast<unsigned>(i), "");
      }
    }
    rc = ssh_->userauth_kbdint(session_, nullptr, nullptr);
  }
  return rc == SSH_AUTH_SUCCESS;
}

bool SftpClient::TakeCreated(const std::string& path, Created& made) {
  for (auto it = created_.begin(); it != created_.end(); ++it) {
    if (it->path != path || it->openId != 0) continue;
    made = std::move(*it);
    created_.erase(it);
    return true;
  }
  return false;
}

void SftpClient::CloseCreated(const std::string& path) {
  if (!Settle()) return;
  for (auto it = created_.begin(); it != created_.end();) {
    bool below = path.empty() || it->path == path ||
                 (it->path.size() > path.size() && it->path.compare(0, path.size(), path) == 0 &&
                  it->path[path.size()] == '/');
    if (!below) {
      ++it;
      continue;
    }
    std::string handle = std::move(it->handle);
    it = created_.erase(it);
    if (!handle.empty() && SessionAlive() && !CloseHandle(handle)) return;  // the session was given up
  }
}

void SftpClient::Disconnect() {
  // The server closes every handle with the session; answers still on their
  // way are dropped with it.
  created_.clear();
  CloseStream();
  if (sftp_ != nullptr && ssh_ != nullptr) ssh_->sftp_free(sftp_);
  sftp_ = nullptr;
  if (session_ != nullptr && ssh_ != nullptr) {
    ssh_->disconnect(session_);
    ssh_->free_session(session_);
  }
  session_ = nullptr;
}

bool SftpClient::Reconnect(const char* method) {
  ReportFailure(method, "");
  WideDbgPrint(u"** %ws reconnect %s\n", std::u16string(connection_->Name()).c_str(), lastError_.c_str());
  Disconnect();
  return Connect(false) == STATUS_SUCCESS;
}

bool SftpClient::SessionAlive() const {
  return sftp_ != nullptr && session_ != nullptr && ssh_->is_connected(session_) &&
         ssh_->get_error_code(session_) != SSH_FATAL;
}

void SftpClient::Shutdown() { Disconnect(); }

void SftpClient::NoteFailure() {
  lastSftpError_ = sftp_ != nullptr ? ssh_->sftp_get_error(sftp_) : 0;
  const char* status = SftpStatusText(lastSftpError_);
  if (status != nullptr && session_ != nullptr && ssh_->is_connected(session_)) {
    lastError_ = status;
  } else if (session_ != nullptr) {
    lastError_ = ServerTextForUser(ssh_->get_error(session_), 512);
  }
  if (lastError_.empty()) lastError_ = "the SFTP session ended";
}

void SftpClient::ReportFailure(const char* method, std::string_view path) {
  std::string_view file = path;
  if (size_t slash = file.find_last_of('/'); slash != std::string_view::npos) file = file.substr(slash + 1);
  WideDbgPrint(u"** %ws %s status=%ld %s %s\n", std::u16string(connection_->Name()).c_str(), method,
               static_cast<long>(lastSftpError_), std::string(file).c_str(), lastError_.c_str());
}

const char16_t* SftpClient::ErrorText(uint32_t code) {
  using Lookup = const char16_t* (*)(uint32_t);
  if (const LanguageModule* module = CurrentLanguageModule()) {
    if (auto lookup = reinterpret_cast<Lookup>(module->FindExport(kSFtpErrorMsgExport))) {
      if (const char16_t* text = lookup(code)) {
        CopyWide(errorText_, kErrorTextChars, text);
        return errorText_;
      }
    }
  }
  if (!lastError_.empty()) {
    CopyWide(errorText_, kErrorTextChars, Utf8ToUtf16(lastError_));
  } else {
    FormatWideBuf(errorText_, kErrorTextChars, u"Unrecognized %ld", static_cast<long>(code));
  }
  return errorText_;
}

void SftpClient::SetReplyMessage(ReplyArea& reply) { CopyWide(reply.message, kReplyMessageChars, ErrorText(0)); }

int SftpClient::IsConnected() { return session_ != nullptr ? 1 : 0; }

bool SftpClient::ServerPathOf(std::u16string_view name, std::string& path) {
  if (SftpServerPath(name, path)) return true;
  lastError_ = "The path is longer than the server's limit.";
  return false;
}

bool SftpClient::WithRetry(const char* method, const std::string& path, const std::function<bool()>& operation,
                           bool streamRead) {
  if (!streamRead) CloseStream();
  Settle();
  if (!SessionAlive() && !Reconnect(method)) return false;
  if (operation()) return true;
  NoteFailure();
  ReportFailure(method, path);
  // A refusal by a living server is its answer; only a dead session is tried again.
  if (SessionAlive() || !Reconnect("reconnect")) return false;
  if (operation()) return true;
  NoteFailure();
  ReportFailure(method, path);
  return false;
}

NTSTATUS SftpClient::CreateFile(FileEntry* entry, ReplyArea& reply) {
  ForgetMissing();
  std::string path;
  if (!ServerPathOf(reply.serverPath, path)) return kGeneralFailure;
  CloseStream();
  CloseCreated(path);
  // A name neither the cache nor the server knew is made only if it is still
  // free: a file another client made meanwhile is never emptied.
  bool exclusive = entry && (entry->flags & kEntryMustBeNew);
  bool sent = WithRetry("CreateFile", path, [&] {
    // The answer is read when the channel is needed next, usually by the
    // upload at the first cleanup: the open costs no wait of its own.
    uint32_t id = 0;
    if (!SendOpen(path, exclusive, id)) return false;
    Created made;
    made.path = path;
    made.openId = id;
    made.exclusive = exclusive;
    created_.push_back(std::move(made));
    // The oldest beyond a few are closed.
    while (created_.size() > kKeptCreatedFiles) {
      if (!Settle()) return false;
      std::string handle = std::move(created_.front().handle);
      created_.pop_front();
      if (!handle.empty() && !CloseHandle(handle)) return false;
    }
    return true;
  });
  if (!sent) {
    SetReplyMessage(reply);
    return kGeneralFailure;
  }
  if (entry) entry->size = 0;
  return STATUS_SUCCESS;
}

NTSTATUS SftpClient::MakeDirectory(ReplyArea& reply) {
  ForgetMissing();
  std::string path;
  if (!ServerPathOf(reply.serverPath, path)) return kAccessDenied;
  if (WithRetry("Mkkol", path, [&] { return ssh_->mkdir(sftp_, path.c_str(), 0755) == 0; })) return STATUS_SUCCESS;
  SetReplyMessage(reply);
  return kAccessDenied;
}

NTSTATUS SftpClient::Delete(FileEntry* entry, ReplyArea& reply) {
  ForgetMissing();
  std::string path;
  if (!ServerPathOf(reply.serverPath, path)) return kAccessDenied;
  CloseStream();
  CloseCreated(path);
  // A link is removed itself, never what it points to.
  bool directory = entry && entry->IsDirectory() && !(entry->flags & kEntrySpecial);
  bool removed = directory
                     ? WithRetry("DeleteDir", path, [&] { return ssh_->rmdir(sftp_, path.c_str()) == 0; })
                     : WithRetry("DeleteFile", path, [&] { return ssh_->unlink(sftp_, path.c_str()) == 0; });
  if (removed) return STATUS_SUCCESS;
  SetReplyMessage(reply);
  return kAccessDenied;
}

NTSTATUS SftpClient::Move(FileEntry* entry, ReplyArea& reply, FileEntry*, std::u16string_view destinationServerPath) {
  ForgetMissing();
  (void)entry;
  std::string source, destination;
  if (!ServerPathOf(reply.serverPath, source) || !ServerPathOf(destinationServerPath, destination))
    return kAccessDenied;
  while (destination.size() > 1 && destination.back() == '/') destination.pop_back();
  while (source.size() > 1 && source.back() == '/') source.pop_back();
  CloseStream();
  CloseCreated(source);
  CloseCreated(destination);
  bool moved = WithRetry("Move", source, [&] {
    // SFTP version 3 renames only onto a free name: an existing destination goes first.
    if (sftp_attributes existing = ssh_->lstat(sftp_, destination.c_str())) {
      bool folder = existing->type == SSH_FILEXFER_TYPE_DIRECTORY;
      ssh_->attributes_free(existing);
      int gone = folder ? ssh_->rmdir(sftp_, destination.c_str()) : ssh_->unlink(sftp_, destination.c_str());
      if (gone != 0) return false;
    }
    return ssh_->rename(sftp_, source.c_str(), destination.c_str()) == 0;
  });
  if (moved) return STATUS_SUCCESS;
  SetReplyMessage(reply);
  return kAccessDenied;
}

NTSTATUS SftpClient::Write(FileEntry*, ReplyArea&, uint64_t, uint64_t, const uint8_t*, NTSTATUS) {
  // The bytes go into the local copy, and the copy goes up whole at close.
  return STATUS_SUCCESS;
}

NTSTATUS SftpClient::Copy(FileEntry*, ReplyArea&, uint32_t, std::u16string_view, char16_t*) { return kNotOffered; }
NTSTATUS SftpClient::Lock(FileEntry*, ReplyArea&, uint32_t, char16_t*) { return STATUS_SUCCESS; }
NTSTATUS SftpClient::BeginWrite(FileEntry*, ReplyArea&, uint32_t, char16_t*) { return STATUS_SUCCESS; }
NTSTATUS SftpClient::Unlock(FileEntry*, ReplyArea&, uint32_t, char16_t*) { return STATUS_SUCCESS; }

std::unique_ptr<RemoteClient> MakeSftpClient(Connection& connection) {
  return std::make_unique<SftpClient>(connection);
}

void RegisterSftpClient() { RegisterClientConstructor(ClientKind::Sftp, &MakeSftpClient); }

}  // namespace hvm
