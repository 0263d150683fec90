// A site's local tree in the offline cache. Every path comes from a server or
// from a program on the drive and is treated as hostile: it is split into
// components that must each be a plain name (not empty, ".", "..", no "/",
// no NUL, at most 255 bytes), and every folder on the way is opened below
// the tree without following a symbolic link, so nothing is ever read or
// written outside the tree.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/service/file_time.h"

namespace hvm {

// "\dir\file" (or "dir/file") into its UTF-8 components; false when a
// component is not a plain name or the path is longer than 259 characters.
// The empty path and "\" are the tree itself (no components).
bool SplitSitePath(std::u16string_view path, std::vector<std::string>& components);
// True when name is a plain name: not empty, not "." or "..", no "/" and no
// NUL, at most 255 bytes.
bool IsPlainName(std::string_view name);

class LocalTree {
 public:
  // folder: the tree's own folder (root/<site>); parts: where partly written
  // files wait for their rename (root/<site>.part), on the same file system.
  LocalTree(std::string folder, std::string parts);
  ~LocalTree();
  LocalTree(const LocalTree&) = delete;
  LocalTree& operator=(const LocalTree&) = delete;

  const std::string& folder() const { return folder_; }
  // Makes the tree's folder (and the parts folder) when missing.
  bool Create();
  bool Exists() const;

  // An open descriptor of the folder (O_DIRECTORY), creating missing folders
  // on the way when create is set; -1 with errno (ELOOP for a link, EINVAL
  // for a name that is not plain).
  int OpenFolder(std::u16string_view path, bool create) const;
  // The open parent folder of path and the last component; -1 for the tree itself.
  int OpenParent(std::u16string_view path, bool create, std::string& name) const;
  // openat of the file below the tree, never through a link; -1 with errno.
  int OpenFile(std::u16string_view path, int flags, unsigned mode = 0600) const;
  // fstatat without following a link; false with errno.
  bool Stat(std::u16string_view path, struct stat& info) const;
  // Names in the folder (not "." and ".."); false when it cannot be read.
  bool Names(std::u16string_view path, std::vector<std::string>& names) const;

  // Writes a file whole: fill() writes the contents into the descriptor of a
  // new file in the parts folder and returns 0 or its error; the file is
  // flushed, given the modification time (when not 0) and renamed over path.
  // A failure leaves the old file as it was.
  // Without durable the file is not flushed here: SyncAll does it for many at once.
  uint32_t ReplaceFile(std::u16string_view path, const std::function<uint32_t(int fd)>& fill,
                       FileTime modified, bool durable = true) const;
  // Flushes everything written to the tree's file system (syncfs).
  bool SyncAll() const;
  // Sets the access and modification times of the file or folder.
  bool SetTimes(std::u16string_view path, FileTime modified) const;
  // Removes the file, or the empty folder when folder is set; false with errno.
  bool Remove(std::u16string_view path, bool folder) const;
  // Moves within the tree; false with errno.
  bool Move(std::u16string_view from, std::u16string_view to) const;
  // Empties the parts folder of partly written files that other (ended)
  // processes left behind.
  void ClearParts() const;

 private:
  int OpenComponents(const std::vector<std::string>& components, size_t count, bool create) const;

  std::string folder_;
  std::string parts_;
};

// Modification time of a stat result as a file time.
FileTime ModifiedTimeOf(const struct stat& info);

}  // namespace hvm
