// The client of sftp sites: SSH and SFTP through libssh, loaded at run time.
// Connecting asks the person about a server key it does not know or that
// changed; every operation that fails on a dead session reconnects once
// (without questions) and tries again. Reads stream with several requests in
// flight; a written file goes back whole at close with its writes pipelined.
// A created file's open goes out at create without waiting for its answer,
// which is read before the next request that needs the channel.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/clients/remote_client.h"
#include "agent/clients/sftp_address.h"
#include "agent/clients/sftp_library.h"
#include "agent/clients/sftp_read_stream.h"

namespace hvm {

// One write request on the wire, for any server.
inline constexpr uint32_t kSftpChunkBytes = 32000;
// The largest write request sent, where the server's limits allow it
// (OpenSSH's server takes packets of 256 KiB: 255 KiB of data and the rest).
inline constexpr uint32_t kSftpLargestWriteBytes = 255 * 1024;
// The bytes one write request carries, from the answer to the
// "limits@openssh.com" request (the bytes after its id: maximum packet,
// read and write lengths and open handles, 64 bits each; 0 where the server
// sets no limit). kSftpChunkBytes for an answer that is short or names less.
uint32_t SftpWriteBytesFromLimits(const uint8_t* answer, size_t length);
// Bytes of write requests kept in flight by an upload (about 1 MB, below the
// channel window so the server never waits for window space).
inline constexpr size_t kSftpBytesInFlight = 32 * kSftpChunkBytes;
// The questions about the server's key (captions name the string resources).
inline constexpr std::u16string_view kSftpUnknownCaption = u"IDS_SFTP_ACCEPT_CHANGE";
inline constexpr std::u16string_view kSftpChangedCaption = u"IDS_SFTP_HOST_CHANGED";
inline constexpr std::u16string_view kSftpOtherKeyCaption = u"IDS_SFTP_FOUND_OTHER";

// What the client knows of the server's key against known_hosts.
enum class HostKeyState { Error, Unknown, Known, Changed, OtherType };

// The known_hosts file the client keeps keys in: $HOME/.ssh/known_hosts, the
// file OpenSSH's own programs read (folder 0700 and file 0600 made when missing).
std::string SftpKnownHostsPath();
// Rewrites the known_hosts file without the lines that name the host (plain
// or hashed), through a copy beside it that takes the file's name. False
// when the file could not be rewritten; it is then unchanged.
bool RemoveKnownHost(const LibSsh& ssh, const std::string& file, const std::string& hostName);

class SftpClient : public RemoteClient {
 public:
  explicit SftpClient(Connection& connection);
  ~SftpClient() override;
  // The bytes one write request of an upload carries on this session.
  uint32_t writeRequestBytes() const { return writeRequestBytes_; }

  NTSTATUS Open() override;
  NTSTATUS CreateFile(FileEntry* entry, ReplyArea& reply) override;
  NTSTATUS CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t synchronous,
                           uint32_t reserved) override;
  NTSTATUS ListDirectory(std::u16string_view serverPath, FileEntry* entry, const char16_t* name) override;
  NTSTATUS MakeDirectory(ReplyArea& reply) override;
  NTSTATUS Delete(FileEntry* entry, ReplyArea& reply) override;
  NTSTATUS Move(FileEntry* entry, ReplyArea& reply, FileEntry* targetDirectory,
                std::u16string_view destinationServerPath) override;
  NTSTATUS Get(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, uint8_t* destination,
               uint32_t reserved) override;
  NTSTATUS Write(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end, const uint8_t* data,
                 NTSTATUS status) override;
  NTSTATUS Copy(FileEntry* entry, ReplyArea& reply, uint32_t reserved, std::u16string_view destinationServerPath,
                char16_t* resultText) override;
  NTSTATUS Lock(FileEntry* entry, ReplyArea& reply, uint32_t depth, char16_t* resultText) override;
  NTSTATUS BeginWrite(FileEntry* entry, ReplyArea& reply, uint32_t mode, char16_t* resultText) override;
  NTSTATUS Unlock(FileEntry* entry, ReplyArea& reply, uint32_t mode, char16_t* resultText) override;
  void Shutdown() override;
  const char16_t* ErrorText(uint32_t code) override;
  int IsConnected() override;
  NTSTATUS Control(uint32_t code, FileEntry* entry, ReplyArea& reply, InternalRequest* answer,
                   uint32_t* information, const InternalRequest* request) override;

  // Connects (interactive: questions and the banner may be shown). 0, or
  // 0xC0000001 (library missing, key refused), 0xC0000022, 0xC000009A.
  NTSTATUS Connect(bool interactive);

 private:
  // ---- session (sftp_client.cpp, sftp_host_keys.cpp)
  HostKeyState CheckHostKey();
  bool AcceptHostKey(HostKeyState state, bool interactive);
  bool Authenticate(bool interactive);
  bool KeyboardInteractive();
  void Disconnect();
  // Logs the failure, then connects again without questions; true when connected.
  bool Reconnect(const char* method);
  // The common report line "** site method status=code file text".
  void ReportFailure(const char* method, std::string_view path);
  bool SessionAlive() const;
  // Keeps the SFTP status and the session's text of the failure just met.
  void NoteFailure();
  // Runs operation on a living session; when it fails because the session
  // died, connects again without questions and runs it once more. Unless
  // the operation is a read of the stream itself (streamRead), the stream's
  // reads asked for ahead are read first: libssh waiting for an answer of its
  // own takes theirs off the channel into its queue, and a later read of the
  // stream would then wait on the channel for answers that never come.
  bool WithRetry(const char* method, const std::string& path, const std::function<bool()>& operation,
                 bool streamRead = false);
  void SetReplyMessage(ReplyArea& reply);
  bool ServerPathOf(std::u16string_view name, std::string& path);

  // ---- transfers (sftp_transfers.cpp)
  // Ends the read stream (its answers still due are read on a living session).
  void CloseStream();
  NTSTATUS UploadCopy(FileEntry* entry, int fd, uint64_t size, const std::string& path);
  // Writes [0, size) of fd, then the modification time (0: none), then
  // closes the handle, all in one stream of requests; true only when the
  // server confirmed every write and the close. inStep: false when the stream
  // broke (the session must not be used again). closeSent: the close went out.
  bool WritePipelined(const std::string& handle, const std::string& name, int fd, uint64_t size, uint32_t mtime,
                      std::string& failure, bool& inStep, bool& closeSent);
  void SetTimes(const std::string& path, const FileEntry& entry);

  // ---- requests of the client's own on the channel (sftp_transfers.cpp),
  // beside libssh's: their ids come from a range libssh never reaches.
  uint32_t NewRequestId();
  // Starts a packet at the end of packet: its length (0 until the packet is
  // complete), type and id.
  static void StartPacket(std::vector<uint8_t>& packet, uint8_t type, uint32_t id);
  // Sends complete packets in one write; false when the channel broke.
  bool SendPackets(std::vector<uint8_t>& packets);
  // Reads one whole answer; false when the session broke or the answer is
  // malformed (the session is then out of step).
  bool ReadAnswer(uint8_t& type, uint32_t& id, std::vector<uint8_t>& rest);
  // Sends the open of a file for writing; its answer is read by Settle.
  bool SendOpen(const std::string& path, bool exclusive, uint32_t& id);
  // Reads the answers to the opens still on their way, so that libssh never
  // meets one. False when the session broke or fell out of step (it is then
  // given up).
  bool Settle();
  // Closes a handle on the wire and waits for the answer.
  bool CloseHandle(const std::string& handle);
  // Opens path for writing with libssh and keeps only the server's handle.
  bool OpenForWrite(const std::string& path, int flags, std::string& handle);
  // Whether a refused exclusive open met a file of that name.
  bool NameTaken(const std::string& path, uint32_t status);

  // ---- listing (sftp_listing.cpp)
  NTSTATUS ReadDirectory(const std::string& path, std::u16string_view cachePath, FileEntry* folder);
  NTSTATUS RefreshFile(const std::string& path, FileEntry* entry);
  // One child of a folder, looked up by name; not found when the server has none.
  NTSTATUS LookUpChild(const std::string& path, std::u16string_view cachePath, FileEntry* folder,
                       std::u16string_view childName);

  // A name just found missing: opening a new file asks for it twice in a
  // row (open, then create), and the second question is answered from here
  // once, within a second; anything this client changes forgets it.
  struct MissingName {
    std::string path;
    int64_t atMilliseconds = 0;
  } missing_;
  bool TakeMissing(const std::string& path);
  void NoteMissing(const std::string& path);
  void ForgetMissing() { missing_.path.clear(); }

  const LibSsh* ssh_ = nullptr;
  SftpAddress address_;
  ssh_session session_ = nullptr;
  sftp_session sftp_ = nullptr;
  bool opened_ = false;
  bool tested_ = false;            // the connection test ran
  NTSTATUS testResult_ = 0;        // and what it gave
  int lastSftpError_ = 0;
  std::string lastError_;          // the last libssh text, kept past the session
  uint32_t nextWriteId_ = 0x80000000u;
  // Bytes in one write request: kSftpChunkBytes, more where the server said it takes more.
  uint32_t writeRequestBytes_ = kSftpChunkBytes;
  // Asks a server that offers it for its limits and sets writeRequestBytes_;
  // false when the session broke meanwhile (it is then given up).
  bool LearnWriteLimit();

  // The read stream: one open file whose next pieces are already asked for
  // (made with the library binding).
  std::unique_ptr<SftpReadStream> reader_;

  // Files opened by CreateFile whose handle stays open until their first
  // cleanup, so that the upload of a new file needs no second open.
  struct Created {
    std::string path;
    uint32_t openId = 0;     // the open whose answer is still to be read (0: read)
    bool exclusive = false;  // opened with SSH_FXF_EXCL: the name had to be new
    std::string handle;      // the server's handle; empty when it refused the open
    uint32_t status = 0;     // the server's refusal
  };
  std::deque<Created> created_;
  // The created file of path, taken out of the list; false when none (call Settle first).
  bool TakeCreated(const std::string& path, Created& made);
  // Closes the created handles of path and everything below it (all when empty).
  void CloseCreated(const std::string& path);
};

std::unique_ptr<RemoteClient> MakeSftpClient(Connection& connection);
// Registers MakeSftpClient with the client factory (once at start-up).
void RegisterSftpClient();

}  // namespace hvm
