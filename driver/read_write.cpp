// Read and write paths: reads the page cache misses, writes in pieces of
// the Connection's size (64 KiB, or whole for an agent that asked for wide
// pieces), and the content push that gives the agent the whole file before
// the first write.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "driver/file_objects.h"
#include "driver/fuse_glue.h"
#include "driver/requests.h"
#include "driver/short_handles.h"
#include "driver/trace.h"
#include "platform/wide_text.h"

namespace hvm::driver {

namespace {
struct ReadJob {
  fuse_req_t req;
  Connection* conn;
  uint32_t fileObject;
  uint64_t fileValue;
  uint64_t offset;
  uint64_t length;     // the whole answer
  uint64_t fromAgent;  // bytes below the valid length, read from the agent
  size_t pieceSize;
  // The whole answer, past the valid length zeros; made only when the
  // agent's reply alone is not the answer.
  std::vector<uint8_t> buffer;
  uint64_t done = 0;
  uint64_t operation = 0;
};

void ReadNextPiece(std::shared_ptr<ReadJob> job) {
  uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(job->pieceSize, job->fromAgent - job->done));
  auto read = ReadRequest(job->fileObject, job->fileValue, job->offset + job->done, piece);
  read->operation = job->done == 0 ? job->operation : 0;
  read->answersOnly = job->done + piece >= job->fromAgent;  // the last piece only answers the kernel
  read->done = [job, piece](ForwardResult& result) {
    if (result.status == STATUS_END_OF_FILE) {
      fuse_reply_buf(job->req, reinterpret_cast<const char*>(job->buffer.data()), job->done);
      return;
    }
    if (result.status != STATUS_SUCCESS) return (void)fuse_reply_err(job->req, ErrnoOfOpenFile(result));
    const uint8_t* bytes = ResultBytes(result);
    size_t size = ResultSize(result);
    if (job->done == 0 && piece == job->length && size >= piece) {
      // The usual read: one piece is the whole answer, handed on as it came
      // (from the shared area's slot, which is held until this returns).
      fuse_reply_buf(job->req, reinterpret_cast<const char*>(bytes), piece);
      return;
    }
    if (job->buffer.empty()) job->buffer.assign(job->length, 0);
    size_t take = std::min<size_t>(piece, size);
    memcpy(job->buffer.data() + job->done, bytes, take);
    job->done += piece;
    if (job->done < job->fromAgent) return ReadNextPiece(job);
    fuse_reply_buf(job->req, reinterpret_cast<const char*>(job->buffer.data()), job->buffer.size());
  };
  Send(job->conn, read, job->done != 0);
}

struct WriteJob {
  fuse_req_t req;
  Connection* conn;
  uint32_t fileObject;
  std::vector<uint8_t> bytes;
  // The bytes in a slot of the Connection's shared area instead (a write of
  // one piece when a slot was free).
  std::shared_ptr<SlotLease> slot;
  uint64_t offset = 0;
  uint64_t firstKey = 0;
  uint64_t fileValue = 0;
  uint64_t sizeBefore = 0;
  size_t pieceSize = kMaxChunk;
  size_t length = 0;  // bytes.size() until a whole write is handed over
  size_t done = 0;
};

void FinishWrite(std::shared_ptr<WriteJob> job, int error) {
  std::vector<uint64_t> stale;  // other spellings' nodes of the file
  uid_t owner = 0;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(job->fileObject);
    if (object) owner = object->uid;
    Fcb* fcb = object ? FcbOf(*object) : nullptr;
    if (fcb && error != 0 && fcb->fileSize == job->offset + job->length &&
        job->sizeBefore < fcb->fileSize) {
      fcb->fileSize = fcb->allocationSize = job->sizeBefore;  // roll back the extension
    }
    if (fcb && error == 0) {
      fcb->validLength = std::max<uint64_t>(fcb->validLength, job->offset + job->length);
      object->written = true;
      if (Node* node = Names().Get(object->ino)) node->attr.lastWriteTime = FiletimeNow();
      stale = fcb->OtherNodes(object->ino);
    }
  }
  for (uint64_t ino : stale) PurgeInode(owner, ino);
  if (error != 0) return (void)fuse_reply_err(job->req, error);
  fuse_reply_write(job->req, job->length);
}

void WriteNextPiece(std::shared_ptr<WriteJob> job) {
  uint32_t piece = static_cast<uint32_t>(std::min<size_t>(job->pieceSize, job->length - job->done));
  if (job->done != 0) Trace("Long low write %zu/%u\n", job->done, piece);
  // Each piece carries the valid length before it, as separate writes of
  // one piece each would: the earlier pieces leave no gap in front of it.
  uint64_t at = job->offset + job->done;
  uint64_t key = job->done == 0 ? job->firstKey : std::max(job->firstKey, at);
  // A write handed over whole takes the job's bytes along instead of a copy.
  const uint8_t* bytes = job->bytes.data() + job->done;
  ForwardPtr write;
  if (job->slot) {
    write = WriteRequest(job->fileObject, job->fileValue, at, key, nullptr, 0);
    write->words[0] = piece;
    write->slot = std::move(job->slot);
    write->slotBytes = piece;
  } else if (piece == job->length) {
    write = WriteRequest(job->fileObject, job->fileValue, at, key, std::move(job->bytes));
  } else {
    write = WriteRequest(job->fileObject, job->fileValue, at, key, bytes, piece);
  }
  write->done = [job, piece](ForwardResult& result) {
    if (result.status != STATUS_SUCCESS) return FinishWrite(job, ErrnoOfOpenFile(result));
    job->done += piece;
    if (job->done < job->length) return WriteNextPiece(job);
    FinishWrite(job, 0);
  };
  Send(job->conn, write, job->done != 0);
}

void StartWritePieces(std::shared_ptr<WriteJob> job, bool append) {
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(job->fileObject);
    Fcb* fcb = object ? FcbOf(*object) : nullptr;
    if (fcb == nullptr) return (void)fuse_reply_err(job->req, EACCES);
    if (append) job->offset = fcb->fileSize;  // write to end of file
    job->sizeBefore = fcb->fileSize;
    uint64_t end = job->offset + job->length;
    if (end > fcb->fileSize) fcb->fileSize = fcb->allocationSize = end;
    job->firstKey = fcb->validLength;
    job->fileValue = fcb->fileSize;
    job->pieceSize = object->connection->pieceSize;
    // Raised now, so that a write queued behind this one does not ask the
    // agent to zero-fill a gap this one is about to fill.
    fcb->validLength = std::max(fcb->validLength, end);
    Trace("WRITE count=%zu fcb=%x %llu\n", job->length, fcb->token,
          static_cast<unsigned long long>(job->offset));
  }
  WriteNextPiece(job);
}

struct PushJob {
  Connection* conn;
  uint32_t fileObject;
  uint64_t fileValue;
  uint64_t length;
  uint64_t done = 0;
  uint32_t fcbToken;
  size_t pieceSize;
};

void FinishPush(std::shared_ptr<PushJob> job, int error) {
  std::vector<std::function<void(int)>> waiting;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    if (Fcb* fcb = job->conn->fcbs.Find(job->fcbToken)) {
      fcb->pushRunning = false;
      if (error == 0) fcb->contentsSent = true;
      waiting.swap(fcb->waitingForPush);
    }
  }
  Trace("readFile %s len=%llu\n", error == 0 ? "STATUS_SUCCESS" : "failed",
        static_cast<unsigned long long>(job->length));
  for (auto& then : waiting) then(error);
}

void PushNextPiece(std::shared_ptr<PushJob> job) {
  if (job->done >= job->length) {
    auto end = PushEndRequest(job->fileObject, job->fileValue, job->length, job->pieceSize);
    end->done = [job](ForwardResult& result) {
      FinishPush(job, result.status == STATUS_SUCCESS ? 0 : ErrnoOfOpenFile(result));
    };
    Send(job->conn, end, true);
    return;
  }
  uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(job->pieceSize, job->length - job->done));
  Trace("ReadFile(net) fcb=%x %llu len=%u\n", job->fcbToken,
        static_cast<unsigned long long>(job->done), piece);
  auto fetch = PushFetchRequest(job->fileObject, job->fileValue, job->done, piece);
  fetch->done = [job, piece](ForwardResult& result) {
    if (result.status != STATUS_SUCCESS) return FinishPush(job, ErrnoOfOpenFile(result));
    job->done += piece;
    PushNextPiece(job);
  };
  Send(job->conn, fetch, job->done != 0);
}
}  // namespace

void PushContents(uint32_t fileObjectId, std::function<void(int error)> then) {
  std::shared_ptr<PushJob> job;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(fileObjectId);
    Fcb* fcb = object ? FcbOf(*object) : nullptr;
    if (fcb == nullptr || fcb->contentsSent || IsPipeOrIpcName(object->fullName)) {
      // nothing to send (or nothing the agent could use)
    } else if (fcb->pushRunning) {
      fcb->waitingForPush.push_back(std::move(then));
      return;
    } else {
      fcb->pushRunning = true;
      fcb->waitingForPush.push_back(std::move(then));
      job = std::make_shared<PushJob>(PushJob{object->connection, fileObjectId, fcb->fileSize,
                                              fcb->validLength, 0, fcb->token,
                                              object->connection->pieceSize});
      Trace("ReadFile fcb=%x flen=%llu %s\n", fcb->token,
            static_cast<unsigned long long>(fcb->validLength),
            Utf16ToUtf8(object->fullName).c_str());
    }
  }
  if (!job) return then(0);
  PushNextPiece(job);
}

void OpRead(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
  auto job = std::make_shared<ReadJob>();
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(fi->fh);
    Fcb* fcb = object ? FcbOf(*object) : nullptr;
    if (fcb == nullptr) {
      DirectPrint("Err:QlodeRead pconn=%d fcb=%d\n", object != nullptr, 0);
      return (void)fuse_reply_err(req, EACCES);
    }
    uint64_t offset = static_cast<uint64_t>(off);
    if (off < 0 || offset >= fcb->fileSize) return (void)fuse_reply_buf(req, nullptr, 0);
    uint64_t length = std::min<uint64_t>(size, fcb->fileSize - offset);
    uint64_t valid = std::min(fcb->validLength, fcb->fileSize);
    *job = ReadJob{req, object->connection, object->id, fcb->fileSize, offset, length,
                   offset < valid ? std::min(length, valid - offset) : 0,
                   object->connection->pieceSize, {}};
  }
  // Bytes between the valid length and the end of file read as zeros.
  if (job->fromAgent == 0) {
    job->buffer.assign(job->length, 0);
    return (void)fuse_reply_buf(req, reinterpret_cast<const char*>(job->buffer.data()),
                                job->buffer.size());
  }
  job->operation = BeginOperation(req);
  ReadNextPiece(job);
}

void OpWrite(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t off,
             fuse_file_info* fi) {
  auto job = std::make_shared<WriteJob>();
  bool append = false;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(fi->fh);
    if (object == nullptr || FcbOf(*object) == nullptr) {
      DirectPrint("Err:QlodeWrite pconn=%d fcb=%d\n", object != nullptr, 0);
      return (void)fuse_reply_err(req, EACCES);
    }
    if (off < 0) return (void)fuse_reply_err(req, EINVAL);
    job->req = req;
    job->conn = object->connection;
    job->fileObject = object->id;
    job->offset = static_cast<uint64_t>(off);
    // A removed (or replaced) file's descriptor must never reach a new file
    // of that name; the agent holds nothing for it any more.
    if (Node* node = Names().Get(object->ino); node == nullptr || node->detached)
      return (void)fuse_reply_err(req, ESTALE);
    // Page write-back (a shared mapping) carries its own offset, whatever
    // descriptor the kernel picked for it.
    append = (object->openFlags & O_APPEND) != 0 && !fi->writepage;
    if (object->connection->area && size <= object->connection->area->slotSize() &&
        size <= object->connection->pieceSize)
      job->slot = SlotLease::Take(object->connection->area);
  }
  // The one copy of the bytes: into the slot the agent reads them from, or
  // into the job's buffer when no slot was free.
  if (job->slot) {
    memcpy(job->slot->data(), buf, size);
  } else {
    job->bytes.assign(buf, buf + size);
  }
  job->length = size;
  if (size == 0) return (void)fuse_reply_write(req, 0);
  PushContents(job->fileObject, [job, append](int error) {
    if (error != 0) return (void)fuse_reply_err(job->req, error);
    StartWritePieces(job, append);
  });
}

}  // namespace hvm::driver
