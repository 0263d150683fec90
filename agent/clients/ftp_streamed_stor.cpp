// A STOR of a large local copy that starts while the program is still
// writing it (see streamed_upload.h), on a control connection of its own.
// A stream broken off leaves a partial file on the server only until the
// close stores the whole copy the ordinary way.
#include <sys/stat.h>

#include <memory>

#include "agent/clients/ftp_client.h"
#include "agent/clients/ftp_session.h"
#include "agent/clients/streamed_upload.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

struct StreamedStorAnswer {
  DWORD error = 0;
  uint64_t stored = FtpSession::kNoSizeKnown;
};

}  // namespace

void FtpClient::ProgramWrote(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end) {
  if (!entry || entry->IsDirectory() || !entry->HasLocalCopy()) return;
  if (FindStream(*entry)) return RemoteClient::ProgramWrote(entry, reply, start, end);
  if (end < kStreamFromBytes) return;
  // Only a write that ends the copy starts it: everything before is written.
  struct stat info {};
  if (fstat(entry->localCopy, &info) != 0 || static_cast<uint64_t>(info.st_size) != end) return;
  // Excel's first close of a workbook is not uploaded; its file goes up at close.
  std::u16string_view name = entry->Name();
  for (size_t i = 0; i + 4 <= name.size(); ++i)
    if (EqualsNoCase(name.substr(i, 4), u".xls")) return;
  if (Connect()) return;
  StreamedUpload* stream = StreamedUpload::Make(entry->localCopy, end);
  if (!stream) return;
  auto answer = std::make_shared<StreamedStorAnswer>();
  stream->protocolAnswer = answer;
  AttachSection(*entry, stream, kSectionStreamedUpload, false);
  WideDbgPrint(u"streaming the upload of %ws from %ld bytes\n", entry->path, static_cast<long>(end));
  stream->Start([endpoint = endpoint_, path = FtpPathOf(reply.serverPath), answer](StreamedUpload& s) {
    FtpSession session(endpoint);
    // A server that stopped reading would hold the transfer until its time-out.
    s.SetCanceller([&session] { session.Cancel(); });
    std::function<long(char*, size_t)> source = [&s](char* buffer, size_t length) {
      return s.Read(buffer, length);
    };
    answer->error = session.valid() ? session.UploadFrom(path, source, &answer->stored) : kInetOutOfHandles;
    s.SetCanceller({});
    return answer->error == 0;
  });
}

bool FtpClient::FinishStreamedStor(FileEntry* entry, uint64_t size) {
  StreamedUpload* stream = FindStream(*entry);
  if (!stream) return false;
  bool sent = stream->Finish(size);
  auto answer = std::static_pointer_cast<StreamedStorAnswer>(stream->protocolAnswer);
  DetachSection(*entry, stream);  // its thread has ended
  // The server's own count must agree, where it gives one.
  if (sent && answer->stored != FtpSession::kNoSizeKnown && answer->stored != size) sent = false;
  if (!sent)
    WideDbgPrint(u"the streamed upload of %ws did not finish (error=%ld), sending the copy\n", entry->path,
                 static_cast<long>(answer ? answer->error : 0));
  return sent;
}

}  // namespace hvm
