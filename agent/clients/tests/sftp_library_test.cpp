// Without libssh an SFTP site cannot connect, and says why.
#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/clients/sftp_client.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr NTSTATUS kGeneralFailure = static_cast<NTSTATUS>(0xC0000001);

// The library is bound once per process: the case runs in a fresh one.
TEST(SftpLibraryDeathTest, AMissingLibraryFailsTheConnectionWithItsText) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("HALVENMOOR_LIBSSH", "/nonexistent/libssh.so.4", 1);
        SiteRecord record{};
        CopyWide(record.name, kSiteNameChars, u"site1");
        CopyWide(record.url, kSiteUrlChars, u"sftp://127.0.0.1:1/data/");
        Connection connection;
        connection.site = &record;
        SftpClient client(connection);
        bool opened = client.Open() == STATUS_SUCCESS;
        bool failed = client.Connect(true) == kGeneralFailure;
        bool told = std::u16string(client.ErrorText(0)) == u"Open libssh[.dll] (or OpenSSL libraries) missing.";
        std::exit(opened && failed && told && client.IsConnected() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(SftpLibrary, AnAddressThatIsNoSftpAddressIsRefusedBeforeAnyConnection) {
  SiteRecord record{};
  CopyWide(record.url, kSiteUrlChars, u"sftp://");
  Connection connection;
  connection.site = &record;
  SftpClient client(connection);
  EXPECT_EQ(client.Connect(true), static_cast<NTSTATUS>(0xC000009A));
  CopyWide(record.url, kSiteUrlChars, u"sftp://host:99999/");
  EXPECT_EQ(client.Connect(true), static_cast<NTSTATUS>(0xC000009A));
  EXPECT_EQ(client.IsConnected(), 0);
}

}  // namespace
}  // namespace hvm
