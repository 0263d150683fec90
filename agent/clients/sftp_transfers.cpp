// Moving file contents. Reads stream (sftp_read_stream.cpp). An upload sends
// the local copy with many write requests in flight, written straight onto
// the SFTP channel because libssh 0.10 waits for each of its own writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "agent/clients/sftp_client.h"
#include "agent/clients/upload_backup.h"
#include "agent/service/local_copy.h"
#include "agent/service/ntstatus.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr NTSTATUS kGeneralFailure = static_cast<NTSTATUS>(0xC0000001);
constexpr uint64_t kProgressMinSize = 512001;
constexpr uint8_t kFxpOpen = 3;
constexpr uint8_t kFxpClose = 4;
constexpr uint8_t kFxpWrite = 6;
constexpr uint8_t kFxpFsetstat = 10;
constexpr uint8_t kFxpStatus = 101;
constexpr uint8_t kFxpHandle = 102;
constexpr uint8_t kFxpExtended = 200;
constexpr uint8_t kFxpExtendedReply = 201;
// Servers' handles are short (OpenSSH's are 4 bytes); the protocol allows 256.
constexpr uint32_t kLargestHandle = 256;
constexpr int kReplyMilliseconds = 120000;
constexpr uint32_t kLargestReply = 65536;

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void Put64(std::vector<uint8_t>& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v >> 32));
  Put32(out, static_cast<uint32_t>(v));
}

// Sets the length field of the packet that starts at start and ends at the buffer's end.
void SetLength(std::vector<uint8_t>& packets, size_t start) {
  uint32_t body = static_cast<uint32_t>(packets.size() - start - 4);
  for (int i = 0; i < 4; ++i) packets[start + i] = static_cast<uint8_t>(body >> (24 - 8 * i));
}

uint32_t Get32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t SecondsOf(FileTime t) {
  if (t <= kFileTimeUnixEpoch) return 0;
  uint64_t seconds = (t - kFileTimeUnixEpoch) / kFileTimeTicksPerSecond;
  return seconds > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(seconds);
}

}  // namespace

// ---- reads

void SftpClient::CloseStream() {
  if (reader_ && reader_->open() && Settle()) reader_->Close(SessionAlive());
}

NTSTATUS SftpClient::Get(FileEntry*, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination, uint32_t) {
  if (end <= start) return STATUS_SUCCESS;
  std::string path;
  if (!ServerPathOf(reply.serverPath, path)) return kGeneralFailure;
  bool read = WithRetry("Get 1", path, [&] {
    if (!reader_) reader_ = std::make_unique<SftpReadStream>(*ssh_);  // the library is bound by now
    std::string failure;
    if (reader_->Read(sftp_, path, start, end, destination, failure)) return true;
    if (!failure.empty()) lastError_ = failure;
    CloseStream();
    return false;
  }, /*streamRead=*/true);
  if (read) return STATUS_SUCCESS;
  SetReplyMessage(reply);
  return kGeneralFailure;
}

// ---- requests of the client's own

uint32_t SftpClient::NewRequestId() {
  uint32_t id = nextWriteId_++;
  if (nextWriteId_ == 0) nextWriteId_ = 0x80000000u;
  return id;
}

void SftpClient::StartPacket(std::vector<uint8_t>& packet, uint8_t type, uint32_t id) {
  Put32(packet, 0);  // the length, set by SetLength once the packet is complete
  packet.push_back(type);
  Put32(packet, id);
}

bool SftpClient::SendPackets(std::vector<uint8_t>& packets) {
  if (packets.empty()) return true;
  return ssh_->channel_write(sftp_->channel, packets.data(), static_cast<uint32_t>(packets.size())) ==
         static_cast<int>(packets.size());
}

bool SftpClient::ReadAnswer(uint8_t& type, uint32_t& id, std::vector<uint8_t>& rest) {
  ssh_channel channel = sftp_->channel;
  auto readExactly = [&](uint8_t* buffer, uint32_t length) {
    uint32_t got = 0;
    while (got < length) {
      int n = ssh_->channel_read_timeout(channel, buffer + got, length - got, 0, kReplyMilliseconds);
      if (n <= 0) return false;
      got += static_cast<uint32_t>(n);
    }
    return true;
  };
  uint8_t head[9];
  if (!readExactly(head, sizeof head)) return false;
  uint32_t length = Get32(head);
  if (length < 5 || length > kLargestReply) return false;
  type = head[4];
  id = Get32(head + 5);
  rest.resize(length - 5);
  return readExactly(rest.data(), static_cast<uint32_t>(rest.size()));
}

bool SftpClient::SendOpen(const std::string& path, bool exclusive, uint32_t& id) {
  id = NewRequestId();
  std::vector<uint8_t> packet;
  StartPacket(packet, kFxpOpen, id);
  Put32(packet, static_cast<uint32_t>(path.size()));
  packet.insert(packet.end(), path.begin(), path.end());
  Put32(packet, SSH_FXF_WRITE | SSH_FXF_CREAT | (exclusive ? SSH_FXF_EXCL : SSH_FXF_TRUNC));
  Put32(packet, SSH_FILEXFER_ATTR_PERMISSIONS);
  Put32(packet, 0644);
  SetLength(packet, 0);
  return SendPackets(packet);
}

bool SftpClient::Settle() {
  for (;;) {
    auto waiting = std::find_if(created_.begin(), created_.end(), [](const Created& c) { return c.openId != 0; });
    if (waiting == created_.end()) return true;
    uint8_t type = 0;
    uint32_t id = 0;
    std::vector<uint8_t> rest;
    bool read = SessionAlive() && ReadAnswer(type, id, rest);
    auto it = std::find_if(created_.begin(), created_.end(), [&](const Created& c) { return read && c.openId == id; });
    bool understood = it != created_.end() && rest.size() >= 4;
    if (understood && type == kFxpHandle) {
      uint32_t length = Get32(rest.data());
      understood = length > 0 && length <= kLargestHandle && length <= rest.size() - 4;
      if (understood) it->handle.assign(reinterpret_cast<const char*>(rest.data()) + 4, length);
    } else if (understood && type == kFxpStatus) {
      // An open answered "ok" without a handle is no open either.
      it->status = Get32(rest.data()) == SSH_FX_OK ? SSH_FX_FAILURE : Get32(rest.data());
    } else {
      understood = false;
    }
    if (!understood) {
      lastError_ = read ? "the server answered an open with something else" : "the server stopped answering";
      // Nothing on this session can be trusted to be in step any more.
      Disconnect();
      return false;
    }
    it->openId = 0;
  }
}

bool SftpClient::CloseHandle(const std::string& handle) {
  uint32_t id = NewRequestId();
  std::vector<uint8_t> packet;
  StartPacket(packet, kFxpClose, id);
  Put32(packet, static_cast<uint32_t>(handle.size()));
  packet.insert(packet.end(), handle.begin(), handle.end());
  SetLength(packet, 0);
  uint8_t type = 0;
  uint32_t answered = 0;
  std::vector<uint8_t> rest;
  if (SendPackets(packet) && ReadAnswer(type, answered, rest) && type == kFxpStatus && answered == id &&
      rest.size() >= 4)
    return Get32(rest.data()) == SSH_FX_OK;
  lastError_ = "the server did not answer the close of a file";
  Disconnect();
  return false;
}

bool SftpClient::OpenForWrite(const std::string& path, int flags, std::string& handle) {
  sftp_file file = ssh_->open(sftp_, path.c_str(), flags, 0644);
  if (file == nullptr) return false;
  handle.assign(static_cast<const char*>(ssh_->string_data(file->handle)), ssh_->string_len(file->handle));
  // From here the handle is the client's own to close on the wire; libssh's
  // record of it is freed as its close would.
  ssh_->string_free(file->handle);
  std::free(file->name);
  std::free(file);
  return true;
}

bool SftpClient::NameTaken(const std::string& path, uint32_t status) {
  if (status == SSH_FX_FILE_ALREADY_EXISTS) return true;
  // Servers of version 3 say only "failure" for a name in use: look.
  if (status != SSH_FX_FAILURE) return false;
  sftp_attributes there = ssh_->lstat(sftp_, path.c_str());
  if (there == nullptr) return false;
  ssh_->attributes_free(there);
  return true;
}

// ---- uploads

uint32_t SftpWriteBytesFromLimits(const uint8_t* answer, size_t length) {
  if (answer == nullptr || length < 24) return kSftpChunkBytes;
  auto get64 = [&](size_t at) { return (uint64_t{Get32(answer + at)} << 32) | Get32(answer + at + 4); };
  uint64_t packet = get64(0), write = get64(16);
  // A packet limit bounds the write's data too, less the request's own fields
  // (a handle of up to kLargestHandle bytes and a few numbers).
  uint64_t bytes = write ? write : kSftpLargestWriteBytes;
  if (packet) bytes = std::min<uint64_t>(bytes, packet > kLargestHandle + 64 ? packet - kLargestHandle - 64 : 0);
  bytes = std::min<uint64_t>(bytes, kSftpLargestWriteBytes);
  return bytes < kSftpChunkBytes ? kSftpChunkBytes : static_cast<uint32_t>(bytes);
}

bool SftpClient::LearnWriteLimit() {
  writeRequestBytes_ = kSftpChunkBytes;
  static constexpr char kLimits[] = "limits@openssh.com";
  if (ssh_->extension_supported == nullptr || !ssh_->extension_supported(sftp_, kLimits, "1")) return true;
  uint32_t id = NewRequestId();
  std::vector<uint8_t> packet;
  StartPacket(packet, kFxpExtended, id);
  Put32(packet, static_cast<uint32_t>(sizeof kLimits - 1));
  packet.insert(packet.end(), kLimits, kLimits + sizeof kLimits - 1);
  SetLength(packet, 0);
  uint8_t type = 0;
  uint32_t answered = 0;
  std::vector<uint8_t> rest;
  if (!SendPackets(packet) || !ReadAnswer(type, answered, rest) || answered != id) {
    lastError_ = "the server did not answer the question about its limits";
    Disconnect();
    return false;
  }
  // A refusal (a status) leaves the size every server takes.
  if (type == kFxpExtendedReply) writeRequestBytes_ = SftpWriteBytesFromLimits(rest.data(), rest.size());
  WideDbgPrint(u"sftp: writes of %d bytes\n", static_cast<int>(writeRequestBytes_));
  return true;
}

bool SftpClient::WritePipelined(const std::string& handle, const std::string& name, int fd, uint64_t size,
                                uint32_t mtime, std::string& failure, bool& inStep, bool& closeSent) {
  inStep = false;
  closeSent = false;
  uint32_t closeId = 0;
  std::unordered_set<uint32_t> waiting;
  uint32_t timesId = 0;
  bool timesSent = mtime == 0;
  // Packets wait here until an answer is needed or a chunk's worth is ready:
  // a small file goes out with its times and its close in one write.
  std::vector<uint8_t> outgoing;
  // Larger writes where the server said it takes them; as many in flight
  // as keep about the same bytes on their way.
  const uint32_t chunk = writeRequestBytes_;
  const size_t inFlight = std::max<size_t>(2, kSftpBytesInFlight / chunk);
  uint64_t offset = 0;
  bool ok = true;
  std::unique_ptr<ProgressWindow> progress;
  if (size >= kProgressMinSize) progress = CurrentUi().OpenProgress(Utf8ToUtf16(name));

  auto startPacket = [&](uint8_t type, uint32_t id) {
    StartPacket(outgoing, type, id);
    Put32(outgoing, static_cast<uint32_t>(handle.size()));
    outgoing.insert(outgoing.end(), handle.begin(), handle.end());
  };
  // Packets are appended one after another; each one's length is set once complete.
  size_t packetStart = 0;
  auto finishPacket = [&]() {
    SetLength(outgoing, packetStart);
    packetStart = outgoing.size();
  };
  auto flush = [&]() {
    bool sent = SendPackets(outgoing);
    outgoing.clear();
    packetStart = 0;
    if (!sent) failure = "the connection broke while writing";
    return sent;
  };
  // One answer: a status for one of the requests in flight.
  auto takeReply = [&]() {
    uint8_t type = 0;
    uint32_t id = 0;
    std::vector<uint8_t> rest;
    if (!ReadAnswer(type, id, rest)) {
      failure = "the server stopped answering";
      return false;
    }
    if (type != kFxpStatus || waiting.erase(id) != 1 || rest.size() < 4) {
      failure = "the server answered a write with something else";
      return false;
    }
    uint32_t code = Get32(rest.data());
    if (id == closeId && closeSent && code != SSH_FX_OK) {
      lastSftpError_ = static_cast<int>(code);
      failure = "the server could not close the file (SFTP status " + std::to_string(code) + ")";
      ok = false;
    } else if (id == timesId && code != SSH_FX_OK) {
      // The contents are there; times the server will not take are no reason to fail.
      WideDbgPrint(u"sftp: the server kept its own times (SFTP status %d)\n", static_cast<int>(code));
    } else if (code != SSH_FX_OK) {
      lastSftpError_ = static_cast<int>(code);
      failure = "the server refused a write (SFTP status " + std::to_string(code) + ")";
      ok = false;  // the stream is still in step: the other answers are read
    }
    return true;
  };

  while (ok && (offset < size || !waiting.empty() || !timesSent || !closeSent)) {
    while (ok && offset < size && waiting.size() < inFlight) {
      uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(chunk, size - offset));
      uint32_t id = NewRequestId();
      startPacket(kFxpWrite, id);
      Put64(outgoing, offset);
      Put32(outgoing, length);
      // The bytes are read straight into the packet.
      size_t at = outgoing.size();
      outgoing.resize(at + length);
      ssize_t n;
      do {
        n = pread(fd, outgoing.data() + at, length, static_cast<off_t>(offset));
      } while (n < 0 && errno == EINTR);
      if (n != static_cast<ssize_t>(length)) {
        CurrentUi().MessageBox(FormatWide(u"Cannot read total=%d, len=%d, bytes=%d, code=%d", static_cast<int>(offset),
                                          static_cast<int>(length), static_cast<int>(n), n < 0 ? errno : 0)
                                   .substr(0, 199),
                               u"Read error", MB_OK | MB_ICONERROR);
        failure = "the local copy could not be read";
        ok = false;
        outgoing.resize(packetStart);  // the unfinished packet never goes out
        break;
      }
      finishPacket();
      waiting.insert(id);
      offset += length;
      if (outgoing.size() >= chunk && !flush()) return false;
    }
    if (ok && offset >= size && !timesSent) {
      // The times travel behind the last write, in the same stream.
      timesId = NewRequestId();
      startPacket(kFxpFsetstat, timesId);
      Put32(outgoing, SSH_FILEXFER_ATTR_ACMODTIME);
      Put32(outgoing, mtime);
      Put32(outgoing, mtime);
      finishPacket();
      waiting.insert(timesId);
      timesSent = true;
    }
    if (ok && offset >= size && timesSent && !closeSent) {
      // The close follows in the same stream: the server answers it after
      // the writes before it, so its answer still comes only once the data
      // is written, without a round trip of its own.
      closeId = NewRequestId();
      startPacket(kFxpClose, closeId);
      finishPacket();
      waiting.insert(closeId);
      closeSent = true;
    }
    if (!flush()) return false;
    if (!waiting.empty() && !takeReply()) return false;
    if (progress) progress->Update(offset, size, {});
  }
  // After a refusal the answers still on their way are read, so that libssh
  // never meets one of them.
  while (!waiting.empty())
    if (!takeReply()) return false;
  inStep = true;
  return ok;
}

NTSTATUS SftpClient::UploadCopy(FileEntry* entry, int fd, uint64_t size, const std::string& path) {
  std::string failure;
  bool taken = false;
  bool uploaded = WithRetry("Write", path, [&] {
    failure.clear();
    // The handle of a file just made serves (a reconnect closed them all).
    Created made;
    bool kept = TakeCreated(path, made);
    std::string handle = std::move(made.handle);
    if (kept && handle.empty() && made.exclusive && NameTaken(path, made.status)) {
      // Another client made the name between the look-up and the create.
      taken = true;
      failure = "a file of this name was made on the server meanwhile";
      return false;
    }
    if (handle.empty()) {
      // An exclusive open refused for another reason is asked again, for its
      // text; without a record of the create the file is the client's own.
      int flags = O_WRONLY | O_CREAT | (kept && made.exclusive ? O_EXCL : O_TRUNC);
      if (!OpenForWrite(path, flags, handle)) return false;
    }
    bool inStep = false, closeSent = false;
    bool written = WritePipelined(handle, path, fd, size, SecondsOf(entry->lastWriteTime), failure, inStep, closeSent);
    // A close already sent was answered (or the session is given up below).
    bool closed = closeSent || (inStep && CloseHandle(handle));
    if (!failure.empty()) lastError_ = failure;
    // Answers may still be on their way that libssh must never read: the
    // session is given up, and the next attempt starts on a new one.
    if (!inStep) Disconnect();
    return written && closed;
  });
  if (!uploaded) {
    if (!failure.empty()) lastError_ = failure;
    // Nothing is lost: the written contents are kept in the backup folder.
    if (KeepFailedUpload(*entry, fd, connection_->Name(), Utf8ToUtf16(lastError_)))
      entry->flags &= ~kEntryWrittenLocally;
    if (taken) {
      // The name is the other client's file now: the next open reads it from the server.
      WideDbgPrint(1, 1, u"%ws: %s was made on the server by someone else before it was closed here\n",
                   std::u16string(connection_->Name()).c_str(), path.c_str());
      entry->flags &= ~kEntryMustBeNew;
      entry->lastRefreshTime = 0;
      return STATUS_OBJECT_NAME_COLLISION;
    }
    CurrentUi().MessageBox(u"Cannot write into a file!\n" + Utf8ToUtf16(lastError_), u"Cleanup bytes_written",
                           MB_OK | MB_ICONERROR);
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  entry->uploadFailure.reset();
  entry->flags &= ~kEntryWrittenLocally;
  entry->size = size;
  entry->lastRefreshTime = NowFileTime();
  return STATUS_SUCCESS;
}

void SftpClient::SetTimes(const std::string& path, const FileEntry& entry) {
  if (!Settle()) return;
  sftp_attributes_struct attributes{};
  attributes.flags = SSH_FILEXFER_ATTR_ACMODTIME;
  attributes.mtime = SecondsOf(entry.lastWriteTime);
  attributes.atime = attributes.mtime;
  if (attributes.mtime == 0) return;
  if (ssh_->setstat(sftp_, path.c_str(), &attributes) != 0) {
    NoteFailure();
    ReportFailure("SetTimes", path);
  }
}

NTSTATUS SftpClient::CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t, uint32_t) {
  FileEntry* entry = handle ? handle->entry : nullptr;
  if (!entry || entry->IsDirectory()) return STATUS_SUCCESS;
  std::string path;
  if (!ServerPathOf(reply.serverPath, path)) return kGeneralFailure;
  // What follows reads its answers off the channel itself (the close of a
  // created file's handle, the upload): reads another file asked for ahead
  // would be taken for them, and their reader would wait for them for good.
  // They are read first, whichever file they are of.
  CloseStream();
  if (!(entry->flags & kEntryWrittenLocally) || !entry->HasLocalCopy()) {
    Created made;
    if (Settle() && TakeCreated(path, made) && !made.handle.empty() && SessionAlive()) CloseHandle(made.handle);
    // Times set without a change of contents (touch -d) still reach the server.
    if ((entry->flags & kEntryTimesSet) && (SessionAlive() || Reconnect("SetTimes"))) {
      SetTimes(path, *entry);
      entry->flags &= ~kEntryTimesSet;
      entry->serverModifiedTime = entry->lastWriteTime / kFileTimeTicksPerSecond * kFileTimeTicksPerSecond;
    }
    return STATUS_SUCCESS;
  }
  struct stat info {};
  if (fstat(entry->localCopy, &info) != 0) return STATUS_UNSUCCESSFUL;
  entry->readers++;
  NTSTATUS status = UploadCopy(entry, entry->localCopy, static_cast<uint64_t>(info.st_size), path);
  if (entry->readers.load() > 0) entry->readers--;
  // The name is another client's file: what is read from now on is theirs.
  if (status == STATUS_OBJECT_NAME_COLLISION) CloseLocalCopy(*connection_, *entry, CopyKind::Local);
  if (status == STATUS_SUCCESS) {
    entry->flags &= ~kEntryTimesSet;
    entry->serverModifiedTime = entry->lastWriteTime / kFileTimeTicksPerSecond * kFileTimeTicksPerSecond;
  } else {
    SetReplyMessage(reply);
  }
  return status;
}

}  // namespace hvm
