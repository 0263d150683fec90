#include "driver/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/debug_sink.h"

namespace hvm::driver {

namespace {
std::atomic<uint32_t> g_logLevel{0};
constexpr size_t kLineChars = 512;
constexpr size_t kPrefixChars = 50;

std::string FormatLineV(int minute, int second, const char* format, va_list args) {
  char line[kLineChars];
  std::string prefix = TracePrefix(minute, second);
  size_t used = prefix.size() < kPrefixChars ? prefix.size() : kPrefixChars;
  prefix.copy(line, used);
  // An overlong expansion is cut, never rejected.
  vsnprintf(line + used, kLineChars - used, format, args);
  return EscapeTraceLine(line);
}
}  // namespace

std::string EscapeTraceLine(std::string_view line) {
  std::string out = EscapeControlBytes(line);
  if (out.size() >= kLineChars) {
    bool newline = !out.empty() && out.back() == '\n';
    out.resize(kLineChars - 1);
    if (newline) out.back() = '\n';
  }
  return out;
}

void SetLogLevel(uint32_t level) { g_logLevel.store(level); }
uint32_t LogLevel() { return g_logLevel.load(); }
bool TraceOn() { return (g_logLevel.load() & 1u) != 0; }

std::string TracePrefix(int minute, int second) {
  char prefix[64];
  snprintf(prefix, sizeof prefix, "%s %.02d:%.02d  ", "KRV ", minute, second);
  return prefix;
}

std::string FormatTraceLine(int minute, int second, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = FormatLineV(minute, second, format, args);
  va_end(args);
  return line;
}

void Trace(const char* format, ...) {
  if (!TraceOn()) return;
  time_t now = time(nullptr);
  struct tm parts {};
  gmtime_r(&now, &parts);
  va_list args;
  va_start(args, format);
  std::string line = FormatLineV(parts.tm_min, parts.tm_sec, format, args);
  va_end(args);
  OutputDebugStringA(line.c_str());
}

void DirectPrint(const char* format, ...) {
  char line[kLineChars];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  OutputDebugStringA(EscapeTraceLine(line).c_str());
}

}  // namespace hvm::driver
