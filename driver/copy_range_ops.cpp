// copy_file_range on the mount: a whole file copied into a new, empty file
// of the same Connection is handed to the agent, which may have the server
// make the copy. Every case it cannot take is answered EOPNOTSUPP: the kernel
// then copies that call itself through reads and writes, and keeps asking on
// later calls (ENOSYS would switch the operation off for the whole mount).
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

namespace hvm::driver {

namespace {

struct CopyJob {
  fuse_req_t req;
  Connection* conn = nullptr;
  uint32_t destination = 0;  // file objects
  uint32_t source = 0;
  uint64_t length = 0;  // bytes asked for: the most the answer may report
};

// Why the agent is not asked; 0 when it is.
int RefusalOf(const FileObject* source, const FileObject* destination, off_t sourceOffset,
              off_t destinationOffset, size_t length) {
  if (source == nullptr || destination == nullptr) return EBADF;
  const Fcb* in = FcbOf(*source);
  const Fcb* out = FcbOf(*destination);
  if (in == nullptr || out == nullptr || in == out) return EOPNOTSUPP;
  if (source->connection != destination->connection) return EOPNOTSUPP;
  // Only the whole source into an empty file.
  if (sourceOffset != 0 || destinationOffset != 0 || in->fileSize == 0 || length < in->fileSize)
    return EOPNOTSUPP;
  if (out->fileSize != 0 || out->validLength != 0 || out->uploadsRunning > 0) return EOPNOTSUPP;
  // The server's copy of the source must be what readers see.
  if (in->uploadsRunning > 0 || in->pushRunning || out->pushRunning) return EOPNOTSUPP;
  if (destination->openFlags & O_APPEND) return EOPNOTSUPP;
  return 0;
}

ForwardPtr CopyRangeRequest(const CopyJob& job, uint64_t destinationSize, uint64_t sourceSize) {
  auto forward = PlainRequest(MJ_COPY_RANGE, job.destination, destinationSize);
  CopyRangeRecord record{};
  record.sourceFileObject = job.source;
  record.length = job.length;
  record.sourceSize = sourceSize;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  forward->data.assign(bytes, bytes + sizeof record);
  forward->outputLength = sizeof(CopyRangeAnswer);
  return forward;
}

void FinishCopy(const CopyJob& job, ForwardResult& result) {
  if (result.status != STATUS_SUCCESS || result.interrupted || result.channelFailure)
    return (void)fuse_reply_err(job.req, ErrnoOfOpenFile(result));
  CopyRangeAnswer answer{};
  if (result.data.size() < sizeof answer) return (void)fuse_reply_err(job.req, EIO);
  std::memcpy(&answer, result.data.data(), sizeof answer);
  // An agent's count beyond the call's length or the new size is no count.
  if (answer.copied > job.length || answer.copied > answer.destinationSize)
    return (void)fuse_reply_err(job.req, EIO);
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(job.destination);
    if (Fcb* fcb = object ? FcbOf(*object) : nullptr) {
      fcb->SetAllSizes(answer.destinationSize);
      // The agent holds no local copy of the new contents: a later write
      // needs them pushed (fetched) first.
      fcb->contentsSent = false;
      if (Node* node = Names().Get(object->ino)) {
        node->attr.size = answer.destinationSize;
        node->attr.lastWriteTime = FiletimeNow();
      }
    }
  }
  Trace("COPY RANGE %llu bytes\n", static_cast<unsigned long long>(answer.copied));
  fuse_reply_write(job.req, answer.copied);
}

}  // namespace

void OpCopyFileRange(fuse_req_t req, fuse_ino_t, off_t sourceOffset, fuse_file_info* sourceInfo, fuse_ino_t,
                     off_t destinationOffset, fuse_file_info* destinationInfo, size_t length, int flags) {
  if (flags != 0) return (void)fuse_reply_err(req, EINVAL);
  CopyJob job{req};
  uint64_t sourceSize = 0, destinationSize = 0;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* source = OpenFiles().Get(sourceInfo->fh);
    FileObject* destination = OpenFiles().Get(destinationInfo->fh);
    if (int refusal = RefusalOf(source, destination, sourceOffset, destinationOffset, length))
      return (void)fuse_reply_err(req, refusal);
    // A removed (or replaced) file's descriptor must never reach a new file of that name.
    for (const FileObject* object : {source, destination})
      if (Node* node = Names().Get(object->ino); node == nullptr || node->detached)
        return (void)fuse_reply_err(req, ESTALE);
    job.conn = destination->connection;
    job.destination = destination->id;
    job.source = source->id;
    sourceSize = FcbOf(*source)->fileSize;
    destinationSize = FileValueOf(*destination);
    job.length = length;
  }
  auto forward = CopyRangeRequest(job, destinationSize, sourceSize);
  forward->operation = BeginOperation(req);
  forward->done = [job](ForwardResult& result) { FinishCopy(job, result); };
  Send(job.conn, forward);
}

}  // namespace hvm::driver
