// The FTP client against vsftpd: a real server that lists with LIST only,
// in passive and active mode, and with explicit (AUTH TLS) and implicit TLS.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "agent/service/ntstatus.h"
#include "tests/integration/ftp_test_support.h"

namespace hvm::test {
namespace {

// vsftpd runs only as root; without it these tests have nothing to talk to.
#define SKIP_WITHOUT_ROOT()                                          \
  if (geteuid() != 0) GTEST_SKIP() << "vsftpd needs root";

class VsftpdPlain : public FtpSuite {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() == 0) StartServer("vsftpd_ftp.sh", "plain");
  }
  static void TearDownTestSuite() { StopServer(); }
  void SetUp() override {
    SKIP_WITHOUT_ROOT();
    FtpSuite::SetUp();
  }
  // Files written by the test belong to root; vsftpd's anonymous user must read them.
  void Put(const std::string& name, const std::vector<uint8_t>& data) {
    WriteFile(Data(name), data);
    chmod(Data(name).c_str(), 0644);
  }
};


TEST_F(VsftpdPlain, ListsReadsAndWritesInPassiveMode) {
  std::vector<uint8_t> data = Pattern(2 * 1024 * 1024 + 77);
  Put("Grüße aus Köln.bin", data);
  FtpTestSite site(Url("ftp", "/data/"));
  ASSERT_EQ(site.open, STATUS_SUCCESS);
  EXPECT_EQ(site.client->baseDirectory(), "/data/");
  NTSTATUS status = 1;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  FileEntry* entry = site.Entry(u"\\Grüße aus Köln.bin");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->size, data.size());
  std::vector<uint8_t> out;
  ASSERT_EQ(site.ReadAll(entry, 65536, out), STATUS_SUCCESS);
  EXPECT_EQ(out, data);
  ASSERT_EQ(site.Upload(u"\\up load.txt", Pattern(999)), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("up load.txt")), Pattern(999));
}

TEST_F(VsftpdPlain, ActiveModeWhenTheSiteSaysSo) {
  Put("a.txt", Pattern(5000));
  FtpTestSite site(Url("ftp", "/data/"), "", "", false, false);
  ASSERT_EQ(site.open, STATUS_SUCCESS);
  site.List();
  FileEntry* entry = site.Entry(u"\\a.txt");
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> out;
  ASSERT_EQ(site.Read(entry, 0, 5000, out), STATUS_SUCCESS);
  EXPECT_EQ(out, Pattern(5000));
  std::ifstream log(server_->state() + "/vsftpd.log");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\"EPRT"), std::string::npos);
}

TEST_F(VsftpdPlain, ADeniedUserFailsTheLogIn) {
  FtpTestSite site(Url("ftp", "/data/"), "somebody", "password");
  EXPECT_EQ(site.open, kInetLoginFailure);
}

class VsftpdTls : public FtpSuite, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_ROOT();
    StartServer("vsftpd_ftp.sh", GetParam());
    FtpSuite::SetUp();
  }
  void TearDown() override {
    FtpSuite::TearDown();
    StopServer();
  }
  std::string Scheme() const { return std::string(GetParam()) == "implicit" ? "ftps" : "ftpes"; }
};

TEST_P(VsftpdTls, AnAcceptedCertificateCarriesEveryTransfer) {
  WriteFile(Data("secret.txt"), Pattern(300000));
  chmod(Data("secret.txt").c_str(), 0644);
  FtpTestSite site(Url(Scheme(), "/data/"), "", "", true);
  ASSERT_EQ(site.open, STATUS_SUCCESS);
  site.List();
  FileEntry* entry = site.Entry(u"\\secret.txt");
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> out;
  ASSERT_EQ(site.ReadAll(entry, 65536, out), STATUS_SUCCESS);
  EXPECT_EQ(out, Pattern(300000));
  ASSERT_EQ(site.Upload(u"\\back.txt", Pattern(70000)), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("back.txt")), Pattern(70000));
}

TEST_P(VsftpdTls, AnUnknownCertificateIsAskedAboutNotIgnored) {
  FtpTestSite site(Url(Scheme(), "/data/"));
  // Open leaves the decision to the connection test, which names the failure.
  ASSERT_EQ(site.open, STATUS_SUCCESS);
  InternalRequest answer{};
  ReplyArea reply;
  EXPECT_NE(site.client->Control(kControlQuota, nullptr, reply, &answer, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(answer.result, 12175u);
  EXPECT_EQ(std::u16string(site.client->ErrorText(12175)),
            u"The function is unfamiliar with the Certificate Authority that generated the server's certificate. ");
  // Accepted by the person: the next test connects.
  site.client->SetSecurityFlags(kIgnoreCertificateFlags);
  answer.result = 0;
  EXPECT_EQ(site.client->Control(kControlQuota, nullptr, reply, &answer, nullptr, nullptr), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Modes, VsftpdTls, ::testing::Values("explicit", "implicit"));

}  // namespace
}  // namespace hvm::test
