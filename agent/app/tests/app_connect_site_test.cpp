// Connecting on the person's behalf: passwords, start-up connections, the
// commands of a second start, refresh and the disconnect of everything; and
// the shell notification queue that tells the driver what changed.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>

#include "agent/app/connect_site.h"
#include "agent/app/drive_letters.h"
#include "agent/app/shell_notify.h"
#include "agent/app/tests/app_test_driver.h"
#include "agent/clients/client_factory.h"
#include "agent/offline/file_client.h"
#include "agent/service/operations.h"
#include "agent/service/request_loop.h"
#include "agent/service/site_passwords.h"
#include "driver/invalidate_record.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

class ConnectSiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::TheScript() = test::Script{};
    SetCurrentUi(&ui);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    RegisterClientConstructor(ClientKind::WebDav, test::MakeScriptedClient);
    std::memset(block.get(), 0, sizeof(SharedUserBlock));
    AddSite(0, u"open", 'M', "");
    AddSite(1, u"auto", 'N', "hvm");
    AddSite(2, u"keep", 'O', "hvm");
    block->sites[1].autoConnect = 1;
    block->sites[2].autoConnect = 1;
    block->sites[2].dontSavePassword = 1;
    AddSite(3, u"loginless", 'P', "");
    block->sites[3].autoConnect = 1;
    table.Bind(block.get());
    connector.disconnectDelayMs = 0;
  }
  void TearDown() override {
    test::EndAllSites(connector, table);
    RegisterClientConstructor(ClientKind::WebDav, nullptr);
    SetCurrentUi(nullptr);
    ForgetAllSitePasswords();  // the next test's block may sit at the same address
  }
  void AddSite(size_t index, std::u16string_view name, char letter, const char* login) {
    SiteRecord& site = block->sites[index];
    CopyWide(site.name, kSiteNameChars, name);
    CopyWide(site.url, kSiteUrlChars, u"http://127.0.0.1:9/dav/");
    std::strcpy(site.login, login);
    site.drive[0] = letter;
  }
  bool Linked(char letter) {
    std::string target;
    return QueryDriveLink(letter, target);
  }

  test::Sandbox sandbox;
  test::TestDriver driver;
  test::RecordingUi ui;
  std::unique_ptr<SharedUserBlock> block = std::make_unique<SharedUserBlock>();
  ConnectionTable table;
  SiteConnector connector{table};
};

TEST_F(ConnectSiteTest, UnsavedPasswordIsAskedCancelLeavesItDisconnected) {
  ASSERT_EQ(connector.Find(u"keep"), 2);
  EXPECT_FALSE(connector.ConnectSite(2, false));
  EXPECT_EQ(ui.passwordQuestions, 1);
  EXPECT_EQ(block->sites[2].mappedDrive, 0);
  EXPECT_EQ(SitePassword(block->sites[2]), "");
  EXPECT_EQ(driver.Count(IOCTL_CONNECT), 0u);

  ui.passwords = {"secret"};
  EXPECT_TRUE(connector.ConnectSite(2, false));
  // The answer stays in the agent's memory; the shared block never holds it.
  EXPECT_EQ(SitePassword(block->sites[2]), "secret");
  const char zeros[kSitePasswordChars] = {};
  EXPECT_EQ(std::memcmp(block->sites[2].password, zeros, sizeof zeros), 0);
  EXPECT_EQ(block->sites[2].mappedDrive, 'O');
  EXPECT_TRUE(connector.ConnectSite(2, false));  // connected already: nothing asked, nothing sent
  EXPECT_EQ(ui.passwordQuestions, 2);
  EXPECT_EQ(driver.Count(IOCTL_CONNECT), 1u);
}

TEST_F(ConnectSiteTest, StartUpConnectsAutoSitesWithALoginOnly) {
  ui.passwords = {"pw"};
  EXPECT_EQ(connector.ConnectAutoSites(), 2);
  EXPECT_EQ(block->sites[0].mappedDrive, 0);  // not Auto
  EXPECT_EQ(block->sites[1].mappedDrive, 'N');
  EXPECT_EQ(block->sites[2].mappedDrive, 'O');
  EXPECT_EQ(block->sites[3].mappedDrive, 0);  // Auto without a login
  EXPECT_TRUE(Linked('N'));
  EXPECT_FALSE(Linked('P'));
}

TEST_F(ConnectSiteTest, CommandsOfASecondStart) {
  EXPECT_EQ(connector.HandleCommand(MakeInstanceMessage(kMessageConnect, "open")), 1u);
  EXPECT_EQ(block->sites[0].mappedDrive, 'M');
  EXPECT_EQ(connector.HandleCommand(MakeInstanceMessage(kMessageConnect, "Open")), 0u);  // exact names
  EXPECT_EQ(connector.HandleCommand(MakeInstanceMessage(kMessageRefresh, "auto")), 0u);  // not connected
  // A disconnect by drive letter ignores the name.
  EXPECT_EQ(connector.HandleCommand(MakeInstanceMessage(kMessageDisconnect, "nothing", 'm')), 1u);
  EXPECT_EQ(block->sites[0].mappedDrive, 0);
  EXPECT_FALSE(Linked('M'));
}

TEST_F(ConnectSiteTest, OfflineConnectServesTheCacheUntilTheDisconnect) {
  setenv("XDG_DATA_HOME", sandbox.Path("share").c_str(), 1);
  RegisterFileClient();
  std::vector<InstanceMessage> handed = HandOverMessages("/off /name=open");
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].message, kMessageOfflineConnect);
  EXPECT_EQ(connector.HandleCommand(MakeInstanceMessage(kMessageOfflineConnect, "open")), 1u);
  EXPECT_EQ(block->sites[0].mappedDrive, 'M');
  EXPECT_TRUE(block->sites[0].flags & kSiteOffline);
  EXPECT_EQ(table.at(0).clientKind, ClientKind::File);
  // Synchronising needs the site online.
  EXPECT_EQ(connector.HandleCommand(MakeInstanceMessage(kMessageSynchronize, "open")), 0u);
  EXPECT_EQ(connector.DisconnectSite(0, false), kDisconnectDone);
  EXPECT_FALSE(block->sites[0].flags & kSiteOffline);
  // A mark left by a Connection that ended on its own goes with an online connect.
  block->sites[0].flags |= kSiteOffline;
  EXPECT_TRUE(connector.ConnectSite(0, false));
  EXPECT_FALSE(block->sites[0].flags & kSiteOffline);
  EXPECT_EQ(table.at(0).clientKind, ClientKind::WebDav);
  EXPECT_EQ(connector.HandleCommand(MakeInstanceMessage(kMessageSynchronize, "open")), 1u);
  RegisterClientConstructor(ClientKind::File, nullptr);
}

TEST_F(ConnectSiteTest, ADisconnectStoppedByAnOpenFileSaysSo) {
  ASSERT_TRUE(connector.ConnectSite(0, false));
  Connection& c = table.at(0);
  FileEntry* entry = c.entries.NewEntry(u"\\QUENLODE\\open\\written.txt");
  entry->handleCount = 1;
  entry->localCopy = open("/dev/null", O_RDONLY | O_CLOEXEC);  // a written file
  auto* handle = new OpenHandle();
  handle->entry = entry;
  c.openHandles.Push(handle);
  ui.answers = {IDABORT};
  EXPECT_EQ(connector.HandleCommand(MakeInstanceMessage(kMessageDisconnect, "open")), kCommandFileOpen);
  EXPECT_EQ(block->sites[0].mappedDrive, 'M');
  ui.answers = {IDIGNORE};
  EXPECT_EQ(connector.HandleCommand(MakeInstanceMessage(kMessageDisconnect, "open")), kCommandDone);
  EXPECT_EQ(block->sites[0].mappedDrive, 0);
  EXPECT_EQ(connector.HandleCommand(MakeInstanceMessage(kMessageDisconnect, "unknown")), kCommandFailed);
}

TEST_F(ConnectSiteTest, RefreshRebuildsTheDriveOrWithAnOpenFileListsEveryFolderAgain) {
  ASSERT_TRUE(connector.ConnectSite(0, false));
  Connection& c = table.at(0);
  FileEntry* folder = c.entries.NewEntry(u"\\QUENLODE\\open\\docs");
  folder->flags |= kEntryDirectory;
  StampListing(*folder);
  ASSERT_FALSE(ListingExpired(c, *folder, NowFileTime()));
  FileEntry* entry = c.entries.NewEntry(u"\\QUENLODE\\open\\a.txt");
  entry->handleCount = 1;
  auto* handle = new OpenHandle();
  handle->entry = entry;
  c.openHandles.Push(handle);
  // The drive stays as it is under the open file; its folders are listed again.
  EXPECT_TRUE(connector.RefreshSite(0));
  EXPECT_EQ(c.entries.size(), 2u);
  EXPECT_EQ(driver.Count(IOCTL_CONNECT), 1u);
  EXPECT_TRUE(ListingExpired(c, *folder, NowFileTime()));

  entry->handleCount = 0;
  int testsBefore = test::TheScript().tests;
  EXPECT_TRUE(connector.RefreshSite(0));
  EXPECT_TRUE(c.entries.empty());
  EXPECT_EQ(test::TheScript().tests, testsBefore + 1);  // the refresh command
  EXPECT_EQ(driver.Count(IOCTL_CONNECT), 2u);           // registered again
  EXPECT_EQ(block->sites[0].mappedDrive, 'M');
  EXPECT_TRUE(Linked('M'));
  ASSERT_EQ(driver.Count(IOCTL_INVALIDATE_PATH), 1u);
}

TEST_F(ConnectSiteTest, DisconnectAllUnmapsEverySite) {
  ASSERT_TRUE(connector.ConnectSite(0, false));
  ASSERT_TRUE(connector.ConnectSite(1, false));
  connector.DisconnectAllSites();
  EXPECT_EQ(block->sites[0].mappedDrive, 0);
  EXPECT_EQ(block->sites[1].mappedDrive, 0);
  EXPECT_FALSE(Linked('M'));
  EXPECT_FALSE(Linked('N'));
  EXPECT_EQ(driver.Count(IOCTL_DISCONNECT), 2u);
}

TEST(FileManagerTest, XdgOpenOnlyWithADisplay) {
  test::Sandbox sandbox;
  auto command = FileManagerCommand('X', true);
  ASSERT_EQ(command.size(), 2u);
  EXPECT_EQ(command[0], "xdg-open");
  EXPECT_EQ(command[1], sandbox.Path("home/Halvenmoor/X"));
  EXPECT_TRUE(FileManagerCommand('X', false).empty());
  EXPECT_EQ(SuspendPath().substr(SuspendPath().size() - 20), "/QUENLODE/sp/suspend");
}

class ShellNotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&site, 0, sizeof site);
    CopyWide(site.name, kSiteNameChars, u"site1");
    site.drive[0] = 'M';
    site.mappedDrive = 'M';
    connection.site = &site;
  }
  SiteRecord site;
  Connection connection;
};

TEST_F(ShellNotifyTest, QueueKeepsDriveAndConnectionFormsAndSkipsTemporaryNames) {
  ShellNotifyQueue queue;
  EXPECT_FALSE(queue.Queue(connection, u"\\QUENLODE\\site1\\docs\\~$report.docx", SHCNE_CREATE));
  EXPECT_TRUE(queue.Queue(connection, u"\\QUENLODE\\site1\\docs\\a~b.txt", SHCNE_UPDATEITEM));
  EXPECT_TRUE(queue.Queue(connection, u"\\QUENLODE\\site1", SHCNE_UPDATEDIR));
  ShellNotice notice;
  ASSERT_TRUE(queue.Take(notice));
  EXPECT_EQ(notice.event, SHCNE_UPDATEITEM);
  EXPECT_EQ(notice.drivePath, u"M:\\docs\\a~b.txt");
  EXPECT_EQ(notice.connection, u"site1");
  EXPECT_EQ(notice.path, u"\\docs\\a~b.txt");
  ASSERT_TRUE(queue.Take(notice));
  EXPECT_EQ(notice.path, u"\\");
  EXPECT_FALSE(queue.Take(notice));
}

TEST_F(ShellNotifyTest, ConsumerSendsEachChangeToTheDriver) {
  test::Sandbox sandbox;
  test::TestDriver driver;
  ShellNotifyQueue queue;
  queue.StartConsumer();
  queue.Queue(connection, u"\\QUENLODE\\site1\\docs", SHCNE_UPDATEDIR);
  queue.Queue(connection, u"\\QUENLODE\\site1\\docs\\b.txt", SHCNE_DELETE);
  ASSERT_TRUE(driver.WaitFor(IOCTL_INVALIDATE_PATH, 2));
  queue.StopConsumer();
  auto calls = driver.Calls(IOCTL_INVALIDATE_PATH);
  ASSERT_EQ(calls[1].input.size(), sizeof(driver::InvalidatePathRecord));
  const uint8_t* bytes = calls[1].input.data();
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[2], 'S');
  EXPECT_EQ(bytes[122], 's');
  EXPECT_EQ(bytes[122 + 2 * 5], 0);
  std::u16string path(WideField(reinterpret_cast<const char16_t*>(bytes + 248), kPathChars));
  EXPECT_EQ(path, u"\\docs\\b.txt");
  EXPECT_EQ(queue.size(), 0u);
}

}  // namespace
}  // namespace hvm
