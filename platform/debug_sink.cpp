// The debugger output as a log file per program, one line per call.
#include "platform/debug_sink.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/runtime_paths.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::mutex gSinkLock;
std::string gSinkName;  // empty: the program's name
std::string gOpenPath;
std::string gRefusedPath;  // said once on stderr, not tried again for every line
int gSinkFd = -1;

std::string SinkFileName() {
  if (!gSinkName.empty()) return gSinkName;
  const char* program = program_invocation_short_name;
  return (program != nullptr && *program != '\0') ? program : "halvenmoor";
}

// One write per line, so that lines of several threads or processes never mix.
void WriteWhole(int fd, const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The log file in folder, or -1. The state folder comes from the environment,
// which a root driver may have inherited from a user: a folder of another
// user, or one anybody can write, is not used, and neither is a link, a FIFO
// or another user's file in the log's place, which would have this process
// append (as root) to whatever that user chose, or hang at its first line.
int OpenLogFile(const std::string& folder, const std::string& name, std::string& problem) {
  if (!MakeDirs(folder, 0700)) return -1;
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return -1;
  struct stat info {};
  if (fstat(dir, &info) != 0 || info.st_uid != geteuid() || (info.st_mode & S_IWOTH) != 0) {
    problem = folder + " is not this user's own folder";
    close(dir);
    return -1;
  }
  int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  close(dir);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENXIO) problem = folder + "/" + name + " is a link or a FIFO";
    return -1;
  }
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    problem = folder + "/" + name + " is not this user's own file";
    close(fd);
    return -1;
  }
  return fd;
}

// The descriptor of the current log file; reopened when the name or the
// state folder changed. Called with gSinkLock held.
int SinkFd() {
  std::string folder = StateDir();
  std::string name = SinkFileName() + ".log";
  std::string path = folder + "/" + name;
  if (gSinkFd >= 0 && path == gOpenPath) return gSinkFd;
  if (path == gRefusedPath) return -1;
  if (gSinkFd >= 0) close(gSinkFd);
  gOpenPath = path;
  std::string problem;
  gSinkFd = OpenLogFile(folder, name, problem);
  if (gSinkFd < 0 && !problem.empty()) {
    gRefusedPath = path;
    std::string line = SinkFileName() + ": no log is kept: " + problem + "\n";
    WriteWhole(STDERR_FILENO, line);
  }
  return gSinkFd;
}

// Every line is escaped here, whoever wrote it; only the line's own end remains.
void EmitLine(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  line = EscapeControlBytes(line);
  line += '\n';
  const char* toStderr = std::getenv("HALVENMOOR_DEBUG_STDERR");
  std::lock_guard<std::mutex> lock(gSinkLock);
  int fd = SinkFd();
  if (fd >= 0) WriteWhole(fd, line);
  if (toStderr != nullptr && *toStderr != '\0') WriteWhole(STDERR_FILENO, line);
}

}  // namespace

std::string EscapeControlBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&out](unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  };
  for (size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    bool last = i + 1 == text.size();
    if (byte == '\n' && last) {
      out += '\n';
    } else if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      escape(byte);
    } else if (byte == 0xC2 && !last && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      escape(static_cast<unsigned char>(text[++i]));  // a C1 control
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

void OutputDebugStringW(const char16_t* text) {
  if (text == nullptr) return;
  EmitLine(Utf16ToUtf8(std::u16string_view(text)));
}

void OutputDebugStringA(const char* text) {
  if (text == nullptr) return;
  EmitLine(std::string(text));
}

void SetDebugSinkName(std::string_view name) {
  std::lock_guard<std::mutex> lock(gSinkLock);
  gSinkName.assign(name);
  for (char& c : gSinkName) {
    if (c == '/') c = '_';
  }
}

}  // namespace hvm
