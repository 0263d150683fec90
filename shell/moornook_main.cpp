// moornook: the offline commands of a folder on a Halvenmoor drive, and the
// file managers' actions that call it.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agent/offline/offline_commands.h"
#include "common/moorlib.h"
#include "platform/runtime_paths.h"
#include "platform/wide_text.h"
#include "shell/moornook_actions.h"
#include "shell/moornook_request.h"

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

std::string ProgramPath(const char* argv0) {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length > 0) return std::string(buffer, static_cast<size_t>(length));
  return argv0;
}

int InstallActions(const char* argv0) {
  std::vector<std::string> problems;
  std::vector<std::string> written = InstallFileManagerActions(DefaultActionFolders(), ProgramPath(argv0), problems);
  for (const std::string& file : written) std::printf("installed %s\n", file.c_str());
  for (const std::string& problem : problems) std::fprintf(stderr, "moornook: %s\n", problem.c_str());
  return problems.empty() ? 0 : kExitFailed;
}

int RunCommand(uint32_t code, const std::string& folder) {
  char16_t sid[kSidChars] = {};
  GetCurrentUserSidString(sid, static_cast<int>(kSidChars - 1));
  DriveTarget target;
  if (!FindDriveTarget(folder, MountPointPath(), std::u16string(WideField(sid, kSidChars)), target)) {
    std::fprintf(stderr, "moornook: %s is not on a Halvenmoor drive\n", folder.c_str());
    return kExitNotOnDrive;
  }
  if (!CheckIfTheHalvenmoorIsThere()) {
    std::fprintf(stderr, "moornook: the agent moorgate is not running\n");
    return kExitFailed;
  }
  InternalRequest request = MakeOfflineRequest(std::u16string(WideField(sid, kSidChars)), target);
  InternalRequest answer;
  std::string problem;
  if (!SendOfflineCommand(code, request, answer, problem)) {
    std::fprintf(stderr, "moornook: %s\n", problem.c_str());
    return kExitFailed;
  }
  uint16_t state = answer.target[0];
  int32_t result = static_cast<int32_t>(answer.result);
  std::string path = Utf16ToUtf8(target.drivePath);
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
  if (args[0] == "--install-actions" && args.size() == 1) return InstallActions(argv[0]);
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
