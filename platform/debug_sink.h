// The debugger output: one line per call appended to the program's log file in
// the state folder, and to standard error when HALVENMOOR_DEBUG_STDERR is set.
#pragma once
#include <string>
#include <string_view>

namespace hvm {

void OutputDebugStringW(const char16_t* text);
void OutputDebugStringA(const char* text);
// The text as it may enter a log line: control bytes (C0 but the tab, DEL,
// and C1 in UTF-8) from names, hrefs and other text of users and servers
// become "\xNN", so that nobody forges lines or acts on the terminal of
// whoever reads the log. A final newline stays.
std::string EscapeControlBytes(std::string_view text);
// Names the log file ("<name>.log"); defaults to the program's name.
void SetDebugSinkName(std::string_view name);

}  // namespace hvm
