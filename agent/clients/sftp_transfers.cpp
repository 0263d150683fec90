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
constexpr uint8_t kFxpClose = 4;
constexpr uint8_t kFxpWrite = 6;
constexpr uint8_t kFxpFsetstat = 10;
constexpr uint8_t kFxpStatus = 101;
constexpr int kReplyMilliseconds = 120000;
constexpr uint32_t kLargestReply = 65536;

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void Put64(std::vector<uint8_t>& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v >> 32));
  Put32(out, static_cast<uint32_t>(v));
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
  if (reader_ && reader_->open()) reader_->Close(SessionAlive());
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
  });
  if (read) return STATUS_SUCCESS;
  SetReplyMessage(reply);
  return kGeneralFailure;
}

// ---- uploads

void SftpClient::ForgetClosedFile(sftp_file file) {
  // What sftp_close frees after its answer; the handle is gone on the server.
  ssh_->string_free(file->handle);
  std::free(file->name);
  std::free(file);
}

bool SftpClient::WritePipelined(sftp_file file, int fd, uint64_t size, uint32_t mtime, std::string& failure,
                                bool& inStep, bool& closeSent) {
  inStep = false;
  closeSent = false;
  uint32_t closeId = 0;
  ssh_channel channel = sftp_->channel;
  const void* handle = ssh_->string_data(file->handle);
  uint32_t handleLength = static_cast<uint32_t>(ssh_->string_len(file->handle));
  std::unordered_set<uint32_t> waiting;
  uint32_t timesId = 0;
  bool timesSent = mtime == 0;
  std::vector<uint8_t> packet;
  std::vector<uint8_t> data(kSftpChunkBytes);
  uint64_t offset = 0;
  bool ok = true;
  std::unique_ptr<ProgressWindow> progress;
  if (size >= kProgressMinSize) progress = CurrentUi().OpenProgress(Utf8ToUtf16(file->name ? file->name : ""));

  auto readExactly = [&](uint8_t* buffer, uint32_t length) {
    uint32_t got = 0;
    while (got < length) {
      int n = ssh_->channel_read_timeout(channel, buffer + got, length - got, 0, kReplyMilliseconds);
      if (n <= 0) return false;
      got += static_cast<uint32_t>(n);
    }
    return true;
  };
  // One answer: a status for one of the writes in flight.
  auto send = [&]() {
    uint32_t body = static_cast<uint32_t>(packet.size() - 4);
    for (int i = 0; i < 4; ++i) packet[i] = static_cast<uint8_t>(body >> (24 - 8 * i));
    return ssh_->channel_write(channel, packet.data(), static_cast<uint32_t>(packet.size())) ==
           static_cast<int>(packet.size());
  };
  auto startPacket = [&](uint8_t type, uint32_t id) {
    packet.clear();
    Put32(packet, 0);
    packet.push_back(type);
    Put32(packet, id);
    Put32(packet, handleLength);
    packet.insert(packet.end(), static_cast<const uint8_t*>(handle), static_cast<const uint8_t*>(handle) + handleLength);
  };
  auto newId = [&]() {
    uint32_t id = nextWriteId_++;
    if (nextWriteId_ == 0) nextWriteId_ = 0x80000000u;
    return id;
  };
  auto takeReply = [&]() {
    uint8_t head[9];
    if (!readExactly(head, sizeof head)) {
      failure = "the server stopped answering";
      return false;
    }
    uint32_t length = Get32(head);
    uint32_t id = Get32(head + 5);
    if (length < 5 || length > kLargestReply || head[4] != kFxpStatus || waiting.erase(id) != 1) {
      failure = "the server answered a write with something else";
      return false;
    }
    std::vector<uint8_t> rest(length - 5);
    if (!readExactly(rest.data(), static_cast<uint32_t>(rest.size())) || rest.size() < 4) {
      failure = "the server's answer to a write was cut off";
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
    while (ok && offset < size && waiting.size() < kSftpRequestsInFlight) {
      uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kSftpChunkBytes, size - offset));
      ssize_t n = pread(fd, data.data(), length, static_cast<off_t>(offset));
      if (n != static_cast<ssize_t>(length)) {
        CurrentUi().MessageBox(FormatWide(u"Cannot read total=%d, len=%d, bytes=%d, code=%d", static_cast<int>(offset),
                                          static_cast<int>(length), static_cast<int>(n), n < 0 ? errno : 0)
                                   .substr(0, 199),
                               u"Read error", MB_OK | MB_ICONERROR);
        failure = "the local copy could not be read";
        ok = false;
        break;
      }
      uint32_t id = newId();
      startPacket(kFxpWrite, id);
      Put64(packet, offset);
      Put32(packet, length);
      packet.insert(packet.end(), data.begin(), data.begin() + length);
      if (!send()) {
        failure = "the connection broke while writing";
        return false;
      }
      waiting.insert(id);
      offset += length;
    }
    if (ok && offset >= size && !timesSent) {
      // The times travel behind the last write, in the same stream.
      timesId = newId();
      startPacket(kFxpFsetstat, timesId);
      Put32(packet, SSH_FILEXFER_ATTR_ACMODTIME);
      Put32(packet, mtime);
      Put32(packet, mtime);
      if (!send()) {
        failure = "the connection broke while writing";
        return false;
      }
      waiting.insert(timesId);
      timesSent = true;
    }
    if (ok && offset >= size && timesSent && !closeSent) {
      // The close follows in the same stream: the server answers it after
      // the writes before it, so its answer still comes only once the data
      // is written, without a round trip of its own.
      closeId = newId();
      startPacket(kFxpClose, closeId);
      if (!send()) {
        failure = "the connection broke while writing";
        return false;
      }
      waiting.insert(closeId);
      closeSent = true;
    }
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
  bool uploaded = WithRetry("Write", path, [&] {
    failure.clear();
    // The handle of a file just made serves (a reconnect closed them all).
    sftp_file file = TakeCreated(path);
    if (file == nullptr) file = ssh_->open(sftp_, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file == nullptr) return false;
    bool inStep = false, closeSent = false;
    bool written = WritePipelined(file, fd, size, SecondsOf(entry->lastWriteTime), failure, inStep, closeSent);
    // A close already sent was answered (or the session is given up below);
    // otherwise libssh closes the handle, and frees it also when that fails.
    bool closed = closeSent || ssh_->close(file) == SSH_NO_ERROR;
    if (closeSent) ForgetClosedFile(file);
    if (!failure.empty()) lastError_ = failure;
    // Answers may still be on their way that libssh must never read: the
    // session is given up, and the next attempt starts on a new one.
    if (!inStep) Disconnect();
    return written && closed;
  });
  if (!uploaded) {
    if (lastError_.empty()) lastError_ = failure;
    CurrentUi().MessageBox(u"Cannot write into a file!\n" + Utf8ToUtf16(lastError_), u"Cleanup bytes_written",
                           MB_OK | MB_ICONERROR);
    // Nothing is lost: the written contents are kept in the backup folder.
    if (SaveUploadBackup(fd, connection_->Name(), entry->Name())) entry->flags &= ~kEntryWrittenLocally;
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  entry->flags &= ~kEntryWrittenLocally;
  entry->size = size;
  entry->lastRefreshTime = NowFileTime();
  return STATUS_SUCCESS;
}

void SftpClient::SetTimes(const std::string& path, const FileEntry& entry) {
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
  if (!(entry->flags & kEntryWrittenLocally) || !entry->HasLocalCopy()) {
    if (sftp_file made = TakeCreated(path); made != nullptr && SessionAlive()) ssh_->close(made);
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
  if (reader_ && reader_->path() == path) CloseStream();
  entry->readers++;
  NTSTATUS status = UploadCopy(entry, entry->localCopy, static_cast<uint64_t>(info.st_size), path);
  if (entry->readers.load() > 0) entry->readers--;
  if (status == STATUS_SUCCESS) {
    entry->flags &= ~kEntryTimesSet;
    entry->serverModifiedTime = entry->lastWriteTime / kFileTimeTicksPerSecond * kFileTimeTicksPerSecond;
  } else {
    SetReplyMessage(reply);
  }
  return status;
}

}  // namespace hvm
