// The real request loop behind a scripted driver: records in, replies out,
// checked byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "agent/service/byte_layout.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"
#include "agent/service/pending_answer.h"
#include "agent/service/tests/loop_fixture.h"

namespace hvm::test {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> list) { return list; }
std::vector<uint8_t> Le64(uint64_t v) {
  std::vector<uint8_t> b(8);
  std::memcpy(b.data(), &v, 8);
  return b;
}
std::vector<uint8_t> Wide(const std::u16string& s) {
  std::vector<uint8_t> b(s.size() * 2);
  std::memcpy(b.data(), s.data(), b.size());
  return b;
}

TEST_F(LoopTest, ExchangeFramesAndBadInput) {
  // The first call carries the initial reply, which answers nothing: only
  // the header and data word 0 travel.
  ASSERT_GE(initialReply.size(), 20u);
  EXPECT_EQ(initialReply.size(), kGetRequestMinIn);
  EXPECT_EQ(initialReply[0], 0xFF);
  EXPECT_EQ(initialReply[1] | initialReply[2] | initialReply[3], 0);
  Reply first{initialReply};
  EXPECT_EQ(first.Word(4), kConnectionHandle);
  EXPECT_EQ(first.status(), STATUS_INVALID_DEVICE_REQUEST);

  // Unknown operation, unknown file object: answered, and the loop goes on.
  Reply unknown = Simple(7, 1);
  EXPECT_EQ(unknown.bytes[0], 0xFF);
  EXPECT_EQ(unknown.Word(4), kConnectionHandle);
  EXPECT_EQ(unknown.status(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Simple(MJ_READ, 0xDEAD).status(), STATUS_INVALID_DEVICE_REQUEST);

  // Names outside the Connection, and names too long to be kept whole.
  auto r = Blank(MJ_CREATE, 1);
  std::u16string foreign = u"\\OTHER\\site1\\a.txt";
  std::memcpy(r->data + 4, foreign.data(), foreign.size() * 2);
  r->dataLength = 528;
  EXPECT_EQ(Send(*r).status(), STATUS_INVALID_PARAMETER);
  std::u16string longName(260, u'a');
  Reply tooLong = Create(2, u"\\" + longName, FILE_OPEN);
  EXPECT_EQ(tooLong.status(), STATUS_OBJECT_NAME_INVALID);

  // A dataLength beyond what the driver returned.
  auto lying = Blank(MJ_CREATE, 3);
  lying->dataLength = 60000;
  EXPECT_EQ(Send(*lying).status(), STATUS_INVALID_PARAMETER);

  // A device control without a target drive path.
  auto control = Blank(MJ_DEVICE_CONTROL, 0);
  control->Parameters[2] = 0x142000;
  control->dataLength = sizeof(InternalRequest);
  EXPECT_EQ(Send(*control).status(), STATUS_INVALID_DEVICE_REQUEST);

  client->AddFile(u"/a.txt", "abc");
  OpenOk(4, u"\\a.txt");
  EXPECT_EQ(SetInfo(4, 4, Bytes({1, 2, 3})).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetInfo(4, 14, Bytes({1})).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetInfo(4, 99, Le64(0)).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Query(4, 99, 100).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Read(4, 0, 70000, 3).status(), STATUS_INVALID_PARAMETER);
}

TEST_F(LoopTest, OpenSharesTokenAndCounts) {
  client->AddDirectory(u"/docs");
  client->AddFile(u"/docs/a.txt", "0123456789");
  Reply first = Create(1, u"\\docs\\a.txt", FILE_OPEN, 0x40, 0, 0x1111);
  EXPECT_EQ(first.status(), STATUS_SUCCESS);
  EXPECT_EQ(first.information(), FILE_OPENED);
  EXPECT_EQ(first.value(), 10u);
  EXPECT_EQ(first.DataWord(0), 0x1111u);
  EXPECT_EQ(first.DataByte(4), 0);
  EXPECT_EQ(first.DataByte(5), 1);
  EXPECT_EQ(first.DataByte(6), 1);
  EXPECT_EQ(first.DataWord(2), 0u);  // size high half

  Reply second = Create(2, u"\\docs\\a.txt", FILE_OPEN, 0x40, 0, 0x2222);
  EXPECT_EQ(second.DataWord(0), 0x1111u);
  EXPECT_EQ(second.DataByte(5), 2);
  EXPECT_EQ(second.DataByte(6), 2);

  // Cleanup lowers the handle count, close the use count; the token goes with the last use.
  EXPECT_EQ(Simple(MJ_CLEANUP, 1, 10).value(), kNoLocalCopy);
  Reply close1 = Simple(MJ_CLOSE, 1, 10);
  EXPECT_EQ(close1.DataWord(0), 1u);
  Release(2, 10);
  EXPECT_EQ(Entry(u"\\docs\\a.txt")->fileToken, 0u);
  EXPECT_EQ(Create(3, u"\\docs\\a.txt", FILE_OPEN, 0x40, 0, 0x3333).DataWord(0), 0x3333u);
}

TEST_F(LoopTest, NotFoundAfterOneListing) {
  client->AddDirectory(u"/docs");
  OpenOk(1, u"\\docs", 0x1);
  int before = client->listCalls;
  Reply missing = Create(2, u"\\docs\\missing.txt", FILE_OPEN);
  EXPECT_EQ(missing.status(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(missing.information(), FILE_DOES_NOT_EXIST);
  EXPECT_EQ(client->listCalls - before, 1);
  // Opening a folder as a file and a file as a folder.
  client->AddFile(u"/docs/f", "x");
  EXPECT_EQ(Create(3, u"\\docs", FILE_OPEN, 0x40).status(), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(Create(4, u"\\docs\\f", FILE_OPEN, 0x1).status(), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(Create(5, u"\\docs\\f", FILE_OPEN, 0x41).status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Create(6, u"\\docs\\f", FILE_CREATE).status(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(Create(7, u"\\docs\\Thumbs.db:encryptable", FILE_OPEN_IF).status(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Entry(u"\\docs\\Thumbs.db:encryptable"), nullptr);
}

TEST_F(LoopTest, ChangedServerCopyAtOpen) {
  client->AddFile(u"/a.txt", "abc", 130000000000000000ull);
  OpenOk(1, u"\\a.txt");
  Release(1, 3);
  // Within three seconds nothing is asked; later the properties are read again.
  int before = client->listCalls;
  EXPECT_EQ(Create(2, u"\\a.txt", FILE_OPEN).DataByte(4), 0);
  EXPECT_EQ(client->listCalls, before);
  Release(2, 3);
  client->AddFile(u"/a.txt", "abcdef", 130000000000000001ull);
  {
    std::lock_guard<std::recursive_mutex> guard(connection->requestLock);
    Entry(u"\\a.txt")->lastRefreshTime -= 10 * kFileTimeTicksPerSecond;
  }
  Reply changed = Create(3, u"\\a.txt", FILE_OPEN);
  EXPECT_EQ(changed.status(), STATUS_SUCCESS);
  EXPECT_EQ(changed.DataByte(4), 1);
  EXPECT_EQ(changed.value(), 6u);
  EXPECT_EQ(client->dropLocalCopyCalls, 1);
}

TEST_F(LoopTest, WriteFillsGapAndReadsBack) {
  Reply created = Create(1, u"\\new.bin", FILE_OPEN_IF, 0x40, FILE_WRITE_DATA);
  ASSERT_EQ(created.status(), STATUS_SUCCESS);
  EXPECT_EQ(created.information(), FILE_CREATED);
  EXPECT_EQ(created.value(), kUnknownSize);

  Reply w1 = Write(1, 0, "hello", 0, 0);
  EXPECT_EQ(w1.status(), STATUS_SUCCESS);
  EXPECT_EQ(w1.information(), 5u);
  EXPECT_EQ(w1.value(), 5u);
  // Offset 10 beyond the valid length 5: bytes 5..9 become zeros.
  Reply w2 = Write(1, 10, "world", 5, 5);
  EXPECT_EQ(w2.value(), 15u);
  EXPECT_EQ(w2.DataWord(0), 0u);
  Reply r = Read(1, 0, 20, 15);
  EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.information(), 20u);
  std::string got(reinterpret_cast<const char*>(r.bytes.data() + 20), 20);
  EXPECT_EQ(got, std::string("hello\0\0\0\0\0world\0\0\0\0\0", 20));

  // Offsets above 4 GiB travel in the high words; the new size's high half
  // comes back in data word 0.
  uint64_t far = (uint64_t{1} << 32) + 16;
  Reply w3 = Write(1, far, "xy", 15, 15);
  EXPECT_EQ(w3.status(), STATUS_SUCCESS);
  EXPECT_EQ(w3.value(), 18u);
  EXPECT_EQ(w3.DataWord(0), 1u);
  Reply r2 = Read(1, far, 2, far + 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r2.bytes.data() + 20), 2), "xy");

  Release(1, far + 2);
  ASSERT_EQ(client->uploads.size(), 1u);
  EXPECT_EQ(client->server[u"/new.bin"].uploadedSize, far + 2);
  auto& head = client->server[u"/new.bin"].content;
  EXPECT_EQ(std::string(head.begin(), head.begin() + 15), std::string("hello\0\0\0\0\0world", 15));
}

TEST_F(LoopTest, StrikeFlagsStopServerReads) {
  client->AddFile(u"/a.txt", "abc");
  OpenOk(1, u"\\a.txt");
  client->failGet = true;
  EXPECT_EQ(Read(1, 0, 3, 3).status(), STATUS_UNEXPECTED_NETWORK_ERROR);
  EXPECT_EQ(Entry(u"\\a.txt")->flags & kEntryStrikeBits, kEntryReadFailed);
  int calls = client->getCalls;
  client->failGet = false;
  // Failing at once, without asking the server.
  EXPECT_EQ(Read(1, 0, 3, 3).status(), STATUS_UNEXPECTED_NETWORK_ERROR);
  EXPECT_EQ(client->getCalls, calls);
  Release(1, 3);
  // Opening again finds the file "changed" through the strike and clears it.
  {
    std::lock_guard<std::recursive_mutex> guard(connection->requestLock);
    Entry(u"\\a.txt")->lastRefreshTime = 0;
  }
  EXPECT_EQ(Create(2, u"\\a.txt", FILE_OPEN).DataByte(4), 1);
  Reply ok = Read(2, 0, 3, 3);
  EXPECT_EQ(ok.status(), STATUS_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ok.bytes.data() + 20), 3), "abc");
}

TEST_F(LoopTest, DirectoryQueryPatternsContinuationAndOverflow) {
  client->AddDirectory(u"/d");
  client->AddFile(u"/d/a.txt", "1");
  client->AddFile(u"/d/b.txt", "22");
  client->AddFile(u"/d/c.doc", "333");
  client->AddDirectory(u"/d/sub");
  client->AddFile(u"/d/sub/z.txt", "4");
  OpenOk(1, u"\\d", 0x1);
  const std::u16string dir = Full(u"\\d");

  // Single entries with a pattern, one after the other.
  Reply s1 = Directory(1, dir + u"*<.txt", 12, 4096, SL_RETURN_SINGLE_ENTRY);
  EXPECT_EQ(s1.status(), STATUS_SUCCESS);
  EXPECT_EQ(s1.information(), 16u + 10u);
  EXPECT_EQ(s1.DataWord(2), 10u);  // FileNameLength in bytes
  EXPECT_EQ(s1.DataWide(12, 5), u"a.txt");
  Reply s2 = Directory(1, dir, 12, 4096, SL_RETURN_SINGLE_ENTRY);  // stored pattern holds
  EXPECT_EQ(s2.DataWide(12, 5), u"b.txt");
  Reply s3 = Directory(1, dir, 12, 4096, SL_RETURN_SINGLE_ENTRY);
  EXPECT_EQ(s3.status(), STATUS_NO_MORE_FILES);

  // A restart starts from the first entry again, from the listing the open
  // made (it is within the site's refresh period).
  int before = client->listCalls;
  Reply again = Directory(1, dir, 12, 4096, SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY);
  EXPECT_EQ(again.DataWide(12, 5), u"a.txt");
  EXPECT_EQ(client->listCalls, before);
  Release(1);

  // Several entries of class 1: 8-byte aligned, chained by NextEntryOffset.
  OpenOk(2, u"\\d", 0x1);
  Reply all = Directory(2, dir, 1, 4096);
  ASSERT_EQ(all.status(), STATUS_SUCCESS);
  size_t at = 0;
  std::vector<std::u16string> names;
  while (true) {
    uint32_t next = all.DataWord(at / 4);
    uint32_t nameBytes = all.DataWord(at / 4 + 15);
    names.push_back(all.DataWide(at + 64, nameBytes / 2));
    if (next == 0) break;
    EXPECT_EQ(next % 8, 0u);
    EXPECT_EQ(next, (72 + nameBytes + 7) / 8 * 8);
    at += next;
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a.txt", u"b.txt", u"c.doc", u"sub"}));
  EXPECT_EQ(all.information(), at + 72 + 6);
  EXPECT_EQ(all.Word(20 + 56), 0x80u);        // a.txt attributes
  EXPECT_EQ(Directory(2, dir, 1, 4096).status(), STATUS_NO_MORE_FILES);
  Release(2);

  // A buffer too small for the first entry; classes the loop does not fill.
  OpenOk(3, u"\\d", 0x1);
  Reply small = Directory(3, dir, 3, 50, SL_RETURN_SINGLE_ENTRY);
  EXPECT_EQ(small.status(), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(small.information(), 96u);
  EXPECT_EQ(Directory(3, dir, 1, 40).status(), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Directory(3, dir, 99, 4096).status(), STATUS_INVALID_INFO_CLASS);
  EXPECT_EQ(Directory(3, dir + std::u16string(u"*a/b", 4), 1, 4096).status(), STATUS_INVALID_PARAMETER);
  Release(3);

  // A first query with nothing to return.
  OpenOk(4, u"\\d", 0x1);
  EXPECT_EQ(Directory(4, dir + u"*.none", 1, 4096).status(), STATUS_NO_SUCH_FILE);
  Release(4);
}

TEST_F(LoopTest, RenameRefusalsAndMoves) {
  client->AddDirectory(u"/d");
  client->AddDirectory(u"/d/sub");
  client->AddFile(u"/d/sub/inner.txt", "i");
  client->AddFile(u"/d/a.txt", "a");
  client->AddFile(u"/d/b.txt", "b");
  OpenOk(1, u"\\d\\a.txt", 0x40, 0x10000);
  EXPECT_EQ(SetInfo(1, 10, Wide(u"c.txt"), 0x999).status(), STATUS_NOT_SAME_DEVICE);
  OpenOk(2, u"\\d", 0x1);
  EXPECT_EQ(SetInfo(1, 10, Wide(u"x\\y"), 2).status(), STATUS_OBJECT_NAME_INVALID);
  // b.txt exists: refused unless the caller asks to replace it.
  EXPECT_EQ(SetInfo(1, 10, Wide(u"b.txt"), 2, 0).status(), STATUS_OBJECT_NAME_COLLISION);
  Reply replaced = SetInfo(1, 10, Wide(u"b.txt"), 2, 1);
  EXPECT_EQ(replaced.status(), STATUS_SUCCESS);
  EXPECT_EQ(client->moves.back(), u"/dav/d/b.txt");
  EXPECT_EQ(Entry(u"\\d\\a.txt"), nullptr);
  EXPECT_NE(Entry(u"\\d\\b.txt"), nullptr);
  Release(1, 1);

  // A folder moves with what is cached below it; it never replaces a file.
  OpenOk(3, u"\\d\\sub", 0x1);
  ASSERT_NE(Entry(u"\\d\\sub\\inner.txt"), nullptr);
  EXPECT_EQ(SetInfo(3, 10, Wide(u"b.txt"), 2, 1).status(), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(SetInfo(3, 10, Wide(u"moved"), 2).status(), STATUS_SUCCESS);
  EXPECT_EQ(client->moves.back(), u"/dav/d/moved/");
  EXPECT_NE(Entry(u"\\d\\moved\\inner.txt"), nullptr);
  EXPECT_EQ(Entry(u"\\d\\sub\\inner.txt"), nullptr);
  Release(3);
  Release(2);
}

// The server tells case apart, the drive does not: a new name in a folder
// asked for under another spelling, and a rename onto another spelling of an
// existing name, take the server's spellings (else a second file appears).
TEST_F(LoopTest, NewNamesAndRenameTargetsTakeTheServersSpelling) {
  client->AddDirectory(u"/Docs");
  client->AddFile(u"/Docs/Old.txt", "old");
  client->AddFile(u"/Docs/a.txt", "a");
  Reply made = Create(1, u"\\docs\\new.txt", FILE_CREATE, 0x40, FILE_WRITE_DATA);
  ASSERT_EQ(made.status(), STATUS_SUCCESS);
  ASSERT_NE(Entry(u"\\docs\\new.txt"), nullptr);
  EXPECT_EQ(Entry(u"\\docs\\new.txt")->Path(), Full(u"\\Docs\\new.txt"));
  Write(1, 0, "n", 0);
  Release(1, 1);
  ASSERT_FALSE(client->uploads.empty());
  EXPECT_EQ(client->uploads.back(), u"/Docs/new.txt");

  OpenOk(2, u"\\Docs\\a.txt", 0x40, 0x10000);
  OpenOk(3, u"\\DOCS", 0x1);
  EXPECT_EQ(SetInfo(2, 10, Wide(u"OLD.TXT"), 3, 1).status(), STATUS_SUCCESS);
  EXPECT_EQ(client->moves.back(), u"/dav/Docs/Old.txt");
  ASSERT_NE(Entry(u"\\Docs\\old.txt"), nullptr);
  EXPECT_EQ(Entry(u"\\Docs\\old.txt")->Path(), Full(u"\\Docs\\Old.txt"));
  Release(2, 1);
  Release(3);

  // A rename to another spelling of its own name is a real change of case.
  OpenOk(4, u"\\Docs\\new.txt", 0x40, 0x10000);
  OpenOk(5, u"\\Docs", 0x1);
  EXPECT_EQ(SetInfo(4, 10, Wide(u"NEW.txt"), 5, 1).status(), STATUS_SUCCESS);
  EXPECT_EQ(client->moves.back(), u"/dav/Docs/NEW.txt");
  Release(4, 1);
  Release(5);
}

TEST_F(LoopTest, DeleteRules) {
  client->AddDirectory(u"/d");
  client->AddFile(u"/d/a.txt", "a");
  OpenOk(1, u"\\d", 0x1);
  EXPECT_EQ(SetInfo(1, 13, Bytes({1})).status(), STATUS_DIRECTORY_NOT_EMPTY);

  OpenOk(2, u"\\d\\a.txt", 0x40, 0x10000);
  EXPECT_EQ(SetInfo(2, 13, Bytes({1})).status(), STATUS_SUCCESS);
  // Once the child is delete-pending the folder may go too.
  EXPECT_EQ(SetInfo(1, 13, Bytes({1})).status(), STATUS_SUCCESS);
  Reply cleanup = Simple(MJ_CLEANUP, 2, 1);
  EXPECT_EQ(cleanup.status(), STATUS_SUCCESS);
  EXPECT_EQ(cleanup.value(), 0u);
  ASSERT_EQ(client->deletes.size(), 1u);
  EXPECT_EQ(client->deletes[0], u"/d/a.txt");
  Reply close = Simple(MJ_CLOSE, 2, 1);
  EXPECT_EQ(close.value(), 0u);
  EXPECT_EQ(Entry(u"\\d\\a.txt"), nullptr);
  // The deleted file is gone for an open by name.
  EXPECT_EQ(Create(3, u"\\d\\a.txt", FILE_OPEN).status(), STATUS_OBJECT_NAME_NOT_FOUND);

  // A failed server delete is reported at cleanup.
  client->AddFile(u"/keep.txt", "k");
  OpenOk(4, u"\\keep.txt", 0x40, 0x10000);
  EXPECT_EQ(SetInfo(4, 13, Bytes({1})).status(), STATUS_SUCCESS);
  client->failDelete = true;
  EXPECT_EQ(Simple(MJ_CLEANUP, 4, 1).status(), STATUS_CANNOT_DELETE);
  EXPECT_FALSE(Entry(u"\\keep.txt")->IsDeletePending());
  Simple(MJ_CLOSE, 4, 1);
  client->failDelete = false;
  Release(1);
}

TEST_F(LoopTest, PendingCleanupFinishedThroughCleanupDone) {
  client->AddFile(u"/a.txt", "abc");
  OpenOk(1, u"\\a.txt", 0x40, FILE_WRITE_DATA);
  std::thread finisher;
  client->closeAfterWriteResult = STATUS_PENDING;
  client->onPending = [&finisher](const ReplyArea& area) {
    uint32_t handle = area.connectionHandle, id = area.requestId;
    finisher = std::thread([handle, id] { FinishPendingRequest(handle, id, STATUS_CANCELLED); });
  };
  auto cleanup = Blank(MJ_CLEANUP, 1);
  cleanup->requestId = 0xABCD;
  Reply pending = Send(*cleanup);
  EXPECT_EQ(pending.status(), STATUS_PENDING);
  auto done = driver->WaitCleanupDone(1);
  finisher.join();
  ASSERT_EQ(done.size(), 1u);
  const std::vector<uint8_t>& rec = done[0].bytes;
  ASSERT_EQ(rec.size(), 40u);
  EXPECT_EQ(rec[0], 0xFF);
  EXPECT_EQ(Get32(rec.data(), 4), kConnectionHandle);
  for (size_t i = 8; i < 20; ++i) EXPECT_EQ(rec[i], 0) << i;
  EXPECT_EQ(Get32(rec.data(), 20), 0xABCDu);
  EXPECT_EQ(Get32(rec.data(), 24), STATUS_CANCELLED);
  EXPECT_EQ(Get32(rec.data(), 28), 0u);
  client->closeAfterWriteResult = STATUS_SUCCESS;
  Simple(MJ_CLOSE, 1, 3);
}

TEST_F(LoopTest, QueryInformationLayouts) {
  client->AddDirectory(u"/d");
  client->AddFile(u"/d/name.txt", "0123456789");
  OpenOk(1, u"\\d\\name.txt");
  Reply standard = Query(1, 5, 24, 10);
  EXPECT_EQ(standard.status(), STATUS_SUCCESS);
  EXPECT_EQ(standard.information(), 24u);
  EXPECT_EQ(Get64(standard.bytes.data() + 20, 0), 10u);
  EXPECT_EQ(Get64(standard.bytes.data() + 20, 8), 10u);
  EXPECT_EQ(standard.DataWord(4), 1u);
  EXPECT_EQ(standard.DataByte(20), 0);
  EXPECT_EQ(standard.DataByte(21), 0);

  Reply name = Query(1, 9, 100);
  EXPECT_EQ(name.information(), 16u + 6u);
  EXPECT_EQ(name.DataWord(0), 16u);
  EXPECT_EQ(name.DataWide(4, 8), u"name.txt");
  Reply all = Query(1, 18, 200);
  EXPECT_EQ(all.information(), 16u + 102u);
  EXPECT_EQ(all.DataWord(19), 0x10000000u);
  EXPECT_EQ(all.DataWord(24), 16u);
  EXPECT_EQ(all.DataWide(100, 8), u"name.txt");
  Reply cut = Query(1, 18, 50);
  EXPECT_EQ(cut.status(), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(cut.information(), 50u);
  Reply tag = Query(1, 35, 8);
  EXPECT_EQ(tag.DataWord(0), 0x80u);
  // Position: the value and its high half.
  Reply pos = SetInfo(1, 14, Le64((uint64_t{2} << 32) | 7));
  EXPECT_EQ(pos.value(), 7u);
  EXPECT_EQ(pos.DataWord(0), 2u);
}

// While a file is open the size its requests carry is the file's; an open by
// name carries none, so a probe that began before a write cannot take the
// file back to the size it saw.
TEST_F(LoopTest, AnOpenByNameLeavesTheSizeOtherOpensGaveTheFile) {
  client->AddFile(u"/grow.txt", "0123456789");
  OpenOk(1, u"\\grow.txt", 0x40, FILE_WRITE_DATA);
  EXPECT_EQ(Write(1, 10, "abcde", 15).status(), STATUS_SUCCESS);
  OpenOk(2, u"\\grow.txt", 0x40, 0x80);  // read attributes
  EXPECT_EQ(Write(1, 15, "fghij", 20).status(), STATUS_SUCCESS);
  Reply standard = Query(2, 5, 24, kSizeOfNoFcb);
  EXPECT_EQ(Get64(standard.bytes.data() + 20, 8), 20u);
  Release(1, 20);
  Release(2, kSizeOfNoFcb);
  EXPECT_EQ(Entry(u"\\grow.txt")->size, 20u);
  EXPECT_EQ(Create(3, u"\\grow.txt", FILE_OPEN).value(), 20u);
  Release(3, 20);

  // A cut by name that the file refuses leaves the size as it was.
  OpenOk(4, u"\\grow.txt", 0x40, FILE_WRITE_DATA);
  Entry(u"\\grow.txt")->flags |= kEntryReadOnly;
  auto cut = Blank(MJ_SET_INFORMATION, 4);
  SetFileSize(*cut, kSizeOfNoFcb);
  cut->Parameters[0] = 8;
  cut->Parameters[1] = 20;  // end of file
  std::vector<uint8_t> three = Le64(3);
  std::memcpy(cut->data, three.data(), 8);
  cut->dataLength = 8;
  EXPECT_EQ(Send(*cut).status(), STATUS_ACCESS_DENIED);
  Release(4, kSizeOfNoFcb);
  EXPECT_EQ(Entry(u"\\grow.txt")->size, 20u);
}

TEST_F(LoopTest, ContentPushAndEndOfFile) {
  std::string content(70000, 'q');
  content[65535] = 'L';
  content[65536] = 'M';
  client->server[u"/big.bin"] = FakeNode{false, std::vector<uint8_t>(content.begin(), content.end()), 1};
  OpenOk(1, u"\\big.bin", 0x40, FILE_WRITE_DATA);
  // A piece of exactly 65,536 bytes is fetched, not taken for the end.
  uint32_t full = 65536;
  std::vector<uint8_t> lengthWord(4);
  std::memcpy(lengthWord.data(), &full, 4);
  int gets = client->getCalls;
  Reply p1 = Push(1, 65536, 0, lengthWord);
  EXPECT_EQ(p1.status(), STATUS_SUCCESS);
  EXPECT_EQ(p1.information(), 65536u);
  EXPECT_EQ(client->getCalls, gets + 1);
  Reply p2 = Push(1, 0, 65536, std::vector<uint8_t>(content.begin() + 65536, content.end()));
  EXPECT_EQ(p2.information(), 70000u - 65536u);
  EXPECT_FALSE(Entry(u"\\big.bin")->HasLocalCopy());
  Reply end = Push(1, kContentPushEnd, 0, {});
  EXPECT_EQ(end.status(), STATUS_SUCCESS);
  EXPECT_TRUE(Entry(u"\\big.bin")->HasLocalCopy());
  Reply r = Read(1, 65535, 2, 70000);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.bytes.data() + 20), 2), "LM");
  Release(1, 70000);

  // Cutting a file without a local copy reaches the server at cleanup.
  client->AddFile(u"/cut.txt", "0123456789");
  OpenOk(2, u"\\cut.txt", 0x40, FILE_WRITE_DATA);
  Reply eof = SetInfo(2, 20, Le64(4));
  EXPECT_EQ(eof.status(), STATUS_SUCCESS);
  EXPECT_EQ(eof.value(), 4u);
  Release(2, 4);
  auto& cut = client->server[u"/cut.txt"].content;
  EXPECT_EQ(std::string(cut.begin(), cut.end()), "0123");
}

TEST_F(LoopTest, OverwriteOfExistingFileTruncates) {
  client->AddFile(u"/a.txt", "old contents");
  Reply over = Create(1, u"\\a.txt", FILE_OVERWRITE, 0x40, FILE_WRITE_DATA);
  EXPECT_EQ(over.status(), STATUS_SUCCESS);
  EXPECT_EQ(over.information(), FILE_OVERWRITTEN);
  EXPECT_EQ(over.value(), kUnknownSize);
  Release(1, 0);
  EXPECT_TRUE(client->server[u"/a.txt"].content.empty());
  EXPECT_EQ(Create(2, u"\\none.txt", FILE_OVERWRITE).status(), STATUS_OBJECT_NAME_NOT_FOUND);
}

// A client that makes a created file only at its first upload: the driver is
// told so (it must clean up even an unwritten handle), the client learns which
// names were unknown, and a name another client took meanwhile fails the
// cleanup as a collision rather than a cancelled upload.
TEST_F(LoopTest, CreatesAClientMakesAtTheFirstUpload) {
  client->deferCreate = true;
  client->AddFile(u"/old.txt", "old");
  Reply made = Create(1, u"\\new.txt", FILE_CREATE, 0x40, FILE_WRITE_DATA);
  ASSERT_EQ(made.status(), STATUS_SUCCESS);
  EXPECT_EQ(made.DataByte(kCreateReplyMadeAtCleanup), 1);
  EXPECT_TRUE(Entry(u"\\new.txt")->flags & kEntryMustBeNew);
  Reply emptied = Create(2, u"\\old.txt", FILE_OVERWRITE_IF, 0x40, FILE_WRITE_DATA);
  EXPECT_EQ(emptied.DataByte(kCreateReplyMadeAtCleanup), 1);
  EXPECT_FALSE(Entry(u"\\old.txt")->flags & kEntryMustBeNew) << "the name was the server's already";

  client->closeAfterWriteResult = STATUS_OBJECT_NAME_COLLISION;
  EXPECT_EQ(Simple(MJ_CLEANUP, 1).status(), STATUS_OBJECT_NAME_COLLISION);
  client->closeAfterWriteResult = STATUS_UNEXPECTED_NETWORK_ERROR;
  EXPECT_EQ(Simple(MJ_CLEANUP, 2).status(), STATUS_CANCELLED);
  client->closeAfterWriteResult = STATUS_SUCCESS;

  client->deferCreate = false;
  Reply plain = Create(3, u"\\made.txt", FILE_CREATE, 0x40, FILE_WRITE_DATA);
  EXPECT_EQ(plain.DataByte(kCreateReplyMadeAtCleanup), 0);
  EXPECT_FALSE(Entry(u"\\made.txt")->flags & kEntryMustBeNew) << "made at create: nothing to guard";
}

// The look-up, open and first query of one listing follow each other within
// milliseconds: the folder is listed from the server once for all of them,
// and a restart or a second listing within the site's refresh period takes
// the same children.
TEST_F(LoopTest, OneListingServesTheOpensAndQueriesOfAFolderWithinItsPeriod) {
  client->AddDirectory(u"/w");
  client->AddFile(u"/w/a.txt", "1");
  OpenOk(1, u"\\w", 0x1);
  Release(1);
  int before = client->listCalls;
  OpenOk(2, u"\\w", 0x1);
  Reply first = Directory(2, Full(u"\\w"), 12, 4096, SL_RESTART_SCAN);
  EXPECT_EQ(first.status(), STATUS_SUCCESS);
  EXPECT_EQ(first.DataWide(12, 5), u"a.txt");
  Reply again = Directory(2, Full(u"\\w"), 12, 4096, SL_RESTART_SCAN);
  EXPECT_EQ(again.status(), STATUS_SUCCESS);
  Release(2);
  OpenOk(3, u"\\w", 0x1);
  EXPECT_EQ(Directory(3, Full(u"\\w"), 12, 4096, SL_RESTART_SCAN).status(), STATUS_SUCCESS);
  Release(3);
  EXPECT_EQ(client->listCalls, before) << "listed by the first open, within the period";
}

// Names of a folder query, one per entry, after a query from the start.
std::vector<std::u16string> NamesOf(const Reply& reply) {
  std::vector<std::u16string> names;
  if (reply.status() != STATUS_SUCCESS) return names;
  size_t at = 0;
  for (;;) {
    uint32_t bytes = reply.Word(20 + at + 8);
    names.push_back(reply.DataWide(at + 12, bytes / 2));
    uint32_t next = reply.Word(20 + at);
    if (next == 0) break;
    at += next;
  }
  return names;
}

// A change on the server shows once the folder's listing is older than the
// site's refresh period ("Refresh" minutes, 0 meaning 5), and at once after
// a change made through the drive in that folder. The listing's age is set
// back instead of waiting.
TEST_F(LoopTest, AListingIsKeptForTheRefreshPeriodAndGivenUpByAChangeThroughTheDrive) {
  constexpr FileTime kMinute = 60 * kFileTimeTicksPerSecond;
  client->AddDirectory(u"/p");
  client->AddFile(u"/p/a.txt", "1");
  std::u16string folder = ServerPathOf(*connection, Full(u"\\p"));
  auto listings = [&] { return std::count(client->listedPaths.begin(), client->listedPaths.end(), folder); };
  auto list = [this] {
    OpenOk(9, u"\\p", 0x1);
    Reply r = Directory(9, Full(u"\\p"), 12, 4096, SL_RESTART_SCAN);
    Release(9);
    return NamesOf(r);
  };
  auto age = [this](FileTime by) { Entry(u"\\p")->childrenListedTime -= by; };
  using Names = std::vector<std::u16string>;
  ASSERT_EQ(list(), Names{u"a.txt"});
  ASSERT_EQ(listings(), 1);

  client->AddFile(u"/p/b.txt", "2");  // made by someone else
  site.refreshMinutes = 0;            // 5 minutes
  age(4 * kMinute + 59 * kFileTimeTicksPerSecond);
  EXPECT_EQ(list(), Names{u"a.txt"});
  EXPECT_EQ(listings(), 1);
  age(kFileTimeTicksPerSecond);
  EXPECT_EQ(list(), (Names{u"a.txt", u"b.txt"}));
  EXPECT_EQ(listings(), 2);

  // A period of its own: two minutes.
  site.refreshMinutes = 2;
  client->AddFile(u"/p/c.txt", "3");
  age(kMinute);
  EXPECT_EQ(list().size(), 2u);
  age(kMinute);
  EXPECT_EQ(list().size(), 3u);
  EXPECT_EQ(listings(), 3);

  // A file removed through the drive: the next query asks the server, which
  // also shows what others made meanwhile; the one after does not.
  client->AddFile(u"/p/d.txt", "4");
  OpenOk(4, u"\\p\\a.txt", 0x40, 0x10000);
  ASSERT_EQ(SetInfo(4, 13, Bytes({1})).status(), STATUS_SUCCESS);
  Release(4);
  EXPECT_EQ(list(), (Names{u"b.txt", u"c.txt", u"d.txt"}));
  EXPECT_EQ(list().size(), 3u);
  EXPECT_EQ(listings(), 4);
}

TEST_F(LoopTest, ListingExpiryFollowsTheClockAndTheSitesPeriod) {
  FileEntry folder;
  folder.flags = kEntryDirectory;
  constexpr FileTime kNow = 133000000000000000ull, kSecond = kFileTimeTicksPerSecond;
  site.refreshMinutes = 0;
  EXPECT_TRUE(ListingExpired(*connection, folder, kNow)) << "never listed";
  folder.childrenListedTime = kNow - 299 * kSecond;
  EXPECT_FALSE(ListingExpired(*connection, folder, kNow));
  folder.childrenListedTime = kNow - 300 * kSecond;
  EXPECT_TRUE(ListingExpired(*connection, folder, kNow)) << "0 means 5 minutes, not 1";
  site.refreshMinutes = 1;
  folder.childrenListedTime = kNow - 59 * kSecond;
  EXPECT_FALSE(ListingExpired(*connection, folder, kNow));
  folder.childrenListedTime = kNow + kSecond;
  EXPECT_TRUE(ListingExpired(*connection, folder, kNow)) << "a clock set back lists again";
  folder.childrenListedTime = kNow;
  ListingChanged(&folder);
  EXPECT_TRUE(ListingExpired(*connection, folder, kNow));
  site.refreshMinutes = 0xFFFFFFFF;  // a hostile registry value does not overflow the period
  folder.childrenListedTime = kNow - 1;
  EXPECT_FALSE(ListingExpired(*connection, folder, kNow));
}

// A folder listed minutes ago may have got files on the server since: its
// removal asks the server first, so that a non-empty folder is never deleted
// with everything in it.
TEST_F(LoopTest, RemovingAFolderAsksTheServerWhetherItIsEmpty) {
  client->AddDirectory(u"/r");
  OpenOk(1, u"\\r", 0x1);
  EXPECT_EQ(Directory(1, Full(u"\\r"), 12, 4096, SL_RESTART_SCAN).status(), STATUS_NO_SUCH_FILE);
  Release(1);
  Entry(u"\\r")->childrenListedTime -= 60 * kFileTimeTicksPerSecond;
  client->AddFile(u"/r/theirs.txt", "keep me");
  OpenOk(2, u"\\r", 0x1);
  Reply refused = SetInfo(2, 13, Bytes({1}));
  EXPECT_EQ(refused.status(), STATUS_DIRECTORY_NOT_EMPTY);
  Release(2);
  // A server that does not answer cannot say a folder is empty.
  client->AddDirectory(u"/q");
  OpenOk(3, u"\\q", 0x1);
  Entry(u"\\q")->childrenListedTime -= 60 * kFileTimeTicksPerSecond;
  client->unreachable = true;
  EXPECT_EQ(SetInfo(3, 13, Bytes({1})).status(), STATUS_UNEXPECTED_NETWORK_ERROR);
  client->unreachable = false;
  Release(3);
  EXPECT_TRUE(client->deletes.empty());
  EXPECT_EQ(client->server.count(u"/q"), 1u);
}

// Only an upload nobody waits for tells its end: a cleanup the driver sends
// from a file's last release, or a close that still uploads. A cleanup a
// program's close(2) waits for returns its result to that program instead.
TEST_F(LoopTest, UploadsNobodyWaitsForReportTheirEnd) {
  std::vector<UploadNotice> notices;
  connection->hooks.uploadEnded = [&notices](Connection&, const UploadNotice& n) { notices.push_back(n); };
  auto written = [this](uint32_t fileObject, const std::u16string& below) {
    ASSERT_EQ(Create(fileObject, below, FILE_OVERWRITE_IF, 0x40, FILE_WRITE_DATA).status(), STATUS_SUCCESS);
    ASSERT_EQ(Write(fileObject, 0, "data", 0, 0).status(), STATUS_SUCCESS);
  };
  auto cleanup = [this](uint32_t fileObject, uint32_t word0) {
    auto r = Blank(MJ_CLEANUP, fileObject);
    r->Parameters[0] = word0;
    r->fileValue = 4;
    return Send(*r);
  };

  written(1, u"\\watched.txt");
  EXPECT_EQ(cleanup(1, 0).status(), STATUS_SUCCESS);
  EXPECT_EQ(Simple(MJ_CLOSE, 1, 4).status(), STATUS_SUCCESS);
  EXPECT_TRUE(notices.empty());

  written(2, u"\\released.txt");
  EXPECT_EQ(cleanup(2, kCleanupNobodyWaits).status(), STATUS_SUCCESS);
  EXPECT_EQ(Simple(MJ_CLOSE, 2, 4).status(), STATUS_SUCCESS);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].file, u"X:\\released.txt");
  EXPECT_FALSE(notices[0].failed);

  // A failed one carries what the client recorded on the entry.
  written(3, u"\\lost.txt");
  Entry(u"\\lost.txt")->uploadFailure =
      std::make_unique<UploadFailure>(UploadFailure{u"Service Unavailable", "/backup/lost.txt.1"});
  client->closeAfterWriteResult = STATUS_UNEXPECTED_NETWORK_ERROR;
  EXPECT_EQ(cleanup(3, kCleanupNobodyWaits).status(), STATUS_CANCELLED);
  client->closeAfterWriteResult = STATUS_SUCCESS;
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_TRUE(notices[1].failed);
  EXPECT_EQ(notices[1].file, u"X:\\lost.txt");
  EXPECT_EQ(notices[1].errorText, u"Service Unavailable");
  EXPECT_EQ(notices[1].backupPath, "/backup/lost.txt.1");
  // The close still holds the written copy: it tries again, and tells.
  EXPECT_EQ(Simple(MJ_CLOSE, 3, 4).status(), STATUS_SUCCESS);
  ASSERT_EQ(notices.size(), 3u);
  EXPECT_FALSE(notices[2].failed);

  // An offline drive stores into its cache: nothing to tell.
  site.flags |= kSiteOffline;
  written(4, u"\\cached.txt");
  EXPECT_EQ(cleanup(4, kCleanupNobodyWaits).status(), STATUS_SUCCESS);
  Release(4, 4);
  site.flags &= ~kSiteOffline;
  EXPECT_EQ(notices.size(), 3u);
}

TEST_F(LoopTest, ShellCommands) {
  client->AddDirectory(u"/d");
  client->AddFile(u"/d/a.txt", "abc");
  OpenOk(1, u"\\d\\a.txt");
  auto command = [this](uint32_t code, const std::u16string& target, const std::u16string& dest) {
    auto r = Blank(MJ_DEVICE_CONTROL, 0);
    r->Parameters[2] = code;
    InternalRequest in{};
    in.marker = 0xFF;
    std::memcpy(reinterpret_cast<uint8_t*>(&in) + 248, target.data(), target.size() * 2);
    std::memcpy(reinterpret_cast<uint8_t*>(&in) + 768, dest.data(), dest.size() * 2);
    std::memcpy(r->data, &in, sizeof in);
    r->dataLength = sizeof in;
    return Send(*r);
  };
  Reply state = command(0x1420C4, u"X:\\d\\a.txt", u"");
  EXPECT_EQ(state.status(), STATUS_SUCCESS);
  EXPECT_EQ(state.information(), 1296u);
  EXPECT_EQ(state.DataWord(1288 / 4), 0u);
  EXPECT_EQ(state.DataWide(248, 3), u"   ");
  Reply lock = command(0x142004, u"X:\\d\\a.txt", u"");
  EXPECT_EQ(lock.DataWord(1288 / 4), 0u);
  EXPECT_EQ(command(0x1420C4, u"X:\\d\\a.txt", u"").DataWide(248, 1), u"L");
  EXPECT_EQ(command(0x1420C4, u"X:\\d\\gone.txt", u"").DataWord(1288 / 4), 0xFFFFFFFFu);
  EXPECT_EQ(command(0x142000, u"X:\\d\\gone.txt", u"").status(), STATUS_INVALID_DEVICE_REQUEST);

  Reply copy = command(0x142008, u"X:\\d\\a.txt", u"X:\\d\\copy.txt");
  EXPECT_EQ(copy.status(), STATUS_SUCCESS);
  EXPECT_EQ(client->lastCopyDestination, u"/dav/d/copy.txt");
  EXPECT_EQ(copy.DataWide(0, 14), std::u16string(u"X:\\d\\copy.txt\0", 14));
  FileEntry* made = Entry(u"\\d\\copy.txt");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->parent, Entry(u"\\d"));

  Reply other = command(0x142050, u"X:\\d\\a.txt", u"");
  EXPECT_EQ(other.status(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(client->lastControlCode, 0x142050u);
  Release(1);
}

TEST_F(LoopTest, ScriptedSessionEndToEnd) {
  // mkdir, create, write, read back, stat, list, rename, delete, as a
  // program's calls arrive at the agent.
  Reply mk = Create(1, u"\\work", FILE_CREATE, 0x1);
  ASSERT_EQ(mk.status(), STATUS_SUCCESS);
  EXPECT_EQ(mk.information(), FILE_CREATED);
  EXPECT_TRUE(client->server[u"/work"].directory);
  Release(1);

  Reply file = Create(2, u"\\work\\notes.txt", FILE_CREATE, 0x40, FILE_WRITE_DATA);
  ASSERT_EQ(file.status(), STATUS_SUCCESS);
  EXPECT_EQ(Write(2, 0, "first line\n", 0, 0).value(), 11u);
  Reply back = Read(2, 0, 11, 11);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.bytes.data() + 20), 11), "first line\n");
  Reply info = Query(2, 34, 56, 11);
  EXPECT_EQ(info.information(), 56u);
  EXPECT_EQ(Get64(info.bytes.data() + 20, 40), 11u);  // end of file
  Release(2, 11);
  EXPECT_EQ(client->uploads, std::vector<std::u16string>{u"/work/notes.txt"});

  OpenOk(3, u"\\work", 0x1);
  Reply list = Directory(3, Full(u"\\work"), 3, 4096);
  EXPECT_EQ(list.status(), STATUS_SUCCESS);
  EXPECT_EQ(list.DataWord(15), 18u);
  EXPECT_EQ(list.DataWide(94, 9), u"notes.txt");

  OpenOk(4, u"\\work\\notes.txt", 0x40, 0x10000);
  EXPECT_EQ(SetInfo(4, 10, Wide(u"renamed.txt"), 3).status(), STATUS_SUCCESS);
  Release(4, 11);
  EXPECT_EQ(client->server.count(u"/work/renamed.txt"), 1u);

  OpenOk(5, u"\\work\\renamed.txt", 0x40 | FILE_DELETE_ON_CLOSE, 0x10000);
  Release(5, 11);
  EXPECT_EQ(client->server.count(u"/work/renamed.txt"), 0u);
  EXPECT_EQ(Directory(3, Full(u"\\work"), 3, 4096, SL_RESTART_SCAN).status(), STATUS_NO_MORE_FILES);
  Release(3);
}

TEST_F(LoopTest, RenameWorksWhileOpenElsewhere) {
  client->AddDirectory(u"/d");
  client->AddFile(u"/d/a.txt", "a");
  OpenOk(1, u"\\d", 0x1);
  OpenOk(2, u"\\d\\a.txt", 0x40, 0x10000);
  OpenOk(3, u"\\d\\a.txt");
  // As on a local disk, another open of the file does not stop the rename;
  // that open follows the file to its new name.
  EXPECT_EQ(SetInfo(2, 10, Wide(u"b.txt"), 1).status(), STATUS_SUCCESS);
  EXPECT_EQ(client->server.count(u"/d/b.txt"), 1u);
  EXPECT_EQ(Read(3, 0, 1, 1).status(), STATUS_SUCCESS);
  Release(3, 1);
  Release(2, 1);
  Release(1);
}

TEST_F(LoopTest, RemovalWhileOpenFreesTheNameAtOnce) {
  client->AddFile(u"/f", "a");
  OpenOk(1, u"\\f", 0x40, 0x3);       // a program's descriptor
  OpenOk(2, u"\\f", 0x40, 0x10000);   // the removal
  EXPECT_EQ(SetInfo(2, 13, Bytes({1})).status(), STATUS_SUCCESS);
  EXPECT_EQ(Simple(MJ_CLEANUP, 2, 1).status(), STATUS_SUCCESS);
  ASSERT_EQ(client->deletes.size(), 1u);  // gone from the server now, not at the last close
  EXPECT_EQ(Entry(u"\\f"), nullptr);
  Simple(MJ_CLOSE, 2, 1);

  // A new file of the name is an entry of its own.
  EXPECT_EQ(Create(3, u"\\f", FILE_OVERWRITE_IF, 0x40, 0x2, 0x77).status(), STATUS_SUCCESS);
  FileEntry* fresh = Entry(u"\\f");
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(Write(3, 0, "second", 0).status(), STATUS_SUCCESS);
  // The removed file's descriptor reaches nothing, and its end deletes nothing.
  EXPECT_EQ(Write(1, 2, "X", 1).status(), STATUS_FILE_DELETED);
  EXPECT_EQ(Push(1, 0, 0, Bytes({'Y'})).status(), STATUS_FILE_DELETED);
  Release(1, 1);
  EXPECT_EQ(client->deletes.size(), 1u);
  EXPECT_EQ(Entry(u"\\f"), fresh);
  Release(3, 6);
  ASSERT_EQ(client->server.count(u"/f"), 1u);
  EXPECT_EQ(std::string(client->server[u"/f"].content.begin(), client->server[u"/f"].content.end()),
            "second");
}

TEST_F(LoopTest, RenameReplacesOpenFilesAndEmptyFoldersOnly) {
  client->AddDirectory(u"/d");
  client->AddFile(u"/d/a.txt", "a");
  client->AddFile(u"/d/b.txt", "b");
  client->AddDirectory(u"/d/empty");
  client->AddDirectory(u"/d/full");
  client->AddFile(u"/d/full/x", "x");
  client->AddDirectory(u"/d/src");
  OpenOk(1, u"\\d", 0x1);
  OpenOk(2, u"\\d\\b.txt");  // the replaced file stays open
  OpenOk(3, u"\\d\\a.txt", 0x40, 0x10000);
  EXPECT_EQ(SetInfo(3, 10, Wide(u"b.txt"), 1, 1).status(), STATUS_SUCCESS);
  EXPECT_EQ(SetInfo(3, 10, Wide(u"empty"), 1, 1).status(), STATUS_FILE_IS_A_DIRECTORY);
  Release(3, 1);
  // The replaced file's descriptor reads nothing of the new one and deletes nothing.
  EXPECT_EQ(Read(2, 0, 1, 1).status(), STATUS_FILE_DELETED);
  Release(2, 1);
  EXPECT_TRUE(client->deletes.empty());
  EXPECT_EQ(client->server.count(u"/d/b.txt"), 1u);

  OpenOk(4, u"\\d\\src", 0x1, 0x10000);
  EXPECT_EQ(SetInfo(4, 10, Wide(u"full"), 1, 1).status(), STATUS_DIRECTORY_NOT_EMPTY);
  EXPECT_EQ(SetInfo(4, 10, Wide(u"b.txt"), 1, 1).status(), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(SetInfo(4, 10, Wide(u"empty"), 1, 0).status(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(SetInfo(4, 10, Wide(u"empty"), 1, 1).status(), STATUS_SUCCESS);
  EXPECT_EQ(client->moves.back(), u"/dav/d/empty/");
  EXPECT_EQ(client->server.count(u"/d/src"), 0u);
  Release(4);
  Release(1);
}

TEST_F(LoopTest, NamesTheClientCannotCarryAreRefusedBeforeAnythingIsMade) {
  client->AddDirectory(u"/d");
  client->longestPath = 20;  // "/dav/d/" and 13 more
  EXPECT_EQ(Create(1, u"\\d\\abcdefghijklmn", FILE_CREATE).status(), STATUS_NAME_TOO_LONG);
  EXPECT_EQ(Create(2, u"\\d\\abcdefghijklmn", FILE_CREATE, 0x1).status(), STATUS_NAME_TOO_LONG);
  EXPECT_EQ(client->server.count(u"/d/abcdefghijklmn"), 0u);
  EXPECT_EQ(Entry(u"\\d\\abcdefghijklmn"), nullptr);
  Reply made = Create(3, u"\\d\\abc", FILE_CREATE);
  EXPECT_EQ(made.status(), STATUS_SUCCESS);
  EXPECT_EQ(SetInfo(3, 10, Wide(u"abcdefghijklmn"), 0).status(), STATUS_NOT_SAME_DEVICE);
  OpenOk(4, u"\\d", 0x1);
  EXPECT_EQ(SetInfo(3, 10, Wide(u"abcdefghijklmn"), 4).status(), STATUS_NAME_TOO_LONG);
  Release(3);
  Release(4);
}

TEST_F(LoopTest, AServerThatDoesNotAnswerIsNoMissingName) {
  client->AddDirectory(u"/d");
  client->AddFile(u"/d/a.txt", "a");
  client->unreachable = true;
  EXPECT_EQ(Create(1, u"\\d\\a.txt", FILE_OPEN).status(), STATUS_UNEXPECTED_NETWORK_ERROR);
  EXPECT_EQ(Create(2, u"\\d", FILE_OPEN, 0x1).status(), STATUS_UNEXPECTED_NETWORK_ERROR);
  client->unreachable = false;
  OpenOk(3, u"\\d\\a.txt");
  Release(3, 1);
}

}  // namespace
}  // namespace hvm::test
