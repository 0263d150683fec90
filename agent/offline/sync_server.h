// What synchronisation needs of a site's server: listing a folder, reading
// and writing whole files, making folders and deleting. Paths are paths
// within the site ("\dir\file", "" for the root). The agent's adapter over
// the site's protocol client is in connection_sync_server.h.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/service/file_time.h"
#include "platform/win32.h"

namespace hvm {

inline constexpr uint64_t kUnknownItemSize = ~uint64_t{0};

struct RemoteItem {
  std::u16string name;
  bool folder = false;
  uint64_t size = kUnknownItemSize;
  FileTime modified = 0;
};

class SyncServer {
 public:
  virtual ~SyncServer() = default;
  virtual NTSTATUS List(std::u16string_view folder, std::vector<RemoteItem>& items) = 0;
  // The item itself, asked of the server again.
  virtual NTSTATUS Stat(std::u16string_view path, RemoteItem& item) = 0;
  // The whole file into fd (a new empty file).
  virtual NTSTATUS Download(std::u16string_view path, uint64_t size, int fd) = 0;
  // The whole of fd (read from offset 0) as the file's new contents.
  virtual NTSTATUS Upload(std::u16string_view path, int fd) = 0;
  virtual NTSTATUS MakeFolder(std::u16string_view path) = 0;
  virtual NTSTATUS Delete(std::u16string_view path, bool folder) = 0;
  // True when the server's times are precise only to the minute.
  virtual bool MinutePrecision() const = 0;
};

}  // namespace hvm
