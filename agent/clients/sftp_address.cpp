#include "agent/clients/sftp_address.h"

#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr std::u16string_view kScheme = u"sftp://";

bool StartsWithSchemeNoCase(std::u16string_view url) {
  return url.size() >= kScheme.size() && EqualsNoCase(url.substr(0, kScheme.size()), kScheme);
}

bool ParsePort(std::u16string_view digits, uint16_t& port) {
  if (digits.empty() || digits.size() > 5) return false;
  uint32_t value = 0;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c - u'0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ParseSftpAddress(std::u16string_view url, SftpAddress& address) {
  if (!StartsWithSchemeNoCase(url)) return false;
  std::u16string_view rest = url.substr(kScheme.size());
  size_t slash = rest.find(u'/');
  std::u16string_view authority = rest.substr(0, slash);
  address.folder = slash == std::u16string_view::npos ? "/" : Utf16ToUtf8(rest.substr(slash));
  size_t at = authority.rfind(u'@');
  if (at != std::u16string_view::npos) authority = authority.substr(at + 1);
  address.port = kSftpDefaultPort;
  std::u16string_view host = authority;
  if (!authority.empty() && authority.front() == u'[') {
    size_t close = authority.find(u']');
    if (close == std::u16string_view::npos) return false;
    host = authority.substr(1, close - 1);
    std::u16string_view after = authority.substr(close + 1);
    if (!after.empty() && (after.front() != u':' || !ParsePort(after.substr(1), address.port))) return false;
  } else if (size_t colon = authority.find(u':'); colon != std::u16string_view::npos) {
    host = authority.substr(0, colon);
    if (!ParsePort(authority.substr(colon + 1), address.port)) return false;
  }
  address.host = Utf16ToUtf8(host);
  if (address.host.empty() || address.host.size() > kSftpHostBytes) return false;
  for (char c : address.host)
    if (c == '\0' || c == ' ' || c == '/' || c == '\\') return false;
  return address.folder.find('\0') == std::string::npos;
}

bool SftpServerPath(std::u16string_view name, std::string& path) {
  std::u16string_view rest = name;
  if (StartsWithSchemeNoCase(name)) {
    rest = name.substr(kScheme.size());
    size_t slash = rest.find(u'/');
    rest = slash == std::u16string_view::npos ? std::u16string_view(u"/") : rest.substr(slash);
  }
  path = Utf16ToUtf8(rest);
  for (char& c : path)
    if (c == '\\') c = '/';
  if (path.empty()) path.push_back('/');  // not `= "/"`: GCC 12's -Wrestrict misreads it in Release
  return path.size() <= kSftpPathBytes && path.find('\0') == std::string::npos;
}

std::string KnownHostsName(const SftpAddress& address) {
  if (address.port == kSftpDefaultPort) return address.host;
  return "[" + address.host + "]:" + std::to_string(address.port);
}

}  // namespace hvm
