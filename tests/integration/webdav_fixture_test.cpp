// Behaviours no real server here produces, from the fixture server.
#include <gtest/gtest.h>

#include <filesystem>
#include <cstring>
#include <fstream>

#include "platform/wide_text.h"
#include "tests/integration/webdav_test_support.h"

namespace hvm::test {
namespace {

namespace fs = std::filesystem;

class FixtureWebDav : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new ServerScript("webdav_fixture.sh"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->ok()) << "the fixture did not start";
    SetCurrentUi(&ui_);
    ClearFixtureLog(*server_);
  }
  void TearDown() override { SetCurrentUi(nullptr); }
  std::string Log() { return FixtureLog(*server_); }
  // A new file of site written locally with data, as its close finds it.
  FileEntry* WrittenFile(TestSite& site, std::u16string_view below, const std::vector<uint8_t>& data,
                         OpenHandle& handle) {
    FileEntry* e = site.connection.entries.NewEntry(site.CachePath(below));
    e->localCopy = LocalCopyWith(data);
    e->flags |= kEntryWrittenLocally;
    handle.entry = e;
    return e;
  }
  // The backup copies kept for site1 under dataHome.
  static std::vector<std::string> Backups(const std::string& dataHome) {
    std::vector<std::string> backups;
    std::string folder = dataHome + "/halvenmoor/backup/site1";
    if (fs::is_directory(folder))
      for (const auto& item : fs::directory_iterator(folder)) backups.push_back(item.path());
    return backups;
  }
  FileEntry* FileAt(TestSite& site, std::u16string_view below, uint64_t size) {
    FileEntry* e = site.connection.entries.NewEntry(site.CachePath(below));
    e->size = size;
    return e;
  }

  static ServerScript* server_;
  RecordingUi ui_;
};
ServerScript* FixtureWebDav::server_ = nullptr;

TEST_F(FixtureWebDav, CommonHeadersGoOutInTheirOrderAndPropfindDepthFollowsTheBody) {
  TestSite site(server_->Url("/plain/"));
  site.List();
  std::string body = "<?xml version='1.0'?><propfind xmlns='DAV:'><prop><getetag/></prop></propfind>";
  site.client->PerformRequest('D', nullptr, site.Reply(u"\\x").serverPath, nullptr, {}, &body, 0, 0, nullptr);
  site.client->CloseRequest();
  std::string log = Log();
  size_t first = log.find("\"PROPFIND\"");
  ASSERT_NE(first, std::string::npos);
  std::string firstRequest = log.substr(first, log.find("\"method\"", first + 1) - first);
  size_t pragma = firstRequest.find("[\"Pragma\", \"no-cache\"]");
  size_t language = firstRequest.find("[\"Accept-Language\", \"de, en-us;q=0.2\"]");
  size_t translate = firstRequest.find("[\"Translate\", \"f\"]");
  size_t agent = firstRequest.find(
      "[\"User-Agent\", \"Halvenmoor 7.00.05 ; Microsoft Data Access Internet Publishing Provider Protocol Discovery\"]");
  ASSERT_NE(pragma, std::string::npos) << firstRequest;
  ASSERT_NE(agent, std::string::npos) << firstRequest;
  EXPECT_LT(pragma, language);
  EXPECT_LT(language, translate);
  EXPECT_LT(translate, agent);
  EXPECT_NE(firstRequest.find("[\"Depth\", \"1\"]"), std::string::npos);
  size_t second = log.find("\"PROPFIND\"", first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_NE(log.find("[\"Depth\", \"0\"]", second), std::string::npos);
  EXPECT_NE(site.Entry(u"\\a b.txt"), nullptr);
}

TEST_F(FixtureWebDav, LettersOutsideTheTableSendNothing) {
  TestSite site(server_->Url("/plain/"));
  for (char kind : {'G', 'J', 'Q', 'Z', 'a'})
    EXPECT_EQ(site.client->PerformRequest(kind, nullptr, u"x", nullptr, {}, nullptr, 0, 0, nullptr), 0) << kind;
  EXPECT_EQ(Log(), "[]");
}

TEST_F(FixtureWebDav, IisWithoutAcceptRangesKeepsRangeReadsAndIsSharePoint) {
  TestSite site(server_->Url("/iis/"));
  FileEntry* e = FileAt(site, u"\\f-100000.bin", 100000);
  std::vector<uint8_t> piece;
  ASSERT_EQ(site.Read(e, 10, 20, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, Pattern(10, 10));
  EXPECT_EQ(site.record.passive, 1);
  EXPECT_TRUE(site.client->IsSharePoint());
  EXPECT_EQ(site.client->Banner(), u"Microsoft-IIS/6.0");
}

TEST_F(FixtureWebDav, AcceptRangesNoneSwitchesToOneBackgroundDownload) {
  TestSite site(server_->Url("/noranges/"));
  FileEntry* e = FileAt(site, u"\\f-300000.bin", 300000);
  std::vector<uint8_t> piece;
  // The first ranged GET is answered whole; it teaches the client there are no ranges.
  site.Read(e, 0, 10, piece);
  EXPECT_EQ(site.record.passive, 0);
  ClearFixtureLog(*server_);
  ASSERT_EQ(site.Read(e, 250000, 300000, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, Pattern(50000, 250000));
  ASSERT_EQ(site.Read(e, 5, 70000, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, Pattern(69995, 5));
  std::string log = Log();
  EXPECT_EQ(log.find("Range"), std::string::npos) << "no Range header once ranges are off";
  EXPECT_EQ(log.find("\"GET\""), log.rfind("\"GET\"")) << "one download serves every read";
}

TEST_F(FixtureWebDav, AWholeFileAnswerToARangedGetFailsTheRead) {
  TestSite site(server_->Url("/ranges200/"));
  site.record.passive = 1;
  FileEntry* e = FileAt(site, u"\\f-1000.bin", 1000);
  std::vector<uint8_t> piece;
  site.client->PerformRequest('H', e, site.Reply(u"\\f-1000.bin").serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  site.client->CloseRequest();
  std::vector<uint8_t> out(10);
  ReplyArea reply = site.Reply(u"\\f-1000.bin");
  // Direct: a banner was learned and ranges are assumed; a 200 is refused.
  EXPECT_EQ(site.client->GetChecked(e, reply, 10, 20, out.data(), 0), STATUS_UNEXPECTED_NETWORK_ERROR);
}

// A 206 whose Content-Range names other bytes than the ones asked for: the
// read fails instead of handing the program the file's first bytes, both for
// a direct ranged GET and for a read-ahead block.
TEST_F(FixtureWebDav, ARangedAnswerWithOtherBytesFailsTheRead) {
  TestSite site(server_->Url("/wrongrange/"));
  site.record.passive = 1;
  FileEntry* small = FileAt(site, u"\\f-1000.bin", 1000);
  ReplyArea reply = site.Reply(u"\\f-1000.bin");
  std::vector<uint8_t> out(10);
  EXPECT_EQ(site.client->GetChecked(small, reply, 10, 20, out.data(), 0), STATUS_UNEXPECTED_NETWORK_ERROR);
  EXPECT_EQ(site.client->Get(small, reply, 10, 20, out.data(), 0), STATUS_UNEXPECTED_NETWORK_ERROR);
  // The start of the file is what such a server answers for it.
  EXPECT_EQ(site.client->Get(small, reply, 0, 10, out.data(), 0), STATUS_SUCCESS);

  constexpr uint64_t kBig = 16u << 20;
  FileEntry* big = FileAt(site, u"\\g-16777216.bin", kBig);
  big->readCount = 2;
  ReplyArea bigReply = site.Reply(u"\\g-16777216.bin");
  std::vector<uint8_t> piece(65536);
  EXPECT_EQ(site.client->Get(big, bigReply, 4u << 20, (4u << 20) + piece.size(), piece.data(), 0),
            STATUS_UNEXPECTED_NETWORK_ERROR);
  std::string log = Log();
  EXPECT_NE(log.find("bytes=4194304-"), std::string::npos) << "a read-ahead block was asked for";
}

TEST_F(FixtureWebDav, NtlmOnlyServerGetsOneRetryWithNtlm) {
  TestSite site(server_->Url("/ntlm/"), "user", "pw");
  ReplyArea reply = site.Reply(u"\\n.txt");
  EXPECT_EQ(site.client->CreateFile(nullptr, reply), STATUS_SUCCESS);
  std::string log = Log();
  EXPECT_NE(log.find("Basic "), std::string::npos) << "credentials went with the first request";
  EXPECT_NE(log.find("NTLM "), std::string::npos) << log;
}

TEST_F(FixtureWebDav, LockedAnswersBecomeAccessDenied) {
  TestSite site(server_->Url("/locked/"));
  ReplyArea reply = site.Reply(u"\\l.txt");
  EXPECT_EQ(site.client->CreateFile(nullptr, reply), STATUS_ACCESS_DENIED);
  FileEntry* e = FileAt(site, u"\\l.txt", 1);
  EXPECT_EQ(site.client->Delete(e, reply), STATUS_ACCESS_DENIED);
  EXPECT_EQ(site.client->Move(e, reply, nullptr, site.Reply(u"\\m.txt").serverPath), STATUS_ACCESS_DENIED);
}

TEST_F(FixtureWebDav, PropPatch405SwitchesTheSiteToThePlainPropertySet) {
  TestSite site(server_->Url("/nopatch/"));
  FileEntry* e = site.connection.entries.NewEntry(site.CachePath(u"\\p.txt"));
  e->localCopy = LocalCopyWith(Pattern(10));
  e->flags |= kEntryWrittenLocally | kEntryTimesSet;  // times set by a program: they go as properties
  OpenHandle handle;
  handle.entry = e;
  ReplyArea reply = site.Reply(u"\\p.txt");
  ASSERT_EQ(site.client->CloseAfterWrite(&handle, reply, 1, 0), STATUS_SUCCESS);
  EXPECT_TRUE(site.record.flags & kSitePlainProperties);
  ClearFixtureLog(*server_);
  e->flags |= kEntryWrittenLocally | kEntryTimesSet;
  ASSERT_EQ(site.client->CloseAfterWrite(&handle, reply, 1, 0), STATUS_SUCCESS);
  site.List();
  std::string log = Log();
  EXPECT_EQ(log.find("PROPPATCH"), std::string::npos);
  EXPECT_NE(log.find("\"PUT\""), std::string::npos);
}

// tar sets a new file's times before closing it: the close returns after the
// PUT, the PROPPATCH goes behind it, and every later request waits for it.
TEST_F(FixtureWebDav, ANewFilesTimesGoBehindItsUploadAndTheNextRequestWaitsForThem) {
  for (const char* kind : {"plain", "nopatch"}) {
    SCOPED_TRACE(kind);
    ClearFixtureLog(*server_);
    TestSite site(server_->Url(std::string("/") + kind + "/"));
    FileEntry* e = site.connection.entries.NewEntry(site.CachePath(u"\\t.txt"));
    e->localCopy = LocalCopyWith(Pattern(10));
    e->flags |= kEntryWrittenLocally | kEntryTimesSet | kEntryCreatePending | kEntryMustBeNew;
    e->lastWriteTime = 133000000000000000ull;  // a time a program set
    OpenHandle handle;
    handle.entry = e;
    ReplyArea reply = site.Reply(u"\\t.txt");
    ASSERT_EQ(site.client->CloseAfterWrite(&handle, reply, 1, 0), STATUS_SUCCESS);
    EXPECT_FALSE(e->flags & kEntryCreatePending);
    EXPECT_EQ(e->lastWriteTime, 133000000000000000ull);  // not the PUT answer's
    site.client->PerformRequest('H', nullptr, reply.serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
    site.client->CloseRequest();
    std::string log = Log();
    size_t put = log.find("\"PUT\""), patch = log.find("\"PROPPATCH\""), listing = log.find("\"HEAD\"");
    ASSERT_NE(put, std::string::npos);
    ASSERT_NE(patch, std::string::npos);
    ASSERT_NE(listing, std::string::npos);
    EXPECT_LT(put, patch);
    EXPECT_LT(patch, listing);
    if (std::string(kind) == "plain") {
      EXPECT_FALSE(site.record.flags & kSitePlainProperties);
      EXPECT_FALSE(e->flags & kEntryTimesSet);  // stored
    } else {
      // Refused: the site keeps no properties, and the times stay the entry's.
      EXPECT_TRUE(site.record.flags & kSitePlainProperties);
      EXPECT_TRUE(e->flags & kEntryTimesSet);
      EXPECT_FALSE(e->flags & kEntryServerKeepsTimes);
    }
  }
}

// tar makes a folder while the times of the files before it are still on
// their way: neither the closes of up to eight new files nor the MKCOL wait
// for them (the server here holds every PROPPATCH until the MKCOL comes).
TEST_F(FixtureWebDav, NewFilesAndANewFolderDoNotWaitForTimesOnTheirWay) {
  TestSite site(server_->Url("/patchwaits/"));
  constexpr int kFiles = 8;
  std::vector<OpenHandle> handles(kFiles);
  std::vector<FileEntry*> files;
  for (int i = 0; i < kFiles; ++i) {
    std::u16string name = u"\\t" + Utf8ToUtf16(std::to_string(i)) + u".txt";
    FileEntry* e = site.connection.entries.NewEntry(site.CachePath(name));
    e->localCopy = LocalCopyWith(Pattern(10));
    e->flags |= kEntryWrittenLocally | kEntryTimesSet | kEntryCreatePending | kEntryMustBeNew;
    e->lastWriteTime = 133000000000000000ull;
    handles[i].entry = e;
    files.push_back(e);
    ReplyArea reply = site.Reply(name);
    ASSERT_EQ(site.client->CloseAfterWrite(&handles[i], reply, 1, 0), STATUS_SUCCESS);
  }
  ReplyArea folder = site.Reply(u"\\sub");
  EXPECT_EQ(site.client->MakeDirectory(folder), STATUS_SUCCESS);
  // Any other request still waits for the times.
  ReplyArea first = site.Reply(u"\\t0.txt");
  site.client->PerformRequest('H', nullptr, first.serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  site.client->CloseRequest();
  std::string log = Log();
  size_t head = log.find("\"HEAD\"");
  ASSERT_NE(head, std::string::npos);
  int answered = 0;
  for (size_t at = log.find("\"PROPPATCH answered\""); at != std::string::npos;
       at = log.find("\"PROPPATCH answered\"", at + 1)) {
    ++answered;
    EXPECT_LT(at, head);
    EXPECT_EQ(log.find("\"afterMkcol\": true", at), log.find("\"afterMkcol\"", at)) << log;
  }
  EXPECT_EQ(answered, kFiles);
  for (FileEntry* e : files) EXPECT_FALSE(e->flags & kEntryTimesSet);  // stored
}

TEST_F(FixtureWebDav, BrokenOrIncompleteListingsLeaveTheFolderAsItWas) {
  for (const char* kind : {"/broken/", "/nohref/"}) {
    TestSite site(server_->Url(kind));
    FileEntry* root = site.client->RootEntry();
    FileEntry* known = site.connection.entries.NewEntry(site.CachePath(u"\\known.txt"));
    known->parent = root;
    known->size = 77;
    NTSTATUS status = 0;
    site.List(u"", &status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << kind;
    EXPECT_EQ(site.connection.entries.size(), 2u) << kind;
    EXPECT_EQ(site.Entry(u"\\known.txt"), known);
    EXPECT_EQ(known->size, 77u);
  }
  EXPECT_FALSE(ui_.messages.empty());
}

TEST_F(FixtureWebDav, HostileListingStaysInsideTheFolder) {
  TestSite site(server_->Url("/hostile/"));
  NTSTATUS status = 1;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(site.connection.entries.size(), 2u);  // the root and good.txt
  EXPECT_NE(site.Entry(u"\\good.txt"), nullptr);
}

// Entries whose dates cannot be read used to hide the whole folder; now they
// are listed with a time of the client's own, which a relisting keeps.
TEST_F(FixtureWebDav, UnreadableDatesKeepTheFolderListed) {
  TestSite site(server_->Url("/baddates/"));
  NTSTATUS status = 1;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_TRUE(ui_.messages.empty());
  for (auto [name, size] : {std::pair{u"\\good.txt", 5u}, {u"\\absolute.txt", 6u}, {u"\\no-dates.txt", 7u},
                            {u"\\garbled.txt", 8u}, {u"\\month-13.txt", 9u}}) {
    FileEntry* e = site.Entry(name);
    ASSERT_NE(e, nullptr) << Utf16ToUtf8(name);
    EXPECT_EQ(e->size, size) << Utf16ToUtf8(name);
    EXPECT_NE(e->lastWriteTime, 0u) << Utf16ToUtf8(name);
  }
  EXPECT_EQ(site.Entry(u"\\good.txt")->lastWriteTime, 132593079670000000ull);
  FileEntry* garbled = site.Entry(u"\\garbled.txt");
  EXPECT_EQ(garbled->serverModifiedTime, 0u);  // no server time: nothing to compare with later
  FileTime madeUp = garbled->lastWriteTime;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(site.Entry(u"\\garbled.txt"), garbled);
  EXPECT_EQ(garbled->lastWriteTime, madeUp);
}

TEST_F(FixtureWebDav, QuotaComesBackAsTwoNumbers) {
  TestSite site(server_->Url("/quota/"));
  InternalRequest answer{};
  uint32_t information = 0;
  ReplyArea reply = site.Reply(u"");
  ASSERT_EQ(site.client->Control(0x141FFC, nullptr, reply, &answer, &information, nullptr), STATUS_SUCCESS);
  uint64_t figures[2];
  std::memcpy(figures, reinterpret_cast<uint8_t*>(&answer) + offsetof(InternalRequest, target), sizeof figures);
  EXPECT_EQ(figures[0], 123456789012u);
  EXPECT_EQ(figures[1], 42u);
}

TEST_F(FixtureWebDav, VersionReportShowsAFolderUntilItIsClosedAndSearchListsHrefs) {
  TestSite site(server_->Url("/plain/"));
  site.List();
  FileEntry* file = site.Entry(u"\\a b.txt");
  ASSERT_NE(file, nullptr);
  InternalRequest answer{};
  uint32_t information = 0;
  ReplyArea reply = site.Reply(u"\\a b.txt");
  ASSERT_EQ(site.client->Control(0x142090, file, reply, &answer, &information, nullptr), STATUS_SUCCESS);
  FileEntry* versions = site.Entry(u"\\a b.txt - Versions");
  ASSERT_NE(versions, nullptr);
  EXPECT_TRUE(versions->IsDirectory());
  EXPECT_NE(site.Entry(u"\\a b.txt - Versions\\1.2 (ann)"), nullptr);
  // A creator's name is the server's text: it cannot add a level to the path.
  EXPECT_NE(site.Entry(u"\\a b.txt - Versions\\1.1 (ev_il_one_x)"), nullptr);
  EXPECT_EQ(site.Entry(u"\\a b.txt - Versions\\1.1 (ev"), nullptr);
  ASSERT_EQ(site.client->Control(0x1420A8, file, reply, &answer, &information, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(site.Entry(u"\\a b.txt - Versions"), nullptr);
  EXPECT_EQ(site.Entry(u"\\a b.txt - Versions\\1.2 (ann)"), nullptr);
  ASSERT_EQ(site.client->Control(0x1420A8, file, reply, &answer, &information, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(WideField(answer.target, kPathChars), u"There is no opened report for the file");

  InternalRequest request{};
  CopyWide(request.destination, kPathChars, u"needle <&>");
  ASSERT_EQ(site.client->Control(0x14200C, nullptr, reply, &answer, &information, &request), STATUS_SUCCESS);
  EXPECT_EQ(WideField(answer.target, kPathChars), u"/plain/found one.txt\n/plain/sub/two.txt\n");
  EXPECT_NE(Log().find("\"SEARCH\""), std::string::npos);
}

TEST_F(FixtureWebDav, Iis50NeverGetsAnIfHeader) {
  TestSite site(server_->Url("/iis5/"));
  FileEntry* e = FileAt(site, u"\\f-10.bin", 10);
  e->lockToken = u"opaquelocktoken:abc";
  site.client->PerformRequest('H', e, site.Reply(u"\\f-10.bin").serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  site.client->CloseRequest();
  ReplyArea reply = site.Reply(u"\\f-10.bin");
  site.client->PerformRequest('E', e, reply.serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  std::string log = Log();
  EXPECT_NE(log.find("Lock-Token"), std::string::npos);
  EXPECT_EQ(log.find("[\"If\""), std::string::npos) << log;

  TestSite other(server_->Url("/plain/"));
  FileEntry* f = FileAt(other, u"\\g.txt", 1);
  f->lockToken = u"opaquelocktoken:def";
  ClearFixtureLog(*server_);
  other.client->PerformRequest('E', f, other.Reply(u"\\g.txt").serverPath, nullptr, {}, nullptr, 0, 0, nullptr);
  EXPECT_NE(Log().find("(<opaquelocktoken:def>)"), std::string::npos);
}

TEST_F(FixtureWebDav, ServerDyingMidUploadIsRetriedThenTheUserKeepsABackup) {
  std::string dataHome = server_->state() + "/xdg";
  setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  TestSite site(server_->Url("/dies/"));
  site.record.retryCount = 1;
  ui_.answerRetryTimes = 1;  // one more attempt, then give up
  std::vector<uint8_t> work = Pattern(300000);
  OpenHandle handle;
  WrittenFile(site, u"\\work.doc", work, handle);
  ReplyArea reply = site.Reply(u"\\work.doc");
  EXPECT_EQ(site.client->CloseAfterWrite(&handle, reply, 1, 0), STATUS_UNEXPECTED_NETWORK_ERROR);
  std::string log = Log();
  size_t attempts = 0;
  for (size_t at = log.find("\"PUT\""); at != std::string::npos; at = log.find("\"PUT\"", at + 1)) ++attempts;
  EXPECT_EQ(attempts, 3u) << "Retry + 1 attempts and one more after the question";
  EXPECT_EQ(ui_.retryQuestions, 2);
  ASSERT_TRUE(fs::is_directory(dataHome + "/halvenmoor/backup/site1"));
  std::vector<std::string> backups = Backups(dataHome);
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_EQ(ReadFile(backups[0]), work);
  EXPECT_EQ(fs::path(backups[0]).filename().string().rfind("work.doc.", 0), 0u);
  ASSERT_FALSE(ui_.messages.empty());
  EXPECT_EQ(ui_.messages.back(), u"The file has been saved under\n" + Utf8ToUtf16(backups[0]));
  EXPECT_EQ(ui_.captions.back(), u" Backup");
  unsetenv("XDG_DATA_HOME");
}

// The client follows no redirect, so a 3xx answer never did what was asked:
// an upload answered 302 stored nothing and is kept as a backup, a folder, a
// removal, a move and a copy answered so fail, and a read takes nothing of
// the answer's body.
TEST_F(FixtureWebDav, RedirectAnswersAreFailures) {
  std::string dataHome = server_->state() + "/xdg-moved";
  setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  TestSite site(server_->Url("/moved/"));
  site.record.retryCount = 0;
  std::vector<uint8_t> work = Pattern(1000);
  OpenHandle handle;
  WrittenFile(site, u"\\work.doc", work, handle);
  ReplyArea reply = site.Reply(u"\\work.doc");
  EXPECT_NE(site.client->CloseAfterWrite(&handle, reply, 1, 0), STATUS_SUCCESS);
  std::vector<std::string> backups = Backups(dataHome);
  ASSERT_EQ(backups.size(), 1u) << "the written bytes are kept";
  EXPECT_EQ(ReadFile(backups[0]), work);
  unsetenv("XDG_DATA_HOME");

  ReplyArea folderReply = site.Reply(u"\\new");
  EXPECT_NE(site.client->MakeDirectory(folderReply), STATUS_SUCCESS);
  FileEntry* old = FileAt(site, u"\\old-10.bin", 10);
  ReplyArea oldReply = site.Reply(u"\\old-10.bin");
  EXPECT_NE(site.client->Delete(old, oldReply), STATUS_SUCCESS);
  EXPECT_NE(site.client->Move(old, oldReply, nullptr, site.Reply(u"\\new-10.bin").serverPath), STATUS_SUCCESS);
  EXPECT_NE(site.client->Copy(old, oldReply, 0, site.Reply(u"\\new-10.bin").serverPath, nullptr), STATUS_SUCCESS);

  // Read without ranges (a whole-file answer is what such a site sends).
  FileEntry* f = FileAt(site, u"\\f-4000.bin", 4000);
  std::vector<uint8_t> piece;
  EXPECT_NE(site.Read(f, 0, 4000, piece), STATUS_SUCCESS);
  std::vector<uint8_t> out(100, 0);
  ReplyArea fReply = site.Reply(u"\\f-4000.bin");
  EXPECT_NE(site.client->GetChecked(f, fReply, 0, 100, out.data(), 0), STATUS_SUCCESS);
  EXPECT_EQ(out, std::vector<uint8_t>(100, 0));
}

TEST_F(FixtureWebDav, TheFirstCookieIsSentBackWithoutItsAttributes) {
  TestSite site(server_->Url("/cookie/"));
  ReplyArea reply = site.Reply(u"\\c.txt");
  site.client->MakeDirectory(reply);
  site.client->MakeDirectory(reply);
  site.client->MakeDirectory(reply);
  std::string log = Log();
  size_t first = log.find("[\"Cookie\", \"session=abc");
  ASSERT_NE(first, std::string::npos) << log;
  std::string cookie = log.substr(first, log.find(']', first) - first);
  EXPECT_EQ(cookie.find("Path"), std::string::npos);
  EXPECT_NE(log.find(cookie, first + 1), std::string::npos) << "the first cookie stays";
}

TEST_F(FixtureWebDav, AStalledServerTimesOutWithTheTimeoutCode) {
  TestSite site(server_->Url("/slow/"));
  site.record.receiveTimeout = site.record.sendTimeout = 1;
  ReplyArea reply = site.Reply(u"\\s");
  EXPECT_EQ(site.client->MakeDirectory(reply), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(site.client->lastStatus(), 12002);
  EXPECT_NE(std::u16string(WideField(reply.message, kReplyMessageChars)).find(u"timed out"), std::u16string::npos);
}

TEST(SecureFixtureWebDav, UnknownAuthorityFailsUntilCertificateWarningsAreIgnored) {
  ServerScript tls("webdav_fixture.sh", "tls");
  ASSERT_TRUE(tls.ok());
  RecordingUi ui;
  SetCurrentUi(&ui);
  TestSite site(tls.SecureUrl("/plain/"));  // the scheme in capitals still means TLS
  ReplyArea reply = site.Reply(u"\\t");
  EXPECT_EQ(site.client->MakeDirectory(reply), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(site.client->lastStatus(), 12045);
  site.client->SetSecurityFlags(kIgnoreCertificateFlags);
  EXPECT_EQ(site.client->MakeDirectory(reply), STATUS_SUCCESS);
  SetCurrentUi(nullptr);
}

TEST_F(FixtureWebDav, RequestsGoThroughTheConfiguredProxyExceptForBypassedHosts) {
  WebDavProxySettings proxy;
  proxy.enabled = true;
  proxy.host = u"127.0.0.1";
  proxy.port = static_cast<uint32_t>(server_->port());
  SetWebDavProxySettings(proxy);
  TestSite site("http://127.0.0.2:9/plain/");  // nothing listens there; only the proxy answers
  ReplyArea reply = site.Reply(u"\\p");
  EXPECT_EQ(site.client->MakeDirectory(reply), STATUS_SUCCESS);
  EXPECT_NE(Log().find("\"path\": \"http://127.0.0.2:9/plain/p\""), std::string::npos) << Log();
  proxy.bypass = u"example.org;127.0.0.2";
  SetWebDavProxySettings(proxy);
  EXPECT_EQ(site.client->MakeDirectory(reply), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(site.client->lastStatus(), 12029);
  SetWebDavProxySettings(WebDavProxySettings{});
}

TEST(SecureFixtureWebDav, ADemandedClientCertificateIsAskedForOnceAndKept) {
  ServerScript tls("webdav_fixture.sh", "tls-client");
  ASSERT_TRUE(tls.ok());
  RecordingUi ui;
  SetCurrentUi(&ui);
  TestSite declined(tls.SecureUrl("/plain/"));
  declined.client->SetSecurityFlags(kIgnoreCertificateFlags);
  ReplyArea reply = declined.Reply(u"\\c");
  EXPECT_EQ(declined.client->MakeDirectory(reply), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(declined.client->lastStatus(), 12044);
  EXPECT_EQ(ui.filesAsked, 1);

  ui.fileToChoose = tls.state() + "/client.pem";
  TestSite site(tls.SecureUrl("/plain/"));
  site.client->SetSecurityFlags(kIgnoreCertificateFlags);
  EXPECT_EQ(site.client->MakeDirectory(reply), STATUS_SUCCESS);
  EXPECT_EQ(site.client->MakeDirectory(reply), STATUS_SUCCESS);
  EXPECT_EQ(ui.filesAsked, 2) << "the chosen certificate stays with the client";
  SetCurrentUi(nullptr);
}

TEST_F(FixtureWebDav, UnreachableServerNamesTheWinHttpCode) {
  TestSite site("http://127.0.0.1:1/dav/");
  ReplyArea reply = site.Reply(u"\\x");
  EXPECT_EQ(site.client->MakeDirectory(reply), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(site.client->lastStatus(), 12029);
}

}  // namespace
}  // namespace hvm::test
