// The offline cache: the journal's byte layout, its records across openings
// and crashes, and a local tree that nothing from a server can leave.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "agent/offline/offline_cache.h"
#include "agent/service/ntstatus.h"

namespace hvm {
namespace {

class OfflineCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvm-offline-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    root_ = base_ + "/offline";
    outside_ = base_ + "/outside";
    ASSERT_EQ(mkdir(root_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(outside_.c_str(), 0700), 0);
  }
  void TearDown() override { std::system(("rm -rf '" + base_ + "'").c_str()); }

  static uint32_t WriteText(int fd, const std::string& text) {
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : EIO;
  }
  static std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static off_t SizeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
  }
  // A cache with one copied file "\docs\a.txt".
  void CopyOneFile(OfflineCache& cache) {
    ASSERT_TRUE(cache.Open(false));
    ASSERT_TRUE(cache.tree().Create());
    ASSERT_EQ(cache.tree().ReplaceFile(u"\\docs\\a.txt", [](int fd) { return WriteText(fd, "alpha"); }, 0), 0u);
    ASSERT_TRUE(cache.SetRecord(kJournalFolder, u"\\docs", 0));
    ASSERT_TRUE(cache.SetRecord(kJournalFile, u"\\docs\\a.txt", 0x01D0000000000001ull));
  }

  std::string base_, root_, outside_;
};

TEST_F(OfflineCacheTest, JournalRecordsSitAtTheirByteOffsets) {
  {
    OfflineCache cache(root_, u"site1");
    CopyOneFile(cache);
  }
  std::string bytes = ReadText(root_ + "/site1.sys");
  ASSERT_EQ(bytes.size(), 2u * 536u);
  const auto* second = reinterpret_cast<const uint8_t*>(bytes.data()) + 536;
  uint32_t state;
  std::memcpy(&state, second, 4);
  EXPECT_EQ(state, 8u);
  EXPECT_EQ(second[4] | second[5] | second[6] | second[7], 0);
  EXPECT_EQ(second[8], '\\');
  EXPECT_EQ(second[10], 'd');
  uint64_t time;
  std::memcpy(&time, second + 528, 8);
  EXPECT_EQ(time, 0x01D0000000000001ull);
  EXPECT_EQ(ReadText(root_ + "/site1/docs/a.txt"), "alpha");
}

TEST_F(OfflineCacheTest, RecordsAreFoundWithoutRegardToCaseAndRewrittenInPlace) {
  OfflineCache cache(root_, u"site1");
  CopyOneFile(cache);
  const JournalRecord* record = cache.FindRecord(u"\\DOCS\\A.TXT");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->state, kJournalFile);
  ASSERT_TRUE(cache.SetRecord(kJournalFile, u"\\Docs\\A.txt", std::nullopt));
  EXPECT_EQ(cache.FindRecord(u"\\docs\\a.txt")->serverTime, 0x01D0000000000001ull);
  EXPECT_EQ(SizeOf(cache.JournalPath()), 2 * 536);
  EXPECT_EQ(cache.FreeRecord(u"\\missing", false), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(cache.FreeRecord(u"\\docs", true), STATUS_SUCCESS);
  EXPECT_EQ(cache.FindRecord(u"\\docs\\a.txt"), nullptr);
  cache.CompactJournal();
  EXPECT_EQ(SizeOf(cache.JournalPath()), 0);
}

TEST_F(OfflineCacheTest, ACopyDeletedByHandTurnsFreeAndTheJournalShrinks) {
  {
    OfflineCache cache(root_, u"site1");
    CopyOneFile(cache);
  }
  ASSERT_EQ(unlink((root_ + "/site1/docs/a.txt").c_str()), 0);
  OfflineCache cache(root_, u"site1");
  ASSERT_TRUE(cache.Open(false));
  EXPECT_EQ(cache.FindRecord(u"\\docs\\a.txt"), nullptr);
  EXPECT_NE(cache.FindRecord(u"\\docs"), nullptr);
  cache.CompactJournal();
  EXPECT_EQ(SizeOf(cache.JournalPath()), 536);
  // Records written after the compaction reach the new journal.
  ASSERT_EQ(mkdir((root_ + "/site1/later").c_str(), 0700), 0);
  ASSERT_TRUE(cache.SetRecord(kJournalFolder, u"\\later", 0));
  EXPECT_EQ(SizeOf(cache.JournalPath()), 2 * 536);
  {
    OfflineCache again(root_, u"site1");
    ASSERT_TRUE(again.Open(true));
    EXPECT_NE(again.FindRecord(u"\\later"), nullptr);
  }
  EXPECT_FALSE(IsCacheEmpty(root_, u"site1", false));
  EXPECT_FALSE(IsCacheEmpty(root_, u"site1", true));
  EXPECT_TRUE(IsCacheEmpty(root_, u"other", false));
}

TEST_F(OfflineCacheTest, TornAndForeignRecordsReadAsFree) {
  {
    OfflineCache cache(root_, u"site1");
    CopyOneFile(cache);
  }
  {
    std::ofstream journal(root_ + "/site1.sys", std::ios::binary | std::ios::app);
    std::string garbage(536, '\x7f');
    journal.write(garbage.data(), garbage.size());
    journal.write(garbage.data(), 100);  // an append cut short by a crash
  }
  OfflineCache cache(root_, u"site1");
  ASSERT_TRUE(cache.Open(false));
  EXPECT_EQ(cache.Records().size(), 2u);
  cache.CompactJournal();
  EXPECT_EQ(SizeOf(cache.JournalPath()), 2 * 536);
}

TEST_F(OfflineCacheTest, EveryRecordWrittenSurvivesAKilledProcess) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    OfflineCache cache(root_, u"site1");
    if (!cache.Open(false) || !cache.tree().Create()) _exit(2);
    for (int i = 0; i < 50; ++i) {
      std::u16string path = u"\\f" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                            std::u16string(1, static_cast<char16_t>(u'a' + i / 26));
      cache.tree().ReplaceFile(path, [](int fd) { return WriteText(fd, "x"); }, 0);
      cache.SetRecord(kJournalFile, path, 1000 + i);
      cache.SetPending(kPendingUpload, path, 7);
    }
    kill(getpid(), SIGKILL);
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  OfflineCache cache(root_, u"site1");
  ASSERT_TRUE(cache.Open(false));
  EXPECT_EQ(cache.Records().size(), 50u);
  EXPECT_EQ(cache.PendingChanges().size(), 50u);
  EXPECT_EQ(cache.FindRecord(u"\\FBB")->serverTime, 1000u + 27u);
}

TEST_F(OfflineCacheTest, PathsThatLeaveTheTreeAreRefused) {
  OfflineCache cache(root_, u"site1");
  ASSERT_TRUE(cache.Open(false));
  ASSERT_TRUE(cache.tree().Create());
  auto fill = [](int fd) { return WriteText(fd, "evil"); };
  std::u16string longName(256, u'n');
  std::u16string longPath;
  for (int i = 0; i < 30; ++i) longPath += u"\\abcdefghi";
  const std::u16string hostile[] = {
      u"\\..\\..\\outside\\x", u"..\\x", u"\\a\\..\\..\\x", u"\\.\\x\\.", u"/../outside/x",
      std::u16string(u"\\a\0b", 4), u"\\" + longName, longPath, u"\\a\\\\b"};
  for (const std::u16string& path : hostile) {
    EXPECT_NE(cache.tree().ReplaceFile(path, fill, 0), 0u);
    EXPECT_FALSE(cache.SetRecord(kJournalFile, path, 1));
    EXPECT_LT(cache.tree().OpenFile(path, O_RDWR | O_CREAT), 0);
  }
  std::vector<std::string> names;
  ASSERT_TRUE(cache.tree().Names(u"", names));
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(SizeOf(base_ + "/x"), -1);
  EXPECT_EQ(SizeOf(outside_ + "/x"), -1);
  // An absolute path is read as a path within the site.
  EXPECT_EQ(cache.tree().ReplaceFile(u"/etc/passwd-copy", fill, 0), 0u);
  EXPECT_EQ(ReadText(root_ + "/site1/etc/passwd-copy"), "evil");
  OfflineCache badSite(root_, u"..");
  EXPECT_FALSE(badSite.Open(false));
}

TEST_F(OfflineCacheTest, LinksPlantedInTheTreeAreNeverFollowed) {
  OfflineCache cache(root_, u"site1");
  ASSERT_TRUE(cache.Open(false));
  ASSERT_TRUE(cache.tree().Create());
  std::ofstream(outside_ + "/keep.txt") << "precious";
  ASSERT_EQ(symlink(outside_.c_str(), (root_ + "/site1/dir").c_str()), 0);
  ASSERT_EQ(symlink((outside_ + "/keep.txt").c_str(), (root_ + "/site1/file").c_str()), 0);
  auto fill = [](int fd) { return WriteText(fd, "evil"); };
  EXPECT_NE(cache.tree().ReplaceFile(u"\\dir\\keep.txt", fill, 0), 0u);
  EXPECT_NE(cache.tree().ReplaceFile(u"\\dir\\new.txt", fill, 0), 0u);
  EXPECT_LT(cache.tree().OpenFile(u"\\file", O_RDWR), 0);
  EXPECT_LT(cache.tree().OpenFile(u"\\dir\\keep.txt", O_RDONLY), 0);
  // Replacing the link's name replaces the link, not what it points at.
  EXPECT_EQ(cache.tree().ReplaceFile(u"\\file", fill, 0), 0u);
  EXPECT_EQ(ReadText(outside_ + "/keep.txt"), "precious");
  EXPECT_EQ(SizeOf(outside_ + "/new.txt"), -1);
  // Deleting the tree removes the link and leaves its target alone.
  EXPECT_EQ(cache.DeleteLocalTree(u"\\", true), 0);
  EXPECT_EQ(ReadText(outside_ + "/keep.txt"), "precious");
  // The cache folder itself as a link is refused too.
  std::system(("rm -rf '" + root_ + "/site2'").c_str());
  ASSERT_EQ(symlink(outside_.c_str(), (root_ + "/site2").c_str()), 0);
  OfflineCache linked(root_, u"site2");
  ASSERT_TRUE(linked.Open(false));
  EXPECT_NE(linked.tree().ReplaceFile(u"\\x", fill, 0), 0u);
  EXPECT_EQ(SizeOf(outside_ + "/x"), -1);
}

TEST_F(OfflineCacheTest, AFailedReplaceKeepsTheOldFileAndLeavesNoPart) {
  OfflineCache cache(root_, u"site1");
  CopyOneFile(cache);
  EXPECT_EQ(cache.tree().ReplaceFile(u"\\docs\\a.txt", [](int fd) {
              WriteText(fd, "half");
              return static_cast<uint32_t>(EIO);
            }, 0),
            static_cast<uint32_t>(EIO));
  EXPECT_EQ(ReadText(root_ + "/site1/docs/a.txt"), "alpha");
  std::vector<std::string> parts;
  DIR* dir = opendir((root_ + "/site1.part").c_str());
  ASSERT_NE(dir, nullptr);
  while (dirent* d = readdir(dir)) if (d->d_name[0] != '.') parts.push_back(d->d_name);
  closedir(dir);
  EXPECT_TRUE(parts.empty());
  // A part another (killed) process left goes at the next opening; this process's own stay.
  std::string stale = root_ + "/site1.part/part-1-0";
  std::string own = root_ + "/site1.part/part-" + std::to_string(getpid()) + "-999";
  std::ofstream(stale) << "half";
  std::ofstream(own) << "busy";
  OfflineCache again(root_, u"site1");
  ASSERT_TRUE(again.Open(false));
  EXPECT_EQ(SizeOf(stale), -1);
  EXPECT_EQ(SizeOf(own), 4);
  // A folder is never replaced by a file.
  EXPECT_NE(cache.tree().ReplaceFile(u"\\docs", [](int fd) { return WriteText(fd, "x"); }, 0), 0u);
  // The modification time given is the file's.
  ASSERT_EQ(cache.tree().ReplaceFile(u"\\b.txt", [](int fd) { return WriteText(fd, "b"); },
                                     kFileTimeUnixEpoch + 1234567890ull * kFileTimeTicksPerSecond), 0u);
  struct stat info {};
  ASSERT_EQ(stat((root_ + "/site1/b.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1234567890);
}

TEST_F(OfflineCacheTest, OpeningASiteNeverClearsAnotherSitesTreeThatSharesItsPartsName) {
  // The tree of a site named "site1.part" is where "site1" keeps its parts.
  OfflineCache other(root_, u"site1.part");
  ASSERT_TRUE(other.Open(false));
  ASSERT_TRUE(other.tree().Create());
  ASSERT_EQ(other.tree().ReplaceFile(u"\\notes.txt", [](int fd) { return WriteText(fd, "mine"); }, 0), 0u);
  ASSERT_TRUE(other.SetRecord(kJournalFile, u"\\notes.txt", 0));
  OfflineCache cache(root_, u"site1");
  ASSERT_TRUE(cache.Open(false));
  EXPECT_EQ(ReadText(root_ + "/site1.part/notes.txt"), "mine");
}

TEST_F(OfflineCacheTest, DeletingALocalCopyFreesItsRecordsUnlessKept) {
  OfflineCache cache(root_, u"site1");
  CopyOneFile(cache);
  ASSERT_EQ(cache.DeleteLocalTree(u"\\docs", true), 0);
  EXPECT_EQ(SizeOf(root_ + "/site1/docs/a.txt"), -1);
  EXPECT_NE(cache.FindRecord(u"\\docs\\a.txt"), nullptr);
  {
    // The folder stays marked for the next opening too; only the copies are gone.
    OfflineCache again(root_, u"site1");
    ASSERT_TRUE(again.Open(false));
    EXPECT_NE(again.FindRecord(u"\\docs"), nullptr);
    EXPECT_EQ(again.FindRecord(u"\\docs\\a.txt"), nullptr);
  }
  CopyOneFile(cache);
  ASSERT_EQ(cache.DeleteLocalTree(u"\\docs", false), 0);
  EXPECT_EQ(cache.FindRecord(u"\\docs\\a.txt"), nullptr);
  EXPECT_EQ(cache.FindRecord(u"\\docs"), nullptr);
}

}  // namespace
}  // namespace hvm
