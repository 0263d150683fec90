// The process's current front end.
#include <atomic>

#include "platform/ui.h"
#include "platform/ui_headless.h"

namespace hvm {
namespace {
std::atomic<Ui*> gInstalled{nullptr};
}  // namespace

Ui& CurrentUi() {
  Ui* ui = gInstalled.load(std::memory_order_acquire);
  return ui != nullptr ? *ui : HeadlessFrontEnd();
}

void SetCurrentUi(Ui* ui) { gInstalled.store(ui, std::memory_order_release); }

std::u16string NoticeBodyMarkup(std::u16string_view text) {
  std::u16string markup;
  markup.reserve(text.size());
  for (char16_t c : text) {
    switch (c) {
      case u'&': markup += u"&amp;"; break;
      case u'<': markup += u"&lt;"; break;
      case u'>': markup += u"&gt;"; break;
      default: markup += c;
    }
  }
  return markup;
}

void Ui::Notify(std::u16string_view title, std::u16string_view text, bool failure) {
  HeadlessFrontEnd().HeadlessUi::Notify(title, text, failure);
}

}  // namespace hvm
