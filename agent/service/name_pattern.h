// Search patterns of directory queries.
#pragma once
#include <string>
#include <string_view>

namespace hvm {

// The pattern as stored: "<" becomes "*", ">" becomes "?", a trailing
// backslash goes. False for a pattern no name can have (a NUL, a separator).
bool NormalisePattern(std::u16string& pattern);
// Windows wildcard matching, case-insensitive: "*" any run, "?" one character,
// "*.*" everything. Equal names match too.
bool NameMatchesPattern(std::u16string_view name, std::u16string_view pattern);

}  // namespace hvm
