// A PUT of a large local copy that starts while the program is still
// writing it (see streamed_upload.h): the body goes out in chunks on a clone
// of the client as the writes come, and the close ends it.
#include <chrono>
#include <memory>

#include "agent/clients/streamed_upload.h"
#include "agent/clients/webdav_client.h"
#include "common/moorlib.h"

namespace hvm {
namespace {

struct StreamedPutAnswer {
  UploadReply reply;
  int32_t status = 0;
};

}  // namespace

void WebDavClient::ProgramWrote(FileEntry* entry, ReplyArea& reply, uint64_t start, uint64_t end) {
  if (!entry) return;
  if (FindStream(*entry)) return RemoteClient::ProgramWrote(entry, reply, start, end);
  if (MayStartStream(*entry, end)) StartStreamedPut(entry, reply.serverPath, end);
}

void WebDavClient::StartStreamedPut(FileEntry* entry, std::u16string_view serverPath, uint64_t written) {
  // Servers that need their lock given up before an upload keep the upload at close.
  if (IsSharePoint() || BannerContains(u"Microsoft-IIS")) return;
  std::unique_ptr<WebDavClient> client = Clone();
  // The request is composed here, from the entry as it is now; the clone
  // sends it on the stream's thread and never looks at the entry.
  if (!client || client->PerformRequest('N', entry, serverPath, nullptr, {}, nullptr, 1, kUnknownUploadLength,
                                        nullptr) != kRequestNotSent)
    return;
  auto answer = std::make_shared<StreamedPutAnswer>();
  StreamedUpload* stream = AttachStream(*entry, written, answer);
  if (!stream) return;
  std::shared_ptr<WebDavClient> sender(client.release());
  stream->Start([sender, answer](StreamedUpload& s) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    s.SetCanceller([cancelled] { cancelled->store(true); });
    UploadSource source;
    source.totalLength = kUnknownUploadLength;
    source.cancelled = cancelled.get();
    source.read = [&s](char* buffer, size_t length) { return s.Read(buffer, length); };
    source.rewind = [&s] { return s.Rewind(); };
    auto started = std::chrono::steady_clock::now();
    int32_t status = sender->SendPrepared(&source);
    bool accepted = IsSuccessStatus(status);
    if (accepted)
      answer->reply = {sender->transport().Header("Last-Modified"), sender->transport().Header("Date"),
                       std::chrono::steady_clock::now() - started < std::chrono::seconds(1)};
    answer->status = status;
    sender->CloseRequest();
    s.SetCanceller({});
    return accepted;
  });
}

bool WebDavClient::FinishStreamedPut(FileEntry* entry, uint64_t size, std::u16string_view serverPath,
                                     bool synchronous) {
  StreamedUpload* stream = FindStream(*entry);
  if (!stream) return false;
  bool sent = synchronous && stream->Finish(size);
  auto answer = std::static_pointer_cast<StreamedPutAnswer>(stream->protocolAnswer);
  DetachSection(*entry, stream);  // its thread has ended
  if (!sent) {
    // Broken off or refused: the whole copy goes the ordinary way, which
    // also reports, retries, asks and keeps the backup.
    WideDbgPrint(u"the streamed upload of %ws did not finish (status=%ld), sending the copy\n", entry->path,
                 static_cast<long>(answer ? answer->status : 0));
    return false;
  }
  FinishUpload(entry, size, serverPath, answer->reply);
  WideDbgPrint(u"***###**** closing Writing\n");
  return true;
}

}  // namespace hvm
