// Name rules of the create path, the record images the driver writes and
// reads, the status mapping and the trace line format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "driver/forward.h"
#include "driver/info_records.h"
#include "driver/invalidate_record.h"
#include "driver/namespace.h"
#include "driver/requests.h"
#include "driver/status_errno.h"
#include "driver/trace.h"

namespace hvm::driver {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(OwnFolders, AMadeFolderKnowsItsMissingAsciiNamesForAWhile) {
  Node folder;
  folder.kind = NodeKind::Remote;
  Clock::time_point now = Clock::now();
  EXPECT_FALSE(OwnFolderKnowsMissing(folder, "a.txt", now));  // not made here
  MarkOwnFolder(folder);
  now = Clock::now();
  EXPECT_TRUE(OwnFolderKnowsMissing(folder, "a.txt", now));
  NoteOwnName(folder, "a.txt");
  NoteOwnName(folder, "\xc3\xa4.txt");
  // The agent's names compare without regard to case.
  EXPECT_FALSE(OwnFolderKnowsMissing(folder, "a.txt", now));
  EXPECT_FALSE(OwnFolderKnowsMissing(folder, "A.TXT", now));
  EXPECT_TRUE(OwnFolderKnowsMissing(folder, "b.txt", now));
  // Any name beyond ASCII is the agent's to answer, noted or not.
  EXPECT_FALSE(OwnFolderKnowsMissing(folder, "\xc3\xa4.txt", now));
  EXPECT_FALSE(OwnFolderKnowsMissing(folder, "\xc3\x84.txt", now));
  EXPECT_FALSE(OwnFolderKnowsMissing(folder, "b\xc3\xa4", now));
  // Trusted for a while after the last change made here, not for ever.
  EXPECT_FALSE(OwnFolderKnowsMissing(folder, "b.txt", Clock::now() + kOwnFolderTrust));
  NoteOwnName(folder, "c.txt");
  EXPECT_TRUE(OwnFolderKnowsMissing(folder, "b.txt", Clock::now() + kOwnFolderTrust / 2));
  // A folder removed meanwhile, or one handed back, answers nothing itself.
  folder.detached = true;
  EXPECT_FALSE(OwnFolderKnowsMissing(folder, "b.txt", Clock::now()));
  folder.detached = false;
  DropOwnFolder(folder);
  EXPECT_FALSE(OwnFolderKnowsMissing(folder, "b.txt", Clock::now()));
  NoteOwnName(folder, "d.txt");  // no longer noted
  EXPECT_TRUE(folder.ownNames.empty());
}

TEST(OwnFolders, AFolderWithTooManyNamesIsHandedBackToTheAgent) {
  Node folder;
  MarkOwnFolder(folder);
  for (size_t i = 0; i < kOwnFolderMaxNames; ++i) {
    std::string name = std::to_string(i);  // "n" + to_string() trips GCC 12's -Wrestrict at -O3
    NoteOwnName(folder, name.insert(0, 1, 'n'));
  }
  EXPECT_TRUE(OwnFolderKnowsMissing(folder, "other", Clock::now()));
  NoteOwnName(folder, "one-more");
  EXPECT_FALSE(folder.ownFolder);
  EXPECT_FALSE(OwnFolderKnowsMissing(folder, "other", Clock::now()));
}

TEST(NameRules, UserFoldersPipesWildcardsAndTheSuspendName) {
  uid_t uid = 0;
  EXPECT_TRUE(ParseUserFolder("S-1-22-1-1000", uid));
  EXPECT_EQ(uid, 1000u);
  EXPECT_TRUE(ParseUserFolder("S-1-22-1-0", uid));
  EXPECT_EQ(uid, 0u);
  EXPECT_FALSE(ParseUserFolder("S-1-22-1-", uid));
  EXPECT_FALSE(ParseUserFolder("S-1-22-1-01", uid));          // one spelling per user
  EXPECT_FALSE(ParseUserFolder("S-1-22-1-99999999999", uid));  // beyond 32 bits
  EXPECT_FALSE(ParseUserFolder("S-1-22-1-12x", uid));
  EXPECT_FALSE(ParseUserFolder("S-1-5-21-1", uid));

  EXPECT_TRUE(IsPipeOrIpcName(u"\\QUENLODE\\IPC$"));
  EXPECT_TRUE(IsPipeOrIpcName(u"\\quenlode\\ipc$"));
  EXPECT_TRUE(IsPipeOrIpcName(u"\\QUENLODE\\PIPE\\srvsvc"));
  EXPECT_FALSE(IsPipeOrIpcName(u"\\QUENLODE\\PIPE\\"));  // ends in a backslash
  EXPECT_FALSE(IsPipeOrIpcName(u"\\QUENLODE\\PIPE\\a\\b"));
  EXPECT_FALSE(IsPipeOrIpcName(u"\\QUENLODE\\site1\\IPC$"));
  EXPECT_FALSE(IsPipeOrIpcName(u"IPC$"));

  EXPECT_TRUE(HasWildcards(u"a*b"));
  EXPECT_TRUE(HasWildcards(u"what?"));
  EXPECT_TRUE(HasWildcards(u"<dos>"));
  EXPECT_TRUE(HasWildcards(u"quote\""));
  EXPECT_FALSE(HasWildcards(u"plain name.txt"));

  EXPECT_TRUE(UnusableComponent(u"a\\b"));
  EXPECT_TRUE(UnusableComponent(std::u16string(u"a\0b", 3)));
  EXPECT_TRUE(UnusableComponent(u".."));
  EXPECT_FALSE(UnusableComponent(u"..."));

  EXPECT_TRUE(IsSuspendName(u"\\QUENLODE\\sp\\suspend"));
  EXPECT_TRUE(IsSuspendName(u"\\QUENLODE\\sp\\suspended"));
  EXPECT_FALSE(IsSuspendName(u"\\QUENLODE\\sp\\suspen"));
  EXPECT_FALSE(IsSuspendName(u"\\QUENLODE\\SP\\SUSPEND"));
}

TEST(NameRules, OnlyWellFormedUtf8NamesAreUsable) {
  EXPECT_TRUE(IsWellFormedUtf8("plain"));
  EXPECT_TRUE(IsWellFormedUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  EXPECT_TRUE(IsWellFormedUtf8(""));
  EXPECT_FALSE(IsWellFormedUtf8("caf\xe9"));              // Latin-1
  EXPECT_FALSE(IsWellFormedUtf8("caf\xc3"));              // cut short
  EXPECT_FALSE(IsWellFormedUtf8("\xc0\xaf"));             // overlong "/"
  EXPECT_FALSE(IsWellFormedUtf8("\xe0\x80\xaf"));         // overlong "/"
  EXPECT_FALSE(IsWellFormedUtf8("\xed\xa0\x80"));         // a surrogate
  EXPECT_FALSE(IsWellFormedUtf8("\xf4\x90\x80\x80"));     // past U+10FFFF
  EXPECT_FALSE(IsWellFormedUtf8("\x80"));                 // a lone continuation byte
  EXPECT_FALSE(IsWellFormedUtf8("\xff"));
}

TEST(NameTable, FullNamesFollowRenamesOfFolders) {
  Namespace names;
  Node* root = names.Get(kRootIno);
  Node* user = names.Remember(*root, "S-1-22-1-5", NodeKind::UserFolder, 5, nullptr);
  Node* server = names.Remember(*user, "QUENLODE", NodeKind::ServerFolder, 5, nullptr);
  Node* site = names.Remember(*server, "site1", NodeKind::ConnectionRoot, 5, nullptr);
  Node* docs = names.Remember(*site, "docs", NodeKind::Remote, 5, nullptr);
  Node* file = names.Remember(*docs, "a.txt", NodeKind::Remote, 5, nullptr);
  Node* other = names.Remember(*site, "docs2", NodeKind::Remote, 5, nullptr);
  EXPECT_EQ(file->fullName, u"\\QUENLODE\\site1\\docs\\a.txt");
  EXPECT_EQ(names.Remember(*docs, "a.txt", NodeKind::Remote, 5, nullptr), file);
  EXPECT_EQ(file->lookups, 2u);

  names.Move(site->ino, "docs", *site, "papers");
  EXPECT_EQ(docs->fullName, u"\\QUENLODE\\site1\\papers");
  EXPECT_EQ(file->fullName, u"\\QUENLODE\\site1\\papers\\a.txt");
  EXPECT_EQ(other->fullName, u"\\QUENLODE\\site1\\docs2");  // a mere prefix is not a parent
  EXPECT_EQ(names.Child(site->ino, "docs"), nullptr);
  EXPECT_EQ(names.FindByFullName(5, u"\\QUENLODE\\site1\\papers\\a.txt"), file);

  uint64_t ino = file->ino;
  names.Forget(ino, 1);
  EXPECT_NE(names.Get(ino), nullptr);
  names.Forget(ino, 5);  // more than it had: gone, never negative
  EXPECT_EQ(names.Get(ino), nullptr);
}

// A user's folder and Connection "site1" in it.
Node* SiteOfUser(Namespace& names, uid_t uid) {
  Node* user = names.Remember(*names.Get(kRootIno), "S-1-22-1-" + std::to_string(uid),
                              NodeKind::UserFolder, uid, nullptr);
  return names.Remember(*user, "site1", NodeKind::ConnectionRoot, uid, nullptr);
}

TEST(NameTable, SpellingsAreFoundInAnyCaseAcrossFoldersRenamesAndUsers) {
  Namespace names;
  Node* site = SiteOfUser(names, 5);
  Node* lower = names.Remember(*site, "docs", NodeKind::Remote, 5, nullptr);
  Node* upper = names.Remember(*site, "DOCS", NodeKind::Remote, 5, nullptr);
  names.Remember(*site, "docs2", NodeKind::Remote, 5, nullptr);  // longer: not a spelling
  Node* umlaut = names.Remember(*site, "\xc3\xa4rger", NodeKind::Remote, 5, nullptr);  // "ärger"
  Node* belowLower = names.Remember(*lower, "a.txt", NodeKind::Remote, 5, nullptr);
  Node* belowUpper = names.Remember(*upper, "A.TXT", NodeKind::Remote, 5, nullptr);
  names.Remember(*SiteOfUser(names, 6), "docs", NodeKind::Remote, 6, nullptr);

  auto spellings = [&](std::u16string_view fullName) {
    std::vector<Node*> found = names.Spellings(5, fullName);
    std::sort(found.begin(), found.end(), [](Node* a, Node* b) { return a->ino < b->ino; });
    return found;
  };
  EXPECT_EQ(spellings(u"\\QUENLODE\\site1\\Docs"), (std::vector<Node*>{lower, upper}));
  EXPECT_EQ(spellings(u"\\quenlode\\SITE1\\dOCS\\a.TxT"), (std::vector<Node*>{belowLower, belowUpper}));
  EXPECT_EQ(spellings(u"\\QUENLODE\\site1\\\u00c4RGER"), (std::vector<Node*>{umlaut}));
  EXPECT_TRUE(spellings(u"\\QUENLODE\\site1\\arger").empty());
  for (Node* node : {lower, upper, belowLower, belowUpper}) EXPECT_TRUE(node->spelledOtherwise) << node->name;
  EXPECT_FALSE(umlaut->spelledOtherwise);

  // A renamed folder takes its children's spellings along; a detached node is gone.
  names.Move(site->ino, "DOCS", *site, "Papers");
  EXPECT_EQ(spellings(u"\\QUENLODE\\site1\\papers\\a.txt"), (std::vector<Node*>{belowUpper}));
  EXPECT_EQ(spellings(u"\\QUENLODE\\site1\\docs\\a.txt"), (std::vector<Node*>{belowLower}));
  EXPECT_FALSE(belowLower->spelledOtherwise);  // alone in its spelling group now
  EXPECT_FALSE(belowUpper->spelledOtherwise);
  EXPECT_FALSE(lower->spelledOtherwise);
  EXPECT_FALSE(upper->spelledOtherwise);
  names.Detach(lower->ino, "a.txt");
  EXPECT_TRUE(spellings(u"\\QUENLODE\\site1\\docs\\a.txt").empty());
  uint64_t ino = belowUpper->ino;
  names.Forget(ino, 1);
  EXPECT_TRUE(spellings(u"\\QUENLODE\\site1\\papers\\a.txt").empty());
}

TEST(Records, RequestImageCarriesSplitSixtyFourBitFields) {
  Forward forward;
  forward.major = MJ_WRITE;
  forward.flags = SL_RESTART_SCAN;
  forward.words[0] = 3;
  forward.words[1] = 0x89ABCDEF;
  forward.words[2] = 0x00001000;
  forward.words[3] = 0x00000005;
  forward.validLengthHigh = 0x7;
  forward.fileObject = 0x11223344;
  forward.fileValue = 0x0000000900000010ull;
  forward.requestId = 0xCAFEBABE;
  forward.data = {'a', 'b', 'c'};
  Bytes image;
  ASSERT_EQ(WriteRequestRecord(forward, image), 3u + 51u);
  ASSERT_GE(image.size(), 51u);
  auto word = [&](size_t offset) {
    uint32_t value;
    memcpy(&value, image.data() + offset, 4);
    return value;
  };
  EXPECT_EQ(image[0], MJ_WRITE);
  EXPECT_EQ(image[2], SL_RESTART_SCAN);
  EXPECT_EQ(word(4), 3u);
  EXPECT_EQ(word(8), 0x89ABCDEFu);
  EXPECT_EQ(word(12), 0x1000u);
  EXPECT_EQ(word(16), 5u);
  EXPECT_EQ(word(24), 0x11223344u);
  EXPECT_EQ(word(28), 9u);  // fileValue high half
  EXPECT_EQ(word(32), 7u);  // valid length high half
  EXPECT_EQ(word(36), 0xCAFEBABEu);
  EXPECT_EQ(word(40), 0x10u);
  EXPECT_EQ(word(44), 3u);
  EXPECT_EQ(std::string(image.begin() + 48, image.begin() + 51), "abc");

  // Data longer than one piece is cut to 65,536 bytes.
  forward.data.assign(70000, 1);
  EXPECT_EQ(WriteRequestRecord(forward, image), 65536u + 51u);
}

TEST(Records, BuildersFillTheWordsOfEachOperation) {
  auto create = CreateRequest(u"\\QUENLODE\\s\\a", FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE, 0x6, 0xABCD, 9,
                              SL_OPEN_TARGET_DIRECTORY);
  EXPECT_EQ(create->words[1] >> 24, FILE_OPEN_IF);
  EXPECT_EQ(create->words[1] & 0xFFFFFF, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
  ASSERT_EQ(create->data.size(), 528u);
  uint32_t token, access;
  memcpy(&token, create->data.data(), 4);
  memcpy(&access, create->data.data() + 524, 4);
  EXPECT_EQ(token, 0xABCDu);
  EXPECT_EQ(create->fileValue, 0xABCDu);
  EXPECT_EQ(access, 0x6u);
  EXPECT_EQ(create->data[4], '\\');
  EXPECT_EQ(create->flags, SL_OPEN_TARGET_DIRECTORY);
  // A name longer than the field keeps its terminator.
  auto longCreate = CreateRequest(std::u16string(400, u'x'), FILE_OPEN, 0, 0, 1, 1);
  EXPECT_EQ(longCreate->data[4 + 259 * 2], 0);

  auto write = WriteRequest(1, 0x1'0000'0000ull, 0x1'0000'0010ull, kNoValidLength,
                            reinterpret_cast<const uint8_t*>("xy"), 2);
  EXPECT_EQ(write->words[1], kNoValidLength);
  EXPECT_EQ(write->validLengthHigh, 0u);
  EXPECT_EQ(write->words[2], 0x10u);
  EXPECT_EQ(write->words[3], 1u);
  auto firstPiece = WriteRequest(1, 0, 0, 0x2'0000'0003ull, reinterpret_cast<const uint8_t*>("z"), 1);
  EXPECT_EQ(firstPiece->words[1], 3u);
  EXPECT_EQ(firstPiece->validLengthHigh, 2u);

  auto end = PushEndRequest(1, 5, 0x3'0000'0000ull);
  EXPECT_EQ(end->words[0], kContentPushEnd);
  EXPECT_EQ(end->words[2], 0u);
  EXPECT_EQ(end->words[3], 3u);
  EXPECT_TRUE(end->data.empty());

  auto replace = TokenReplaceRequest(4, 0x1'2345'6789ull, 0x11, 1, 2, 3, 0x22);
  EXPECT_EQ(replace->major, MJ_TOKEN_REPLACE);
  EXPECT_EQ(replace->fileValue, 0x1'2345'6789ull);  // the file's size, as every request carries it
  EXPECT_EQ(replace->data, (Bytes{0x11, 0, 0, 0, 1, 2, 3, 0, 0x22, 0, 0, 0}));
}

TEST(Records, CreateReplySizesAndTheNewFileMark) {
  ForwardResult result;
  result.value = kUnknownSize;
  result.data.assign(12, 0);
  result.data[0] = 0x34;
  result.data[4] = 1;
  CreateReply reply = DecodeCreateReply(result);
  EXPECT_TRUE(reply.newEmptyFile);
  EXPECT_EQ(reply.size, 0u);
  EXPECT_EQ(reply.token, 0x34u);
  EXPECT_TRUE(reply.changed);
  EXPECT_FALSE(reply.madeAtCleanup);
  result.data[7] = 1;  // the file reaches the server at its first cleanup
  EXPECT_TRUE(DecodeCreateReply(result).madeAtCleanup);
  result.data[7] = 0;
  result.data[8] = 1;  // high half: a real 4 GiB + 0xFFFFFFFF size, not a new file
  reply = DecodeCreateReply(result);
  EXPECT_FALSE(reply.newEmptyFile);
  EXPECT_EQ(reply.size, 0x1FFFFFFFFull);
  result.data.clear();  // a reply without data
  result.value = 7;
  reply = DecodeCreateReply(result);
  EXPECT_EQ(reply.token, 0u);
  EXPECT_EQ(reply.size, 7u);
}

TEST(Records, InvalidatePathLayoutIsPinned) {
  InvalidatePathRecord record{};
  record.marker = 0xFF;
  record.sid[0] = u'S';
  record.name[0] = u'n';
  record.path[259] = u'z';
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[2], 'S');
  EXPECT_EQ(bytes[122], 'n');
  EXPECT_EQ(bytes[248 + 259 * 2], 'z');
  EXPECT_EQ(sizeof record, 768u);
}

Bytes DirectoryRecord(const std::u16string& name, uint32_t next, uint64_t size, uint32_t attributes,
                      uint32_t nameLength = 0xFFFFFFFF) {
  Bytes record(64 + name.size() * 2, 0);
  uint32_t length = nameLength == 0xFFFFFFFF ? static_cast<uint32_t>(name.size() * 2) : nameLength;
  memcpy(record.data(), &next, 4);
  memcpy(record.data() + 40, &size, 8);
  memcpy(record.data() + 56, &attributes, 4);
  memcpy(record.data() + 60, &length, 4);
  memcpy(record.data() + 64, name.data(), name.size() * 2);
  return record;
}

TEST(Records, DirectoryListingsAreWalkedWithinTheirBuffer) {
  Bytes first = DirectoryRecord(u"a.txt", 80, 12, 0x80);
  first.resize(80, 0);
  Bytes second = DirectoryRecord(u"sub", 0, 99, 0x10);
  Bytes buffer = first;
  buffer.insert(buffer.end(), second.begin(), second.end());
  auto entries = DecodeDirectoryInfo(buffer, static_cast<uint32_t>(buffer.size()));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, u"a.txt");
  EXPECT_EQ(entries[0].attr.size, 12u);
  EXPECT_FALSE(entries[0].attr.isDirectory);
  EXPECT_EQ(entries[1].name, u"sub");
  EXPECT_TRUE(entries[1].attr.isDirectory);
  EXPECT_EQ(entries[1].attr.size, 0u);

  // The agent's information shorter than the chain: only what it covers.
  EXPECT_EQ(DecodeDirectoryInfo(buffer, 80).size(), 1u);
  // A name length past the end, an odd one, a next offset past the end,
  // one that points backwards: the walk stops, nothing is read outside.
  EXPECT_TRUE(DecodeDirectoryInfo(DirectoryRecord(u"x", 0, 0, 0, 4000), 66).empty());
  EXPECT_TRUE(DecodeDirectoryInfo(DirectoryRecord(u"xy", 0, 0, 0, 3), 68).empty());
  Bytes runaway = DirectoryRecord(u"x", 1000000, 0, 0x80);
  EXPECT_EQ(DecodeDirectoryInfo(runaway, static_cast<uint32_t>(runaway.size())).size(), 1u);
  Bytes loop = DirectoryRecord(u"x", 8, 0, 0x80);
  EXPECT_EQ(DecodeDirectoryInfo(loop, static_cast<uint32_t>(loop.size())).size(), 1u);
  EXPECT_TRUE(DecodeDirectoryInfo(Bytes(10, 0), 10).empty());
}

TEST(Records, NetworkOpenInformationNeedsItsFullSize) {
  Bytes data(56, 0);
  uint64_t size = 0x123456789ull;
  memcpy(data.data() + 40, &size, 8);
  data[48] = 0x01;  // read-only
  auto attr = DecodeNetworkOpen(data, 56);
  ASSERT_TRUE(attr.has_value());
  EXPECT_EQ(attr->size, size);
  EXPECT_TRUE(attr->readOnly);
  EXPECT_FALSE(DecodeNetworkOpen(data, 40).has_value());
  EXPECT_FALSE(DecodeNetworkOpen(Bytes(20, 0), 56).has_value());
}

TEST(Records, FiletimesConvertBothWays) {
  timespec unixEpoch{};
  EXPECT_EQ(FiletimeFromTimespec(unixEpoch), 116444736000000000ull);
  timespec later{1700000000, 123456700};
  timespec back = TimespecFromFiletime(FiletimeFromTimespec(later));
  EXPECT_EQ(back.tv_sec, later.tv_sec);
  EXPECT_EQ(back.tv_nsec, later.tv_nsec);
  EXPECT_EQ(TimespecFromFiletime(0).tv_sec, 0);  // before 1970 shows as the epoch
}

TEST(Records, SizesAboveTheLargestOffsetShowAsTheLargest) {
  EXPECT_EQ(KernelFileSize(0), 0);
  EXPECT_EQ(KernelFileSize(4ull << 30), off_t{4} << 30);
  EXPECT_EQ(KernelFileSize(uint64_t{1} << 63), std::numeric_limits<off_t>::max());
  EXPECT_EQ(KernelFileSize(~uint64_t{0}), std::numeric_limits<off_t>::max());
}

TEST(StatusMapping, MountErrnoAndControlErrors) {
  EXPECT_EQ(ErrnoFromStatus(STATUS_SUCCESS), 0);
  EXPECT_EQ(ErrnoFromStatus(STATUS_OBJECT_NAME_NOT_FOUND), ENOENT);
  EXPECT_EQ(ErrnoFromStatus(STATUS_FILE_DELETED), ENOENT);
  EXPECT_EQ(ErrnoFromStatus(STATUS_NAME_TOO_LONG), ENAMETOOLONG);
  EXPECT_EQ(ErrnoFromStatus(STATUS_UNEXPECTED_NETWORK_ERROR), EIO);
  EXPECT_EQ(ErrnoFromStatus(STATUS_OBJECT_NAME_COLLISION), EEXIST);
  EXPECT_EQ(ErrnoFromStatus(STATUS_CANNOT_DELETE), EACCES);
  EXPECT_EQ(ErrnoFromStatus(STATUS_DIRECTORY_NOT_EMPTY), ENOTEMPTY);
  EXPECT_EQ(ErrnoFromStatus(STATUS_NOT_SAME_DEVICE), EXDEV);
  EXPECT_EQ(ErrnoFromStatus(STATUS_INVALID_DEVICE_REQUEST), EOPNOTSUPP);
  EXPECT_EQ(ErrnoFromStatus(STATUS_UNEXPECTED_NETWORK_ERROR), EIO);
  EXPECT_EQ(ErrnoFromStatus(STATUS_CANCELLED), EIO);
  EXPECT_EQ(ErrnoFromStatus(0xC0FFEE00), EIO);  // unknown failures
  EXPECT_EQ(Win32ErrorFromStatus(STATUS_SUCCESS), 0u);
  EXPECT_EQ(Win32ErrorFromStatus(STATUS_UNSUCCESSFUL), 31u);
  EXPECT_EQ(Win32ErrorFromStatus(STATUS_NOT_IMPLEMENTED), 1u);
  EXPECT_EQ(Win32ErrorFromStatus(STATUS_NO_FREE_USER_SLOT), 0xFFFFFFFEu);
}

TEST(TraceLines, PrefixMinuteSecondAndTheLengthCut) {
  EXPECT_EQ(TracePrefix(5, 9), "KRV  05:09  ");
  std::string line = FormatTraceLine(59, 0, "fcb=%x %s\n", 0x2Au, "a.txt");
  EXPECT_EQ(line, "KRV  59:00  fcb=2a a.txt\n");
  std::string longText(2000, 'q');
  line = FormatTraceLine(1, 2, "%s", longText.c_str());
  EXPECT_EQ(line.size(), 511u);  // cut, never rejected
  EXPECT_EQ(line.substr(0, 12), "KRV  01:02  ");
}

TEST(TraceLines, NamesCannotForgeLinesOrControlTheTerminal) {
  std::string line = FormatTraceLine(1, 2, "open %s\n", "a\nKRV  00:00  forged\x1b[2J\r\xc2\x9b");
  EXPECT_EQ(line, "KRV  01:02  open a\\x0aKRV  00:00  forged\\x1b[2J\\x0d\\x9b\n");
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  EXPECT_EQ(EscapeTraceLine("\tfine \xc3\xa9\n"), "\tfine \xc3\xa9\n");  // tabs and UTF-8 stay
  std::string longText(600, '\x01');
  EXPECT_EQ(FormatTraceLine(1, 2, "%s\n", longText.c_str()).size(), 511u);
}

TEST(NameTable, FullNamesAreFoundPerUserAcrossRenamesAndReplacements) {
  Namespace names;
  Node* root = names.Get(kRootIno);
  auto site = [&](uid_t uid) {
    Node* user = names.Remember(*root, "S-1-22-1-" + std::to_string(uid), NodeKind::UserFolder, uid, nullptr);
    Node* server = names.Remember(*user, "QUENLODE", NodeKind::ServerFolder, uid, nullptr);
    return names.Remember(*server, "site1", NodeKind::ConnectionRoot, uid, nullptr);
  };
  Node* mine = site(5);
  Node* theirs = site(6);
  Node* myDocs = names.Remember(*mine, "docs", NodeKind::Remote, 5, nullptr);
  Node* theirDocs = names.Remember(*theirs, "docs", NodeKind::Remote, 6, nullptr);
  Node* deep = names.Remember(*names.Remember(*myDocs, "x", NodeKind::Remote, 5, nullptr), "y",
                              NodeKind::Remote, 5, nullptr);
  EXPECT_EQ(names.FindByFullName(5, u"\\QUENLODE\\site1\\docs"), myDocs);
  EXPECT_EQ(names.FindByFullName(6, u"\\QUENLODE\\site1\\docs"), theirDocs);
  EXPECT_EQ(names.FindByFullName(7, u"\\QUENLODE\\site1\\docs"), nullptr);
  EXPECT_EQ(names.FindByFullName(5, u"\\QUENLODE\\site1"), mine);
  EXPECT_GT(names.BytesOf(5), names.BytesOf(6));

  names.Move(mine->ino, "docs", *mine, "papers");  // another user's folder of that name stays
  EXPECT_EQ(names.FindByFullName(5, u"\\QUENLODE\\site1\\papers\\x\\y"), deep);
  EXPECT_EQ(names.FindByFullName(5, u"\\QUENLODE\\site1\\docs\\x\\y"), nullptr);
  EXPECT_EQ(theirDocs->fullName, u"\\QUENLODE\\site1\\docs");
  EXPECT_EQ(names.FindByFullName(6, u"\\QUENLODE\\site1\\docs"), theirDocs);

  // A replaced name: the detached node is no longer found, its successor is.
  Node* fresh = names.Remember(*mine, "docs", NodeKind::Remote, 5, nullptr);
  names.Move(mine->ino, "docs", *mine, "papers");
  EXPECT_TRUE(myDocs->detached);
  EXPECT_EQ(names.FindByFullName(5, u"\\QUENLODE\\site1\\papers"), fresh);
  auto folders = names.ConnectionFolders(5);
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0].second, "site1");

  size_t before = names.BytesOf(6);
  names.Forget(theirDocs->ino, 1);
  EXPECT_LT(names.BytesOf(6), before);
}

}  // namespace
}  // namespace hvm::driver
