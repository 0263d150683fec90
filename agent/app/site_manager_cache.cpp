// Moving a site's offline cache with its name: the tree first, then the
// journal; a journal that cannot follow takes the tree back.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>

#include "agent/app/site_manager.h"
#include "platform/wide_text.h"

namespace hvm {

namespace {

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// rename that never replaces: another site's leftovers must not be merged in.
bool MoveNoReplace(const std::string& from, const std::string& to) {
  return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

}  // namespace

bool FolderCacheMover::Move(std::u16string_view from, std::u16string_view to) {
  const std::string tree = root_ + "/" + Utf16ToUtf8(from);
  const std::string newTree = root_ + "/" + Utf16ToUtf8(to);
  const std::string journal = tree + ".sys";
  const std::string newJournal = newTree + ".sys";
  const bool hasTree = Exists(tree);
  if (!hasTree && !Exists(journal)) return true;  // no cache: nothing to move

  if (hasTree && !MoveNoReplace(tree, newTree)) return false;
  if (!MoveNoReplace(journal, newJournal) && errno != ENOENT) {
    if (hasTree) MoveNoReplace(newTree, tree);
    return false;
  }
  // The changes still to be carried to the server follow; without them the
  // next synchronisation would bring back what was deleted offline.
  if (!MoveNoReplace(tree + ".pending", newTree + ".pending") && errno != ENOENT) {
    MoveNoReplace(newJournal, journal);
    if (hasTree) MoveNoReplace(newTree, tree);
    return false;
  }
  return true;
}

}  // namespace hvm
