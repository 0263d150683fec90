// The client of http and https sites whose server offers files only through
// generated directory pages ("PropfindGet"): a WebDAV client that lists a
// folder by reading its HTML index page, learns what the page leaves out
// (exact sizes, times) with HEAD, and reads files with the WebDAV client's
// ranged GETs. Such a server takes no changes, so the drive is read-only:
// every change is refused before anything is sent.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/clients/http_index_page.h"
#include "agent/clients/webdav_client.h"

namespace hvm {

// The message a refused change leaves for the user.
inline constexpr std::u16string_view kReadOnlySiteText =
    u"This site is read-only: its server offers files through index pages only.";

class HttpListingClient : public WebDavClient {
 public:
  explicit HttpListingClient(Connection& connection);

  NTSTATUS ListDirectory(std::u16string_view serverPath, FileEntry* entry, const char16_t* name) override;
  NTSTATUS CreateFile(FileEntry* entry, ReplyArea& reply) override;
  NTSTATUS CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t synchronous,
                           uint32_t reserved) override;
  NTSTATUS MakeDirectory(ReplyArea& reply) override;
  NTSTATUS Delete(FileEntry* entry, ReplyArea& reply) override;
  NTSTATUS Move(FileEntry* entry, ReplyArea& reply, FileEntry* targetDirectory,
                std::u16string_view destinationServerPath) override;
  NTSTATUS Copy(FileEntry* entry, ReplyArea& reply, uint32_t reserved, std::u16string_view destinationServerPath,
                char16_t* resultText) override;
  NTSTATUS BeginWrite(FileEntry* entry, ReplyArea& reply, uint32_t mode, char16_t* resultText) override;
  NTSTATUS Control(uint32_t code, FileEntry* entry, ReplyArea& reply, InternalRequest* answer,
                   uint32_t* information, const InternalRequest* request) override;
  void Shutdown() override;

  // HEAD of one server path: 0 with the exact size (when the reply names one)
  // and the "Last-Modified" time (when parsable); else the HTTP status or error.
  int32_t ReadLastModified(std::u16string_view serverPath, IndexLine& facts);

 private:
  // What one HEAD answered, read on whichever connection sent it.
  struct HeadReply {
    int32_t status = -1;  // not sent (the client shut down first)
    std::string modified, length, ranges;
  };
  static HeadReply SendHead(WebDavClient& client, std::u16string_view serverPath);
  // ReadLastModified's result and facts from a reply.
  int32_t TakeHead(const HeadReply& reply, IndexLine& facts);
  // The HEADs of several paths, some at once; replies in the paths' order.
  std::vector<HeadReply> SendHeads(const std::vector<std::u16string>& serverPaths);
  void LearnRangesFromHead(const std::string& acceptRanges);
  NTSTATUS RefreshFile(std::u16string_view serverPath, FileEntry* entry);
  // GET of the folder's page into text; 0, or the NTSTATUS the listing ends with.
  NTSTATUS ReadIndexPage(std::u16string_view folderUrl, std::string& page, std::string& charset);
  IndexPageScope ScopeOf(std::u16string_view folderUrl, std::string& origin, std::string& folderPath) const;
  NTSTATUS Refuse(ReplyArea& reply);

  IndexLanguage language_ = IndexLanguage::Unknown;
  // Connections besides this client's own that send a listing's HEADs,
  // kept between listings.
  static constexpr size_t kHeadConnections = 4;
  std::vector<std::unique_ptr<WebDavClient>> headClients_;
  std::atomic<bool> stopHeads_{false};
};

// The constructor the factory calls for "PropfindGet" sites.
std::unique_ptr<RemoteClient> MakeHttpListingClient(Connection& connection);
// Registers MakeHttpListingClient with the client factory (once at start-up).
void RegisterHttpListingClient();

}  // namespace hvm
