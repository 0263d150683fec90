// Reading a file of an SFTP server as a stream: the file stays open and the
// pieces after the one asked for are already requested, so a reader going
// through the file finds them on the way. Pieces of any size (a whole wide
// request of the driver at once) are served from the same stream.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "agent/clients/sftp_library.h"

namespace hvm {

// One read request: OpenSSH's server answers up to 256 KiB less its packet
// overhead; a server that answers less teaches the stream its own size.
inline constexpr uint32_t kSftpReadRequestBytes = 255 * 1024;
// The smallest read request the stream falls back to.
inline constexpr uint32_t kSftpSmallestReadRequest = 4096;
// Bytes a streaming read keeps asked for ahead of the reader.
inline constexpr uint64_t kSftpReadAheadBytes = 4u << 20;

class SftpReadStream {
 public:
  // ssh: libssh's entry points (the unit tests give their own server's).
  explicit SftpReadStream(const LibSsh& ssh) : ssh_(ssh) {}
  SftpReadStream(const SftpReadStream&) = delete;
  SftpReadStream& operator=(const SftpReadStream&) = delete;

  // Copies [start, end) of the file at path into destination, opening it on
  // sftp when the stream holds another file. false on failure; failure then
  // says why when the server's answers told (empty when libssh knows more).
  bool Read(sftp_session sftp, const std::string& path, uint64_t start, uint64_t end, uint8_t* destination,
            std::string& failure);
  // Forgets the open file. On a living session the answers still due are
  // read first, so that libssh never meets one of them later.
  void Close(bool sessionAlive);
  bool open() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }
  // The size of one read request; lowered when a server answers less.
  uint32_t requestBytes() const { return requestBytes_; }
  size_t requestsInFlight() const { return pending_.size(); }

 private:
  struct Pending {
    uint32_t id;
    uint64_t offset;
    uint32_t length;
  };
  bool Open(sftp_session sftp, const std::string& path, uint64_t start);
  // Reads and discards the answers still due; false when the session broke.
  bool DropPending();
  // Sends read requests up to end and the bytes ahead beyond it.
  void Fill(uint64_t end);
  // Takes the next answer into destination (or the carry when it is larger
  // than what is still wanted); the bytes it brought, or -1.
  int TakeAnswer(uint8_t* destination, uint64_t wanted);

  const LibSsh& ssh_;
  sftp_file file_ = nullptr;
  std::string path_;
  uint64_t next_ = 0;            // the offset the next read is expected at
  uint64_t asked_ = 0;           // the offset after the last request sent
  uint64_t limit_ = 0;           // the size known when the stream opened
  uint64_t ahead_ = 0;           // bytes kept asked for ahead; doubles while reading on
  std::deque<Pending> pending_;
  std::vector<uint8_t> carry_;   // received bytes; those from carryStart_ on follow next
  size_t carryStart_ = 0;
  uint32_t requestBytes_ = kSftpReadRequestBytes;
  std::vector<uint8_t> scratch_;  // answers thrown away
};

}  // namespace hvm
