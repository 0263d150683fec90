#include "agent/service/path_forms.h"

#include <algorithm>

namespace hvm {
namespace {

std::u16string_view WithoutTrailingSeparator(std::u16string_view base) {
  while (!base.empty() && (base.back() == u'/' || base.back() == u'\\')) base.remove_suffix(1);
  return base;
}

}  // namespace

std::u16string_view PathBelowConnection(const Connection& connection,
                                        std::u16string_view cachePath) {
  size_t skip = kNamePrefix.size() + connection.Name().size();
  if (cachePath.size() <= skip) return {};
  return cachePath.substr(skip);
}

std::u16string ServerPathOf(const Connection& connection, std::u16string_view cachePath) {
  std::u16string result(WithoutTrailingSeparator(connection.serverBasePath));
  std::u16string_view below = PathBelowConnection(connection, cachePath);
  size_t start = result.size();
  result += below;
  std::replace(result.begin() + static_cast<std::ptrdiff_t>(start), result.end(), u'\\', u'/');
  return result;
}

std::u16string CachePathOf(const Connection& connection, std::u16string_view serverPath) {
  std::u16string_view base = WithoutTrailingSeparator(connection.serverBasePath);
  std::u16string_view rest = serverPath;
  if (rest.size() >= base.size() && rest.substr(0, base.size()) == base) rest.remove_prefix(base.size());
  while (!rest.empty() && rest.front() == u'/') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == u'/') rest.remove_suffix(1);
  std::u16string result = connection.RootPath();
  if (rest.empty()) return result;
  size_t start = result.size() + 1;
  result += u'\\';
  result += rest;
  std::replace(result.begin() + static_cast<std::ptrdiff_t>(start), result.end(), u'/', u'\\');
  return result;
}

std::u16string DrivePathOf(const Connection& connection, std::u16string_view cachePath) {
  std::u16string result;
  result += static_cast<char16_t>(static_cast<unsigned char>(connection.DriveLetter()));
  result += u':';
  std::u16string_view below = PathBelowConnection(connection, cachePath);
  if (below.empty()) below = u"\\";
  result += below;
  return result;
}

std::u16string_view ParentPathOf(std::u16string_view path) {
  size_t slash = path.rfind(u'\\');
  if (slash == std::u16string_view::npos) return {};
  return path.substr(0, slash);
}

}  // namespace hvm
