#include "tests/integration/ftp_test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "agent/service/path_forms.h"
#include "platform/wide_text.h"

namespace hvm::test {

FtpTestSite::FtpTestSite(const std::string& url, const std::string& login, const std::string& password,
                         bool ignoreCertificate, bool passive) {
  CopyWide(record.name, kSiteNameChars, u"site1");
  CopyWide(record.url, kSiteUrlChars, Utf8ToUtf16(url));
  std::snprintf(record.login, sizeof record.login, "%s", login.c_str());
  std::snprintf(record.password, sizeof record.password, "%s", password.c_str());
  record.drive[0] = 'X';
  record.connectTimeout = record.sendTimeout = record.receiveTimeout = 10;
  record.retryCount = 1;
  record.passive = passive ? 1 : 0;
  record.ignoreCertificateWarning = ignoreCertificate ? 1 : 0;
  connection.site = &record;
  connection.serverBasePath = Utf8ToUtf16(url);
  auto owned = std::make_unique<FtpClient>(connection);
  client = owned.get();
  connection.client = std::move(owned);
  open = client->Open();
}

FtpTestSite::~FtpTestSite() = default;

std::u16string FtpTestSite::CachePath(std::u16string_view below) const {
  return connection.RootPath() + std::u16string(below);
}

ReplyArea FtpTestSite::Reply(std::u16string_view below) const {
  ReplyArea reply;
  std::u16string cache = CachePath(below);
  CopyWide(reply.path, kEntryPathChars, cache);
  reply.serverPath = ServerPathOf(connection, cache);
  return reply;
}

FileEntry* FtpTestSite::Entry(std::u16string_view below) const { return connection.entries.LookUp(CachePath(below)); }

FileEntry* FtpTestSite::List(std::u16string_view below, NTSTATUS* status) {
  FileEntry* entry = below.empty() ? client->RootEntry() : Entry(below);
  NTSTATUS s = client->ListDirectory(Reply(below).serverPath, entry, nullptr);
  if (status) *status = s;
  return entry;
}

NTSTATUS FtpTestSite::Read(FileEntry* entry, uint64_t start, uint64_t end, std::vector<uint8_t>& out) {
  out.assign(end - start, 0);
  entry->readCount++;
  ReplyArea reply = Reply(PathBelowConnection(connection, entry->Path()));
  return client->Get(entry, reply, start, end, out.data(), 0);
}

NTSTATUS FtpTestSite::ReadAll(FileEntry* entry, size_t piece, std::vector<uint8_t>& out) {
  out.clear();
  std::vector<uint8_t> chunk;
  for (uint64_t at = 0; at < entry->size; at += piece) {
    uint64_t end = std::min<uint64_t>(entry->size, at + piece);
    if (NTSTATUS s = Read(entry, at, end, chunk)) return s;
    out.insert(out.end(), chunk.begin(), chunk.end());
  }
  return STATUS_SUCCESS;
}

NTSTATUS FtpTestSite::Upload(std::u16string_view below, const std::vector<uint8_t>& data) {
  FileEntry* entry = Entry(below);
  if (!entry) entry = connection.entries.NewEntry(CachePath(below));
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  if (entry->HasLocalCopy()) close(entry->localCopy);
  entry->localCopy = LocalCopyWith(data);
  entry->flags |= kEntryWrittenLocally;
  OpenHandle handle;
  handle.entry = entry;
  ReplyArea reply = Reply(below);
  NTSTATUS status = client->CloseAfterWrite(&handle, reply, 1, 0);
  close(entry->localCopy);
  entry->localCopy = kNoFile;
  return status;
}

ServerScript* FtpSuite::server_ = nullptr;

void FtpSuite::StartServer(const std::string& script, const std::string& options) {
  server_ = new ServerScript(script, options);
}

void FtpSuite::StopServer() {
  delete server_;
  server_ = nullptr;
}

void FtpSuite::SetUp() {
  ASSERT_TRUE(server_ && server_->ok()) << "the FTP server did not start";
  SetCurrentUi(&ui_);
  for (const auto& item : std::filesystem::directory_iterator(server_->DataDir()))
    std::filesystem::remove_all(item.path());
}

void FtpSuite::TearDown() { SetCurrentUi(nullptr); }

std::string FtpSuite::Data(const std::string& name) const { return server_->DataDir() + "/" + name; }

std::string FtpSuite::Url(const std::string& scheme, const std::string& path) const {
  return scheme + "://127.0.0.1:" + std::to_string(server_->port()) + path;
}

}  // namespace hvm::test
