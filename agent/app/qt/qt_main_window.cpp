// The site manager window and the tray icon with its menu.
//
// The window edits a private copy of the site table (with the passwords the
// registry keeps); after each change the running agent takes the sites in as
// the registry now has them, the way `moorgate --settings` does, so that the
// live table in the shared block never holds a password.
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>
#include <QStringList>
#include <QEventLoop>
#ifdef HVM_QT_DBUS
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#endif
#include <atomic>
#include <cstring>
#include <thread>

#include "agent/app/connect_site.h"
#include "agent/app/qt/qt_windows.h"
#include "agent/app/startup_main_loop.h"
#include "agent/app/string_table.h"
#include "agent/app/updater.h"
#include "agent/service/registration.h"
#include "agent/service/site_passwords.h"
#include "platform/runtime_paths.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr int kLogLines = 400;

bool Connected(const SiteRecord* record) { return record != nullptr && record->mappedDrive != 0; }

QString StateText(const SiteRecord* record) {
  if (!Connected(record)) return Text(IDS_UI_STATE_IDLE);
  return Text((record->flags & kSiteOffline) ? IDS_UI_STATE_OFFLINE : IDS_UI_STATE_CONNECTED);
}

constexpr int kNoticeGatherMs = 400;  // notices this close together are shown as one
constexpr int kNoticeShownMs = 10000;
constexpr int kNoticeMostLines = 8;

std::atomic<MainWindow*> gNoticeWindow{nullptr};
std::atomic<bool> gTrayShown{false};

// Qt sends the tray's notices to the desktop's notification service
// (org.freedesktop.Notifications, which reads the body as markup) whenever a
// StatusNotifierItem host is registered on the session bus, the test Qt
// makes itself; only next to an XEmbed tray does it draw a balloon of its own,
// which shows plain text. Without a way to ask, the text is taken for markup.
bool TrayNoticesAreMarkup() {
#ifdef HVM_QT_DBUS
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  return bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher")).value();
#else
  return true;
#endif
}

}  // namespace

struct MainWindow::Scratch {
  SiteTable sites;
};

MainWindow::MainWindow(SiteConnector& connector, SharedUserBlock& block, AgentMainLoop* loop)
    : connector_(connector), block_(block), loop_(loop), scratch_(std::make_unique<Scratch>()) {
  std::memset(scratch_->sites, 0, sizeof(SiteTable));
  store_ = std::make_unique<SiteStore>(scratch_->sites);
  manager_ = std::make_unique<SiteManager>(*store_);
  setWindowTitle(ToQString(kProductName));
  setWindowIcon(ProductIcon());
  setObjectName("SiteManager");

  list_ = new QListWidget();
  list_->setMinimumWidth(300);
  connect(list_, &QListWidget::currentRowChanged, this, [this](int) { FillFields(); });
  connect(list_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem*) { ConnectSelected(true); });

  auto* form = new QFormLayout();
  name_ = new QLineEdit();
  name_->setMaxLength(static_cast<int>(kSiteNameMaxChars));
  url_ = new QLineEdit();
  url_->setMaxLength(static_cast<int>(kSiteUrlMaxChars));
  login_ = new QLineEdit();
  login_->setMaxLength(static_cast<int>(kSiteLoginMaxBytes));
  password_ = new QLineEdit();
  password_->setMaxLength(static_cast<int>(kSitePasswordMaxBytes));
  password_->setEchoMode(QLineEdit::Password);
  dontSave_ = new QCheckBox(Text(IDS_UI_DONT_SAVE));
  drive_ = new QComboBox();
  for (char letter = 'D'; letter <= 'Z'; ++letter) drive_->addItem(QString(QChar(letter)));
  form->addRow(Text(IDS_UI_NAME), name_);
  form->addRow(Text(IDS_UI_URL), url_);
  form->addRow(Text(IDS_UI_LOGIN), login_);
  auto* passwordRow = new QHBoxLayout();
  passwordRow->addWidget(password_);
  passwordRow->addWidget(dontSave_);
  auto* passwordLabel = new QLabel(Text(IDS_UI_PASSWORD));
  passwordLabel->setBuddy(password_);
  form->addRow(passwordLabel, passwordRow);
  form->addRow(Text(IDS_UI_DRIVE), drive_);

  auto edited = [this](auto apply) {
    return [this, apply] {
      int row = SelectedRow();
      if (filling_ || row < 0) return;
      ShowResult(apply(row));
    };
  };
  connect(name_, &QLineEdit::editingFinished, this, edited([this](int row) {
            if (ToWide(name_->text()) == store_->Name(row)) return SiteResult::kUnchanged;
            return manager_->RenameSite(row, ToWide(name_->text()));
          }));
  connect(url_, &QLineEdit::editingFinished, this, edited([this](int row) {
            if (ToWide(url_->text()) == WideField(store_->Record(row).url, kSiteUrlChars))
              return SiteResult::kUnchanged;
            return manager_->SetUrl(row, ToWide(url_->text()));
          }));
  connect(login_, &QLineEdit::editingFinished, this, edited([this](int row) {
            return manager_->SetLogin(row, login_->text().toStdString());
          }));
  connect(password_, &QLineEdit::editingFinished, this, edited([this](int row) {
            std::string typed = password_->text().toStdString();
            SiteResult result = manager_->SetPassword(row, typed);
            WipeMemory(typed.data(), typed.size());
            return result;
          }));
  connect(dontSave_, &QCheckBox::toggled, this, edited([this](int row) {
            return manager_->SetDontSavePassword(row, dontSave_->isChecked());
          }));
  connect(drive_, &QComboBox::activated, this, edited([this](int row) {
            return manager_->SetDrive(row, drive_->currentText().toLatin1().at(0));
          }));

  auto* buttons = new QGridLayout();
  const std::pair<uint32_t, void (MainWindow::*)()> actions[] = {
      {IDS_UI_NEW, &MainWindow::OnNew},
      {IDS_UI_DELETE, &MainWindow::OnDelete},
      {IDS_UI_CONNECT, &MainWindow::OnConnect},
      {IDS_UI_DISCONNECT, &MainWindow::OnDisconnect},
      {IDS_UI_CLONE, &MainWindow::OnClone},
      {IDS_UI_REFRESH, &MainWindow::OnRefresh},
      {IDS_UI_OPTIONS, &MainWindow::OpenOptions},
      {IDS_UI_OFFLINE_CONNECT, &MainWindow::OnOfflineConnect},
      {IDS_UI_SYNCHRONIZE, &MainWindow::OnSynchronize},
      {IDS_UI_DELETE_CACHE, &MainWindow::OnNothing},
      {IDS_UI_HELP, &MainWindow::ShowHelp},
      {IDS_UI_EXIT, &MainWindow::ExitAgent}};
  int at = 0;
  for (const auto& [textId, action] : actions) {
    buttons->addWidget(AddButton(textId, action), at / 3, at % 3);
    ++at;
  }

  auto* right = new QVBoxLayout();
  right->addLayout(form);
  right->addLayout(buttons);
  right->addStretch();
  auto* top = new QHBoxLayout(this);
  auto* left = new QVBoxLayout();
  left->addWidget(new QLabel(Text(IDS_UI_SITES)));
  left->addWidget(list_);
  top->addLayout(left, 1);
  top->addLayout(right, 2);

  tray_ = new QSystemTrayIcon(ProductIcon(), this);
  tray_->setToolTip(ToQString(kProductName));
  trayMenu_ = new QMenu(this);
  connect(trayMenu_, &QMenu::aboutToShow, this, [this] { BuildTrayMenu(); });
  tray_->setContextMenu(trayMenu_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) ShowAndRaise();
  });
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray_->show();
  gTrayShown = tray_->isVisible();
  trayReadsMarkup_ = TrayNoticesAreMarkup();
  // The refresh key: F5 or Ctrl+R in the window refreshes the selected site's drive.
  for (const QKeySequence& key : {QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_R)}) {
    auto* shortcut = new QShortcut(key, this);
    connect(shortcut, &QShortcut::activated, this, [this] { RefreshSelected(); });
  }
  noticeTimer_ = new QTimer(this);
  noticeTimer_->setSingleShot(true);
  connect(noticeTimer_, &QTimer::timeout, this, [this] { ShowGatheredNotices(); });
  Reload();
  BuildTrayMenu();
  gNoticeWindow = this;
}

MainWindow* MainWindow::NoticeWindow() { return gNoticeWindow.load(); }

bool MainWindow::TrayShowsNotices() { return gNoticeWindow.load() != nullptr && gTrayShown.load(); }

void MainWindow::ShowNotice(const QString& title, const QString& text, bool failure) {
  notices_.push_back({title, text, failure});
  if (!noticeTimer_->isActive()) noticeTimer_->start(kNoticeGatherMs);
}

void MainWindow::ShowGatheredNotices() {
  if (notices_.empty()) return;
  bool failure = false;
  QStringList lines;
  for (const Notice& n : notices_) {
    failure = failure || n.failure;
    if (lines.size() < kNoticeMostLines) lines << n.text;
  }
  if (notices_.size() > static_cast<size_t>(kNoticeMostLines)) lines << QStringLiteral("…");
  // Several notices take the title of a failure among them, else the first one's.
  QString title = notices_.front().title;
  for (const Notice& n : notices_)
    if (n.failure) {
      title = n.title;
      break;
    }
  notices_.clear();
  QString text = lines.join('\n');
  lastNotice_ = title + '\n' + text;
  // File names and servers' error texts are in the text: where it goes to
  // the desktop's notification service as markup, it is escaped. The title
  // is one of the program's own texts, which that service shows as they are.
  lastTrayBody_ = trayReadsMarkup_ ? ToQString(NoticeBodyMarkup(text.toStdU16String())) : text;
  tray_->showMessage(title, lastTrayBody_,
                     failure ? QSystemTrayIcon::Critical : QSystemTrayIcon::Information, kNoticeShownMs);
}

MainWindow::~MainWindow() {
  MainWindow* self = this;
  if (gNoticeWindow.compare_exchange_strong(self, nullptr)) gTrayShown = false;
  // The private table holds passwords.
  WipeMemory(scratch_->sites, sizeof(SiteTable));
}

QPushButton* MainWindow::AddButton(uint32_t textId, void (MainWindow::*action)()) {
  auto* button = new QPushButton(Text(textId));
  button->setObjectName(QString::number(textId));
  connect(button, &QPushButton::clicked, this, [this, action] { (this->*action)(); });
  buttons_[textId] = button;
  return button;
}

QPushButton* MainWindow::button(uint32_t textId) const {
  auto it = buttons_.find(textId);
  return it != buttons_.end() ? it->second : nullptr;
}

void MainWindow::Reload() {
  std::u16string selected(SelectedRow() >= 0 ? store_->Name(SelectedRow()) : u"");
  WipeMemory(scratch_->sites, sizeof(SiteTable));
  std::memset(scratch_->sites, 0, sizeof(SiteTable));
  int count = store_->ReadSites();
  if (count <= 0) store_->SeedFirstRun();
  store_->selected = selected.empty() ? -1 : store_->Find(selected);
  ShowList();
}

// The list as the manager's table has it; the site it works on selected.
void MainWindow::ShowList() {
  int row = store_->selected;
  {
    QSignalBlocker quiet(list_);
    list_->clear();
    for (int i = 0; i < store_->Count(); ++i) new QListWidgetItem(list_);
  }
  SelectSite(row >= 0 && row < store_->Count() ? row : 0);
}

int MainWindow::LiveIndex(int row) const {
  if (row < 0 || row >= store_->Count()) return -1;
  return connector_.Find(store_->Name(row));
}

const SiteRecord* MainWindow::LiveRecord(int row) const {
  int index = LiveIndex(row);
  return index >= 0 ? &block_.sites[index] : nullptr;
}

void MainWindow::ShowStates() {
  for (int row = 0; row < list_->count() && row < store_->Count(); ++row) {
    const SiteRecord* live = LiveRecord(row);
    // The site manager's rules (Delete, Rename) see the real states.
    store_->Record(row).mappedDrive = live != nullptr ? live->mappedDrive : 0;
    QString letter = store_->Record(row).drive[0] != 0 ? QString(QChar(store_->Record(row).drive[0])) + ":" : "";
    list_->item(row)->setText(ToQString(store_->Name(row)) + "  " + letter + "  (" + StateText(live) + ")");
  }
  const SiteRecord* live = LiveRecord(SelectedRow());
  bool connected = Connected(live);
  int row = SelectedRow();
  // An offline tree of the site is there to connect to.
  bool hasCache = row >= 0 && QDir(QString::fromStdString(OfflineCacheRoot() + "/") +
                                   ToQString(store_->Name(row))).exists();
  for (uint32_t id : {IDS_UI_CONNECT, IDS_UI_DELETE}) button(id)->setEnabled(!connected);
  for (uint32_t id : {IDS_UI_DISCONNECT, IDS_UI_REFRESH}) button(id)->setEnabled(connected);
  // Only an online Connection has a server to synchronise with.
  button(IDS_UI_SYNCHRONIZE)->setEnabled(connected && live != nullptr && (live->flags & kSiteOffline) == 0);
  button(IDS_UI_OFFLINE_CONNECT)->setEnabled(!connected && hasCache);
  name_->setEnabled(!connected);
  url_->setEnabled(!connected);
  drive_->setEnabled(!connected);
}

void MainWindow::FillFields() {
  int row = SelectedRow();
  store_->selected = row;
  filling_ = true;
  if (row >= 0) {
    const SiteRecord& r = store_->Record(row);
    name_->setText(ToQString(store_->Name(row)));
    url_->setText(ToQString(WideField(r.url, kSiteUrlChars)));
    login_->setText(QString::fromUtf8(r.login, static_cast<qsizetype>(strnlen(r.login, kSiteLoginChars))));
    password_->setText(QString::fromUtf8(r.password, static_cast<qsizetype>(strnlen(r.password, kSitePasswordChars))));
    dontSave_->setChecked(r.dontSavePassword != 0);
    int letter = drive_->findText(QString(QChar(r.drive[0])));
    drive_->setCurrentIndex(letter);
  }
  filling_ = false;
  ShowStates();
}

void MainWindow::SelectSite(int row) {
  if (row >= list_->count()) row = list_->count() - 1;
  list_->setCurrentRow(row);
  FillFields();
}

int MainWindow::SelectedRow() const { return list_->currentRow(); }

// The running agent takes in the sites as the registry now has them.
void MainWindow::Publish() { RereadSites(block_.sites); }

void MainWindow::ShowResult(SiteResult result) {
  if (result == SiteResult::kDone) Publish();
  ShowList();
}

void MainWindow::ShowAndRaise() {
  showNormal();
  raise();
  activateWindow();
}

void MainWindow::RunOffThread(const std::function<void()>& work) {
  QEventLoop wait;
  setEnabled(false);
  trayMenu_->setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  std::thread worker([&work, &wait] {
    work();
    QMetaObject::invokeMethod(&wait, &QEventLoop::quit, Qt::QueuedConnection);
  });
  wait.exec(QEventLoop::ExcludeUserInputEvents);
  worker.join();
  QApplication::restoreOverrideCursor();
  trayMenu_->setEnabled(true);
  setEnabled(true);
}

bool MainWindow::ConnectSelected(bool openExplorer) {
  int row = SelectedRow();
  if (row < 0) return false;
  if (!CheckSiteUrl(ToWide(url_->text()))) return false;
  Publish();
  int index = LiveIndex(row);
  bool done = false;
  if (index >= 0) RunOffThread([&] { done = connector_.ConnectSite(index, openExplorer); });
  if (done) hide();
  ShowStates();
  return done;
}

bool MainWindow::OfflineConnectSelected() {
  int index = LiveIndex(SelectedRow());
  if (index < 0 || block_.sites[index].mappedDrive != 0) return false;
  bool done = false;
  RunOffThread([&] { done = connector_.OfflineConnectSite(index); });
  if (done) hide();
  ShowStates();
  return done;
}

void MainWindow::DisconnectSelected() {
  int index = LiveIndex(SelectedRow());
  if (index < 0) return;
  hide();
  RunOffThread([&] { connector_.DisconnectSite(index, false); });
  ShowStates();
}

void MainWindow::RefreshSelected() {
  int index = LiveIndex(SelectedRow());
  if (index >= 0 && block_.sites[index].mappedDrive != 0) RunOffThread([&] { connector_.RefreshSite(index); });
  ShowStates();
}

void MainWindow::OnNew() { ShowResult(manager_->NewSite()); }
void MainWindow::OnDelete() { ShowResult(manager_->DeleteSite(SelectedRow())); }
void MainWindow::OnConnect() { ConnectSelected(true); }
void MainWindow::OnDisconnect() { DisconnectSelected(); }
void MainWindow::OnRefresh() { RefreshSelected(); }
void MainWindow::OnOfflineConnect() { OfflineConnectSelected(); }
void MainWindow::OnSynchronize() {
  int index = LiveIndex(SelectedRow());
  if (index >= 0) RunOffThread([&] { connector_.SynchronizeSiteNow(index); });
  ShowStates();
}

void MainWindow::OnClone() {
  SiteResult result = manager_->CloneSite(SelectedRow());
  if (result == SiteResult::kDone) store_->selected = store_->Count() - 1;
  ShowResult(result);
}

int MainWindow::RunDialog(QDialog& dialog) {
  openDialog_ = &dialog;
  if (dialogOpened) {
    dialog.show();
    dialogOpened(dialog);
  }
  int result = dialog.isVisible() || !dialogOpened ? dialog.exec() : QDialog::Rejected;
  openDialog_ = nullptr;
  return result;
}

void MainWindow::OpenOptions() {
  int row = SelectedRow();
  if (row < 0) return;
  OptionsDialog dialog(*manager_, *store_, row, this);
  RunDialog(dialog);
  Publish();
  ShowList();
}

void MainWindow::OpenProgramSettings() {
  ProgramSettingsDialog dialog(block_, this);
  RunDialog(dialog);
}

void MainWindow::CheckForUpdate(bool quietWhenCurrent) {
  UpdateOutcome outcome;
  RunOffThread([&outcome] { outcome = Updater().CheckAndUpdate(); });
  if (!quietWhenCurrent && outcome.status == kUpdateNothingToDo)
    QMessageBox::information(this, Text(IDS_UPDATE_TITLE), Text(IDS_UPDATE_CURRENT));
}

void MainWindow::ShowLog() {
  QDialog log(this);
  log.setWindowTitle(Text(IDS_LOG_TITLE));
  auto* layout = new QVBoxLayout(&log);
  auto* messages = new QPlainTextEdit();
  messages->setReadOnly(true);
  messages->setMaximumBlockCount(kLogLines);
  QFile file(QString::fromStdString(StateDir() + "/moorgate.log"));
  if (file.open(QIODevice::ReadOnly)) {
    if (file.size() > 256 * 1024) file.seek(file.size() - 256 * 1024);
    messages->setPlainText(QString::fromUtf8(file.readAll()));
  }
  layout->addWidget(messages);
  log.resize(720, 420);
  RunDialog(log);
}

void MainWindow::ShowHelp() {
  QString readme = QString::fromStdString(ProgramFolder() + "/../share/doc/halvenmoor/README.md");
  if (QFile::exists(readme)) QDesktopServices::openUrl(QUrl::fromLocalFile(readme));
  else QMessageBox::about(this, ToQString(kProductName), Text(IDS_ABOUT_TEXT));
}

void MainWindow::ExitAgent() {
  if (loop_ != nullptr) loop_->Quit();
  else QApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // Closing the window only hides it; the agent goes on in the tray.
  event->ignore();
  hide();
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) hide();
}

void MainWindow::AddSiteMenu(QMenu& connections, int row) {
  const SiteRecord* live = LiveRecord(row);
  bool connected = Connected(live);
  QString letter = store_->Record(row).drive[0] != 0 ? QString(QChar(store_->Record(row).drive[0])) : "";
  QMenu* menu = connections.addMenu(ToQString(store_->Name(row)) + " " + letter + ":");
  menu->menuAction()->setCheckable(true);
  menu->menuAction()->setChecked(connected);
  auto add = [this, menu, row](int k, uint32_t textId) {
    QAction* action = menu->addAction(Text(textId));
    action->setData(kSiteCommandBase + 10 * row + k);
    connect(action, &QAction::triggered, this, [this, row, k] { RunSiteCommand(row, k); });
    return action;
  };
  if (!connected) {
    add(kSiteConnect, IDS_CONNECT);
    add(kSiteOfflineConnect, IDS_OFFLINE_CONNECT);
  } else {
    add(kSiteDisconnect, IDS_DISCONNECT);
    add(kSiteRefresh, IDS_REFRESH);
    add(kSiteOpenDrive, IDS_OPEN_THIS_DRIVE);
  }
  menu->addSeparator();
  add(kSiteProperties, IDS_PROPERTIES);
  QAction* autoConnect = add(kSiteAutoConnect, IDS_CONNECT_AT_STARTUP);
  autoConnect->setCheckable(true);
  autoConnect->setChecked(store_->Record(row).autoConnect != 0);
}

void MainWindow::BuildTrayMenu() {
  trayMenu_->clear();
  QMenu* connections = trayMenu_->addMenu(Text(IDS_MENU_CONNECTIONS));
  for (int row = 0; row < store_->Count(); ++row) AddSiteMenu(*connections, row);
  auto add = [this](int command, uint32_t textId) {
    QAction* action = trayMenu_->addAction(Text(textId));
    action->setData(command);
    connect(action, &QAction::triggered, this, [this, command] { RunTrayCommand(command); });
  };
  trayMenu_->addSeparator();
  add(kTraySettings, IDS_MENU_SETTINGS);
  add(kTrayLog, IDS_MENU_LOG);
  trayMenu_->addSeparator();
  add(kTrayHelp, IDS_MENU_HELP);
  add(kTrayAbout, IDS_MENU_ABOUT);
  trayMenu_->addSeparator();
  add(kTrayOpen, IDS_MENU_OPEN);
  add(kTrayUpdate, IDS_MENU_UPDATE);
  add(kTrayExit, IDS_MENU_EXIT);
}

void MainWindow::RunTrayCommand(int command) {
  switch (command) {
    case kTraySettings: OpenProgramSettings(); break;
    case kTrayLog: ShowLog(); break;
    case kTrayHelp: ShowHelp(); break;
    case kTrayAbout: QMessageBox::about(this, ToQString(kProductName), Text(IDS_ABOUT_TEXT)); break;
    case kTrayOpen:
      SelectSite(0);
      ShowAndRaise();
      break;
    case kTrayUpdate: CheckForUpdate(false); break;
    case kTrayExit: ExitAgent(); break;
    default: {
      int offset = command - kSiteCommandBase;
      if (offset > 0) RunSiteCommand(offset / 10, offset % 10);
    }
  }
}

// A menu command selects its site first, then acts, then shows the state.
void MainWindow::RunSiteCommand(int row, int command) {
  if (row < 0 || row >= store_->Count()) return;
  SelectSite(row);
  switch (command) {
    case kSiteConnect: ConnectSelected(true); break;
    case kSiteOfflineConnect: OfflineConnectSelected(); break;
    case kSiteDisconnect: DisconnectSelected(); break;
    case kSiteRefresh: RefreshSelected(); break;
    case kSiteOpenDrive: {
      int index = LiveIndex(row);
      if (index >= 0 && block_.sites[index].mappedDrive != 0) connector_.OpenSiteInExplorer(index, true);
      else ShowAndRaise();
      break;
    }
    case kSiteProperties: OpenOptions(); break;
    case kSiteAutoConnect:
      ShowResult(manager_->SetOption(row, u"Auto", store_->Record(row).autoConnect ? 0 : 1));
      break;
    default: break;
  }
  ShowStates();
}

}  // namespace hvm
