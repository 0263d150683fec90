// Writing the file managers' action files without following planted links.
#include "shell/moornook_actions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/runtime_paths.h"

namespace hvm {
namespace {

struct Command {
  const char* id;      // action name and file name part
  const char* label;   // the menu text
  const char* words;   // moornook's arguments before the folder
};

constexpr Command kCommands[] = {
    {"offline", "Offline available", "offline"},
    {"offline-subfolders", "Offline available with all subfolders", "offline --subfolders"},
    {"sync", "Synchronize", "sync"},
    {"delete-cache", "Delete cache", "delete-cache"},
};

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? std::string(value) : fallback;
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Opens base/relative folder by folder (made when missing), refusing links below base.
int OpenFolderChain(const std::string& base, const std::string& relative, std::string& problem) {
  if (mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) {
    problem = base + ": " + std::strerror(errno);
    return -1;
  }
  int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::stringstream parts(relative);
  std::string part;
  std::string shown = base;
  while (fd >= 0 && std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    shown += "/" + part;
    if (mkdirat(fd, part.c_str(), 0700) != 0 && errno != EEXIST) {
      problem = shown + ": " + std::strerror(errno);
      close(fd);
      return -1;
    }
    int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) problem = shown + ": not a plain folder (a link is not followed)";
    close(fd);
    fd = next;
  }
  if (fd < 0 && problem.empty()) problem = base + ": " + std::strerror(errno);
  return fd;
}

// Writes name in the folder through a temporary file and a rename; an
// existing link or non-file under that name is refused.
bool WriteInFolder(int folder, const std::string& shown, const std::string& name,
                   const std::string& text, mode_t mode, std::string& problem) {
  struct stat existing {};
  if (fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(existing.st_mode)) {
    problem = shown + ": refused, a link or other non-file is in its place";
    return false;
  }
  std::string temporary = "." + name + ".new";
  unlinkat(folder, temporary.c_str(), 0);
  int fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    problem = shown + ": " + std::strerror(errno);
    return false;
  }
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            fchmod(fd, mode) == 0 && fsync(fd) == 0;
  close(fd);
  if (!ok || renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
    problem = shown + ": " + std::strerror(errno);
    unlinkat(folder, temporary.c_str(), 0);
    return false;
  }
  return true;
}

struct ActionFile {
  std::string base, folder, name, text;
  mode_t mode;
};

std::string DolphinMenu(const std::string& program) {
  std::string text =
      "[Desktop Entry]\nType=Service\nMimeType=inode/directory;\n"
      "Actions=offline;offline-subfolders;sync;delete-cache;\nX-KDE-Submenu=Halvenmoor\n";
  for (const Command& c : kCommands)
    text += std::string("\n[Desktop Action ") + c.id + "]\nName=" + c.label + "\nIcon=folder-sync\nExec=" +
            Quoted(program) + " " + c.words + " %f\n";
  return text;
}

std::string NautilusScript(const std::string& program, const Command& c) {
  return "#!/bin/sh\n# Halvenmoor: " + std::string(c.label) + "\nfor folder in \"$@\"; do\n  " +
         Quoted(program) + " " + c.words + " \"$folder\"\ndone\n";
}

std::string NemoAction(const std::string& program, const Command& c) {
  return std::string("[Nemo Action]\nName=Halvenmoor: ") + c.label + "\nComment=" + c.label +
         "\nExec=" + Quoted(program) + " " + c.words + " %F\nSelection=s\nExtensions=dir;\n"
         "Icon-Name=folder-sync\n";
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

// Thunar's uca.xml: the user's own actions stay, ours are replaced.
std::string ThunarActions(const std::string& program, const std::string& existing) {
  std::string kept = existing;
  const std::string marker = "<unique-id>halvenmoor-";
  for (size_t at; (at = kept.find(marker)) != std::string::npos;) {
    size_t begin = kept.rfind("<action>", at);
    size_t end = kept.find("</action>", at);
    if (begin == std::string::npos || end == std::string::npos) break;
    end += std::strlen("</action>");
    while (end < kept.size() && (kept[end] == '\n' || kept[end] == ' ')) ++end;
    kept.erase(begin, end - begin);
  }
  std::string ours;
  for (const Command& c : kCommands)
    ours += std::string("<action>\n\t<icon>folder-sync</icon>\n\t<name>Halvenmoor: ") + c.label +
            "</name>\n\t<unique-id>halvenmoor-" + c.id + "</unique-id>\n\t<command>" +
            XmlEscaped(Quoted(program) + " " + c.words + " %f") +
            "</command>\n\t<description>" + c.label +
            "</description>\n\t<patterns>*</patterns>\n\t<directories/>\n</action>\n";
  size_t close = kept.rfind("</actions>");
  if (close == std::string::npos) return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n" + ours + "</actions>\n";
  return kept.substr(0, close) + ours + kept.substr(close);
}

std::string ReadExisting(int folder, const std::string& name) {
  int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

}  // namespace

ActionFolders DefaultActionFolders() {
  std::string home = HomeDir();
  return {EnvOr("XDG_DATA_HOME", home + "/.local/share"), EnvOr("XDG_CONFIG_HOME", home + "/.config")};
}

std::vector<std::string> InstallFileManagerActions(const ActionFolders& folders, const std::string& program,
                                                   std::vector<std::string>& problems) {
  std::vector<ActionFile> files;
  files.push_back({folders.data, "kio/servicemenus", "halvenmoor-offline.desktop", DolphinMenu(program), 0755});
  for (const Command& c : kCommands) {
    files.push_back({folders.data, "nautilus/scripts/Halvenmoor", c.label, NautilusScript(program, c), 0755});
    files.push_back({folders.data, "nemo/actions", std::string("halvenmoor-") + c.id + ".nemo_action",
                     NemoAction(program, c), 0644});
  }
  std::vector<std::string> written;
  for (const ActionFile& f : files) {
    std::string problem;
    int folder = OpenFolderChain(f.base, f.folder, problem);
    std::string shown = f.base + "/" + f.folder + "/" + f.name;
    if (folder >= 0 && WriteInFolder(folder, shown, f.name, f.text, f.mode, problem)) written.push_back(shown);
    if (!problem.empty()) problems.push_back(problem);
    if (folder >= 0) close(folder);
  }
  std::string problem;
  int thunar = OpenFolderChain(folders.config, "Thunar", problem);
  std::string shown = folders.config + "/Thunar/uca.xml";
  if (thunar >= 0 &&
      WriteInFolder(thunar, shown, "uca.xml", ThunarActions(program, ReadExisting(thunar, "uca.xml")), 0644, problem))
    written.push_back(shown);
  if (!problem.empty()) problems.push_back(problem);
  if (thunar >= 0) close(thunar);
  return written;
}

}  // namespace hvm
