// One HTTP exchange at a time over a libcurl easy handle that keeps its
// connections between requests. The caller composes a request, sends it,
// learns the status, then pulls the reply body in pieces as it needs them
// (the transfer only advances while the caller reads, so memory stays bounded
// however large the reply). Failures come back as WinHTTP error codes.
#pragma once
#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace hvm {

// The transport follows no redirect: an answer outside 2xx, a 3xx too, means
// the server did not do what was asked (a PUT answered 302 stored nothing).
inline bool IsSuccessStatus(int32_t status) { return status >= 200 && status < 300; }

// WinHTTP error codes that the error texts know.
inline constexpr DWORD kWinHttpTimeout = 12002;
inline constexpr DWORD kWinHttpInternalError = 12004;
inline constexpr DWORD kWinHttpInvalidUrl = 12005;
inline constexpr DWORD kWinHttpUnrecognizedScheme = 12006;
inline constexpr DWORD kWinHttpNameNotResolved = 12007;
inline constexpr DWORD kWinHttpOperationCancelled = 12017;
inline constexpr DWORD kWinHttpCannotConnect = 12029;
inline constexpr DWORD kWinHttpConnectionError = 12030;
inline constexpr DWORD kWinHttpResendRequest = 12032;
inline constexpr DWORD kWinHttpCertDateInvalid = 12037;
inline constexpr DWORD kWinHttpCertCnInvalid = 12038;
inline constexpr DWORD kWinHttpClientAuthCertNeeded = 12044;
inline constexpr DWORD kWinHttpInvalidCa = 12045;
inline constexpr DWORD kWinHttpInvalidServerResponse = 12152;
inline constexpr DWORD kWinHttpRedirectFailed = 12156;
inline constexpr DWORD kWinHttpSecureInvalidCert = 12169;
inline constexpr DWORD kWinHttpSecureFailure = 12175;
inline constexpr DWORD kNoConnectivity = 1000;
inline constexpr DWORD kNetworkDown = 0x800C0003;

// Translates a libcurl failure into the WinHTTP code of the same meaning.
// verifyResult is the TLS library's certificate verdict (CURLINFO_SSL_VERIFYRESULT),
// errorText curl's error buffer; both refine certificate and TLS failures.
DWORD WinHttpErrorFromCurl(CURLcode code, long verifyResult, std::string_view errorText);

// Authentication schemes in the order of preference after a 401 or 407.
enum class AuthScheme : uint8_t { Basic, Negotiate, Ntlm, Digest, None };
// The first preferred scheme among the challenge lines ("WWW-Authenticate" values).
AuthScheme ChooseAuthScheme(const std::vector<std::string>& challenges);

// A body whose length is not known when it starts (sent in chunks).
inline constexpr uint64_t kUnknownUploadLength = ~uint64_t{0};

// The reading end of a streamed request body (PUT of a local copy).
struct UploadSource {
  // Fills up to length bytes; returns the count, 0 at the end, -1 on failure.
  std::function<long(char* buffer, size_t length)> read;
  // Back to the start for a resend; false when impossible.
  std::function<bool()> rewind;
  uint64_t totalLength = 0;
  // When given and set, the transfer ends at once (its server may have
  // stopped reading, so the reading end is never asked again).
  const std::atomic<bool>* cancelled = nullptr;
};

// Everything one request needs.
struct HttpRequestSpec {
  std::string method;
  std::string url;                        // full, encoded
  std::vector<std::pair<std::string, std::string>> headers;  // in order, coalesced
  const std::string* body = nullptr;      // sent as it is when given
  UploadSource* upload = nullptr;         // streamed body instead
  long connectTimeoutMs = 60000;          // resolve + connect
  long lowSpeedSeconds = 60;              // send / receive stall limit
  bool verifyCertificates = true;
  std::string clientCertificate;          // PEM or PKCS#12 file; empty = none
  std::string login, password;            // server credentials; login empty = none
  AuthScheme serverScheme = AuthScheme::Basic;
  std::string proxy;                      // "host:port" or "scheme://host:port"; empty = none
  std::string noProxy;                    // libcurl's list form
  std::string proxyUser, proxyPassword;
  AuthScheme proxyScheme = AuthScheme::Basic;
};

class HttpTransport {
 public:
  HttpTransport();
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  bool valid() const { return easy_ != nullptr && multi_ != nullptr; }

  // Sends the request and waits for the final reply's headers. Returns 0 with
  // status() set, or a WinHTTP error code. Any earlier exchange is closed first.
  DWORD Send(const HttpRequestSpec& spec);
  long status() const { return status_; }
  // All values of a reply header, case-insensitive name, in arrival order.
  std::vector<std::string> HeaderValues(std::string_view name) const;
  // The first value, or empty.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const { return !HeaderValues(name).empty(); }
  // False when the reply's "Content-Range" is unreadable or names bytes that
  // start elsewhere than at first: a proxy or server that answers a range
  // with other bytes must not have them taken for the ones asked for. True
  // when it names none.
  bool RangeStartsAt(uint64_t first) const;

  // Reads up to length bytes of the body into buffer; *got = bytes delivered.
  // Returns 0 (a short count means the body ended) or a WinHTTP error code.
  DWORD Read(char* buffer, size_t length, size_t* got);
  // How many body bytes are buffered now, after letting the transfer advance
  // once (0 with finished() means the body ended).
  size_t Available();
  bool finished() const { return done_; }
  // Hands the rest of the body straight to sink as it arrives (no copy kept);
  // the sink returns false to stop. Returns 0 or a WinHTTP error code.
  DWORD Drain(const std::function<bool(const char* data, size_t length)>& sink);
  // Ends the exchange; an unfinished transfer drops its connection.
  void Close();

  // The server asked for a client certificate during this exchange.
  void NoteCertificateRequested() { certificateRequested_ = true; }
  // Raw libcurl code of the last failure, for the debug log.
  CURLcode lastCurlCode() const { return lastCurl_; }
  const char* lastCurlText() const { return errorBuffer_; }

 private:
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static size_t OnUpload(char* data, size_t size, size_t count, void* self);
  static int OnSeek(void* self, curl_off_t offset, int origin);
  void Configure(const HttpRequestSpec& spec);
  // Lets the transfer run until the predicate holds or it ends; error code.
  DWORD Pump(const std::function<bool()>& enough);
  DWORD FinishResult();

  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;
  curl_slist* headerList_ = nullptr;
  bool attached_ = false;
  bool done_ = true;
  bool bodyStarted_ = false;
  bool certificateRequested_ = false;
  CURLcode result_ = CURLE_OK;
  CURLcode lastCurl_ = CURLE_OK;
  long status_ = 0;
  UploadSource* upload_ = nullptr;
  std::vector<std::pair<std::string, std::string>> replyHeaders_;
  const std::function<bool(const char*, size_t)>* sink_ = nullptr;
  bool sinkRefused_ = false;
  std::string pending_;
  size_t pendingOffset_ = 0;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
};

// True when some interface other than loopback is up.
bool HasNonLoopbackInterface();
// True when no interface at all is up.
bool NetworkIsDown();
// The first byte of a "Content-Range" value "bytes first-last/length" (length
// may be "*"); false when the value has another form.
bool ContentRangeFirstByte(std::string_view value, uint64_t& first);
// True for "localhost", 127.0.0.0/8 and ::1.
bool IsLoopbackHost(std::string_view host);

// "Name: value" for the request; a line break or other control character in
// the value (a URL made of a file name) becomes a blank, so that no value can
// end its header early or add one.
std::string HeaderLine(std::string_view name, std::string_view value);

}  // namespace hvm
