// Shared pieces of the FTP integration tests: a site with its Connection and
// FtpClient against a server started on loopback, and the steps the request
// service takes around the client (listing, reading, writing a local copy).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "agent/clients/ftp_client.h"
#include "tests/integration/webdav_test_support.h"

namespace hvm::test {

struct FtpTestSite {
  // url: the site's address; opens the client (open is the result).
  FtpTestSite(const std::string& url, const std::string& login = "", const std::string& password = "",
              bool ignoreCertificate = false, bool passive = true);
  ~FtpTestSite();
  std::u16string CachePath(std::u16string_view below) const;
  ReplyArea Reply(std::u16string_view below) const;
  FileEntry* Entry(std::u16string_view below) const;
  // Lists the folder below the site ("" = root); the folder's entry.
  FileEntry* List(std::u16string_view below = u"", NTSTATUS* status = nullptr);
  NTSTATUS Read(FileEntry* entry, uint64_t start, uint64_t end, std::vector<uint8_t>& out);
  // Reads the whole file in pieces of piece bytes.
  NTSTATUS ReadAll(FileEntry* entry, size_t piece, std::vector<uint8_t>& out);
  // Writes data as the file's new contents through a local copy and the
  // close, as the service does after a write.
  NTSTATUS Upload(std::u16string_view below, const std::vector<uint8_t>& data);

  SiteRecord record{};
  Connection connection;
  FtpClient* client = nullptr;  // owned by the connection
  NTSTATUS open = 0;
};

// Runs the server script for one suite; every test starts from an empty data folder.
class FtpSuite : public ::testing::Test {
 protected:
  static void StartServer(const std::string& script, const std::string& options);
  static void StopServer();
  void SetUp() override;
  void TearDown() override;
  std::string Data(const std::string& name) const;
  std::string Url(const std::string& scheme = "ftp", const std::string& path = "/") const;

  static ServerScript* server_;
  RecordingUi ui_;
};

}  // namespace hvm::test
