// The driver's copy of a range (a server-side copy into a new, empty file,
// everything else left to reads and writes) and the cache after a folder
// copied or deleted on the server in one request.
#include <string>

#include "agent/service/tests/loop_fixture.h"

namespace hvm::test {
namespace {

constexpr uint64_t kWholeFile = uint64_t{1} << 40;  // what cp asks for

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class CopyRangeTest : public LoopTest {
 protected:
  void SetUp() override {
    LoopTest::SetUp();
    client->deferCreate = true;  // a created file reaches the server at its first upload
    client->AddDirectory(u"/d");
    client->AddDirectory(u"/e");
    client->AddFile(u"/d/src.bin", "0123456789");
    OpenOk(1, u"\\d\\src.bin");
  }

  Reply CopyRange(uint32_t destination, uint32_t source, uint64_t sourceOffset, uint64_t destinationOffset,
                  uint64_t length, uint64_t sourceSize = 10, uint64_t destinationSize = 0,
                  uint32_t dataLength = sizeof(CopyRangeRecord)) {
    auto r = Blank(MJ_COPY_RANGE, destination);
    SetFileSize(*r, destinationSize);
    CopyRangeRecord record{source, 0, sourceOffset, destinationOffset, length, sourceSize};
    std::memcpy(r->data, &record, sizeof record);
    r->dataLength = dataLength;
    return Send(*r);
  }
  // A new file made by cp: created, opened for writing, nothing on the server yet.
  void CreateFresh(uint32_t fileObject, const std::u16string& below) {
    Reply made = Create(fileObject, below, FILE_CREATE, 0x40, FILE_WRITE_DATA);
    ASSERT_EQ(made.status(), STATUS_SUCCESS);
    ASSERT_EQ(made.DataByte(kCreateReplyMadeAtCleanup), 1);
  }
  uint64_t AnswerWord64(const Reply& reply, size_t index) const {
    return uint64_t{reply.DataWord(index * 2)} | (uint64_t{reply.DataWord(index * 2 + 1)} << 32);
  }
  // Still the created file whose first upload makes it.
  void ExpectUntouched(const std::u16string& below) {
    FileEntry* e = Entry(below);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->flags & (kEntryCreatePending | kEntryMustBeNew), kEntryCreatePending | kEntryMustBeNew);
    EXPECT_TRUE(e->HasLocalCopy());
  }
};

TEST_F(CopyRangeTest, AWholeFileIntoANewOneIsCopiedByTheServerAndNeverUploaded) {
  CreateFresh(2, u"\\e\\dst.bin");
  Reply copied = CopyRange(2, 1, 0, 0, kWholeFile);
  ASSERT_EQ(copied.status(), STATUS_SUCCESS);
  EXPECT_EQ(copied.information(), sizeof(CopyRangeAnswer));
  EXPECT_EQ(AnswerWord64(copied, 0), 10u);  // copied
  EXPECT_EQ(AnswerWord64(copied, 1), 10u);  // the destination's size
  EXPECT_EQ(client->serverCopies, std::vector<std::u16string>{u"/dav/e/dst.bin"});
  FileEntry* made = Entry(u"\\e\\dst.bin");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->flags & (kEntryCreatePending | kEntryMustBeNew | kEntryWrittenLocally), 0u);
  EXPECT_FALSE(made->HasLocalCopy()) << "the empty copy made at create is gone";
  EXPECT_EQ(made->size, 10u);
  // cp closes the destination: nothing is uploaded over the server's copy.
  Release(2, 10);
  EXPECT_TRUE(client->uploads.empty());
  EXPECT_EQ(Text(client->server[u"/e/dst.bin"].content), "0123456789");
  // Read back through a new open: the server's bytes.
  OpenOk(3, u"\\e\\dst.bin");
  Reply read = Read(3, 0, 10, 10);
  ASSERT_EQ(read.status(), STATUS_SUCCESS);
  EXPECT_EQ(std::string(read.bytes.begin() + 20, read.bytes.begin() + 30), "0123456789");
  Release(3, 10);
  Release(1, 10);
}

TEST_F(CopyRangeTest, EveryOtherCaseIsLeftToReadsAndWrites) {
  CreateFresh(2, u"\\e\\dst.bin");
  EXPECT_EQ(CopyRange(2, 1, 5, 0, kWholeFile).status(), STATUS_NOT_SUPPORTED) << "source offset";
  EXPECT_EQ(CopyRange(2, 1, 0, 5, kWholeFile).status(), STATUS_NOT_SUPPORTED) << "destination offset";
  EXPECT_EQ(CopyRange(2, 1, 0, 0, 9).status(), STATUS_NOT_SUPPORTED) << "part of the source";
  EXPECT_EQ(CopyRange(2, 1, 0, 0, kWholeFile, 11).status(), STATUS_NOT_SUPPORTED) << "another size";
  EXPECT_EQ(CopyRange(2, 0x999, 0, 0, kWholeFile).status(), STATUS_NOT_SUPPORTED) << "no such source";
  EXPECT_EQ(CopyRange(2, 2, 0, 0, kWholeFile, 0).status(), STATUS_NOT_SUPPORTED) << "itself";
  EXPECT_EQ(CopyRange(2, 1, 0, 0, kWholeFile, 10, 0, 39).status(), STATUS_INVALID_PARAMETER);
  ExpectUntouched(u"\\e\\dst.bin");

  // Written already: the bytes are the writer's, not the server's.
  EXPECT_EQ(Write(2, 0, "x", 0).status(), STATUS_SUCCESS);
  EXPECT_EQ(CopyRange(2, 1, 0, 0, kWholeFile, 10, 1).status(), STATUS_NOT_SUPPORTED);

  // An existing file emptied by the open: the server still has its old bytes.
  client->AddFile(u"/e/old.bin", "old");
  Reply emptied = Create(3, u"\\e\\old.bin", FILE_OVERWRITE_IF, 0x40, FILE_WRITE_DATA);
  ASSERT_EQ(emptied.status(), STATUS_SUCCESS);
  EXPECT_EQ(CopyRange(3, 1, 0, 0, kWholeFile).status(), STATUS_NOT_SUPPORTED);

  // A source with changes not uploaded yet.
  OpenOk(4, u"\\d\\src.bin", 0x40, FILE_WRITE_DATA);
  EXPECT_EQ(Write(4, 0, "X", 10).status(), STATUS_SUCCESS);
  CreateFresh(5, u"\\e\\dst2.bin");
  EXPECT_EQ(CopyRange(5, 1, 0, 0, kWholeFile).status(), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(client->serverCopies.empty());

  // Each destination still goes up at its close with what was written.
  Release(2, 1);
  Release(3, 0);
  Release(5, 0);
  EXPECT_EQ(Text(client->server[u"/e/dst.bin"].content), "x");
  Release(4, 10);
  Release(1, 10);
}

TEST_F(CopyRangeTest, ACopyTheServerRefusesChangesNothingAndTheWritesGoUp) {
  CreateFresh(2, u"\\e\\dst.bin");
  for (NTSTATUS refusal : {STATUS_OBJECT_NAME_COLLISION, STATUS_UNSUCCESSFUL, STATUS_NOT_SUPPORTED}) {
    client->copyToNewFileResult = refusal;
    EXPECT_EQ(CopyRange(2, 1, 0, 0, kWholeFile).status(), STATUS_NOT_SUPPORTED);
    ExpectUntouched(u"\\e\\dst.bin");
  }
  // The kernel copies through writes; the close uploads them.
  EXPECT_EQ(Write(2, 0, "0123456789", 0).status(), STATUS_SUCCESS);
  Release(2, 10);
  EXPECT_EQ(client->uploads, std::vector<std::u16string>{u"/e/dst.bin"});
  EXPECT_EQ(Text(client->server[u"/e/dst.bin"].content), "0123456789");
  Release(1, 10);
}

TEST_F(CopyRangeTest, ADestinationThatMayNotBeWrittenIsRefusedAsAWrite) {
  CreateFresh(2, u"\\e\\dst.bin");
  client->failBeginWrite = true;
  EXPECT_EQ(CopyRange(2, 1, 0, 0, kWholeFile).status(), STATUS_ACCESS_DENIED);
  client->failBeginWrite = false;
  Entry(u"\\e\\dst.bin")->flags |= kEntryReadOnly;
  EXPECT_EQ(CopyRange(2, 1, 0, 0, kWholeFile).status(), STATUS_ACCESS_DENIED);
  Entry(u"\\e\\dst.bin")->flags &= ~kEntryReadOnly;
  // A lock of its own would need its token on the copy.
  Entry(u"\\e\\dst.bin")->lockToken = u"opaquelocktoken:2";
  EXPECT_EQ(CopyRange(2, 1, 0, 0, kWholeFile).status(), STATUS_NOT_SUPPORTED);
  Entry(u"\\e\\dst.bin")->lockToken.clear();
  EXPECT_TRUE(client->serverCopies.empty());
  Release(2, 0);
  Release(1, 10);
}

class FolderCommandTest : public LoopTest {
 protected:
  Reply Command(uint32_t code, const std::u16string& target, const std::u16string& destination) {
    auto r = Blank(MJ_DEVICE_CONTROL, 0);
    r->Parameters[2] = code;
    InternalRequest in{};
    in.marker = kRecordMarker;
    std::memcpy(in.target, target.data(), target.size() * 2);
    std::memcpy(in.destination, destination.data(), destination.size() * 2);
    std::memcpy(r->data, &in, sizeof in);
    r->dataLength = sizeof in;
    return Send(*r);
  }
  uint32_t ResultOf(const Reply& reply) { return reply.DataWord(offsetof(InternalRequest, result) / 4); }
  std::u16string RootListing() {
    OpenOk(50, u"", 0x1);
    Reply listed = Directory(50, Full(u""), 12, 4096, SL_RESTART_SCAN);
    std::u16string names;
    for (size_t at = 0; listed.status() == STATUS_SUCCESS;) {
      uint32_t next = listed.DataWord(at / 4), bytes = listed.DataWord(at / 4 + 2);
      names += listed.DataWide(at + 12, bytes / 2) + u" ";
      if (next == 0) break;
      at += next;
    }
    Release(50);
    return names;
  }
};

TEST_F(FolderCommandTest, AFolderCopiedOrDeletedOnTheServerShowsAtOnce) {
  client->AddDirectory(u"/t");
  client->AddDirectory(u"/t/s");
  client->AddFile(u"/t/a.txt", "a");
  client->AddFile(u"/t/s/c.txt", "c");
  OpenOk(1, u"\\t\\s\\c.txt");  // held open through the delete
  OpenOk(2, u"\\t\\a.txt");
  Release(2);
  EXPECT_EQ(RootListing(), u"t ");

  Reply copied = Command(kControlFolderCopy, u"X:\\t", u"X:\\t2");
  ASSERT_EQ(copied.status(), STATUS_SUCCESS);
  ASSERT_EQ(ResultOf(copied), 201u);
  // In the cache before any listing.
  FileEntry* copy = Entry(u"\\t2");
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(copy->IsDirectory());
  EXPECT_EQ(copy->parent, Entry(u""));
  EXPECT_EQ(RootListing(), u"t t2 ");
  OpenOk(3, u"\\t2\\s\\c.txt");  // its members come with its first listing
  Release(3);

  Reply deleted = Command(kControlFolderDelete, u"X:\\t", u"");
  ASSERT_EQ(deleted.status(), STATUS_SUCCESS);
  EXPECT_EQ(Entry(u"\\t"), nullptr);
  EXPECT_EQ(Entry(u"\\t\\a.txt"), nullptr);
  EXPECT_EQ(Entry(u"\\t\\s\\c.txt"), nullptr);
  EXPECT_EQ(RootListing(), u"t2 ");
  EXPECT_EQ(Create(4, u"\\t\\a.txt", FILE_OPEN).status(), STATUS_OBJECT_NAME_NOT_FOUND);
  // The handle still open reaches nothing any more, and its end deletes nothing.
  EXPECT_EQ(Read(1, 0, 1, 1).status(), STATUS_FILE_DELETED);
  Release(1, 1);
  EXPECT_TRUE(client->deletes.empty());
}

TEST_F(FolderCommandTest, ARefusedOrPartialCommandLeavesTheFoldersToTheServer) {
  client->AddDirectory(u"/t");
  client->AddFile(u"/t/a.txt", "a");
  OpenOk(1, u"\\t\\a.txt");
  Release(1);
  client->folderCommandStatus = 403;
  EXPECT_NE(Command(kControlFolderDelete, u"X:\\t", u"").status(), STATUS_SUCCESS);
  EXPECT_NE(Command(kControlFolderCopy, u"X:\\t", u"X:\\t2").status(), STATUS_SUCCESS);
  EXPECT_NE(Entry(u"\\t\\a.txt"), nullptr);
  EXPECT_EQ(Entry(u"\\t2"), nullptr);
  // Some members failed: the folder stays, listed again when next asked.
  client->folderCommandStatus = 207;
  Reply partial = Command(kControlFolderDelete, u"X:\\t", u"");
  EXPECT_EQ(ResultOf(partial), 207u);
  ASSERT_NE(Entry(u"\\t"), nullptr);
  EXPECT_EQ(Entry(u"\\t")->childrenListedTime, 0u);
  EXPECT_NE(Entry(u"\\t\\a.txt"), nullptr);
}

}  // namespace
}  // namespace hvm::test
