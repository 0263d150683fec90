// Names that differ only in case are one file or folder to the agent but
// separate nodes to the kernel, each with attributes, pages and a directory
// entry of its own (also below folders reached under two spellings). A
// change made through one spelling leaves the others' stale; these tell the
// node table and the kernel to learn them again. They are called under the
// driver lock and only queue work for the purge thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "driver/namespace.h"

namespace hvm::driver {

// The other nodes of node's file or folder.
std::vector<Node*> OtherSpellings(const Node& node);
// The kernel keeps the entry and attributes of a name with other spellings
// for no time: a change through one spelling could not reach the others'
// entries before the change returns (the kernel holds the folder's lock).
bool HasOtherSpellings(const Node& node);
// A node just made for a name that has other spellings: their entries the
// kernel may still keep are dropped, so that every spelling asks again, and
// no folder among them answers missing names by itself. With
// kMaxSpellingsKept others or more, those no descriptor holds leave the tree.
inline constexpr size_t kMaxSpellingsKept = 8;
void NoteNewSpelling(Node& node);
// node's contents, size or times changed: its other spellings ask the agent
// for their attributes again, and the kernel drops their pages. True when
// there were any.
bool StaleOtherSpellings(const Node& node);
// The file or folder of fullName is gone from there (removed, or moved away):
// its nodes leave the tree and the kernel forgets their entries. keep: a node
// to leave alone (the one that was moved). True when there were any: the
// reply should then wait for their purges (AfterQueuedPurges).
bool DetachSpellings(uid_t uid, const std::u16string& fullName, uint64_t keep = 0);

}  // namespace hvm::driver
