// moorshell: the drives' shell commands from the command line (and from the
// file managers' actions, which call it).
//   moorshell lock|unlock|checkout|checkin|uncheckout|report|hide-report FILE...
//   moorshell copy SOURCE DESTINATION
//   moorshell search PATH TEXT
//   moorshell info FILE...          the lock, version and read-only columns
//   moorshell --install-actions [BINDIR]   file-manager actions into $XDG_DATA_HOME
// Exit codes: 0 done, 1 the agent or server refused, 2 usage, 3 not possible
// here (not on a drive, not offered by the server, the agent not running).
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/moorlib.h"
#include "platform/wide_text.h"
#include "shell/file_manager_actions.h"
#include "shell/shell_commands.h"

namespace hvm {
namespace {

constexpr int kDone = 0, kRefused = 1, kUsage = 2, kNotHere = 3;
constexpr char16_t kVersionsMark[] = u" - Versions";

int Usage() {
  std::fputs(
      "usage: moorshell lock|unlock|checkout|checkin|uncheckout|report|hide-report FILE...\n"
      "       moorshell copy SOURCE DESTINATION\n"
      "       moorshell search PATH TEXT\n"
      "       moorshell info FILE...\n"
      "       moorshell --install-actions\n",
      stderr);
  return kUsage;
}

std::string Narrow(std::u16string_view text) { return Utf16ToUtf8(text); }

int NotOnDrive(const std::string& path, unsigned code) {
  std::fprintf(stderr, "moorshell: %s %x: %s: %s\n", ErrorCaptionText().c_str(), code, NotOnDriveText().c_str(),
               path.c_str());
  return kNotHere;
}

// Resolves a path the person named; prints why not and answers false.
bool Resolve(const std::string& path, bool mayBeMissing, DrivePath& out, int& exitCode) {
  std::string mountRoot = CanonicalMountRoot();
  PathVerdict verdict = ResolveDrivePath(path, mountRoot, CallerSid(), mayBeMissing, out);
  switch (verdict) {
    case PathVerdict::OnDrive: return true;
    case PathVerdict::NotOnDrive: exitCode = NotOnDrive(path, 5); return false;
    case PathVerdict::Missing: std::fprintf(stderr, "moorshell: %s: No such file or directory\n", path.c_str()); break;
    case PathVerdict::Invalid:
      std::fprintf(stderr, "moorshell: %s: the drive cannot carry this name (too long, a backslash, "
                           "malformed UTF-8, \".\" or \"..\")\n", path.c_str());
      break;
  }
  exitCode = kRefused;
  return false;
}

int Failed(const std::string& path, const CommandAnswer& answer) {
  std::string text = Narrow(answer.text);
  if (text.empty()) {
    char code[32];
    std::snprintf(code, sizeof code, "status %#x", answer.result);
    text = code;
  }
  std::fprintf(stderr, "moorshell: Halvenmoor: %s: %s\n", path.c_str(), text.c_str());
  return kRefused;
}

// The state columns: "L", "V", "R" or blanks; empty when the agent does not know the file.
std::u16string StateOf(const DrivePath& path) {
  CommandAnswer answer = SendShellCommand(kShellState, path, u"");
  if (!answer.called || answer.result != 0) return u"";
  std::u16string state = answer.text.substr(0, 3);
  state.resize(3, u' ');
  return state;
}

bool OfferedBy(ShellCommand command, const DrivePath& first, const std::string& shown) {
  CommandAnswer options = SendShellCommand(kShellOptions, first, u"");
  std::u16string allowed = ServerDidIt(options) ? options.text : u"";
  WideDbgPrint(u"Options %.150ws\n", allowed.c_str());
  if (CommandEnabled(command, allowed)) return true;
  std::fprintf(stderr, "moorshell: %s: \"%s\" is not offered by the server here (allowed: %s)\n", shown.c_str(),
               InfoOf(command).english, allowed.empty() ? "nothing" : Narrow(allowed).c_str());
  return false;
}

int LockCommand(ShellCommand command, const DrivePath& path, const std::string& shown) {
  bool wantLocked = command == ShellCommand::Lock;
  std::u16string before = StateOf(path);
  if (before.empty()) return Failed(shown, {true, 0xFFFFFFFF, u"The file is not known to the agent"});
  if ((before[0] == u'L') == wantLocked) {
    std::fprintf(stderr, "moorshell: %s: %s\n", shown.c_str(), wantLocked ? "already locked" : "not locked");
    return wantLocked ? kDone : kRefused;
  }
  // One command switches the lock; which way is decided by the state just read.
  CommandAnswer answer = SendShellCommand(kShellLockToggle, path, u"");
  if (!ServerDidIt(answer) || !answer.text.empty()) return Failed(shown, answer);
  NotifyChanged(path);
  std::u16string after = StateOf(path);
  if (after.empty() || (after[0] == u'L') != wantLocked)
    return Failed(shown, {true, 0, wantLocked ? u"The server granted no lock" : u"The lock is still held"});
  return kDone;
}

int CopyCommand(const std::string& source, const std::string& destination) {
  int exitCode = kDone;
  DrivePath from, to;
  if (!Resolve(source, false, from, exitCode) || !Resolve(destination, true, to, exitCode)) return exitCode;
  struct stat info {};
  if (stat(to.local.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::string name = from.local.substr(from.local.find_last_of('/') + 1);
    if (!Resolve(to.local + "/" + name, true, to, exitCode)) return exitCode;
  }
  if (to.connection != from.connection) return NotOnDrive(destination, 5);
  if (!OfferedBy(ShellCommand::Copy, from, source)) return kNotHere;
  char16_t letter = DriveLetterOf(from.connection);
  CommandAnswer answer = SendShellCommand(kShellCopy, from, DriveText(letter ? letter : u'X', to));
  if (!ServerDidIt(answer)) return Failed(source, answer);
  NotifyChanged(to);
  return kDone;
}

int SearchCommand(const std::string& where, const std::string& text) {
  int exitCode = kDone;
  DrivePath path;
  if (!Resolve(where, false, path, exitCode)) return exitCode;
  struct stat info {};
  if (stat(path.local.c_str(), &info) != 0) return kRefused;
  if (!S_ISDIR(info.st_mode) && !Resolve(path.local.substr(0, path.local.find_last_of('/')), false, path, exitCode))
    return exitCode;
  if (text.empty()) {
    WideDbgPrint(u"Find break\n");
    return kUsage;
  }
  if (!OfferedBy(ShellCommand::Search, path, where)) return kNotHere;
  std::u16string wanted = Utf8ToUtf16(text);
  WideDbgPrint(u"Find contents=%ws file=%ws\n", wanted.c_str(), path.inside.c_str());
  CommandAnswer answer = SendShellCommand(kShellSearch, path, wanted);
  if (!ServerDidIt(answer)) {
    WideDbgPrint(u"Find error 2\n");
    return Failed(where, answer);
  }
  // One site path a line ("\docs\a.txt"): shown as the file's path on the mount.
  std::string root = path.local.substr(0, path.local.size() - Narrow(path.inside).size());
  std::string found = Narrow(answer.text);
  size_t at = 0;
  while (at < found.size()) {
    size_t end = found.find('\n', at);
    if (end == std::string::npos) end = found.size();
    std::string line = found.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    for (char& c : line)
      if (c == '\\') c = '/';
    std::printf("%s%s%s\n", root.c_str(), line.front() == '/' ? "" : "/", line.c_str());
  }
  return kDone;
}

int InfoCommand(const std::vector<std::string>& files) {
  int worst = kDone;
  for (const auto& file : files) {
    DrivePath path;
    int exitCode = kDone;
    if (!Resolve(file, false, path, exitCode)) {
      worst = std::max(worst, exitCode);
      continue;
    }
    std::u16string state = StateOf(path);
    if (state.empty()) state = u"   ";  // no answer: blank columns
    for (char16_t& c : state)
      if (c == u' ') c = u'-';
    std::printf("%s  %s\n", Narrow(state).c_str(), file.c_str());
  }
  return worst;
}

// "<file> - Versions\..." names the file whose report is shown there.
bool ReportedFile(const DrivePath& path, DrivePath& file) {
  size_t mark = path.inside.rfind(kVersionsMark);
  if (mark == std::u16string::npos) return false;
  size_t after = mark + std::char_traits<char16_t>::length(kVersionsMark);
  if (after != path.inside.size() && path.inside[after] != u'\\') return false;
  file = path;
  file.inside = path.inside.substr(0, mark);
  std::string localMark = Narrow(kVersionsMark);
  size_t localAt = path.local.rfind(localMark + (after == path.inside.size() ? "" : "/"));
  file.local = path.local.substr(0, localAt);
  return true;
}

int FileCommand(ShellCommand command, const std::string& shown, const DrivePath& path) {
  const ShellCommandInfo& info = InfoOf(command);
  switch (command) {
    case ShellCommand::Lock:
    case ShellCommand::Unlock: return LockCommand(command, path, shown);
    case ShellCommand::HideReport: {
      DrivePath file;
      if (!ReportedFile(path, file)) {
        std::fprintf(stderr, "moorshell: Halvenmoor: %s: %s\n", shown.c_str(), NothingToHideText().c_str());
        return kRefused;
      }
      DrivePath folder = file;
      folder.inside += kVersionsMark;
      NotifyChanged(folder);
      CommandAnswer answer = SendShellCommand(info.code, file, u"");
      if (!ServerDidIt(answer) || !answer.text.empty()) return Failed(shown, answer);
      NotifyChanged(folder);
      return kDone;
    }
    default: break;
  }
  CommandAnswer answer = SendShellCommand(info.code, path, u"");
  if (!ServerDidIt(answer)) return Failed(shown, answer);
  if (command == ShellCommand::Report) {
    DrivePath folder = path;
    folder.inside += kVersionsMark;
    NotifyChanged(folder);
    std::printf("%s%s\n", path.local.c_str(), Narrow(kVersionsMark).c_str());
  }
  NotifyChanged(path);
  return kDone;
}

int Main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string word = argv[1];
  if (word == "--install-actions")
    return InstallFileManagerActions(argv[0], argc > 2 ? argv[2] : "") ? kDone : kRefused;
  std::vector<std::string> files(argv + 2, argv + argc);
  if (files.empty()) return Usage();
  if (!CheckIfTheHalvenmoorIsThere()) {
    std::fprintf(stderr, "moorshell: the agent moorgate is not running\n");
    return kNotHere;
  }
  if (word == "info") return InfoCommand(files);
  std::optional<ShellCommand> command = CommandOfWord(word);
  if (!command) return Usage();
  if (*command == ShellCommand::Copy) return files.size() == 2 ? CopyCommand(files[0], files[1]) : Usage();
  if (*command == ShellCommand::Search) return files.size() == 2 ? SearchCommand(files[0], files[1]) : Usage();
  std::vector<DrivePath> paths(files.size());
  int exitCode = kDone;
  for (size_t i = 0; i < files.size(); ++i)
    if (!Resolve(files[i], false, paths[i], exitCode)) return exitCode;
  // What the server offers is asked once, for the first file.
  if (*command != ShellCommand::HideReport && !OfferedBy(*command, paths[0], files[0])) return kNotHere;
  int worst = kDone;
  for (size_t i = 0; i < files.size(); ++i) worst = std::max(worst, FileCommand(*command, files[i], paths[i]));
  return worst;
}

}  // namespace
}  // namespace hvm

int main(int argc, char** argv) { return hvm::Main(argc, argv); }
