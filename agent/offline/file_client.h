// The client of a site connected offline: its "server" is the site's local
// tree in the offline cache. Every change is noted in the journal and the
// list of changes, so that the next synchronisation carries it to the
// server: written files keep their journal's server time while their local
// time moves on (only the local side changed), deleted and moved-away files
// that came from the server are noted for deletion there.
#pragma once
#include <memory>

#include "agent/clients/remote_client.h"
#include "agent/offline/offline_cache.h"

namespace hvm {

class FileClient : public RemoteClient {
 public:
  FileClient(Connection& connection, std::string cacheRoot);
  ~FileClient() override;

  NTSTATUS Open() override;
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
  NTSTATUS Write(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end,
                 const uint8_t* data, NTSTATUS status) override;
  NTSTATUS Copy(FileEntry* entry, ReplyArea& reply, uint32_t reserved,
                std::u16string_view destinationServerPath, char16_t* resultText) override;
  NTSTATUS Lock(FileEntry* entry, ReplyArea& reply, uint32_t depth, char16_t* resultText) override;
  NTSTATUS BeginWrite(FileEntry* entry, ReplyArea& reply, uint32_t mode,
                      char16_t* resultText) override;
  NTSTATUS Unlock(FileEntry* entry, ReplyArea& reply, uint32_t mode, char16_t* resultText) override;
  void Shutdown() override;
  const char16_t* ErrorText(uint32_t code) override;
  int IsConnected() override;
  NTSTATUS Control(uint32_t code, FileEntry* entry, ReplyArea& reply, InternalRequest* answer,
                   uint32_t* information, const InternalRequest* request) override;

  OfflineCache* cache() { return cache_.get(); }

 private:
  std::u16string SitePath(const FileEntry& entry) const;
  std::u16string SitePathOfCachePath(std::u16string_view cachePath) const;
  void FillEntry(FileEntry& entry, const struct stat& info) const;
  void NoteDeleted(std::u16string_view path, bool folder);
  std::optional<FileTime> TakeOverReplaced(std::u16string_view path);

  std::string root_;
  std::unique_ptr<OfflineCache> cache_;
};

std::unique_ptr<RemoteClient> MakeFileClient(Connection& connection);
// Makes the offline folder client the one for sites connected offline.
void RegisterFileClient();

}  // namespace hvm
