#include <gtest/gtest.h>

#include "agent/clients/ftp_error_text.h"
#include "agent/clients/ftp_session.h"

namespace hvm {
namespace {

TEST(FtpUrl, SchemesPortsAndPaths) {
  FtpEndpoint e;
  ASSERT_TRUE(ParseFtpUrl(u"ftp://files.example.org/pub/dir/", e));
  EXPECT_EQ(e.host, "files.example.org");
  EXPECT_EQ(e.port, 21);
  EXPECT_EQ(e.sitePath, "pub/dir");
  EXPECT_FALSE(e.implicitTls || e.explicitTls);

  ASSERT_TRUE(ParseFtpUrl(u"FTPS://127.0.0.1", e));
  EXPECT_TRUE(e.implicitTls);
  EXPECT_EQ(e.port, 990);
  EXPECT_EQ(e.sitePath, "");

  ASSERT_TRUE(ParseFtpUrl(u"ftpes://[::1]:2121/a\\b", e));
  EXPECT_TRUE(e.explicitTls);
  EXPECT_EQ(e.host, "[::1]");
  EXPECT_EQ(e.port, 2121);
  EXPECT_EQ(e.sitePath, "a/b");

  ASSERT_TRUE(ParseFtpUrl(u"ftp://h:21/Grüße", e));
  EXPECT_EQ(e.sitePath, "Grüße");
}

TEST(FtpUrl, RefusesBrokenAddresses) {
  FtpEndpoint e;
  for (const char16_t* url : {u"http://host/", u"ftp:/host", u"ftp://", u"ftp://:21/", u"ftp://h:0/", u"ftp://h:65536/",
                              u"ftp://h:2x/", u"ftp://user@h/", u"ftp://h h/", u"ftp://h:/"})
    EXPECT_FALSE(ParseFtpUrl(url, e)) << std::char_traits<char16_t>::length(url);
}

TEST(FtpUrl, PathsArePercentEncoded) {
  EXPECT_EQ(FtpUrlPath("/home/u/a b.txt"), "/home/u/a%20b.txt");
  EXPECT_EQ(FtpUrlPath("ä#?%;"), "%C3%A4%23%3F%25%3B");
}

TEST(FtpProxy, LoginCarriesTheTargetHost) {
  EXPECT_EQ(ProxyLogin("anna", "gate", "ftp.example.org"), "anna@gate@ftp.example.org");
  EXPECT_EQ(ProxyPassword("secret", "gatepw"), "secret@gatepw");
}

TEST(FtpErrors, CurlResultsBecomeWinInetCodes) {
  EXPECT_EQ(InetErrorFromCurl(CURLE_OK, 226, 0), 0u);
  EXPECT_EQ(InetErrorFromCurl(CURLE_COULDNT_CONNECT, 0, 0), kInetCannotConnect);
  EXPECT_EQ(InetErrorFromCurl(CURLE_LOGIN_DENIED, 530, 0), kInetLoginFailure);
  EXPECT_EQ(InetErrorFromCurl(CURLE_OPERATION_TIMEDOUT, 0, 0), kInetTimeout);
  EXPECT_EQ(InetErrorFromCurl(CURLE_QUOTE_ERROR, 550, 0), kInetExtendedError);
  EXPECT_EQ(InetErrorFromCurl(CURLE_REMOTE_FILE_NOT_FOUND, 550, 0), kInetExtendedError);
  EXPECT_EQ(InetErrorFromCurl(CURLE_FTP_WEIRD_PASV_REPLY, 0, 0), kInetFtpNoPassiveMode);
  EXPECT_EQ(InetErrorFromCurl(CURLE_RECV_ERROR, 421, 0), kInetFtpDropped);
  EXPECT_EQ(InetErrorFromCurl(CURLE_PARTIAL_FILE, 0, 0), kInetConnectionAborted);
  EXPECT_EQ(InetErrorFromCurl(CURLE_PEER_FAILED_VERIFICATION, 0, 18), kInetInvalidCa);
  EXPECT_EQ(InetErrorFromCurl(CURLE_PEER_FAILED_VERIFICATION, 0, 10), kInetCertDateInvalid);
  EXPECT_EQ(InetErrorFromCurl(CURLE_PEER_FAILED_VERIFICATION, 0, 62), kInetCertCnInvalid);
  EXPECT_TRUE(IsCertificateError(InetErrorFromCurl(CURLE_PEER_FAILED_VERIFICATION, 0, 0)));
  EXPECT_EQ(InetErrorFromCurl(CURLE_USE_SSL_FAILED, 0, 0), kInetSecurityChannelError);
}

TEST(FtpErrors, EnglishTextsEndInOneBlank) {
  EXPECT_EQ(std::u16string(FtpInetErrorText(12112)), u"Passive mode is not available on the server. ");
  EXPECT_EQ(std::u16string(FtpInetErrorText(12056)), u"ERROR_INTERNET_SEC_CERT_NO_REV");
  EXPECT_EQ(std::u16string(FtpInetErrorText(12057)), u"ERROR_INTERNET_SEC_CERT_REV_FAILED");
  EXPECT_EQ(FtpInetErrorText(12000), nullptr);
  EXPECT_EQ(FtpInetErrorText(404), nullptr);
  for (uint32_t code = 12001; code < 12200; ++code) {
    const char16_t* text = FtpInetErrorText(code);
    if (!text || code == 12056 || code == 12057) continue;
    std::u16string s(text);
    EXPECT_EQ(s.back(), u' ') << code;
  }
  char16_t buffer[64];
  EXPECT_NE(std::u16string(FtpFallbackErrorText(5, buffer, 64)).find(u"Access is denied"), std::u16string::npos);
}

}  // namespace
}  // namespace hvm
