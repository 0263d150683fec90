// The Qt front end's windows: the site manager (main window) with its tray
// icon, the options dialog of a site and the program settings dialog.
// Every control writes its value at once, as the site manager's operations do.
#pragma once
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "agent/app/site_manager.h"
#include "agent/app/sites.h"

namespace hvm {

class AgentMainLoop;
class SiteConnector;
struct SharedUserBlock;

// A string resource in the agent's language as Qt text.
QString Text(uint32_t id);
QString ToQString(std::u16string_view text);
std::u16string ToWide(const QString& text);
// The product icon (drawn, so that it needs no file).
QIcon ProductIcon();

class Ui;
// The front end's Ui: boxes, password prompts, progress and file choices as
// Qt dialogs, shown on the front end's thread whichever thread asks.
std::unique_ptr<Ui> MakeQtUi();

// Tray menu commands, as the menu numbers them.
inline constexpr int kTraySettings = 0x8007;
inline constexpr int kTrayHelp = 0x8008;
inline constexpr int kTrayAbout = 0x8009;
inline constexpr int kTrayOpen = 0x800D;
inline constexpr int kTrayExit = 0x800E;
inline constexpr int kTrayUpdate = 0x8011;
inline constexpr int kTrayLog = 0x8012;
// Site i's command k: 0x8082 + 10 * i + k.
inline constexpr int kSiteCommandBase = 0x8082;
enum SiteCommand {
  kSiteConnect = 1,
  kSiteDisconnect = 2,
  kSiteRefresh = 3,
  kSiteProperties = 4,
  kSiteOpenDrive = 5,
  kSiteAutoConnect = 6,
  kSiteOfflineConnect = 7,
};

class MainWindow : public QWidget {
 public:
  MainWindow(SiteConnector& connector, SharedUserBlock& block, AgentMainLoop* loop);
  ~MainWindow() override;

  // Reads the sites from the registry again and shows them with their states.
  void Reload();
  // The list entries and buttons follow the states of the live Connections.
  void ShowStates();
  void ShowAndRaise();
  void SelectSite(int row);
  int SelectedRow() const;

  // The operations behind the buttons and menu entries, on the selected site.
  bool ConnectSelected(bool openExplorer);
  bool OfflineConnectSelected();
  void DisconnectSelected();
  void RefreshSelected();
  void OpenOptions();
  void OpenProgramSettings();
  void CheckForUpdate(bool quietWhenCurrent);
  // Runs work on a thread of its own while this thread goes on showing the
  // questions it asks: a request that holds a site's lock and asks something
  // never waits for a front end that waits for that lock. The window takes no
  // input meanwhile.
  void RunOffThread(const std::function<void()>& work);
  // Runs a tray command by its number.
  void RunTrayCommand(int command);
  // Shows a notice from the tray icon; notices that come close together (an
  // offline synchronisation's uploads) are shown as one.
  void ShowNotice(const QString& title, const QString& text, bool failure);
  // The title and text the tray showed last (tests).
  QString lastNotice() const { return lastNotice_; }
  // The body handed to the tray last, and whether the tray's notices are
  // read as markup (tests may say so, to see either way).
  QString lastTrayBody() const { return lastTrayBody_; }
  void setTrayReadsMarkup(bool markup) { trayReadsMarkup_ = markup; }
  // The window notices go to: the one made last that still exists, or null.
  static MainWindow* NoticeWindow();
  // True while a window's tray icon is where the desktop shows notices;
  // without one a failure is printed on the terminal as well. Any thread.
  static bool TrayShowsNotices();

  QListWidget* siteList() const { return list_; }
  QMenu* trayMenu() const { return trayMenu_; }
  QPushButton* button(uint32_t textId) const;
  QLineEdit* nameField() const { return name_; }
  QLineEdit* urlField() const { return url_; }
  QLineEdit* loginField() const { return login_; }
  QLineEdit* passwordField() const { return password_; }
  QCheckBox* dontSaveBox() const { return dontSave_; }
  QComboBox* driveList() const { return drive_; }
  SiteStore& store() { return *store_; }
  // The dialog opened last by OpenOptions / OpenProgramSettings while it is open (tests).
  QDialog* openDialog() const { return openDialog_; }
  // Called with each dialog right after it opened (tests drive it from here).
  std::function<void(QDialog&)> dialogOpened;
  // The menu as the tray shows it now.
  void BuildTrayMenu();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct Scratch;
  QPushButton* AddButton(uint32_t textId, void (MainWindow::*action)());
  void FillFields();
  void ShowList();
  void Publish();
  int LiveIndex(int row) const;
  const SiteRecord* LiveRecord(int row) const;
  void ShowResult(SiteResult result);
  void RunSiteCommand(int site, int command);
  void AddSiteMenu(QMenu& connections, int row);
  void ShowLog();
  void ShowHelp();
  void ExitAgent();
  int RunDialog(QDialog& dialog);

  // The buttons' actions.
  void OnNew();
  void OnDelete();
  void OnConnect();
  void OnDisconnect();
  void OnClone();
  void OnRefresh();
  void OnOfflineConnect();
  void OnSynchronize();
  void OnNothing() {}

  SiteConnector& connector_;
  SharedUserBlock& block_;
  AgentMainLoop* loop_;
  std::unique_ptr<Scratch> scratch_;
  std::unique_ptr<SiteStore> store_;
  std::unique_ptr<SiteManager> manager_;
  bool filling_ = false;

  QListWidget* list_ = nullptr;
  QLineEdit* name_ = nullptr;
  QLineEdit* url_ = nullptr;
  QLineEdit* login_ = nullptr;
  QLineEdit* password_ = nullptr;
  QCheckBox* dontSave_ = nullptr;
  QComboBox* drive_ = nullptr;
  std::map<uint32_t, QPushButton*> buttons_;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QDialog* openDialog_ = nullptr;
  struct Notice {
    QString title, text;
    bool failure;
  };
  std::vector<Notice> notices_;  // waiting to be shown together
  QTimer* noticeTimer_ = nullptr;
  QString lastNotice_;
  QString lastTrayBody_;
  bool trayReadsMarkup_ = true;
  void ShowGatheredNotices();
};

// The options dialog of one site (title "Options").
class OptionsDialog : public QDialog {
 public:
  OptionsDialog(SiteManager& manager, SiteStore& store, int row, QWidget* parent);
  QSpinBox* number(const char16_t* valueName) const;
  QCheckBox* check(const char16_t* valueName) const;

 private:
  void AddNumber(class QFormLayout& form, uint32_t textId, const char16_t* valueName);
  void AddCheck(class QVBoxLayout& box, uint32_t textId, const char16_t* valueName);
  void Write(const char16_t* valueName, DWORD value);
  void Show();

  SiteManager& manager_;
  SiteStore& store_;
  int row_;
  std::map<std::u16string, QSpinBox*> numbers_;
  std::map<std::u16string, QCheckBox*> checks_;
};

// The program settings dialog: the proxy and the start at login.
class ProgramSettingsDialog : public QDialog {
 public:
  ProgramSettingsDialog(SharedUserBlock& block, QWidget* parent);
  QLineEdit* field(const char16_t* valueName) const;
  QRadioButton* mode(int proxyMode) const { return modes_[proxyMode]; }
  QCheckBox* runAtStartup() const { return runAtStartup_; }

 private:
  QLineEdit* AddField(class QFormLayout& form, uint32_t textId, const char16_t* valueName, int chars);
  void Applied();

  SharedUserBlock& block_;
  std::map<std::u16string, QLineEdit*> fields_;
  QRadioButton* modes_[3] = {};
  QCheckBox* runAtStartup_ = nullptr;
};

}  // namespace hvm
