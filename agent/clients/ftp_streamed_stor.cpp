// A STOR of a large local copy that starts while the program is still
// writing it (see streamed_upload.h), on a control connection of its own.
// A stream broken off leaves a partial file on the server only until the
// close stores the whole copy the ordinary way.
#include <atomic>
#include <memory>

#include "agent/clients/ftp_client.h"
#include "agent/clients/ftp_session.h"
#include "agent/clients/streamed_upload.h"
#include "agent/clients/webdav_client.h"
#include "common/moorlib.h"

namespace hvm {
namespace {

struct StreamedStorAnswer {
  DWORD error = 0;
  uint64_t stored = FtpSession::kNoSizeKnown;
  std::atomic<bool> began{false};  // the server took the STOR: the name holds our bytes
  bool nameTaken = false;          // another client made the new name meanwhile
  bool foundFree = false;          // the new name was free, and the STOR may have made it
};

}  // namespace

void FtpClient::ProgramWrote(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end) {
  if (!entry) return;
  if (FindStream(*entry)) return RemoteClient::ProgramWrote(entry, reply, start, end);
  if (!MayStartStream(*entry, end) || Connect()) return;
  auto answer = std::make_shared<StreamedStorAnswer>();
  StreamedUpload* stream = AttachStream(*entry, end, answer);
  if (!stream) return;
  // A new name must still be free when the stream begins, as for the upload at close.
  bool onlyIfFree = IsUnsentNewFile(*entry);
  stream->Start([endpoint = endpoint_, path = FtpPathOf(reply.serverPath), answer, onlyIfFree](StreamedUpload& s) {
    FtpSession session(endpoint);
    // A server that stopped reading would hold the transfer until its time-out.
    s.SetCanceller([&session] { session.Cancel(); });
    std::function<long(char*, size_t)> source = [&s, &answer](char* buffer, size_t length) {
      answer->began = true;
      return s.Read(buffer, length);
    };
    answer->error =
        session.valid() ? session.UploadFrom(path, source, &answer->stored, onlyIfFree) : kInetOutOfHandles;
    answer->nameTaken = session.nameTaken();
    answer->foundFree = session.nameFoundFree();
    s.SetCanceller({});
    return answer->error == 0;
  });
}

void FtpClient::LeavePath(FileEntry* entry) {
  StreamedUpload* stream = entry ? FindStream(*entry) : nullptr;
  if (stream == nullptr) return;
  // Broken off, it ends as one broken by the server: what it left under the
  // old name is ours, and goes along with the rename.
  stream->Cancel();
  FinishStreamedStor(entry, 0);
}

bool FtpClient::FinishStreamedStor(FileEntry* entry, uint64_t size) {
  StreamedUpload* stream = FindStream(*entry);
  if (!stream) return false;
  bool sent = stream->Finish(size);
  auto answer = std::static_pointer_cast<StreamedStorAnswer>(stream->protocolAnswer);
  DetachSection(*entry, stream);  // its thread has ended
  // The server's own count must agree, where it gives one.
  if (sent && answer->stored != FtpSession::kNoSizeKnown && answer->stored != size) sent = false;
  if (sent) return true;
  WideDbgPrint(u"the streamed upload of %ws did not finish (error=%ld), sending the copy\n", entry->path,
               static_cast<long>(answer->error));
  // A broken STOR left part of our file under the new name: the whole copy
  // replaces it without asking whether the name is free. A name another
  // client took is found taken again by the upload at close.
  if ((answer->began || answer->foundFree) && !answer->nameTaken) entry->flags &= ~kEntryMustBeNew;
  return false;
}

}  // namespace hvm
