// Which program owns the active window: the window manager's _NET_ACTIVE_WINDOW,
// its _NET_WM_PID, and that process's mapped modules.
#include <cstdlib>
#include <vector>

#include "common/moorlib.h"
#include "common/process_modules.h"

#ifdef HVM_HAVE_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#endif

namespace hvm {

HMODULE hInstPsApiLib = nullptr;

namespace {

constexpr int kNoForegroundWindow = 1;
constexpr int kNoProcessId = 5;
constexpr int kProcessNotReadable = 10;
constexpr int kListingFailed = -2;

#ifdef HVM_HAVE_X11
// The active window may vanish between the two queries; Xlib's default
// handler would end the whole program on that BadWindow.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// One 32-bit-format property of a window (CARDINAL or WINDOW), 0 when absent.
unsigned long CardinalProperty(Display* display, Window window, const char* name, Atom type) {
  const Atom property = XInternAtom(display, name, True);
  if (property == None) return 0;
  Atom actualType = None;
  int actualFormat = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  unsigned long value = 0;
  if (XGetWindowProperty(display, window, property, 0, 1, False, type, &actualType,
                         &actualFormat, &count, &remaining, &data) == Success &&
      data != nullptr && actualFormat == 32 && count == 1) {
    value = *reinterpret_cast<unsigned long*>(data);  // Xlib hands format 32 out as longs
  }
  if (data != nullptr) XFree(data);
  return value;
}

// 0 with the pid of the active window's process, else the query's status.
int ActiveWindowProcess(pid_t& pid) {
  const char* displayName = getenv("DISPLAY");
  if (displayName == nullptr || *displayName == 0) return kNoForegroundWindow;
  Display* display = XOpenDisplay(displayName);
  if (display == nullptr) return kNoForegroundWindow;
  auto* previousHandler = XSetErrorHandler(&IgnoreXError);
  const Window active = static_cast<Window>(CardinalProperty(
      display, DefaultRootWindow(display), "_NET_ACTIVE_WINDOW", XA_WINDOW));
  int status = kNoForegroundWindow;
  if (active != 0) {
    pid = static_cast<pid_t>(CardinalProperty(display, active, "_NET_WM_PID", XA_CARDINAL));
    status = pid > 0 ? 0 : kNoProcessId;
  }
  XSync(display, False);  // any error of ours arrives before the handler goes back
  XSetErrorHandler(previousHandler);
  XCloseDisplay(display);
  return status;
}
#else
// Built without X11: there is never a foreground window to ask about.
int ActiveWindowProcess(pid_t&) { return kNoForegroundWindow; }
#endif

}  // namespace

int GetActiveWindowModuleName(char* buffer, int length, const char* wantedModule) {
  // Stands for the process-listing facility; /proc is always there.
  hInstPsApiLib = reinterpret_cast<HMODULE>(&ListProcessModules);
  pid_t pid = 0;
  const int status = ActiveWindowProcess(pid);
  if (status != 0) return status;
  std::vector<std::string> modules;
  if (!ListProcessModules(pid, modules)) return kProcessNotReadable;
  if (modules.empty()) return kListingFailed;
  return PickModuleName(modules, wantedModule, buffer, length);
}

}  // namespace hvm
