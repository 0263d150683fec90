// The debugger output: one line per call appended to the program's log file in
// the state folder, and to standard error when HALVENMOOR_DEBUG_STDERR is set.
#pragma once
#include <string_view>

namespace hvm {

void OutputDebugStringW(const char16_t* text);
void OutputDebugStringA(const char* text);
// Names the log file ("<name>.log"); defaults to the program's name.
void SetDebugSinkName(std::string_view name);

}  // namespace hvm
