// WideDbgPrint: one line to the debugger output, "WC:HH:MM" and the message.
#include <cstdarg>
#include <ctime>

#include "common/moorlib.h"
#include "platform/debug_sink.h"
#include "platform/wide_format.h"

namespace hvm {

uint32_t logLevel = 0;
uint32_t debugIsAllowed = 0xFFFFFFFF;

namespace {

// The prefix is written as "WC:HH:MM:SS " and the message then starts at
// character 8, over the seconds: a line reads "WC:HH:MM" and the message.
int PrintLine(const char16_t* format, va_list args) {
  char16_t line[kDbgLineChars] = {};
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char16_t hhmmss[9];
  FormatWideBuf(hhmmss, 9, u"%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  FormatWideBuf(line, kDbgLineChars, u"WC:%ws ", hhmmss);
  const int length =
      FormatWideV(line + kDbgMessageOffset, kDbgMessageChars + 1, format, args);
  OutputDebugStringW(line);
  return length;
}

}  // namespace

int WideDbgPrint(const char16_t* format, ...) {
  if ((logLevel & debugIsAllowed) == 0) {
    // Once a line is suppressed the library stays silent until a module
    // allows output again.
    debugIsAllowed = 0;
    return 0;
  }
  va_list args;
  va_start(args, format);
  const int length = PrintLine(format, args);
  va_end(args);
  return length;
}

int WideDbgPrint(uint32_t a, uint32_t b, const char16_t* format, ...) {
  if ((a & b) == 0) return 0;
  va_list args;
  va_start(args, format);
  const int length = PrintLine(format, args);
  va_end(args);
  return length;
}

void performance(const char16_t* label, int number, int64_t* counter) {
  if (counter == nullptr) return;
  const auto before = static_cast<uint32_t>(*counter);
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  *counter = int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
  const auto elapsed = static_cast<int32_t>(static_cast<uint32_t>(*counter) - before);
  if (debugIsAllowed != 0)
    WideDbgPrint(u"*** %ws %d %ld\n", label, number, static_cast<long>(elapsed));
}

void dbgTime(const char*, int64_t*) {}

}  // namespace hvm
