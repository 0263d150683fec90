#include <filesystem>
#include "tests/integration/webdav_test_support.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/debug_sink.h"
#include "platform/temp_file.h"
#include "platform/wide_text.h"

namespace hvm::test {
namespace {

std::string SourceDir() {
  const char* dir = std::getenv("HVM_SOURCE_DIR");
  return dir && *dir ? dir : HVM_SOURCE_DIR_PATH;
}

std::string Run(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, p)) out += buffer;
    pclose(p);
  }
  return out;
}

size_t Collect(char* data, size_t size, size_t count, void* text) {
  static_cast<std::string*>(text)->append(data, size * count);
  return size * count;
}

std::string Fetch(const std::string& url, const char* method) {
  std::string text;
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method);
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &text);
  curl_easy_perform(c);
  curl_easy_cleanup(c);
  return text;
}

class CountingProgress : public ProgressWindow {
 public:
  bool Update(uint64_t, uint64_t, std::u16string_view) override { return true; }
};

}  // namespace

ServerScript::ServerScript(const std::string& script, const std::string& extra) : script_(SourceDir() + "/tests/servers/" + script) {
  char pattern[] = "/tmp/hvm-webdav-XXXXXX";
  if (!mkdtemp(pattern)) return;
  state_ = std::string(pattern) + "/server";
  port_ = std::atoi(Run(script_ + " start " + state_ + " " + extra + " 2>/dev/null").c_str());
}

ServerScript::~ServerScript() {
  if (state_.empty()) return;
  Run(script_ + " stop " + state_);
  Run("rm -rf " + state_.substr(0, state_.rfind('/')));
}

std::string ServerScript::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ServerScript::SecureUrl(const std::string& path) const {
  return "HTTPS://127.0.0.1:" + std::to_string(port_) + path;
}

int RecordingUi::MessageBox(std::u16string_view text, std::u16string_view caption, DWORD style) {
  messages.emplace_back(text);
  captions.emplace_back(caption);
  if ((style & 0xF) == MB_RETRYCANCEL) {
    ++retryQuestions;
    return answerRetryTimes-- > 0 ? IDRETRY : IDCANCEL;
  }
  return IDOK;
}

bool RecordingUi::ChooseFile(std::u16string_view, std::u16string_view, std::string& path) {
  ++filesAsked;
  path = fileToChoose;
  return !path.empty();
}

std::unique_ptr<ProgressWindow> RecordingUi::OpenProgress(std::u16string_view) {
  ++progressWindows;
  return std::make_unique<CountingProgress>();
}

TestSite::TestSite(const std::string& url, const std::string& login, const std::string& password) {
  CopyWide(record.name, kSiteNameChars, u"site1");
  CopyWide(record.url, kSiteUrlChars, Utf8ToUtf16(url));
  std::snprintf(record.login, sizeof record.login, "%s", login.c_str());
  std::snprintf(record.password, sizeof record.password, "%s", password.c_str());
  record.drive[0] = 'X';
  record.resolveTimeout = record.connectTimeout = record.sendTimeout = record.receiveTimeout = 10;
  record.retryCount = 1;
  record.passive = 1;
  connection.site = &record;
  connection.serverBasePath = Utf8ToUtf16(url);
  if (connection.serverBasePath.back() != u'/') connection.serverBasePath += u'/';
  auto owned = std::make_unique<WebDavClient>(connection);
  client = owned.get();
  connection.client = std::move(owned);
  client->Open();
}

TestSite::~TestSite() = default;

std::u16string TestSite::CachePath(std::u16string_view below) const {
  return connection.RootPath() + std::u16string(below);
}

ReplyArea TestSite::Reply(std::u16string_view below) const {
  ReplyArea reply;
  std::u16string cache = CachePath(below);
  CopyWide(reply.path, kEntryPathChars, cache);
  reply.serverPath = ServerPathOf(connection, cache);
  return reply;
}

FileEntry* TestSite::Entry(std::u16string_view below) const { return connection.entries.LookUp(CachePath(below)); }

FileEntry* TestSite::List(std::u16string_view below, NTSTATUS* status) {
  FileEntry* entry = below.empty() ? client->RootEntry() : Entry(below);
  NTSTATUS s = client->ListDirectory(Reply(below).serverPath, entry, nullptr);
  if (status) *status = s;
  return entry;
}

NTSTATUS TestSite::Read(FileEntry* entry, uint64_t start, uint64_t end, std::vector<uint8_t>& out) {
  out.assign(end - start, 0);
  entry->readCount++;
  ReplyArea reply = Reply(PathBelowConnection(connection, entry->Path()));
  return client->Get(entry, reply, start, end, out.data(), 0);
}

std::vector<uint8_t> Pattern(size_t size, size_t start) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(((start + i) * 7 + 3) % 251);
  return data;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                               static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int LocalCopyWith(const std::vector<uint8_t>& data) {
  int fd = CreateTempLocalFile();
  if (fd >= 0 && !data.empty() && pwrite(fd, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string FixtureLog(const ServerScript& fixture) { return Fetch(fixture.Url("/_log"), "GET"); }
void ClearFixtureLog(const ServerScript& fixture) { Fetch(fixture.Url("/_log"), "DELETE"); }

TracesOn::TracesOn(const char* sinkName) : savedLevel_(logLevel), savedAllowed_(debugIsAllowed) {
  SetDebugSinkName(sinkName);
  logLevel = 1;
  debugIsAllowed = 0xFFFFFFFF;
}

TracesOn::~TracesOn() {
  logLevel = savedLevel_;
  debugIsAllowed = savedAllowed_;
}

ServerScript* ApacheSuite::server_ = nullptr;

void ApacheSuite::SetUpTestSuite() { server_ = new ServerScript("apache_webdav.sh"); }

void ApacheSuite::TearDownTestSuite() {
  delete server_;
  server_ = nullptr;
}

void ApacheSuite::SetUp() {
  ASSERT_TRUE(server_->ok()) << "Apache did not start";
  SetCurrentUi(&ui_);
  for (const auto& item : std::filesystem::directory_iterator(server_->DataDir()))
    std::filesystem::remove_all(item.path());
}

void ApacheSuite::TearDown() { SetCurrentUi(nullptr); }

std::string ApacheSuite::Data(const std::string& name) const { return server_->DataDir() + "/" + name; }

}  // namespace hvm::test
