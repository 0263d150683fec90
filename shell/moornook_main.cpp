// moornook: the offline commands of a folder on a Halvenmoor drive, and the
// file managers' actions that call it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agent/offline/offline_commands.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"
#include "shell/drive_path.h"
#include "shell/file_manager_actions.h"
#include "shell/shell_commands.h"

namespace hvm {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotOnDrive = 3;

void PrintHelp() {
  std::printf(
      "Usage: moornook COMMAND FOLDER\n"
      "       moornook --install-actions\n"
      "The offline commands of a folder on a Halvenmoor drive; the agent moorgate\n"
      "carries them out.\n\n"
      "  state FOLDER                  whether the folder is available offline\n"
      "  offline FOLDER                make the folder available offline (again: undo)\n"
      "  offline --subfolders FOLDER   ... with all its subfolders\n"
      "  sync FOLDER                   synchronise its local copy with the server\n"
      "  delete-cache FOLDER           delete its local copy (it stays marked)\n"
      "  --install-actions             add these commands to the folder menus of\n"
      "                                Dolphin, Nautilus, Nemo and Thunar\n"
      "  --help                        show this text\n");
}

const char* StateText(uint16_t state) {
  if (state == kMenuNotPossible) return "not possible here (the site is connected offline)";
  if (state & kMenuOfflineTree) return "available offline with all subfolders";
  if (state & 7) return "available offline";
  return "not available offline";
}

int RunCommand(uint32_t code, const std::string& folder) {
  DrivePath target;
  if (ResolveDrivePath(folder, CanonicalMountRoot(), CallerSid(), false, target) != PathVerdict::OnDrive) {
    std::fprintf(stderr, "moornook: %s is not on a Halvenmoor drive\n", folder.c_str());
    return kExitNotOnDrive;
  }
  if (!CheckIfTheHalvenmoorIsThere()) {
    std::fprintf(stderr, "moornook: the agent moorgate is not running\n");
    return kExitFailed;
  }
  CommandAnswer answer = SendShellCommand(code, target, u"");
  if (!answer.called) {
    std::fprintf(stderr, "moornook: %s\n", Utf16ToUtf8(answer.text).c_str());
    return kExitFailed;
  }
  uint16_t state = answer.text.empty() ? 0 : static_cast<uint16_t>(answer.text[0]);
  int32_t result = static_cast<int32_t>(answer.result);
  std::string path = Utf16ToUtf8(target.inside.empty() ? u"\\" : target.inside);
  if (code == kOfflineQuery) {
    std::printf("%s: %s\n", path.c_str(), StateText(state));
    return result == 0 ? 0 : kExitFailed;
  }
  if (result == 0) {
    std::printf("%s: done; %s\n", path.c_str(), StateText(state));
    return 0;
  }
  if (result == -1) {
    std::fprintf(stderr, "moornook: %s: a conflict was left unresolved; both copies are kept\n", path.c_str());
  } else if (result == -2) {
    std::fprintf(stderr, "moornook: %s: cancelled\n", path.c_str());
  } else if (result == -3) {
    std::fprintf(stderr,
                 "moornook: %s: holds changes not yet synchronised; nothing was dropped "
                 "(synchronise it first: moornook sync)\n",
                 path.c_str());
  } else {
    std::fprintf(stderr, "moornook: %s: failed (code 0x%lx)\n", path.c_str(),
                 static_cast<unsigned long>(answer.result));
  }
  return kExitFailed;
}

}  // namespace
}  // namespace hvm

int main(int argc, char** argv) {
  using namespace hvm;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    PrintHelp();
    return args.empty() ? kExitUsage : 0;
  }
  if (args[0] == "--install-actions" && args.size() == 1)
    return InstallFileManagerActions(argv[0], "") ? 0 : kExitFailed;
  uint32_t code = 0;
  bool subfolders = args.size() == 3 && args[1] == "--subfolders";
  if (args.size() == 2 || subfolders) {
    if (args[0] == "state") code = kOfflineQuery;
    if (args[0] == "offline") code = subfolders ? kOfflineAvailableTree : kOfflineAvailable;
    if (args[0] == "sync") code = kOfflineSynchronize;
    if (args[0] == "delete-cache") code = kOfflineDeleteCache;
    if (subfolders && args[0] != "offline") code = 0;
  }
  if (code == 0) {
    PrintHelp();
    return kExitUsage;
  }
  return RunCommand(code, args.back());
}
