// The send loop: credentials, client certificate, cookie, one retry per
// 401/407 with the best offered scheme, and what the replies teach about
// the server (banner, SharePoint, byte ranges). Also reading reply bodies.
#include <cstring>

#include "agent/clients/webdav_client.h"
#include "agent/service/site_passwords.h"
#include "common/moorlib.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr size_t kMaxBannerChars = 79;
constexpr size_t kMaxCookieChars = 259;
constexpr int kMaxResends = 3;

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool ContainsNoCase(std::string text, std::string part) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text.find(part) != std::string::npos;
}

}  // namespace

std::u16string WebDavClient::Banner() const {
  std::lock_guard<std::mutex> guard(facts_->lock);
  return facts_->banner;
}

bool WebDavClient::BannerContains(std::u16string_view text) const {
  return Banner().find(text) != std::u16string::npos;
}

bool WebDavClient::IsSharePoint() const {
  std::lock_guard<std::mutex> guard(facts_->lock);
  return facts_->sharePoint;
}

int32_t WebDavClient::SendPrepared(UploadSource* upload) {
  spec_.upload = upload;
  if (site_) {
    spec_.login.assign(site_->login, strnlen(site_->login, sizeof site_->login));
    spec_.password = SitePassword(*site_);  // kept out of the shared block
  }
  bool retried401 = false, retried407 = false, askedCertificate = false;
  int resends = 0;
  DWORD error = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> factsGuard(facts_->lock);
      spec_.clientCertificate = facts_->clientCertificate;
      spec_.serverScheme = facts_->serverScheme;
      spec_.proxyScheme = facts_->proxyScheme;
      if (!facts_->cookie.empty()) {
        bool replaced = false;
        for (auto& [name, value] : spec_.headers)
          if (name == "Cookie") value = facts_->cookie, replaced = true;
        if (!replaced) spec_.headers.emplace_back("Cookie", facts_->cookie);
      }
    }
    if (upload && upload->rewind && !upload->rewind()) return static_cast<int32_t>(lastStatus_ = -2);
    error = transport_.Send(spec_);
    if (error == kWinHttpClientAuthCertNeeded && spec_.clientCertificate.empty() && !askedCertificate) {
      askedCertificate = true;
      std::string file;
      if (CurrentUi().ChooseFile(u"Select one", u"Certificates (*.pem *.p12 *.pfx)", file) && !file.empty()) {
        std::lock_guard<std::mutex> factsGuard(facts_->lock);
        facts_->clientCertificate = file;
        continue;
      }
      break;
    }
    if (error == kWinHttpNameNotResolved) {
      if (!HasNonLoopbackInterface() && !IsLoopbackHost(host_)) error = kNoConnectivity;
      break;
    }
    if (error == kWinHttpResendRequest && ++resends < kMaxResends) continue;
    if (error) break;
    {
      std::lock_guard<std::mutex> factsGuard(facts_->lock);
      std::string cookie = transport_.Header("Set-Cookie");
      if (facts_->cookie.empty() && !cookie.empty()) {
        // Only name=value goes back; attributes such as Path are no cookie.
        cookie = cookie.substr(0, cookie.find(';'));
        if (cookie.size() > kMaxCookieChars) cookie.resize(kMaxCookieChars);
        facts_->cookie = cookie;
      }
    }
    long status = transport_.status();
    if ((status == 401 && !retried401) || (status == 407 && !retried407)) {
      bool proxy = status == 407;
      AuthScheme scheme =
          ChooseAuthScheme(transport_.HeaderValues(proxy ? "Proxy-Authenticate" : "WWW-Authenticate"));
      if (scheme != AuthScheme::None) {
        std::lock_guard<std::mutex> factsGuard(facts_->lock);
        (proxy ? facts_->proxyScheme : facts_->serverScheme) = scheme;
      }
      bool haveCredentials = proxy ? !spec_.proxyUser.empty() : !spec_.login.empty();
      if (scheme != AuthScheme::None && haveCredentials) {
        (proxy ? retried407 : retried401) = true;
        continue;
      }
    }
    break;
  }
  spec_.upload = nullptr;
  if (error) {
    lastStatus_ = static_cast<int32_t>(error);
    return lastStatus_;
  }
  LearnServer();
  if (spec_.method == "GET" && !pageRequest_) LearnRangeSupport();
  lastStatus_ = static_cast<int32_t>(transport_.status());
  return lastStatus_;
}

void WebDavClient::LearnServer() {
  std::lock_guard<std::mutex> guard(facts_->lock);
  if (!facts_->banner.empty()) return;
  std::string server = transport_.Header("Server");
  if (server.empty()) return;
  facts_->banner = Utf8ToUtf16(server).substr(0, kMaxBannerChars);
  WideDbgPrint(u"**** SERVER %ws\n", facts_->banner.c_str());
  if (Contains(server, "Microsoft-IIS") && transport_.HasHeader("MicrosoftSharePointTeamServices"))
    facts_->sharePoint = true;
}

void WebDavClient::LearnRangeSupport() {
  if (!site_ || !site_->passive || transport_.status() >= 400) return;
  std::string ranges = transport_.Header("Accept-Ranges");
  if (ContainsNoCase(ranges, "none")) {
    site_->passive = 0;
  } else if (ContainsNoCase(ranges, "bytes")) {
    return;
  } else if (!transport_.HasHeader("Content-Range") && !BannerContains(u"Microsoft-IIS")) {
    site_->passive = 0;
  }
}

NTSTATUS WebDavClient::ReadReplyBody(uint8_t* buffer, size_t length, size_t* got) {
  *got = 0;
  if (length > kMaxReplyRead) {
    WideDbgPrint(u"***** ERROR buff=%lx neededToRead=%ld\n", static_cast<unsigned long>(kMaxReplyRead),
                 static_cast<long>(length));
    return STATUS_UNSUCCESSFUL;
  }
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  DWORD error = transport_.Read(reinterpret_cast<char*>(buffer), length, got);
  if (error) {
    WideDbgPrint(u"WinHttpReadData(%ws)\n", ErrorText(error));
    lastStatus_ = static_cast<int32_t>(error);
    *got = 0;
  }
  // Only what did not come is cleared: a wide piece is not written twice.
  if (*got < length) std::memset(buffer + *got, 0, length - *got);
  return (*got != length && length != 0) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

DWORD WebDavClient::ReadReplyText(std::string& text) {
  text.clear();
  return ReadReplyPieces([&text](const char* piece, size_t got) { text.append(piece, got); });
}

DWORD WebDavClient::ReadReplyPieces(const std::function<void(const char*, size_t)>& take) {
  char piece[kReplyTextPiece];
  size_t total = 0;
  for (;;) {
    size_t got = 0;
    DWORD error = transport_.Read(piece, sizeof piece, &got);
    take(piece, got);
    total += got;
    if (error) {
      WideDbgPrint(u"WinHttpReadData(%ws)\n", ErrorText(error));
      return error;
    }
    if (got < sizeof piece) return 0;
    if (total > (64u << 20)) return kWinHttpInvalidServerResponse;  // no listing is this large
  }
}

void WebDavClient::CloseRequest() {
  std::lock_guard<std::mutex> guard(requestLock_);
  transport_.Close();
}

}  // namespace hvm
