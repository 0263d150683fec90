// A stand-in for a protocol client: a small in-memory server tree, call
// counters and switchable failures. Unit tests only.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "agent/clients/remote_client.h"

namespace hvm::test {

struct FakeNode {
  bool directory = false;
  std::vector<uint8_t> content;
  FileTime modified = 0;
  uint64_t uploadedSize = 0;  // the size of the last upload (its bytes are kept up to 1 MiB)
};

class FakeClient : public RemoteClient {
 public:
  explicit FakeClient(Connection& connection);

  // Server paths relative to the connection's base, "/" separated ("/docs/a.txt").
  std::map<std::u16string, FakeNode> server;
  void AddDirectory(const std::u16string& path);
  void AddFile(const std::u16string& path, const std::string& content, FileTime modified = 0);

  // Counters and switches.
  int listCalls = 0;
  std::vector<std::u16string> listedPaths;
  int getCalls = 0;
  int beginWriteCalls = 0;
  int closeAfterWriteCalls = 0;
  int dropLocalCopyCalls = 0;
  bool failGet = false;
  bool failBeginWrite = false;
  bool failDelete = false;
  bool failCreate = false;
  bool deferCreate = false;    // the file reaches the server at its first upload, as WebDAV makes it
  bool unreachable = false;    // listings fail as a server that does not answer
  size_t longestPath = 0;      // server paths longer than this cannot be carried; 0 = any
  NTSTATUS closeAfterWriteResult = STATUS_SUCCESS;
  // Called when CloseAfterWrite answers pending, with the reply area.
  std::function<void(const ReplyArea&)> onPending;
  std::vector<std::u16string> moves;     // destination server paths
  std::vector<std::u16string> deletes;   // server paths
  std::vector<std::u16string> uploads;   // server paths uploaded at close
  std::u16string lastCopyDestination;
  // Server-side copies onto new files: made, or refused with this status.
  std::vector<std::u16string> serverCopies;  // destination server paths
  NTSTATUS copyToNewFileResult = STATUS_SUCCESS;
  // Folder copy and delete commands answer with this server status.
  uint32_t folderCommandStatus = 201;

  NTSTATUS Open() override { return STATUS_SUCCESS; }
  NTSTATUS CreateFile(FileEntry* entry, ReplyArea& reply) override;
  NTSTATUS CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t synchronous,
                           uint32_t reserved) override;
  NTSTATUS ListDirectory(std::u16string_view serverPath, FileEntry* entry,
                         const char16_t* name) override;
  NTSTATUS MakeDirectory(ReplyArea& reply) override;
  NTSTATUS Delete(FileEntry* entry, ReplyArea& reply) override;
  NTSTATUS Move(FileEntry* entry, ReplyArea& reply, FileEntry* targetDirectory,
                std::u16string_view destinationServerPath) override;
  NTSTATUS Get(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
               uint8_t* destination, uint32_t reserved) override;
  NTSTATUS Write(FileEntry*, ReplyArea&, uint64_t, uint64_t, const uint8_t*, NTSTATUS) override {
    return 0;
  }
  NTSTATUS Copy(FileEntry* entry, ReplyArea& reply, uint32_t reserved,
                std::u16string_view destinationServerPath, char16_t* resultText) override;
  NTSTATUS CopyToNewFile(FileEntry* source, ReplyArea& reply, FileEntry* destination,
                         std::u16string_view destinationServerPath) override;
  NTSTATUS Lock(FileEntry* entry, ReplyArea&, uint32_t, char16_t*) override;
  NTSTATUS BeginWrite(FileEntry* entry, ReplyArea& reply, uint32_t mode, char16_t* text) override;
  NTSTATUS Unlock(FileEntry* entry, ReplyArea&, uint32_t, char16_t*) override;
  void DropLocalCopy(FileEntry*, ReplyArea&) override { ++dropLocalCopyCalls; }
  bool CarriesPath(std::u16string_view serverPath) const override {
    return longestPath == 0 || serverPath.size() <= longestPath;
  }
  void Shutdown() override {}
  const char16_t* ErrorText(uint32_t) override { return errorText_; }
  int IsConnected() override { return 1; }
  NTSTATUS Control(uint32_t code, FileEntry* entry, ReplyArea& reply, InternalRequest* answer, uint32_t*,
                   const InternalRequest* request) override;
  uint32_t lastControlCode = 0;

 private:
  std::u16string Relative(std::u16string_view serverPath) const;
  FileEntry* EnsureEntry(const std::u16string& relative, FileEntry* parent);
};

}  // namespace hvm::test
