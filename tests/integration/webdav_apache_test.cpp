// The WebDAV client against Apache with mod_dav and mod_dav_fs on loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "agent/clients/webdav_dates.h"
#include "platform/wide_text.h"
#include "tests/integration/webdav_test_support.h"

namespace hvm::test {
namespace {

namespace fs = std::filesystem;

class ApacheWebDav : public ApacheSuite {
 protected:
  // Uploads data as the written local copy of the entry at below.
  NTSTATUS Upload(TestSite& site, std::u16string_view below, const std::vector<uint8_t>& data, FileEntry** out) {
    FileEntry* entry = site.Entry(below);
    if (!entry) entry = site.connection.entries.NewEntry(site.CachePath(below));
    entry->localCopy = LocalCopyWith(data);
    entry->flags |= kEntryWrittenLocally;
    entry->handleCount = 1;
    OpenHandle handle;
    handle.entry = entry;
    ReplyArea reply = site.Reply(below);
    if (out) *out = entry;
    return site.client->CloseAfterWrite(&handle, reply, 1, 0);
  }

  // An entry for a name the service creates, after the client's create.
  FileEntry* Created(TestSite& site, std::u16string_view below) {
    FileEntry* entry = site.connection.entries.NewEntry(site.CachePath(below));
    entry->flags |= kEntryMustBeNew;
    ReplyArea reply = site.Reply(below);
    EXPECT_EQ(site.client->CreateFile(entry, reply), STATUS_SUCCESS);
    EXPECT_TRUE(entry->flags & kEntryCreatePending);
    return entry;
  }

  // "METHOD status" of every request Apache logged for the path, in order,
  // once the last one logged is `last` (when given): Apache writes a line
  // after answering, so its log may lag behind the client.
  std::vector<std::string> RequestsFor(const std::string& path, const std::string& last = "") const {
    std::vector<std::string> found = LoggedFor(path);
    for (int tries = 0; !last.empty() && (found.empty() || found.back() != last) && tries < 100; ++tries) {
      usleep(100 * 1000);
      found = LoggedFor(path);
    }
    return found;
  }

  std::vector<std::string> LoggedFor(const std::string& path) const {
    std::ifstream log(server_->state() + "/logs/access.log");
    std::vector<std::string> found;
    std::string host, method, target, protocol, status;
    for (std::string line; std::getline(log, line);) {
      std::istringstream words(line);
      if (words >> host >> method >> target >> protocol >> status && target == path)
        found.push_back(method + " " + status);
    }
    return found;
  }
};

TEST_F(ApacheWebDav, ListsThousandsOfEntriesWithBlanksUmlautsAndOtherScripts) {
  for (int i = 0; i < 3000; ++i) WriteFile(Data("file" + std::to_string(i) + ".txt"), Pattern(i % 17));
  WriteFile(Data("a b & c.txt"), Pattern(3));
  WriteFile(Data("Gr\xC3\xBC\xC3\x9F" "e \xC3\xA4\xC3\xB6.txt"), Pattern(4));
  WriteFile(Data("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt"), Pattern(5));
  fs::create_directory(Data("sub folder"));
  TestSite site(server_->Url("/dav/"));
  NTSTATUS status = 1;
  FileEntry* root = site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(site.connection.entries.size(), 3005u);
  ASSERT_NE(site.Entry(u"\\file2999.txt"), nullptr);
  EXPECT_EQ(site.Entry(u"\\file2999.txt")->size, 2999u % 17);
  ASSERT_NE(site.Entry(u"\\a b & c.txt"), nullptr);
  ASSERT_NE(site.Entry(u"\\Gr\u00fc\u00dfe \u00e4\u00f6.txt"), nullptr);
  EXPECT_EQ(site.Entry(u"\\Gr\u00fc\u00dfe \u00e4\u00f6.txt")->size, 4u);
  ASSERT_NE(site.Entry(u"\\\u65e5\u672c\u8a9e.txt"), nullptr);
  ASSERT_NE(site.Entry(u"\\sub folder"), nullptr);
  EXPECT_TRUE(site.Entry(u"\\sub folder")->IsDirectory());
  EXPECT_EQ(site.Entry(u"\\sub folder")->parent, root);
}

TEST_F(ApacheWebDav, VanishedChildrenAreDroppedUnlessOpen) {
  WriteFile(Data("keep.txt"), Pattern(1));
  WriteFile(Data("gone.txt"), Pattern(1));
  WriteFile(Data("open.txt"), Pattern(1));
  TestSite site(server_->Url("/dav/"));
  site.List();
  ASSERT_NE(site.Entry(u"\\gone.txt"), nullptr);
  site.Entry(u"\\open.txt")->handleCount = 1;
  fs::remove(Data("gone.txt"));
  fs::remove(Data("open.txt"));
  NTSTATUS status = 1;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(site.Entry(u"\\gone.txt"), nullptr);
  ASSERT_NE(site.Entry(u"\\open.txt"), nullptr);
  EXPECT_TRUE(site.Entry(u"\\open.txt")->flags & kEntryDeletedOnServer);
  EXPECT_NE(site.Entry(u"\\keep.txt"), nullptr);
}

TEST_F(ApacheWebDav, AVanishedFolderGoesWithEverythingBelowUnlessSomethingThereIsOpen) {
  fs::create_directories(Data("gone/deep"));
  fs::create_directories(Data("busy"));
  WriteFile(Data("gone/deep/x.txt"), Pattern(1));
  WriteFile(Data("busy/open.txt"), Pattern(1));
  TestSite site(server_->Url("/dav/"));
  site.List();
  site.List(u"\\gone");
  site.List(u"\\gone\\deep");
  site.List(u"\\busy");
  ASSERT_NE(site.Entry(u"\\gone\\deep\\x.txt"), nullptr);
  site.Entry(u"\\busy\\open.txt")->useCount = 1;
  fs::remove_all(Data("gone"));
  fs::remove_all(Data("busy"));
  site.List();
  EXPECT_EQ(site.Entry(u"\\gone"), nullptr);
  EXPECT_EQ(site.Entry(u"\\gone\\deep"), nullptr);
  EXPECT_EQ(site.Entry(u"\\gone\\deep\\x.txt"), nullptr);
  ASSERT_NE(site.Entry(u"\\busy"), nullptr);
  EXPECT_TRUE(site.Entry(u"\\busy")->flags & kEntryDeletedOnServer);
  EXPECT_NE(site.Entry(u"\\busy\\open.txt"), nullptr);
}

TEST_F(ApacheWebDav, RangedReadsDeliverTheRightBytes) {
  WriteFile(Data("small.bin"), Pattern(200000));
  TestSite site(server_->Url("/dav/"));
  site.List();
  FileEntry* entry = site.Entry(u"\\small.bin");
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> piece;
  ASSERT_EQ(site.Read(entry, 65536, 131072, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, Pattern(65536, 65536));
  ASSERT_EQ(site.Read(entry, 199990, 200000, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, Pattern(10, 199990));
  EXPECT_EQ(site.record.passive, 1) << "Apache answers Accept-Ranges: bytes";
}

TEST_F(ApacheWebDav, WholeWidePiecesAreReadInOneCall) {
  const size_t kPiece = kWidePieceSize;
  WriteFile(Data("wide.bin"), Pattern(5 * kPiece + 123));
  TestSite site(server_->Url("/dav/"));
  site.List();
  FileEntry* entry = site.Entry(u"\\wide.bin");
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> piece;
  // The first reads go straight to the server as ranged GETs, later ones
  // through the read-ahead blocks; pieces cross the blocks' boundaries.
  for (uint64_t offset : {uint64_t{0}, uint64_t{kPiece / 2}, uint64_t{kPiece + kPiece / 2},
                          uint64_t{5 * kPiece / 2}, uint64_t{4 * kPiece + 123}}) {
    ASSERT_EQ(site.Read(entry, offset, offset + kPiece, piece), STATUS_SUCCESS) << offset;
    ASSERT_EQ(piece, Pattern(kPiece, offset)) << offset;
  }
  EXPECT_NE(entry->sections, nullptr) << "a read-ahead block serves the later pieces";
}

TEST_F(ApacheWebDav, ReadAheadStartsAbove512000BytesOnTheSecondRead) {
  WriteFile(Data("exact.bin"), Pattern(512000));
  WriteFile(Data("large.bin"), Pattern(5 * 1048576 + 123));
  TestSite site(server_->Url("/dav/"));
  site.List();
  std::vector<uint8_t> piece;
  FileEntry* exact = site.Entry(u"\\exact.bin");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(site.Read(exact, i * 65536, (i + 1) * 65536, piece), STATUS_SUCCESS);
  EXPECT_EQ(exact->sections, nullptr) << "512,000 bytes are read with direct ranged GETs";

  FileEntry* large = site.Entry(u"\\large.bin");
  std::vector<uint8_t> all;
  for (uint64_t offset = 0; offset < large->size; offset += 65536) {
    uint64_t end = std::min<uint64_t>(offset + 65536, large->size);
    ASSERT_EQ(site.Read(large, offset, end, piece), STATUS_SUCCESS) << offset;
    all.insert(all.end(), piece.begin(), piece.end());
  }
  EXPECT_NE(large->sections, nullptr) << "a read-ahead block serves the large file";
  EXPECT_EQ(all, Pattern(large->size));
  // A read far behind the block moves it back.
  ASSERT_EQ(site.Read(large, 100, 70000, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, Pattern(69900, 100));
}

TEST_F(ApacheWebDav, ASizeThatDiffersFromTheListingFailsTheCheckedRead) {
  WriteFile(Data("grown.bin"), Pattern(1000));
  TestSite site(server_->Url("/dav/"));
  site.List();
  FileEntry* entry = site.Entry(u"\\grown.bin");
  WriteFile(Data("grown.bin"), Pattern(500));
  std::vector<uint8_t> out(1000);
  ReplyArea reply = site.Reply(u"\\grown.bin");
  EXPECT_EQ(site.client->GetChecked(entry, reply, 0, 1000, out.data(), 0), STATUS_UNEXPECTED_NETWORK_ERROR);
  EXPECT_EQ(WideField(reply.message, kReplyMessageChars), u"The size of the file differs from the server PROPFIND");
}

TEST_F(ApacheWebDav, UploadsStoreContentAndTimesAndOpenProgressOnlyForLargeFiles) {
  TestSite site(server_->Url("/dav/"));
  site.List();
  FileEntry* small = nullptr;
  ASSERT_EQ(Upload(site, u"\\small.txt", Pattern(100000), &small), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("small.txt")), Pattern(100000));
  EXPECT_EQ(ui_.progressWindows, 0);
  EXPECT_FALSE(small->flags & kEntryWrittenLocally);

  FileEntry* large = nullptr;
  std::tm created{};
  ASSERT_EQ(ParseIsoDate("2001-02-03T04:05:06Z", created), 0);
  large = site.connection.entries.NewEntry(site.CachePath(u"\\large.bin"));
  large->creationTime = FileTimeFromUtc(created);
  large->lastWriteTime = FileTimeFromUtc(created) + 3600ull * kFileTimeTicksPerSecond;
  large->flags |= kEntryTimesSet;  // as a program's utimensat leaves it
  ASSERT_EQ(Upload(site, u"\\large.bin", Pattern(600000), &large), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("large.bin")), Pattern(600000));
  EXPECT_EQ(ui_.progressWindows, 1);

  // The times come back from the dead properties on a fresh listing.
  TestSite other(server_->Url("/dav/"));
  other.List();
  FileEntry* listed = other.Entry(u"\\large.bin");
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->creationTime, FileTimeFromUtc(created));
  EXPECT_EQ(listed->lastWriteTime, FileTimeFromUtc(created) + 3600ull * kFileTimeTicksPerSecond);
  EXPECT_EQ(listed->size, 600000u);
  EXPECT_FALSE(site.record.flags & kSitePlainProperties);
  EXPECT_EQ(RequestsFor("/dav/small.txt", "PUT 201"), (std::vector<std::string>{"PUT 201"})) << "no times were set";
  std::vector<std::string> sent = RequestsFor("/dav/large.bin", "PROPPATCH 207");  // earlier tests read a large.bin
  sent.erase(sent.begin(), sent.end() - std::min<size_t>(sent.size(), 2));
  EXPECT_EQ(sent, (std::vector<std::string>{"PUT 201", "PROPPATCH 207"}));
}

// A created file is made by its upload alone, which must not replace a file
// another client made under the name meanwhile.
TEST_F(ApacheWebDav, ANewFileTakesOneGuardedPutAndAFileMadeMeanwhileIsKept) {
  std::string dataHome = server_->state() + "/xdg";
  setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  TestSite site(server_->Url("/dav/"));
  site.List();
  FileEntry* fresh = Created(site, u"\\fresh.txt");
  EXPECT_FALSE(fs::exists(Data("fresh.txt"))) << "nothing is sent at create";
  ASSERT_EQ(Upload(site, u"\\fresh.txt", Pattern(4096), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("fresh.txt")), Pattern(4096));
  EXPECT_EQ(RequestsFor("/dav/fresh.txt", "PUT 201"), (std::vector<std::string>{"PUT 201"}));
  EXPECT_FALSE(fresh->flags & (kEntryCreatePending | kEntryMustBeNew | kEntryWrittenLocally));
  EXPECT_NE(fresh->serverModifiedTime, 0u) << "taken from the answer";
  // Once on the server the file is replaced like any other.
  ASSERT_EQ(Upload(site, u"\\fresh.txt", Pattern(10), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("fresh.txt")), Pattern(10));

  FileEntry* taken = Created(site, u"\\taken.txt");
  WriteFile(Data("taken.txt"), Pattern(7, 3));  // another client's
  ASSERT_EQ(Upload(site, u"\\taken.txt", Pattern(5000), nullptr), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(ReadFile(Data("taken.txt")), Pattern(7, 3));
  EXPECT_EQ(RequestsFor("/dav/taken.txt", "PUT 412"), (std::vector<std::string>{"PUT 412"})) << "no retry, no question";
  EXPECT_EQ(ui_.retryQuestions, 0);
  EXPECT_FALSE(taken->HasLocalCopy()) << "what is read from now on is the other client's";
  EXPECT_FALSE(taken->flags & (kEntryCreatePending | kEntryMustBeNew));
  std::vector<std::string> backups;
  for (const auto& item : fs::directory_iterator(dataHome + "/halvenmoor/backup/site1"))
    backups.push_back(item.path());
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_EQ(ReadFile(backups[0]), Pattern(5000));
  unsetenv("XDG_DATA_HOME");
}

TEST_F(ApacheWebDav, AnUnsentNewFileIsListedMovedAndRemovedWithoutReachingAnotherClientsFile) {
  TestSite site(server_->Url("/dav/"));
  site.List();
  FileEntry* open = Created(site, u"\\open.txt");
  open->flags |= kEntryWrittenLocally;
  open->useCount = 1;
  site.List();
  EXPECT_EQ(site.Entry(u"\\open.txt"), open) << "a listing keeps it";
  EXPECT_FALSE(open->flags & kEntryDeletedOnServer);

  FileEntry* gone = Created(site, u"\\gone.txt");
  WriteFile(Data("gone.txt"), Pattern(3));  // another client's, made meanwhile
  ReplyArea reply = site.Reply(u"\\gone.txt");
  EXPECT_EQ(site.client->Delete(gone, reply), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("gone.txt")), Pattern(3));
  EXPECT_TRUE(RequestsFor("/dav/gone.txt").empty());

  FileEntry* moved = Created(site, u"\\before.txt");
  ReplyArea from = site.Reply(u"\\before.txt");
  ASSERT_EQ(site.client->Move(moved, from, nullptr, site.Reply(u"\\after.txt").serverPath), STATUS_SUCCESS);
  EXPECT_TRUE(fs::exists(Data("after.txt")));
  EXPECT_FALSE(moved->flags & kEntryCreatePending) << "made on the server before the move";
}

TEST_F(ApacheWebDav, BackgroundUploadAnswersPendingAndKeepsTheEntryUntilDone) {
  TestSite site(server_->Url("/dav/"));
  FileEntry* entry = site.connection.entries.NewEntry(site.CachePath(u"\\bg.bin"));
  entry->localCopy = LocalCopyWith(Pattern(2000000));
  entry->flags |= kEntryWrittenLocally;
  OpenHandle handle;
  handle.entry = entry;
  ReplyArea reply = site.Reply(u"\\bg.bin");
  ASSERT_EQ(site.client->CloseAfterWrite(&handle, reply, 0, 0), STATUS_PENDING);
  // The record stays while the job works on it, even when the service discards it;
  // once the job lets go the housekeeping frees it.
  site.connection.entries.DiscardEntry(entry, true);
  auto heldByJob = [](const FileEntry& parked) { return parked.readers.load() != 0; };
  for (int i = 0; i < 500 && site.connection.entries.FreeDeferred(heldByJob) == 0; ++i) usleep(10000);
  EXPECT_EQ(site.connection.entries.DeferredCount(), 0u);
  EXPECT_EQ(ReadFile(Data("bg.bin")), Pattern(2000000));
}

TEST_F(ApacheWebDav, MakeDirectoryDeleteMoveAndCopyChangeTheServer) {
  TestSite site(server_->Url("/dav/"));
  site.List();
  ReplyArea folder = site.Reply(u"\\new folder");
  ASSERT_EQ(site.client->MakeDirectory(folder), STATUS_SUCCESS);
  EXPECT_TRUE(fs::is_directory(Data("new folder")));
  EXPECT_EQ(site.client->MakeDirectory(folder), STATUS_UNSUCCESSFUL) << "MKCOL of an existing folder";

  ASSERT_EQ(Upload(site, u"\\new folder\\a.txt", Pattern(10), nullptr), STATUS_SUCCESS);
  FileEntry* a = site.Entry(u"\\new folder\\a.txt");
  ReplyArea reply = site.Reply(u"\\new folder\\a.txt");
  ASSERT_EQ(site.client->Copy(a, reply, 0, site.Reply(u"\\copy.txt").serverPath, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("copy.txt")), Pattern(10));
  ASSERT_EQ(site.client->Move(a, reply, nullptr, site.Reply(u"\\moved \u00e4.txt").serverPath), STATUS_SUCCESS);
  EXPECT_FALSE(fs::exists(Data("new folder/a.txt")));
  EXPECT_EQ(ReadFile(Data("moved \xC3\xA4.txt")), Pattern(10));

  site.List();
  FileEntry* dir = site.Entry(u"\\new folder");
  ASSERT_NE(dir, nullptr);
  ReplyArea dirReply = site.Reply(u"\\new folder");
  ASSERT_EQ(site.client->Delete(dir, dirReply), STATUS_SUCCESS);
  EXPECT_FALSE(fs::exists(Data("new folder")));
  EXPECT_EQ(site.client->Delete(dir, dirReply), STATUS_SUCCESS) << "404 counts as deleted";
  char16_t text[kReplyMessageChars] = {};
  EXPECT_EQ(site.client->Copy(dir, dirReply, 0, site.Reply(u"\\x").serverPath, text), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_NE(text[0], 0);
}

TEST_F(ApacheWebDav, LockTakenByTheSameUserElsewhereIsDiscoveredAndReleased) {
  WriteFile(Data("locked.txt"), Pattern(10));
  chown(Data("locked.txt").c_str(), 33, 33);
  TestSite holder(server_->Url("/dav/"), "alice");
  int32_t status = holder.client->PerformRequest('L', nullptr, holder.Reply(u"\\locked.txt").serverPath, nullptr, {},
                                                 nullptr, 0, 0, nullptr);
  holder.client->CloseRequest();
  ASSERT_EQ(status, 200);

  TestSite stranger(server_->Url("/dav/"), "bob");
  stranger.List();
  FileEntry* theirs = stranger.Entry(u"\\locked.txt");
  ReplyArea reply = stranger.Reply(u"\\locked.txt");
  char16_t text[kReplyMessageChars] = {};
  EXPECT_EQ(stranger.client->Lock(theirs, reply, 1, text), STATUS_ACCESS_DENIED) << "another owner's lock";
  EXPECT_TRUE(theirs->lockToken.empty());

  TestSite site(server_->Url("/dav/"), "alice");
  site.List();
  FileEntry* entry = site.Entry(u"\\locked.txt");
  reply = site.Reply(u"\\locked.txt");
  ASSERT_EQ(site.client->Lock(entry, reply, 1, nullptr), STATUS_SUCCESS);
  ASSERT_FALSE(entry->lockToken.empty());
  EXPECT_EQ(entry->lockToken.rfind(u"opaquelocktoken:", 0), 0u);
  // With the token the upload passes the lock; the stranger's is refused.
  ASSERT_EQ(Upload(site, u"\\locked.txt", Pattern(20), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("locked.txt")), Pattern(20));
  ASSERT_EQ(site.client->Unlock(entry, reply, 1, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(entry->lockToken.empty());
  ASSERT_EQ(Upload(stranger, u"\\locked.txt", Pattern(30), nullptr), STATUS_SUCCESS) << "the lock is gone";
}

TEST_F(ApacheWebDav, ControlCodesAnswerOptionsAndRefuseUnknownOnes) {
  WriteFile(Data("f.txt"), Pattern(10));
  TestSite site(server_->Url("/dav/"));
  site.List();
  InternalRequest answer{};
  uint32_t information = 0;
  ReplyArea reply = site.Reply(u"\\f.txt");
  ASSERT_EQ(site.client->Control(0x1420A4, site.Entry(u"\\f.txt"), reply, &answer, &information, nullptr),
            STATUS_SUCCESS);
  std::u16string allow(WideField(answer.target, kPathChars));
  EXPECT_NE(allow.find(u"PROPFIND"), std::u16string::npos) << Utf16ToUtf8(allow);
  EXPECT_EQ(site.client->Control(0x142999, nullptr, reply, &answer, &information, nullptr),
            STATUS_INVALID_DEVICE_REQUEST);
  InternalRequest request{};
  CopyWide(request.target, kPathChars, u"X:\\tree");
  CopyWide(request.destination, kPathChars, u"X:\\tree copy");
  fs::create_directory(Data("tree"));
  chown(Data("tree").c_str(), 33, 33);
  WriteFile(Data("tree/leaf.txt"), Pattern(3));
  ASSERT_EQ(site.client->Control(0x142118, nullptr, reply, &answer, &information, &request), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(Data("tree copy/leaf.txt")), Pattern(3));
  CopyWide(request.target, kPathChars, u"X:\\tree copy");
  ASSERT_EQ(site.client->Control(0x142120, nullptr, reply, &answer, &information, &request), STATUS_SUCCESS);
  EXPECT_FALSE(fs::exists(Data("tree copy")));
}

TEST_F(ApacheWebDav, BasicCredentialsGoWithTheFirstRequest) {
  TestSite good(server_->Url("/auth/"), "hvm", "secret");
  ReplyArea reply = good.Reply(u"\\x.txt");
  ASSERT_EQ(good.client->CreateFile(nullptr, reply), STATUS_SUCCESS);
  TestSite bad(server_->Url("/auth/"), "hvm", "wrong");
  EXPECT_EQ(bad.client->CreateFile(nullptr, reply), STATUS_ACCESS_DENIED);
  EXPECT_EQ(bad.client->lastStatus(), 401);
}

}  // namespace
}  // namespace hvm::test
