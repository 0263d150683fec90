// The client of ftp, ftps (TLS from the start) and ftpes (AUTH TLS) sites on
// libcurl. One control connection stays open between requests; large reads
// go through a reading job that fills a cache file on a connection of its
// own (ftp_reader.cpp); written files go back with STOR, resumed with APPE
// after a broken transfer (ftp_upload.cpp).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/clients/ftp_listing.h"
#include "agent/clients/ftp_session.h"
#include "agent/clients/remote_client.h"
#include "platform/ui.h"

namespace hvm {

struct FtpCacheSection;

// Reads of at least this many bytes go through the reading job.
inline constexpr uint64_t kFtpAsyncReadBytes = 65536;

class FtpClient : public RemoteClient {
 public:
  explicit FtpClient(Connection& connection);
  ~FtpClient() override;

  NTSTATUS Open() override;
  NTSTATUS CreateFile(FileEntry* entry, ReplyArea& reply) override;
  NTSTATUS CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t synchronous, uint32_t reserved) override;
  NTSTATUS ListDirectory(std::u16string_view serverPath, FileEntry* entry, const char16_t* name) override;
  NTSTATUS MakeDirectory(ReplyArea& reply) override;
  NTSTATUS Delete(FileEntry* entry, ReplyArea& reply) override;
  NTSTATUS Move(FileEntry* entry, ReplyArea& reply, FileEntry* targetDirectory,
                std::u16string_view destinationServerPath) override;
  NTSTATUS Get(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination,
               uint32_t reserved) override;
  NTSTATUS Write(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, const uint8_t* data,
                 NTSTATUS status) override;
  void ProgramWrote(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end) override;
  void LeavePath(FileEntry* entry) override;
  NTSTATUS Copy(FileEntry* entry, ReplyArea& reply, uint32_t reserved, std::u16string_view destinationServerPath,
                char16_t* resultText) override;
  NTSTATUS Lock(FileEntry* entry, ReplyArea& reply, uint32_t depth, char16_t* resultText) override;
  NTSTATUS BeginWrite(FileEntry* entry, ReplyArea& reply, uint32_t mode, char16_t* resultText) override;
  NTSTATUS Unlock(FileEntry* entry, ReplyArea& reply, uint32_t mode, char16_t* resultText) override;
  void DropLocalCopy(FileEntry* entry, ReplyArea& reply) override;
  void Shutdown() override;
  const char16_t* ErrorText(uint32_t code) override;
  int IsConnected() override;
  NTSTATUS Control(uint32_t code, FileEntry* entry, ReplyArea& reply, InternalRequest* answer,
                   uint32_t* information, const InternalRequest* request) override;
  // The person accepted the server's certificate: the next connection does not check it.
  void SetSecurityFlags(uint32_t flags) override;

  // 0, or the WinINet code of the failed log-in.
  DWORD Connect();
  // The absolute server path of a server path the service names (the site
  // URL followed by the path below the site); no trailing "/".
  std::string FtpPathOf(std::u16string_view serverPath) const;
  const std::string& baseDirectory() const { return baseDirectory_; }
  const FtpEndpoint& endpoint() const { return endpoint_; }
  // The WinINet code the client met last (0 when none).
  DWORD lastError() const { return lastError_; }
  // The end of what the entry's reading job has cached so far (0 without one).
  uint64_t CachedUpTo(FileEntry* entry);
  // The space the entry's read cache holds now (0 without one).
  uint64_t CacheFootprint(FileEntry* entry);

 private:
  // With the agent's proxy set: connect to it, the target host in the login.
  void ThroughProxy(FtpEndpoint& endpoint);
  NTSTATUS ListFolder(const std::string& folder, std::u16string_view cachePath, FileEntry* folderEntry,
                      FileEntry* mustStay);
  DWORD FetchListing(const std::string& folder, std::vector<FtpListedItem>& items);
  void MergeListing(std::u16string_view cachePath, FileEntry* folder, const std::vector<FtpListedItem>& items,
                    FileEntry* mustStay);
  NTSTATUS ReadDirect(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination);
  NTSTATUS ReadThroughCache(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
                            uint8_t* destination);
  bool ReadFromCache(FileEntry* entry, uint64_t start, uint64_t end, uint8_t* destination);
  void DropCache(FileEntry* entry);
  NTSTATUS UploadCopy(FileEntry* entry, int fd, uint64_t size, const std::string& path);
  // At close: the end of a STOR streamed while the program wrote
  // (ftp_streamed_stor.cpp). True when the server holds the size bytes.
  bool FinishStreamedStor(FileEntry* entry, uint64_t size);
  // onlyIfFree: the upload makes a new name and must not replace a file
  // another client made there meanwhile.
  DWORD UploadOnce(int fd, uint64_t size, const std::string& path, ProgressWindow* progress, FileEntry* entry,
                   bool onlyIfFree);
  // Remembers the failure, writes its text into the reply, and returns the status for the service.
  NTSTATUS Failed(DWORD error, ReplyArea* reply, NTSTATUS refusal);
  void ReportFailure(const char* step, DWORD error, std::u16string_view path);

  FtpEndpoint endpoint_;
  std::unique_ptr<FtpSession> session_;
  std::string baseDirectory_;      // absolute, ends with "/"
  std::u16string siteUrl_;         // the URL the service's server paths begin with
  enum class Mlsd : uint8_t { Unknown, Yes, No } mlsd_ = Mlsd::Unknown;
  bool opened_ = false;
  DWORD lastError_ = 0;
  std::string lastReplyText_;
};

// The constructor the factory calls for ftp, ftps and ftpes sites.
std::unique_ptr<RemoteClient> MakeFtpClient(Connection& connection);
void RegisterFtpClient();

}  // namespace hvm
