// Choosing and attaching a site's client.
#include <gtest/gtest.h>

#include "agent/clients/client_factory.h"
#include "agent/service/tests/fake_client.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

TEST(ClientFactory, ChoiceByScheme) {
  EXPECT_EQ(ChooseClientKind(u"FTP://host/", 0, false), ClientKind::Ftp);
  EXPECT_EQ(ChooseClientKind(u"ftps://host/", 0, false), ClientKind::Ftp);
  EXPECT_EQ(ChooseClientKind(u"FTPES://host/", 0, false), ClientKind::Ftp);
  EXPECT_EQ(ChooseClientKind(u"sftp://host/", 0, false), ClientKind::Sftp);
  EXPECT_EQ(ChooseClientKind(u"file:///srv", 0, true), ClientKind::File);
  EXPECT_EQ(ChooseClientKind(u"file:///srv", 0, false), ClientKind::None);
  EXPECT_EQ(ChooseClientKind(u"https://host/", 0, false), ClientKind::WebDav);
  EXPECT_EQ(ChooseClientKind(u"http://host/", kSitePropfindGet, false), ClientKind::HttpListing);
}

int gOpened = 0;
int gShutdowns = 0;

class CountingClient : public test::FakeClient {
 public:
  using FakeClient::FakeClient;
  NTSTATUS Open() override {
    ++gOpened;
    return openResult;
  }
  void Shutdown() override { ++gShutdowns; }
  static inline NTSTATUS openResult = STATUS_SUCCESS;
};

std::unique_ptr<RemoteClient> MakeCounting(Connection& c) { return std::make_unique<CountingClient>(c); }

TEST(ClientFactory, AttachKeepsReplacesAndReportsUnavailable) {
  SiteRecord site{};
  CopyWide(site.url, kSiteUrlChars, u"sftp://127.0.0.1/");
  site.ignoreCertificateWarning = 1;
  Connection c;
  c.site = &site;
  std::u16string reason;
  RegisterClientConstructor(ClientKind::Sftp, nullptr);
  EXPECT_NE(AttachClient(c, false, reason), STATUS_SUCCESS);
  EXPECT_FALSE(c.client);
  EXPECT_NE(reason.find(u"SftpClient"), std::u16string::npos);

  RegisterClientConstructor(ClientKind::WebDav, MakeCounting);
  RegisterClientConstructor(ClientKind::HttpListing, MakeCounting);
  CopyWide(site.url, kSiteUrlChars, u"https://127.0.0.1/");
  gOpened = gShutdowns = 0;
  ASSERT_EQ(AttachClient(c, false, reason), STATUS_SUCCESS);
  RemoteClient* first = c.client.get();
  EXPECT_EQ(first->securityFlags(), kIgnoreCertificateFlags);
  ASSERT_EQ(AttachClient(c, false, reason), STATUS_SUCCESS);  // same kind: kept
  EXPECT_EQ(c.client.get(), first);
  EXPECT_EQ(gShutdowns, 0);
  site.flags |= kSitePropfindGet;                              // kind changed: replaced
  ASSERT_EQ(AttachClient(c, false, reason), STATUS_SUCCESS);
  EXPECT_EQ(gShutdowns, 1);
  EXPECT_EQ(c.clientKind, ClientKind::HttpListing);
  CountingClient::openResult = STATUS_UNSUCCESSFUL;            // Open fails: no client left
  site.flags &= ~kSitePropfindGet;
  EXPECT_EQ(AttachClient(c, false, reason), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(c.client);
  EXPECT_FALSE(reason.empty());
  CountingClient::openResult = STATUS_SUCCESS;
  RegisterClientConstructor(ClientKind::WebDav, nullptr);
  RegisterClientConstructor(ClientKind::HttpListing, nullptr);
}

}  // namespace
}  // namespace hvm
