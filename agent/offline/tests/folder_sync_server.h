// A SyncServer over a plain folder, for the synchroniser's unit tests: every
// upload stamps the file with the server's own clock, which moves on by a
// minute per change so that each change has its own time.
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent/offline/sync_server.h"
#include "agent/service/ntstatus.h"
#include "platform/wide_text.h"

namespace hvm {

class FolderSyncServer : public SyncServer {
 public:
  explicit FolderSyncServer(std::string folder) : folder_(std::move(folder)) {}

  std::string Local(std::u16string_view path) const {
    std::string p = folder_;
    for (char c : Utf16ToUtf8(path)) p += c == '\\' ? '/' : c;
    return p;
  }
  // Writes a file as a change made on the server.
  void Put(std::u16string_view path, const std::string& text) {
    int fd = open(Local(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    (void)!write(fd, text.data(), text.size());
    close(fd);
    Stamp(path);
  }
  void Stamp(std::u16string_view path) {
    clock_ += 60;
    timespec times[2] = {{clock_, 0}, {clock_, 0}};
    utimensat(AT_FDCWD, Local(path).c_str(), times, 0);
  }

  NTSTATUS List(std::u16string_view folder, std::vector<RemoteItem>& items) override {
    items.clear();
    if (!extraNames.empty() && folder.empty()) {
      for (const std::u16string& name : extraNames) items.push_back({name, false, 1, 1});
    }
    DIR* dir = opendir(Local(folder).c_str());
    if (dir == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    while (dirent* d = readdir(dir)) {
      std::string name = d->d_name;
      if (name == "." || name == "..") continue;
      RemoteItem item;
      Stat(std::u16string(folder) + u"\\" + Utf8ToUtf16(name), item);
      items.push_back(item);
    }
    closedir(dir);
    return STATUS_SUCCESS;
  }
  NTSTATUS Stat(std::u16string_view path, RemoteItem& item) override {
    struct stat info {};
    if (lstat(Local(path).c_str(), &info) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    size_t slash = path.rfind(u'\\');
    item.name = std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
    item.folder = S_ISDIR(info.st_mode);
    item.size = static_cast<uint64_t>(info.st_size);
    item.modified = FileTimeFromUnix(info.st_mtim);
    return STATUS_SUCCESS;
  }
  NTSTATUS Download(std::u16string_view path, uint64_t, int fd) override {
    if (failDownloads) return STATUS_UNEXPECTED_NETWORK_ERROR;
    int in = open(Local(path).c_str(), O_RDONLY);
    if (in < 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    char buffer[4096];
    ssize_t n;
    while ((n = read(in, buffer, sizeof buffer)) > 0) (void)!write(fd, buffer, static_cast<size_t>(n));
    close(in);
    return STATUS_SUCCESS;
  }
  NTSTATUS Upload(std::u16string_view path, int fd) override {
    uploads += 1;
    if (failUploads) return STATUS_UNEXPECTED_NETWORK_ERROR;  // refused before a byte was written
    int out = open(Local(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0) return STATUS_ACCESS_DENIED;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) (void)!write(out, buffer, static_cast<size_t>(n));
    close(out);
    Stamp(path);
    return STATUS_SUCCESS;
  }
  NTSTATUS MakeFolder(std::u16string_view path) override {
    return mkdir(Local(path).c_str(), 0700) == 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
  }
  NTSTATUS Delete(std::u16string_view path, bool folder) override {
    std::string command = "rm -rf '" + Local(path) + "'";
    (void)folder;
    return std::system(command.c_str()) == 0 ? STATUS_SUCCESS : STATUS_CANNOT_DELETE;
  }
  bool MinutePrecision() const override { return minutePrecision; }

  bool minutePrecision = false;
  bool failDownloads = false;
  bool failUploads = false;
  int uploads = 0;
  std::vector<std::u16string> extraNames;  // hostile names the root listing adds

 private:
  std::string folder_;
  time_t clock_ = 1700000000;
};

}  // namespace hvm
