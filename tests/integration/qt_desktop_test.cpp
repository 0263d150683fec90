// The site manager window under the offscreen platform against Apache with
// mod_dav: a site is added with the window's fields, its password (not saved)
// is asked at Connect, a wrong one is refused by the server, the right one
// connects, the list shows the Connection's state, and a changed setting is
// in the user's .reg file. An upload that runs after its program closed the
// file, against an Apache that was stopped meanwhile, shows its failure from
// the tray with the file's name. The driver is the agent tests' control-socket
// double.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "agent/app/connect_site.h"
#include "agent/app/qt/qt_windows.h"
#include "agent/app/startup_main_loop.h"
#include "agent/app/string_table.h"
#include "agent/app/tests/app_test_driver.h"
#include "agent/clients/client_factory.h"
#include "agent/clients/webdav_client.h"
#include "agent/service/local_copy.h"
#include "agent/service/operations.h"
#include "agent/service/path_forms.h"
#include "agent/service/request_loop.h"
#include "agent/service/site_passwords.h"
#include "platform/runtime_paths.h"
#include "platform/tests/test_support.h"
#include "platform/wide_text.h"

// fontconfig keeps a cache for the life of the process, which LeakSanitizer
// reports at exit in the sanitizer build; it is not this program's.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace hvm {
namespace {

void Type(QLineEdit* field, const QString& text) {
  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, text);
  emit field->editingFinished();
}

QApplication& App() {
  static int argc = 1;
  static char name[] = "qt_desktop_integration_test";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Boxes are recorded and answered as by nobody (Cancel); notices take the
// Qt front end's way to the window's tray.
class TrayNoticeUi : public test::RecordingUi {
 public:
  void Notify(std::u16string_view title, std::u16string_view text, bool failure) override {
    qt_->Notify(title, text, failure);
  }

 private:
  std::unique_ptr<Ui> qt_ = MakeQtUi();
};

// Apache on loopback, the driver double and the live site table with its
// connector; everything stops again after each test, also after a failure.
class QtDesktopApache : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    port = std::atoi(test::ShellOutput(script + " start " + state + " 2>/dev/null").c_str());
    if (port <= 0) GTEST_SKIP() << "Apache did not start";
    SetCurrentUi(&ui);
    RegisterWebDavClient();
    std::memset(block.get(), 0, sizeof(SharedUserBlock));
    table.Bind(block.get());
    connector.disconnectDelayMs = 0;
  }
  void TearDown() override {
    test::EndAllSites(connector, table);
    SetCurrentUi(nullptr);
    ForgetAllSitePasswords();
    StopApache();
  }
  void StopApache() { test::ShellOutput(script + " stop " + state); }

  test::Sandbox sandbox;
  std::string script = std::string(HVM_SOURCE_DIR_PATH) + "/tests/servers/apache_webdav.sh";
  std::string state = sandbox.Path("apache");
  int port = 0;
  test::TestDriver driver;
  TrayNoticeUi ui;
  std::unique_ptr<SharedUserBlock> block = std::make_unique<SharedUserBlock>();
  ConnectionTable table;
  SiteConnector connector{table};
  AgentMainLoop loop;
};

TEST_F(QtDesktopApache, ASiteAddedInTheWindowConnectsAndShowsItsState) {
  {
    MainWindow window(connector, *block, &loop);
    QTest::mouseClick(window.button(IDS_UI_NEW), Qt::LeftButton);
    Type(window.nameField(), "Apache");
    Type(window.urlField(), QString("http://127.0.0.1:%1/auth/").arg(port));
    Type(window.loginField(), "hvm");
    window.dontSaveBox()->setChecked(true);
    int row = window.store().Find(u"Apache");
    ASSERT_GE(row, 0);
    EXPECT_TRUE(window.siteList()->item(row)->text().startsWith("Apache"));

    // A wrong password is refused by the server and the site stays disconnected.
    ui.passwords = {"wrong"};
    window.SelectSite(row);
    EXPECT_FALSE(window.ConnectSelected(false));
    int live = connector.Find(u"Apache");
    ASSERT_GE(live, 0);
    EXPECT_EQ(block->sites[live].mappedDrive, 0);
    ASSERT_FALSE(ui.boxes.empty());
    ForgetSitePassword(block->sites[live]);

    ui.passwords = {"secret"};
    EXPECT_TRUE(window.ConnectSelected(false));
    EXPECT_EQ(ui.passwordQuestions, 2);
    char letter = block->sites[live].mappedDrive;
    ASSERT_NE(letter, 0);
    EXPECT_TRUE(window.siteList()->item(row)->text().contains(QString("%1:  (connected)").arg(QChar(letter))))
        << window.siteList()->item(row)->text().toStdString();
    std::string target;
    EXPECT_TRUE(QueryDriveLink(letter, target));
    EXPECT_EQ(test::ReadWholeFile(sandbox.Path("user.reg")).find("secret"), std::string::npos);

    // A setting changed in the options dialog is in the .reg file.
    window.dialogOpened = [](QDialog& dialog) {
      auto& options = static_cast<OptionsDialog&>(dialog);
      options.number(u"Retry")->setValue(4);
      emit options.number(u"Retry")->editingFinished();
      dialog.reject();
    };
    window.OpenOptions();
    std::string reg = test::ReadWholeFile(sandbox.Path("user.reg"));
    size_t key = reg.find("\\Halvenmoor\\Apache]");
    ASSERT_NE(key, std::string::npos);
    EXPECT_NE(reg.find("\"Retry\"=dword:00000004", key), std::string::npos) << reg;

    window.DisconnectSelected();
    EXPECT_EQ(block->sites[live].mappedDrive, 0);
    EXPECT_TRUE(window.siteList()->item(row)->text().contains("(not connected)"));
  }
}

TEST_F(QtDesktopApache, AFailedUploadNobodyWaitsForIsShownFromTheTray) {
  const std::string contents = "written, then the server went away\n";
  {
    MainWindow window(connector, *block, &loop);
    QTest::mouseClick(window.button(IDS_UI_NEW), Qt::LeftButton);
    Type(window.nameField(), "Notes");
    Type(window.urlField(), QString("http://127.0.0.1:%1/dav/").arg(port));
    int row = window.store().Find(u"Notes");
    ASSERT_GE(row, 0);
    window.SelectSite(row);
    ASSERT_TRUE(window.ConnectSelected(false));
    int live = connector.Find(u"Notes");
    ASSERT_GE(live, 0);
    Connection& c = table.at(static_cast<size_t>(live));

    {
      // A file written on the drive whose last release comes after its
      // program closed it: the driver marks that cleanup as watched by nobody.
      std::lock_guard<std::recursive_mutex> guard(c.requestLock);
      FileEntry* root = c.client->RootEntry();
      ASSERT_NE(root, nullptr);
      FileEntry* entry = c.entries.NewEntry(c.RootPath() + u"\\plan 2027.txt");
      ASSERT_NE(entry, nullptr);
      entry->parent = root;
      entry->flags |= kEntryMustBeNew;
      ASSERT_EQ(WriteLocalCopy(c, *entry, reinterpret_cast<const uint8_t*>(contents.data()), 0,
                               contents.size(), CopyKind::Local),
                kLocalCopyWritten);
      entry->size = contents.size();
      entry->useCount = entry->handleCount = 1;
      auto* handle = new OpenHandle();
      handle->entry = entry;
      handle->fileObject = 0x77;
      c.openHandles.Push(handle);

      StopApache();
      auto request = std::make_unique<RequestRecord>();
      std::memset(request.get(), 0, sizeof(RequestRecord));
      request->MajorFunction = MJ_CLEANUP;
      request->FileObject = 0x77;
      request->Parameters[0] = kCleanupNobodyWaits;
      request->fileValue = static_cast<uint32_t>(contents.size());
      auto reply = std::make_unique<ReplyRecord>();
      LoopState loopState;
      RequestContext ctx(c, loopState, *request, *reply);
      ctx.handle = handle;
      ctx.entry = entry;
      ctx.area.serverPath = ServerPathOf(c, entry->Path());
      CleanupOperation(ctx);
      EXPECT_EQ(reply->status, static_cast<uint32_t>(STATUS_CANCELLED));
      // The close that follows finds nothing left to send.
      request->MajorFunction = MJ_CLOSE;
      request->Parameters[0] = 0;
      RequestContext closing(c, loopState, *request, *reply);
      closing.handle = handle;
      closing.entry = entry;
      closing.area.serverPath = ctx.area.serverPath;
      CloseOperation(closing);
      EXPECT_EQ(reply->status, static_cast<uint32_t>(STATUS_SUCCESS));
    }

    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.lastNotice().isEmpty(); }, 10000));
    QString shown = window.lastNotice();
    EXPECT_TRUE(shown.startsWith(Text(IDS_NOTICE_FAILED_TITLE))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QString::fromUtf8(":\\plan 2027.txt could not be saved on the server: ")))
        << shown.toStdString();
    // The notice names the backup copy, which holds every written byte.
    std::string backups = DataDir() + "/backup/Notes";
    std::string saved = test::ShellOutput("ls '" + backups + "' 2>/dev/null");
    ASSERT_EQ(saved.rfind("plan 2027.txt.", 0), 0u) << saved;
    std::string path = backups + "/" + saved.substr(0, saved.find('\n'));
    EXPECT_TRUE(shown.contains(QString::fromStdString(path))) << shown.toStdString() << " / " << path;
    EXPECT_EQ(test::ReadWholeFile(path), contents);
    // The boxes of the failure itself were asked too, as before.
    EXPECT_FALSE(ui.boxes.empty());
    window.DisconnectSelected();
  }
}

}  // namespace
}  // namespace hvm
