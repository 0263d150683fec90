// The FTP control connection on libcurl. libcurl keeps the connection in the
// easy handle's cache between requests (curl_easy_reset leaves it there), so
// a session logs in once and every later request goes straight to work.
#include "agent/clients/ftp_session.h"
#include "agent/clients/server_text.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsCertificateProblem(long verifyResult, CURLcode code) {
  return code == CURLE_PEER_FAILED_VERIFICATION || (code == CURLE_SSL_CONNECT_ERROR && verifyResult != 0);
}

// The server closed or broke a connection that libcurl took from its cache.
bool LooksDropped(CURLcode code, long reply) {
  return code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING ||
         code == CURLE_FTP_WEIRD_SERVER_REPLY || reply == 421;
}

// The decimal size of a "213" reply; FtpSession::kNoSizeKnown for anything else.
uint64_t ParseSize(std::string_view digits) {
  if (digits.empty() || digits.size() > 19) return FtpSession::kNoSizeKnown;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return FtpSession::kNoSizeKnown;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

}  // namespace

bool ParseFtpUrl(std::u16string_view url, FtpEndpoint& endpoint) {
  size_t schemeEnd = url.find(u"://");
  if (schemeEnd == std::u16string_view::npos) return false;
  std::u16string_view scheme = url.substr(0, schemeEnd + 1);
  endpoint.implicitTls = StartsWithNoCase(scheme, u"ftps:");
  endpoint.explicitTls = StartsWithNoCase(scheme, u"ftpes:");
  if (!endpoint.implicitTls && !endpoint.explicitTls && !StartsWithNoCase(scheme, u"ftp:")) return false;
  std::u16string_view rest = url.substr(schemeEnd + 3);
  size_t slash = rest.find(u'/');
  std::u16string_view hostPort = rest.substr(0, slash);
  std::u16string_view path = slash == std::u16string_view::npos ? std::u16string_view() : rest.substr(slash + 1);
  size_t bracket = hostPort.rfind(u']');
  size_t colon = hostPort.rfind(u':');
  if (colon != std::u16string_view::npos && (bracket == std::u16string_view::npos || colon > bracket)) {
    std::u16string_view digits = hostPort.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    int port = 0;
    for (char16_t c : digits) {
      if (c < u'0' || c > u'9') return false;
      port = port * 10 + (c - u'0');
    }
    if (port < 1 || port > 65535) return false;
    endpoint.port = port;
    hostPort = hostPort.substr(0, colon);
  } else {
    endpoint.port = endpoint.implicitTls ? 990 : 21;
  }
  if (hostPort.empty()) return false;
  for (char16_t c : hostPort)
    if (c <= u' ' || c == u'@' || c == u'/' || c == u'\\' || c == u'?' || c == u'#') return false;
  endpoint.host = Utf16ToUtf8(hostPort);
  std::string sitePath = Utf16ToUtf8(path);
  std::replace(sitePath.begin(), sitePath.end(), '\\', '/');
  while (!sitePath.empty() && sitePath.back() == '/') sitePath.pop_back();
  endpoint.sitePath = sitePath;
  return true;
}

std::string ProxyLogin(std::string_view login, std::string_view proxyUser, std::string_view host) {
  return std::string(login) + "@" + std::string(proxyUser) + "@" + std::string(host);
}

std::string ProxyPassword(std::string_view password, std::string_view proxyPassword) {
  return std::string(password) + "@" + std::string(proxyPassword);
}

DWORD InetErrorFromCurl(CURLcode code, long replyCode, long verifyResult) {
  if (IsCertificateProblem(verifyResult, code)) {
    switch (verifyResult) {
      case 9:   // not yet valid
      case 10: return kInetCertDateInvalid;  // expired
      case 62: return kInetCertCnInvalid;    // host name mismatch
      case 2:
      case 18:  // self-signed
      case 19:
      case 20:
      case 21: return kInetInvalidCa;
      default: return kInetInvalidCertificate;
    }
  }
  switch (code) {
    case CURLE_OK: return 0;
    case CURLE_URL_MALFORMAT: return kInetInvalidUrl;
    case CURLE_COULDNT_RESOLVE_HOST: return kInetNameNotResolved;
    case CURLE_COULDNT_CONNECT: return kInetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT: return kInetTimeout;
    case CURLE_LOGIN_DENIED: return kInetLoginFailure;
    case CURLE_OUT_OF_MEMORY: return kInetOutOfHandles;
    case CURLE_ABORTED_BY_CALLBACK: return kInetOperationCancelled;
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT: return kInetFtpNoPassiveMode;
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CONNECT_ERROR: return kInetSecurityChannelError;
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING: return replyCode == 421 ? kInetFtpDropped : kInetConnectionAborted;
    default: break;
  }
  return replyCode >= 400 ? kInetExtendedError : kInetInternalError;
}

std::string FtpUrlPath(std::string_view absolutePath) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : absolutePath) {
    unsigned char u = static_cast<unsigned char>(c);
    bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || c == '-' ||
                 c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

FtpSession::FtpSession(const FtpEndpoint& endpoint) : endpoint_(endpoint) {
  GlobalInit();
  easy_ = curl_easy_init();
  multi_ = curl_multi_init();
  if (!multi_ && easy_) {
    curl_easy_cleanup(easy_);
    easy_ = nullptr;
  }
  base_ = std::string(endpoint.implicitTls ? "ftps://" : "ftp://") + endpoint.host + ":" +
          std::to_string(endpoint.port);
}

FtpSession::~FtpSession() {
  if (easy_) curl_easy_cleanup(easy_);
  if (multi_) curl_multi_cleanup(multi_);
  if (quote_) curl_slist_free_all(quote_);
  if (preQuote_) curl_slist_free_all(preQuote_);
}

std::string FtpSession::UrlOf(const std::string& absolutePath) const {
  // "%2F" makes the path absolute instead of relative to the login folder.
  std::string_view rest = absolutePath;
  while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  return base_ + "/%2F" + FtpUrlPath(rest);
}

void FtpSession::Reset(const std::string& url) {
  curl_easy_reset(easy_);  // keeps the cached control connection
  if (quote_) {
    curl_slist_free_all(quote_);
    quote_ = nullptr;
  }
  if (preQuote_) {
    curl_slist_free_all(preQuote_);
    preQuote_ = nullptr;
  }
  error_[0] = 0;
  sink_ = nullptr;
  uploadProgress_ = nullptr;
  awaitingSize_ = false;
  replySize_ = kNoSizeKnown;
  checkingFree_ = false;
  nameTaken_ = false;
  nameFoundFree_ = false;
  curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_);
  curl_easy_setopt(easy_, CURLOPT_PROXY, "");
  curl_easy_setopt(easy_, CURLOPT_USERNAME, endpoint_.login.c_str());
  curl_easy_setopt(easy_, CURLOPT_PASSWORD, endpoint_.password.c_str());
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, endpoint_.connectTimeoutMs);
  long receiveSeconds = std::max<long>(1, endpoint_.receiveTimeoutMs / 1000);
  long sendSeconds = std::max<long>(1, endpoint_.sendTimeoutMs / 1000);
  curl_easy_setopt(easy_, CURLOPT_SERVER_RESPONSE_TIMEOUT, receiveSeconds);
  // A transfer that moves nothing for the longer of both time-outs has stalled
  // (checked in OnProgress: libcurl's own speed check wakes every second and
  // delays each data connection by that second).
  stallLimit_ = std::chrono::seconds(std::max(receiveSeconds, sendSeconds));
  lastMoved_ = std::chrono::steady_clock::now();
  moved_ = 0;
  stalled_ = false;
  curl_easy_setopt(easy_, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(easy_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
  // The data connection goes to the server's own address, never where a PASV reply points.
  curl_easy_setopt(easy_, CURLOPT_FTP_SKIP_PASV_IP, 1L);
  if (!endpoint_.passive) curl_easy_setopt(easy_, CURLOPT_FTPPORT, "-");
  if (endpoint_.implicitTls || endpoint_.explicitTls) {
    curl_easy_setopt(easy_, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(easy_, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
  }
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, endpoint_.verifyCertificate ? 1L : 0L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, endpoint_.verifyCertificate ? 2L : 0L);
  // Requests without a body still hand libcurl's own lines about the file to the writer.
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &FtpSession::OnDiscard);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &FtpSession::OnHeader);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &FtpSession::OnProgress);
  curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
}

size_t FtpSession::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* s = static_cast<FtpSession*>(self);
  std::string_view line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // Only reply lines ("550 text"); multi-line continuations keep the first.
  if (line.size() >= 4 && line[0] >= '1' && line[0] <= '5' && line[3] == ' ')
    s->lastReplyText_ = ServerTextForUser(line);
  if (s->checkingFree_ && line.size() >= 4 && line[3] == ' ') {
    // A size for the name: a file is there. Answering short ends the
    // request before its STOR goes out.
    if (line.substr(0, 4) == "213 ") {
      s->nameTaken_ = true;
      s->checkingFree_ = false;
      return 0;
    }
    // The size refused: no such file (or no SIZE at all), the STOR follows.
    if (line[0] == '5') s->nameFoundFree_ = true;
    // The transfer begins: the question was answered "no such file".
    if (line[0] == '1') s->checkingFree_ = false;
  }
  if (s->awaitingSize_ && line.size() > 4 && line.substr(0, 4) == "213 ") s->replySize_ = ParseSize(line.substr(4));
  return size * count;
}

size_t FtpSession::OnWrite(char* data, size_t size, size_t count, void* self) {
  auto* s = static_cast<FtpSession*>(self);
  if (s->cancel_.load() || !s->sink_ || !(*s->sink_)(data, size * count)) return 0;
  return size * count;
}

size_t FtpSession::OnRead(char* data, size_t size, size_t count, void* self) {
  auto* s = static_cast<FtpSession*>(self);
  if (s->cancel_.load()) return CURL_READFUNC_ABORT;
  if (s->uploadSource_) {
    long n = (*s->uploadSource_)(data, size * count);
    if (n < 0) return CURL_READFUNC_ABORT;
    s->uploadAt_ += static_cast<uint64_t>(n);
    return static_cast<size_t>(n);
  }
  size_t want = static_cast<size_t>(std::min<uint64_t>(size * count, s->uploadEnd_ - s->uploadAt_));
  if (want == 0) return 0;
  ssize_t n = pread(s->uploadFd_, data, want, static_cast<off_t>(s->uploadAt_));
  if (n <= 0) return CURL_READFUNC_ABORT;  // a local copy shorter than its size is a failure
  s->uploadAt_ += static_cast<uint64_t>(n);
  if (s->uploadProgress_ && *s->uploadProgress_) (*s->uploadProgress_)(s->uploadAt_);
  return static_cast<size_t>(n);
}

size_t FtpSession::OnDiscard(char*, size_t size, size_t count, void*) { return size * count; }

int FtpSession::OnProgress(void* self, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* s = static_cast<FtpSession*>(self);
  if (s->cancel_.load()) return 1;
  auto now = std::chrono::steady_clock::now();
  curl_off_t moved = downloaded + uploaded;
  if (moved != s->moved_) {
    s->moved_ = moved;
    s->lastMoved_ = now;
  } else if (moved > 0 && now - s->lastMoved_ > s->stallLimit_) {
    s->stalled_ = true;
    return 1;
  }
  return 0;
}

void FtpSession::Cancel() {
  cancel_ = true;
  if (multi_) curl_multi_wakeup(multi_);
}

CURLcode FtpSession::RunTransfer() {
  if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) return CURLE_FAILED_INIT;
  // libcurl (7.88) leaves the new data connection out of its wait set right
  // after a PASV/EPSV reply that came in at once, and its own loop then sleeps
  // a full second. Waits without any event therefore start at 1 ms and double
  // up to that second, which costs a few wake-ups while a server thinks.
  constexpr int kLongestWaitMs = 1000;
  int idleWaitMs = 1;
  CURLcode result = CURLE_OK;
  bool done = false;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      result = CURLE_OUT_OF_MEMORY;
      break;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
        result = message->data.result;
        done = true;
      }
    }
    if (done || !running) break;
    long timeoutMs = -1;
    curl_multi_timeout(multi_, &timeoutMs);
    int waitMs = timeoutMs >= 0 ? static_cast<int>(std::min<long>(timeoutMs, idleWaitMs)) : idleWaitMs;
    int events = 0;
    if (curl_multi_poll(multi_, nullptr, 0, waitMs, &events) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
    idleWaitMs = events ? 1 : std::min(idleWaitMs * 2, kLongestWaitMs);
  }
  curl_multi_remove_handle(multi_, easy_);
  return result;
}

DWORD FtpSession::Perform(const std::function<bool()>& rewind) {
  for (int attempt = 0;; ++attempt) {
    if (cancel_.load()) return kInetOperationCancelled;
    lastReply_ = 0;
    lastReplyText_.clear();
    CURLcode code = RunTransfer();
    long reply = 0, connects = 0, verify = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &reply);
    curl_easy_getinfo(easy_, CURLINFO_NUM_CONNECTS, &connects);
    curl_easy_getinfo(easy_, CURLINFO_SSL_VERIFYRESULT, &verify);
    lastReply_ = reply;
    if (code == CURLE_OK) {
      connected_ = true;
      return 0;
    }
    if (attempt == 0 && connects == 0 && connected_ && LooksDropped(code, reply) && !cancel_.load() &&
        (!rewind || rewind())) {
      // The server ended the idle control connection: log in again, once.
      WideDbgPrint(u"ftp: the server dropped the connection (%d), reconnecting\n", static_cast<int>(code));
      curl_easy_setopt(easy_, CURLOPT_FRESH_CONNECT, 1L);
      continue;
    }
    WideDbgPrint(u"ftp: curl %d reply %ld %s %s\n", static_cast<int>(code), reply, error_, lastReplyText_.c_str());
    connected_ = code != CURLE_COULDNT_CONNECT && code != CURLE_LOGIN_DENIED && connected_;
    if (cancel_.load()) return kInetOperationCancelled;
    if (stalled_) return kInetTimeout;
    return InetErrorFromCurl(code, reply, verify);
  }
}

DWORD FtpSession::Connect(std::string& startDirectory) {
  if (!easy_) return kInetOutOfHandles;
  Reset(base_ + "/");
  curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
  DWORD error = Perform();
  if (error) return error;
  char* entry = nullptr;
  curl_easy_getinfo(easy_, CURLINFO_FTP_ENTRY_PATH, &entry);
  startDirectory = entry ? entry : "/";
  return 0;
}

DWORD FtpSession::List(const std::string& folder, bool mlsd, std::string& text) {
  if (!easy_) return kInetOutOfHandles;
  std::string url = UrlOf(folder);
  if (url.back() != '/') url += '/';
  Reset(url);
  if (mlsd) curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, "MLSD");
  bool tooLong = false;
  Sink sink = [&](const char* data, size_t length) {
    tooLong = text.size() + length > kMaxFtpListingBytes;
    if (!tooLong) text.append(data, length);
    return !tooLong;
  };
  sink_ = &sink;
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &FtpSession::OnWrite);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  DWORD error = Perform([&] {
    text.clear();
    return true;
  });
  sink_ = nullptr;
  return tooLong ? kFtpListingTooLong : error;
}

DWORD FtpSession::Download(const std::string& path, uint64_t from, uint64_t to, const Sink& sink) {
  if (!easy_) return kInetOutOfHandles;
  Reset(UrlOf(path));
  if (to > from) {
    std::string range = std::to_string(from) + "-" + std::to_string(to - 1);
    curl_easy_setopt(easy_, CURLOPT_RANGE, range.c_str());
  } else if (from > 0) {
    curl_easy_setopt(easy_, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(from));
  }
  // Larger pieces from the data connection: fewer calls into the sink.
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 512L * 1024);
  bool delivered = false;
  Sink counting = [&](const char* data, size_t length) {
    delivered = true;
    return sink(data, length);
  };
  sink_ = &counting;
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &FtpSession::OnWrite);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  // Bytes already handed on cannot be taken back: then no second attempt.
  DWORD error = Perform([&] { return !delivered; });
  sink_ = nullptr;
  return error;
}

DWORD FtpSession::Upload(const std::string& path, int fd, uint64_t from, uint64_t size,
                         const std::function<void(uint64_t)>& progress, uint64_t* stored, bool onlyIfFree) {
  if (!easy_) return kInetOutOfHandles;
  Reset(UrlOf(path));
  if (onlyIfFree) {
    // "*": a refused SIZE (no such file, or no SIZE at all) lets the upload go on.
    if (path.find_first_of("\r\n") != std::string::npos) return kInetInvalidUrl;
    preQuote_ = curl_slist_append(preQuote_, ("*SIZE " + path).c_str());
    curl_easy_setopt(easy_, CURLOPT_PREQUOTE, preQuote_);
    checkingFree_ = true;
  }
  if (stored) {
    // The check of what arrived rides on the upload's own request; "*": a
    // server without SIZE does not fail the upload.
    if (path.find_first_of("\r\n") != std::string::npos) return kInetInvalidUrl;
    quote_ = curl_slist_append(quote_, ("*SIZE " + path).c_str());
    curl_easy_setopt(easy_, CURLOPT_POSTQUOTE, quote_);
    awaitingSize_ = true;
  }
  uploadFd_ = fd;
  uploadAt_ = from;
  uploadEnd_ = size;
  uploadProgress_ = &progress;
  curl_easy_setopt(easy_, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(easy_, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
  if (from > 0) curl_easy_setopt(easy_, CURLOPT_APPEND, 1L);
  curl_easy_setopt(easy_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size - from));
  curl_easy_setopt(easy_, CURLOPT_READFUNCTION, &FtpSession::OnRead);
  curl_easy_setopt(easy_, CURLOPT_READDATA, this);
  DWORD error = Perform([&] {
    uploadAt_ = from;
    replySize_ = kNoSizeKnown;
    checkingFree_ = onlyIfFree;
    return !nameTaken_;
  });
  uploadProgress_ = nullptr;
  uploadFd_ = -1;
  awaitingSize_ = false;
  checkingFree_ = false;
  if (nameTaken_) return kInetExtendedError;
  if (!error && uploadAt_ != size) error = kInetConnectionAborted;
  if (stored) *stored = replySize_;
  return error;
}

DWORD FtpSession::UploadFrom(const std::string& path, const std::function<long(char*, size_t)>& source,
                             uint64_t* stored, bool onlyIfFree) {
  if (!easy_) return kInetOutOfHandles;
  if (path.find_first_of("\r\n") != std::string::npos) return kInetInvalidUrl;
  Reset(UrlOf(path));
  if (onlyIfFree) {
    // "*": a refused SIZE (no such file, or no SIZE at all) lets the upload go on.
    preQuote_ = curl_slist_append(preQuote_, ("*SIZE " + path).c_str());
    curl_easy_setopt(easy_, CURLOPT_PREQUOTE, preQuote_);
    checkingFree_ = true;
  }
  quote_ = curl_slist_append(quote_, ("*SIZE " + path).c_str());
  curl_easy_setopt(easy_, CURLOPT_POSTQUOTE, quote_);
  awaitingSize_ = true;
  uploadSource_ = &source;
  uploadAt_ = 0;
  curl_easy_setopt(easy_, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(easy_, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
  curl_easy_setopt(easy_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(-1));
  curl_easy_setopt(easy_, CURLOPT_READFUNCTION, &FtpSession::OnRead);
  curl_easy_setopt(easy_, CURLOPT_READDATA, this);
  // Read bytes cannot be read again: never a second attempt.
  DWORD error = Perform([] { return false; });
  uploadSource_ = nullptr;
  awaitingSize_ = false;
  checkingFree_ = false;
  if (nameTaken_) return kInetExtendedError;
  if (stored) *stored = replySize_;
  return error;
}

DWORD FtpSession::Commands(std::initializer_list<std::string> commands) {
  if (!easy_) return kInetOutOfHandles;
  Reset(base_ + "/");
  for (const std::string& command : commands) {
    // A line break inside would smuggle a further command to the server.
    if (command.find_first_of("\r\n") != std::string::npos) return kInetInvalidUrl;
    quote_ = curl_slist_append(quote_, command.c_str());
  }
  curl_easy_setopt(easy_, CURLOPT_QUOTE, quote_);
  curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
  return Perform();
}

DWORD FtpSession::SizeOf(const std::string& path, uint64_t& size) {
  if (!easy_) return kInetOutOfHandles;
  Reset(UrlOf(path));
  curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
  DWORD error = Perform();
  curl_off_t length = -1;
  if (!error) curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  size = length >= 0 ? static_cast<uint64_t>(length) : kNoSizeKnown;
  return error;
}

void FtpSession::Disconnect() {
  if (!easy_) return;
  // The cached control connection lives in the multi handle: both go.
  curl_easy_cleanup(easy_);
  curl_multi_cleanup(multi_);
  easy_ = curl_easy_init();
  multi_ = curl_multi_init();
  if (!multi_ && easy_) {
    curl_easy_cleanup(easy_);
    easy_ = nullptr;
  }
  connected_ = false;
}

}  // namespace hvm
