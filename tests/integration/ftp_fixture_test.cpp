// The FTP client against pyftpdlib: MLSD and the LIST forms, reads through
// the reading job and directly, uploads, folder operations, and the faults the
// fixture arms (broken transfers, dropped control connections).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "agent/clients/ftp_session.h"
#include "agent/service/ntstatus.h"
#include "agent/clients/webdav_client.h"
#include "platform/wide_text.h"
#include "tests/integration/ftp_test_support.h"

namespace hvm::test {
namespace {

constexpr uint64_t kGiB = 1ull << 30;

void Arm(const ServerScript& server, const std::string& fault, uint64_t bytes) {
  std::ofstream(server.state() + "/" + fault) << bytes;
}

class FtpFixture;
std::string FixtureText(const std::string& name);

// How often text occurs in the fixture's log.
size_t CountInLog(const std::string& text) {
  std::string log = FixtureText("fixture.log");
  size_t count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
  return count;
}

class FtpFixture : public FtpSuite {
 public:
  static std::string Text(const std::string& name) {
    std::ifstream in(server_->state() + "/" + name);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
 protected:
  static void SetUpTestSuite() { StartServer("ftp_fixture.sh", "mlsd"); }
  static void TearDownTestSuite() { StopServer(); }
  std::unique_ptr<FtpTestSite> Site(const std::string& path = "/") {
    auto site = std::make_unique<FtpTestSite>(Url("ftp", path), "hvm", "secret");
    EXPECT_EQ(site->open, STATUS_SUCCESS);
    return site;
  }
};

TEST_F(FtpFixture, MlsdListingGivesNamesKindsSizesAndTimes) {
  WriteFile(Data("Grüße aus Köln.txt"), Pattern(1234));
  std::filesystem::create_directory(Data("a folder"));
  timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  utimensat(AT_FDCWD, Data("Grüße aus Köln.txt").c_str(), times, 0);
  auto site = Site();
  NTSTATUS status = 1;
  FileEntry* root = site->List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  FileEntry* file = site->Entry(u"\\Grüße aus Köln.txt");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->size, 1234u);
  EXPECT_FALSE(file->IsDirectory());
  EXPECT_EQ(file->parent, root);
  EXPECT_EQ(file->lastWriteTime, FileTimeFromUnix({1600000000, 0}));
  FileEntry* folder = site->Entry(u"\\a folder");
  ASSERT_NE(folder, nullptr);
  EXPECT_TRUE(folder->IsDirectory());
  // A file gone on the server leaves the cache with the next listing.
  std::filesystem::remove(Data("Grüße aus Köln.txt"));
  site->List(u"", &status);
  EXPECT_EQ(site->Entry(u"\\Grüße aus Köln.txt"), nullptr);
}

size_t ChildrenOf(const FtpTestSite& site, const FileEntry* folder) {
  size_t children = 0;
  for (FileEntry* e : site.connection.entries) children += e->parent == folder;
  return children;
}

TEST_F(FtpFixture, AListingOfMoreNamesThanTheClientTakesFailsWholeAndOneWithinWorks) {
  WriteFile(Data("kept.txt"), Pattern(10));
  auto site = Site();
  NTSTATUS status = 1;
  FileEntry* root = site->List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(site->Entry(u"\\kept.txt"), nullptr);
  size_t entriesBefore = site->connection.entries.size();
  Arm(*server_, "flood-listing", kMaxFtpListedEntries + 1);
  site->List(u"", &status);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  // Nothing of it is taken: a part would make the names left out look deleted.
  EXPECT_EQ(site->connection.entries.size(), entriesBefore);
  FileEntry* kept = site->Entry(u"\\kept.txt");
  ASSERT_NE(kept, nullptr);
  EXPECT_FALSE(kept->flags & kEntryDeletedOnServer);
  std::u16string text = site->client->ErrorText(site->client->lastError());
  EXPECT_NE(text.find(u"262144 names"), std::u16string::npos) << Utf16ToUtf8(text);
  // A folder of just as many names is listed whole.
  Arm(*server_, "flood-listing", kMaxFtpListedEntries);
  site->List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(ChildrenOf(*site, root), kMaxFtpListedEntries);
  EXPECT_NE(site->Entry(u"\\n0262143"), nullptr);
}

TEST_F(FtpFixture, SitePathIsTheStartFolderPlusTheUrlPath) {
  std::filesystem::create_directories(Data("sub/inner"));
  WriteFile(Data("sub/inner/x.bin"), Pattern(10));
  auto site = Site("/sub/inner/");
  EXPECT_EQ(site->client->baseDirectory(), "/sub/inner/");
  site->List();
  ASSERT_NE(site->Entry(u"\\x.bin"), nullptr);
}

TEST_F(FtpFixture, SmallReadsGoDirectAndLargeOnesThroughTheReadingJob) {
  std::vector<uint8_t> data = Pattern(3 * 1024 * 1024 + 4321);
  WriteFile(Data("big.bin"), data);
  auto site = Site();
  site->List();
  FileEntry* entry = site->Entry(u"\\big.bin");
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> out;
  ASSERT_EQ(site->Read(entry, 100, 4196, out), STATUS_SUCCESS);
  EXPECT_EQ(out, std::vector<uint8_t>(data.begin() + 100, data.begin() + 4196));
  EXPECT_EQ(entry->sections, nullptr);  // a 4 KiB read is served directly
  ASSERT_EQ(site->ReadAll(entry, 65536, out), STATUS_SUCCESS);
  EXPECT_EQ(out, data);
  EXPECT_NE(entry->sections, nullptr);  // the reading job's cache
  // Reading again, also backwards, comes from the cache or a new job.
  ASSERT_EQ(site->Read(entry, 1024 * 1024, 1024 * 1024 + 65536, out), STATUS_SUCCESS);
  EXPECT_EQ(out, std::vector<uint8_t>(data.begin() + 1024 * 1024, data.begin() + 1024 * 1024 + 65536));
  ASSERT_EQ(site->Read(entry, data.size() - 1000, data.size(), out), STATUS_SUCCESS);
  EXPECT_EQ(out, std::vector<uint8_t>(data.end() - 1000, data.end()));
  // Whole wide pieces, as a Connection of wide pieces asks for them.
  auto wide = Site();
  wide->List();
  FileEntry* again = wide->Entry(u"\\big.bin");
  ASSERT_NE(again, nullptr);
  ASSERT_EQ(wide->ReadAll(again, kWidePieceSize, out), STATUS_SUCCESS);
  EXPECT_EQ(out, data);
}

// Polls until the reading job cached up to `until` or stopped moving for a long while.
bool JobReaches(FtpTestSite& site, FileEntry* entry, uint64_t until) {
  uint64_t last = 0;
  auto moved = std::chrono::steady_clock::now();
  for (;;) {
    uint64_t now = site.client->CachedUpTo(entry);
    if (now >= until) return true;
    if (now != last) {
      last = now;
      moved = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - moved > std::chrono::seconds(30)) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TEST_F(FtpFixture, PiecesServedFromTheCacheLetTheReadingJobGoOn) {
  constexpr uint64_t kMiB = 1024 * 1024;
  std::vector<uint8_t> data = Pattern(48 * kMiB + 999);
  WriteFile(Data("long.bin"), data);
  auto site = Site();
  site->List();
  FileEntry* entry = site->Entry(u"\\long.bin");
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> out;
  ASSERT_EQ(site->Read(entry, 0, 65536, out), STATUS_SUCCESS);
  // The job runs ahead of the reader up to its limit and waits there ...
  ASSERT_TRUE(JobReaches(*site, entry, 32 * kMiB));
  EXPECT_LT(site->client->CachedUpTo(entry), 40 * kMiB);
  // ... and follows a reader whose pieces all come from the cache.
  for (uint64_t at = 65536; at < 20 * kMiB; at += 65536) {
    ASSERT_EQ(site->Read(entry, at, at + 65536, out), STATUS_SUCCESS);
    ASSERT_TRUE(std::equal(out.begin(), out.end(), data.begin() + static_cast<ptrdiff_t>(at))) << at;
  }
  EXPECT_TRUE(JobReaches(*site, entry, data.size()));
  ASSERT_EQ(site->Read(entry, data.size() - 70000, data.size(), out), STATUS_SUCCESS);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.end() - 70000));
}

TEST_F(FtpFixture, AReaderJumpingFarAheadAndBackGetsTheRightBytesAndTheCacheGivesBackWhatItLeft) {
  constexpr uint64_t kMiB = 1024 * 1024;
  std::vector<uint8_t> data = Pattern(80 * kMiB + 4321);
  WriteFile(Data("jumps.bin"), data);
  auto site = Site();
  site->List();
  FileEntry* entry = site->Entry(u"\\jumps.bin");
  ASSERT_NE(entry, nullptr);
  auto same = [&](const std::vector<uint8_t>& out, uint64_t at) {
    return std::equal(out.begin(), out.end(), data.begin() + static_cast<ptrdiff_t>(at));
  };
  std::vector<uint8_t> out;
  ASSERT_EQ(site->Read(entry, 0, kWidePieceSize, out), STATUS_SUCCESS);
  ASSERT_TRUE(same(out, 0));
  // The job ahead of the reader, held at its limit.
  ASSERT_TRUE(JobReaches(*site, entry, 32 * kMiB));
  EXPECT_GE(site->client->CacheFootprint(entry), 24 * kMiB);
  // Far beyond what is cached: the job starts anew there, and the cache
  // gives back the space of the stretch behind instead of keeping what no
  // reader reaches any more.
  uint64_t far = 60 * kMiB + 17;
  ASSERT_EQ(site->Read(entry, far, far + kWidePieceSize, out), STATUS_SUCCESS);
  ASSERT_TRUE(same(out, far));
  ASSERT_TRUE(JobReaches(*site, entry, data.size()));
  EXPECT_LE(site->client->CacheFootprint(entry), data.size() - 60 * kMiB + kMiB);
  // Reads at the end (short of a piece) and back at the start.
  ASSERT_EQ(site->Read(entry, data.size() - 100000, data.size(), out), STATUS_SUCCESS);
  ASSERT_TRUE(same(out, data.size() - 100000));
  for (uint64_t at = kMiB; at < 6 * kMiB; at += kWidePieceSize) {
    ASSERT_EQ(site->Read(entry, at, at + kWidePieceSize, out), STATUS_SUCCESS);
    ASSERT_TRUE(same(out, at)) << at;
  }
}

TEST_F(FtpFixture, ReadsAboveFourGibibytesOfASparseFile) {
  const uint64_t size = 5 * kGiB + 12345;
  const uint64_t at = 4 * kGiB + 777;
  std::vector<uint8_t> marker = Pattern(70000, 99);
  {
    std::ofstream f(Data("sparse.bin"), std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(reinterpret_cast<const char*>(marker.data()), static_cast<std::streamsize>(marker.size()));
  }
  ASSERT_EQ(truncate(Data("sparse.bin").c_str(), static_cast<off_t>(size)), 0);
  auto site = Site();
  site->List();
  FileEntry* entry = site->Entry(u"\\sparse.bin");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->size, size);
  std::vector<uint8_t> out;
  ASSERT_EQ(site->Read(entry, at, at + 65536, out), STATUS_SUCCESS);  // the job starts at the offset
  EXPECT_EQ(out, std::vector<uint8_t>(marker.begin(), marker.begin() + 65536));
  ASSERT_EQ(site->Read(entry, at + 65536, at + 70000, out), STATUS_SUCCESS);
  EXPECT_EQ(out, std::vector<uint8_t>(marker.begin() + 65536, marker.end()));
  ASSERT_EQ(site->Read(entry, size - 10, size, out), STATUS_SUCCESS);  // direct, up to the end
  EXPECT_EQ(out, std::vector<uint8_t>(10, 0));
}

TEST_F(FtpFixture, ABrokenDownloadIsResumedWhereItStopped) {
  std::vector<uint8_t> data = Pattern(2 * 1024 * 1024);
  WriteFile(Data("resume.bin"), data);
  auto site = Site();
  site->List();
  FileEntry* entry = site->Entry(u"\\resume.bin");
  Arm(*server_, "break-download", 300000);
  std::vector<uint8_t> out;
  ASSERT_EQ(site->ReadAll(entry, 65536, out), STATUS_SUCCESS);
  EXPECT_EQ(out, data);
  EXPECT_NE(FixtureText("fixture.log").find("fault: download broken after 300000 bytes"), std::string::npos);
}

TEST_F(FtpFixture, AServerSendingPastTheEndOfAFileIsCutOffAtItsListedSize) {
  std::vector<uint8_t> data = Pattern(3000);
  WriteFile(Data("endless.bin"), data);
  auto site = Site();
  site->List();
  FileEntry* entry = site->Entry(u"\\endless.bin");
  ASSERT_NE(entry, nullptr);
  size_t ranOutBefore = CountInLog("fault: endless download ran out");
  // Without SIZE only the listing tells where the file ends.
  Arm(*server_, "refuse-size", 502);
  Arm(*server_, "endless-download", 1);
  std::vector<uint8_t> out;
  ASSERT_EQ(site->Read(entry, 1000, 4096, out), STATUS_SUCCESS);
  std::vector<uint8_t> expected(data.begin() + 1000, data.end());
  expected.resize(4096 - 1000);  // past the listed end: zeros, not what the server sent on
  EXPECT_EQ(out, expected);
  EXPECT_EQ(CountInLog("fault: endless download ran out"), ranOutBefore) << "the client must end the transfer";
  // With SIZE answered libcurl stops at that size itself; the server's failure
  // reply for the data connection closed early does not fail a read that got its bytes.
  Arm(*server_, "endless-download", 1);
  ASSERT_EQ(site->Read(entry, 0, 3000, out), STATUS_SUCCESS);
  EXPECT_EQ(out, data);
  EXPECT_EQ(CountInLog("fault: endless download ran out"), ranOutBefore);
  // The requests after both still work.
  NTSTATUS status = 1;
  site->List(u"", &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(site->Read(entry, 2990, 3000, out), STATUS_SUCCESS);
  EXPECT_EQ(out, std::vector<uint8_t>(data.end() - 10, data.end()));
}

TEST_F(FtpFixture, UploadsCreateReplaceAndShortenFiles) {
  auto site = Site();
  site->List();
  FileEntry* entry = site->connection.entries.NewEntry(site->CachePath(u"\\new file ä.txt"));
  ReplyArea reply = site->Reply(u"\\new file ä.txt");
  // The file is made by its first upload, not by an empty STOR at create.
  ASSERT_EQ(site->client->CreateFile(entry, reply), STATUS_SUCCESS);
  EXPECT_TRUE(entry->flags & kEntryCreatePending);
  EXPECT_FALSE(std::filesystem::exists(Data("new file ä.txt")));
  std::vector<uint8_t> data = Pattern(700000);
  ASSERT_EQ(site->Upload(u"\\new file ä.txt", data), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("new file ä.txt")), data);
  EXPECT_EQ(entry->size, data.size());
  EXPECT_FALSE(entry->flags & kEntryWrittenLocally);
  EXPECT_EQ(ui_.progressWindows, 1);
  ASSERT_EQ(site->Upload(u"\\new file ä.txt", Pattern(5)), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("new file ä.txt")), Pattern(5));
}

TEST_F(FtpFixture, ANewNameTakenOnTheServerBeforeTheUploadIsNeverReplaced) {
  auto site = Site();
  site->List();
  FileEntry* entry = site->connection.entries.NewEntry(site->CachePath(u"\\taken.txt"));
  entry->flags |= kEntryMustBeNew;
  ReplyArea reply = site->Reply(u"\\taken.txt");
  ASSERT_EQ(site->client->CreateFile(entry, reply), STATUS_SUCCESS);
  WriteFile(Data("taken.txt"), {'t', 'h', 'e', 'i', 'r', 's'});
  size_t storesBefore = CountInLog("] STOR ");
  EXPECT_EQ(site->Upload(u"\\taken.txt", Pattern(5000)), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(CountInLog("] STOR "), storesBefore) << "nothing may be sent over the other client's file";
  EXPECT_EQ(ReadFile(Data("taken.txt")), (std::vector<uint8_t>{'t', 'h', 'e', 'i', 'r', 's'}));
  EXPECT_FALSE(entry->flags & (kEntryWrittenLocally | kEntryCreatePending | kEntryMustBeNew));
  // A new name that is still free is uploaded after the same question.
  FileEntry* free = site->connection.entries.NewEntry(site->CachePath(u"\\free.txt"));
  free->flags |= kEntryMustBeNew;
  ReplyArea freeReply = site->Reply(u"\\free.txt");
  ASSERT_EQ(site->client->CreateFile(free, freeReply), STATUS_SUCCESS);
  ASSERT_EQ(site->Upload(u"\\free.txt", Pattern(5000)), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("free.txt")), Pattern(5000));
  EXPECT_FALSE(free->flags & (kEntryCreatePending | kEntryMustBeNew));
}

TEST_F(FtpFixture, AnUploadBrokenOffBeforeItsFirstByteTellsWhetherItsNameWasFree) {
  // A stream broken off right after its STOR may have made the file without
  // reading a byte: the client must know the name is its own then, and
  // must not take another client's file for its own.
  auto site = Site();
  std::function<long(char*, size_t)> none = [](char*, size_t) -> long { return -1; };
  FtpSession session(site->client->endpoint());
  ASSERT_TRUE(session.valid());
  EXPECT_NE(session.UploadFrom("/broken-at-once.bin", none, nullptr, true), 0u);
  EXPECT_FALSE(session.nameTaken());
  EXPECT_TRUE(session.nameFoundFree());
  WriteFile(Data("someone-elses.bin"), {'t', 'h', 'e', 'i', 'r', 's'});
  EXPECT_NE(session.UploadFrom("/someone-elses.bin", none, nullptr, true), 0u);
  EXPECT_TRUE(session.nameTaken());
  EXPECT_FALSE(session.nameFoundFree());
  EXPECT_EQ(ReadFile(Data("someone-elses.bin")), (std::vector<uint8_t>{'t', 'h', 'e', 'i', 'r', 's'}));
}

TEST_F(FtpFixture, ANewFileRemovedOrMovedBeforeItsUploadCostsNoStrayFile) {
  auto site = Site();
  site->List();
  FileEntry* doomed = site->connection.entries.NewEntry(site->CachePath(u"\\doomed.txt"));
  doomed->flags |= kEntryMustBeNew;
  ReplyArea doomedReply = site->Reply(u"\\doomed.txt");
  ASSERT_EQ(site->client->CreateFile(doomed, doomedReply), STATUS_SUCCESS);
  ASSERT_EQ(site->client->Delete(doomed, doomedReply), STATUS_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(Data("doomed.txt")));
  FileEntry* early = site->connection.entries.NewEntry(site->CachePath(u"\\early.txt"));
  early->flags |= kEntryMustBeNew;
  ReplyArea earlyReply = site->Reply(u"\\early.txt");
  ASSERT_EQ(site->client->CreateFile(early, earlyReply), STATUS_SUCCESS);
  ASSERT_EQ(site->client->Move(early, earlyReply, nullptr, site->Reply(u"\\late.txt").serverPath), STATUS_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(Data("early.txt")));
  EXPECT_TRUE(std::filesystem::exists(Data("late.txt")));
  ASSERT_EQ(site->Upload(u"\\late.txt", {'l'}), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("late.txt")), (std::vector<uint8_t>{'l'}));
  // A listing while a new file waits for its upload keeps it.
  FileEntry* waiting = site->connection.entries.NewEntry(site->CachePath(u"\\waiting.txt"));
  ReplyArea waitingReply = site->Reply(u"\\waiting.txt");
  ASSERT_EQ(site->client->CreateFile(waiting, waitingReply), STATUS_SUCCESS);
  waiting->flags |= kEntryWrittenLocally;
  site->List();
  EXPECT_EQ(site->Entry(u"\\waiting.txt"), waiting);
  EXPECT_FALSE(waiting->flags & kEntryDeletedOnServer);
  EXPECT_EQ(site->client->ListDirectory(waitingReply.serverPath, waiting, nullptr), STATUS_SUCCESS);
}

TEST_F(FtpFixture, ABrokenUploadIsCompletedWithAppe) {
  auto site = Site();
  site->List();
  std::vector<uint8_t> data = Pattern(1500000);
  Arm(*server_, "break-upload", 400000);
  ASSERT_EQ(site->Upload(u"\\appended.bin", data), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("appended.bin")), data);
  std::string log = FixtureText("fixture.log");
  EXPECT_NE(log.find("fault: upload broken"), std::string::npos);
  size_t appe = log.find("] APPE ");
  ASSERT_NE(appe, std::string::npos) << log;
  EXPECT_NE(log.find("appended.bin completed=1", appe), std::string::npos) << log;
}

TEST_F(FtpFixture, WidePiecesOfAMebibyteReadTheWholeFile) {
  constexpr size_t kMiB = 1 << 20;
  std::vector<uint8_t> data = Pattern(5 * kMiB + 123);
  WriteFile(Data("wide.bin"), data);
  auto site = Site();
  site->List();
  FileEntry* entry = site->Entry(u"\\wide.bin");
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> out;
  ASSERT_EQ(site->ReadAll(entry, kMiB, out), STATUS_SUCCESS);
  EXPECT_EQ(out, data);
  ASSERT_EQ(site->Read(entry, 3 * kMiB + 17, 4 * kMiB + 17, out), STATUS_SUCCESS);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin() + 3 * kMiB + 17));
}

TEST_F(FtpFixture, AFileChangedOnTheServerLosesItsCacheAndAVanishedOneStaysForItsCaller) {
  WriteFile(Data("changing.bin"), Pattern(300000));
  auto site = Site();
  site->List();
  FileEntry* entry = site->Entry(u"\\changing.bin");
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> out;
  ASSERT_EQ(site->Read(entry, 0, 65536, out), STATUS_SUCCESS);  // through the reading job
  EXPECT_GT(site->client->CachedUpTo(entry), 0u);
  std::vector<uint8_t> changed = Pattern(200000, 7);
  WriteFile(Data("changing.bin"), changed);
  std::filesystem::last_write_time(Data("changing.bin"),
                                   std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  site->List();
  ASSERT_EQ(site->Entry(u"\\changing.bin"), entry);
  EXPECT_EQ(site->client->CachedUpTo(entry), 0u);
  EXPECT_EQ(entry->size, changed.size());
  ASSERT_EQ(site->Read(entry, 0, 65536, out), STATUS_SUCCESS);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), changed.begin()));
  // Refreshing a file whose folder no longer names it: the entry stays for
  // the caller, marked as gone.
  std::filesystem::remove(Data("changing.bin"));
  ReplyArea reply = site->Reply(u"\\changing.bin");
  EXPECT_EQ(site->client->ListDirectory(reply.serverPath, entry, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(site->Entry(u"\\changing.bin"), entry);
  EXPECT_TRUE(entry->flags & kEntryDeletedOnServer);
}

TEST_F(FtpFixture, ManyFilesWrittenAndReadBackShareOneLogIn) {
  size_t loginsBefore = CountInLog("USER 'hvm' logged in");
  auto site = Site();
  site->List();
  for (int i = 0; i < 6; ++i) {
    std::u16string name = u"\\f" + Utf8ToUtf16(std::to_string(i)) + u".bin";
    std::vector<uint8_t> data = Pattern(1000 + 4096 * i);
    ASSERT_EQ(site->Upload(name, data), STATUS_SUCCESS) << i;
    std::vector<uint8_t> out;
    ASSERT_EQ(site->Read(site->Entry(name), 0, data.size(), out), STATUS_SUCCESS) << i;
    EXPECT_EQ(out, data) << i;
  }
  EXPECT_EQ(CountInLog("USER 'hvm' logged in") - loginsBefore, 1u);
}

TEST_F(FtpFixture, AServerHoldingAnotherSizeAfterTheUploadGetsItAgain) {
  auto site = Site();
  site->List();
  size_t storesBefore = CountInLog("] STOR ");
  std::vector<uint8_t> data = Pattern(70000);
  Arm(*server_, "lie-size", 12345);  // the first answer to SIZE only
  ASSERT_EQ(site->Upload(u"\\checked.bin", data), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("checked.bin")), data);
  EXPECT_EQ(CountInLog("] STOR ") - storesBefore, 2u) << "the wrong size must send the file once more";
}

TEST_F(FtpFixture, AServerRefusingSizeStillTakesTheUpload) {
  auto site = Site();
  site->List();
  size_t storesBefore = CountInLog("] STOR ");
  std::vector<uint8_t> data = Pattern(5000);
  Arm(*server_, "refuse-size", 1);
  ASSERT_EQ(site->Upload(u"\\unchecked.bin", data), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("unchecked.bin")), data);
  EXPECT_EQ(CountInLog("] STOR ") - storesBefore, 1u);
}

TEST_F(FtpFixture, FolderOperationsRenameAndDelete) {
  WriteFile(Data("old name.txt"), Pattern(10));
  auto site = Site();
  site->List();
  ReplyArea mk = site->Reply(u"\\Neuer Ordner");
  ASSERT_EQ(site->client->MakeDirectory(mk), STATUS_SUCCESS);
  EXPECT_TRUE(std::filesystem::is_directory(Data("Neuer Ordner")));
  site->List();
  FileEntry* file = site->Entry(u"\\old name.txt");
  ReplyArea mv = site->Reply(u"\\old name.txt");
  ASSERT_EQ(site->client->Move(file, mv, nullptr, site->Reply(u"\\Neuer Ordner\\new name.txt").serverPath),
            STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("Neuer Ordner/new name.txt")), Pattern(10));
  site->List(u"\\Neuer Ordner");
  FileEntry* moved = site->Entry(u"\\Neuer Ordner\\new name.txt");
  ASSERT_NE(moved, nullptr);
  ReplyArea del = site->Reply(u"\\Neuer Ordner\\new name.txt");
  ASSERT_EQ(site->client->Delete(moved, del), STATUS_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(Data("Neuer Ordner/new name.txt")));
  FileEntry* folder = site->Entry(u"\\Neuer Ordner");
  ReplyArea rd = site->Reply(u"\\Neuer Ordner");
  ASSERT_EQ(site->client->Delete(folder, rd), STATUS_SUCCESS) << Utf16ToUtf8(rd.message);
  EXPECT_FALSE(std::filesystem::exists(Data("Neuer Ordner")));
}

TEST_F(FtpFixture, RefusalsCarryTheServersReply) {
  auto site = Site();
  site->List();
  FileEntry* ghost = site->connection.entries.NewEntry(site->CachePath(u"\\ghost.txt"));
  ReplyArea reply = site->Reply(u"\\ghost.txt");
  EXPECT_EQ(site->client->Delete(ghost, reply), STATUS_CANNOT_DELETE);
  std::u16string message(reply.message);
  EXPECT_EQ(message.rfind(u"An extended error was returned from the server. 550", 0), 0u) << Utf16ToUtf8(message);
  std::vector<uint8_t> out(10);
  ReplyArea read = site->Reply(u"\\ghost.txt");
  ghost->size = 10;
  EXPECT_EQ(site->client->Get(ghost, read, 0, 10, out.data(), 0), STATUS_UNEXPECTED_NETWORK_ERROR);
}

TEST_F(FtpFixture, WrongPasswordFailsTheOpenWithTheLoginText) {
  FtpTestSite site(Url(), "hvm", "wrong");
  EXPECT_EQ(site.open, kInetLoginFailure);
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_EQ(ui_.messages[0], u"The request to connect to and log on to an FTP server failed. ");
  EXPECT_EQ(ui_.captions[0], u"The attempt to connect to the server failed. ");
}

TEST_F(FtpFixture, ThroughAProxyTheLoginNamesTheTargetHost) {
  WriteFile(Data("via proxy.txt"), Pattern(33));
  WebDavProxySettings proxy;
  proxy.enabled = true;
  proxy.host = u"127.0.0.1";
  proxy.port = static_cast<uint32_t>(server_->port());
  proxy.user = u"gate";
  proxy.password = u"gatepw";
  SetWebDavProxySettings(proxy);
  FtpTestSite site("ftp://ftp.example.org/", "hvm", "secret");
  SetWebDavProxySettings(WebDavProxySettings{});
  ASSERT_EQ(site.open, STATUS_SUCCESS);
  EXPECT_EQ(site.client->endpoint().login, "hvm@gate@ftp.example.org");
  site.List();
  EXPECT_NE(site.Entry(u"\\via proxy.txt"), nullptr);
}

TEST_F(FtpFixture, NothingListensFailsWithCannotConnect) {
  FtpTestSite site("ftp://127.0.0.1:1/", "hvm", "secret");
  EXPECT_EQ(site.open, kInetCannotConnect);
}

class FtpListForms : public FtpSuite, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    StartServer("ftp_fixture.sh", GetParam());
    FtpSuite::SetUp();
  }
  void TearDown() override {
    FtpSuite::TearDown();
    StopServer();
  }
};

TEST_P(FtpListForms, ListingsWithoutMlsdAreReadFromList) {
  std::vector<uint8_t> data = Pattern(5 * 1024 * 1024 + 3);
  WriteFile(Data("name with  two blanks.bin"), data);
  std::filesystem::create_directory(Data("Übersicht"));
  FtpTestSite site(Url(), "hvm", "secret");
  ASSERT_EQ(site.open, STATUS_SUCCESS);
  NTSTATUS status = 1;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  FileEntry* file = site.Entry(u"\\name with  two blanks.bin");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->size, data.size());
  FileEntry* folder = site.Entry(u"\\Übersicht");
  ASSERT_NE(folder, nullptr);
  EXPECT_TRUE(folder->IsDirectory());
  std::vector<uint8_t> out;
  ASSERT_EQ(site.ReadAll(file, 131072, out), STATUS_SUCCESS);
  EXPECT_EQ(out, data);
  // The odd server's broken lines name nothing.
  size_t children = 0;
  for (FileEntry* e : site.connection.entries) children += e->parent != nullptr;
  EXPECT_EQ(children, 2u);
}

std::string FixtureText(const std::string& name) { return FtpFixture::Text(name); }

INSTANTIATE_TEST_SUITE_P(Forms, FtpListForms, ::testing::Values("list", "dos", "odd"));

class FtpIdleServer : public FtpSuite {
 protected:
  static void SetUpTestSuite() { StartServer("ftp_fixture.sh", "mlsd idle=1"); }
  static void TearDownTestSuite() { StopServer(); }
};

TEST_F(FtpIdleServer, ADroppedControlConnectionIsMadeAgainOnce) {
  WriteFile(Data("a.txt"), Pattern(100));
  FtpTestSite site(Url(), "hvm", "secret");
  ASSERT_EQ(site.open, STATUS_SUCCESS);
  NTSTATUS status = 1;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the server ends the idle connection
  WriteFile(Data("b.txt"), Pattern(10));
  site.List(u"", &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_NE(site.Entry(u"\\b.txt"), nullptr);
  std::vector<uint8_t> out;
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ASSERT_EQ(site.Read(site.Entry(u"\\a.txt"), 0, 100, out), STATUS_SUCCESS);
  EXPECT_EQ(out, Pattern(100));
}

TEST_F(FtpIdleServer, AnUploadOnADroppedConnectionLogsInAgainAndLosesNothing) {
  FtpTestSite site(Url(), "hvm", "secret");
  ASSERT_EQ(site.open, STATUS_SUCCESS);
  size_t loginsBefore = CountInLog("USER 'hvm' logged in");
  size_t dropsBefore = CountInLog("Control connection timed out");
  site.List();
  ASSERT_EQ(site.Upload(u"\\first.bin", Pattern(3000)), STATUS_SUCCESS);
  // A listing last: pyftpdlib's idle timer starts again only after a transfer
  // without a command behind it (the SIZE after an upload leaves it stopped).
  site.List();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the server ends the idle connection
  std::vector<uint8_t> data = Pattern(900000);
  ASSERT_EQ(site.Upload(u"\\second.bin", data), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("second.bin")), data);
  EXPECT_EQ(ReadFile(Data("first.bin")), Pattern(3000));
  EXPECT_EQ(CountInLog("Control connection timed out") - dropsBefore, 1u);
  EXPECT_EQ(CountInLog("USER 'hvm' logged in") - loginsBefore, 1u) << "one new log-in for the dropped connection";
}

}  // namespace
}  // namespace hvm::test
