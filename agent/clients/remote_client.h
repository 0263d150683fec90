// The one interface through which the request service reaches a site's
// server. The operations are declared in their fixed slot order; results are
// NTSTATUS values unless an operation says otherwise:
//   0 success, 0xC0000001 general failure, 0xC000009A no resources (or a URL
//   that could not be split), 0xC0000010 not supported by this client or
//   server, 0xC0000022 access denied (also a lock held by someone else),
//   0xC0000054 lock conflict, 0xC0000121 cannot delete.
// Every operation runs on the Connection's request thread; Get may also run
// on read-ahead jobs, each with its own clone of the client.
#pragma once
#include <cstdint>
#include <string_view>

#include "agent/service/channel_records.h"
#include "agent/service/connection.h"
#include "agent/service/file_entry.h"
#include "agent/service/open_handle.h"
#include "agent/service/pending_answer.h"
#include "agent/service/reply_area.h"
#include "agent/service/site_record.h"
#include "platform/win32.h"

namespace hvm {

inline constexpr size_t kErrorTextChars = 1024;
// Mode of BeginWrite / Unlock when a shell command asks (else 1).
inline constexpr uint32_t kCommandMode = 0xFFFFFFFF;
// SetSecurityFlags value for a site that ignores certificate warnings.
inline constexpr uint32_t kIgnoreCertificateFlags = 0x3300;

// Codes of Control: the shell's commands that a client answers.
inline constexpr uint32_t kControlQuota = 0x141FFC;  // also the connection test
inline constexpr uint32_t kControlSearch = 0x14200C;
inline constexpr uint32_t kControlCheckin = 0x142084;
inline constexpr uint32_t kControlCheckout = 0x142088;
inline constexpr uint32_t kControlVersionReport = 0x142090;
inline constexpr uint32_t kControlUncheckout = 0x142094;
inline constexpr uint32_t kControlLabel = 0x1420A0;
inline constexpr uint32_t kControlOptions = 0x1420A4;
inline constexpr uint32_t kControlCloseReport = 0x1420A8;
inline constexpr uint32_t kControlFolderCopy = 0x142118;
inline constexpr uint32_t kControlFolderMove = 0x14211C;
inline constexpr uint32_t kControlFolderDelete = 0x142120;

class RemoteClient {
 public:
  explicit RemoteClient(Connection& connection);

  // 0: the site root "\QUENLODE\<name>", looked up or created as a nameless
  // folder with size kNoSize and all times now. Null when it cannot be made.
  virtual FileEntry* RootEntry();
  // 1: base: 1.
  virtual int IsReady();
  // 2
  virtual ~RemoteClient();
  // 3: first call on a new client; an open client answers 0 at once.
  virtual NTSTATUS Open() = 0;
  // 4: makes an empty file on the server for a created or replaced entry.
  virtual NTSTATUS CreateFile(FileEntry* entry, ReplyArea& reply) = 0;
  // 5: uploads a written local copy at cleanup/close. synchronous is 1; may
  // answer STATUS_PENDING and finish later with FinishPendingRequest().
  virtual NTSTATUS CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t synchronous,
                                   uint32_t reserved) = 0;
  // 6: lists the folder (or refreshes the file) at serverPath and brings the
  // entry cache up to date: children are looked up or created under entry with
  // parent, times, size and flags set. entry: the cached entry of serverPath,
  // or null (nothing cached yet: the client lists the site root and creates
  // it with RootEntry); name: the full cache path being resolved, or null when
  // the entry itself is refreshed.
  // With a name, the answer is STATUS_OBJECT_NAME_NOT_FOUND when the name's
  // next component below the listed folder is not on the server; that ends
  // the service's resolution. A refresh never frees the entry it was given
  // (a vanished one is answered not found); other entries leave the cache
  // only through EntryCache::DiscardEntry, and never while their use count
  // is above 0 (open handles point at them): those are marked
  // kEntryDeletedOnServer instead. Listed entries get lastRefreshTime = now.
  virtual NTSTATUS ListDirectory(std::u16string_view serverPath, FileEntry* entry,
                                 const char16_t* name) = 0;
  // 7: creates the folder reply.path / reply.serverPath on the server.
  virtual NTSTATUS MakeDirectory(ReplyArea& reply) = 0;
  // 8
  virtual NTSTATUS Delete(FileEntry* entry, ReplyArea& reply) = 0;
  // 9: destinationServerPath ends with "/" for a folder.
  virtual NTSTATUS Move(FileEntry* entry, ReplyArea& reply, FileEntry* targetDirectory,
                        std::u16string_view destinationServerPath) = 0;
  // 10: bytes [start, end) into destination (end - start bytes of room).
  virtual NTSTATUS Get(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
                       uint8_t* destination, uint32_t reserved) = 0;
  // 11: the write hook. Non-zero means the client took the bytes itself and
  // the service does not write them into the local copy.
  virtual NTSTATUS Write(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
                         const uint8_t* data, NTSTATUS status) = 0;
  // 12: server-side copy; resultText: 260 characters for the user.
  virtual NTSTATUS Copy(FileEntry* entry, ReplyArea& reply, uint32_t reserved,
                        std::u16string_view destinationServerPath, char16_t* resultText) = 0;
  // 13: depth is kCommandMode from the lock command.
  virtual NTSTATUS Lock(FileEntry* entry, ReplyArea& reply, uint32_t depth,
                        char16_t* resultText) = 0;
  // 14: prepares the first change of a file. mode 1, or kCommandMode with a
  // result text from a shell command (resultText may be null).
  virtual NTSTATUS BeginWrite(FileEntry* entry, ReplyArea& reply, uint32_t mode,
                              char16_t* resultText) = 0;
  // 15
  virtual NTSTATUS Unlock(FileEntry* entry, ReplyArea& reply, uint32_t mode,
                          char16_t* resultText) = 0;
  // 16: base: nothing. Closes the entry's second local copy where a client keeps one.
  virtual void DropLocalCopy(FileEntry* entry, ReplyArea& reply);
  // Whether a request can name serverPath whole; a name that cannot be
  // carried is refused before anything is made under it. Base: always.
  virtual bool CarriesPath(std::u16string_view serverPath) const;
  // 17: closes every handle of the client; called last.
  virtual void Shutdown() = 0;
  // 18: the text of a code the client met, in ErrorTextBuffer().
  virtual const char16_t* ErrorText(uint32_t code) = 0;
  // 19: non-zero when connected.
  virtual int IsConnected() = 0;
  // 20: shell commands the service does not handle itself. answer and
  // information may be written; request is the command as sent.
  virtual NTSTATUS Control(uint32_t code, FileEntry* entry, ReplyArea& reply,
                           InternalRequest* answer, uint32_t* information,
                           const InternalRequest* request) = 0;
  // 21: base: the entry's attached-section list head.
  virtual AttachedSection** EntryLink(FileEntry* entry);
  // 22: base: stores the flags.
  virtual void SetSecurityFlags(uint32_t flags);
  // 23: a read whose length must equal the size the listing gave. Base: Get.
  virtual NTSTATUS GetChecked(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
                              uint8_t* destination, uint32_t reserved);
  // 24: the server copies the file source (reply.serverPath) to
  // destinationServerPath, the name of destination, a created file the server
  // has nothing under yet. A file another client made there meanwhile is never
  // replaced. Success only when the server made the whole copy; the caller
  // then brings the destination entry up to date. Base: STATUS_NOT_SUPPORTED
  // (a client without a server-side copy).
  virtual NTSTATUS CopyToNewFile(FileEntry* source, ReplyArea& reply, FileEntry* destination,
                                 std::u16string_view destinationServerPath);
  // The program's write of [start, end) is in the local copy. Base: an
  // upload streamed from the copy learns of it; a client may begin such an
  // upload while the program writes on.
  virtual void ProgramWrote(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end);
  // The local copy changed from `from` on (0: it was replaced or closed).
  // Base: an upload streamed from the copy learns of it.
  virtual void LocalCopyChanged(FileEntry* entry, uint64_t from);
  // The entry's server path is about to change or stop being its own (it or
  // a folder above it is renamed, or a rename replaces it). An upload
  // streamed from its copy was sent to the old path and would finish there
  // at close: base, it is broken off and dropped, and the close uploads the
  // whole copy to the path the file has then.
  virtual void LeavePath(FileEntry* entry);

  SiteRecord* site() const { return site_; }
  Connection& connection() const { return *connection_; }
  uint32_t securityFlags() const { return securityFlags_; }
  const char16_t* ErrorTextBuffer() const { return errorText_; }

 protected:
  Connection* connection_;
  SiteRecord* site_;
  uint32_t securityFlags_ = 0;
  char16_t errorText_[kErrorTextChars] = {};
};

}  // namespace hvm
