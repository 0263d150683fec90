// The driver's own log: "KRV" trace lines while bit 0 of the log level is
// set, and direct prints that always appear.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace hvm::driver {

void SetLogLevel(uint32_t level);
uint32_t LogLevel();
bool TraceOn();

// "KRV mm:ss  " followed by the formatted text, at most 511 characters in all.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Printed regardless of the log level, without the prefix.
void DirectPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A line as it may enter the log: control bytes (C0, DEL, C1) from names
// and other text of users become "\xNN", so nobody forges lines; only a
// final newline stays. At most 511 characters.
std::string EscapeTraceLine(std::string_view line);

// The prefix for a given minute and second (exposed for tests).
std::string TracePrefix(int minute, int second);
// Builds a whole trace line as Trace would print it (exposed for tests).
std::string FormatTraceLine(int minute, int second, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace hvm::driver
