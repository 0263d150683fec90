#include "shell/drive_path.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr size_t kPathFieldChars = 259;  // a record's path text without its terminator
constexpr size_t kFullNameChars = 259;   // "\QUENLODE\<connection>\..." as the agent keeps it
constexpr char kServerWord[] = "QUENLODE";

bool Canonical(const std::string& path, std::string& out) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (!resolved) return false;
  out = resolved.get();
  return true;
}

std::vector<std::string> Components(std::string_view path) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at < path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > at) parts.emplace_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

// A component the drive can name: well-formed UTF-8 (a replaced byte would
// alias another name) and no backslash (the agent's separator).
bool Carried(const std::string& component) {
  if (component.find('\\') != std::string::npos) return false;
  return Utf16ToUtf8(Utf8ToUtf16(component)) == component;
}

// The canonical form of a path whose last component may not exist yet.
PathVerdict CanonicalOf(const std::string& absolute, bool mayBeMissing, std::string& out) {
  if (Canonical(absolute, out)) return PathVerdict::OnDrive;
  if (errno != ENOENT || !mayBeMissing) return errno == ENOENT ? PathVerdict::Missing : PathVerdict::Invalid;
  std::string trimmed = absolute;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.find_last_of('/');
  std::string last = trimmed.substr(slash + 1);
  if (last.empty() || last == "." || last == "..") return PathVerdict::Invalid;
  std::string parent;
  if (!Canonical(slash == 0 ? "/" : trimmed.substr(0, slash), parent)) return PathVerdict::Missing;
  out = (parent == "/" ? "" : parent) + "/" + last;
  return PathVerdict::OnDrive;
}

}  // namespace

PathVerdict ResolveDrivePath(std::string_view userPath, const std::string& mountRoot,
                             std::u16string_view sid, bool mayBeMissing, DrivePath& out) {
  if (userPath.empty() || userPath.find('\0') != std::string_view::npos || mountRoot.empty())
    return PathVerdict::Invalid;
  std::string absolute(userPath);
  if (absolute.front() != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return PathVerdict::Invalid;
    absolute = std::string(cwd) + "/" + absolute;
  }
  std::string canonical;
  PathVerdict verdict = CanonicalOf(absolute, mayBeMissing, canonical);
  if (verdict != PathVerdict::OnDrive) return verdict;
  std::string root = mountRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (canonical.compare(0, root.size(), root) != 0 || canonical.size() <= root.size() ||
      canonical[root.size()] != '/')
    return PathVerdict::NotOnDrive;
  std::vector<std::string> parts = Components(std::string_view(canonical).substr(root.size()));
  if (parts.size() < 3 || !EqualsNoCase(Utf8ToUtf16(parts[0]), sid) || parts[1] != kServerWord)
    return PathVerdict::NotOnDrive;
  DrivePath result;
  result.local = canonical;
  for (size_t i = 2; i < parts.size(); ++i) {
    if (!Carried(parts[i])) return PathVerdict::Invalid;
    if (i > 2) result.inside += u"\\" + Utf8ToUtf16(parts[i]);
  }
  result.connection = Utf8ToUtf16(parts[2]);
  if (DriveText(u'X', result).size() > kPathFieldChars ||
      10 + result.connection.size() + result.inside.size() > kFullNameChars)
    return PathVerdict::Invalid;
  out = std::move(result);
  return PathVerdict::OnDrive;
}

std::u16string DriveText(char16_t letter, const DrivePath& path) {
  std::u16string text{letter, u':'};
  text += path.inside.empty() ? u"\\" : path.inside;
  return text;
}

}  // namespace hvm
