// The desktop front end on Qt 6 Widgets: the main window with the site list,
// the tray icon and its menu, the dialogs, and the Ui the rest of the agent
// asks its questions through. This header has no Qt in it: moorgate includes
// it only when the front end was built (HVM_HAVE_QT).
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace hvm {

class AgentMainLoop;
class SiteConnector;
struct InstanceMessage;
struct SharedUserBlock;

// True when a display is there to show windows on: DISPLAY, WAYLAND_DISPLAY,
// or a Qt platform named by QT_QPA_PLATFORM other than offscreen or minimal.
bool DisplayAvailable();

struct FrontEndSetup {
  AgentMainLoop* loop = nullptr;       // commands from the instance socket and the signals
  SiteConnector* connector = nullptr;  // works on the live table of block
  SharedUserBlock* block = nullptr;
  // The agent's own handling of a command (connect, disconnect, refresh, settings).
  std::function<uint32_t(const InstanceMessage&)> handler;
  bool startHidden = false;            // only the tray icon shows
  bool openSettings = false;           // "/set": the options dialog comes first
  // Runs once the window exists: the start-up connections and the own commands.
  std::function<void()> beforeRun;
};

// Runs the front end on the calling (main) thread until the agent is told to
// end: Exit, the tray's Exit, --quit or a stop signal. Returns the exit code.
int RunQtFrontEnd(const FrontEndSetup& setup);

}  // namespace hvm
