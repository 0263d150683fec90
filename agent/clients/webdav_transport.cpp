#include "agent/clients/webdav_transport.h"

#include <arpa/inet.h>
#ifdef HVM_HAVE_OPENSSL
#include <openssl/ssl.h>
#endif
#include <ifaddrs.h>
#include <net/if.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

namespace hvm {
namespace {

// Large receive buffers let a loopback transfer run near memory speed.
constexpr long kReceiveBufferBytes = 512 * 1024;
constexpr long kUploadBufferBytes = 128 * 1024;
constexpr size_t kMaxUploadReplyBytes = 1 << 20;

// The transport whose transfer this thread drives; TLS callbacks report to it.
thread_local HttpTransport* driving = nullptr;

#ifdef HVM_HAVE_OPENSSL
// Called by OpenSSL when the server asks for a client certificate and none
// is loaded: remember the request, go on without one.
int OnCertificateRequested(SSL*, X509**, EVP_PKEY**) {
  if (driving) driving->NoteCertificateRequested();
  return 0;
}

CURLcode OnSslContext(CURL*, void* context, void*) {
  SSL_CTX_set_client_cert_cb(static_cast<SSL_CTX*>(context), &OnCertificateRequested);
  return CURLE_OK;
}
#endif

void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

long CurlAuthBits(AuthScheme scheme) {
  switch (scheme) {
    case AuthScheme::Basic: return CURLAUTH_BASIC;
    case AuthScheme::Negotiate: return CURLAUTH_NEGOTIATE;
    case AuthScheme::Ntlm: return CURLAUTH_NTLM;
    case AuthScheme::Digest: return CURLAUTH_DIGEST;
    case AuthScheme::None: break;
  }
  return CURLAUTH_BASIC;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

std::string HeaderLine(std::string_view name, std::string_view value) {
  std::string line(name);
  line += ": ";
  for (char c : value) line += (static_cast<unsigned char>(c) < 0x20 && c != '\t') ? ' ' : c;
  return line;
}

DWORD WinHttpErrorFromCurl(CURLcode code, long verifyResult, std::string_view errorText) {
  switch (code) {
    case CURLE_OK: return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kWinHttpNameNotResolved;
    case CURLE_COULDNT_CONNECT: return kWinHttpCannotConnect;
    case CURLE_OPERATION_TIMEDOUT: return kWinHttpTimeout;
    case CURLE_URL_MALFORMAT: return kWinHttpInvalidUrl;
    case CURLE_UNSUPPORTED_PROTOCOL: return kWinHttpUnrecognizedScheme;
    case CURLE_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_TOO_MANY_REDIRECTS: return kWinHttpRedirectFailed;
    case CURLE_ABORTED_BY_CALLBACK: return kWinHttpOperationCancelled;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_BAD_CONTENT_ENCODING: return kWinHttpInvalidServerResponse;
    case CURLE_SSL_CLIENTCERT: return kWinHttpClientAuthCertNeeded;
    case CURLE_PEER_FAILED_VERIFICATION:
      // OpenSSL's verdicts: 9/10 not yet valid/expired, 62 host name mismatch.
      if (verifyResult == 9 || verifyResult == 10) return kWinHttpCertDateInvalid;
      if (verifyResult == 62 || errorText.find("match target host") != std::string_view::npos ||
          errorText.find("subject name") != std::string_view::npos)
        return kWinHttpCertCnInvalid;
      return kWinHttpInvalidCa;
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE: return kWinHttpSecureInvalidCert;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
      if (errorText.find("certificate required") != std::string_view::npos) return kWinHttpClientAuthCertNeeded;
      return kWinHttpSecureFailure;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      if (errorText.find("certificate required") != std::string_view::npos) return kWinHttpClientAuthCertNeeded;
      return kWinHttpConnectionError;
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3: return kWinHttpConnectionError;
    case CURLE_SEND_FAIL_REWIND: return kWinHttpResendRequest;
    case CURLE_LOGIN_DENIED:
    case CURLE_AUTH_ERROR: return 12015;  // ERROR_WINHTTP_LOGIN_FAILURE
    case CURLE_READ_ERROR: return kWinHttpConnectionError;
    default: return kWinHttpInternalError;
  }
}

AuthScheme ChooseAuthScheme(const std::vector<std::string>& challenges) {
  static constexpr std::pair<std::string_view, AuthScheme> kOrder[] = {
      {"Basic", AuthScheme::Basic},
      {"Negotiate", AuthScheme::Negotiate},
      {"NTLM", AuthScheme::Ntlm},
      {"Digest", AuthScheme::Digest},
  };
  for (const auto& [name, scheme] : kOrder) {
    for (const std::string& line : challenges) {
      std::string_view value = Trim(line);
      if (StartsWithNoCase(value, name) &&
          (value.size() == name.size() || value[name.size()] == ' ' || value[name.size()] == ','))
        return scheme;
    }
  }
  return AuthScheme::None;
}

HttpTransport::HttpTransport() {
  GlobalInitOnce();
  easy_ = curl_easy_init();
  multi_ = curl_multi_init();
}

HttpTransport::~HttpTransport() {
  Close();
  if (easy_) curl_easy_cleanup(easy_);
  if (multi_) curl_multi_cleanup(multi_);
  if (headerList_) curl_slist_free_all(headerList_);
}

void HttpTransport::Configure(const HttpRequestSpec& spec) {
  // Reset keeps the live connections, so keep-alive spans requests.
  curl_easy_reset(easy_);
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(easy_, CURLOPT_URL, spec.url.c_str());
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(easy_, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &HttpTransport::OnHeader);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &HttpTransport::OnBody);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, spec.connectTimeoutMs);
  curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, std::max(1L, spec.lowSpeedSeconds));
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, spec.verifyCertificates ? 1L : 0L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, spec.verifyCertificates ? 2L : 0L);
  curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
#ifdef HVM_HAVE_OPENSSL
  curl_easy_setopt(easy_, CURLOPT_SSL_CTX_FUNCTION, &OnSslContext);
#endif
  if (!spec.clientCertificate.empty()) {
    const std::string& file = spec.clientCertificate;
    bool pkcs12 = file.size() > 4 && (strcasecmp(file.c_str() + file.size() - 4, ".p12") == 0 ||
                                      strcasecmp(file.c_str() + file.size() - 4, ".pfx") == 0);
    curl_easy_setopt(easy_, CURLOPT_SSLCERT, file.c_str());
    curl_easy_setopt(easy_, CURLOPT_SSLCERTTYPE, pkcs12 ? "P12" : "PEM");
    if (!pkcs12) curl_easy_setopt(easy_, CURLOPT_SSLKEY, file.c_str());
  }
  // An empty proxy string also keeps libcurl from the environment's proxies.
  curl_easy_setopt(easy_, CURLOPT_PROXY, spec.proxy.c_str());
  if (!spec.proxy.empty()) {
    if (!spec.noProxy.empty()) curl_easy_setopt(easy_, CURLOPT_NOPROXY, spec.noProxy.c_str());
    if (!spec.proxyUser.empty()) {
      curl_easy_setopt(easy_, CURLOPT_PROXYUSERNAME, spec.proxyUser.c_str());
      curl_easy_setopt(easy_, CURLOPT_PROXYPASSWORD, spec.proxyPassword.c_str());
      curl_easy_setopt(easy_, CURLOPT_PROXYAUTH, CurlAuthBits(spec.proxyScheme));
    }
  }
  if (!spec.login.empty()) {
    curl_easy_setopt(easy_, CURLOPT_USERNAME, spec.login.c_str());
    curl_easy_setopt(easy_, CURLOPT_PASSWORD, spec.password.c_str());
    curl_easy_setopt(easy_, CURLOPT_HTTPAUTH, CurlAuthBits(spec.serverScheme));
  }

  if (headerList_) curl_slist_free_all(headerList_);
  headerList_ = nullptr;
  for (const auto& [name, value] : spec.headers)
    headerList_ = curl_slist_append(headerList_, HeaderLine(name, value).c_str());
  // No accept types and no 100-continue pause: the request goes out as composed.
  headerList_ = curl_slist_append(headerList_, "Accept:");
  headerList_ = curl_slist_append(headerList_, "Expect:");
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headerList_);

  upload_ = spec.upload;
  if (spec.method == "HEAD") {
    curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
  } else if (spec.upload) {
    curl_easy_setopt(easy_, CURLOPT_UPLOAD, 1L);
    curl_off_t length = spec.upload->totalLength == kUnknownUploadLength
                            ? curl_off_t{-1}
                            : static_cast<curl_off_t>(spec.upload->totalLength);
    curl_easy_setopt(easy_, CURLOPT_INFILESIZE_LARGE, length);
    // Fewer, larger reads of the body.
    curl_easy_setopt(easy_, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(easy_, CURLOPT_READFUNCTION, &HttpTransport::OnUpload);
    curl_easy_setopt(easy_, CURLOPT_READDATA, this);
    curl_easy_setopt(easy_, CURLOPT_SEEKFUNCTION, &HttpTransport::OnSeek);
    curl_easy_setopt(easy_, CURLOPT_SEEKDATA, this);
    curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, spec.method.c_str());
  } else if (spec.body) {
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, spec.body->data());
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(spec.body->size()));
    curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, spec.method.c_str());
  } else {
    curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
    if (spec.method != "GET") curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, spec.method.c_str());
  }
}

DWORD HttpTransport::Send(const HttpRequestSpec& spec) {
  Close();
  if (!valid()) return ERROR_NOT_ENOUGH_MEMORY;
  Configure(spec);
  replyHeaders_.clear();
  pending_.clear();
  pendingOffset_ = 0;
  status_ = 0;
  bodyStarted_ = false;
  certificateRequested_ = false;
  done_ = false;
  result_ = CURLE_OK;
  errorBuffer_[0] = 0;
  if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
    done_ = true;
    return kWinHttpInternalError;
  }
  attached_ = true;
  // The final reply's headers are complete once body bytes flow or the
  // transfer ended (libcurl swallows the bodies of intermediate 401s itself).
  // An upload runs to its end: a server may answer 2xx before it read the
  // body, and closing at that answer would cut the body off unseen.
  DWORD error = Pump([this] { return bodyStarted_ && !upload_; });
  if (error) return error;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status_);
  if (status_ == 0) return kWinHttpInvalidServerResponse;
  return 0;
}

DWORD HttpTransport::Pump(const std::function<bool()>& enough) {
  HttpTransport* outer = driving;
  driving = this;
  struct Restore {
    HttpTransport* previous;
    ~Restore() { driving = previous; }
  } restore{outer};
  while (!done_ && !enough()) {
    int running = 0;
    CURLMcode mc = curl_multi_perform(multi_, &running);
    if (mc != CURLM_OK) {
      done_ = true;
      result_ = CURLE_OUT_OF_MEMORY;
      break;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_) {
        done_ = true;
        result_ = msg->data.result;
      }
    }
    if (done_ || enough()) break;
    bool cancellable = upload_ && upload_->cancelled;
    if (cancellable && upload_->cancelled->load()) {
      done_ = true;
      result_ = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    curl_multi_poll(multi_, nullptr, 0, cancellable ? 100 : 1000, nullptr);
  }
  return FinishResult();
}

DWORD HttpTransport::FinishResult() {
  if (!done_ || result_ == CURLE_OK) return 0;
  // A body cut short by the server after the headers arrived is still a failure.
  lastCurl_ = result_;
  long verify = 0;
  curl_easy_getinfo(easy_, CURLINFO_SSL_VERIFYRESULT, &verify);
  DWORD error = WinHttpErrorFromCurl(result_, verify, errorBuffer_);
  // However the refusal shows (an alert, a reset), a demanded certificate is the cause.
  if (certificateRequested_ && error != kWinHttpTimeout) return kWinHttpClientAuthCertNeeded;
  return error;
}

DWORD HttpTransport::Drain(const std::function<bool(const char*, size_t)>& sink) {
  // What arrived with the headers goes first.
  if (pending_.size() > pendingOffset_ && !sink(pending_.data() + pendingOffset_, pending_.size() - pendingOffset_))
    return 0;
  pending_.clear();
  pendingOffset_ = 0;
  sink_ = &sink;
  sinkRefused_ = false;
  DWORD error = Pump([this] { return sinkRefused_; });
  sink_ = nullptr;
  return sinkRefused_ ? 0 : error;
}

size_t HttpTransport::Available() {
  if (pending_.size() == pendingOffset_ && !done_) Pump([this] { return pending_.size() > pendingOffset_; });
  return pending_.size() - pendingOffset_;
}

DWORD HttpTransport::Read(char* buffer, size_t length, size_t* got) {
  *got = 0;
  DWORD error = Pump([&] { return pending_.size() - pendingOffset_ >= length; });
  size_t have = std::min(length, pending_.size() - pendingOffset_);
  if (have) std::memcpy(buffer, pending_.data() + pendingOffset_, have);
  pendingOffset_ += have;
  *got = have;
  if (pendingOffset_ == pending_.size()) {
    pending_.clear();
    pendingOffset_ = 0;
  } else if (pendingOffset_ > (1u << 20)) {
    pending_.erase(0, pendingOffset_);
    pendingOffset_ = 0;
  }
  return have == length ? 0 : error;
}

void HttpTransport::Close() {
  if (attached_) {
    curl_multi_remove_handle(multi_, easy_);
    attached_ = false;
  }
  done_ = true;
  upload_ = nullptr;
}

std::vector<std::string> HttpTransport::HeaderValues(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [key, value] : replyHeaders_)
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0)
      values.push_back(value);
  return values;
}

std::string HttpTransport::Header(std::string_view name) const {
  auto values = HeaderValues(name);
  return values.empty() ? std::string() : values.front();
}

bool HttpTransport::RangeStartsAt(uint64_t first) const {
  for (const std::string& value : HeaderValues("Content-Range")) {
    uint64_t named = 0;
    if (!ContentRangeFirstByte(value, named) || named != first) return false;
  }
  return true;
}

size_t HttpTransport::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<HttpTransport*>(self);
  std::string_view line(data, size * count);
  // Each status line starts a new reply (intermediate 100s and 401s).
  if (StartsWithNoCase(line, "HTTP/")) {
    t->replyHeaders_.clear();
    return size * count;
  }
  size_t colon = line.find(':');
  if (colon != std::string_view::npos)
    t->replyHeaders_.emplace_back(std::string(Trim(line.substr(0, colon))),
                                  std::string(Trim(line.substr(colon + 1))));
  return size * count;
}

size_t HttpTransport::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<HttpTransport*>(self);
  t->bodyStarted_ = true;
  if (t->sink_) {
    if (!(*t->sink_)(data, size * count)) {
      t->sinkRefused_ = true;
      return 0;  // ends the transfer
    }
    return size * count;
  }
  // An upload's reply is read whole while its body goes out; past a bound
  // its bytes are dropped, so a server cannot fill the memory with it.
  if (!t->upload_ || t->pending_.size() < kMaxUploadReplyBytes) t->pending_.append(data, size * count);
  return size * count;
}

size_t HttpTransport::OnUpload(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<HttpTransport*>(self);
  if (!t->upload_ || !t->upload_->read) return CURL_READFUNC_ABORT;
  long n = t->upload_->read(data, size * count);
  if (n < 0) return CURL_READFUNC_ABORT;
  return static_cast<size_t>(n);
}

int HttpTransport::OnSeek(void* self, curl_off_t offset, int origin) {
  auto* t = static_cast<HttpTransport*>(self);
  if (offset != 0 || origin != SEEK_SET || !t->upload_ || !t->upload_->rewind) return CURL_SEEKFUNC_CANTSEEK;
  return t->upload_->rewind() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

bool HasNonLoopbackInterface() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return true;  // unknown: assume connected
  bool found = false;
  for (ifaddrs* a = list; a && !found; a = a->ifa_next)
    found = (a->ifa_flags & IFF_UP) && (a->ifa_flags & IFF_RUNNING) && !(a->ifa_flags & IFF_LOOPBACK);
  freeifaddrs(list);
  return found;
}

namespace {
bool NoInterfaceUp() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool anyUp = false;
  for (ifaddrs* a = list; a && !anyUp; a = a->ifa_next) anyUp = (a->ifa_flags & IFF_UP) != 0;
  freeifaddrs(list);
  return !anyUp;
}
}  // namespace

bool NetworkIsDown() {
  // Every request asks; the interface list costs two netlink dumps, so the
  // answer is kept for a second.
  using Clock = std::chrono::steady_clock;
  static std::atomic<int64_t> checkedAt{0};  // 0: never asked
  static std::atomic<bool> down{false};
  int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                    Clock::now().time_since_epoch()).count();
  int64_t checked = checkedAt.load(std::memory_order_acquire);
  if (checked != 0 && now >= checked && now - checked < 1000) return down.load();
  down.store(NoInterfaceUp());
  checkedAt.store(now, std::memory_order_release);
  return down.load();
}

bool IsLoopbackHost(std::string_view host) {
  if (!host.empty() && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (strncasecmp(std::string(host).c_str(), "localhost", 10) == 0) return true;
  std::string text(host);
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

namespace {
// Reads the decimal digits at the front of text into value; false when there
// are none or the number does not fit.
bool TakeNumber(std::string_view& text, uint64_t& value) {
  size_t digits = 0;
  value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    uint64_t digit = static_cast<uint64_t>(text[digits] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
    ++digits;
  }
  text.remove_prefix(digits);
  return digits != 0;
}
}  // namespace

bool ContentRangeFirstByte(std::string_view value, uint64_t& first) {
  size_t b = value.find_first_not_of(" \t");
  value.remove_prefix(b == std::string_view::npos ? value.size() : b);
  if (value.size() < 6 || strncasecmp(value.data(), "bytes", 5) != 0 || (value[5] != ' ' && value[5] != '\t'))
    return false;
  value.remove_prefix(6);
  value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
  uint64_t last = 0;
  if (!TakeNumber(value, first) || value.empty() || value[0] != '-') return false;
  value.remove_prefix(1);
  if (!TakeNumber(value, last) || last < first || value.empty() || value[0] != '/') return false;
  value.remove_prefix(1);
  uint64_t length = 0;
  if (value.substr(0, 1) == "*") value.remove_prefix(1);
  else if (!TakeNumber(value, length) || last >= length) return false;
  return value.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace hvm
