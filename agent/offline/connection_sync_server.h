// The SyncServer of a connected site: its protocol client and its entry
// cache. Used under the Connection's request lock.
#pragma once
#include "agent/offline/sync_server.h"
#include "agent/service/connection.h"

namespace hvm {

class ConnectionSyncServer : public SyncServer {
 public:
  explicit ConnectionSyncServer(Connection& connection) : connection_(connection) {}

  NTSTATUS List(std::u16string_view folder, std::vector<RemoteItem>& items) override;
  NTSTATUS Stat(std::u16string_view path, RemoteItem& item) override;
  NTSTATUS Download(std::u16string_view path, uint64_t size, int fd) override;
  NTSTATUS Upload(std::u16string_view path, int fd) override;
  NTSTATUS MakeFolder(std::u16string_view path) override;
  NTSTATUS Delete(std::u16string_view path, bool folder) override;
  bool MinutePrecision() const override;

  // The cached entry of a path within the site, listing its parents from the
  // server as needed; null with status set when it is not on the server.
  FileEntry* Resolve(std::u16string_view path, NTSTATUS& status);

 private:
  std::u16string CachePath(std::u16string_view path) const;
  void Prepare(ReplyArea& area, std::u16string_view cachePath) const;

  Connection& connection_;
};

}  // namespace hvm
