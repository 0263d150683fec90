#include "shell/file_manager_actions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/runtime_paths.h"

namespace hvm {
namespace {

constexpr char kMenuTitle[] = "Halvenmoor";

// Quoted for a POSIX shell: '...' with every ' written as '\''.
std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Quoted for an Exec line of a desktop entry: "..." with \ " ` $ escaped.
std::string ExecQuoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// The command line of an action.
std::string ExecLine(const ActionSet& set, const FileAction& action, const char* selection) {
  return ExecQuoted(set.program) + " " + action.arguments + " " + selection;
}

std::string DolphinMenu(const ActionSet& set) {
  std::string text = "[Desktop Entry]\nType=Service\nX-KDE-ServiceTypes=KonqPopupMenu/Plugin\n";
  bool folders = !set.actions.empty() && set.actions.front().folders;
  text += std::string("MimeType=") + (folders ? "inode/directory;" : "application/octet-stream;all/allfiles;") + "\n";
  text += std::string("X-KDE-Submenu=") + kMenuTitle + "\nActions=";
  for (const auto& a : set.actions) text += set.tool + "-" + a.id + ";";
  text += "\n";
  for (const auto& a : set.actions) {
    text += "\n[Desktop Action " + set.tool + "-" + a.id + "]\nName=" + a.title + "\n";
    text += "Exec=" + ExecLine(set, a, a.single ? "%f" : "%F") + "\n";
  }
  return text;
}

std::string NautilusScript(const ActionSet& set, const FileAction& action) {
  std::string text = "#!/bin/sh\n# Halvenmoor: " + action.title + " (written by " + set.tool + " --install-actions)\n";
  return text + "exec " + ShellQuoted(set.program) + " " + action.arguments + " \"$@\"\n";
}

std::string NemoAction(const ActionSet& set, const FileAction& action) {
  std::string text = "[Nemo Action]\nActive=true\nName=" + std::string(kMenuTitle) + ": " + action.title + "\n";
  text += "Exec=" + ExecLine(set, action, "%F") + "\n";
  text += std::string("Selection=") + (action.single ? "s" : "notnone") + "\n";
  text += std::string("Extensions=") + (action.folders ? "dir;" : "nodirs;") + "\n";
  return text;
}

std::string ThunarActionXml(const ActionSet& set, const FileAction& action) {
  std::string command = ShellQuoted(set.program) + " " + action.arguments + (action.single ? " %f" : " %F");
  std::string text = "<action>\n\t<icon></icon>\n\t<name>" + XmlEscaped(std::string(kMenuTitle) + ": " + action.title) +
                     "</name>\n\t<unique-id>halvenmoor-" + set.tool + "-" + action.id + "</unique-id>\n";
  text += "\t<command>" + XmlEscaped(command) + "</command>\n\t<description>" + XmlEscaped(action.title) +
          "</description>\n\t<patterns>*</patterns>\n";
  text += action.folders ? "\t<directories/>\n" : "\t<other-files/>\n\t<text-files/>\n";
  return text + "</action>\n";
}

// Opens (making when missing) each folder of relative below base, refusing links.
int OpenFolderBelow(const std::string& base, const std::string& relative) {
  int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  size_t at = 0;
  while (fd >= 0 && at < relative.size()) {
    size_t slash = relative.find('/', at);
    if (slash == std::string::npos) break;
    std::string part = relative.substr(at, slash - at);
    at = slash + 1;
    if (part.empty()) continue;
    if (mkdirat(fd, part.c_str(), 0755) != 0 && errno != EEXIST) {
      close(fd);
      return -1;
    }
    int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  return fd;
}

std::string DataHome() {
  const char* value = getenv("XDG_DATA_HOME");
  if (value && value[0] == '/') return value;
  return HomeDir().empty() ? "" : HomeDir() + "/.local/share";
}

std::string ConfigHome() {
  const char* value = getenv("XDG_CONFIG_HOME");
  if (value && value[0] == '/') return value;
  return HomeDir().empty() ? "" : HomeDir() + "/.config";
}

// Thunar's list is read whole before ours is merged in and it is written back.
constexpr off_t kMaxMergedFile = 1 << 20;

// The file's whole text, or "" when there is none. False when it is there but
// cannot be read whole (a link, not a plain file, unreadable, too large):
// writing back a merge of part of it would lose the person's own entries.
bool ReadBelow(const std::string& base, const std::string& relative, std::string& text) {
  text.clear();
  int folder = OpenFolderBelow(base, relative);
  if (folder < 0) return false;
  std::string name = relative.substr(relative.find_last_of('/') + 1);
  // O_NONBLOCK: a FIFO in its place must not hold the tool.
  int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  int saved = errno;
  close(folder);
  if (fd < 0) return saved == ENOENT;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxMergedFile;
  char buffer[4096];
  while (ok) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    ok = text.size() <= static_cast<size_t>(kMaxMergedFile);
  }
  close(fd);
  return ok;
}

}  // namespace

ActionSet ShellActions(const std::string& program) {
  ActionSet set{"moorshell", program, {}};
  set.actions = {{"lock", "Lock", "lock"},
                 {"unlock", "Unlock", "unlock"},
                 {"checkout", "Checkout", "checkout"},
                 {"checkin", "Check in", "checkin"},
                 {"uncheckout", "Uncheckout", "uncheckout"},
                 {"report", "Report", "report", false, true},
                 {"hide-report", "Hide report", "hide-report", false, true}};
  return set;
}

ActionSet QuickActions(const std::string& program) {
  ActionSet set{"moorquick", program, {}};
  set.actions = {{"copy-folder", "Copy folder on the server", "duplicate", true, false},
                 {"delete-folder", "Delete folder on the server", "delete", true, false}};
  return set;
}

ActionSet NookActions(const std::string& program) {
  ActionSet set{"moornook", program, {}};
  set.actions = {{"offline", "Offline available", "offline", true, true},
                 {"offline-subfolders", "Offline available with all subfolders", "offline --subfolders", true, true},
                 {"sync", "Synchronize", "sync", true, true},
                 {"delete-cache", "Delete cache", "delete-cache", true, true}};
  return set;
}

std::vector<ActionFile> ActionFiles(const ActionSet& set) {
  std::vector<ActionFile> files;
  files.push_back({"kio/servicemenus/halvenmoor-" + set.tool + ".desktop", DolphinMenu(set), true});
  for (const auto& a : set.actions) {
    files.push_back({"nautilus/scripts/" + std::string(kMenuTitle) + "/" + a.title, NautilusScript(set, a), true});
    files.push_back({"nemo/actions/halvenmoor-" + set.tool + "-" + a.id + ".nemo_action", NemoAction(set, a), false});
  }
  return files;
}

std::string MergeThunarActions(const std::string& existing, const ActionSet& set) {
  std::string text = existing;
  if (text.find_first_not_of(" \t\r\n") == std::string::npos)
    text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n";
  // Text that is no list of actions is the person's: never replaced or cut.
  if (text.find("<actions>") == std::string::npos) return {};
  // Earlier actions of this tool go; everything else stays as it was.
  std::string mark = "<unique-id>halvenmoor-" + set.tool + "-";
  for (size_t at; (at = text.find(mark)) != std::string::npos;) {
    size_t begin = text.rfind("<action>", at);
    size_t end = text.find("</action>", at);
    if (begin == std::string::npos || end == std::string::npos) break;
    end += std::strlen("</action>");
    if (end < text.size() && text[end] == '\n') ++end;
    text.erase(begin, end - begin);
  }
  std::string ours;
  for (const auto& a : set.actions) ours += ThunarActionXml(set, a);
  size_t close = text.rfind("</actions>");
  if (close == std::string::npos || close < text.find("<actions>")) return {};
  text.insert(close, ours);
  return text;
}

bool WriteBelow(const std::string& base, const std::string& relative, const std::string& contents, bool executable,
                bool exactMode) {
  int folder = OpenFolderBelow(base, relative);
  if (folder < 0) {
    std::fprintf(stderr, "%s/%s: the folder cannot be made, or is a link: %s\n", base.c_str(), relative.c_str(),
                 std::strerror(errno));
    return false;
  }
  std::string name = relative.substr(relative.find_last_of('/') + 1);
  std::string temporary = "." + name + ".halvenmoor-new";
  unlinkat(folder, temporary.c_str(), 0);
  int fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  executable ? 0755 : 0644);
  bool ok = fd >= 0 && write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
  // Set on the descriptor, never by name: the name may be another file by then.
  if (ok && exactMode) ok = fchmod(fd, executable ? 0755 : 0644) == 0;
  if (fd >= 0) ok = (close(fd) == 0) && ok;
  // rename replaces whatever has the name (a planted link too) without following it.
  ok = ok && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
  if (!ok) {
    std::fprintf(stderr, "%s/%s: %s\n", base.c_str(), relative.c_str(), std::strerror(errno));
    unlinkat(folder, temporary.c_str(), 0);
  }
  close(folder);
  return ok;
}

bool InstallFileManagerActions(const std::string& argv0, const std::string& binFolder) {
  std::string tool = argv0.substr(argv0.find_last_of('/') + 1);
  std::string folder = binFolder.empty() ? ProgramFolder() : binFolder;
  if (folder.empty()) {
    std::fprintf(stderr, "%s: the program's own folder is unknown\n", tool.c_str());
    return false;
  }
  ActionSet set = tool == "moorquick"   ? QuickActions(folder + "/moorquick")
                  : tool == "moornook" ? NookActions(folder + "/moornook")
                                       : ShellActions(folder + "/moorshell");
  std::string data = DataHome(), config = ConfigHome();
  if (data.empty() || config.empty() || !MakeDirs(data, 0700) || !MakeDirs(config, 0700)) {
    std::fprintf(stderr, "%s: no data or configuration folder (set HOME or XDG_DATA_HOME)\n", tool.c_str());
    return false;
  }
  bool ok = true;
  for (const auto& file : ActionFiles(set)) {
    if (WriteBelow(data, file.relative, file.contents, file.executable))
      std::printf("%s/%s\n", data.c_str(), file.relative.c_str());
    else
      ok = false;
  }
  const std::string uca = "Thunar/uca.xml";
  std::string existing, merged;
  if (ReadBelow(config, uca, existing)) merged = MergeThunarActions(existing, set);
  if (merged.empty()) {
    std::fprintf(stderr, "%s/%s: cannot be read whole, or holds no closed list of actions; left as it is\n",
                 config.c_str(), uca.c_str());
    ok = false;
  } else if (WriteBelow(config, uca, merged, false)) {
    std::printf("%s/%s\n", config.c_str(), uca.c_str());
  } else {
    ok = false;
  }
  return ok;
}

}  // namespace hvm
