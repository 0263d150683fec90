// The SFTP client against OpenSSH's sshd on loopback: the questions about the
// server's key, the ways of logging in, and every file operation, including
// files above 4 GiB and a server that dies while a file goes up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "agent/clients/sftp_client.h"
#include "agent/service/path_forms.h"
#include "platform/temp_file.h"
#include "platform/wide_text.h"
#include "platform/ui.h"

#include <gtest/gtest.h>

namespace hvm::test {
namespace {

constexpr NTSTATUS kGeneralFailure = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr uint64_t GiB = 1ull << 30;

// tests/servers/sshd_sftp.sh start|stop with a fresh state folder.
class ServerScript {
 public:
  explicit ServerScript(const std::string& script, const std::string& extra = "")
      : script_(std::string(HVM_SOURCE_DIR_PATH) + "/tests/servers/" + script) {
    char pattern[] = "/tmp/hvm-sftp-XXXXXX";
    if (!mkdtemp(pattern)) return;
    state_ = std::string(pattern) + "/server";
    port_ = std::atoi(Run(script_ + " start " + state_ + " " + extra + " 2>/dev/null").c_str());
  }
  ~ServerScript() {
    if (state_.empty()) return;
    Run(script_ + " stop " + state_);
    Run("rm -rf " + state_.substr(0, state_.rfind('/')));
  }
  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  const std::string& state() const { return state_; }
  std::string DataDir() const { return state_ + "/data"; }

 private:
  static std::string Run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
      char buffer[256];
      while (fgets(buffer, sizeof buffer, p)) out += buffer;
      pclose(p);
    }
    return out;
  }
  std::string script_, state_;
  int port_ = 0;
};

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>((i * 7 + 3) % 251);
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

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Answers the key questions as told and counts them; a progress window can
// run something once the upload is under way.
class KeyUi : public Ui {
 public:
  int MessageBox(std::u16string_view text, std::u16string_view caption, DWORD style) override {
    captions.emplace_back(caption);
    messages.emplace_back(text);
    if ((style & 0xF) == MB_YESNO) return acceptKeys ? IDYES : IDNO;
    if ((style & 0xF) == MB_OKCANCEL) return acceptKeys ? IDOK : IDCANCEL;
    return IDOK;
  }
  bool AskPassword(std::u16string_view, std::string&) override { return false; }
  std::unique_ptr<ProgressWindow> OpenProgress(std::u16string_view) override {
    struct Progress : ProgressWindow {
      KeyUi* ui;
      explicit Progress(KeyUi* owner) : ui(owner) {}
      bool Update(uint64_t done, uint64_t, std::u16string_view) override {
        if (ui->duringUpload && done > 0) std::exchange(ui->duringUpload, nullptr)();
        return true;
      }
    };
    return std::make_unique<Progress>(this);
  }
  bool ChooseFile(std::u16string_view, std::u16string_view, std::string&) override { return false; }
  bool Asked(std::u16string_view caption) const {
    for (const auto& c : captions)
      if (c == caption) return true;
    return false;
  }

  bool acceptKeys = false;
  std::vector<std::u16string> captions, messages;
  std::function<void()> duringUpload;
};

// A site of the test account with a Connection and an SftpClient.
struct SftpSite {
  SftpSite(const ServerScript& server, const std::string& password) {
    std::string url = "sftp://127.0.0.1:" + std::to_string(server.port()) + server.DataDir() + "/";
    CopyWide(record.name, kSiteNameChars, u"site1");
    CopyWide(record.url, kSiteUrlChars, Utf8ToUtf16(url));
    std::snprintf(record.login, sizeof record.login, "%s", Trimmed(Slurp(server.state() + "/user")).c_str());
    std::snprintf(record.password, sizeof record.password, "%s", password.c_str());
    record.drive[0] = 'X';
    record.connectTimeout = 10;
    connection.site = &record;
    connection.serverBasePath = Utf8ToUtf16(url);
    auto owned = std::make_unique<SftpClient>(connection);
    client = owned.get();
    connection.client = std::move(owned);
    client->Open();
  }
  NTSTATUS Test() {
    ReplyArea reply;
    InternalRequest answer{};
    uint32_t information = 0;
    return client->Control(kControlQuota, nullptr, reply, &answer, &information, nullptr);
  }
  std::u16string CachePath(std::u16string_view below) const { return connection.RootPath() + std::u16string(below); }
  ReplyArea Reply(std::u16string_view below) const {
    ReplyArea reply;
    std::u16string cache = CachePath(below);
    CopyWide(reply.path, kEntryPathChars, cache);
    reply.serverPath = ServerPathOf(connection, cache);
    return reply;
  }
  FileEntry* Entry(std::u16string_view below) const { return connection.entries.LookUp(CachePath(below)); }
  NTSTATUS List(std::u16string_view below = u"") {
    FileEntry* entry = below.empty() ? client->RootEntry() : Entry(below);
    return client->ListDirectory(Reply(below).serverPath, entry, nullptr);
  }
  NTSTATUS Read(std::u16string_view below, uint64_t start, uint64_t end, std::vector<uint8_t>& out) {
    out.assign(end - start, 0);
    ReplyArea reply = Reply(below);
    return client->Get(Entry(below), reply, start, end, out.data(), 0);
  }
  // Uploads data as the close of a written file does.
  NTSTATUS Upload(std::u16string_view below, const std::vector<uint8_t>& data) {
    FileEntry* entry = Entry(below);
    if (!entry) entry = connection.entries.NewEntry(CachePath(below));
    entry->localCopy = LocalCopyWith(data);
    entry->flags |= kEntryWrittenLocally;
    entry->lastWriteTime = NowFileTime();
    OpenHandle handle;
    handle.entry = entry;
    ReplyArea reply = Reply(below);
    NTSTATUS status = client->CloseAfterWrite(&handle, reply, 1, 0);
    close(entry->localCopy);
    entry->localCopy = kNoFile;
    return status;
  }

  SiteRecord record{};
  Connection connection;
  SftpClient* client = nullptr;
};

class SftpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() / ("hvm-sftp-home-" + std::to_string(getpid()) + "-" +
                                                      std::to_string(++counter_));
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    savedHome_ = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", home_.c_str(), 1);
    setenv("XDG_DATA_HOME", (home_ / "share").c_str(), 1);
    SetCurrentUi(&ui_);
  }
  void TearDown() override {
    SetCurrentUi(nullptr);
    setenv("HOME", savedHome_.c_str(), 1);
    std::filesystem::remove_all(home_);
  }
  static std::string Script() { return std::string(HVM_SOURCE_DIR_PATH) + "/tests/servers/sshd_sftp.sh"; }
  static void Server(const ServerScript& s, const char* command) {
    ASSERT_EQ(std::system((Script() + " " + command + " " + s.state() + " >/dev/null 2>&1").c_str()), 0);
  }
  std::string KnownHosts() const { return Slurp((home_ / ".ssh" / "known_hosts").string()); }
  // What the test put in the server's folder becomes the log-in user's, as files it uploaded would be.
  static void GiveDataToTheServersUser(const ServerScript& server) {
    std::string user = Trimmed(Slurp(server.state() + "/user"));
    ASSERT_EQ(std::system(("chown -R " + user + " " + server.DataDir()).c_str()), 0);
  }
  // Connected once with the key accepted.
  std::unique_ptr<SftpSite> Connected(const ServerScript& server, const std::string& password = "secret") {
    ui_.acceptKeys = true;
    auto site = std::make_unique<SftpSite>(server, password);
    EXPECT_EQ(site->Test(), STATUS_SUCCESS) << Utf16ToUtf8(site->client->ErrorText(0));
    ui_.acceptKeys = false;
    return site;
  }

  std::filesystem::path home_;
  std::string savedHome_;
  KeyUi ui_;
  static inline int counter_ = 0;
};

bool NeedsRoot() { return geteuid() != 0; }

#define SKIP_WITHOUT_ROOT() \
  if (NeedsRoot()) GTEST_SKIP() << "the test account needs root"

TEST_F(SftpServerTest, UnknownKeyIsTakenOnlyWithYesAndThenRemembered) {
  SKIP_WITHOUT_ROOT();
  ServerScript server("sshd_sftp.sh");
  ASSERT_TRUE(server.ok());
  SftpSite refused(server, "secret");
  EXPECT_EQ(refused.Test(), kGeneralFailure);
  EXPECT_TRUE(ui_.Asked(kSftpUnknownCaption));
  EXPECT_EQ(refused.client->IsConnected(), 0);
  EXPECT_EQ(KnownHosts(), "");
  // A second test of the same client answers what the first gave.
  EXPECT_EQ(refused.Test(), kGeneralFailure);

  // Without questions an unknown server is refused.
  SftpSite quiet(server, "secret");
  EXPECT_EQ(quiet.client->Connect(false), kGeneralFailure);

  auto site = Connected(server);
  std::string hostName = "[127.0.0.1]:" + std::to_string(server.port());
  EXPECT_NE(KnownHosts().find(hostName + " ssh-ed25519 "), std::string::npos) << KnownHosts();
  ui_.captions.clear();
  SftpSite again(server, "secret");
  EXPECT_EQ(again.Test(), STATUS_SUCCESS);
  EXPECT_TRUE(ui_.captions.empty());
  struct stat info {};
  ASSERT_EQ(stat((home_ / ".ssh" / "known_hosts").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(SftpServerTest, ChangedKeyIsNeverTakenSilently) {
  SKIP_WITHOUT_ROOT();
  ServerScript server("sshd_sftp.sh");
  ASSERT_TRUE(server.ok());
  auto site = Connected(server);
  // Another host's line must survive the rewrite.
  std::ofstream(home_ / ".ssh" / "known_hosts", std::ios::app)
      << "other.example.org ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOMqqnkVzrm0SdG6UOoqKLsabgH5C9okWi0dh2l9GKJl\n";
  std::string before = KnownHosts();
  Server(server, "rekey");

  // A reconnect after the session died asks nobody and refuses the new key.
  ASSERT_EQ(site->List(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(site->client->Connect(false), kGeneralFailure);
  EXPECT_EQ(KnownHosts(), before);

  ui_.captions.clear();
  SftpSite cancelled(server, "secret");
  EXPECT_EQ(cancelled.Test(), kGeneralFailure);
  EXPECT_TRUE(ui_.Asked(kSftpChangedCaption));
  EXPECT_EQ(KnownHosts(), before);

  auto accepted = Connected(server);
  std::string after = KnownHosts();
  std::string newKey = Slurp(server.state() + "/host_key.pub");
  std::string keyBody = newKey.substr(newKey.find(' ') + 1, newKey.rfind(' ') - newKey.find(' ') - 1);
  EXPECT_NE(after.find(keyBody), std::string::npos) << after;
  EXPECT_NE(after.find("other.example.org"), std::string::npos);
  std::string hostName = "[127.0.0.1]:" + std::to_string(server.port());
  EXPECT_EQ(after.find(hostName), after.rfind(hostName)) << "the old key is gone: " << after;
}

TEST_F(SftpServerTest, PasswordsKeysAndKeyboardInteractive) {
  SKIP_WITHOUT_ROOT();
  ServerScript server("sshd_sftp.sh");
  ASSERT_TRUE(server.ok());
  ui_.acceptKeys = true;
  SftpSite wrong(server, "not the password");
  EXPECT_EQ(wrong.Test(), kAccessDenied);
  EXPECT_NE(std::u16string(wrong.client->ErrorText(0)), u"");
  SftpSite right(server, "secret");
  EXPECT_EQ(right.Test(), STATUS_SUCCESS);

  // The user's own key in ~/.ssh, no password at all.
  std::filesystem::copy_file(server.state() + "/client_key", home_ / ".ssh" / "id_ed25519");
  SftpSite keyed(server, "");
  EXPECT_EQ(keyed.Test(), STATUS_SUCCESS) << Utf16ToUtf8(keyed.client->ErrorText(0));

  ServerScript prompting("sshd_sftp.sh", "kbdint");
  ASSERT_TRUE(prompting.ok());
  SftpSite asked(prompting, "secret");
  EXPECT_EQ(asked.Test(), STATUS_SUCCESS) << Utf16ToUtf8(asked.client->ErrorText(0));
  SftpSite refused(prompting, "wrong");
  EXPECT_EQ(refused.Test(), kAccessDenied);
}

TEST_F(SftpServerTest, FilesAndFoldersRoundTrip) {
  SKIP_WITHOUT_ROOT();
  ServerScript server("sshd_sftp.sh");
  ASSERT_TRUE(server.ok());
  auto site = Connected(server);
  std::string data = server.DataDir();
  std::vector<uint8_t> big = Pattern(3 * 1024 * 1024 + 4321);
  WriteFile(data + "/big.bin", big);
  std::filesystem::create_directory(data + "/folder");
  WriteFile(data + "/folder/inner.txt", {'i', 'n'});
  std::filesystem::create_symlink("big.bin", data + "/link.bin");
  std::filesystem::create_symlink("folder", data + "/link-folder");
  std::filesystem::create_symlink("nowhere", data + "/dangling");
  // Names are the server's bytes: one that is no UTF-8 would come back from
  // the drive as other bytes, so it is left out (as on FTP sites); a control
  // character is shown, so that the file can be renamed.
  for (const char* name : {"caf\xc3\xa9.txt", "caf\xe9.txt", "ok\xff", "line\nbreak"}) WriteFile(data + "/" + name, {'x'});
  std::filesystem::create_directory(data + "/latin\xe9");
  std::filesystem::last_write_time(data + "/big.bin", std::filesystem::file_time_type::clock::now() -
                                                          std::chrono::hours(24 * 400));
  GiveDataToTheServersUser(server);

  ASSERT_EQ(site->List(), STATUS_SUCCESS);
  FileEntry* bigEntry = site->Entry(u"\\big.bin");
  ASSERT_NE(bigEntry, nullptr);
  EXPECT_EQ(bigEntry->size, big.size());
  struct stat info {};
  ASSERT_EQ(stat((data + "/big.bin").c_str(), &info), 0);
  EXPECT_EQ(bigEntry->lastWriteTime, FileTimeFromUnix(timespec{info.st_mtime, 0}));
  ASSERT_NE(site->Entry(u"\\folder"), nullptr);
  EXPECT_TRUE(site->Entry(u"\\folder")->IsDirectory());
  FileEntry* link = site->Entry(u"\\link.bin");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->size, big.size());
  EXPECT_TRUE(link->flags & kEntrySpecial);
  ASSERT_NE(site->Entry(u"\\link-folder"), nullptr);
  EXPECT_TRUE(site->Entry(u"\\link-folder")->IsDirectory());
  ASSERT_NE(site->Entry(u"\\dangling"), nullptr);
  EXPECT_FALSE(site->Entry(u"\\dangling")->IsDirectory());
  EXPECT_NE(site->Entry(u"\\caf\u00e9.txt"), nullptr);
  EXPECT_NE(site->Entry(u"\\line\nbreak"), nullptr);
  EXPECT_EQ(site->Entry(u"\\caf\ufffd.txt"), nullptr);
  EXPECT_EQ(site->Entry(u"\\ok\ufffd"), nullptr);
  EXPECT_EQ(site->Entry(u"\\latin\ufffd"), nullptr);

  // A reader going through the file in 1 MiB pieces, then jumping about.
  std::vector<uint8_t> piece, whole;
  for (uint64_t at = 0; at < big.size(); at += 1048576) {
    uint64_t end = std::min<uint64_t>(at + 1048576, big.size());
    ASSERT_EQ(site->Read(u"\\big.bin", at, end, piece), STATUS_SUCCESS);
    whole.insert(whole.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(whole, big);
  ASSERT_EQ(site->Read(u"\\big.bin", 100000, 100100, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, std::vector<uint8_t>(big.begin() + 100000, big.begin() + 100100));
  ASSERT_EQ(site->Read(u"\\link.bin", 7, 4096, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, std::vector<uint8_t>(big.begin() + 7, big.begin() + 4096));
  EXPECT_NE(site->Read(u"\\big.bin", big.size() - 10, big.size() + 10, piece), STATUS_SUCCESS);

  // Writes: a new file, then a shorter one over it (nothing of the old tail stays).
  // OpenSSH's server names its limits: the upload goes in its largest writes,
  // the last one shorter.
  EXPECT_EQ(site->client->writeRequestBytes(), kSftpLargestWriteBytes);
  ASSERT_EQ(site->Upload(u"\\up.bin", big), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(data + "/up.bin"), big);
  ASSERT_EQ(site->Upload(u"\\up.bin", {'s', 'h', 'o', 'r', 't'}), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(data + "/up.bin"), (std::vector<uint8_t>{'s', 'h', 'o', 'r', 't'}));
  ASSERT_EQ(site->Upload(u"\\empty.txt", {}), STATUS_SUCCESS);
  EXPECT_EQ(std::filesystem::file_size(data + "/empty.txt"), 0u);

  // A file made by create and written at its close; one made and left empty;
  // one made and renamed before its close.
  FileEntry* fresh = site->connection.entries.NewEntry(site->CachePath(u"\\fresh.txt"));
  ReplyArea freshReply = site->Reply(u"\\fresh.txt");
  ASSERT_EQ(site->client->CreateFile(fresh, freshReply), STATUS_SUCCESS);
  // The open's answer is read before the next request (here a listing).
  ASSERT_EQ(site->List(), STATUS_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(data + "/fresh.txt"));
  ASSERT_EQ(site->Upload(u"\\fresh.txt", {'n', 'e', 'w'}), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(data + "/fresh.txt"), (std::vector<uint8_t>{'n', 'e', 'w'}));
  FileEntry* blank = site->connection.entries.NewEntry(site->CachePath(u"\\blank.txt"));
  ReplyArea blankReply = site->Reply(u"\\blank.txt");
  ASSERT_EQ(site->client->CreateFile(blank, blankReply), STATUS_SUCCESS);
  OpenHandle blankHandle;
  blankHandle.entry = blank;
  ASSERT_EQ(site->client->CloseAfterWrite(&blankHandle, blankReply, 1, 0), STATUS_SUCCESS);
  EXPECT_EQ(std::filesystem::file_size(data + "/blank.txt"), 0u);
  FileEntry* early = site->connection.entries.NewEntry(site->CachePath(u"\\early.txt"));
  ReplyArea earlyReply = site->Reply(u"\\early.txt");
  ASSERT_EQ(site->client->CreateFile(early, earlyReply), STATUS_SUCCESS);
  ASSERT_EQ(site->client->Move(early, earlyReply, nullptr, site->Reply(u"\\late.txt").serverPath), STATUS_SUCCESS);
  ASSERT_EQ(site->Upload(u"\\late.txt", {'l'}), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(data + "/late.txt"), (std::vector<uint8_t>{'l'}));
  EXPECT_FALSE(std::filesystem::exists(data + "/early.txt"));

  // Times of a file the caller set, without new contents.
  FileEntry* up = site->Entry(u"\\up.bin");
  up->lastWriteTime = FileTimeFromUnix(timespec{1577934245, 0});
  up->flags |= kEntryTimesSet;
  OpenHandle handle;
  handle.entry = up;
  ReplyArea reply = site->Reply(u"\\up.bin");
  ASSERT_EQ(site->client->CloseAfterWrite(&handle, reply, 1, 0), STATUS_SUCCESS);
  ASSERT_EQ(stat((data + "/up.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1577934245);

  // Make and remove folders; rename within and over an existing file; delete.
  ReplyArea made = site->Reply(u"\\made");
  ASSERT_EQ(site->client->MakeDirectory(made), STATUS_SUCCESS);
  EXPECT_TRUE(std::filesystem::is_directory(data + "/made"));
  ASSERT_EQ(site->List(), STATUS_SUCCESS);
  ReplyArea moved = site->Reply(u"\\up.bin");
  ASSERT_EQ(site->client->Move(site->Entry(u"\\up.bin"), moved, site->Entry(u"\\made"),
                               site->Reply(u"\\made\\up.bin").serverPath),
            STATUS_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(data + "/made/up.bin"));
  ReplyArea over = site->Reply(u"\\empty.txt");
  ASSERT_EQ(site->client->Move(site->Entry(u"\\empty.txt"), over, site->Entry(u"\\made"),
                               site->Reply(u"\\made\\up.bin").serverPath),
            STATUS_SUCCESS);
  EXPECT_EQ(std::filesystem::file_size(data + "/made/up.bin"), 0u);
  ASSERT_EQ(site->List(u"\\made"), STATUS_SUCCESS);
  FileEntry* inner = site->Entry(u"\\made\\up.bin");
  ASSERT_NE(inner, nullptr);
  ReplyArea gone = site->Reply(u"\\made\\up.bin");
  ASSERT_EQ(site->client->Delete(inner, gone), STATUS_SUCCESS);
  ReplyArea folder = site->Reply(u"\\made");
  ASSERT_EQ(site->client->Delete(site->Entry(u"\\made"), folder), STATUS_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(data + "/made"));
  // Deleting a link removes the link, never what it points to.
  ReplyArea linkReply = site->Reply(u"\\link-folder");
  ASSERT_EQ(site->client->Delete(site->Entry(u"\\link-folder"), linkReply), STATUS_SUCCESS);
  EXPECT_TRUE(std::filesystem::is_directory(data + "/folder"));
  // A folder with contents is refused, with the server's reason.
  ReplyArea full = site->Reply(u"\\folder");
  EXPECT_EQ(site->client->Delete(site->Entry(u"\\folder"), full), kAccessDenied);
  EXPECT_NE(std::u16string(full.message), u"");

  // Resolving one name asks for that name alone.
  WriteFile(data + "/folder/later.txt", {'l', 'a', 't', 'e', 'r'});
  std::u16string wanted = site->CachePath(u"\\folder\\later.txt");
  FileEntry* folderEntry = site->Entry(u"\\folder");
  ASSERT_EQ(site->client->ListDirectory(site->Reply(u"\\folder").serverPath, folderEntry, wanted.c_str()),
            STATUS_SUCCESS);
  ASSERT_NE(site->Entry(u"\\folder\\later.txt"), nullptr);
  EXPECT_EQ(site->Entry(u"\\folder\\later.txt")->size, 5u);
  EXPECT_EQ(site->Entry(u"\\folder\\later.txt")->parent, folderEntry);
  std::u16string absent = site->CachePath(u"\\folder\\absent\\deeper.txt");
  EXPECT_EQ(site->client->ListDirectory(site->Reply(u"\\folder").serverPath, folderEntry, absent.c_str()),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(site->Entry(u"\\folder\\absent"), nullptr);

  // The listing drops what went on the server.
  std::filesystem::remove(data + "/big.bin");
  ASSERT_EQ(site->List(), STATUS_SUCCESS);
  EXPECT_EQ(site->Entry(u"\\big.bin"), nullptr);
}

TEST_F(SftpServerTest, FilesAboveFourGibibytes) {
  SKIP_WITHOUT_ROOT();
  ServerScript server("sshd_sftp.sh");
  ASSERT_TRUE(server.ok());
  auto site = Connected(server);
  std::string path = server.DataDir() + "/sparse.bin";
  uint64_t offset = 4 * GiB + 4096 + 7;
  {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "beyond", 6, static_cast<off_t>(offset)), 6);
    close(fd);
  }
  ASSERT_EQ(site->List(), STATUS_SUCCESS);
  ASSERT_NE(site->Entry(u"\\sparse.bin"), nullptr);
  EXPECT_EQ(site->Entry(u"\\sparse.bin")->size, offset + 6);
  std::vector<uint8_t> piece;
  ASSERT_EQ(site->Read(u"\\sparse.bin", offset - 2, offset + 6, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, (std::vector<uint8_t>{0, 0, 'b', 'e', 'y', 'o', 'n', 'd'}));
}

TEST_F(SftpServerTest, ANewNameTakenOnTheServerIsNeverReplaced) {
  SKIP_WITHOUT_ROOT();
  ServerScript server("sshd_sftp.sh");
  ASSERT_TRUE(server.ok());
  auto site = Connected(server);
  std::string data = server.DataDir();
  WriteFile(data + "/taken.txt", {'t', 'h', 'e', 'i', 'r', 's'});
  GiveDataToTheServersUser(server);
  // The cache and the look-up said the name was free: the create must not empty the file.
  FileEntry* entry = site->connection.entries.NewEntry(site->CachePath(u"\\taken.txt"));
  entry->flags |= kEntryMustBeNew;
  ReplyArea reply = site->Reply(u"\\taken.txt");
  ASSERT_EQ(site->client->CreateFile(entry, reply), STATUS_SUCCESS);
  std::vector<uint8_t> ours = Pattern(70000);
  EXPECT_EQ(site->Upload(u"\\taken.txt", ours), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(ReadFile(data + "/taken.txt"), (std::vector<uint8_t>{'t', 'h', 'e', 'i', 'r', 's'}));
  std::filesystem::path backups = home_ / "share" / "halvenmoor" / "backup" / "site1";
  std::vector<std::filesystem::path> saved;
  for (const auto& e : std::filesystem::directory_iterator(backups)) saved.push_back(e.path());
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(ReadFile(saved[0].string()), ours);
  EXPECT_FALSE(entry->flags & (kEntryWrittenLocally | kEntryMustBeNew));
  // The session is still in step: a free name goes up on it.
  FileEntry* free = site->connection.entries.NewEntry(site->CachePath(u"\\free.txt"));
  free->flags |= kEntryMustBeNew;
  ReplyArea freeReply = site->Reply(u"\\free.txt");
  ASSERT_EQ(site->client->CreateFile(free, freeReply), STATUS_SUCCESS);
  ASSERT_EQ(site->Upload(u"\\free.txt", ours), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(data + "/free.txt"), ours);
}

TEST_F(SftpServerTest, ManyCreatesBeforeTheirClosesAllArrive) {
  SKIP_WITHOUT_ROOT();
  ServerScript server("sshd_sftp.sh");
  ASSERT_TRUE(server.ok());
  auto site = Connected(server);
  std::string data = server.DataDir();
  // More creates than handles kept open, their answers read only when needed;
  // a read of another file and a listing come between.
  WriteFile(data + "/other.bin", Pattern(100000));
  GiveDataToTheServersUser(server);
  constexpr int kFiles = 40;
  auto name = [](int i) { return u"\\many-" + Utf8ToUtf16(std::to_string(i)) + u".txt"; };
  for (int i = 0; i < kFiles; ++i) {
    FileEntry* entry = site->connection.entries.NewEntry(site->CachePath(name(i)));
    entry->flags |= kEntryMustBeNew;
    ReplyArea reply = site->Reply(name(i));
    ASSERT_EQ(site->client->CreateFile(entry, reply), STATUS_SUCCESS) << i;
    if (i == 10) {
      ASSERT_EQ(site->List(), STATUS_SUCCESS);
      std::vector<uint8_t> out;
      ASSERT_EQ(site->Read(u"\\other.bin", 0, 100000, out), STATUS_SUCCESS);
      EXPECT_EQ(out, Pattern(100000));
    }
  }
  for (int i = kFiles - 1; i >= 0; --i) {
    std::vector<uint8_t> contents = Pattern(static_cast<size_t>(i) * 1000 + 1);
    ASSERT_EQ(site->Upload(name(i), contents), STATUS_SUCCESS) << i;
    EXPECT_EQ(ReadFile(data + "/many-" + std::to_string(i) + ".txt"), contents) << i;
  }
}

// A file read in pieces keeps reads asked for ahead on the session; the
// upload of another file between two of its pieces must neither take their
// answers for its own nor leave the next piece waiting for them.
TEST_F(SftpServerTest, AnUploadBetweenPiecesOfAnotherFilesReadKeepsBothInStep) {
  SKIP_WITHOUT_ROOT();
  ServerScript server("sshd_sftp.sh");
  ASSERT_TRUE(server.ok());
  auto site = Connected(server);
  std::string data = server.DataDir();
  constexpr size_t kSize = 8 * 1024 * 1024, kPiece = 1024 * 1024;
  WriteFile(data + "/read.bin", Pattern(kSize));
  GiveDataToTheServersUser(server);
  ASSERT_EQ(site->List(), STATUS_SUCCESS);
  std::vector<uint8_t> expected = Pattern(kSize);
  std::vector<uint8_t> out;
  ASSERT_EQ(site->Read(u"\\read.bin", 0, kPiece, out), STATUS_SUCCESS);
  std::vector<uint8_t> written = Pattern(300000);
  ASSERT_EQ(site->Upload(u"\\written.bin", written), STATUS_SUCCESS)
      << Utf16ToUtf8(site->client->ErrorText(0));
  EXPECT_EQ(ReadFile(data + "/written.bin"), written);
  ASSERT_EQ(site->Read(u"\\read.bin", kPiece, 2 * kPiece, out), STATUS_SUCCESS);
  // A file made and closed without a write closes its handle the same way.
  FileEntry* empty = site->connection.entries.NewEntry(site->CachePath(u"\\empty.bin"));
  empty->flags |= kEntryMustBeNew;
  ReplyArea made = site->Reply(u"\\empty.bin");
  ASSERT_EQ(site->client->CreateFile(empty, made), STATUS_SUCCESS);
  ASSERT_EQ(site->Read(u"\\read.bin", 2 * kPiece, 3 * kPiece, out), STATUS_SUCCESS);
  OpenHandle handle;
  handle.entry = empty;
  ASSERT_EQ(site->client->CloseAfterWrite(&handle, made, 1, 0), STATUS_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(data + "/empty.bin"));
  for (size_t at = 3 * kPiece; at < kSize; at += kPiece) {
    ASSERT_EQ(site->Read(u"\\read.bin", at, at + kPiece, out), STATUS_SUCCESS) << at;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), expected.begin() + static_cast<long>(at))) << at;
  }
}

// A listing or a new folder between two pieces of a file's read: libssh,
// waiting for its own answer, reads the answers to the reads asked for ahead
// off the channel on its way. The next piece must not wait on the channel for
// answers that are no longer coming there.
TEST_F(SftpServerTest, AListingOrAFolderMadeBetweenPiecesOfAReadLeavesTheNextPieceNothingToWaitFor) {
  SKIP_WITHOUT_ROOT();
  ServerScript server("sshd_sftp.sh");
  ASSERT_TRUE(server.ok());
  auto site = Connected(server);
  std::string data = server.DataDir();
  constexpr size_t kSize = 3 * 1024 * 1024 + 4321, kPiece = 1024 * 1024;
  WriteFile(data + "/read.bin", Pattern(kSize));
  GiveDataToTheServersUser(server);
  ASSERT_EQ(site->List(), STATUS_SUCCESS);
  std::vector<uint8_t> expected = Pattern(kSize);
  std::vector<uint8_t> out;
  int between = 0;
  for (size_t at = 0; at < kSize; at += kPiece) {
    size_t end = std::min(kSize, at + kPiece);
    ASSERT_EQ(site->Read(u"\\read.bin", at, end, out), STATUS_SUCCESS) << at;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), expected.begin() + static_cast<long>(at))) << at;
    if (between++ % 2 == 0) {
      EXPECT_EQ(site->List(), STATUS_SUCCESS);
    } else {
      ReplyArea reply = site->Reply(u"\\made" + Utf8ToUtf16(std::to_string(at)));
      EXPECT_EQ(site->client->MakeDirectory(reply), STATUS_SUCCESS);
    }
  }
}

TEST_F(SftpServerTest, ServerKilledDuringUploadFailsAndKeepsABackup) {
  SKIP_WITHOUT_ROOT();
  ServerScript server("sshd_sftp.sh");
  ASSERT_TRUE(server.ok());
  auto site = Connected(server);
  std::vector<uint8_t> data = Pattern(24 * 1024 * 1024 + 5);
  ui_.duringUpload = [&] { Server(server, "kill"); };
  EXPECT_EQ(site->Upload(u"\\lost.bin", data), STATUS_UNEXPECTED_NETWORK_ERROR);
  EXPECT_FALSE(ui_.duringUpload) << "the server was not killed during the upload";
  EXPECT_TRUE(ui_.Asked(u"Cleanup bytes_written"));
  EXPECT_TRUE(ui_.Asked(u" Backup"));
  std::filesystem::path backups = home_ / "share" / "halvenmoor" / "backup" / "site1";
  std::vector<std::filesystem::path> saved;
  for (const auto& e : std::filesystem::directory_iterator(backups)) saved.push_back(e.path());
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].filename().string().rfind("lost.bin.", 0), 0u);
  EXPECT_EQ(ReadFile(saved[0].string()), data);
  // The server back: the next operation connects again by itself.
  Server(server, "restart");
  EXPECT_EQ(site->List(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace hvm::test
