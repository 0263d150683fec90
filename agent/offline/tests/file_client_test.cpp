// The offline folder client over a real local tree: listing into the entry
// cache, and every change noted for the next synchronisation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "agent/offline/file_client.h"
#include "agent/service/ntstatus.h"
#include "agent/service/path_forms.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

class FileClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvm-fileclient-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    std::memset(&site_, 0, sizeof site_);
    CopyWide(site_.name, kSiteNameChars, u"site1");
    CopyWide(site_.url, kSiteUrlChars, u"http://127.0.0.1/dav/");
    connection_.site = &site_;
    connection_.serverBasePath = u"http://127.0.0.1/dav/";
    client_ = std::make_unique<FileClient>(connection_, root_);
    ASSERT_EQ(client_->Open(), STATUS_SUCCESS);
    // What a copy made from the server looks like.
    ASSERT_EQ(std::system(("mkdir -p '" + root_ + "/site1/docs/full'").c_str()), 0);
    std::ofstream(root_ + "/site1/docs/a.txt") << "alpha";
    std::ofstream(root_ + "/site1/docs/full/x.txt") << "x";
    client_->cache()->SetRecord(kJournalFolderTree, u"\\docs", 0);
    client_->cache()->SetRecord(kJournalFile, u"\\docs\\a.txt", 5000);
    client_->cache()->SetRecord(kJournalFile, u"\\docs\\full\\x.txt", 6000);
  }
  void TearDown() override {
    client_->Shutdown();
    std::system(("rm -rf '" + root_ + "'").c_str());
  }
  // The entry of a path within the site, its folders listed on the way.
  FileEntry* Listed(const std::u16string& below) {
    std::u16string parent(ParentPathOf(below));
    FileEntry* folder = parent.empty() ? client_->RootEntry() : Listed(parent);
    if (folder == nullptr) return nullptr;
    EXPECT_EQ(client_->ListDirectory(u"", folder, nullptr), STATUS_SUCCESS);
    return connection_.entries.LookUp(connection_.RootPath() + below);
  }

  std::string root_;
  SiteRecord site_;
  Connection connection_;
  std::unique_ptr<FileClient> client_;
};

TEST_F(FileClientTest, ListingBringsTheLocalTreeIntoTheEntryCache) {
  FileEntry* docs = Listed(u"\\docs");
  ASSERT_NE(docs, nullptr);
  EXPECT_TRUE(docs->IsDirectory());
  FileEntry* a = Listed(u"\\docs\\a.txt");
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(a->IsDirectory());
  EXPECT_EQ(a->size, 5u);
  // A name below a folder that is not there ends the resolution.
  std::u16string missing = connection_.RootPath() + u"\\docs\\nothing\\deeper";
  EXPECT_EQ(client_->ListDirectory(u"", docs, missing.c_str()), STATUS_OBJECT_NAME_NOT_FOUND);
  // A file deleted behind the client's back leaves the cache at the next listing.
  ASSERT_EQ(unlink((root_ + "/site1/docs/a.txt").c_str()), 0);
  EXPECT_EQ(Listed(u"\\docs\\a.txt"), nullptr);
}

TEST_F(FileClientTest, WrittenFilesKeepTheirServerTimeSoOnlyTheLocalSideChanged) {
  FileEntry* a = Listed(u"\\docs\\a.txt");
  ASSERT_NE(a, nullptr);
  int copy = open((root_ + "/written").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(copy, 0);
  ASSERT_EQ(write(copy, "changed offline", 15), 15);
  a->localCopy = copy;
  a->flags |= kEntryWrittenLocally;
  OpenHandle handle;
  handle.entry = a;
  ReplyArea area;
  EXPECT_EQ(client_->CloseAfterWrite(&handle, area, 1, 0), STATUS_SUCCESS);
  std::ifstream in(root_ + "/site1/docs/a.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "changed offline");
  EXPECT_EQ(client_->cache()->FindRecord(u"\\docs\\a.txt")->serverTime, 5000u);
  EXPECT_EQ(a->size, 15u);
  EXPECT_FALSE(a->flags & kEntryWrittenLocally);
}

TEST_F(FileClientTest, DeletesAndMovesAreNotedForTheServer) {
  FileEntry* full = Listed(u"\\docs\\full");
  ASSERT_NE(full, nullptr);
  ReplyArea area;
  // A folder that is not empty stays, and so do its records.
  EXPECT_EQ(client_->Delete(full, area), STATUS_CANNOT_DELETE);
  EXPECT_NE(client_->cache()->FindRecord(u"\\docs\\full\\x.txt"), nullptr);
  FileEntry* x = Listed(u"\\docs\\full\\x.txt");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(client_->Delete(x, area), STATUS_SUCCESS);
  ASSERT_NE(client_->cache()->FindPending(u"\\docs\\full\\x.txt"), nullptr);
  EXPECT_EQ(client_->cache()->FindPending(u"\\docs\\full\\x.txt")->serverTime, 6000u);
  EXPECT_EQ(client_->cache()->FindRecord(u"\\docs\\full\\x.txt"), nullptr);
  // A file moved: gone from the old name there, new under the new name.
  FileEntry* a = Listed(u"\\docs\\a.txt");
  ASSERT_NE(a, nullptr);
  std::u16string destination = ServerPathOf(connection_, connection_.RootPath() + u"\\docs\\b.txt");
  EXPECT_EQ(client_->Move(a, area, nullptr, destination), STATUS_SUCCESS);
  EXPECT_NE(client_->cache()->FindPending(u"\\docs\\a.txt"), nullptr);
  const JournalRecord* moved = client_->cache()->FindRecord(u"\\docs\\b.txt");
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(moved->state, kJournalFile);
  EXPECT_EQ(moved->serverTime, 0u);
  struct stat info {};
  EXPECT_EQ(stat((root_ + "/site1/docs/b.txt").c_str(), &info), 0);
  // A file made offline and deleted again leaves nothing to do on the server.
  FileEntry* docs = Listed(u"\\docs");
  FileEntry* fresh = connection_.entries.NewEntry(connection_.RootPath() + u"\\docs\\fresh.txt");
  fresh->parent = docs;
  EXPECT_EQ(client_->CreateFile(fresh, area), STATUS_SUCCESS);
  EXPECT_NE(client_->cache()->FindRecord(u"\\docs\\fresh.txt"), nullptr);
  EXPECT_EQ(client_->Delete(fresh, area), STATUS_SUCCESS);
  EXPECT_EQ(client_->cache()->FindPending(u"\\docs\\fresh.txt"), nullptr);
}

TEST_F(FileClientTest, AFileSavedInPlaceOfAnotherGoesOnFromItsServerCopy) {
  ReplyArea area;
  FileEntry* docs = Listed(u"\\docs");
  ASSERT_NE(docs, nullptr);
  auto create = [&](const std::u16string& below) {
    FileEntry* made = connection_.entries.NewEntry(connection_.RootPath() + below);
    if (made == nullptr) return made;
    made->parent = docs;
    EXPECT_EQ(client_->CreateFile(made, area), STATUS_SUCCESS);
    return made;
  };
  // An editor's save: a new file renamed over the old one.
  FileEntry* temporary = create(u"\\docs\\a.txt.new");
  ASSERT_NE(temporary, nullptr);
  std::u16string over = ServerPathOf(connection_, connection_.RootPath() + u"\\docs\\a.txt");
  ASSERT_EQ(client_->Move(temporary, area, nullptr, over), STATUS_SUCCESS);
  ASSERT_NE(client_->cache()->FindRecord(u"\\docs\\a.txt"), nullptr);
  EXPECT_EQ(client_->cache()->FindRecord(u"\\docs\\a.txt")->serverTime, 5000u);
  EXPECT_EQ(client_->cache()->FindPending(u"\\docs\\a.txt"), nullptr);
  EXPECT_EQ(client_->cache()->FindPending(u"\\docs\\a.txt.new"), nullptr);
  // Another's save: the old file deleted, then made again.
  FileEntry* x = Listed(u"\\docs\\full\\x.txt");
  ASSERT_NE(x, nullptr);
  ASSERT_EQ(client_->Delete(x, area), STATUS_SUCCESS);
  FileEntry* full = Listed(u"\\docs\\full");
  ASSERT_NE(full, nullptr);
  ASSERT_EQ(client_->ListDirectory(u"", full, nullptr), STATUS_SUCCESS);  // the deleted entry leaves
  FileEntry* again = connection_.entries.NewEntry(connection_.RootPath() + u"\\docs\\full\\x.txt");
  ASSERT_NE(again, nullptr);
  again->parent = full;
  ASSERT_EQ(client_->CreateFile(again, area), STATUS_SUCCESS);
  ASSERT_NE(client_->cache()->FindRecord(u"\\docs\\full\\x.txt"), nullptr);
  EXPECT_EQ(client_->cache()->FindRecord(u"\\docs\\full\\x.txt")->serverTime, 6000u);
  EXPECT_EQ(client_->cache()->FindPending(u"\\docs\\full\\x.txt"), nullptr);
  // A name that held no copy from the server stays new.
  FileEntry* fresh = create(u"\\docs\\fresh.txt");
  ASSERT_NE(fresh, nullptr);
  ASSERT_NE(client_->cache()->FindRecord(u"\\docs\\fresh.txt"), nullptr);
  EXPECT_EQ(client_->cache()->FindRecord(u"\\docs\\fresh.txt")->serverTime, 0u);
}

TEST_F(FileClientTest, AMovedFolderLeavesItsFilesNotedAsDeletedAtTheOldPlace) {
  ReplyArea area;
  FileEntry* full = Listed(u"\\docs\\full");
  ASSERT_NE(full, nullptr);
  std::u16string destination = ServerPathOf(connection_, connection_.RootPath() + u"\\docs\\moved");
  ASSERT_EQ(client_->Move(full, area, nullptr, destination), STATUS_SUCCESS);
  const JournalRecord* gone = client_->cache()->FindPending(u"\\docs\\full\\x.txt");
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->state, kPendingDelete);
  EXPECT_EQ(gone->serverTime, 6000u);
  // The folder goes from there too, once nothing new is in it.
  ASSERT_NE(client_->cache()->FindPending(u"\\docs\\full"), nullptr);
  EXPECT_EQ(client_->cache()->FindPending(u"\\docs\\full")->state, kPendingDelete);
  ASSERT_NE(client_->cache()->FindRecord(u"\\docs\\moved\\x.txt"), nullptr);
  EXPECT_EQ(client_->cache()->FindRecord(u"\\docs\\moved\\x.txt")->serverTime, 0u);
}

// Folders made here in place of a file deleted here, and folders made here
// and moved: the server's file still goes, and no such folder becomes an
// offline folder of its own (the next run would take it, holding no copy
// from the server, for one the server deleted).
TEST_F(FileClientTest, FoldersMadeHereKeepTheDeletedFileNotedAndAreNoOfflineFolders) {
  ReplyArea area;
  FileEntry* docs = Listed(u"\\docs");
  ASSERT_NE(docs, nullptr);
  FileEntry* a = Listed(u"\\docs\\a.txt");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(client_->Delete(a, area), STATUS_SUCCESS);
  ASSERT_EQ(client_->ListDirectory(u"", docs, nullptr), STATUS_SUCCESS);  // the deleted entry leaves
  auto folderInPlace = [&]() {
    EXPECT_EQ(mkdir((root_ + "/site1/docs/a.txt").c_str(), 0700), 0);
    FileEntry* folder = Listed(u"\\docs\\a.txt");
    EXPECT_TRUE(folder != nullptr && folder->IsDirectory());
    return folder;
  };
  // Removed again: the file's deletion stays noted with its server time.
  FileEntry* folder = folderInPlace();
  ASSERT_NE(folder, nullptr);
  ASSERT_EQ(client_->Delete(folder, area), STATUS_SUCCESS);
  ASSERT_NE(client_->cache()->FindPending(u"\\docs\\a.txt"), nullptr);
  EXPECT_EQ(client_->cache()->FindPending(u"\\docs\\a.txt")->serverTime, 5000u);
  ASSERT_EQ(client_->ListDirectory(u"", docs, nullptr), STATUS_SUCCESS);
  // Moved away: the same, and the moved folder gets no record.
  folder = folderInPlace();
  ASSERT_NE(folder, nullptr);
  std::u16string destination = ServerPathOf(connection_, connection_.RootPath() + u"\\docs\\moved");
  ASSERT_EQ(client_->Move(folder, area, nullptr, destination), STATUS_SUCCESS);
  ASSERT_NE(client_->cache()->FindPending(u"\\docs\\a.txt"), nullptr);
  EXPECT_EQ(client_->cache()->FindPending(u"\\docs\\a.txt")->serverTime, 5000u);
  EXPECT_EQ(client_->cache()->FindRecord(u"\\docs\\moved"), nullptr);
}

// A folder moved where a folder of files from the server was deleted here:
// its file landing on a deleted one's name goes on from that copy, as a save
// in place does, instead of meeting the unchanged server file as a conflict.
TEST_F(FileClientTest, AFolderMovedOntoDeletedFilesGoesOnFromTheirServerCopies) {
  ReplyArea area;
  FileEntry* x = Listed(u"\\docs\\full\\x.txt");
  ASSERT_NE(x, nullptr);
  ASSERT_EQ(client_->Delete(x, area), STATUS_SUCCESS);
  FileEntry* full = Listed(u"\\docs\\full");
  ASSERT_NE(full, nullptr);
  ASSERT_EQ(client_->Delete(full, area), STATUS_SUCCESS);
  FileEntry* docs = Listed(u"\\docs");
  ASSERT_NE(docs, nullptr);
  ASSERT_EQ(client_->ListDirectory(u"", docs, nullptr), STATUS_SUCCESS);  // the deleted entries leave
  ASSERT_EQ(mkdir((root_ + "/site1/docs/other").c_str(), 0700), 0);
  FileEntry* other = Listed(u"\\docs\\other");
  ASSERT_NE(other, nullptr);
  FileEntry* made = connection_.entries.NewEntry(connection_.RootPath() + u"\\docs\\other\\x.txt");
  ASSERT_NE(made, nullptr);
  made->parent = other;
  ASSERT_EQ(client_->CreateFile(made, area), STATUS_SUCCESS);
  std::u16string destination = ServerPathOf(connection_, connection_.RootPath() + u"\\docs\\full");
  ASSERT_EQ(client_->Move(other, area, nullptr, destination), STATUS_SUCCESS);
  const JournalRecord* landed = client_->cache()->FindRecord(u"\\docs\\full\\x.txt");
  ASSERT_NE(landed, nullptr);
  EXPECT_EQ(landed->serverTime, 6000u);
  EXPECT_EQ(client_->cache()->FindPending(u"\\docs\\full\\x.txt"), nullptr);
}

// An empty folder that reached the server before (nothing recorded in it)
// deleted here: its deletion is noted, so that it does not come back.
TEST_F(FileClientTest, AnEmptyFolderDeletedHereIsNoted) {
  ReplyArea area;
  ASSERT_EQ(mkdir((root_ + "/site1/docs/empty").c_str(), 0700), 0);
  FileEntry* empty = Listed(u"\\docs\\empty");
  ASSERT_NE(empty, nullptr);
  ASSERT_EQ(client_->Delete(empty, area), STATUS_SUCCESS);
  ASSERT_NE(client_->cache()->FindPending(u"\\docs\\empty"), nullptr);
  EXPECT_EQ(client_->cache()->FindPending(u"\\docs\\empty")->state, kPendingDelete);
}

TEST_F(FileClientTest, ShellCommandsAndCopies) {
  ReplyArea area;
  auto answer = std::make_unique<InternalRequest>();
  std::memset(answer.get(), 0, sizeof(InternalRequest));
  uint32_t information = 0;
  EXPECT_EQ(client_->Control(kControlQuota, nullptr, area, answer.get(), &information, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(client_->Control(kControlOptions, nullptr, area, answer.get(), &information, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(answer->target), u"COPY");
  EXPECT_EQ(information, 8u);
  EXPECT_EQ(client_->Control(kControlSearch, nullptr, area, answer.get(), &information, nullptr),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(client_->Copy(nullptr, area, 0, u"", nullptr), STATUS_UNSUCCESSFUL);
}

}  // namespace
}  // namespace hvm
