// The desktop front end under the offscreen platform: the site manager's
// fields and buttons write the user's .reg file, the options and program
// settings dialogs store what the rules say, the tray menu numbers its
// commands, the Qt Ui answers from its dialogs. Screenshots of the main
// window and both dialogs go to <build>/screenshots.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QInputDialog>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <thread>
#include <cstring>
#include <fstream>
#include <sstream>

#include "agent/app/connect_site.h"
#include "agent/app/language.h"
#include "lang/language_library.h"
#include "agent/app/program_settings.h"
#include "agent/app/qt/qt_front_end.h"
#include "agent/app/qt/qt_windows.h"
#include "agent/app/startup_main_loop.h"
#include "agent/app/string_table.h"
#include "agent/app/tests/app_test_driver.h"
#include "agent/clients/client_factory.h"
#include "agent/service/request_loop.h"
#include "agent/service/site_passwords.h"
#include "platform/tests/test_support.h"
#include "platform/wide_text.h"

// fontconfig keeps a cache for the life of the process, which LeakSanitizer
// reports at exit in the sanitizer build; it is not this program's.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace hvm {
namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "qt_front_end_test";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Saves a picture of the widget as <build>/screenshots/<name>.png.
void Screenshot(QWidget& widget, const char* name) {
  const char* build = std::getenv("HVM_BINARY_DIR");
  QString folder = QString::fromUtf8(build != nullptr ? build : ".") + "/screenshots";
  QDir().mkpath(folder);
  widget.adjustSize();
  QApplication::processEvents();
  ASSERT_TRUE(widget.grab().save(folder + "/" + name + ".png")) << name;
}

// Types into a field and leaves it, as a person does.
void Type(QLineEdit* field, const QString& text) {
  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, text);
  emit field->editingFinished();
}

class QtFrontEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    test::TheScript() = test::Script{};
    RegisterClientConstructor(ClientKind::WebDav, test::MakeScriptedClient);
    SetCurrentUi(&ui);
    unsetenv("DISPLAY");
    std::memset(block.get(), 0, sizeof(SharedUserBlock));
    table.Bind(block.get());
    connector.disconnectDelayMs = 0;
    window = std::make_unique<MainWindow>(connector, *block, &loop);
  }
  void TearDown() override {
    window.reset();
    test::EndAllSites(connector, table);
    RegisterClientConstructor(ClientKind::WebDav, nullptr);
    SetCurrentUi(nullptr);
    ForgetAllSitePasswords();
  }
  std::string Registry() const { return test::ReadWholeFile(sandbox.Path("user.reg")); }
  int Row(const char16_t* name) const { return window->store().Find(name); }

  test::Sandbox sandbox;
  test::TestDriver driver;
  test::RecordingUi ui;
  std::unique_ptr<SharedUserBlock> block = std::make_unique<SharedUserBlock>();
  ConnectionTable table;
  SiteConnector connector{table};
  AgentMainLoop loop;
  std::unique_ptr<MainWindow> window;
};

TEST_F(QtFrontEndTest, TheSiteManagerWritesEachFieldAndConnects) {
  // A first run shows the two example sites.
  ASSERT_EQ(window->siteList()->count(), 2);
  EXPECT_TRUE(window->siteList()->item(0)->text().startsWith("First Https example"));

  QTest::mouseClick(window->button(IDS_UI_NEW), Qt::LeftButton);
  ASSERT_EQ(window->siteList()->count(), 3);
  EXPECT_EQ(window->SelectedRow(), 2);
  Type(window->nameField(), "Team");
  ASSERT_GE(Row(u"Team"), 0);
  Type(window->urlField(), "http://127.0.0.1:9/dav/");
  Type(window->loginField(), "bob");
  window->dontSaveBox()->setChecked(true);
  std::string reg = Registry();
  EXPECT_NE(reg.find("[HKEY_CURRENT_USER\\Software\\KOLV\\Halvenmoor\\Team]"), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"Url\"=\"http://127.0.0.1:9/dav/\""), std::string::npos);
  EXPECT_NE(reg.find("\"Login\"=\"bob\""), std::string::npos);
  EXPECT_EQ(reg.find("New site"), std::string::npos);  // renamed, not copied

  // The running agent's table follows; the password is asked at connect.
  int live = connector.Find(u"Team");
  ASSERT_GE(live, 0);
  ui.passwords = {"typed"};
  window->SelectSite(Row(u"Team"));
  QTest::mouseClick(window->button(IDS_UI_CONNECT), Qt::LeftButton);
  EXPECT_EQ(ui.passwordQuestions, 1);
  ASSERT_NE(block->sites[live].mappedDrive, 0);
  EXPECT_EQ(SitePassword(block->sites[live]), "typed");
  EXPECT_EQ(Registry().find("typed"), std::string::npos);
  EXPECT_TRUE(window->siteList()->item(Row(u"Team"))->text().contains("X:  (connected)"));
  EXPECT_FALSE(window->button(IDS_UI_CONNECT)->isEnabled());
  EXPECT_TRUE(window->button(IDS_UI_DISCONNECT)->isEnabled());
  EXPECT_FALSE(window->nameField()->isEnabled());
  EXPECT_FALSE(window->button(IDS_UI_DELETE)->isEnabled());

  window->show();
  Screenshot(*window, "main_window");

  // The refresh key in the window rebuilds the selected site's drive.
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  size_t registered = driver.Count(IOCTL_CONNECT);
  QTest::keyClick(window.get(), Qt::Key_F5);
  EXPECT_EQ(driver.Count(IOCTL_CONNECT), registered + 1);
  QTest::keyClick(window.get(), Qt::Key_R, Qt::ControlModifier);
  EXPECT_EQ(driver.Count(IOCTL_CONNECT), registered + 2);
  EXPECT_NE(block->sites[live].mappedDrive, 0);

  QTest::mouseClick(window->button(IDS_UI_DISCONNECT), Qt::LeftButton);
  EXPECT_EQ(block->sites[live].mappedDrive, 0);
  EXPECT_TRUE(window->siteList()->item(Row(u"Team"))->text().contains("(not connected)"));
}

TEST_F(QtFrontEndTest, TheOptionsDialogStoresWhatTheRulesSay) {
  window->SelectSite(0);
  bool seen = false;
  window->dialogOpened = [&](QDialog& dialog) {
    auto& options = static_cast<OptionsDialog&>(dialog);
    auto set = [&](const char16_t* name, int value) {
      options.number(name)->setValue(value);
      emit options.number(name)->editingFinished();
    };
    set(u"Resolve", 0);
    set(u"Connect", 500);
    set(u"Receive", 90);
    set(u"Refresh", 0);
    EXPECT_EQ(options.number(u"Resolve")->value(), 1);
    EXPECT_EQ(options.number(u"Connect")->value(), 120);
    options.check(u"SynByCon")->setChecked(true);
    options.check(u"SynByCon")->setChecked(false);
    options.check(u"Passive")->setChecked(false);
    options.check(u"Passive")->setChecked(true);
    options.check(u"ActiveRefresh")->setChecked(true);
    Screenshot(options, "options_dialog");
    seen = true;
    dialog.reject();
  };
  window->OpenOptions();
  ASSERT_TRUE(seen);
  std::string reg = Registry();
  size_t site = reg.find("\\First Https example]");
  ASSERT_NE(site, std::string::npos) << reg;
  std::string keyText = reg.substr(site, reg.find("\n[", site) - site);
  EXPECT_NE(keyText.find("\"Resolve\"=dword:00000001"), std::string::npos) << keyText;
  EXPECT_NE(keyText.find("\"Connect\"=dword:00000078"), std::string::npos);
  EXPECT_NE(keyText.find("\"Receive\"=dword:0000005a"), std::string::npos);
  EXPECT_NE(keyText.find("\"Refresh\"=dword:00000000"), std::string::npos);
  EXPECT_NE(keyText.find("\"SynByCon\"=dword:00008000"), std::string::npos);
  EXPECT_NE(keyText.find("\"Passive\"=dword:00000002"), std::string::npos);
  EXPECT_NE(keyText.find("\"ActiveRefresh\"=dword:00000001"), std::string::npos);
  // The running agent's table took the changes.
  int live = connector.Find(u"First Https example");
  ASSERT_GE(live, 0);
  EXPECT_EQ(block->sites[live].connectTimeout, 120u);
  EXPECT_NE(block->sites[live].flags & kSiteActiveRefresh, 0u);
}

TEST_F(QtFrontEndTest, TheProgramSettingsDialogWritesProxyAndAutostart) {
  bool seen = false;
  window->dialogOpened = [&](QDialog& dialog) {
    auto& settings = static_cast<ProgramSettingsDialog&>(dialog);
    settings.mode(static_cast<int>(ProxyMode::kManual))->setChecked(true);
    Type(settings.field(u"ProxyServer"), "proxy.example.org");
    Type(settings.field(u"ProxyPort"), "31289");  // the field takes four digits
    Type(settings.field(u"ProxyUser"), "pu");
    settings.runAtStartup()->setChecked(true);
    Screenshot(settings, "settings_dialog");
    seen = true;
    dialog.reject();
  };
  window->RunTrayCommand(kTraySettings);
  ASSERT_TRUE(seen);
  std::string reg = Registry();
  EXPECT_NE(reg.find("\"ProxyServer\"=\"proxy.example.org\""), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"ProxyPort\"=dword:00000c38"), std::string::npos);
  EXPECT_NE(reg.find("\"ProxyMode\"=dword:00000001"), std::string::npos);
  EXPECT_NE(reg.find("\"ProxyUser\"=\"pu\""), std::string::npos);
  EXPECT_EQ(block->proxyPort, 3128u);
  EXPECT_TRUE(RunAtStartupEnabled());
  EXPECT_NE(test::ReadWholeFile(AutostartEntryPath()).find("/min /sleep=20"), std::string::npos);
}

TEST_F(QtFrontEndTest, TheTrayMenuNumbersEverySitesCommands) {
  window->BuildTrayMenu();
  QList<QAction*> top = window->trayMenu()->actions();
  ASSERT_FALSE(top.isEmpty());
  QMenu* connections = top[0]->menu();
  ASSERT_NE(connections, nullptr);
  ASSERT_EQ(connections->actions().size(), 2);
  std::vector<int> numbers;
  for (QAction* site : connections->actions())
    for (QAction* entry : site->menu()->actions())
      if (!entry->isSeparator()) numbers.push_back(entry->data().toInt());
  std::vector<int> expected = {0x8083, 0x8089, 0x8086, 0x8088, 0x808D, 0x8093, 0x8090, 0x8092};
  EXPECT_EQ(numbers, expected);
  std::vector<int> commands;
  for (QAction* entry : top)
    if (!entry->isSeparator() && entry->menu() == nullptr) commands.push_back(entry->data().toInt());
  EXPECT_EQ(commands, (std::vector<int>{0x8007, 0x8012, 0x8008, 0x8009, 0x800D, 0x8011, 0x800E}));

  // "Connect at startup" twice leaves Auto as it was, the mark in step.
  uint8_t before = window->store().Record(1).autoConnect;
  window->RunTrayCommand(0x8082 + 10 * 1 + kSiteAutoConnect);
  EXPECT_NE(window->store().Record(1).autoConnect, before);
  window->BuildTrayMenu();
  QAction* mark = window->trayMenu()->actions()[0]->menu()->actions()[1]->menu()->actions().last();
  EXPECT_EQ(mark->isChecked(), window->store().Record(1).autoConnect != 0);
  window->RunTrayCommand(0x8082 + 10 * 1 + kSiteAutoConnect);
  EXPECT_EQ(window->store().Record(1).autoConnect, before);

  // Exit ends the agent's loop.
  window->RunTrayCommand(kTrayExit);
  EXPECT_FALSE(loop.HandlePending({}));
}

// A file's name and a server's error text come from the server; the
// desktop's notification service would read them as markup.
TEST_F(QtFrontEndTest, ANoticesTextReachesTheNotificationServiceEscaped) {
  const QString hostile = QString::fromUtf8(
      "<b>Tom & Jerry</b>.txt could not be saved: <a href=\"http://evil/\">x</a>"
      "<img src=\"http://evil/track.png\"/> &amp;");
  const QString escaped = QString::fromUtf8(
      "&lt;b&gt;Tom &amp; Jerry&lt;/b&gt;.txt could not be saved: &lt;a href=\"http://evil/\"&gt;x&lt;/a&gt;"
      "&lt;img src=\"http://evil/track.png\"/&gt; &amp;amp;");
  window->setTrayReadsMarkup(true);
  window->ShowNotice(QStringLiteral("Upload failed"), hostile, true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window->lastNotice().isEmpty(); }, 10000));
  EXPECT_EQ(window->lastTrayBody().toStdString(), escaped.toStdString());
  EXPECT_EQ(window->lastNotice().toStdString(), (QStringLiteral("Upload failed\n") + hostile).toStdString())
      << "the person reads it as written";

  // The balloon Qt draws itself shows plain text: nothing is escaped for it.
  window->setTrayReadsMarkup(false);
  window->ShowNotice(QStringLiteral("Upload failed"), QStringLiteral("a <b> & c"), true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->lastTrayBody() == QStringLiteral("a <b> & c"); }, 10000));
}

TEST_F(QtFrontEndTest, TheQtUiAnswersFromItsDialogs) {
  std::unique_ptr<Ui> qtUi = MakeQtUi();
  QTimer::singleShot(0, [] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    box->button(QMessageBox::Retry)->click();
  });
  EXPECT_EQ(qtUi->MessageBox(u"Try again?", u"Halvenmoor", MB_RETRYCANCEL | MB_ICONQUESTION), IDRETRY);
  // A box may show a server's text (an SSH banner): it is never taken for
  // rich text, so it can show no link, image or styled lines of its own.
  Qt::TextFormat format = Qt::AutoText;
  QTimer::singleShot(0, [&format] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    format = box->textFormat();
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(qtUi->MessageBox(u"<h1>Session expired</h1><a href=\"https://evil.example/\">Log in again</a>",
                             u"Halvenmoor", MB_OK | MB_ICONWARNING),
            IDOK);
  EXPECT_EQ(format, Qt::PlainText);
  QTimer::singleShot(0, [] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    box->reject();  // closed without a button: the safe answer
  });
  EXPECT_EQ(qtUi->MessageBox(u"Replace?", u"Halvenmoor", MB_YESNOCANCEL), IDCANCEL);
  QTimer::singleShot(0, [] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    ASSERT_NE(box->checkBox(), nullptr);
    box->checkBox()->setChecked(true);
    box->button(QMessageBox::Ok)->click();
  });
  bool checked = false;
  EXPECT_EQ(qtUi->MessageBoxWithCheck(u"Update?", u"Update", MB_OKCANCEL, u"Do not ask me any more", checked), IDOK);
  EXPECT_TRUE(checked);
  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->setTextValue("s3cret");
    dialog->accept();
  });
  std::string password;
  EXPECT_TRUE(qtUi->AskPassword(u"Password of bob for Team", password));
  EXPECT_EQ(password, "s3cret");
  // A question from another thread waits for the front end's thread.
  int answer = 0;
  std::thread worker([&] { answer = qtUi->MessageBox(u"From a worker", u"Halvenmoor", MB_OKCANCEL); });
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
      box->button(QMessageBox::Ok)->click();
  });
  closer.start(20);
  while (answer == 0) QApplication::processEvents(QEventLoop::AllEvents, 20);
  worker.join();
  EXPECT_EQ(answer, IDOK);
}

// Every text of the front end is translated by each language library, and
// a German choice shows German buttons and menus.
TEST_F(QtFrontEndTest, EveryFrontEndTextIsTranslatedAndShown) {
  const char* build = std::getenv("HVM_BINARY_DIR");
  std::string lib = std::string(build != nullptr ? build : ".") + "/lib/libmoorlang";
  const std::pair<DWORD, const char*> languages[] = {
      {LANG_GERMAN, "de"}, {LANG_FRENCH, "fr"}, {LANG_ITALIAN, "it"}, {LANG_DUTCH, "nl"}, {LANG_HUNGARIAN, "hu"}};
  for (const auto& [language, code] : languages) {
    std::unique_ptr<LanguageModule> module = LanguageModule::LoadFile(language, lib + code + ".so");
    ASSERT_TRUE(module->IsLoaded()) << code;
    auto lookup = reinterpret_cast<MoorLangStringFunction>(module->FindExport(kMoorLangStringExport));
    ASSERT_NE(lookup, nullptr);
    for (uint32_t id = 1300; id < 1400; ++id) {
      if (EnglishString(id) == nullptr) continue;
      EXPECT_NE(lookup(id), nullptr) << code << " lacks string " << id;
    }
  }
  ChooseLanguageLibrary(LANG_GERMAN);
  MainWindow german(connector, *block, &loop);
  german.BuildTrayMenu();
  EXPECT_EQ(german.button(IDS_UI_CONNECT)->text(), "&Verbinden");
  EXPECT_EQ(german.trayMenu()->actions()[0]->text(), "Verbindungen");
  ChooseLanguageLibrary(LANG_ENGLISH);
  EXPECT_EQ(Text(IDS_UI_CONNECT), "&Connect");
}

TEST(QtFrontEndDisplay, ADisplayIsSeenFromTheEnvironment) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
  EXPECT_FALSE(DisplayAvailable());
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  EXPECT_TRUE(DisplayAvailable());
  unsetenv("WAYLAND_DISPLAY");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);  // nobody sees it: the agent stays headless
  EXPECT_FALSE(DisplayAvailable());
  setenv("QT_QPA_PLATFORM", "vnc:size=800x600", 1);
  EXPECT_TRUE(DisplayAvailable());
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace
}  // namespace hvm
