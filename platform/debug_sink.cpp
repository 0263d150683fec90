// The debugger output as a log file per program, one line per call.
#include "platform/debug_sink.h"

#include <errno.h>
#include <fcntl.h>
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
int gSinkFd = -1;

std::string SinkFileName() {
  if (!gSinkName.empty()) return gSinkName;
  const char* program = program_invocation_short_name;
  return (program != nullptr && *program != '\0') ? program : "halvenmoor";
}

// The descriptor of the current log file; reopened when the name or the
// state folder changed. Called with gSinkLock held.
int SinkFd() {
  std::string folder = StateDir();
  std::string path = folder + "/" + SinkFileName() + ".log";
  if (gSinkFd >= 0 && path == gOpenPath) return gSinkFd;
  if (gSinkFd >= 0) close(gSinkFd);
  gSinkFd = -1;
  gOpenPath = path;
  if (MakeDirs(folder, 0700)) {
    gSinkFd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  }
  return gSinkFd;
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

// Names and texts from servers and other users go into these lines: a line
// break or a terminal's escape sequence inside one would forge lines or act
// on the terminal of whoever reads the log, so every control character but
// the tab becomes a blank and only the line's own end remains.
void EmitLine(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  for (char& c : line)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) c = ' ';
  line += '\n';
  const char* toStderr = std::getenv("HALVENMOOR_DEBUG_STDERR");
  std::lock_guard<std::mutex> lock(gSinkLock);
  int fd = SinkFd();
  if (fd >= 0) WriteWhole(fd, line);
  if (toStderr != nullptr && *toStderr != '\0') WriteWhole(STDERR_FILENO, line);
}

}  // namespace

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
