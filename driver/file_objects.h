// One open of a file or folder through the mount (fi->fh): the file object
// the agent keys its open handle by. RELEASE arrives with uid 0, so the
// opening uid is kept here. The driver lock must be held.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/info_records.h"

namespace hvm::driver {

struct Connection;
struct Fcb;

struct FileObject {
  uint32_t id = 0;
  uint64_t ino = 0;
  Connection* connection = nullptr;
  uint32_t fcbToken = 0;  // 0 for folders and short-lived opens
  uid_t uid = 0;
  int openFlags = 0;
  bool isDirectory = false;
  bool written = false;    // needs an upload at cleanup
  bool cleanedUp = false;  // cleanup already sent
  uint64_t size = 0;       // the size at open, for objects without an FCB
  std::u16string fullName;
  std::vector<ListedEntry> listing;
  bool listingLoaded = false;
};

class FileObjects {
 public:
  FileObject& Add(std::unique_ptr<FileObject> object);
  FileObject* Get(uint64_t id);
  void Remove(uint64_t id);
  // An open of ino by uid whose cleanup is still to upload what it wrote, or null.
  FileObject* UploadingOpenOf(uint64_t ino, uid_t uid);
  // The newest open of ino by uid when it may write and has neither written
  // nor cleaned up yet, or null: the open an open(O_TRUNC) has just made.
  FileObject* FreshWritableOpenOf(uint64_t ino, uid_t uid);

 private:
  std::map<uint64_t, std::unique_ptr<FileObject>> objects_;
};

FileObjects& OpenFiles();
// The FCB of a file object, or null (folders, or an FCB no longer in the table).
Fcb* FcbOf(const FileObject& object);
// The size to send as a request's fileValue.
uint64_t FileValueOf(const FileObject& object);

}  // namespace hvm::driver
