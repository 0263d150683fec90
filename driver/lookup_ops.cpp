// Look-up, attributes, forget and volume figures.
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "driver/completions.h"
#include "driver/fixed_answers.h"
#include "driver/forwarding.h"
#include "driver/fuse_glue.h"
#include "driver/other_spellings.h"
#include "driver/short_handles.h"
#include "driver/trace.h"
#include "driver/user_slots.h"
#include "platform/wide_text.h"

namespace hvm::driver {

namespace {
constexpr unsigned kUnitBytes = kSectorsPerUnit * kBytesPerSector;

enum class Outcome { Replied, Probe };

void SuspendCaller(uid_t uid) {
  std::vector<std::pair<uint64_t, std::string>> folders;
  {
    Completions out;
    std::lock_guard<std::mutex> guard(DriverMutex());
    UserSlot* slot = Users().SlotOfUid(uid);
    if (slot == nullptr) return;
    Trace("Suspend user %s\n", Utf16ToUtf8(slot->sid).c_str());
    SuspendUser(slot, out);
    folders = Names().ConnectionFolders(uid);
  }
  // The kernel must not keep showing the suspended user's Connections.
  for (auto& [parent, name] : folders) ForgetEntry(uid, parent, name);
}

// Look-up in the folders the driver makes up itself.
void LookupLocal(fuse_req_t req, Node& parent, const char* name, uid_t uid) {
  uid_t folderUid;
  switch (parent.kind) {
    case NodeKind::Root:
      if (!ParseUserFolder(name, folderUid)) break;
      return ReplyEntry(req, *Names().Remember(parent, name, NodeKind::UserFolder, folderUid, nullptr));
    case NodeKind::UserFolder:
      if (strcmp(name, kServerWord) != 0) break;
      return ReplyEntry(req, *Names().Remember(parent, name, NodeKind::ServerFolder, uid, nullptr));
    case NodeKind::ServerFolder: {
      std::u16string wide = Utf8ToUtf16(name);
      if (Connection* conn = Users().ConnectionByName(uid, wide)) {
        if (IsPipeOrIpcName(kFullNamePrefix + wide)) {
          fuse_reply_err(req, EOPNOTSUPP);
          return;
        }
        return ReplyEntry(req, *Names().Remember(parent, name, NodeKind::ConnectionRoot, uid, conn));
      }
      if (strcmp(name, kSuspendFolder) == 0 && Users().SlotOfUid(uid))
        return ReplyEntry(req, *Names().Remember(parent, name, NodeKind::SuspendFolder, uid, nullptr));
      break;
    }
    default:
      break;
  }
  fuse_reply_err(req, ENOENT);
}
}  // namespace

void OpLookup(fuse_req_t req, fuse_ino_t parentIno, const char* name) {
  uid_t uid = CallerUid(req);
  std::u16string fullName;
  Connection* conn = nullptr;
  {
    std::unique_lock<std::mutex> lock(DriverMutex());
    Node* parent = Names().Get(parentIno);
    if (parent == nullptr) return (void)fuse_reply_err(req, ENOENT);
    if (parent->kind != NodeKind::Root && parent->uid != uid) return (void)fuse_reply_err(req, EACCES);
    if (parent->goneUnderSpelling) return (void)fuse_reply_err(req, ENOENT);
    if (parent->kind == NodeKind::SuspendFolder) {
      bool suspend = IsSuspendName(u"\\QUENLODE\\sp\\" + Utf8ToUtf16(name));
      lock.unlock();
      if (suspend) SuspendCaller(uid);
      return (void)fuse_reply_err(req, ENOENT);
    }
    if (parent->kind != NodeKind::ConnectionRoot && parent->kind != NodeKind::Remote)
      return LookupLocal(req, *parent, name, uid);

    if (!IsWellFormedUtf8(name)) return (void)fuse_reply_err(req, EINVAL);
    std::u16string component = Utf8ToUtf16(name);
    if (UnusableComponent(component)) return (void)fuse_reply_err(req, EINVAL);
    fullName = parent->fullName + u"\\" + component;
    if (fullName.size() > kMaxFullNameChars) return (void)fuse_reply_err(req, ENAMETOOLONG);
    if (IsSuspendName(fullName)) {
      lock.unlock();
      SuspendCaller(uid);
      return (void)fuse_reply_err(req, ENOENT);
    }
    if (IsPipeOrIpcName(fullName)) return (void)fuse_reply_err(req, EOPNOTSUPP);
    if (HasWildcards(component)) return (void)fuse_reply_err(req, EINVAL);
    Node* known = Names().Child(parentIno, name);
    if (known && (AttrFresh(*known) || known->fcbToken != 0))
      return ReplyEntry(req, *Names().Remember(*parent, name, NodeKind::Remote, uid, parent->connection));
    if (known == nullptr && OwnFolderKnowsMissing(*parent, name, Clock::now()))
      return ReplyMissing(req);
    conn = parent->connection;
  }
  std::string childName(name);
  ProbeAttributes(conn, fullName, BeginOperation(req),
                  [req, parentIno, childName, uid, conn](int error, const RemoteAttr& attr) {
                    if (error != 0) return (void)fuse_reply_err(req, error);
                    std::unique_lock<std::mutex> lock(DriverMutex());
                    Node* parent = Names().Get(parentIno);
                    if (parent == nullptr) return (void)fuse_reply_err(req, ENOENT);
                    bool fresh = Names().Child(parentIno, childName) == nullptr;
                    Node* node = Names().Remember(*parent, childName, NodeKind::Remote, uid, conn);
                    node->attr = attr;
                    node->attrTime = Clock::now();
                    if (fresh) NoteNewSpelling(*node);
                    ReplyEntry(req, *node);
                  });
}

void OpForget(fuse_req_t req, fuse_ino_t ino, uint64_t count) {
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Names().Forget(ino, count);
  }
  fuse_reply_none(req);
}

void OpForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    for (size_t i = 0; i < count; ++i) Names().Forget(forgets[i].ino, forgets[i].nlookup);
  }
  fuse_reply_none(req);
}

void OpGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  Connection* conn = nullptr;
  std::u16string fullName;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().Get(ino);
    if (node == nullptr) return (void)fuse_reply_err(req, ENOENT);
    // A file whose name another spelling removed or replaced, while the
    // kernel still resolves the name to it and no descriptor holds it: stale,
    // so the kernel looks the name up again. So is a folder that another
    // spelling removed or moved away: the notice that makes the kernel forget
    // its name waits for the parent folder's lock, and a look that resolved
    // the name just before it may ask only afterwards. (A folder removed
    // under its own name keeps its attributes for the programs inside it.)
    if (node->kind == NodeKind::Remote && node->detached && node->fcbToken == 0 &&
        (!node->attr.isDirectory || node->goneUnderSpelling))
      return (void)fuse_reply_err(req, ESTALE);
    if (node->kind != NodeKind::Remote || node->fcbToken != 0 || AttrFresh(*node) || node->detached) {
      struct stat st;
      FillStat(*node, st);
      return (void)fuse_reply_attr(req, &st, AttrTimeoutOf(*node));
    }
    conn = node->connection;
    fullName = node->fullName;
  }
  ProbeAttributes(conn, fullName, BeginOperation(req), [req, ino](int error, const RemoteAttr& attr) {
    if (error != 0) return (void)fuse_reply_err(req, error);
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().Get(ino);
    if (node == nullptr) return (void)fuse_reply_err(req, ENOENT);
    node->attr = attr;
    node->attrTime = Clock::now();
    struct stat st;
    FillStat(*node, st);
    fuse_reply_attr(req, &st, AttrTimeoutOf(*node));
  });
}

void OpStatfs(fuse_req_t req, fuse_ino_t ino) {
  VolumeSize size = VolumeSizeOf(0, 0);
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().Get(ino);
    if (Connection* conn = node ? node->connection : nullptr)
      size = VolumeSizeOf(conn->usedUnits, conn->freeUnits);
  }
  struct statvfs figures {};
  figures.f_bsize = kUnitBytes;
  figures.f_frsize = kUnitBytes;
  figures.f_blocks = size.total;
  figures.f_bfree = size.available;
  figures.f_bavail = size.available;
  figures.f_namemax = kMaxComponentLength;
  fuse_reply_statfs(req, &figures);
}

}  // namespace hvm::driver
