#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "agent/clients/webdav_transport.h"

namespace hvm {
namespace {

// A server on loopback that answers a PUT with `reply` as soon as its headers
// are in, before it reads any of the body; then reads the body to its end
// (counted in Received) or, with readBody false, hangs up without reading it.
class EarlyAnswer {
 public:
  EarlyAnswer(std::string reply, bool readBody) : reply_(std::move(reply)), readBody_(readBody) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~EarlyAnswer() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  int port() const { return port_; }
  // Waits for the connection's end; the body bytes the server read.
  uint64_t Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void Serve() {
    int peer = accept(listener_, nullptr, nullptr);
    if (peer < 0) return;
    std::string request;
    char piece[65536];
    size_t end = std::string::npos;
    while (end == std::string::npos) {
      ssize_t n = recv(peer, piece, sizeof piece, 0);
      if (n <= 0) break;
      request.append(piece, static_cast<size_t>(n));
      end = request.find("\r\n\r\n");
    }
    if (end != std::string::npos) {
      received_ = request.size() - end - 4;
      (void)!send(peer, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      // Up to the announced length: the client keeps the connection for its next request.
      size_t named = request.find("Content-Length: ");
      uint64_t length = named < end ? std::stoull(request.substr(named + 16)) : 0;
      if (readBody_)
        for (ssize_t n; received_ < length && (n = recv(peer, piece, sizeof piece, 0)) > 0;)
          received_ += static_cast<uint64_t>(n);
    }
    close(peer);
  }

  std::string reply_;
  bool readBody_;
  int listener_ = -1;
  int port_ = 0;
  uint64_t received_ = 0;
  std::thread thread_;
};

// A body of `total` bytes of one pattern, larger than every socket buffer on
// the way, so that no reply can come after the whole of it left.
struct PatternBody {
  explicit PatternBody(uint64_t total) {
    source.totalLength = total;
    source.read = [this, total](char* buffer, size_t length) -> long {
      size_t n = static_cast<size_t>(std::min<uint64_t>(length, total - sent));
      std::memset(buffer, 'x', n);
      sent += n;
      return static_cast<long>(n);
    };
    source.rewind = [this] {
      sent = 0;
      return true;
    };
  }
  UploadSource source;
  uint64_t sent = 0;
};

constexpr uint64_t kLargeBody = 64ull << 20;

DWORD PutTo(HttpTransport& transport, int port, UploadSource& body) {
  HttpRequestSpec spec;
  spec.method = "PUT";
  spec.url = "http://127.0.0.1:" + std::to_string(port) + "/a.bin";
  spec.upload = &body;
  return transport.Send(spec);
}

TEST(WebDavTransport, AnUploadAnsweredEarlyIsOverOnlyWhenItsBodyIsOut) {
  // A 2xx that comes before the body was read is no proof of a stored file:
  // the whole body still goes out, and only then does the answer count.
  const std::string created = "HTTP/1.1 201 Created\r\nContent-Length: 7\r\n\r\nCreated";
  {
    EarlyAnswer server(created, true);
    PatternBody body(kLargeBody);
    HttpTransport transport;
    ASSERT_EQ(PutTo(transport, server.port(), body.source), 0u);
    EXPECT_EQ(transport.status(), 201);
    transport.Close();
    EXPECT_EQ(server.Received(), kLargeBody);
  }
  {
    // The server hung up on the rest of the body: a failure, whatever it answered first.
    EarlyAnswer server(created, false);
    PatternBody body(kLargeBody);
    HttpTransport transport;
    DWORD error = PutTo(transport, server.port(), body.source);
    transport.Close();
    EXPECT_NE(error, 0u) << "status " << transport.status();
    EXPECT_LT(server.Received(), kLargeBody);
  }
}

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
