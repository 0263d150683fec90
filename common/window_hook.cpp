// The copy-window hook: takes over the first window it sees and hides the
// progress window when that window is destroyed.
#include <atomic>

#include "common/moorlib.h"
#include "platform/debug_sink.h"

namespace hvm {

HHOOK TheCopyExplorerHook = nullptr;
HWND progressHwnd = nullptr;

namespace {

constexpr char16_t kDestroyedMarker[] =
    u"@@@@@@@@@@@@@destroyed@@@@@@@@@@@@@@@@@@@@@@@@@@\n";

std::atomic<bool> windowTakenOver{false};
WNDPROC previousProcedure = nullptr;
WNDPROC (*procedureOfWindow)(HWND) = nullptr;
void (*hideWindowProc)(HWND) = nullptr;

void HideProgressWindow() {
  if (progressHwnd != nullptr && hideWindowProc != nullptr) hideWindowProc(progressHwnd);
}

}  // namespace

void SetWindowFacilities(WNDPROC (*procedureOf)(HWND), void (*hideWindow)(HWND)) {
  procedureOfWindow = procedureOf;
  hideWindowProc = hideWindow;
}

HHOOK InstallCopyExplorerHook() {
  // Neither X11 nor a console lets one program see another's window
  // messages, so the hook is never installed on this platform.
  return nullptr;
}

LRESULT SetHook(int code, WPARAM, LPARAM lParam) {
  if (code == HC_ACTION && lParam != 0 && !windowTakenOver.exchange(true)) {
    const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
    previousProcedure = procedureOfWindow != nullptr ? procedureOfWindow(message->hwnd) : nullptr;
  }
  return 0;  // nothing further down the chain on this platform
}

LRESULT HookWndProc(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result =
      previousProcedure != nullptr ? previousProcedure(window, message, wParam, lParam) : 0;
  if (message == WM_NCDESTROY) {
    OutputDebugStringW(kDestroyedMarker);
    HideProgressWindow();
    TheCopyExplorerHook = nullptr;  // the hook removes itself with its window
  } else if (message == WM_DESTROY) {
    HideProgressWindow();
    OutputDebugStringW(kDestroyedMarker);
  }
  return result;
}

}  // namespace hvm
