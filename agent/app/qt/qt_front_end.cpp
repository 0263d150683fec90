// The Qt front end: the Ui the agent asks its questions through, and the
// event loop that also carries out the commands of the instance socket.
#include "agent/app/qt/qt_front_end.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "agent/app/connect_site.h"
#include "agent/app/instance_channel.h"
#include "agent/app/qt/qt_windows.h"
#include "agent/app/startup_main_loop.h"
#include "agent/app/string_table.h"
#include "agent/app/updater.h"
#include "platform/debug_sink.h"
#include "platform/ui.h"
#include "platform/ui_headless.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr int kCommandPollMs = 50;

// Runs work on the front end's thread and waits for it; at once when the
// caller is that thread.
template <typename Work>
void OnUiThread(Work work) {
  if (QThread::currentThread() == qApp->thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(qApp, work, Qt::BlockingQueuedConnection);
}

QMessageBox::Icon IconOf(DWORD style) {
  switch (style & 0xF0) {
    case MB_ICONERROR: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONWARNING: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

// The buttons of a box style, in order, with the answer each gives.
std::vector<std::pair<QMessageBox::StandardButton, int>> ButtonsOf(DWORD style) {
  switch (style & 0x0F) {
    case MB_OKCANCEL: return {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_ABORTRETRYIGNORE:
      return {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
    case MB_YESNOCANCEL:
      return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_YESNO: return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
    case MB_RETRYCANCEL: return {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
    default: return {{QMessageBox::Ok, IDOK}};
  }
}

class QtProgress : public ProgressWindow {
 public:
  explicit QtProgress(const QString& title) {
    OnUiThread([&] {
      dialog_ = new QProgressDialog(title, Text(IDS_SET_CLOSE), 0, 1000);
      dialog_->setWindowTitle(title);
      dialog_->setMinimumDuration(500);
      dialog_->setAutoClose(false);
    });
  }
  ~QtProgress() override {
    QProgressDialog* dialog = dialog_;
    OnUiThread([dialog] { delete dialog; });
  }
  bool Update(uint64_t done, uint64_t total, std::u16string_view text) override {
    bool cancelled = false;
    QString label = ToQString(text);
    OnUiThread([&] {
      dialog_->setLabelText(label);
      dialog_->setValue(total == 0 ? 0 : static_cast<int>(std::min<uint64_t>(done, total) * 1000 / total));
      cancelled = dialog_->wasCanceled();
    });
    return !cancelled;
  }

 private:
  QProgressDialog* dialog_ = nullptr;
};

class QtUi : public Ui {
 public:
  int MessageBox(std::u16string_view text, std::u16string_view caption, DWORD style) override {
    bool checked = false;
    return Ask(text, caption, style, {}, checked);
  }

  int MessageBoxWithCheck(std::u16string_view text, std::u16string_view caption, DWORD style,
                          std::u16string_view checkText, bool& checked) override {
    return Ask(text, caption, style, checkText, checked);
  }

  int Ask(std::u16string_view text, std::u16string_view caption, DWORD style, std::u16string_view checkText,
          bool& checked) {
    int answer = SafeAnswer(style);
    QString body = ToQString(text), title = ToQString(caption), check = ToQString(checkText);
    OnUiThread([&] {
      QMessageBox box(IconOf(style), title, body);
      // Texts may come from a server (an SSH banner): never read as rich text.
      box.setTextFormat(Qt::PlainText);
      if (!check.isEmpty()) box.setCheckBox(new QCheckBox(check));
      std::vector<std::pair<QMessageBox::StandardButton, int>> buttons = ButtonsOf(style);
      for (const auto& [button, id] : buttons) box.addButton(button);
      size_t preferred = (style & MB_DEFBUTTON3) ? 2 : (style & MB_DEFBUTTON2) ? 1 : 0;
      if (preferred < buttons.size()) box.setDefaultButton(buttons[preferred].first);
      auto pressed = static_cast<QMessageBox::StandardButton>(box.exec());
      for (const auto& [button, id] : buttons)
        if (button == pressed) answer = id;
      checked = box.checkBox() != nullptr && box.checkBox()->isChecked();
    });
    return answer;
  }

  bool AskPassword(std::u16string_view prompt, std::string& password) override {
    bool given = false;
    QString label = ToQString(prompt);
    OnUiThread([&] {
      QString typed = QInputDialog::getText(nullptr, Text(IDS_PASSWORD_TITLE), label,
                                            QLineEdit::Password, QString(), &given);
      if (given) password = typed.toStdString();
    });
    return given;
  }

  std::unique_ptr<ProgressWindow> OpenProgress(std::u16string_view title) override {
    return std::make_unique<QtProgress>(ToQString(title));
  }

  void Notify(std::u16string_view title, std::u16string_view text, bool failure) override {
    // Without a tray that shows it the notice goes to the log and the
    // terminal as the headless front end prints it, else to the log.
    if (MainWindow::TrayShowsNotices()) {
      std::string line = "Notice [" + Utf16ToUtf8(title) + "] " + Utf16ToUtf8(text);
      for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
      OutputDebugStringA(line.c_str());
    } else
      HeadlessFrontEnd().Notify(title, text, failure);
    // Never waits for the front end's thread: the caller may hold a site's lock.
    if (qApp == nullptr) return;
    QString heading = ToQString(title), body = ToQString(text);
    QMetaObject::invokeMethod(
        qApp,
        [heading, body, failure] {
          if (MainWindow* window = MainWindow::NoticeWindow()) window->ShowNotice(heading, body, failure);
        },
        Qt::QueuedConnection);
  }

  bool ChooseFile(std::u16string_view title, std::u16string_view filter, std::string& path) override {
    QString chosen;
    QString caption = ToQString(title), filters = ToQString(filter);
    OnUiThread([&] { chosen = QFileDialog::getOpenFileName(nullptr, caption, QString(), filters); });
    if (chosen.isEmpty()) return false;
    path = chosen.toStdString();
    return true;
  }

 private:
  // A box closed without a button gives what nobody's answer gives.
  static int SafeAnswer(DWORD style) {
    std::vector<std::pair<QMessageBox::StandardButton, int>> buttons = ButtonsOf(style);
    for (int preferred : {IDCANCEL, IDNO, IDABORT})
      for (const auto& [button, id] : buttons)
        if (id == preferred) return id;
    return IDOK;
  }
};

}  // namespace

std::unique_ptr<Ui> MakeQtUi() { return std::make_unique<QtUi>(); }

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != 0) return true;
  }
  // A platform nobody looks at (the tests' offscreen one) answers no question.
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  std::string_view named = platform != nullptr ? platform : "";
  return !named.empty() && named.rfind("offscreen", 0) != 0 && named.rfind("minimal", 0) != 0;
}

int RunQtFrontEnd(const FrontEndSetup& setup) {
  static int argc = 1;
  static char name[] = "moorgate";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  app.setWindowIcon(ProductIcon());
  QtUi ui;
  SetCurrentUi(&ui);
  int status = 0;
  {
    MainWindow window(*setup.connector, *setup.block, setup.loop);
    auto handle = [&](const InstanceMessage& message) -> uint32_t {
      switch (message.message) {
        case kMessageTrayNotify:
          window.ShowAndRaise();
          return 1;
        case kMessageSettings: {
          uint32_t result = 0;
          if (setup.handler) window.RunOffThread([&] { result = setup.handler(message); });
          window.Reload();
          // The sender has its answer at once; the dialog stays as long as the person wants.
          QTimer::singleShot(0, &window, [&window] { window.OpenOptions(); });
          return result;
        }
        default: {
          uint32_t result = 0;
          if (setup.handler) window.RunOffThread([&] { result = setup.handler(message); });
          window.ShowStates();
          return result;
        }
      }
    };
    bool busy = false;
    QTimer commands;
    QObject::connect(&commands, &QTimer::timeout, [&] {
      // A command that opened a dialog runs its own event loop; the next waits.
      if (busy) return;
      busy = true;
      bool running = setup.loop == nullptr || setup.loop->HandlePending(handle);
      busy = false;
      if (!running) app.quit();
    });
    commands.start(kCommandPollMs);
    if (!setup.startHidden) window.ShowAndRaise();
    if (setup.beforeRun) {
      window.RunOffThread(setup.beforeRun);
      window.ShowStates();
    }
    if (setup.openSettings) QTimer::singleShot(0, &window, [&window] { window.OpenOptions(); });
    // The start-up check runs beside the window; it asks before it changes anything.
    std::atomic<bool> checked{false};
    std::thread updates([&checked] {
      Updater().CheckAndUpdate();
      checked = true;
    });
    status = app.exec();
    while (!checked) QApplication::processEvents(QEventLoop::AllEvents, 50);
    updates.join();
  }
  SetCurrentUi(nullptr);
  return status;
}

}  // namespace hvm
