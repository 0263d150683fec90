// Where an SFTP site lives: host, port and the folder, taken from the site
// URL "sftp://host[:port]/folder", and the server path of one of its names.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace hvm {

inline constexpr uint16_t kSftpDefaultPort = 22;
inline constexpr size_t kSftpHostBytes = 259;
inline constexpr size_t kSftpPathBytes = 767;

struct SftpAddress {
  std::string host;        // UTF-8, without brackets of an IPv6 literal
  uint16_t port = kSftpDefaultPort;
  std::string folder;      // the URL's path part, "/" when it has none
};

// False for a URL that is not "sftp://" followed by a host, or a port that
// is not a number from 1 to 65535. A "user@" before the host is ignored: the
// login comes from the site.
bool ParseSftpAddress(std::u16string_view url, SftpAddress& address);

// The server path of a name the service hands over, which is the site URL
// followed by the relative path ("sftp://h:2222/data/a/b.txt" →
// "/data/a/b.txt"). A name that is already a plain path is taken as it
// stands. False when the result is longer than 767 bytes or contains a NUL.
bool SftpServerPath(std::u16string_view name, std::string& path);

// The name known_hosts uses for the server: "host", or "[host]:port" for a
// port other than 22.
std::string KnownHostsName(const SftpAddress& address);

}  // namespace hvm
