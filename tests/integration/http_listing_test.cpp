// The plain HTTP listing client against real web servers that offer a folder
// only through generated index pages, each started on loopback by the test:
// Apache mod_autoindex, nginx autoindex, lighttpd dirlisting and Python's
// http.server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <filesystem>

#include "agent/clients/http_listing_client.h"
#include "platform/wide_text.h"
#include "tests/integration/webdav_test_support.h"

namespace hvm::test {
namespace {

namespace fs = std::filesystem;

constexpr size_t kLargeSize = 5 * 1024 * 1024 + 12345;  // many pieces, read-ahead blocks

struct ListingSite : TestSite {
  explicit ListingSite(const std::string& url) : TestSite(url) {
    record.flags |= kSitePropfindGet;
    auto owned = std::make_unique<HttpListingClient>(connection);
    listing = owned.get();
    client = owned.get();
    connection.client = std::move(owned);
    client->Open();
  }
  HttpListingClient* listing = nullptr;
};

class HttpListing : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    server_ = std::make_unique<ServerScript>("http_index.sh", GetParam());
    ASSERT_TRUE(server_->ok()) << GetParam() << " did not start";
    SetCurrentUi(&ui_);
    fs::create_directories(Data("sub dir"));
    WriteFile(Data("a b.txt"), Pattern(1000));
    WriteFile(Data("Grüße ä.txt"), Pattern(77, 5));
    WriteFile(Data("zero.txt"), {});
    WriteFile(Data("sub dir/inner.txt"), Pattern(4321));
    WriteFile(Data("large.bin"), Pattern(kLargeSize));
    utimbuf times{1700000000, 1700000000};
    utime(Data("a b.txt").c_str(), &times);
  }
  void TearDown() override {
    SetCurrentUi(nullptr);
    server_.reset();
  }
  std::string Data(const std::string& name) const { return server_->DataDir() + "/" + name; }

  std::unique_ptr<ServerScript> server_;
  RecordingUi ui_;
};

// The UI the client's questions and messages go to, for one test.
struct UiInstalled {
  explicit UiInstalled(Ui* ui) { SetCurrentUi(ui); }
  ~UiInstalled() { SetCurrentUi(nullptr); }
  UiInstalled(const UiInstalled&) = delete;
  UiInstalled& operator=(const UiInstalled&) = delete;
};

FileTime UnixSeconds(uint64_t seconds) { return seconds * kFileTimeTicksPerSecond + kFileTimeUnixEpoch; }

TEST_P(HttpListing, ListsExactSizesTimesAndFoldersAsReadOnlyFiles) {
  ListingSite site(server_->Url("/pub/"));
  NTSTATUS status = 1;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  struct Expected {
    std::u16string name;
    uint64_t size;
  };
  for (const Expected& e : {Expected{u"\\a b.txt", 1000}, Expected{u"\\Grüße ä.txt", 77},
                            Expected{u"\\zero.txt", 0}, Expected{u"\\large.bin", kLargeSize}}) {
    FileEntry* entry = site.Entry(e.name);
    ASSERT_NE(entry, nullptr) << Utf16ToUtf8(e.name);
    EXPECT_FALSE(entry->IsDirectory());
    EXPECT_EQ(entry->size, e.size) << Utf16ToUtf8(e.name);
    EXPECT_TRUE(entry->IsReadOnly());
  }
  FileEntry* folder = site.Entry(u"\\sub dir");
  ASSERT_NE(folder, nullptr);
  EXPECT_TRUE(folder->IsDirectory());
  // The page's minutes, or HEAD's seconds: the server's time either way.
  FileTime written = site.Entry(u"\\a b.txt")->lastWriteTime;
  EXPECT_LE(written, UnixSeconds(1700000000));
  EXPECT_GT(written + 60 * kFileTimeTicksPerSecond, UnixSeconds(1700000000));
  // Reading the page taught nothing about byte ranges; a file's HEAD did
  // (Python's server ignores them).
  EXPECT_EQ(site.record.passive, std::string(GetParam()) == "python" ? 0 : 1);

  // A refresh of an unchanged file keeps what the listing said, also where
  // the page gave its time only to the minute.
  FileEntry* small = site.Entry(u"\\Grüße ä.txt");
  FileTime listed = small->lastWriteTime;
  ASSERT_EQ(site.client->ListDirectory(site.Reply(u"\\Grüße ä.txt").serverPath, small, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(small->lastWriteTime, listed);
  EXPECT_EQ(small->size, 77u);

  site.List(u"\\sub dir", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(site.Entry(u"\\sub dir\\inner.txt"), nullptr);
  EXPECT_EQ(site.Entry(u"\\sub dir\\inner.txt")->size, 4321u);
}

TEST_P(HttpListing, ReadsPiecesAndLargeFilesByteForByte) {
  ListingSite site(server_->Url("/pub/"));
  site.List();
  FileEntry* small = site.Entry(u"\\Grüße ä.txt");
  ASSERT_NE(small, nullptr);
  std::vector<uint8_t> piece;
  ASSERT_EQ(site.Read(small, 10, 50, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, Pattern(40, 15));

  FileEntry* large = site.Entry(u"\\large.bin");
  ASSERT_NE(large, nullptr);
  std::vector<uint8_t> whole;
  for (uint64_t at = 0; at < kLargeSize; at += 65536) {
    uint64_t end = std::min<uint64_t>(kLargeSize, at + 65536);
    ASSERT_EQ(site.Read(large, at, end, piece), STATUS_SUCCESS) << "at " << at;
    whole.insert(whole.end(), piece.begin(), piece.end());
  }
  EXPECT_TRUE(whole == Pattern(kLargeSize));
}

TEST_P(HttpListing, RelistingFollowsChangesOnTheServer) {
  ListingSite site(server_->Url("/pub/"));
  site.List();
  FileEntry* file = site.Entry(u"\\a b.txt");
  ASSERT_NE(file, nullptr);
  WriteFile(Data("a b.txt"), Pattern(2500));
  utimbuf times{1600000000, 1600000000};
  utime(Data("a b.txt").c_str(), &times);
  // A file is refreshed on its own with HEAD.
  ASSERT_EQ(site.client->ListDirectory(site.Reply(u"\\a b.txt").serverPath, file, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(file->size, 2500u);
  EXPECT_EQ(file->lastWriteTime, UnixSeconds(1600000000));

  fs::remove(Data("zero.txt"));
  WriteFile(Data("new.txt"), Pattern(9));
  NTSTATUS status = 1;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(site.Entry(u"\\zero.txt"), nullptr);
  ASSERT_NE(site.Entry(u"\\new.txt"), nullptr);
  EXPECT_EQ(site.Entry(u"\\new.txt")->size, 9u);

  fs::remove(Data("new.txt"));
  FileEntry* gone = site.Entry(u"\\new.txt");
  EXPECT_EQ(site.client->ListDirectory(site.Reply(u"\\new.txt").serverPath, gone, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_P(HttpListing, EveryChangeIsRefusedBeforeAnythingIsSent) {
  ListingSite site(server_->Url("/pub/"));
  site.List();
  FileEntry* file = site.Entry(u"\\a b.txt");
  ASSERT_NE(file, nullptr);
  ReplyArea reply = site.Reply(u"\\a b.txt");
  EXPECT_EQ(site.client->BeginWrite(file, reply, 1, nullptr), STATUS_ACCESS_DENIED);
  EXPECT_EQ(std::u16string(reply.message), std::u16string(kReadOnlySiteText));
  EXPECT_EQ(site.client->CreateFile(file, reply), STATUS_ACCESS_DENIED);
  EXPECT_EQ(site.client->Delete(file, reply), STATUS_ACCESS_DENIED);
  EXPECT_EQ(site.client->Move(file, reply, site.Entry(u""), site.Reply(u"\\moved.txt").serverPath),
            STATUS_ACCESS_DENIED);
  ReplyArea folder = site.Reply(u"\\made");
  EXPECT_EQ(site.client->MakeDirectory(folder), STATUS_ACCESS_DENIED);
  char16_t text[kReplyMessageChars] = {};
  EXPECT_EQ(site.client->Copy(file, reply, 0, site.Reply(u"\\copy.txt").serverPath, text),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(site.client->Control(kControlSearch, file, reply, nullptr, nullptr, nullptr),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(ReadFile(Data("a b.txt")), Pattern(1000));
  EXPECT_FALSE(fs::exists(Data("made")));
  EXPECT_FALSE(fs::exists(Data("moved.txt")));
  EXPECT_FALSE(fs::exists(Data("copy.txt")));
}

TEST_P(HttpListing, TheConnectionTestAsksForTheRootPage) {
  ListingSite site(server_->Url("/pub/"));
  ReplyArea reply = site.Reply(u"");
  InternalRequest answer{};
  EXPECT_EQ(site.client->Control(kControlQuota, nullptr, reply, &answer, nullptr, nullptr), STATUS_SUCCESS);
  ListingSite missing(server_->Url("/no-such-folder/"));
  reply = missing.Reply(u"");
  EXPECT_EQ(missing.client->Control(kControlQuota, nullptr, reply, &answer, nullptr, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_GE(answer.result, 400u);  // 404, or 403 where the server guards the rest
  EXPECT_LT(answer.result, 500u);
}

// A folder whose server sends a page of its own making (an index.html the
// server prefers to its listing): links elsewhere name nothing on the drive.
TEST_P(HttpListing, AHostilePageNamesOnlyChildrenOfItsFolder) {
  fs::create_directories(Data("trap"));
  WriteFile(Data("trap/real.txt"), Pattern(31));
  std::string page =
      "<html><body><ul><li><a href=\"http://evil.example/x\">x</a><li><a href=\"../a%20b.txt\">up</a>"
      "<li><a href=\"/etc/passwd\">passwd</a><li><a href=\"sub/x\">deep</a><li><a href=\"?C=M\">sort</a>"
      "<li><a href=\"%2e%2e\">dots</a><li><a href=\"real.txt\">real</a><li><a href=\"missing.txt\">gone</a>"
      "<li><b><a href=\"index.html\">index</b><!-- broken";
  std::vector<uint8_t> bytes(page.begin(), page.end());
  WriteFile(Data("trap/index.html"), bytes);
  ListingSite site(server_->Url("/pub/"));
  site.List();
  NTSTATUS status = 1;
  site.List(u"\\trap", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  std::vector<std::u16string> names;
  std::u16string folder = site.CachePath(u"\\trap\\");
  for (FileEntry* e : site.connection.entries)
    if (e->Path().size() > folder.size() && e->Path().substr(0, folder.size()) == folder)
      names.emplace_back(e->Path().substr(folder.size()));
  std::sort(names.begin(), names.end());
  // "missing.txt" is named but not there: its HEAD fails and it is left out.
  // lighttpd lists the folder itself, which holds index.html.
  std::vector<std::u16string> expected = {u"index.html", u"real.txt"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(site.Entry(u"\\trap\\real.txt")->size, 31u);
}

// A page larger than any listing is not read at all: the folder stays as it was.
TEST_P(HttpListing, AnOversizedPageIsNotRead) {
  fs::create_directories(Data("flood"));
  std::string line = "<li><a href=\"f.txt\">a link that repeats</a></li>\n";
  std::string page;
  while (page.size() <= kMaxIndexPageBytes) page += line;
  WriteFile(Data("flood/index.html"), std::vector<uint8_t>(page.begin(), page.end()));
  ListingSite site(server_->Url("/pub/"));
  site.List();
  NTSTATUS status = STATUS_SUCCESS;
  site.List(u"\\flood", &status);
  if (std::string(GetParam()) == "lighttpd") {
    // lighttpd lists the folder itself rather than sending its index.html.
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_NE(site.Entry(u"\\flood\\index.html"), nullptr);
  } else {
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(site.Entry(u"\\flood\\f.txt"), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, HttpListing, ::testing::Values("apache", "nginx", "lighttpd", "python"),
                         [](const auto& info) { return std::string(info.param); });

// nginx logs what each request asked for: the page is asked for as HTML,
// files in byte ranges.
TEST(HttpListingNginx, PagesAreAskedForAsHtmlAndFilesInRanges) {
  ServerScript server("http_index.sh", "nginx");
  ASSERT_TRUE(server.ok()) << "nginx did not start";
  RecordingUi ui;
  UiInstalled installed(&ui);
  WriteFile(server.DataDir() + "/a b.txt", Pattern(1000));
  ListingSite site(server.Url("/pub/"));
  site.List();
  std::vector<uint8_t> piece;
  ASSERT_EQ(site.Read(site.Entry(u"\\a b.txt"), 100, 300, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, Pattern(200, 100));
  // nginx writes a line after answering, so its log may lag behind the client.
  const std::string ranged = "GET /pub/a b.txt accept=\"-\" range=\"bytes=100-299\"";
  std::string log;
  for (int tries = 0; tries < 100 && log.find(ranged) == std::string::npos; ++tries) {
    if (tries > 0) usleep(100 * 1000);
    std::vector<uint8_t> bytes = ReadFile(server.state() + "/logs/access.log");
    log.assign(bytes.begin(), bytes.end());
  }
  EXPECT_NE(log.find("GET /pub/ accept=\"text/html\" range=\"-\" type=\"text/html; charset=\\x22utf-8\\x22\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(ranged), std::string::npos) << log;
}

// A page without sizes (Python's) needs a HEAD for each file: they go out
// several at once, and the listing holds every file with its exact size.
TEST(HttpListingHeads, FilesWithoutSizesAreAskedAboutSeveralAtOnce) {
  ServerScript server("http_index.sh", "python-heads");
  ASSERT_TRUE(server.ok()) << "the Python server did not start";
  RecordingUi ui;
  UiInstalled installed(&ui);
  constexpr int kFiles = 12;
  for (int i = 0; i < kFiles; ++i) WriteFile(server.DataDir() + "/f" + std::to_string(i) + ".txt", Pattern(100 + i));
  ListingSite site(server.Url("/pub/"));
  NTSTATUS status = 1;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  for (int i = 0; i < kFiles; ++i) {
    FileEntry* entry = site.Entry(u"\\f" + Utf8ToUtf16(std::to_string(i)) + u".txt");
    ASSERT_NE(entry, nullptr) << i;
    EXPECT_EQ(entry->size, static_cast<uint64_t>(100 + i)) << i;
  }
  std::vector<uint8_t> most = ReadFile(server.state() + "/logs/heads-at-once");
  std::vector<uint8_t> log = ReadFile(server.state() + "/logs/python.log");
  ASSERT_FALSE(most.empty()) << std::string(log.begin(), log.end());
  EXPECT_GE(std::stoi(std::string(most.begin(), most.end())), 2);
}

}  // namespace
}  // namespace hvm::test
