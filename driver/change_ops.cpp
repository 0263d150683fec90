// Changes to names and attributes: make directory, delete, rename, and
// set attributes (size and times; the agent's copy follows every change).
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "driver/file_objects.h"
#include "driver/fuse_glue.h"
#include "driver/other_spellings.h"
#include "driver/info_records.h"
#include "driver/requests.h"
#include "driver/short_handles.h"
#include "platform/wide_text.h"

namespace hvm::driver {

namespace {
void DropOwnFolderOf(fuse_ino_t ino) {
  std::lock_guard<std::mutex> guard(DriverMutex());
  if (Node* folder = Names().Get(ino)) DropOwnFolder(*folder);
}

// The full name of a new child, or an errno.
int ChildFullName(fuse_req_t req, fuse_ino_t parentIno, const char* name, std::u16string& fullName,
                  Connection*& conn) {
  Node* parent = Names().Get(parentIno);
  if (parent == nullptr) return ENOENT;
  if (parent->uid != CallerUid(req)) return EACCES;
  if (parent->kind != NodeKind::Remote && parent->kind != NodeKind::ConnectionRoot) return EACCES;
  if (parent->goneUnderSpelling) return ENOENT;
  if (!IsWellFormedUtf8(name)) return EINVAL;
  std::u16string component = Utf8ToUtf16(name);
  if (UnusableComponent(component) || HasWildcards(component)) return EINVAL;
  fullName = parent->fullName + u"\\" + component;
  if (fullName.size() > kMaxFullNameChars) return ENAMETOOLONG;
  if (IsPipeOrIpcName(fullName)) return EOPNOTSUPP;
  conn = parent->connection;
  return 0;
}

// The same for a name a new file or folder takes.
int NewChildFullName(fuse_req_t req, fuse_ino_t parentIno, const char* name, std::u16string& fullName,
                     Connection*& conn) {
  if (int error = ChildFullName(req, parentIno, name, fullName, conn)) return error;
  return HasControlCharacters(std::u16string_view(fullName).substr(fullName.rfind(u'\\') + 1)) ? EINVAL : 0;
}

std::vector<uint8_t> Bytes64(uint64_t value) {
  std::vector<uint8_t> data(sizeof value);
  memcpy(data.data(), &value, sizeof value);
  return data;
}

void Delete(fuse_req_t req, fuse_ino_t parentIno, const char* name, uint32_t options) {
  std::u16string fullName;
  Connection* conn = nullptr;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    if (int error = ChildFullName(req, parentIno, name, fullName, conn))
      return (void)fuse_reply_err(req, error);
  }
  std::string childName(name);
  uid_t uid = CallerUid(req);
  OpenShort(conn, fullName, FILE_OPEN, options, DELETE_ACCESS, BeginOperation(req), 0,
            [=](const ShortHandle& handle, ForwardResult& opened) {
              if (opened.status != STATUS_SUCCESS) return (void)fuse_reply_err(req, ErrnoOf(opened));
              auto disposition = SetInfoRequest(handle.fileObject, CarriedSize(handle),
                                                FileDispositionInformation, {1});
              OnShort(handle, disposition, [=](ForwardResult& set) {
                int setError = set.status == STATUS_SUCCESS ? 0 : ErrnoOf(set);
                CloseShort(handle, [=](int cleanupError) {
                  int error = setError ? setError : cleanupError;
                  bool otherSpellings = false;
                  if (error == 0) {
                    std::lock_guard<std::mutex> guard(DriverMutex());
                    Names().Detach(parentIno, childName);
                    otherSpellings = DetachSpellings(uid, fullName);  // the same name spelled otherwise
                  }
                  if (otherSpellings) return AfterQueuedPurges(uid, [req] { fuse_reply_err(req, 0); });
                  fuse_reply_err(req, error);
                });
              });
            });
}

// A change made through a handle: the caller's open file when there is one,
// else a short open of the name for just this change. The handle is shared
// along the chain, so that a size change reaches the requests after it (and
// the closing cleanup): the agent takes every request's size as the file's.
using HandlePtr = std::shared_ptr<ShortHandle>;
using Change = std::function<void(HandlePtr, std::function<void(int)> finish)>;

// timesOnly: a change of times may also go through the caller's own open of
// the file that is still to upload (tar sets the times of each file it
// writes before closing it): its cleanup stores them with the upload, and
// the close waits for both, as it would after a short open of the name.
void WithHandle(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi, uint32_t access, Change change,
                std::function<void(int)> finish, bool timesOnly = false) {
  Connection* conn = nullptr;
  std::u16string fullName;
  HandlePtr own;
  int error = 0;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().Get(ino);
    FileObject* object = fi ? OpenFiles().Get(fi->fh) : nullptr;
    if (object == nullptr && timesOnly && node) object = OpenFiles().UploadingOpenOf(ino, CallerUid(req));
    if (node == nullptr)
      error = ENOENT;
    else if (node->uid != CallerUid(req) && object == nullptr)
      error = EACCES;
    else if (node->kind != NodeKind::Remote)
      error = EPERM;
    else if (object)
      own = std::make_shared<ShortHandle>(ShortHandle{object->connection, object->id, FileValueOf(*object)});
    else {
      conn = node->connection;
      fullName = node->fullName;
    }
  }
  if (error) return finish(error);
  if (own) return change(own, finish);
  OpenShort(conn, fullName, FILE_OPEN, 0, access, BeginOperation(req), 0,
            [change, finish](const ShortHandle& opened, ForwardResult& result) {
              if (result.status != STATUS_SUCCESS) return finish(ErrnoOf(result));
              auto handle = std::make_shared<ShortHandle>(opened);
              change(handle, [handle, finish](int error) {
                CloseShort(*handle, [finish, error](int cleanupError) {
                  finish(error ? error : cleanupError);
                });
              });
            });
}

// End of file: the FCB first, then the agent's copy (which must hold the
// contents before it can be cut or extended).
Change SizeChange(fuse_ino_t ino, uint64_t newSize, fuse_file_info* fi) {
  uint32_t ownObject = fi ? static_cast<uint32_t>(fi->fh) : 0;
  return [ino, newSize, ownObject](HandlePtr handle, std::function<void(int)> finish) {
    auto setSize = [ino, newSize, handle, finish, ownObject](int pushError) {
      if (pushError) return finish(pushError);
      auto set = SetInfoRequest(handle->fileObject, CarriedSize(*handle), FileEndOfFileInformation, Bytes64(newSize));
      set->done = [ino, newSize, handle, finish, ownObject](ForwardResult& result) {
        if (result.status != STATUS_SUCCESS)
          return finish(ownObject ? ErrnoOfOpenFile(result) : ErrnoOf(result));
        uid_t owner = 0;
        {
          std::lock_guard<std::mutex> guard(DriverMutex());
          Node* node = Names().Get(ino);
          if (node) owner = node->uid;
          FileObject* own = ownObject ? OpenFiles().Get(ownObject) : nullptr;
          // The node's FCB, and the one the caller's open uses when the agent
          // gave that open another (a spelling that differs only in case).
          for (Fcb* fcb : {node && node->fcbToken ? node->connection->fcbs.Find(node->fcbToken) : nullptr,
                           own ? FcbOf(*own) : nullptr}) {
            if (fcb == nullptr) continue;
            fcb->fileSize = fcb->allocationSize = newSize;
            fcb->validLength = std::min(fcb->validLength, newSize);
            if (newSize == 0) fcb->contentsSent = true;
          }
          if (node) {
            node->attr.size = newSize;
            node->attr.lastWriteTime = FiletimeNow();
            StaleOtherSpellings(*node);  // also the nodes that share these FCBs
          }
          if (own) own->written = true;
        }
        handle->size = newSize;
        PurgeInode(owner, ino);
        finish(0);
      };
      Send(handle->connection, set, true);
    };
    if (ownObject != 0 && newSize > 0) return PushContents(ownObject, setSize);
    setSize(0);
  };
}

Change TimesChange(fuse_ino_t ino, uint64_t access, uint64_t write) {
  return [ino, access, write](HandlePtr handle, std::function<void(int)> finish) {
    auto set = SetInfoRequest(handle->fileObject, CarriedSize(*handle), FileBasicInformation,
                              EncodeBasicInfo(access, write));
    set->done = [ino, access, write, finish](ForwardResult& result) {
      if (result.status != STATUS_SUCCESS) return finish(ErrnoOf(result));
      {
        // finish closes the handle, which takes the lock again.
        std::lock_guard<std::mutex> guard(DriverMutex());
        if (Node* node = Names().Get(ino)) {
          if (write) node->attr.lastWriteTime = write;
          if (access) node->attr.lastAccessTime = access;
        }
      }
      finish(0);
    };
    Send(handle->connection, set, true);
  };
}

void ReplyAttr(fuse_req_t req, fuse_ino_t ino, int error) {
  if (error) return (void)fuse_reply_err(req, error);
  std::lock_guard<std::mutex> guard(DriverMutex());
  Node* node = Names().Get(ino);
  if (node == nullptr) return (void)fuse_reply_err(req, ENOENT);
  struct stat st;
  FillStat(*node, st);
  fuse_reply_attr(req, &st, AttrTimeoutOf(*node));
}

// The changes run one after the other on one handle.
void RunChanges(std::shared_ptr<std::vector<Change>> changes, size_t index, HandlePtr handle,
                std::function<void(int)> finish) {
  if (index == changes->size()) return finish(0);
  (*changes)[index](handle, [changes, index, handle, finish](int error) {
    if (error) return finish(error);
    RunChanges(changes, index + 1, handle, finish);
  });
}

uint64_t TimeValue(int toSet, int nowBit, int setBit, const timespec& given) {
  if (toSet & nowBit) return FiletimeNow();
  if (toSet & setBit) return FiletimeFromTimespec(given);
  return 0;
}
}  // namespace

void OpMkdir(fuse_req_t req, fuse_ino_t parentIno, const char* name, mode_t) {
  std::u16string fullName;
  Connection* conn = nullptr;
  uid_t uid = CallerUid(req);
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    if (int error = NewChildFullName(req, parentIno, name, fullName, conn))
      return (void)fuse_reply_err(req, error);
  }
  std::string childName(name);
  OpenShort(conn, fullName, FILE_CREATE, FILE_DIRECTORY_FILE, FILE_READ_DATA, BeginOperation(req), 0,
            [req, parentIno, childName, uid, conn](const ShortHandle& handle, ForwardResult& made) {
              if (made.status != STATUS_SUCCESS) {
                DropOwnFolderOf(parentIno);
                ForgetEntry(uid, parentIno, childName);
                return (void)fuse_reply_err(req, ErrnoOf(made));
              }
              CloseShort(handle, [req, parentIno, childName, uid, conn](int) {
                std::lock_guard<std::mutex> guard(DriverMutex());
                Node* parent = Names().Get(parentIno);
                if (parent == nullptr) return (void)fuse_reply_err(req, ENOENT);
                NoteOwnName(*parent, childName);
                Node* node = Names().Remember(*parent, childName, NodeKind::Remote, uid, conn);
                node->detached = false;
                // Made just now on the server: empty.
                MarkOwnFolder(*node);
                node->attr = RemoteAttr{};
                node->attr.isDirectory = true;
                node->attr.lastWriteTime = node->attr.changeTime = node->attr.creationTime =
                    FiletimeNow();
                node->attrTime = Clock::now();
                ReplyEntry(req, *node);
              });
            });
}

void OpUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Delete(req, parent, name, FILE_NON_DIRECTORY_FILE);
}

void OpRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Delete(req, parent, name, FILE_DIRECTORY_FILE);
}

void OpRename(fuse_req_t req, fuse_ino_t parentIno, const char* name, fuse_ino_t newParentIno,
              const char* newName, unsigned int flags) {
  if (flags & RENAME_EXCHANGE) return (void)fuse_reply_err(req, EINVAL);
  uid_t uid = CallerUid(req);
  std::u16string source, target;
  Connection* conn = nullptr;
  Connection* targetConn = nullptr;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    if (int error = ChildFullName(req, parentIno, name, source, conn))
      return (void)fuse_reply_err(req, error);
    if (int error = NewChildFullName(req, newParentIno, newName, target, targetConn))
      return (void)fuse_reply_err(req, error);
    if (conn != targetConn) return (void)fuse_reply_err(req, EXDEV);
    // A folder into itself. The kernel catches that only when both paths
    // spell the folder alike; to the agent they are one folder either way.
    if (target.size() > source.size() && target[source.size()] == u'\\' &&
        EqualsNoCase(std::u16string_view(target).substr(0, source.size()), source))
      return (void)fuse_reply_err(req, EINVAL);
  }
  std::u16string component = Utf8ToUtf16(newName);
  uint32_t replace = (flags & RENAME_NOREPLACE) ? 0 : 1;
  std::string from(name), to(newName);
  OpenShort(conn, source, FILE_OPEN, 0, DELETE_ACCESS, BeginOperation(req), 0,
            [=](const ShortHandle& moving, ForwardResult& opened) {
    if (opened.status != STATUS_SUCCESS) return (void)fuse_reply_err(req, ErrnoOf(opened));
    OpenShort(conn, target, FILE_OPEN, 0, FILE_WRITE_DATA, 0, SL_OPEN_TARGET_DIRECTORY,
              [=](const ShortHandle& folder, ForwardResult& targetOpened) {
      if (targetOpened.status != STATUS_SUCCESS) {
        int error = ErrnoOf(targetOpened);
        DropOwnFolderOf(newParentIno);
        return CloseShort(moving, [req, error](int) { fuse_reply_err(req, error); });
      }
      std::vector<uint8_t> data(component.size() * 2);
      memcpy(data.data(), component.data(), data.size());
      auto rename = SetInfoRequest(moving.fileObject, CarriedSize(moving), FileRenameInformation,
                                   std::move(data), folder.fileObject, replace);
      OnShort(moving, rename, [=](ForwardResult& renamed) {
        int error = renamed.status == STATUS_SUCCESS ? 0 : ErrnoOf(renamed);
        CloseShort(folder, [=](int) {
          CloseShort(moving, [=](int) {
            bool otherSpellings = false;
            {
              std::lock_guard<std::mutex> guard(DriverMutex());
              Node* newParent = Names().Get(newParentIno);
              if (error == 0 && newParent) {
                NoteOwnName(*newParent, to);
                Names().Move(parentIno, from, *newParent, to);
                // Other spellings of the old name named the moved file, those
                // of the new one the file it replaced.
                Node* moved = Names().Child(newParentIno, to);
                uint64_t keep = moved ? moved->ino : 0;
                otherSpellings = DetachSpellings(uid, source, keep);
                otherSpellings = DetachSpellings(uid, target, keep) || otherSpellings;
              } else if (newParent) {
                DropOwnFolder(*newParent);
              }
            }
            if (otherSpellings) return AfterQueuedPurges(uid, [req] { fuse_reply_err(req, 0); });
            fuse_reply_err(req, error);
          });
        });
      });
    });
  });
}

void OpSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi) {
  // The kernel cuts a file opened with O_TRUNC by a size change that names no
  // descriptor. Done through that open, the emptied file is uploaded once, at
  // its close, with what the program writes; on a handle of its own it would
  // be uploaded empty first, and a failed upload at the close would leave the
  // server's copy empty.
  fuse_file_info justOpened{};
  if (fi == nullptr && (toSet & FUSE_SET_ATTR_SIZE) && attr->st_size == 0) {
    std::lock_guard<std::mutex> guard(DriverMutex());
    if (FileObject* fresh = OpenFiles().FreshWritableOpenOf(ino, CallerUid(req))) {
      justOpened.fh = fresh->id;
      fi = &justOpened;
    }
  }
  std::vector<Change> changes;
  if (toSet & FUSE_SET_ATTR_SIZE) {
    if (attr->st_size < 0) return (void)fuse_reply_err(req, EINVAL);
    changes.push_back(SizeChange(ino, static_cast<uint64_t>(attr->st_size), fi));
  }
  uint64_t access = TimeValue(toSet, FUSE_SET_ATTR_ATIME_NOW, FUSE_SET_ATTR_ATIME, attr->st_atim);
  uint64_t write = TimeValue(toSet, FUSE_SET_ATTR_MTIME_NOW, FUSE_SET_ATTR_MTIME, attr->st_mtim);
  if (access || write) changes.push_back(TimesChange(ino, access, write));
  if (changes.empty()) return ReplyAttr(req, ino, 0);  // mode and owner are not kept
  uint32_t accessMask = (toSet & FUSE_SET_ATTR_SIZE) ? FILE_WRITE_DATA : FILE_WRITE_ATTRIBUTES;
  auto list = std::make_shared<std::vector<Change>>(std::move(changes));
  auto all = [list](HandlePtr handle, std::function<void(int)> finish) {
    RunChanges(list, 0, handle, std::move(finish));
  };
  bool timesOnly = !(toSet & FUSE_SET_ATTR_SIZE);
  WithHandle(req, ino, fi, accessMask, all, [req, ino](int error) { ReplyAttr(req, ino, error); }, timesOnly);
}

}  // namespace hvm::driver
