// The housekeeping thread's pass over parked (deferred) entries: an entry
// goes once no job, reader, open handle or listing holds it, never before.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "agent/service/registration.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

struct CountedSection : AttachedSection {
  explicit CountedSection(int* ended) { cleanup = [ended](AttachedSection&) { ++*ended; }; }
};

class DeferredHousekeeping : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(block.get(), 0, sizeof(SharedUserBlock));
    CopyWide(block->sites[0].name, kSiteNameChars, u"site1");
    table.Bind(block.get());
    Connect(true);
  }
  void TearDown() override { StopHousekeeping(); }
  void Connect(bool on) {
    block->sites[0].mappedDrive = on ? 'M' : 0;
    Site().mapped = on ? 1 : 0;
  }
  Connection& Site() { return table.at(0); }
  // A discarded entry that a finished job's section keeps parked.
  FileEntry* Parked(const char16_t* name, int* ended) {
    FileEntry* e = Site().entries.NewEntry(std::u16string(u"\\QUENLODE\\site1\\") + name);
    AttachSection(*e, new CountedSection(ended), 7, false);
    Site().entries.DiscardEntry(e, true);
    return e;
  }

  std::unique_ptr<SharedUserBlock> block = std::make_unique<SharedUserBlock>();
  ConnectionTable table;
};

TEST_F(DeferredHousekeeping, FreesParkedEntriesOnlyWhenNothingHoldsThem) {
  int ended = 0;
  Parked(u"idle", &ended);
  FileEntry* read = Parked(u"read", &ended);
  FileEntry* handled = Parked(u"handled", &ended);
  FileEntry* listed = Parked(u"listed", &ended);
  read->readers = 1;
  auto* handle = new OpenHandle();
  handle->position = handled;  // a directory query resumes after it
  Site().openHandles.Push(handle);
  Site().lastListed = listed;
  ASSERT_EQ(Site().entries.DeferredCount(), 4u);

  HousekeepingRound(table);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(Site().entries.DeferredCount(), 3u);

  read->readers = 0;
  Site().openHandles.Clear();
  Site().lastListed = nullptr;
  HousekeepingRound(table);
  EXPECT_EQ(ended, 4);
  EXPECT_EQ(Site().entries.DeferredCount(), 0u);
}

TEST_F(DeferredHousekeeping, EntryWhoseReaderOutlivesItsLastSectionStaysParked) {
  int ended = 0;
  FileEntry* e = Parked(u"upload", &ended);
  e->readers = 1;
  // The job detaches its section first and lets go of the entry afterwards.
  DetachSection(*e, e->sections);
  EXPECT_EQ(ended, 1);
  ASSERT_EQ(Site().entries.DeferredCount(), 1u);
  e->readers = 0;
  Connect(false);  // a disconnected site's parked entries go as well
  HousekeepingRound(table);
  EXPECT_EQ(Site().entries.DeferredCount(), 0u);
}

// The walk over every entry for idle sections is skipped while none can be
// attached; a section attached at any time, or one a busy entry still
// keeps, is ended in the round after its entry is idle, never later.
TEST_F(DeferredHousekeeping, SectionsOfIdleEntriesEndInTheNextRound) {
  for (int i = 0; i < 50; ++i) Site().entries.NewEntry(u"\\QUENLODE\\site1\\f" + std::u16string(1, u'a' + i % 26) +
                                                          std::u16string(1, u'a' + i / 26));
  FileEntry* busy = Site().entries.NewEntry(u"\\QUENLODE\\site1\\busy");
  int ended = 0;
  busy->readers = 1;
  AttachSection(*busy, new CountedSection(&ended), 7, false);
  HousekeepingRound(table);
  EXPECT_EQ(ended, 0);  // a reader still uses it
  // Nothing new is attached, but the busy entry's section is still there.
  busy->readers = 0;
  HousekeepingRound(table);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(busy->sections, nullptr);
  for (int quiet = 0; quiet < 3; ++quiet) HousekeepingRound(table);
  // Attached after a few rounds without a walk: ended in the next round.
  FileEntry* idle = Site().entries.NewEntry(u"\\QUENLODE\\site1\\idle");
  AttachSection(*idle, new CountedSection(&ended), 7, false);
  HousekeepingRound(table);
  EXPECT_EQ(ended, 2);
  EXPECT_EQ(idle->sections, nullptr);
}

}  // namespace
}  // namespace hvm
