#include <gtest/gtest.h>

#include "agent/clients/webdav_transport.h"

namespace hvm {
namespace {

TEST(WebDavTransport, CurlFailuresBecomeTheWinHttpCodesTheTextsKnow) {
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_COULDNT_RESOLVE_HOST, 0, ""), 12007u);
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_COULDNT_CONNECT, 0, ""), 12029u);
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_OPERATION_TIMEDOUT, 0, ""), 12002u);
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_SSL_CONNECT_ERROR, 0, "handshake failed"), 12175u);
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_SSL_CONNECT_ERROR, 0, "tlsv13 alert certificate required"), 12044u);
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_PEER_FAILED_VERIFICATION, 10, ""), 12037u);
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_PEER_FAILED_VERIFICATION, 62, ""), 12038u);
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_PEER_FAILED_VERIFICATION, 20, ""), 12045u);
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_RECV_ERROR, 0, "Connection reset by peer"), 12030u);
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_GOT_NOTHING, 0, ""), 12152u);
  EXPECT_EQ(WinHttpErrorFromCurl(CURLE_OK, 0, ""), 0u);
}

TEST(WebDavTransport, SchemeChoiceFollowsThePreferenceOrderNotTheServers) {
  EXPECT_EQ(ChooseAuthScheme({"NTLM"}), AuthScheme::Ntlm);
  EXPECT_EQ(ChooseAuthScheme({"Digest realm=\"x\"", "NTLM", "Negotiate"}), AuthScheme::Negotiate);
  EXPECT_EQ(ChooseAuthScheme({"Digest realm=\"x\", qop=\"auth\"", "Basic realm=\"y\""}), AuthScheme::Basic);
  EXPECT_EQ(ChooseAuthScheme({"Bearer", "NTLMv9"}), AuthScheme::None);
  EXPECT_EQ(ChooseAuthScheme({}), AuthScheme::None);
}

TEST(WebDavTransport, NoHeaderValueCanEndItsLineEarly) {
  EXPECT_EQ(HeaderLine("Destination", "http://h/a\r\nX-Injected: 1"), "Destination: http://h/a  X-Injected: 1");
  EXPECT_EQ(HeaderLine("If", "(<t>)\t\x01"), "If: (<t>)\t ");
}

TEST(WebDavTransport, ContentRangeGivesItsFirstByteOnlyWhenWellFormed) {
  uint64_t first = 1;
  EXPECT_TRUE(ContentRangeFirstByte("bytes 100-199/1000", first));
  EXPECT_EQ(first, 100u);
  EXPECT_TRUE(ContentRangeFirstByte(" Bytes 0-0/*", first));
  EXPECT_EQ(first, 0u);
  EXPECT_TRUE(ContentRangeFirstByte("bytes 18446744073709551614-18446744073709551614/18446744073709551615", first));
  EXPECT_EQ(first, 18446744073709551614u);
  for (const char* bad : {"", "bytes", "bytes */1000", "bytes 5-4/10", "bytes 0-10/10", "bytes -1-2/3",
                          "bytes 1-2", "bytes 1-2/3 junk", "items 1-2/3", "bytes1-2/3",
                          "bytes 18446744073709551616-18446744073709551617/*", "bytes 1-2/3/4"})
    EXPECT_FALSE(ContentRangeFirstByte(bad, first)) << bad;
}

TEST(WebDavTransport, LoopbackHostsAreRecognised) {
  EXPECT_TRUE(IsLoopbackHost("127.0.0.1"));
  EXPECT_TRUE(IsLoopbackHost("127.8.9.10"));
  EXPECT_TRUE(IsLoopbackHost("[::1]"));
  EXPECT_TRUE(IsLoopbackHost("LocalHost"));
  EXPECT_FALSE(IsLoopbackHost("128.0.0.1"));
  EXPECT_FALSE(IsLoopbackHost("example.org"));
}

}  // namespace
}  // namespace hvm
