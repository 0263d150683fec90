#include "agent/clients/sftp_read_stream.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

namespace hvm {

bool SftpReadStream::DropPending() {
  // Every request sent must be answered before libssh reads anything else.
  bool ok = true;
  for (const Pending& p : pending_) {
    if (scratch_.size() < p.length) scratch_.resize(p.length);
    if (ssh_.async_read(file_, scratch_.data(), p.length, p.id) < 0) {
      ok = false;
      break;
    }
  }
  pending_.clear();
  return ok;
}

void SftpReadStream::Close(bool sessionAlive) {
  if (file_ == nullptr) return;
  if (sessionAlive) DropPending();
  ssh_.close(file_);  // frees the handle; on a dead session the request just fails
  file_ = nullptr;
  path_.clear();
  pending_.clear();
  carry_.clear();
  carryStart_ = 0;
  next_ = asked_ = limit_ = ahead_ = 0;
}

bool SftpReadStream::Open(sftp_session sftp, const std::string& path, uint64_t start) {
  Close(true);
  sftp_file file = ssh_.open(sftp, path.c_str(), O_RDONLY, 0);
  if (file == nullptr) return false;
  uint64_t size = 0;
  if (sftp_attributes a = ssh_.fstat(file)) {
    size = (a->flags & SSH_FILEXFER_ATTR_SIZE) ? a->size : 0;
    ssh_.attributes_free(a);
  }
  file_ = file;
  path_ = path;
  next_ = asked_ = start;
  limit_ = size;
  ahead_ = 0;
  return true;
}

void SftpReadStream::Fill(uint64_t end) {
  // Everything up to the end of this read, and the bytes ahead beyond it,
  // which grow while the reader keeps going through the file.
  uint64_t until = std::min<uint64_t>(limit_, end + ahead_);
  size_t most = static_cast<size_t>((end - std::min(end, next_) + kSftpReadAheadBytes) / kSftpSmallestReadRequest);
  while (pending_.size() < most && asked_ < until) {
    uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(requestBytes_, limit_ - asked_));
    ssh_.seek64(file_, asked_);
    int id = ssh_.async_read_begin(file_, length);
    if (id < 0) return;
    pending_.push_back({static_cast<uint32_t>(id), asked_, length});
    asked_ += length;
  }
}

int SftpReadStream::TakeAnswer(uint8_t* destination, uint64_t wanted) {
  Pending p = pending_.front();
  pending_.pop_front();
  // A piece that fits goes straight to the reader; a larger one is kept for
  // the reads after this one.
  bool direct = p.length <= wanted;
  uint8_t* into = destination;
  if (!direct) {
    if (carry_.capacity() < p.length) carry_.reserve(p.length);
    carry_.resize(p.length);
    into = carry_.data();
  }
  int n = ssh_.async_read(file_, into, p.length, p.id);
  if (n < 0) return -1;  // closing the stream reads what is still due
  if (static_cast<uint32_t>(n) > p.length) return -1;  // more than asked: libssh would have refused it
  if (!direct) {
    carry_.resize(static_cast<size_t>(n));
    carryStart_ = 0;
  }
  if (static_cast<uint32_t>(n) < p.length) {
    // A short answer: the requests after it are for later offsets and their
    // bytes cannot be used; the stream goes on from the gap. Short of the end
    // the server said how much it answers at most: later requests ask for no
    // more than that.
    uint64_t resume = p.offset + static_cast<uint64_t>(n);
    if (resume < limit_) requestBytes_ = std::max(static_cast<uint32_t>(n), kSftpSmallestReadRequest);
    if (!DropPending()) return -1;
    asked_ = resume;
  }
  return n;
}

bool SftpReadStream::Read(sftp_session sftp, const std::string& path, uint64_t start, uint64_t end,
                          uint8_t* destination, std::string& failure) {
  failure.clear();
  uint64_t firstAhead = uint64_t{requestBytes_} * 2;
  if (file_ == nullptr || path_ != path) {
    if (!Open(sftp, path, start)) return false;
    ahead_ = firstAhead;
  } else if (next_ != start) {
    // Elsewhere in the same file: the open handle serves, the pieces ahead do not.
    if (!DropPending()) return false;
    carry_.clear();
    carryStart_ = 0;
    next_ = asked_ = start;
    ahead_ = firstAhead;
  } else {
    ahead_ = std::min<uint64_t>(std::max(ahead_ * 2, firstAhead), kSftpReadAheadBytes);
  }
  uint64_t want = end - start, copied = 0;
  bool sizeChecked = false;
  while (copied < want) {
    if (carryStart_ < carry_.size()) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(carry_.size() - carryStart_, want - copied));
      std::memcpy(destination + copied, carry_.data() + carryStart_, take);
      carryStart_ += take;
      copied += take;
      continue;
    }
    Fill(end);
    if (pending_.empty()) {
      // Past the size seen at open: the file may have grown since.
      if (sizeChecked) break;
      sizeChecked = true;
      if (sftp_attributes a = ssh_.fstat(file_)) {
        if (a->flags & SSH_FILEXFER_ATTR_SIZE) limit_ = std::max(limit_, a->size);
        ssh_.attributes_free(a);
      }
      continue;
    }
    bool direct = pending_.front().length <= want - copied;
    int n = TakeAnswer(destination + copied, want - copied);
    if (n < 0) return false;
    if (direct) copied += static_cast<uint64_t>(n);
    if (n == 0) break;
  }
  next_ = start + copied;
  if (copied < want) {
    failure = "The file on the server is shorter than its listed size.";
    return false;
  }
  return true;
}

}  // namespace hvm
