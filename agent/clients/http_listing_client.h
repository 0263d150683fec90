// The client of http and https sites whose server offers files only through
// generated directory pages ("PropfindGet"): a WebDAV client that lists a
// folder by reading its HTML index page, learns what the page leaves out
// (exact sizes, times) with HEAD, and reads files with the WebDAV client's
// ranged GETs. Such a server takes no changes, so the drive is read-only:
// every change is refused before anything is sent.
#pragma once
#include <memory>
#include <string>
#include <string_view>

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

  // HEAD of one server path: 0 with the exact size (when the reply names one)
  // and the "Last-Modified" time (when parsable); else the HTTP status or error.
  int32_t ReadLastModified(std::u16string_view serverPath, IndexLine& facts);

 private:
  void LearnRangesFromHead(const std::string& acceptRanges);
  NTSTATUS RefreshFile(std::u16string_view serverPath, FileEntry* entry);
  // GET of the folder's page into text; 0, or the NTSTATUS the listing ends with.
  NTSTATUS ReadIndexPage(std::u16string_view folderUrl, std::string& page, std::string& charset);
  IndexPageScope ScopeOf(std::u16string_view folderUrl, std::string& origin, std::string& folderPath) const;
  NTSTATUS Refuse(ReplyArea& reply);

  IndexLanguage language_ = IndexLanguage::Unknown;
};

// The constructor the factory calls for "PropfindGet" sites.
std::unique_ptr<RemoteClient> MakeHttpListingClient(Connection& connection);
// Registers MakeHttpListingClient with the client factory (once at start-up).
void RegisterHttpListingClient();

}  // namespace hvm
