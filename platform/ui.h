// What the system asks of a person: message boxes, a password, progress, a file.
// Two front ends implement it: the Qt one and the headless one (log + standard
// error, answers from a scripted answer file or the safe default; the file's
// format is in ui_headless.h).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace hvm {

class ProgressWindow {
 public:
  virtual ~ProgressWindow() = default;
  // done/total in bytes (total 0 = unknown); false when the user cancelled.
  virtual bool Update(uint64_t done, uint64_t total, std::u16string_view text) = 0;
};

class Ui {
 public:
  virtual ~Ui() = default;
  // style: MB_* button, icon and default-button bits; returns IDOK..IDNO.
  virtual int MessageBox(std::u16string_view text, std::u16string_view caption, DWORD style) = 0;
  // A box with a check box under its text ("Do not ask me any more"); checked
  // tells its state when the box closed. Front ends without one ask plainly.
  virtual int MessageBoxWithCheck(std::u16string_view text, std::u16string_view caption, DWORD style,
                                  std::u16string_view checkText, bool& checked) {
    (void)checkText;
    checked = false;
    return MessageBox(text, caption, style);
  }
  // false when the person declined to answer.
  virtual bool AskPassword(std::u16string_view prompt, std::string& password) = 0;
  virtual std::unique_ptr<ProgressWindow> OpenProgress(std::u16string_view title) = 0;
  // A file to open (e.g. a client certificate); false when none was chosen.
  virtual bool ChooseFile(std::u16string_view title, std::u16string_view filter,
                          std::string& path) = 0;
  // A message nobody has to answer (an upload that ran after its program
  // closed the file has ended). Callable from any thread; never waits for the
  // person. Every front end logs it; a failure that cannot be shown also goes
  // to standard error. The headless front end's way unless overridden.
  virtual void Notify(std::u16string_view title, std::u16string_view text, bool failure);
};

// A notice's text as the body of a desktop notification: the notification
// service reads the body as markup, so &, < and > become entities and a file
// name or a server's words show as written, never as formatting, a link or
// an image to fetch.
std::u16string NoticeBodyMarkup(std::u16string_view text);

// The process's front end; the headless one unless another was installed.
Ui& CurrentUi();
// Installs a front end (nullptr returns to the headless one). Not owned.
void SetCurrentUi(Ui* ui);

}  // namespace hvm
