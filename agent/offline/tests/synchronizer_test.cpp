// Synchronisation against a folder standing in for the server: each
// direction, the conflict question, deletions on either side, a run killed
// in the middle, minute-precise servers and hostile names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "agent/offline/synchronizer.h"
#include "agent/offline/tests/folder_sync_server.h"

namespace hvm {
namespace {

class SynchronizerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvm-sync-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    root_ = base_ + "/offline";
    ASSERT_EQ(mkdir(root_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((base_ + "/server").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((base_ + "/server/docs").c_str(), 0700), 0);
    server_ = std::make_unique<FolderSyncServer>(base_ + "/server");
    server_->Put(u"\\docs\\a.txt", "server a");
    server_->Put(u"\\docs\\b.txt", "server b");
    cache_ = std::make_unique<OfflineCache>(root_, u"site1");
    ASSERT_TRUE(cache_->Open(false));
    ASSERT_TRUE(cache_->tree().Create());
  }
  void TearDown() override {
    cache_.reset();
    std::system(("rm -rf '" + base_ + "'").c_str());
  }

  int Sync(int answer = kConflictCancel) {
    SyncCallbacks callbacks;
    callbacks.askConflict = [this, answer](std::u16string_view path) {
      asked_.push_back(std::u16string(path));
      return answer;
    };
    Synchronizer sync(*cache_, *server_, callbacks);
    int result = sync.SynchronizeFolder(u"\\docs", true, true, true);
    counts_ = sync.counts();
    return result;
  }
  void MakeOffline() {
    Synchronizer sync(*cache_, *server_);
    ASSERT_EQ(sync.CopyFolderToLocal(u"\\docs", true, true), 0);
    cache_->SetRecord(kJournalFolderTree, u"\\docs", 0);
  }
  std::string LocalPath(const std::string& below) const { return root_ + "/site1" + below; }
  void EditLocal(const std::string& below, const std::string& text, time_t when) {
    std::ofstream(LocalPath(below), std::ios::trunc) << text;
    timespec times[2] = {{when, 0}, {when, 0}};
    utimensat(AT_FDCWD, LocalPath(below).c_str(), times, 0);
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string OnServer(const std::string& below) const { return Read(base_ + "/server" + below); }

  std::string base_, root_;
  std::unique_ptr<FolderSyncServer> server_;
  std::unique_ptr<OfflineCache> cache_;
  std::vector<std::u16string> asked_;
  Synchronizer::Counts counts_;
};

TEST_F(SynchronizerTest, EachSideTakesWhatChangedOnlyOnTheOther) {
  MakeOffline();
  EXPECT_EQ(Read(LocalPath("/docs/a.txt")), "server a");
  server_->Put(u"\\docs\\a.txt", "server a2");
  EditLocal("/docs/b.txt", "local b2", 1800000000);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(LocalPath("/docs/a.txt")), "server a2");
  EXPECT_EQ(OnServer("/docs/b.txt"), "local b2");
  EXPECT_TRUE(asked_.empty());
  EXPECT_EQ(counts_.downloaded, 1);
  EXPECT_EQ(counts_.uploaded, 1);
  // A second run finds nothing to do.
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(counts_.downloaded + counts_.uploaded, 0);
  EXPECT_EQ(server_->uploads, 1);
}

TEST_F(SynchronizerTest, BothChangedAsksAndKeepsBothWhenUnanswered) {
  MakeOffline();
  server_->Put(u"\\docs\\a.txt", "server a2");
  EditLocal("/docs/a.txt", "local a2", 1800000000);
  const FileTime journalTime = cache_->FindRecord(u"\\docs\\a.txt")->serverTime;
  EXPECT_EQ(Sync(kConflictCancel), kSyncConflictLeft);
  ASSERT_EQ(asked_.size(), 1u);
  EXPECT_EQ(asked_[0], u"\\docs\\a.txt");
  EXPECT_EQ(Read(LocalPath("/docs/a.txt")), "local a2");
  EXPECT_EQ(OnServer("/docs/a.txt"), "server a2");
  EXPECT_EQ(cache_->FindRecord(u"\\docs\\a.txt")->serverTime, journalTime);
  // The conflict left holds up nothing else in the folder: a file changed
  // only here still goes up, a new one too.
  EditLocal("/docs/b.txt", "local b only", 1800000050);
  EditLocal("/docs/z.txt", "new here", 1800000050);
  EXPECT_EQ(Sync(kConflictCancel), kSyncConflictLeft);
  EXPECT_EQ(OnServer("/docs/b.txt"), "local b only");
  EXPECT_EQ(OnServer("/docs/z.txt"), "new here");
  EXPECT_EQ(OnServer("/docs/a.txt"), "server a2");
  // Yes: the local copy goes to the server.
  EXPECT_EQ(Sync(kConflictUpload), 0);
  EXPECT_EQ(OnServer("/docs/a.txt"), "local a2");
  // No: the server's version replaces the local one.
  server_->Put(u"\\docs\\b.txt", "server b2");
  EditLocal("/docs/b.txt", "local b2", 1800000100);
  EXPECT_EQ(Sync(kConflictDownload), 0);
  EXPECT_EQ(Read(LocalPath("/docs/b.txt")), "server b2");
}

TEST_F(SynchronizerTest, NewLocalFilesAndFoldersReachTheServer) {
  MakeOffline();
  ASSERT_EQ(mkdir(LocalPath("/docs/new").c_str(), 0700), 0);
  EditLocal("/docs/new/n.txt", "new n", 1800000000);
  EditLocal("/docs/c.txt", "new c", 1800000000);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(OnServer("/docs/new/n.txt"), "new n");
  EXPECT_EQ(OnServer("/docs/c.txt"), "new c");
  EXPECT_EQ(counts_.foldersMade, 1);
  EXPECT_TRUE(asked_.empty());
}

TEST_F(SynchronizerTest, ChangesNotYetSynchronisedAreFoundInTheLocalCopy) {
  MakeOffline();
  auto changed = [this] { return Synchronizer(*cache_, *server_).LocalChangesBelow(u"\\docs"); };
  EXPECT_FALSE(changed());  // a fresh copy
  EditLocal("/docs/a.txt", "edited here", 1800000000);
  EXPECT_TRUE(changed());
  ASSERT_EQ(Sync(), 0);
  EXPECT_FALSE(changed());
  // A file made here, in a subfolder made here.
  ASSERT_EQ(mkdir(LocalPath("/docs/new").c_str(), 0700), 0);
  EXPECT_TRUE(changed());
  EditLocal("/docs/new/n.txt", "new", 1800000000);
  EXPECT_TRUE(changed());
  ASSERT_EQ(Sync(), 0);
  EXPECT_FALSE(changed());
  // A deletion still to be carried to the server.
  const FileTime aTime = cache_->FindRecord(u"\\docs\\a.txt")->serverTime;
  ASSERT_EQ(unlink(LocalPath("/docs/a.txt").c_str()), 0);
  cache_->SetPending(kPendingDelete, u"\\docs\\a.txt", aTime);
  cache_->FreeRecord(u"\\docs\\a.txt", false);
  EXPECT_TRUE(changed());
  ASSERT_EQ(Sync(), 0);
  EXPECT_FALSE(changed());
  // Without a local copy there is nothing to lose.
  ASSERT_EQ(std::system(("rm -rf '" + LocalPath("/docs") + "'").c_str()), 0);
  EXPECT_FALSE(changed());
}

TEST_F(SynchronizerTest, DeletionsOnEitherSideReachTheOther) {
  MakeOffline();
  // Deleted on the server, unchanged here: deleted here.
  ASSERT_EQ(unlink((base_ + "/server/docs/a.txt").c_str()), 0);
  // Deleted here while offline (the offline client notes it): deleted there.
  const FileTime bTime = cache_->FindRecord(u"\\docs\\b.txt")->serverTime;
  ASSERT_EQ(unlink(LocalPath("/docs/b.txt").c_str()), 0);
  cache_->SetPending(kPendingDelete, u"\\docs\\b.txt", bTime);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(LocalPath("/docs/a.txt")), "<missing>");
  EXPECT_EQ(OnServer("/docs/b.txt"), "<missing>");
  EXPECT_EQ(cache_->FindRecord(u"\\docs\\a.txt"), nullptr);
  EXPECT_EQ(cache_->FindPending(u"\\docs\\b.txt"), nullptr);
  // A file changed here that the server deleted is uploaded again, not lost.
  server_->Put(u"\\docs\\c.txt", "server c");
  ASSERT_EQ(Sync(), 0);
  EditLocal("/docs/c.txt", "local c2", 1800000000);
  ASSERT_EQ(unlink((base_ + "/server/docs/c.txt").c_str()), 0);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(OnServer("/docs/c.txt"), "local c2");
}

// A file deleted here and a folder made in its place: the folder takes the
// file's place on the server, unless the server changed the file meanwhile.
TEST_F(SynchronizerTest, AFolderMadeHereInPlaceOfADeletedFileReplacesItThere) {
  MakeOffline();
  for (const char16_t* name : {u"\\docs\\a.txt", u"\\docs\\b.txt"}) {
    cache_->SetPending(kPendingDelete, name, cache_->FindRecord(name)->serverTime);
    cache_->FreeRecord(name, false);
  }
  for (const char* name : {"/docs/a.txt", "/docs/b.txt"}) {
    ASSERT_EQ(unlink(LocalPath(name).c_str()), 0);
    ASSERT_EQ(mkdir(LocalPath(name).c_str(), 0700), 0);
  }
  EditLocal("/docs/a.txt/inner.txt", "inner", 1800000000);
  server_->Put(u"\\docs\\b.txt", "server b2");
  EXPECT_EQ(Sync(kConflictCancel), kSyncConflictLeft);
  EXPECT_EQ(OnServer("/docs/a.txt/inner.txt"), "inner");
  EXPECT_EQ(cache_->FindPending(u"\\docs\\a.txt"), nullptr);
  // The server's change is no copy this side deleted: both changed, and
  // unanswered both stay as they are.
  EXPECT_EQ(asked_, std::vector<std::u16string>{u"\\docs\\b.txt"});
  EXPECT_EQ(OnServer("/docs/b.txt"), "server b2");
  struct stat info {};
  ASSERT_EQ(stat(LocalPath("/docs/b.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

// The other way round: a folder deleted here and a file made in its place.
// The file takes its place on the server once the folder went there; a
// folder holding a change the server made stays, and so does the file here.
TEST_F(SynchronizerTest, AFileMadeHereInPlaceOfADeletedFolderReplacesItThere) {
  for (const char* folder : {"/server/docs/sub", "/server/docs/busy"})
    ASSERT_EQ(mkdir((base_ + folder).c_str(), 0700), 0);
  server_->Put(u"\\docs\\sub\\x.txt", "x");
  server_->Put(u"\\docs\\busy\\y.txt", "y");
  MakeOffline();
  for (const char16_t* file : {u"\\docs\\sub\\x.txt", u"\\docs\\busy\\y.txt"}) {
    cache_->SetPending(kPendingDelete, file, cache_->FindRecord(file)->serverTime);
    cache_->FreeRecord(file, false);
  }
  // The folders have no note of their own, as when their parent was moved away.
  const std::pair<const char*, const char16_t*> made[] = {{"/docs/sub", u"\\docs\\sub"},
                                                          {"/docs/busy", u"\\docs\\busy"}};
  for (const auto& [name, path] : made) {
    ASSERT_EQ(std::system(("rm -rf '" + LocalPath(name) + "'").c_str()), 0);
    EditLocal(name, "a file now", 1800000000);
    cache_->SetRecord(kJournalFile, path, 0);  // as the offline client notes a file made there
  }
  server_->Put(u"\\docs\\busy\\y.txt", "y changed there");
  EXPECT_EQ(Sync(kConflictCancel), kSyncConflictLeft);
  EXPECT_EQ(asked_, std::vector<std::u16string>{u"\\docs\\busy"});
  struct stat info {};
  ASSERT_EQ(stat((base_ + "/server/docs/sub").c_str(), &info), 0);
  ASSERT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(OnServer("/docs/sub"), "a file now");
  EXPECT_EQ(cache_->FindPending(u"\\docs\\sub"), nullptr);
  EXPECT_EQ(OnServer("/docs/busy/y.txt"), "y changed there");
  EXPECT_EQ(Read(LocalPath("/docs/busy")), "a file now");
}

// The server replaced a file by a folder (still empty) while the copy here
// stayed as it was: nothing was deleted here, so the folder stays there.
TEST_F(SynchronizerTest, AFolderTheServerMadeInPlaceOfAFileStaysThere) {
  MakeOffline();
  ASSERT_EQ(unlink((base_ + "/server/docs/a.txt").c_str()), 0);
  ASSERT_EQ(mkdir((base_ + "/server/docs/a.txt").c_str(), 0700), 0);
  server_->Put(u"\\docs\\a.txt\\inside.txt", "inside");
  ASSERT_EQ(Sync(), 0);
  EXPECT_TRUE(asked_.empty());
  struct stat info {};
  ASSERT_EQ(stat((base_ + "/server/docs/a.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(counts_.deletedOnServer, 0);
  // The unchanged copy here gives way to the server's folder.
  EXPECT_EQ(Read(LocalPath("/docs/a.txt/inside.txt")), "inside");
}

// The server replaced a folder by a file while the copy here stayed as it
// was: the file takes the folder's place here, without a question, and a
// second run finds nothing to do.
TEST_F(SynchronizerTest, AFileTheServerMadeInPlaceOfAnUnchangedFolderReplacesItHere) {
  ASSERT_EQ(mkdir((base_ + "/server/docs/sub").c_str(), 0700), 0);
  server_->Put(u"\\docs\\sub\\x.txt", "x");
  MakeOffline();
  ASSERT_EQ(std::system(("rm -rf '" + base_ + "/server/docs/sub'").c_str()), 0);
  server_->Put(u"\\docs\\sub", "a file there now");
  ASSERT_EQ(Sync(), 0);
  EXPECT_TRUE(asked_.empty());
  EXPECT_EQ(Read(LocalPath("/docs/sub")), "a file there now");
  EXPECT_EQ(cache_->FindRecord(u"\\docs\\sub\\x.txt"), nullptr);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(counts_.downloaded + counts_.uploaded + counts_.failed, 0);
  EXPECT_EQ(OnServer("/docs/sub"), "a file there now");
}

// A file and a folder under one name, each changed on its side: Yes keeps
// this side's (the server's file or folder goes, whatever it holds), No the
// server's (this side's goes).
TEST_F(SynchronizerTest, AFileAndAFolderBothChangedUnderOneNameAreThePersonsChoice) {
  for (const char* folder : {"/server/docs/keep", "/server/docs/drop"}) {
    ASSERT_EQ(mkdir((base_ + folder).c_str(), 0700), 0);
    ASSERT_EQ(mkdir((base_ + folder + "/deep").c_str(), 0700), 0);
  }
  for (const char16_t* file : {u"\\docs\\keep\\deep\\y.txt", u"\\docs\\drop\\deep\\y.txt"})
    server_->Put(file, "y");
  MakeOffline();
  // Here: a.txt and b.txt deleted and made folders; keep and drop deleted and made files.
  for (const char* name : {"a.txt", "b.txt"}) {
    std::u16string path = u"\\docs\\" + Utf8ToUtf16(name);
    cache_->SetPending(kPendingDelete, path, cache_->FindRecord(path)->serverTime);
    cache_->FreeRecord(path, false);
    ASSERT_EQ(unlink(LocalPath(std::string("/docs/") + name).c_str()), 0);
    ASSERT_EQ(mkdir(LocalPath(std::string("/docs/") + name).c_str(), 0700), 0);
    EditLocal(std::string("/docs/") + name + "/inner.txt", "inner here", 1800000000);
  }
  for (const char* name : {"keep", "drop"}) {
    std::u16string path = u"\\docs\\" + Utf8ToUtf16(name);
    cache_->SetPending(kPendingDelete, path + u"\\deep\\y.txt", cache_->FindRecord(path + u"\\deep\\y.txt")->serverTime);
    cache_->FreeRecord(path, true);
    ASSERT_EQ(std::system(("rm -rf '" + LocalPath("/docs/") + name + "'").c_str()), 0);
    EditLocal(std::string("/docs/") + name, "a file here", 1800000000);
    cache_->SetRecord(kJournalFile, path, 0);
  }
  // Meanwhile the server changed each of them.
  for (const char16_t* file : {u"\\docs\\a.txt", u"\\docs\\b.txt", u"\\docs\\keep\\deep\\y.txt",
                               u"\\docs\\drop\\deep\\y.txt"})
    server_->Put(file, "changed there");
  SyncCallbacks callbacks;
  callbacks.askConflict = [this](std::u16string_view path) {
    asked_.push_back(std::u16string(path));
    return path == u"\\docs\\a.txt" || path == u"\\docs\\keep" ? kConflictUpload : kConflictDownload;
  };
  {
    Synchronizer sync(*cache_, *server_, callbacks);
    EXPECT_EQ(sync.SynchronizeFolder(u"\\docs", true, true, true), 0);
  }
  std::sort(asked_.begin(), asked_.end());
  EXPECT_EQ(asked_, (std::vector<std::u16string>{u"\\docs\\a.txt", u"\\docs\\b.txt", u"\\docs\\drop",
                                                 u"\\docs\\keep"}));
  // Yes: this side's folder and file replace the server's.
  EXPECT_EQ(OnServer("/docs/a.txt/inner.txt"), "inner here");
  EXPECT_EQ(OnServer("/docs/keep"), "a file here");
  // No: the server's file and folder replace this side's.
  EXPECT_EQ(Read(LocalPath("/docs/b.txt")), "changed there");
  EXPECT_EQ(OnServer("/docs/b.txt"), "changed there");
  EXPECT_EQ(Read(LocalPath("/docs/drop/deep/y.txt")), "changed there");
  EXPECT_EQ(OnServer("/docs/drop/deep/y.txt"), "changed there");
  // Settled: nothing waits, and the next run asks nothing.
  EXPECT_TRUE(cache_->PendingChanges().empty());
  asked_.clear();
  ASSERT_EQ(Sync(), 0);
  EXPECT_TRUE(asked_.empty());
  EXPECT_EQ(counts_.downloaded + counts_.uploaded + counts_.failed, 0);
}

// A subfolder gone with its parent's move has no note of its own, only its
// files do: it goes from the server too instead of coming back empty.
TEST_F(SynchronizerTest, ASubfolderWithoutANoteOfItsOwnGoesWithTheFilesDeletedHere) {
  ASSERT_EQ(mkdir((base_ + "/server/docs/sub").c_str(), 0700), 0);
  server_->Put(u"\\docs\\sub\\x.txt", "x");
  MakeOffline();
  cache_->SetPending(kPendingDelete, u"\\docs\\sub\\x.txt", cache_->FindRecord(u"\\docs\\sub\\x.txt")->serverTime);
  cache_->FreeRecord(u"\\docs\\sub\\x.txt", false);
  ASSERT_EQ(std::system(("rm -rf '" + LocalPath("/docs/sub") + "'").c_str()), 0);
  ASSERT_EQ(Sync(), 0);
  struct stat info {};
  EXPECT_NE(stat((base_ + "/server/docs/sub").c_str(), &info), 0);
  EXPECT_NE(stat(LocalPath("/docs/sub").c_str(), &info), 0);
}

TEST_F(SynchronizerTest, AFolderDeletedAndMadeAgainHereLeavesNoNoteBehind) {
  // sub stays on the server; other goes from there meanwhile.
  for (const char* folder : {"sub", "other"}) {
    ASSERT_EQ(mkdir((base_ + "/server/docs/" + folder).c_str(), 0700), 0);
    server_->Put(u"\\docs\\" + Utf8ToUtf16(folder) + u"\\x.txt", "x");
  }
  MakeOffline();
  // Each deleted here with its file, as the offline client notes it, then
  // made again with a new file in it.
  for (const char* folder : {"sub", "other"}) {
    std::u16string path = u"\\docs\\" + Utf8ToUtf16(folder);
    cache_->SetPending(kPendingDelete, path + u"\\x.txt", cache_->FindRecord(path + u"\\x.txt")->serverTime);
    cache_->FreeRecord(path + u"\\x.txt", false);
    cache_->SetPending(kPendingDelete, path, 0);
    cache_->FreeRecord(path, true);
    ASSERT_EQ(std::system(("rm -rf '" + LocalPath("/docs/") + folder + "'").c_str()), 0);
    ASSERT_EQ(mkdir((LocalPath("/docs/") + folder).c_str(), 0700), 0);
    EditLocal(std::string("/docs/") + folder + "/new.txt", "made again", 1800000000);
  }
  ASSERT_EQ(std::system(("rm -rf '" + base_ + "/server/docs/other'").c_str()), 0);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(OnServer("/docs/sub/new.txt"), "made again");
  EXPECT_EQ(OnServer("/docs/sub/x.txt"), "<missing>");
  EXPECT_EQ(OnServer("/docs/other/new.txt"), "made again");
  // Nothing is left waiting: the copy can be dropped or made offline anew.
  EXPECT_TRUE(cache_->PendingChanges().empty());
  EXPECT_FALSE(Synchronizer(*cache_, *server_).LocalChangesBelow(u"\\docs"));
}

TEST_F(SynchronizerTest, AnOfflineFolderDeletedWholeGoesFromTheServerButNotWhatOthersAdded) {
  ASSERT_EQ(mkdir((base_ + "/server/old").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((base_ + "/server/busy").c_str(), 0700), 0);
  server_->Put(u"\\old\\x.txt", "x");
  server_->Put(u"\\busy\\y.txt", "y");
  for (const char16_t* folder : {u"\\old", u"\\busy"}) {
    Synchronizer copy(*cache_, *server_);
    ASSERT_EQ(copy.CopyFolderToLocal(folder, true, true), 0);
    cache_->SetRecord(kJournalFolderTree, folder, 0);
  }
  // Both deleted here as the offline client notes it: files first, then the folder.
  for (const char16_t* file : {u"\\old\\x.txt", u"\\busy\\y.txt"}) {
    cache_->SetPending(kPendingDelete, file, cache_->FindRecord(file)->serverTime);
    cache_->FreeRecord(file, false);
  }
  ASSERT_EQ(std::system(("rm -rf '" + LocalPath("/old") + "' '" + LocalPath("/busy") + "'").c_str()), 0);
  for (const char16_t* folder : {u"\\old", u"\\busy"}) {
    cache_->SetPending(kPendingDelete, folder, 0);
    cache_->FreeRecord(folder, true);
  }
  // Someone else added a file to one of them meanwhile.
  server_->Put(u"\\busy\\other.txt", "theirs");
  Synchronizer sync(*cache_, *server_);
  EXPECT_EQ(sync.SynchronizeSite(), 0);
  struct stat info {};
  EXPECT_NE(stat((base_ + "/server/old").c_str(), &info), 0);
  EXPECT_EQ(OnServer("/busy/other.txt"), "theirs");
  EXPECT_EQ(OnServer("/busy/y.txt"), "<missing>");
  EXPECT_TRUE(cache_->PendingChanges().empty());
}

TEST_F(SynchronizerTest, ASubfolderDeletedHereKeepsWhatTheServerChangedOrAddedInIt) {
  ASSERT_EQ(mkdir((base_ + "/server/docs/sub").c_str(), 0700), 0);
  server_->Put(u"\\docs\\sub\\old.txt", "old");
  server_->Put(u"\\docs\\sub\\edited.txt", "edited");
  MakeOffline();
  // Deleted here while offline, as the offline client notes it: files first, then the folder.
  for (const char16_t* file : {u"\\docs\\sub\\old.txt", u"\\docs\\sub\\edited.txt"}) {
    cache_->SetPending(kPendingDelete, file, cache_->FindRecord(file)->serverTime);
    cache_->FreeRecord(file, false);
  }
  ASSERT_EQ(std::system(("rm -rf '" + LocalPath("/docs/sub") + "'").c_str()), 0);
  cache_->SetPending(kPendingDelete, u"\\docs\\sub", 0);
  // Meanwhile someone else changed one file and added another there.
  server_->Put(u"\\docs\\sub\\edited.txt", "edited by them");
  server_->Put(u"\\docs\\sub\\theirs.txt", "theirs");
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(OnServer("/docs/sub/old.txt"), "<missing>");
  EXPECT_EQ(OnServer("/docs/sub/edited.txt"), "edited by them");
  EXPECT_EQ(OnServer("/docs/sub/theirs.txt"), "theirs");
  // What stays on the server comes back here; nothing is left to do.
  EXPECT_EQ(Read(LocalPath("/docs/sub/theirs.txt")), "theirs");
  EXPECT_TRUE(cache_->PendingChanges().empty());
  // Once nothing else is in it, the folder goes as well.
  ASSERT_EQ(std::system(("rm -rf '" + LocalPath("/docs/sub") + "'").c_str()), 0);
  for (const char16_t* file : {u"\\docs\\sub\\edited.txt", u"\\docs\\sub\\theirs.txt"}) {
    cache_->SetPending(kPendingDelete, file, cache_->FindRecord(file)->serverTime);
    cache_->FreeRecord(file, false);
  }
  cache_->SetPending(kPendingDelete, u"\\docs\\sub", 0);
  ASSERT_EQ(Sync(), 0);
  struct stat info {};
  EXPECT_NE(stat((base_ + "/server/docs/sub").c_str(), &info), 0);
  EXPECT_NE(stat(LocalPath("/docs/sub").c_str(), &info), 0);
  EXPECT_TRUE(cache_->PendingChanges().empty());
}

TEST_F(SynchronizerTest, MakingAnEnclosingFolderAvailableKeepsChangesNotYetSynchronised) {
  MakeOffline();
  // Changed here while offline; the run at connecting was not made (or left the conflict).
  EditLocal("/docs/a.txt", "local a2", 1800000000);
  EditLocal("/docs/b.txt", "local b2", 1800000000);
  server_->Put(u"\\docs\\b.txt", "server b2");
  Synchronizer sync(*cache_, *server_, {[this](std::u16string_view path) {
                                          asked_.push_back(std::u16string(path));
                                          return kConflictCancel;
                                        }, {}, {}, {}});
  EXPECT_EQ(sync.CopyFolderToLocal(u"\\", true, true), 0);
  // Changed only here: it goes to the server rather than being overwritten.
  EXPECT_EQ(Read(LocalPath("/docs/a.txt")), "local a2");
  EXPECT_EQ(OnServer("/docs/a.txt"), "local a2");
  // Changed on both sides: asked about, and left as they are when unanswered.
  ASSERT_EQ(asked_.size(), 1u);
  EXPECT_EQ(asked_[0], u"\\docs\\b.txt");
  EXPECT_EQ(Read(LocalPath("/docs/b.txt")), "local b2");
  EXPECT_EQ(OnServer("/docs/b.txt"), "server b2");
}

TEST_F(SynchronizerTest, AConflictLeftInOneOfflineFolderIsTheSiteRunsResult) {
  ASSERT_EQ(mkdir((base_ + "/server/attic").c_str(), 0700), 0);
  server_->Put(u"\\attic\\c.txt", "server c");
  MakeOffline();
  {
    Synchronizer copy(*cache_, *server_);
    ASSERT_EQ(copy.CopyFolderToLocal(u"\\attic", true, true), 0);
    cache_->SetRecord(kJournalFolderTree, u"\\attic", 0);
  }
  server_->Put(u"\\attic\\c.txt", "server c2");
  EditLocal("/attic/c.txt", "local c2", 1800000000);
  // The folder after it has nothing to do.
  Synchronizer sync(*cache_, *server_, {[](std::u16string_view) { return kConflictCancel; }, {}, {}, {}});
  EXPECT_EQ(sync.SynchronizeSite(), kSyncConflictLeft);
  EXPECT_EQ(sync.counts().conflicts, 1);
  EXPECT_EQ(Read(LocalPath("/attic/c.txt")), "local c2");
}

TEST_F(SynchronizerTest, AnUploadAKilledRunBeganIsFinishedWithoutAQuestion) {
  MakeOffline();
  EditLocal("/docs/a.txt", "local a2", 1800000000);
  struct stat info {};
  ASSERT_EQ(stat(LocalPath("/docs/a.txt").c_str(), &info), 0);
  // The killed run had noted the upload and the server had taken the bytes.
  cache_->SetPending(kPendingUpload, u"\\docs\\a.txt", FileTimeFromUnix(info.st_mtim));
  server_->Put(u"\\docs\\a.txt", "local a2");
  ASSERT_EQ(Sync(), 0);
  EXPECT_TRUE(asked_.empty());
  EXPECT_EQ(OnServer("/docs/a.txt"), "local a2");
  EXPECT_EQ(cache_->FindPending(u"\\docs\\a.txt"), nullptr);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(counts_.uploaded + counts_.downloaded + counts_.conflicts, 0);
}

TEST_F(SynchronizerTest, AnUploadTheServerRefusedLeavesALaterChangeThereToTheQuestion) {
  MakeOffline();
  EditLocal("/docs/a.txt", "local a2", 1800000000);
  server_->failUploads = true;
  ASSERT_EQ(Sync(), 0);  // the failure is logged; the run goes on
  EXPECT_EQ(OnServer("/docs/a.txt"), "server a");
  // Someone changes the file there before the next run: asked, not overwritten.
  server_->failUploads = false;
  server_->Put(u"\\docs\\a.txt", "theirs");
  EXPECT_EQ(Sync(kConflictCancel), kSyncConflictLeft);
  ASSERT_EQ(asked_.size(), 1u);
  EXPECT_EQ(OnServer("/docs/a.txt"), "theirs");
  EXPECT_EQ(Read(LocalPath("/docs/a.txt")), "local a2");
  // A new file whose upload failed goes up the next time all the same.
  server_->failUploads = true;
  EditLocal("/docs/new.txt", "new here", 1800000000);
  Sync(kConflictCancel);
  server_->failUploads = false;
  Sync(kConflictCancel);
  EXPECT_EQ(OnServer("/docs/new.txt"), "new here");
}

TEST_F(SynchronizerTest, MinutePreciseTimesIgnoreTheServersSecondsButNeverAnEditHere) {
  server_->minutePrecision = true;
  MakeOffline();
  auto secondsOf = [](FileTime time) {
    return static_cast<time_t>((time - kFileTimeUnixEpoch) / kFileTimeTicksPerSecond);
  };
  const time_t serverSeconds = secondsOf(cache_->FindRecord(u"\\docs\\a.txt")->serverTime);
  // The server's time moving within its minute (another listing's seconds)
  // with the copy untouched here moves nothing.
  timespec later[2] = {{serverSeconds + 40, 0}, {serverSeconds + 40, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (base_ + "/server/docs/a.txt").c_str(), later, 0), 0);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(counts_.uploaded + counts_.downloaded, 0);
  ASSERT_EQ(Sync(), 0);  // nor later: the copy took the server's seconds
  EXPECT_EQ(counts_.uploaded + counts_.downloaded, 0);
  // An edit made here in the same minute goes up; it must not pass for the
  // copy the run left and be overwritten by the server's next change.
  EditLocal("/docs/a.txt", "edited in the minute", serverSeconds + 59);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(counts_.uploaded, 1);
  EXPECT_EQ(OnServer("/docs/a.txt"), "edited in the minute");
  server_->Put(u"\\docs\\a.txt", "server a3");
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(LocalPath("/docs/a.txt")), "server a3");
  // Nor may a copy edited in the minute pass for one the server then deleted.
  const time_t bSeconds = secondsOf(cache_->FindRecord(u"\\docs\\b.txt")->serverTime);
  EditLocal("/docs/b.txt", "b edited in the minute", bSeconds + 30);
  {
    Synchronizer sync(*cache_, *server_);
    EXPECT_TRUE(sync.LocalChangesBelow(u"\\docs"));
  }
  ASSERT_EQ(unlink((base_ + "/server/docs/b.txt").c_str()), 0);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(LocalPath("/docs/b.txt")), "b edited in the minute");
  EXPECT_EQ(OnServer("/docs/b.txt"), "b edited in the minute");
  server_->Put(u"\\docs\\b.txt", "server b");
  ASSERT_EQ(Sync(), 0);
  // A local copy without a record that differs from the server is replaced.
  server_->minutePrecision = false;
  cache_->FreeRecord(u"\\docs\\b.txt", false);
  EditLocal("/docs/b.txt", "stale b", 1600000000);
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(LocalPath("/docs/b.txt")), "server b");
  // A copy with the server's time but not its size (cut short by a power loss) is fetched again.
  const FileTime aTime = cache_->FindRecord(u"\\docs\\a.txt")->serverTime;
  EditLocal("/docs/a.txt", "ser", static_cast<time_t>((aTime - kFileTimeUnixEpoch) / kFileTimeTicksPerSecond));
  ASSERT_EQ(Sync(), 0);
  EXPECT_EQ(Read(LocalPath("/docs/a.txt")), "server a3");
}

TEST_F(SynchronizerTest, AnOfflineFolderRenamedHereIsMadeOnTheServerWithItsChanges) {
  MakeOffline();
  // Renamed here while offline, as the offline client notes it: the files
  // deleted at the old place, new under the new one, the folder's mark moved.
  EditLocal("/docs/a.txt", "edited here", 1800000000);
  ASSERT_EQ(rename(LocalPath("/docs").c_str(), LocalPath("/papers").c_str()), 0);
  for (const JournalRecord& record : cache_->Records()) {
    std::u16string path(WideField(record.path, kJournalPathChars));
    if (record.state != kJournalFile || path.rfind(u"\\docs\\", 0) != 0) continue;
    cache_->SetPending(kPendingDelete, path, record.serverTime);
    cache_->SetRecord(kJournalFile, u"\\papers" + path.substr(5), 0);
  }
  cache_->FreeRecord(u"\\docs", true);
  cache_->SetPending(kPendingDelete, u"\\docs", 0);
  cache_->SetRecord(kJournalFolderTree, u"\\papers", 0);
  Synchronizer sync(*cache_, *server_);
  EXPECT_EQ(sync.SynchronizeSite(), 0);
  EXPECT_EQ(OnServer("/papers/a.txt"), "edited here");
  EXPECT_EQ(OnServer("/papers/b.txt"), "server b");
  EXPECT_EQ(OnServer("/docs/a.txt"), "<missing>");
  EXPECT_TRUE(cache_->PendingChanges().empty());
  // A folder the server lost that holds nothing new here is not made again.
  ASSERT_EQ(std::system(("rm -rf '" + base_ + "/server/papers'").c_str()), 0);
  Synchronizer again(*cache_, *server_);
  EXPECT_NE(again.SynchronizeSite(), 0);
  struct stat info {};
  EXPECT_NE(stat((base_ + "/server/papers").c_str(), &info), 0);
}

TEST_F(SynchronizerTest, HostileNamesFromTheServerWriteNothing) {
  server_->extraNames = {u"..", u"a/b", u"\\..\\escape", std::u16string(300, u'x')};
  Synchronizer sync(*cache_, *server_);
  EXPECT_EQ(sync.CopyFolderToLocal(u"", false, true), 0);
  EXPECT_EQ(sync.counts().failed, 4);
  struct stat info {};
  EXPECT_NE(stat((root_ + "/escape").c_str(), &info), 0);
  EXPECT_NE(stat((base_ + "/escape").c_str(), &info), 0);
}

TEST_F(SynchronizerTest, AServerNameHoldingASeparatorNeverStandsForAFileFurtherDown) {
  MakeOffline();
  EditLocal("/docs/a.txt", "local a2", 1800000000);
  // Names the server's own file system allows, which here would be a path.
  server_->extraNames = {u"docs\\a.txt", u"docs/b.txt"};
  Synchronizer sync(*cache_, *server_);
  EXPECT_EQ(sync.CopyFolderToLocal(u"", false, true), 0);
  EXPECT_EQ(sync.counts().failed, 2);
  EXPECT_EQ(sync.counts().downloaded + sync.counts().uploaded + sync.counts().conflicts, 0);
  EXPECT_EQ(Read(LocalPath("/docs/a.txt")), "local a2");
  EXPECT_EQ(OnServer("/docs/a.txt"), "server a");
}

TEST_F(SynchronizerTest, AFailedDownloadIsReportedAndTheRunGoesOn) {
  server_->failDownloads = true;
  std::vector<std::u16string> failed;
  SyncCallbacks callbacks;
  callbacks.logFailure = [&](std::u16string_view operation, uint32_t, std::u16string_view path,
                             std::u16string_view) {
    EXPECT_EQ(operation, u"Write2local");
    failed.push_back(std::u16string(path));
  };
  Synchronizer sync(*cache_, *server_, callbacks);
  EXPECT_EQ(sync.CopyFolderToLocal(u"\\docs", true, true), 0);
  EXPECT_EQ(failed.size(), 2u);
  EXPECT_EQ(cache_->FindRecord(u"\\docs\\a.txt"), nullptr);
  EXPECT_EQ(Read(LocalPath("/docs/a.txt")), "<missing>");
}

TEST_F(SynchronizerTest, CancelInTheProgressStopsTheRun) {
  MakeOffline();
  server_->Put(u"\\docs\\a.txt", "server a2");
  server_->Put(u"\\docs\\b.txt", "server b2");
  SyncCallbacks callbacks;
  callbacks.progress = [](double, double) { return false; };
  Synchronizer sync(*cache_, *server_, callbacks);
  EXPECT_EQ(sync.SynchronizeFolder(u"\\docs", true, true, true), kSyncCancelled);
  EXPECT_EQ(sync.counts().downloaded, 1);
}

}  // namespace
}  // namespace hvm
