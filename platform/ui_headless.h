// The headless front end: every question goes to the debug sink and to
// standard error, and is answered from a scripted answer file or with the
// safe default.
//
// Answer file (named by HALVENMOOR_UI_ANSWERS), one answer per line:
//   IDOK IDCANCEL IDABORT IDRETRY IDIGNORE IDYES IDNO   answer the next message box
//   password=<text>                                     answer the next password prompt
//   file=<path>                                         answer the next file choice
//   match=<substring> <IDxx>                            answer every box whose text or
//                                                       caption contains <substring>
//   # comment, blank lines                              ignored
// Each question takes the first unused line of its own kind, so boxes,
// passwords and file choices may interleave in any order; match lines are
// standing rules, tried before the ordered lines and never used up. A box
// answer that the box does not offer (IDYES for an MB_OK box) is used up but
// replaced by the safe default. The file is read once per process and read
// again when its name or its contents change; what is used up is per process.
//
// Notices (Notify) are printed as one line each and answer nothing.
//
// Safe default without an answer: Cancel when the box has it, else No, else
// Abort, else OK. A password prompt or a file choice without an answer line
// is declined. Progress windows print at most one line per 10 % and never cancel.
#pragma once
#include "platform/ui.h"

namespace hvm {

class HeadlessUi : public Ui {
 public:
  int MessageBox(std::u16string_view text, std::u16string_view caption, DWORD style) override;
  bool AskPassword(std::u16string_view prompt, std::string& password) override;
  std::unique_ptr<ProgressWindow> OpenProgress(std::u16string_view title) override;
  bool ChooseFile(std::u16string_view title, std::u16string_view filter,
                  std::string& path) override;
  // One line "Notice [title] text" to the log and standard error.
  void Notify(std::u16string_view title, std::u16string_view text, bool failure) override;
};

// The process's headless front end.
HeadlessUi& HeadlessFrontEnd();

// The answer a box with these button bits gives when nobody answers.
int SafeDefaultAnswer(DWORD style);
// True when a box with these button bits can answer id.
bool BoxOffers(DWORD style, int id);

}  // namespace hvm
