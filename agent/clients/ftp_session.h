// One FTP control connection over a libcurl easy handle, kept open between
// requests. Paths are absolute server paths ("/home/u/a b.txt"); the session
// turns them into URLs itself. Results are 0 or a WinINet error code; the
// server's last reply (code and text) stays readable for error messages.
// A request on a reused connection that fails because the server dropped
// it is sent once more on a fresh connection.
#pragma once
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "agent/service/file_time.h"
#include "platform/win32.h"

namespace hvm {

// WinINet codes the FTP client reports.
inline constexpr DWORD kInetOutOfHandles = 12001;
inline constexpr DWORD kInetTimeout = 12002;
inline constexpr DWORD kInetExtendedError = 12003;  // the server refused; its reply tells why
inline constexpr DWORD kInetInternalError = 12004;
inline constexpr DWORD kInetInvalidUrl = 12005;
inline constexpr DWORD kInetNameNotResolved = 12007;
inline constexpr DWORD kInetLoginFailure = 12015;
inline constexpr DWORD kInetOperationCancelled = 12017;
inline constexpr DWORD kInetCannotConnect = 12029;
inline constexpr DWORD kInetConnectionAborted = 12030;
inline constexpr DWORD kInetConnectionReset = 12031;
inline constexpr DWORD kInetCertDateInvalid = 12037;
inline constexpr DWORD kInetCertCnInvalid = 12038;
inline constexpr DWORD kInetInvalidCa = 12045;
inline constexpr DWORD kInetFtpDropped = 12111;
inline constexpr DWORD kInetFtpNoPassiveMode = 12112;
inline constexpr DWORD kInetSecurityChannelError = 12157;
inline constexpr DWORD kInetInvalidCertificate = 12169;
// The client's own code (an application-defined Windows code): a folder
// listing longer than the client takes, in bytes or in names.
inline constexpr DWORD kFtpListingTooLong = 0x20000001;
// A listing's text beyond this fails: a hostile server cannot fill the memory.
inline constexpr size_t kMaxFtpListingBytes = 64u << 20;
// True for the codes of a server certificate that could not be verified.
inline bool IsCertificateError(DWORD code) {
  return code == 12037 || code == 12038 || code == 12045 || code == 12169;
}

// What a site's URL and values say about its server.
struct FtpEndpoint {
  bool implicitTls = false;   // ftps://: TLS from the first byte
  bool explicitTls = false;   // ftpes://: AUTH TLS on the plain port
  std::string host;           // as in a URL ("[::1]" for IPv6)
  int port = 21;
  std::string sitePath;       // the URL's path after the host, "" or "dir/sub"
  std::string login = "anonymous", password;
  long connectTimeoutMs = 30000, receiveTimeoutMs = 30000, sendTimeoutMs = 30000;
  bool passive = true;
  bool verifyCertificate = true;
};

// ftp://, ftps:// and ftpes:// URLs: host, port (a ":" and a decimal number,
// else 21 or 990) and the path. False when there is no host or a bad port.
bool ParseFtpUrl(std::u16string_view url, FtpEndpoint& endpoint);
// The login sent through an FTP proxy: "login@proxyUser@host" and "password@proxyPassword".
std::string ProxyLogin(std::string_view login, std::string_view proxyUser, std::string_view host);
std::string ProxyPassword(std::string_view password, std::string_view proxyPassword);
// A libcurl result and the FTP reply code as a WinINet code.
DWORD InetErrorFromCurl(CURLcode code, long replyCode, long verifyResult);
// Percent-encodes a path for an FTP URL (slashes kept).
std::string FtpUrlPath(std::string_view absolutePath);

class FtpSession {
 public:
  using Sink = std::function<bool(const char* data, size_t length)>;

  explicit FtpSession(const FtpEndpoint& endpoint);
  ~FtpSession();
  FtpSession(const FtpSession&) = delete;
  FtpSession& operator=(const FtpSession&) = delete;

  bool valid() const { return easy_ != nullptr; }
  // Logs in (a fresh connection when none is open) and learns the start directory.
  DWORD Connect(std::string& startDirectory);
  // The folder's listing text, with MLSD or LIST; kFtpListingTooLong past kMaxFtpListingBytes.
  DWORD List(const std::string& folder, bool mlsd, std::string& text);
  // The file's bytes from offset `from` to its end, or up to `to` (exclusive)
  // when to is not 0, handed to sink; a sink answering false stops the transfer.
  DWORD Download(const std::string& path, uint64_t from, uint64_t to, const Sink& sink);
  // Sends size - from bytes of fd from offset from: STOR when from is 0, APPE after it.
  // With stored given, the server's SIZE of the file follows on the same
  // request (kNoSizeKnown when it does not say). onlyIfFree: a SIZE on the
  // same request asks first whether the name is taken; when the server knows
  // a file of that name, nothing is sent, the answer is kInetExtendedError
  // and nameTaken() is true.
  DWORD Upload(const std::string& path, int fd, uint64_t from, uint64_t size,
               const std::function<void(uint64_t sent)>& progress, uint64_t* stored = nullptr,
               bool onlyIfFree = false);
  // Raw commands (DELE, RNFR + RNTO, MKD, RMD) in order; the first failure ends them.
  DWORD Commands(std::initializer_list<std::string> commands);
  // STOR of a body read from source until it returns 0 (-1 breaks the
  // transfer off); the size the server reports afterwards in *stored.
  // onlyIfFree as for Upload.
  DWORD UploadFrom(const std::string& path, const std::function<long(char* buffer, size_t length)>& source,
                   uint64_t* stored, bool onlyIfFree);
  // SIZE of a file; kNoSizeKnown when the server does not say.
  DWORD SizeOf(const std::string& path, uint64_t& size);
  // Ends the control connection (the next request makes a new one).
  void Disconnect();
  // Set from another thread: the running transfer stops with kInetOperationCancelled.
  void Cancel();

  long lastReply() const { return lastReply_; }
  // The server's last reply line ("550 No such file or directory.").
  const std::string& lastReplyText() const { return lastReplyText_; }
  bool connected() const { return connected_; }
  // The last upload with onlyIfFree found a file of its name on the server.
  bool nameTaken() const { return nameTaken_; }
  // The last upload with onlyIfFree found its name free: its STOR may have
  // made the file on the server since, even if the transfer never began.
  bool nameFoundFree() const { return nameFoundFree_; }

  static constexpr uint64_t kNoSizeKnown = ~uint64_t{0};

 private:
  void Reset(const std::string& url);
  // Performs the prepared request; once more on a fresh connection when a
  // reused one turned out dead; rewind prepares that attempt and may refuse it.
  DWORD Perform(const std::function<bool()>& rewind = {});
  // One transfer of the easy handle on the session's own multi handle.
  CURLcode RunTransfer();
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnWrite(char* data, size_t size, size_t count, void* self);
  static size_t OnDiscard(char* data, size_t size, size_t count, void* self);
  static size_t OnRead(char* data, size_t size, size_t count, void* self);
  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
  std::string UrlOf(const std::string& absolutePath) const;

  FtpEndpoint endpoint_;
  CURL* easy_ = nullptr;
  // Holds the control connection between requests; the transfer loop is ours
  // (see RunTransfer).
  CURLM* multi_ = nullptr;
  char error_[CURL_ERROR_SIZE] = {};
  std::string base_;               // "ftp://host:port"
  curl_slist* quote_ = nullptr;
  curl_slist* preQuote_ = nullptr;
  long lastReply_ = 0;
  std::string lastReplyText_;
  bool connected_ = false;
  std::atomic<bool> cancel_{false};
  // Stall detection of the running transfer.
  std::chrono::steady_clock::duration stallLimit_{};
  std::chrono::steady_clock::time_point lastMoved_{};
  curl_off_t moved_ = 0;
  bool stalled_ = false;
  // The current transfer's ends.
  const Sink* sink_ = nullptr;
  int uploadFd_ = -1;
  uint64_t uploadAt_ = 0, uploadEnd_ = 0;
  const std::function<void(uint64_t)>* uploadProgress_ = nullptr;
  const std::function<long(char*, size_t)>* uploadSource_ = nullptr;  // instead of uploadFd_
  // The size in the reply to a SIZE sent after an upload.
  bool awaitingSize_ = false;
  uint64_t replySize_ = kNoSizeKnown;
  // The upload's first SIZE asks whether the name is free; its answer comes
  // before the transfer's preliminary reply.
  bool checkingFree_ = false;
  bool nameTaken_ = false;
  bool nameFoundFree_ = false;
};

}  // namespace hvm
