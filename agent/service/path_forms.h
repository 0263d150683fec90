// The three forms of a name: cache path "\QUENLODE\<connection>\a\b.txt",
// server path "<base>/a/b.txt", drive path "X:\a\b.txt".
#pragma once
#include <string>
#include <string_view>

#include "agent/service/connection.h"

namespace hvm {

inline constexpr std::u16string_view kNamePrefix = u"\\QUENLODE\\";

// The base path without its trailing slash or backslash, then the name's part
// after "\QUENLODE\<connection>" with backslashes turned into slashes.
std::u16string ServerPathOf(const Connection& connection, std::u16string_view cachePath);
// "\QUENLODE\<connection>\" + the server path after the base path, slashes
// turned into backslashes; the root for the base path itself.
std::u16string CachePathOf(const Connection& connection, std::u16string_view serverPath);
// The drive letter, ":" and the part from the backslash after the connection
// name ("\" alone for the root).
std::u16string DrivePathOf(const Connection& connection, std::u16string_view cachePath);
// The part after "\QUENLODE\<connection>" ("" for the root); npos-safe.
std::u16string_view PathBelowConnection(const Connection& connection, std::u16string_view cachePath);
// The name cut at its last backslash ("" when there is none).
std::u16string_view ParentPathOf(std::u16string_view path);

}  // namespace hvm
