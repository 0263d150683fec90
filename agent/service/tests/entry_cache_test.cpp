// The entry cache's order and look-ups, discarding with attached sections,
// and the local copy's results.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent/service/connection.h"
#include "agent/service/file_entry.h"
#include "agent/service/local_copy.h"
#include "agent/service/name_pattern.h"
#include "agent/service/path_forms.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::vector<std::u16string> PathsInOrder(const EntryCache& cache) {
  std::vector<std::u16string> out;
  for (FileEntry* e : cache) out.emplace_back(e->Path());
  return out;
}

TEST(EntryCache, FolderIsFollowedByEverythingBelowIt) {
  EntryCache cache;
  for (const char16_t* p : {u"\\Q\\s\\a b", u"\\Q\\s\\a\\z", u"\\Q\\s\\a", u"\\Q\\s\\A!x",
                            u"\\Q\\s\\a\\b\\c", u"\\Q\\s\\a-"})
    ASSERT_NE(cache.NewEntry(p), nullptr);
  // ' ', '!' and '-' sort below letters but above the backslash.
  EXPECT_EQ(PathsInOrder(cache),
            (std::vector<std::u16string>{u"\\Q\\s\\a", u"\\Q\\s\\a\\b\\c", u"\\Q\\s\\a\\z",
                                         u"\\Q\\s\\a b", u"\\Q\\s\\A!x", u"\\Q\\s\\a-"}));
}

TEST(EntryCache, LookUpIgnoresCaseAndRefusesDuplicates) {
  EntryCache cache;
  FileEntry* e = cache.NewEntry(u"\\QUENLODE\\site\\Docs\\Ärger.TXT");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(cache.LookUp(u"\\quenlode\\SITE\\docs\\ärger.txt"), e);
  EXPECT_EQ(cache.NewEntry(u"\\QUENLODE\\SITE\\DOCS\\ÄRGER.TXT"), nullptr);
  EXPECT_EQ(cache.size(), 1u);
  // Names longer than an entry can hold are compared on their first 259 characters.
  std::u16string longName(300, u'x');
  FileEntry* cut = cache.NewEntry(longName);
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(cut->Path().size(), kEntryMaxPathChars);
}

TEST(EntryCache, FindOrNewEntryFindsWithoutRegardToCaseAndKeepsTheOrder) {
  EntryCache cache;
  bool made = false;
  FileEntry* docs = cache.FindOrNewEntry(u"\\Q\\s\\Docs", made);
  ASSERT_NE(docs, nullptr);
  EXPECT_TRUE(made);
  EXPECT_EQ(cache.FindOrNewEntry(u"\\q\\S\\dOCS", made), docs);
  EXPECT_FALSE(made);
  // Made out of order, the entries still follow the cache's order, and each
  // is found again by the ordinary look-up.
  for (const char16_t* p : {u"\\Q\\s\\Docs\\z", u"\\Q\\s\\A!x", u"\\Q\\s\\Docs\\b", u"\\Q\\s\\a"}) {
    FileEntry* e = cache.FindOrNewEntry(p, made);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(made);
    EXPECT_EQ(cache.LookUp(p), e);
  }
  EXPECT_EQ(PathsInOrder(cache),
            (std::vector<std::u16string>{u"\\Q\\s\\a", u"\\Q\\s\\A!x", u"\\Q\\s\\Docs",
                                         u"\\Q\\s\\Docs\\b", u"\\Q\\s\\Docs\\z"}));
  // An overlong path is the entry of its first 259 characters.
  std::u16string longName = u"\\Q\\s\\" + std::u16string(300, u'y');
  FileEntry* cut = cache.FindOrNewEntry(longName, made);
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(cut->Path().size(), kEntryMaxPathChars);
  EXPECT_EQ(cache.FindOrNewEntry(longName.substr(0, kEntryMaxPathChars), made), cut);
  EXPECT_FALSE(made);
}

TEST(EntryCache, APathEndsAtItsFirstNul) {
  // The path lives in a fixed array that ends at a NUL; the length the
  // entry keeps must say the same, or two names would compare differently
  // from what the array shows.
  FileEntry e;
  e.SetPath(std::u16string(u"\\Q\\s\\a\0b", 8));
  EXPECT_EQ(e.Path(), u"\\Q\\s\\a");
  EXPECT_EQ(e.Name(), u"a");
  e.SetPath(u"\\Q\\s\\longer name");
  e.SetPath(u"\\Q");
  EXPECT_EQ(e.Path(), u"\\Q");
  EXPECT_EQ(e.path[2], u'\0');
}

struct CountingSection : AttachedSection {
  explicit CountingSection(int* ended) : ended_(ended) {}
  ~CountingSection() override { ++*ended_; }
  int* ended_;
};

TEST(EntryCache, DiscardWaitsForTheLastSection) {
  EntryCache cache;
  FileEntry* e = cache.NewEntry(u"\\Q\\s\\busy");
  int ended = 0, cleanups = 0;
  auto* upload = new CountingSection(&ended);
  upload->cleanup = [&cleanups](AttachedSection&) { ++cleanups; };
  auto* reader = new CountingSection(&ended);
  ASSERT_TRUE(AttachSection(*e, upload, 1, true));
  ASSERT_TRUE(AttachSection(*e, reader, 2, false));
  EXPECT_FALSE(AttachSection(*e, upload, 1, true));
  EXPECT_NE(upload->lock, nullptr);

  cache.DiscardEntry(e, true);
  EXPECT_EQ(cache.LookUp(u"\\Q\\s\\busy"), nullptr);
  EXPECT_EQ(cache.DeferredCount(), 1u);
  DetachSection(*e, upload);
  EXPECT_EQ(cleanups, 1);
  EXPECT_EQ(cache.DeferredCount(), 1u);
  DetachSection(*e, reader);  // the last one frees the parked entry (ASan checks the rest)
  EXPECT_EQ(cache.DeferredCount(), 0u);
  EXPECT_EQ(ended, 2);
}

TEST(EntryCache, CloneOwnsItsOwnDescriptors) {
  EntryCache cache;
  Connection connection;
  FileEntry* e = cache.NewEntry(u"\\Q\\s\\f");
  ASSERT_EQ(WriteLocalCopy(connection, *e, reinterpret_cast<const uint8_t*>("abc"), 0, 3,
                           CopyKind::Local), kLocalCopyWritten);
  FileEntry* copy = cache.CloneEntry(*e, u"\\Q\\s\\g");
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->localCopy, e->localCopy);
  cache.FreeEntry(e, true);
  char buffer[3];
  EXPECT_EQ(pread(copy->localCopy, buffer, 3, 0), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST(LocalCopy, ResultsAndReadOnly) {
  Connection connection;
  FileEntry e;
  e.SetPath(u"\\Q\\s\\f");
  EXPECT_EQ(WriteLocalCopy(connection, e, nullptr, 0, 0, CopyKind::Local), kLocalCopyWritten);
  EXPECT_NE(e.localCopy, kNoFile);
  EXPECT_TRUE(e.flags & kEntryWrittenLocally);
  // A read-only entry's local copy stays as it is, reported as written.
  FileEntry ro;
  ro.flags = kEntryReadOnly;
  EXPECT_EQ(WriteLocalCopy(connection, ro, reinterpret_cast<const uint8_t*>("x"), 0, 1,
                           CopyKind::Local), kLocalCopyWritten);
  EXPECT_EQ(ro.localCopy, kNoFile);
  // A descriptor that cannot be written reports 2.
  FileEntry bad;
  bad.localCopy = open("/dev/null", O_RDONLY);
  EXPECT_EQ(WriteLocalCopy(connection, bad, reinterpret_cast<const uint8_t*>("x"), 0, 1,
                           CopyKind::Local), kLocalCopyWriteFailed);
  // A temporary folder that does not exist: the copy cannot be opened.
  const char* saved = getenv("TMPDIR");
  std::string keep = saved ? saved : "";
  setenv("TMPDIR", "/nonexistent-hvm-folder", 1);
  FileEntry none;
  EXPECT_EQ(WriteLocalCopy(connection, none, nullptr, 0, 0, CopyKind::Local), kLocalCopyNotOpened);
  if (saved) setenv("TMPDIR", keep.c_str(), 1); else unsetenv("TMPDIR");
}

TEST(PathForms, ThreeForms) {
  SiteRecord site{};
  CopyWide(site.name, kSiteNameChars, u"site1");
  site.mappedDrive = 'X';
  Connection c;
  c.site = &site;
  c.serverBasePath = u"/dav/";
  EXPECT_EQ(ServerPathOf(c, u"\\QUENLODE\\site1\\a\\b.txt"), u"/dav/a/b.txt");
  EXPECT_EQ(ServerPathOf(c, u"\\QUENLODE\\site1"), u"/dav");
  EXPECT_EQ(CachePathOf(c, u"/dav/a/b.txt"), u"\\QUENLODE\\site1\\a\\b.txt");
  EXPECT_EQ(CachePathOf(c, u"/dav/"), u"\\QUENLODE\\site1");
  EXPECT_EQ(DrivePathOf(c, u"\\QUENLODE\\site1\\a\\b.txt"), u"X:\\a\\b.txt");
  EXPECT_EQ(DrivePathOf(c, u"\\QUENLODE\\site1"), u"X:\\");
}

TEST(NamePattern, WindowsWildcards) {
  EXPECT_TRUE(NameMatchesPattern(u"Report.TXT", u"*.txt"));
  EXPECT_FALSE(NameMatchesPattern(u"report.txt.bak", u"*.txt"));
  EXPECT_TRUE(NameMatchesPattern(u"a1b", u"a?b"));
  EXPECT_FALSE(NameMatchesPattern(u"ab", u"a?b"));
  EXPECT_TRUE(NameMatchesPattern(u"noext", u"*.*"));
  EXPECT_TRUE(NameMatchesPattern(u"aXbXc", u"a*b*c"));
  EXPECT_FALSE(NameMatchesPattern(u"aXbXd", u"a*b*c"));
  std::u16string p = u"<.t>t\\";
  EXPECT_TRUE(NormalisePattern(p));
  EXPECT_EQ(p, u"*.t?t");
  std::u16string bad = u"a/b";
  EXPECT_FALSE(NormalisePattern(bad));
}

}  // namespace
}  // namespace hvm
