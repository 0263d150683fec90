#include "agent/service/name_pattern.h"

#include <algorithm>

#include "agent/service/file_entry.h"

namespace hvm {
namespace {

bool SameChar(char16_t a, char16_t b) {
  return ComparePaths(std::u16string_view(&a, 1), std::u16string_view(&b, 1)) == 0;
}

}  // namespace

bool NormalisePattern(std::u16string& pattern) {
  std::replace(pattern.begin(), pattern.end(), u'<', u'*');
  std::replace(pattern.begin(), pattern.end(), u'>', u'?');
  if (!pattern.empty() && pattern.back() == u'\\') pattern.pop_back();
  return pattern.find_first_of(std::u16string_view(u"\0\\/", 3)) == std::u16string::npos;
}

bool NameMatchesPattern(std::u16string_view name, std::u16string_view pattern) {
  if (pattern == u"*" || pattern == u"*.*") return true;
  if (ComparePaths(name, pattern) == 0) return true;
  // Iterative matching with one backtrack point: linear in practice, never recursive.
  size_t n = 0, p = 0, starP = std::u16string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == u'?' || SameChar(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::u16string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

}  // namespace hvm
