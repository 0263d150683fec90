// Mapping and disconnecting a Connection against a small scripted driver,
// with a scripted client and a recording front end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>

#include "agent/app/drive_letters.h"
#include "agent/app/string_table.h"
#include "agent/app/tests/app_test_driver.h"
#include "agent/clients/client_factory.h"
#include "agent/service/registration.h"
#include "agent/service/request_loop.h"
#include "agent/service/shared_section.h"
#include "platform/registry.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::u16string Resource(uint32_t id) { return LoadResourceString(id); }

class MappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::TheScript() = test::Script{};
    SetCurrentUi(&ui);
    RegisterClientConstructor(ClientKind::WebDav, test::MakeScriptedClient);
    std::memset(block.get(), 0, sizeof(SharedUserBlock));
    AddSite(0, u"site1", 'M');
    table.Bind(block.get());
  }
  void TearDown() override {
    for (size_t i = 0; i < table.size(); ++i) {
      DisconnectConnection(table.at(i), false, false);
      JoinRequestLoop(table.at(i));
    }
    StopHousekeeping();
    RegisterClientConstructor(ClientKind::WebDav, nullptr);
    SetCurrentUi(nullptr);
  }
  void AddSite(size_t index, std::u16string_view name, char letter) {
    SiteRecord& site = block->sites[index];
    CopyWide(site.name, kSiteNameChars, name);
    CopyWide(site.url, kSiteUrlChars, u"http://127.0.0.1:9/dav");
    site.drive[0] = letter;
  }
  Connection& Site1() { return table.at(0); }
  std::string Target() { return ConnectionFolder(u"site1"); }
  std::string LinkTarget(char letter) {
    std::string target;
    EXPECT_TRUE(QueryDriveLink(letter, target));
    return target;
  }

  test::Sandbox sandbox;
  test::TestDriver driver;
  test::RecordingUi ui;
  std::unique_ptr<SharedUserBlock> block = std::make_unique<SharedUserBlock>();
  ConnectionTable table;
};

TEST(ConnectionRecordTest, BytesForConnectAndDisconnect) {
  SharedUserBlock block{};
  ConnectionTable table;
  table.Bind(&block);
  // A 63-character name: the field keeps 62 and its terminator at 246.
  std::u16string longName(63, u'n');
  longName[61] = u'Y';
  longName[62] = u'Z';
  CopyWide(block.sites[0].name, kSiteNameChars, longName);
  block.sites[0].drive[0] = 'X';
  Connection& c = table.at(0);
  c.connectionHandle = 0xA1B2C3D4;

  ConnectionRecord record;
  FillConnectionRecord(record, c, u"S-1-22-1-1000", true);
  auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0);
  EXPECT_EQ(bytes[2], 'S');
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(bytes[2 + 2 * 12], '0');
  EXPECT_EQ(bytes[2 + 2 * 13], 0);  // SID terminator
  EXPECT_EQ(bytes[122], 'n');
  EXPECT_EQ(bytes[122 + 2 * 61], 'Y');
  EXPECT_EQ(bytes[246], 0);
  EXPECT_EQ(bytes[247], 0);
  EXPECT_EQ(bytes[248], 'X');
  EXPECT_EQ(bytes[249], 0);
  EXPECT_EQ(bytes[250], 1);
  for (size_t i = 251; i < 260; ++i) EXPECT_EQ(bytes[i], 0) << "offset " << i;
  // The agent asks for wide pieces and the shared data area beside them.
  EXPECT_EQ(record.reserved, kAskWidePieces | kAskSharedArea);
  EXPECT_EQ(bytes[260], kAskWidePieces | kAskSharedArea);
  setenv("HALVENMOOR_SHARED_AREA", "0", 1);
  FillConnectionRecord(record, c, u"S-1-22-1-1000", true);
  unsetenv("HALVENMOOR_SHARED_AREA");
  EXPECT_EQ(record.reserved, kAskWidePieces);  // wide pieces carried in the records
  EXPECT_EQ(bytes[264], 0xD4);
  EXPECT_EQ(bytes[267], 0xA1);
  // Told to register as before, the agent sends the field as zero.
  setenv("HALVENMOOR_NARROW_PIECES", "1", 1);
  FillConnectionRecord(record, c, u"S-1-22-1-1000", true);
  unsetenv("HALVENMOOR_NARROW_PIECES");
  for (size_t i = 251; i < 264; ++i) EXPECT_EQ(bytes[i], 0) << "offset " << i;

  FillConnectionRecord(record, c, u"S-1-22-1-1000", false);
  EXPECT_EQ(bytes[250], 0);
  EXPECT_EQ(record.reserved, 0u);  // an unregistration asks for nothing
  EXPECT_EQ(bytes[264], 0xD4);
}

TEST_F(MappingTest, DriveLinksAreMadeReadAndRemoved) {
  std::string target;
  EXPECT_FALSE(QueryDriveLink('Q', target));
  ASSERT_TRUE(DefineDriveLink('Q', "/somewhere/else"));
  EXPECT_EQ(LinkTarget('Q'), "/somewhere/else");
  EXPECT_FALSE(DefineDriveLink('Q', "/again"));  // the letter is taken
  EXPECT_TRUE(RemoveDriveLink('Q'));
  EXPECT_FALSE(QueryDriveLink('Q', target));
  EXPECT_TRUE(RemoveDriveLink('Q'));  // nothing left is success

  // A file of the person's own under that name is never removed.
  std::ofstream(DriveLinkPath('R')) << "mine";
  EXPECT_TRUE(QueryDriveLink('R', target));
  EXPECT_TRUE(target.empty());
  EXPECT_FALSE(RemoveDriveLink('R'));
  struct stat info {};
  EXPECT_EQ(lstat(DriveLinkPath('R').c_str(), &info), 0);
}

TEST_F(MappingTest, MapRegistersLinksAndStartsTheLoopDisconnectUndoesIt) {
  ASSERT_EQ(MapConnection(Site1(), false), 1);
  // The mapping is done only once the driver has the loop's first call:
  // a program's request in between would fail.
  EXPECT_GE(driver.Count(IOCTL_GET_REQUEST), 1u);
  EXPECT_GE(driver.Count(0x1420C4), 1u);
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(block->sites[0].mappedDrive, 'M');
  EXPECT_EQ(LinkTarget('M'), Target());
  EXPECT_EQ(Site1().connectionHandle, driver.handle);
  EXPECT_EQ(Site1().serverBasePath, u"http://127.0.0.1:9/dav/");
  ASSERT_EQ(driver.Count(IOCTL_CONNECT), 1u);
  auto connect = driver.Calls(IOCTL_CONNECT)[0].input;
  ASSERT_EQ(connect.size(), sizeof(ConnectionRecord));
  EXPECT_EQ(connect[122], 's');
  EXPECT_EQ(connect[248], 'M');
  EXPECT_EQ(connect[250], 1);
  EXPECT_TRUE(driver.WaitForLoop());
  EXPECT_EQ(block->housekeepingRunning, 1u);

  EXPECT_EQ(DisconnectConnection(Site1(), true, false), kDisconnectDone);
  EXPECT_EQ(block->sites[0].mappedDrive, 0);
  std::string target;
  EXPECT_FALSE(QueryDriveLink('M', target));
  ASSERT_EQ(driver.Count(IOCTL_DISCONNECT), 1u);
  auto disconnect = driver.Calls(IOCTL_DISCONNECT)[0].input;
  uint32_t handle = 0;
  std::memcpy(&handle, disconnect.data() + 264, 4);
  EXPECT_EQ(handle, driver.handle);
  EXPECT_EQ(disconnect[250], 0);
  JoinRequestLoop(Site1());  // the loop ended with the unregistration
  EXPECT_FALSE(Site1().client);
  EXPECT_EQ(DisconnectConnection(Site1(), true, false), kDisconnectDone);  // nothing to do
  EXPECT_EQ(driver.Count(IOCTL_DISCONNECT), 1u);
}

TEST_F(MappingTest, LetterLeftForTheSameConnectionIsTakenOver) {
  ASSERT_TRUE(DefineDriveLink('M', Target()));
  EXPECT_EQ(MapConnection(Site1(), false), 1);
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(LinkTarget('M'), Target());
}

TEST_F(MappingTest, LetterOfAnotherTargetIsAlreadyMapped) {
  ASSERT_TRUE(DefineDriveLink('M', "/elsewhere"));
  EXPECT_EQ(MapConnection(Site1(), false), 0);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, u"The drive is already mapped");
  EXPECT_EQ(ui.boxes[0].caption, u"M:");
  EXPECT_EQ(driver.Count(IOCTL_CONNECT), 0u);
  EXPECT_EQ(test::TheScript().made, 0);
  EXPECT_EQ(LinkTarget('M'), "/elsewhere");
  EXPECT_EQ(block->sites[0].mappedDrive, 0);
}

TEST_F(MappingTest, CertificateQuestionRememberedOnYes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\KOLV\\Halvenmoor\\site1", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  test::TheScript().testResults = {12175, STATUS_SUCCESS};
  ui.answers = {IDYES};
  ASSERT_EQ(MapConnection(Site1(), false), 1);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text.find(u"Bad certificate"), 0u);
  EXPECT_EQ(ui.boxes[0].text.find(u"(12175)"), std::u16string::npos);  // cut at "("
  EXPECT_EQ(block->sites[0].ignoreCertificateWarning, 1);
  EXPECT_EQ(test::TheScript().securityFlags, std::vector<uint32_t>{0x3300});
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\KOLV\\Halvenmoor\\site1", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value, type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"ignoreCertificateWarning", nullptr, &type,
                             reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(value, 1u);
}

TEST_F(MappingTest, CertificateQuestionOnceOrRefused) {
  test::TheScript().testResults = {12175, STATUS_SUCCESS};
  ui.answers = {IDNO};
  ASSERT_EQ(MapConnection(Site1(), false), 1);
  EXPECT_EQ(block->sites[0].ignoreCertificateWarning, 0);
  EXPECT_EQ(test::TheScript().securityFlags, std::vector<uint32_t>{0x3300});
  ASSERT_EQ(DisconnectConnection(Site1(), false, false), kDisconnectDone);

  test::TheScript().testResults = {12175};
  ui.answers = {IDCANCEL};
  EXPECT_EQ(MapConnection(Site1(), false), 0);
  EXPECT_EQ(driver.Count(IOCTL_CONNECT), 1u);  // only the first mapping registered
  EXPECT_FALSE(Site1().client);
}

TEST_F(MappingTest, FailedTestTellsWhyAndLeavesNothing) {
  test::TheScript().testResults = {401};
  EXPECT_EQ(MapConnection(Site1(), false), 0);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].caption, u"Error");
  EXPECT_EQ(ui.boxes[0].text.find(Resource(IDS_CONNECT_LOGIN_FAILED)), 0u);
  EXPECT_NE(ui.boxes[0].text.find(u"(site1)"), std::u16string::npos);
  EXPECT_FALSE(Site1().client);
  EXPECT_EQ(driver.Count(IOCTL_CONNECT), 0u);
  std::string target;
  EXPECT_FALSE(QueryDriveLink('M', target));

  test::TheScript().testResults = {503};
  EXPECT_EQ(MapConnection(Site1(), false), 0);
  ASSERT_EQ(ui.boxes.size(), 2u);
  EXPECT_EQ(ui.boxes[1].text.find(Resource(IDS_CONNECT_FAILED) + u"\n("), 0u);
}

TEST_F(MappingTest, RefusedRegistrationUnmapsAgain) {
  driver.connectError = ERROR_GEN_FAILURE;
  EXPECT_EQ(MapConnection(Site1(), false), 0);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, u"Unable to map");
  EXPECT_EQ(block->sites[0].mappedDrive, 0);
  std::string target;
  EXPECT_FALSE(QueryDriveLink('M', target));
  EXPECT_FALSE(Site1().client);
}

class OpenFileTest : public MappingTest {
 protected:
  void SetUp() override {
    MappingTest::SetUp();
    ASSERT_EQ(MapConnection(Site1(), false), 1);
    FileEntry* entry = Site1().entries.NewEntry(u"\\QUENLODE\\site1\\docs\\a.txt");
    ASSERT_NE(entry, nullptr);
    entry->localCopy = dup(0);
    entry->lockToken = u"opaquelocktoken:1";
    auto* handle = new OpenHandle();
    handle->entry = entry;
    handle->fileObject = 9;
    Site1().openHandles.Push(handle);
  }
};

TEST_F(OpenFileTest, AbortLeavesEverythingAsItWas) {
  ui.answers = {IDABORT};
  EXPECT_EQ(DisconnectConnection(Site1(), true, false), kDisconnectCancelled);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, u"Connection has open file");
  EXPECT_EQ(ui.boxes[0].caption, u"site1\\docs\\a.txt");
  EXPECT_EQ(ui.boxes[0].style, MB_ABORTRETRYIGNORE | MB_ICONSTOP);
  EXPECT_EQ(block->sites[0].mappedDrive, 'M');
  EXPECT_EQ(LinkTarget('M'), Target());
  EXPECT_EQ(driver.Count(IOCTL_DISCONNECT), 0u);
  EXPECT_EQ(Site1().entries.size(), 1u);
}

TEST_F(OpenFileTest, RetryAsksAgainIgnoreGoesOnAndUnlocks) {
  ui.answers = {IDRETRY, IDIGNORE};
  EXPECT_EQ(DisconnectConnection(Site1(), true, false), kDisconnectDone);
  EXPECT_EQ(ui.boxes.size(), 2u);
  EXPECT_EQ(test::TheScript().unlocks, 1);  // the held lock is given back
  EXPECT_TRUE(Site1().entries.empty());
  EXPECT_EQ(Site1().openHandles.head(), nullptr);
  EXPECT_EQ(driver.Count(IOCTL_DISCONNECT), 1u);
}

TEST_F(OpenFileTest, KeepingTheRegistrationOnlyClearsFileState) {
  ui.answers = {IDIGNORE};
  EXPECT_EQ(DisconnectConnection(Site1(), true, true), kDisconnectDone);
  EXPECT_TRUE(Site1().entries.empty());
  EXPECT_EQ(block->sites[0].mappedDrive, 'M');
  EXPECT_EQ(LinkTarget('M'), Target());
  EXPECT_EQ(driver.Count(IOCTL_DISCONNECT), 0u);
  EXPECT_TRUE(Site1().client);
}

struct CountedSection : AttachedSection {
  explicit CountedSection(int* ended) { cleanup = [ended](AttachedSection&) { ++*ended; }; }
};

TEST_F(MappingTest, HousekeepingSparesEntriesInUse) {
  StopHousekeeping();
  block->sites[0].mappedDrive = 'M';
  Site1().mapped = 1;
  int ended = 0;
  FileEntry* read = Site1().entries.NewEntry(u"\\QUENLODE\\site1\\read");
  FileEntry* open = Site1().entries.NewEntry(u"\\QUENLODE\\site1\\open");
  FileEntry* idle = Site1().entries.NewEntry(u"\\QUENLODE\\site1\\idle");
  for (FileEntry* e : {read, open, idle}) AttachSection(*e, new CountedSection(&ended), 1, false);
  read->readers = 1;  // a background reader
  open->useCount = 1;

  HousekeepingRound(table);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(idle->sections, nullptr);
  EXPECT_NE(read->sections, nullptr);
  EXPECT_NE(open->sections, nullptr);

  read->readers = 0;
  HousekeepingRound(table);
  EXPECT_EQ(ended, 2);
  EXPECT_NE(open->sections, nullptr);
  open->flags |= kEntryDeletePending;  // open but going: its sections may go
  HousekeepingRound(table);
  EXPECT_EQ(ended, 3);
  Site1().mapped = 0;
  block->sites[0].mappedDrive = 0;
}

TEST_F(MappingTest, PingCarriesTheSidAndKeepsTheSlotHandle) {
  StartPingThread();
  ASSERT_TRUE(driver.WaitFor(IOCTL_PING, 2));
  StopPingThread();
  auto pings = driver.Calls(IOCTL_PING);
  PingRecord first{}, second{};
  std::memcpy(&first, pings[0].input.data(), sizeof first);
  std::memcpy(&second, pings[1].input.data(), sizeof second);
  EXPECT_EQ(first.marker, 0xFF);
  EXPECT_EQ(first.slotHandle, 0u);
  EXPECT_EQ(second.slotHandle, 77u);
  std::u16string sid(WideField(first.sid, kSidChars));
  EXPECT_EQ(sid, u"S-1-22-1-" + Utf8ToUtf16(std::to_string(getuid())));
}

}  // namespace
}  // namespace hvm
