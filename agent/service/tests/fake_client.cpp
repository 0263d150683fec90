#include "agent/service/tests/fake_client.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "agent/service/path_forms.h"

namespace hvm::test {

FakeClient::FakeClient(Connection& connection) : RemoteClient(connection) {
  server[u""] = FakeNode{true, {}, 0};
}

void FakeClient::AddDirectory(const std::u16string& path) { server[path] = FakeNode{true, {}, 0}; }

void FakeClient::AddFile(const std::u16string& path, const std::string& content, FileTime modified) {
  server[path] = FakeNode{false, std::vector<uint8_t>(content.begin(), content.end()),
                          modified ? modified : 130000000000000000ull};
}

std::u16string FakeClient::Relative(std::u16string_view serverPath) const {
  std::u16string_view base = connection_->serverBasePath;
  if (serverPath.substr(0, base.size()) == base) serverPath.remove_prefix(base.size());
  std::u16string rel(serverPath);
  while (!rel.empty() && rel.back() == u'/') rel.pop_back();
  return rel;
}

FileEntry* FakeClient::EnsureEntry(const std::u16string& relative, FileEntry* parent) {
  std::u16string path = CachePathOf(*connection_, connection_->serverBasePath + relative);
  FileEntry* e = connection_->entries.LookUp(path);
  if (e == nullptr) e = connection_->entries.NewEntry(path);
  const FakeNode& node = server[relative];
  e->parent = parent;
  if (node.directory) e->flags |= kEntryDirectory;
  e->size = node.directory ? 0 : node.content.size();
  e->serverModifiedTime = node.modified;
  e->creationTime = e->changeTime = e->lastWriteTime = node.modified ? node.modified : NowFileTime();
  e->lastRefreshTime = NowFileTime();
  return e;
}

NTSTATUS FakeClient::ListDirectory(std::u16string_view serverPath, FileEntry* entry,
                                   const char16_t* name) {
  ++listCalls;
  listedPaths.emplace_back(serverPath);
  if (unreachable) return STATUS_UNEXPECTED_NETWORK_ERROR;
  std::u16string rel = Relative(serverPath);
  if (entry == nullptr) {
    entry = RootEntry();
    rel.clear();
  }
  auto it = server.find(rel);
  if (it == server.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!it->second.directory) {
    entry->size = it->second.content.size();
    entry->serverModifiedTime = it->second.modified;
    return STATUS_SUCCESS;
  }
  std::u16string prefix = rel + u"/";
  for (auto& [path, node] : server) {
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) continue;
    if (path.find(u'/', prefix.size()) != std::u16string::npos) continue;
    EnsureEntry(path, entry);
  }
  if (name != nullptr) {
    // The next component of the name below the listed folder must exist.
    std::u16string_view wanted = name;
    std::u16string listed(entry->Path());
    if (wanted.size() > listed.size()) {
      std::u16string_view rest = wanted.substr(listed.size() + 1);
      std::u16string next(rest.substr(0, rest.find(u'\\')));
      if (connection_->entries.LookUp(listed + u"\\" + next) == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::CreateFile(FileEntry* entry, ReplyArea&) {
  if (failCreate) return STATUS_ACCESS_DENIED;
  if (deferCreate) {
    entry->flags |= kEntryCreatePending;
    return STATUS_SUCCESS;
  }
  AddFile(Relative(ServerPathOf(*connection_, entry->Path())), "");
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::CloseAfterWrite(OpenHandle* handle, ReplyArea& reply, uint32_t, uint32_t) {
  ++closeAfterWriteCalls;
  FileEntry* e = handle->entry;
  if (closeAfterWriteResult == STATUS_PENDING && onPending) onPending(reply);
  if (closeAfterWriteResult != STATUS_SUCCESS) return closeAfterWriteResult;
  if (e != nullptr && (e->flags & kEntryWrittenLocally) && e->HasLocalCopy()) {
    std::u16string rel = Relative(ServerPathOf(*connection_, e->Path()));
    FakeNode& node = server[rel];
    node.uploadedSize = e->size == kNoSize ? 0 : e->size;
    node.content.assign(std::min<uint64_t>(node.uploadedSize, 1 << 20), 0);
    if (!node.content.empty()) {
      ssize_t n = pread(e->localCopy, node.content.data(), node.content.size(), 0);
      if (n < 0) return STATUS_UNSUCCESSFUL;
    }
    uploads.push_back(rel);
    e->flags &= ~kEntryWrittenLocally;
  }
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::MakeDirectory(ReplyArea& reply) {
  AddDirectory(Relative(reply.serverPath));
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::Delete(FileEntry* entry, ReplyArea&) {
  if (failDelete) return STATUS_CANNOT_DELETE;
  std::u16string rel = Relative(ServerPathOf(*connection_, entry->Path()));
  deletes.push_back(rel);
  server.erase(rel);
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::Move(FileEntry* entry, ReplyArea&, FileEntry*, std::u16string_view destination) {
  std::u16string from = Relative(ServerPathOf(*connection_, entry->Path()));
  std::u16string to = Relative(destination);
  moves.emplace_back(destination);
  auto it = server.find(from);
  if (it == server.end()) return STATUS_ACCESS_DENIED;
  FakeNode node = it->second;
  server.erase(it);
  server[to] = node;
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::Get(FileEntry* entry, ReplyArea&, uint64_t start, uint64_t end,
                         uint8_t* destination, uint32_t) {
  ++getCalls;
  if (failGet) return STATUS_UNEXPECTED_NETWORK_ERROR;
  auto it = server.find(Relative(ServerPathOf(*connection_, entry->Path())));
  if (it == server.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const auto& content = it->second.content;
  for (uint64_t i = start; i < end; ++i) destination[i - start] = i < content.size() ? content[i] : 0;
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::Copy(FileEntry* entry, ReplyArea&, uint32_t, std::u16string_view destination,
                          char16_t*) {
  lastCopyDestination = std::u16string(destination);
  auto it = server.find(Relative(ServerPathOf(*connection_, entry->Path())));
  if (it == server.end()) return STATUS_INVALID_DEVICE_REQUEST;
  server[Relative(destination)] = it->second;
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::CopyToNewFile(FileEntry* source, ReplyArea& reply, FileEntry*,
                                   std::u16string_view destination) {
  if (copyToNewFileResult != STATUS_SUCCESS) return copyToNewFileResult;
  auto it = server.find(Relative(reply.serverPath));
  if (it == server.end() || source == nullptr) return STATUS_UNSUCCESSFUL;
  server[Relative(destination)] = it->second;
  serverCopies.emplace_back(destination);
  return STATUS_SUCCESS;
}

// Folder copy and delete on the server map, every member along.
NTSTATUS FakeClient::Control(uint32_t code, FileEntry*, ReplyArea&, InternalRequest* answer, uint32_t*,
                             const InternalRequest* request) {
  lastControlCode = code;
  if ((code != kControlFolderCopy && code != kControlFolderDelete) || request == nullptr)
    return STATUS_INVALID_DEVICE_REQUEST;
  auto serverPathOf = [this](const char16_t* drivePath) {
    std::u16string below(drivePath + 2);  // after "X:"
    for (char16_t& c : below)
      if (c == u'\\') c = u'/';
    return below;
  };
  std::u16string from = serverPathOf(request->target);
  std::u16string to = serverPathOf(request->destination);
  if (answer) answer->result = folderCommandStatus;
  if (folderCommandStatus >= 400) return STATUS_UNSUCCESSFUL;
  std::map<std::u16string, FakeNode> made;
  for (auto it = server.begin(); it != server.end();) {
    bool inside = it->first == from || it->first.rfind(from + u"/", 0) == 0;
    if (inside && code == kControlFolderCopy) made[to + it->first.substr(from.size())] = it->second;
    it = inside && code == kControlFolderDelete ? server.erase(it) : std::next(it);
  }
  server.insert(made.begin(), made.end());
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::Lock(FileEntry* entry, ReplyArea&, uint32_t, char16_t*) {
  entry->lockToken = u"opaquelocktoken:1";
  entry->lockCount = 1;
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::Unlock(FileEntry* entry, ReplyArea&, uint32_t, char16_t*) {
  entry->lockToken.clear();
  entry->lockCount = 0;
  return STATUS_SUCCESS;
}

NTSTATUS FakeClient::BeginWrite(FileEntry*, ReplyArea&, uint32_t, char16_t*) {
  ++beginWriteCalls;
  return failBeginWrite ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
}

}  // namespace hvm::test
