// The base behaviours of RemoteClient.
#include "agent/clients/remote_client.h"

#include "agent/clients/streamed_upload.h"

namespace hvm {

RemoteClient::RemoteClient(Connection& connection)
    : connection_(&connection), site_(connection.site) {}

RemoteClient::~RemoteClient() = default;

FileEntry* RemoteClient::RootEntry() {
  std::u16string root = connection_->RootPath();
  FileEntry* entry = connection_->entries.LookUp(root);
  if (entry == nullptr) entry = connection_->entries.NewEntry(root);
  if (entry == nullptr) return nullptr;
  FileTime now = NowFileTime();
  entry->flags |= kEntryDirectory;
  entry->size = kNoSize;
  entry->creationTime = now;
  entry->changeTime = now;
  entry->lastWriteTime = now;
  entry->serverModifiedTime = now;
  entry->lastRefreshTime = now;
  return entry;
}

int RemoteClient::IsReady() { return 1; }

void RemoteClient::DropLocalCopy(FileEntry*, ReplyArea&) {}

bool RemoteClient::CarriesPath(std::u16string_view) const { return true; }

AttachedSection** RemoteClient::EntryLink(FileEntry* entry) {
  return entry == nullptr ? nullptr : &entry->sections;
}

void RemoteClient::SetSecurityFlags(uint32_t flags) { securityFlags_ = flags; }

NTSTATUS RemoteClient::GetChecked(FileEntry* entry, ReplyArea& reply, uint64_t start,
                                  uint64_t end, uint8_t* destination, uint32_t reserved) {
  return Get(entry, reply, start, end, destination, reserved);
}

NTSTATUS RemoteClient::CopyToNewFile(FileEntry*, ReplyArea&, FileEntry*, std::u16string_view) {
  return STATUS_NOT_SUPPORTED;
}

void RemoteClient::ProgramWrote(FileEntry* entry, ReplyArea&, uint64_t start, uint64_t end) {
  if (entry == nullptr || entry->sections == nullptr) return;
  if (StreamedUpload* stream = FindStream(*entry)) stream->Wrote(start, end);
}

void RemoteClient::LocalCopyChanged(FileEntry* entry, uint64_t from) {
  if (entry == nullptr || entry->sections == nullptr) return;
  if (StreamedUpload* stream = FindStream(*entry)) stream->Changed(from);
}

void RemoteClient::LeavePath(FileEntry* entry) {
  if (entry == nullptr || entry->sections == nullptr) return;
  StreamedUpload* stream = FindStream(*entry);
  if (stream == nullptr) return;
  stream->Cancel();
  DetachSection(*entry, stream);  // waits for its thread
}

}  // namespace hvm
