// The site manager window under the offscreen platform against Apache with
// mod_dav: a site is added with the window's fields, its password (not saved)
// is asked at Connect, a wrong one is refused by the server, the right one
// connects, the list shows the Connection's state, and a changed setting is
// in the user's .reg file. The driver is the agent tests' control-socket double.
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
#include "agent/service/request_loop.h"
#include "agent/service/site_passwords.h"
#include "platform/tests/test_support.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

void Type(QLineEdit* field, const QString& text) {
  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, text);
  emit field->editingFinished();
}

TEST(QtDesktopApache, ASiteAddedInTheWindowConnectsAndShowsItsState) {
  static int argc = 1;
  static char name[] = "qt_desktop_integration_test";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  test::Sandbox sandbox;
  std::string script = std::string(HVM_SOURCE_DIR_PATH) + "/tests/servers/apache_webdav.sh";
  std::string state = sandbox.Path("apache");
  int port = std::atoi(test::ShellOutput(script + " start " + state + " 2>/dev/null").c_str());
  if (port <= 0) GTEST_SKIP() << "Apache did not start";
  test::TestDriver driver;
  test::RecordingUi ui;
  SetCurrentUi(&ui);
  RegisterWebDavClient();
  auto block = std::make_unique<SharedUserBlock>();
  std::memset(block.get(), 0, sizeof(SharedUserBlock));
  ConnectionTable table;
  table.Bind(block.get());
  SiteConnector connector(table);
  connector.disconnectDelayMs = 0;
  AgentMainLoop loop;
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
  connector.DisconnectAllSites();
  for (size_t i = 0; i < table.size(); ++i) JoinRequestLoop(table.at(i));
  StopHousekeeping();
  SetCurrentUi(nullptr);
  ForgetAllSitePasswords();
  test::ShellOutput(script + " stop " + state);
}

}  // namespace
}  // namespace hvm
