// Open and create (the FCB per inode, the saved-FCB check, MJ_TOKEN_REPLACE),
// flush as cleanup answered after the upload, release as close.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <thread>

#include "driver/file_objects.h"
#include "driver/fuse_glue.h"
#include "driver/other_spellings.h"
#include "driver/requests.h"
#include "driver/short_handles.h"
#include "driver/status_errno.h"
#include "driver/trace.h"
#include "platform/start_thread.h"
#include "platform/wide_text.h"

namespace hvm::driver {

namespace {
struct OpenJob {
  fuse_req_t req;
  fuse_file_info fi;  // FUSE's copy lives on its stack only during the call
  bool create = false;
  uint64_t ino = 0;       // open: the file; create: the parent
  std::string name;       // create: the new name
  uid_t uid = 0;
  uint32_t disposition = FILE_OPEN;
  uint32_t access = 0;
  uint64_t operation = 0;
  // Filled when the create is sent.
  Connection* conn = nullptr;
  std::u16string fullName;
  std::shared_ptr<std::unique_ptr<Fcb>> freshFcb;
  uint32_t offeredToken = 0;
  uint32_t fileObject = 0;
};

uint32_t AccessOf(int flags) {
  uint32_t access = 0;
  switch (flags & O_ACCMODE) {
    case O_RDONLY: access = FILE_READ_DATA; break;
    case O_WRONLY: access = FILE_WRITE_DATA; break;
    default: access = FILE_READ_DATA | FILE_WRITE_DATA; break;
  }
  if (flags & O_APPEND) access |= FILE_APPEND_DATA;
  return access;
}

void ReplyOpened(std::shared_ptr<OpenJob> job, const Node& node);
void FinishOpen(std::shared_ptr<OpenJob> job, ForwardResult& result);

// Builds and sends the create; an FCB whose upload still runs makes the open wait.
void SendOpen(std::shared_ptr<OpenJob> job) {
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().Get(job->ino);
    if (node == nullptr) return (void)fuse_reply_err(job->req, ENOENT);
    // Its name now stands for something else, or for nothing: a new file is
    // not made in a folder that is gone, and an open of a file that is gone
    // is stale, so the kernel looks its name up again.
    if (node->goneUnderSpelling && (job->create || node->fcbToken == 0))
      return (void)fuse_reply_err(job->req, job->create ? ENOENT : ESTALE);
    job->conn = node->connection;
    if (job->create) {
      job->fullName = node->fullName + u"\\" + Utf8ToUtf16(job->name);
    } else {
      job->fullName = node->fullName;
      Fcb* fcb = node->fcbToken ? job->conn->fcbs.Find(node->fcbToken) : nullptr;
      if (fcb && fcb->uploadsRunning > 0) {
        fcb->waitingForUpload.push_back([job] { SendOpen(job); });
        return;
      }
      if (fcb) job->offeredToken = fcb->token;
    }
    if (job->offeredToken == 0) {
      job->freshFcb = std::make_shared<std::unique_ptr<Fcb>>(FcbTable::Allocate());
      job->offeredToken = (*job->freshFcb)->token;
    }
    job->fileObject = NewFileObjectId();
  }
  auto create = CreateRequest(job->fullName, job->disposition, FILE_NON_DIRECTORY_FILE, job->access,
                              job->offeredToken, job->fileObject);
  create->operation = job->operation;
  create->done = [job](ForwardResult& result) { FinishOpen(job, result); };
  Send(job->conn, create);
}

// The FCB this open uses, after checking the agent's token against the table.
// Sets staleToken when the agent must be told of the FCB used instead.
Fcb* ChooseFcb(OpenJob& job, const CreateReply& reply, uint32_t& staleToken, bool& purge) {
  FcbTable& table = job.conn->fcbs;
  if (reply.token != 0 && table.Contains(reply.token)) {
    Fcb* saved = table.Find(reply.token);
    Trace("***isChanged %d fcbCount=%zu\n", reply.changed, table.size());
    if (saved->handles == 0 && reply.changed && saved->references > 0) {
      saved->SetAllSizes(reply.size);
      purge = true;
    }
    return saved;
  }
  Fcb* chosen = nullptr;
  if (job.freshFcb && *job.freshFcb) {
    chosen = job.freshFcb->get();
    chosen->SetAllSizes(reply.size);
    chosen->ino = job.create ? 0 : job.ino;
    table.Add(std::move(*job.freshFcb));
  } else {
    chosen = table.Find(job.offeredToken);
    if (chosen == nullptr) {  // released meanwhile: start a fresh one
      auto fresh = FcbTable::Allocate();
      fresh->SetAllSizes(reply.size);
      chosen = fresh.get();
      table.Add(std::move(fresh));
    }
  }
  // The agent keeps the token it names; the notice matters only when that is
  // not the FCB chosen (the offered token itself needs none: the agent already
  // holds it, and the notice would cost a round trip for nothing).
  if (reply.token != 0 && reply.token != chosen->token) {
    Trace("SavedFcb fcb=%x savefcb=%x\n", chosen->token, reply.token);
    staleToken = reply.token;
  }
  return chosen;
}

// The file object of a successful open, and what the kernel is told about
// its cached pages.
void RegisterOpen(OpenJob& job, const CreateReply& reply, Fcb& fcb, Node* node) {
  auto object = std::make_unique<FileObject>();
  object->id = job.fileObject;
  object->connection = job.conn;
  object->fcbToken = fcb.token;
  object->uid = job.uid;
  object->openFlags = job.fi.flags;
  object->fullName = job.fullName;
  // An emptied file is uploaded when it is closed, even unwritten. A new one
  // only when the agent makes it on the server at that cleanup; one it made
  // at create is not, as a shell that duplicates the descriptor and closes
  // the first would upload it twice.
  object->written = (!job.create && (job.fi.flags & O_TRUNC) != 0) || reply.madeAtCleanup;
  if (node) {
    object->ino = node->ino;
    if (fcb.ino == 0) fcb.ino = node->ino;
    bool sizeChanged = node->attrTime != Clock::time_point{} && node->attr.size != reply.size;
    // Pages this node kept may predate writes made through another
    // spelling's node of the same file.
    bool sharedWithOtherNode = !fcb.OtherNodes(node->ino).empty();
    job.fi.keep_cache = !(reply.changed || sizeChanged || sharedWithOtherNode);
    // A token the node still names may belong to an FCB another spelling's
    // close has freed; the node then takes this one.
    if (node->fcbToken == 0 || !job.conn->fcbs.Contains(node->fcbToken)) node->fcbToken = fcb.token;
    if (node->fcbToken == fcb.token &&
        std::find(fcb.nodeInos.begin(), fcb.nodeInos.end(), node->ino) == fcb.nodeInos.end())
      fcb.nodeInos.push_back(node->ino);
    node->attr.size = fcb.fileSize;
    if (job.create) {
      node->attr.isDirectory = false;
      node->attr.lastWriteTime = node->attr.changeTime = node->attr.creationTime = FiletimeNow();
      node->attrTime = Clock::now();
    }
  }
  job.fi.fh = object->id;
  job.fi.noflush = (job.fi.flags & O_ACCMODE) == O_RDONLY && !object->written;
  OpenFiles().Add(std::move(object));
  Trace("Created fcb=%x count %u size=%llu %s\n", fcb.token, fcb.references,
        static_cast<unsigned long long>(fcb.fileSize), Utf16ToUtf8(job.fullName).c_str());
}

void FinishOpen(std::shared_ptr<OpenJob> job, ForwardResult& result) {
  if (result.status != STATUS_SUCCESS) {
    if (job->create) {
      // The agent knows something of the folder the driver does not.
      {
        std::lock_guard<std::mutex> guard(DriverMutex());
        if (Node* parent = Names().Get(job->ino)) DropOwnFolder(*parent);
      }
      ForgetEntry(job->uid, job->ino, job->name);  // the kernel may remember it as missing
    }
    return (void)fuse_reply_err(job->req, ErrnoOf(result));
  }
  CreateReply reply = DecodeCreateReply(result);
  uint32_t staleToken = 0, token = 0;
  bool purge = false;
  uint64_t nodeIno = 0, size = 0;
  uint8_t references = 0, handles = 0;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().Get(job->ino);
    if (node && job->create) {
      NoteOwnName(*node, job->name);
      node = Names().Remember(*node, job->name, NodeKind::Remote, job->uid, job->conn);
    }
    Fcb* fcb = ChooseFcb(*job, reply, staleToken, purge);
    if (reply.newEmptyFile) {
      fcb->SetAllSizes(0);
      fcb->contentsSent = true;
    }
    fcb->references += 1;
    fcb->handles += 1;
    references = static_cast<uint8_t>(fcb->references);
    handles = static_cast<uint8_t>(fcb->handles);
    token = fcb->token;
    size = fcb->fileSize;
    RegisterOpen(*job, reply, *fcb, node);
    nodeIno = node ? node->ino : 0;
  }
  if (staleToken != 0)  // its result is not waited for
    Send(job->conn,
         TokenReplaceRequest(job->fileObject, size, staleToken, reply.changed, references, handles, token));
  if (purge && nodeIno) PurgeInode(job->uid, nodeIno);
  std::lock_guard<std::mutex> guard(DriverMutex());
  Node* node = Names().Get(nodeIno);
  if (node == nullptr) return (void)fuse_reply_err(job->req, ENOENT);
  ReplyOpened(job, *node);
}

void ReleaseObject(uint32_t id);

void ReplyOpened(std::shared_ptr<OpenJob> job, const Node& node) {
  int sent;
  if (job->create) {
    fuse_entry_param entry = EntryOf(node);
    sent = fuse_reply_create(job->req, &entry, &job->fi);
  } else {
    sent = fuse_reply_open(job->req, &job->fi);
  }
  // The caller went away (interrupted): nobody will release this open.
  if (sent != 0) {
    uint32_t id = static_cast<uint32_t>(job->fi.fh);
    std::thread releaser;
    if (StartThread(releaser, [id] { ReleaseObject(id); })) {
      releaser.detach();
    } else {
      // Better an open that stays until the drive goes than a daemon that ends.
      Trace("Err: no thread to release the interrupted open %x\n", id);
    }
  }
}

bool StartJob(fuse_req_t req, fuse_file_info* fi, std::shared_ptr<OpenJob> job, fuse_ino_t ino) {
  std::lock_guard<std::mutex> guard(DriverMutex());
  Node* node = Names().Get(ino);
  if (node == nullptr) return fuse_reply_err(req, ENOENT), false;
  if (node->uid != job->uid) return fuse_reply_err(req, EACCES), false;
  if (node->kind != NodeKind::Remote && node->kind != NodeKind::ConnectionRoot)
    return fuse_reply_err(req, job->create ? EACCES : EISDIR), false;
  if (!job->create && node->attr.isDirectory) return fuse_reply_err(req, EISDIR), false;
  job->fi = *fi;
  job->access = AccessOf(fi->flags);
  return true;
}

// Close: the agent's value says whether its copy survives; the last close
// frees the FCB.
void FinishClose(uint32_t id, ForwardResult& result) {
  uint64_t purgeIno = 0;
  std::vector<uint64_t> released;  // other nodes that let go of the FCB
  std::lock_guard<std::mutex> guard(DriverMutex());
  FileObject* object = OpenFiles().Get(id);
  if (object == nullptr) return;
  Fcb* fcb = FcbOf(*object);
  Node* node = Names().Get(object->ino);
  if (fcb) {
    bool dropped = result.timedOut || result.value == 0;
    if (dropped || result.corrected || (result.value == kNoLocalCopy && fcb->contentsSent)) {
      Trace("Close file %x\n", fcb->token);
      fcb->contentsSent = false;
    }
    if (dropped) {
      Trace("Purge file\n");
      if (result.status != STATUS_CANNOT_DELETE && result.status != STATUS_ACCESS_DENIED)
        fcb->SetAllSizes(0);
      purgeIno = fcb->ino;
    }
    fcb->references -= fcb->references > 0 ? 1 : 0;
    if (fcb->references == 0) {
      Trace("CLosing and deleting fcb=%x\n", fcb->token);
      for (uint64_t holder : fcb->nodeInos) {
        Node* other = Names().Get(holder);
        if (other == nullptr || other->fcbToken != fcb->token) continue;
        other->attr.size = fcb->fileSize;
        other->attrTime = {};  // learn the server's view again
        other->fcbToken = 0;
        if (holder != object->ino) released.push_back(holder);
      }
      object->connection->fcbs.Remove(fcb->token);
    }
  }
  uint64_t ino = object->ino;
  uid_t owner = object->uid;
  OpenFiles().Remove(id);
  if (node && node->lookups == 0) Names().Forget(ino, 0);
  for (uint64_t holder : released) Names().Forget(holder, 0);
  if (purgeIno) PurgeInode(owner, purgeIno);
}

// The size a cleanup or close carries is the FCB's when it goes out (called
// under the driver lock): the kernel's release may come long after the
// program's close, behind a truncate that another open did meanwhile.
std::function<uint64_t()> SizeWhenSent(uint32_t id, uint64_t fallback) {
  return [id, fallback] {
    FileObject* object = OpenFiles().Get(id);
    return object ? FileValueOf(*object) : fallback;
  };
}

// Cleanup (unless already done) and close of one file object; then runs last.
void CloseObject(uint32_t id, std::function<void()> last) {
  Connection* conn = nullptr;
  uint64_t fileValue = 0;
  bool needsCleanup = false;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(id);
    if (object == nullptr) return last();
    conn = object->connection;
    fileValue = FileValueOf(*object);
    needsCleanup = !object->cleanedUp;
    object->cleanedUp = true;
    if (Fcb* fcb = FcbOf(*object); fcb && needsCleanup && fcb->handles > 0) fcb->handles -= 1;
  }
  auto sizeNow = SizeWhenSent(id, fileValue);
  auto sendClose = [id, conn, fileValue, last, sizeNow] {
    auto close = PlainRequest(MJ_CLOSE, id, fileValue);
    close->sizeAtHandOver = sizeNow;
    close->done = [id, last](ForwardResult& result) {
      FinishClose(id, result);
      last();
    };
    Send(conn, close, true);
  };
  if (!needsCleanup) return sendClose();
  auto cleanup = PlainRequest(MJ_CLEANUP, id, fileValue);
  cleanup->sizeAtHandOver = sizeNow;
  // The program's close(2) has returned (or never came): the agent tells the
  // person how the upload ends.
  cleanup->words[0] = kCleanupNobodyWaits;
  cleanup->onPendingDone = [sendClose](NTSTATUS, uint32_t, bool) { sendClose(); };
  cleanup->done = [sendClose](ForwardResult& result) {
    if (result.status != STATUS_PENDING) sendClose();
  };
  Send(conn, cleanup);
}

void ReleaseObject(uint32_t id) {
  CloseObject(id, [] {});
}

void FinishUpload(uint32_t id, fuse_req_t req, int error) {
  std::vector<std::function<void()>> waiting;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(id);
    if (Fcb* fcb = object ? FcbOf(*object) : nullptr) {
      fcb->uploadsRunning -= fcb->uploadsRunning > 0 ? 1 : 0;
      if (fcb->uploadsRunning == 0) waiting.swap(fcb->waitingForUpload);
    }
  }
  Trace("CleanupFinish status=%d\n", error);
  fuse_reply_err(req, error);
  for (auto& resume : waiting) resume();
}
}  // namespace

void OpOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto job = std::make_shared<OpenJob>();
  job->req = req;
  job->ino = ino;
  job->uid = CallerUid(req);
  if (!StartJob(req, fi, job, ino)) return;
  job->operation = BeginOperation(req);
  SendOpen(job);
}

void OpCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* fi) {
  auto job = std::make_shared<OpenJob>();
  job->req = req;
  job->ino = parent;
  job->create = true;
  job->name = name;
  job->uid = CallerUid(req);
  if (fi->flags & O_EXCL)
    job->disposition = FILE_CREATE;
  else
    job->disposition = (fi->flags & O_TRUNC) ? FILE_OVERWRITE_IF : FILE_OPEN_IF;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().Get(parent);
    if (node && node->goneUnderSpelling) return (void)fuse_reply_err(req, ENOENT);
    if (node && (node->kind == NodeKind::ConnectionRoot || node->kind == NodeKind::Remote)) {
      std::u16string component = Utf8ToUtf16(name);
      std::u16string fullName = node->fullName + u"\\" + component;
      if (!IsWellFormedUtf8(name) || UnusableComponent(component) || HasWildcards(component) ||
          HasControlCharacters(component))
        return (void)fuse_reply_err(req, EINVAL);
      if (fullName.size() > kMaxFullNameChars) return (void)fuse_reply_err(req, ENAMETOOLONG);
      if (IsPipeOrIpcName(fullName)) return (void)fuse_reply_err(req, EOPNOTSUPP);
    }
  }
  if (!StartJob(req, fi, job, parent)) return;
  job->access |= FILE_WRITE_DATA;
  job->operation = BeginOperation(req);
  SendOpen(job);
}

void OpFlush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  uint32_t id = static_cast<uint32_t>(fi->fh);
  Connection* conn = nullptr;
  uint64_t fileValue = 0;
  bool otherSpellings = false;
  uid_t owner = 0;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(id);
    if (object == nullptr || !object->written) return (void)fuse_reply_err(req, 0);
    owner = object->uid;
    // Only a written handle uploads; its cleanup is answered after the upload.
    object->written = false;
    object->cleanedUp = true;
    Fcb* fcb = FcbOf(*object);
    if (fcb) {
      if (fcb->handles > 0) fcb->handles -= 1;
      fcb->uploadsRunning += 1;
    }
    conn = object->connection;
    fileValue = FileValueOf(*object);
    Node* node = Names().Get(object->ino);
    otherSpellings = node && StaleOtherSpellings(*node);
    Trace("CLEAN fcb=%x %s\n", fcb ? fcb->token : 0, Utf16ToUtf8(object->fullName).c_str());
  }
  // Once close returns, the other spellings of the name show what was written.
  auto finish = [id, req, otherSpellings, owner](int error) {
    if (!otherSpellings) return FinishUpload(id, req, error);
    AfterQueuedPurges(owner, [id, req, error] { FinishUpload(id, req, error); });
  };
  auto cleanup = PlainRequest(MJ_CLEANUP, id, fileValue);
  cleanup->sizeAtHandOver = SizeWhenSent(id, fileValue);
  cleanup->onPendingDone = [finish](NTSTATUS status, uint32_t, bool timedOut) {
    // An upload whose end the agent never reported did not succeed.
    finish(timedOut ? EIO : ErrnoFromStatus(status));
  };
  cleanup->done = [finish](ForwardResult& result) {
    if (result.status == STATUS_PENDING) return;
    // A written handle whose cleanup never reached the agent was not uploaded.
    finish(result.corrected || result.channelFailure ? EIO : ErrnoOf(result));
  };
  Send(conn, cleanup);
}

void OpRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  CloseObject(static_cast<uint32_t>(fi->fh), [req] { fuse_reply_err(req, 0); });
}

void OpFsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi) {
  Connection* conn = nullptr;
  uint64_t fileValue = 0;
  uint32_t id = static_cast<uint32_t>(fi->fh);
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(id);
    if (object == nullptr || FcbOf(*object) == nullptr) {
      DirectPrint("Err:QlodeFlush pconn=%d fcb=%d\n", object != nullptr, 0);
      return (void)fuse_reply_err(req, EACCES);
    }
    conn = object->connection;
    fileValue = FileValueOf(*object);
  }
  auto flush = PlainRequest(MJ_FLUSH_BUFFERS, id, fileValue);
  flush->done = [req](ForwardResult& result) {
    // Success whatever the agent answered, unless the channel itself failed.
    fuse_reply_err(req, result.channelFailure ? EIO : 0);
  };
  Send(conn, flush);
}

}  // namespace hvm::driver
