#include "driver/other_spellings.h"

#include <string>
#include <utility>
#include <vector>

#include "driver/fuse_glue.h"

namespace hvm::driver {

std::vector<Node*> OtherSpellings(const Node& node) {
  std::vector<Node*> others;
  if (node.kind != NodeKind::Remote || node.detached || !node.spelledOtherwise) return others;
  for (Node* other : Names().Spellings(node.uid, node.fullName))
    if (other != &node) others.push_back(other);
  return others;
}

bool HasOtherSpellings(const Node& node) {
  return node.kind == NodeKind::Remote && !node.detached && node.spelledOtherwise;
}

namespace {
// The agent is asked for other's attributes again; the kernel drops its pages.
void Stale(Node& other) {
  other.attrTime = {};
  PurgeInode(other.uid, other.ino);
}
}  // namespace

void NoteNewSpelling(Node& node) {
  std::vector<Node*> others = OtherSpellings(node);
  if (others.empty()) return;
  // A second node of a folder: a name made through one is not noted in the
  // other, so neither may answer a name as missing by itself any more.
  DropOwnFolder(node);
  // A program trying many spellings of one name at once would make every
  // further spelling purge all the others: beyond a few, those no descriptor
  // holds leave the tree, and are looked up again when used.
  bool crowded = others.size() >= kMaxSpellingsKept;
  for (Node* other : others) {
    DropOwnFolder(*other);
    Stale(*other);
    ForgetEntry(other->uid, other->parent, other->name);
    if (crowded && other->fcbToken == 0) Names().Detach(other->parent, other->name);
  }
}

bool StaleOtherSpellings(const Node& node) {
  std::vector<Node*> others = OtherSpellings(node);
  for (Node* other : others) Stale(*other);
  return !others.empty();
}

bool DetachSpellings(uid_t uid, const std::u16string& fullName, uint64_t keep) {
  std::vector<Node*> detached;
  for (Node* node : Names().Spellings(uid, fullName)) {
    if (node->ino == keep || node->kind != NodeKind::Remote) continue;
    detached.push_back(node);
    PurgeInode(uid, node->ino);  // its attributes first: they do not wait for the folder's lock
  }
  for (Node* node : detached) {
    Names().Detach(node->parent, node->name);
    node->goneUnderSpelling = true;
    ForgetEntry(uid, node->parent, node->name);
  }
  return !detached.empty();
}

}  // namespace hvm::driver
