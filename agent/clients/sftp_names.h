// Which names of an SFTP server's listing the drive shows, and how much of a
// listing it takes: every name comes from the server and is checked, and a
// server that sends names without end fails the listing instead of filling
// the agent's memory.
#pragma once
#include <cstddef>
#include <string_view>

namespace hvm {

inline constexpr size_t kSftpMaxNameBytes = 1024;
inline constexpr size_t kSftpMaxListingBytes = 64u << 20;
// As for the other sites' listings: each entry costs the cache far more than
// its name.
inline constexpr size_t kSftpMaxListedNames = 262144;

// A name the drive can show and open again under the same bytes: valid UTF-8,
// no separator of either kind, not "." or "..", not overlong, nothing hidden
// by the shell's own bookkeeping. A control character is shown: the file can
// be read and renamed to a better name, though no new name may have one.
bool IsShowableSftpName(std::string_view name);

// What one listing has cost so far, counted for every name the server sends
// (shown or not), with the bookkeeping each name costs.
class SftpListingBudget {
 public:
  explicit SftpListingBudget(size_t limitBytes = kSftpMaxListingBytes, size_t limitNames = kSftpMaxListedNames)
      : bytesLeft_(limitBytes), namesLeft_(limitNames) {}
  // False once the names taken so far exceed either limit.
  bool Take(size_t nameBytes);

 private:
  size_t bytesLeft_;
  size_t namesLeft_;
};

}  // namespace hvm
