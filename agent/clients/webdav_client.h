// The WebDAV client of http and https sites: every server operation goes
// through PerformRequest, which composes method, headers and body from a
// one-letter request kind and runs the send loop over the HTTP transport.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "agent/clients/remote_client.h"
#include "agent/clients/webdav_multistatus.h"
#include "agent/clients/webdav_transport.h"

namespace hvm {

struct ReadAheadSection;

// Results of PerformRequest besides HTTP statuses and WinHTTP codes.
inline constexpr int32_t kRequestNotSent = 0;
// Request results from here on are transport errors, not HTTP statuses.
inline constexpr int32_t kFirstTransportError = 1000;

// Site flags the client reads and sets.
inline constexpr uint32_t kSiteLockingOff = 0x01;     // no lock discovery, no UNLOCK
inline constexpr uint32_t kSitePlainProperties = 0x02;  // the server keeps no dead properties

// Entry flags of uploads.
inline constexpr uint32_t kEntryUploadKeepsLock = 0x0008;  // upload without unlocking first
inline constexpr uint32_t kEntryExcelFirstClose = 0x1000;  // the first close of a workbook was ignored
inline constexpr uint32_t kEntryTimesPending = 0x2000;     // PROPPATCH of the times still due

// Read sizes and thresholds.
// The largest body read in one call: a whole wide piece, read straight into
// the reply area.
inline constexpr size_t kMaxReplyRead = kWidePieceSize;
// Listings and other texts are read in pieces of this size on the stack.
inline constexpr size_t kReplyTextPiece = 65536;
inline constexpr size_t kReadAheadBytes = 3145728;
inline constexpr uint64_t kReadAheadMinSize = 512001;
inline constexpr uint64_t kProgressMinSize = 512001;
inline constexpr size_t kUploadPieceBytes = 131072;

// Facts about the site that a client and its clones share.
struct WebDavSiteFacts {
  std::mutex lock;
  std::u16string banner;             // "Server" of the first reply, at most 79 characters
  bool sharePoint = false;
  std::string cookie;                // first "Set-Cookie" name=value, at most 259 characters
  AuthScheme serverScheme = AuthScheme::Basic;
  AuthScheme proxyScheme = AuthScheme::Basic;
  std::string clientCertificate;     // chosen once through the Ui
  bool autoProxyFailed = false;      // never looked up again for this site
  // The last automatic answer: for which origin ("http://host:port"), the
  // proxy in libcurl's form (empty: direct), and when it was asked.
  std::string autoProxyOrigin;
  std::string autoProxy;
  std::chrono::steady_clock::time_point autoProxyTime;
};

// The agent's proxy settings (the settings dialog fills them).
struct WebDavProxySettings {
  bool enabled = false;
  bool direct = false;               // "no proxy": neither the configured nor the automatic one
  std::u16string host;
  uint32_t port = 0;
  std::u16string bypass;             // ";"- or blank-separated, "<local>" allowed
  std::u16string user, password;
};
void SetWebDavProxySettings(const WebDavProxySettings& settings);
WebDavProxySettings GetWebDavProxySettings();

// Request kind letters.
const char* MethodOfKind(char kind);  // null for G, J, Q and letters outside A..W

// A created name whose file the server has not got yet: its first PUT must
// not replace what another client made there meanwhile.
inline bool IsUnsentNewFile(const FileEntry& entry) {
  return (entry.flags & kEntryCreatePending) && (entry.flags & kEntryMustBeNew);
}

// What the answer to a successful PUT said of the file (empty: not said).
struct UploadReply {
  std::string lastModified;
  std::string date;
  bool quick = false;  // the PUT took under a second
};

class WebDavClient : public RemoteClient {
 public:
  explicit WebDavClient(Connection& connection);
  ~WebDavClient() override;

  NTSTATUS Open() override;
  NTSTATUS CreateFile(FileEntry* entry, ReplyArea& reply) override;
  NTSTATUS CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t synchronous,
                           uint32_t reserved) override;
  NTSTATUS ListDirectory(std::u16string_view serverPath, FileEntry* entry, const char16_t* name) override;
  NTSTATUS MakeDirectory(ReplyArea& reply) override;
  NTSTATUS Delete(FileEntry* entry, ReplyArea& reply) override;
  NTSTATUS Move(FileEntry* entry, ReplyArea& reply, FileEntry* targetDirectory,
                std::u16string_view destinationServerPath) override;
  NTSTATUS Get(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination,
               uint32_t reserved) override;
  NTSTATUS Write(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, const uint8_t* data,
                 NTSTATUS status) override;
  NTSTATUS Copy(FileEntry* entry, ReplyArea& reply, uint32_t reserved, std::u16string_view destinationServerPath,
                char16_t* resultText) override;
  NTSTATUS CopyToNewFile(FileEntry* source, ReplyArea& reply, FileEntry* destination,
                         std::u16string_view destinationServerPath) override;
  NTSTATUS Lock(FileEntry* entry, ReplyArea& reply, uint32_t depth, char16_t* resultText) override;
  NTSTATUS BeginWrite(FileEntry* entry, ReplyArea& reply, uint32_t mode, char16_t* resultText) override;
  NTSTATUS Unlock(FileEntry* entry, ReplyArea& reply, uint32_t mode, char16_t* resultText) override;
  void DropLocalCopy(FileEntry* entry, ReplyArea& reply) override;
  bool CarriesPath(std::u16string_view serverPath) const override;
  void Shutdown() override;
  const char16_t* ErrorText(uint32_t code) override;
  int IsConnected() override;
  NTSTATUS Control(uint32_t code, FileEntry* entry, ReplyArea& reply, InternalRequest* answer,
                   uint32_t* information, const InternalRequest* request) override;
  NTSTATUS GetChecked(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination,
                      uint32_t reserved) override;
  void ProgramWrote(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end) override;
  void LeavePath(FileEntry* entry) override;

  // ---- transport (webdav_request.cpp, webdav_send_loop.cpp)

  // kind: the request letter; path and destinationPath relative to the site
  // or whole URLs; body: the XML text or null; start/end: GET range (end
  // exclusive), or for PUT a non-zero start = the body is streamed later.
  int32_t PerformRequest(char kind, FileEntry* entry, std::u16string_view path, FileEntry* destinationEntry,
                         std::u16string_view destinationPath, const std::string* body, uint64_t start,
                         uint64_t end, const char16_t* label);
  // Sends the prepared request (a streamed upload passes its source); the
  // status, or the error the loop ended with.
  int32_t SendPrepared(UploadSource* upload);
  // At most kMaxReplyRead bytes; the count must equal length. 0 or an NTSTATUS.
  NTSTATUS ReadReplyBody(uint8_t* buffer, size_t length, size_t* got);
  // The whole body as text (up to the multistatus limit). 0 or a WinHTTP code.
  DWORD ReadReplyText(std::string& text);
  // The body piece by piece as it arrives, with the same limit. 0 or a WinHTTP code.
  DWORD ReadReplyPieces(const std::function<void(const char*, size_t)>& take);
  void CloseRequest();
  // A copy for a background job: same site, certificate, credentials,
  // proxy, security flags and server facts, its own connection.
  std::unique_ptr<WebDavClient> Clone() const;

  HttpTransport& transport() { return transport_; }
  int32_t lastStatus() const { return lastStatus_; }
  std::u16string Banner() const;
  bool BannerContains(std::u16string_view text) const;
  bool IsSharePoint() const;
  bool quiet() const { return quiet_; }
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  // The site URL's host and the path part ("/dav"), decoded.
  const std::string& host() const { return host_; }
  std::u16string SitePath() const;
  // Whole URL of a server path or a path relative to the site.
  std::u16string UrlOf(std::u16string_view path) const;
  // Logs "** site method status=... file text" with the code's error text.
  void ReportFailure(const char* method, int32_t status, std::u16string_view path);
  // Uploads a local copy (fd, size bytes) with PUT, retries, asks, keeps a
  // backup on failure, then writes the times. Runs on the calling thread.
  NTSTATUS UploadCopy(FileEntry* entry, int fd, uint64_t size, std::u16string_view serverPath);
  // Shows a message box through the Ui.
  int Ask(std::u16string_view text, std::u16string_view caption, DWORD style);

 protected:
  // Brings the cache in line with a listing of the folder at folderCachePath:
  // children are created or refreshed, the folder's own item (empty name)
  // sets its times, children no longer named are dropped unless in use.
  NTSTATUS ApplyListing(std::u16string_view folderCachePath, FileEntry* folder,
                        const std::vector<ListedItem>& items);
  void SetReplyMessage(ReplyArea& reply, uint32_t code);

  // While set, a GET asks for an HTML page rather than a file: it carries
  // pageHeaders_ (instead of the XML content type), and its reply teaches
  // nothing about byte ranges.
  bool pageRequest_ = false;
  std::vector<std::pair<std::string, std::string>> pageHeaders_;
  bool quiet_ = true;

 private:
  void AddHeader(const char* name, std::string_view value, std::u16string_view wideValue = {});
  void AddCommonHeaders();
  void AddKindHeaders(char kind, FileEntry* entry, FileEntry* destinationEntry, bool standardListing,
                      const std::string& destination, uint64_t start, uint64_t end);
  void AddLockHeaders(char kind, FileEntry* entry, FileEntry* destinationEntry, const std::string& destination);
  void ApplyTimeouts(FileEntry* entry);
  // Sets the request's proxy (spec_.url must be set).
  bool ApplyProxy();
  void LearnServer();
  void LearnRangeSupport();
  NTSTATUS ParseListing(std::u16string_view folderCachePath, FileEntry* folder);
  void ReportUnlisted(std::u16string_view folderCachePath, size_t count);
  NTSTATUS HeadRefresh(std::u16string_view serverPath, FileEntry* entry);
  NTSTATUS TakeLock(FileEntry* entry, ReplyArea& reply, char16_t* resultText);
  NTSTATUS VersionReport(FileEntry* entry, ReplyArea& reply, InternalRequest* answer);
  NTSTATUS PutEmpty(FileEntry* entry, std::u16string_view serverPath, ReplyArea& reply);
  // After a successful PUT: the times as properties when they must be kept,
  // and the entry brought up to date from the reply (or a listing of it).
  void FinishUpload(FileEntry* entry, uint64_t size, std::u16string_view serverPath, const UploadReply& answer);
  // PROPPATCH of the entry's times; true when the server stored them.
  bool PatchTimes(FileEntry* entry, std::u16string_view serverPath);
  void StoreSetTimes(FileEntry* entry, std::u16string_view serverPath);
  // The PROPPATCH of a new file's times (tar sets them before it closes the
  // file) on a connection of its own,
  // while the close returns and the next request goes on (the times were a
  // program's, answered when it set them; the upload is what the close
  // reports). False when it must go the ordinary way: a lock of ours on the
  // file, or a copy of the client working for a background job.
  bool SendTimesBehind(FileEntry* entry, std::u16string_view serverPath);
  // Waits for times sent behind and takes their result into the entry: every
  // request but the PUT of a new file waits so, and so do the end of the
  // client and the next times. A refused PROPPATCH leaves the times set, so
  // that the next cleanup of the file sends them again.
  void SettleTimes();
  void RefreshAfterUpload(std::u16string_view serverPath, FileEntry* entry);
  // A PUT of the local copy while the program writes it (webdav_streamed_put.cpp).
  void StartStreamedPut(FileEntry* entry, std::u16string_view serverPath, uint64_t written);
  // At close: the streamed PUT's end. True when the server holds the copy of size bytes.
  bool FinishStreamedPut(FileEntry* entry, uint64_t size, std::u16string_view serverPath, bool synchronous);
  NTSTATUS ReadFromCompleteCopy(FileEntry* entry, uint64_t start, uint64_t end, uint8_t* destination, bool* done);
  NTSTATUS ReadWithoutRanges(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination);
  NTSTATUS ReadWithRanges(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination);
  ReadAheadSection* NewReadAhead(FileEntry* entry, std::u16string_view serverPath);
  // Starts filling the block after this one once the reader is in it.
  void PrefetchAfter(FileEntry* entry, ReadAheadSection* block, std::vector<ReadAheadSection*>& blocks,
                     std::u16string_view serverPath);
  NTSTATUS DirectRangedGet(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination,
                           bool checkSize);
  std::u16string CachePathOfServer(std::u16string_view serverPath) const;

  std::shared_ptr<WebDavSiteFacts> facts_;
  HttpTransport transport_;
  HttpRequestSpec spec_;           // the request being composed
  bool opened_ = false;
  bool shutDown_ = false;
  std::set<std::u16string> unlistedReported_;  // folders whose hidden entries were logged
  int32_t lastStatus_ = 0;
  std::string host_;
  std::u16string siteUrl_;         // the site URL as configured, with a trailing "/"
  std::mutex requestLock_;         // closing the request may come from a job thread
  // Times sent behind (SendTimesBehind), each on a connection of its own: a
  // server that makes every PROPPATCH durable before it answers takes several
  // at once in about the time of one (Apache on loopback here: 12 ms for one,
  // 2.4 ms a file four at a time, 1.7 ms eight at a time, 2.2 ms sixteen).
  static constexpr size_t kTimesConnections = 8;
  struct TimesJob {
    std::unique_ptr<WebDavClient> client;
    std::thread thread;
    std::u16string path;   // the entry's path in the cache (the entry may go meanwhile)
    FileTime written = 0;  // the time the PROPPATCH carries
    int32_t status = 0;
    uint64_t started = 0;
  };
  void FinishTimes(TimesJob& job);
  // What a finished PROPPATCH of the times means for the entry.
  void JudgeTimes(TimesJob& job);
  std::vector<std::unique_ptr<TimesJob>> timesJobs_;
  std::recursive_mutex timesLock_;
  uint64_t timesStarted_ = 0;
};

// The constructor the factory calls for WebDAV sites.
std::unique_ptr<RemoteClient> MakeWebDavClient(Connection& connection);
// Registers MakeWebDavClient with the client factory (once at start-up).
void RegisterWebDavClient();

}  // namespace hvm
