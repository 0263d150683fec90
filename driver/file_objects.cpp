#include "driver/file_objects.h"

#include <fcntl.h>

#include "driver/driver_state.h"

namespace hvm::driver {

FileObject& FileObjects::Add(std::unique_ptr<FileObject> object) {
  uint64_t id = object->id;
  auto& slot = objects_[id];
  slot = std::move(object);
  return *slot;
}

FileObject* FileObjects::Get(uint64_t id) {
  auto it = objects_.find(id);
  return it == objects_.end() ? nullptr : it->second.get();
}

void FileObjects::Remove(uint64_t id) { objects_.erase(id); }

FileObject* FileObjects::UploadingOpenOf(uint64_t ino, uid_t uid) {
  for (auto& [id, object] : objects_)
    if (object->ino == ino && object->uid == uid && object->written && !object->cleanedUp &&
        !object->isDirectory && object->fcbToken != 0)
      return object.get();
  return nullptr;
}

FileObject* FileObjects::FreshWritableOpenOf(uint64_t ino, uid_t uid) {
  for (auto it = objects_.rbegin(); it != objects_.rend(); ++it) {
    FileObject& object = *it->second;
    if (object.ino != ino || object.uid != uid || object.isDirectory || object.fcbToken == 0) continue;
    bool writable = (object.openFlags & O_ACCMODE) != O_RDONLY;
    return writable && !object.written && !object.cleanedUp ? &object : nullptr;
  }
  return nullptr;
}

FileObjects& OpenFiles() {
  static FileObjects* objects = new FileObjects();
  return *objects;
}

Fcb* FcbOf(const FileObject& object) {
  if (object.connection == nullptr || object.fcbToken == 0) return nullptr;
  return object.connection->fcbs.Find(object.fcbToken);
}

uint64_t FileValueOf(const FileObject& object) {
  Fcb* fcb = FcbOf(object);
  return fcb ? fcb->fileSize : object.size;
}

}  // namespace hvm::driver
