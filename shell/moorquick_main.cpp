// moorquick: a folder copied or deleted inside one drive is done on the
// server in one request; where the server cannot, the work is left to an
// ordinary copy or delete through the drive, as the file manager would do it.
//   moorquick copy SOURCE_FOLDER DESTINATION
//   moorquick duplicate FOLDER...    each copied beside itself as "FOLDER (copy)"
//   moorquick delete FOLDER...
//   moorquick --install-actions
// Exit codes: 0 done, 1 failed, 2 usage.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/moorlib.h"
#include "platform/wide_text.h"
#include "shell/file_manager_actions.h"
#include "shell/shell_commands.h"

extern char** environ;

namespace hvm {
namespace {

constexpr int kDone = 0, kFailed = 1, kUsage = 2;

int Usage() {
  std::fputs("usage: moorquick copy SOURCE_FOLDER DESTINATION\n"
             "       moorquick duplicate FOLDER...\n"
             "       moorquick delete FOLDER...\n"
             "       moorquick --install-actions\n",
             stderr);
  return kUsage;
}

// The ordinary way: cp or rm through the drive (or the local disk).
int RunTool(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return kFailed;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kDone : kFailed;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A link named as the folder stands for itself: rm -r and cp -R treat the
// link, not the folder it points at, and so does this tool.
bool IsLink(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// The server's part; false (and why, on stderr) when it did not do it.
bool OnServer(uint32_t code, const DrivePath& folder, std::u16string_view second, const std::string& shown) {
  CommandAnswer answer = SendShellCommand(code, folder, second);
  bool done = ServerDidIt(answer);
  if (!done)
    std::fprintf(stderr, "moorquick: %s: not done on the server (%s); going the ordinary way\n", shown.c_str(),
                 answer.text.empty() ? "refused" : Utf16ToUtf8(answer.text).c_str());
  return done;
}

DrivePath ParentOf(const DrivePath& path) {
  DrivePath parent = path;
  parent.inside = path.inside.substr(0, path.inside.find_last_of(u'\\'));
  parent.local = path.local.substr(0, path.local.find_last_of('/'));
  return parent;
}

int Copy(const std::string& source, std::string destination) {
  if (!IsFolder(source)) {
    std::fprintf(stderr, "moorquick: %s: not a folder\n", source.c_str());
    return kFailed;
  }
  if (IsFolder(destination)) {
    std::string trimmed = source;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    destination += '/';
    destination += trimmed.substr(trimmed.find_last_of('/') + 1);
  }
  // The server's copy replaces what is there; nothing is replaced here.
  if (Exists(destination)) {
    std::fprintf(stderr, "moorquick: %s: already exists\n", destination.c_str());
    return kFailed;
  }
  std::string mountRoot = CanonicalMountRoot();
  std::u16string sid = CallerSid();
  DrivePath from, to;
  bool onDrive = !IsLink(source) && CheckIfTheHalvenmoorIsThere() &&
                 ResolveDrivePath(source, mountRoot, sid, false, from) == PathVerdict::OnDrive &&
                 ResolveDrivePath(destination, mountRoot, sid, true, to) == PathVerdict::OnDrive &&
                 from.connection == to.connection && !from.inside.empty();
  if (onDrive) {
    char16_t letter = DriveLetterOf(from.connection);
    if (letter != 0 && OnServer(kQuickFolderCopy, from, DriveText(letter, to), source)) {
      NotifyChanged(ParentOf(to));
      NotifyChanged(to);
      return kDone;
    }
  }
  return RunTool({"cp", "-R", "-T", "--", source, destination});
}

int Delete(const std::string& folder) {
  if (!IsFolder(folder) && !IsLink(folder)) {
    std::fprintf(stderr, "moorquick: %s: not a folder\n", folder.c_str());
    return kFailed;
  }
  DrivePath path;
  bool onDrive = !IsLink(folder) && CheckIfTheHalvenmoorIsThere() &&
                 ResolveDrivePath(folder, CanonicalMountRoot(), CallerSid(), false, path) == PathVerdict::OnDrive &&
                 !path.inside.empty();
  if (onDrive && DriveLetterOf(path.connection) != 0 && OnServer(kQuickFolderDelete, path, u"", folder)) {
    NotifyChanged(path);
    NotifyChanged(ParentOf(path));
    return kDone;
  }
  return RunTool({"rm", "-r", "--", folder});
}

int Main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string word = argv[1];
  if (word == "--install-actions")
    return InstallFileManagerActions(argv[0], argc > 2 ? argv[2] : "") ? kDone : kFailed;
  if (word == "copy" && argc == 4) return Copy(argv[2], argv[3]);
  if ((word == "delete" || word == "duplicate") && argc >= 3) {
    int worst = kDone;
    for (int i = 2; i < argc; ++i) {
      std::string folder = argv[i];
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      worst = std::max(worst, word == "delete" ? Delete(folder) : Copy(folder, folder + " (copy)"));
    }
    return worst;
  }
  return Usage();
}

}  // namespace
}  // namespace hvm

int main(int argc, char** argv) { return hvm::Main(argc, argv); }
