// The mount's names: the root holds one folder per user (named by the SID,
// mode 0700, owned by that user); its "QUENLODE" lists the user's active
// Connections; below a Connection every path is a full name
// "\QUENLODE\<connection>\..." in that user's slot. Inodes map to nodes; the
// table keeps inode -> full name up to date across renames. Full names are
// indexed per user, so no look-up or rename walks other users' nodes. The
// driver lock must be held.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver_state.h"
#include "driver/liveness.h"

namespace hvm::driver {

enum class NodeKind { Root, UserFolder, ServerFolder, SuspendFolder, ConnectionRoot, Remote };

struct RemoteAttr {
  bool isDirectory = false;
  bool readOnly = false;
  uint64_t size = 0;
  uint64_t creationTime = 0;  // FILETIME values
  uint64_t lastWriteTime = 0;
  uint64_t changeTime = 0;
  uint64_t lastAccessTime = 0;
};

struct Node {
  uint64_t ino = 0;
  NodeKind kind = NodeKind::Root;
  uid_t uid = 0;
  uint64_t parent = 0;
  std::string name;         // the component as the kernel knows it (UTF-8)
  std::u16string fullName;  // "\QUENLODE\site1\docs\a.txt" for remote nodes
  Connection* connection = nullptr;
  uint64_t lookups = 0;
  RemoteAttr attr;
  Clock::time_point attrTime{};  // when attr was last learned from the agent
  uint32_t fcbToken = 0;         // the FCB while the file is open
  bool detached = false;         // unlinked or replaced; kept until forgotten
  // Detached because another spelling's removal or move took its file or
  // folder away, while the kernel may still resolve this spelling's name.
  // Its full name then stands for nothing or for something else: nothing is
  // looked up, made, opened or listed through it.
  bool goneUnderSpelling = false;
  // Another node holds this full name in another spelling (kept by the table).
  bool spelledOtherwise = false;
  // A folder this driver made: every name in it since came through here, so
  // a name it never saw is missing without asking the agent (OwnFolderKnowsMissing).
  bool ownFolder = false;
  Clock::time_point ownFolderTouched{};
  std::set<std::string> ownNames;  // its ASCII names, upper case
};

inline constexpr uint64_t kRootIno = 1;
inline constexpr char kServerWord[] = "QUENLODE";
inline constexpr char kSuspendFolder[] = "sp";
inline constexpr char16_t kFullNamePrefix[] = u"\\QUENLODE\\";

class Namespace {
 public:
  Namespace();
  Node* Get(uint64_t ino);
  Node* Child(uint64_t parent, std::string_view name);
  // The child node for name, created when absent; its lookup count rises by one.
  Node* Remember(Node& parent, std::string_view name, NodeKind kind, uid_t uid,
                 Connection* connection);
  void Forget(uint64_t ino, uint64_t count);
  // Drops the name from its parent (the node lives on until forgotten).
  void Detach(uint64_t parent, std::string_view name);
  // Moves a name, updating the full names of the node and all below it.
  void Move(uint64_t parent, std::string_view name, Node& newParent, std::string_view newName);
  // The node of a full name of a user, or null.
  Node* FindByFullName(uid_t uid, std::u16string_view fullName);
  // The nodes, still in the tree, of a user's full name in any spelling: one
  // file or folder to the agent, separate nodes to the kernel (also below a
  // folder reached under two spellings).
  std::vector<Node*> Spellings(uid_t uid, std::u16string_view fullName);
  size_t size() const { return nodes_.size(); }
  // About how much memory a user's remote nodes take (names and index).
  size_t BytesOf(uid_t uid) const;
  // (parent, name) of every Connection folder of a user the kernel may cache.
  std::vector<std::pair<uint64_t, std::string>> ConnectionFolders(uid_t uid) const;

 private:
  using NameKey = std::pair<uid_t, std::u16string>;
  static bool Indexed(const Node& node);
  void Index(const Node& node);
  void Unindex(const Node& node);
  // Sets spelledOtherwise on the nodes of one name in any spelling.
  void MarkSpellings(const NameKey& key);
  void Rename(Node& node, const std::u16string& newFullName);
  std::map<uint64_t, std::unique_ptr<Node>> nodes_;
  // Remote and Connection nodes by (uid, full name); a detached node may
  // share its name with the node that replaced it.
  std::multimap<NameKey, uint64_t> byFullName_;
  // The same by the full name in upper case: its spellings sit side by side.
  std::multimap<NameKey, uint64_t> byFoldedName_;
  std::map<uid_t, size_t> bytesByUid_;
  std::map<std::pair<uint64_t, std::string>, uint64_t> children_;
  uint64_t nextIno_ = 2;
};

Namespace& Names();

// ---- folders the driver made itself
// A folder made here (mkdir) starts out empty on the server; the names made in
// it afterwards through the driver (create, mkdir, rename) are noted. For a
// while after the last of them a look-up of any other name is answered as
// missing at once. The agent compares names without regard to case; only
// ASCII names are answered here (they can only match ASCII names), every
// other name still goes to the agent. A listing of the folder, a notice of a
// change in it or a failed change ends it.
inline constexpr auto kOwnFolderTrust = std::chrono::seconds(30);
inline constexpr size_t kOwnFolderMaxNames = 20000;
void MarkOwnFolder(Node& folder);
void NoteOwnName(Node& folder, std::string_view name);
void DropOwnFolder(Node& folder);
bool OwnFolderKnowsMissing(const Node& folder, std::string_view name, Clock::time_point now);

// ---- name rules of the create path

// A SID folder name "S-1-22-1-<uid>"; false when name is not one.
bool ParseUserFolder(std::string_view name, uid_t& uid);
// A name that is not well-formed UTF-8 (stray or overlong bytes, surrogates)
// would turn into U+FFFD and alias another name: it is refused.
bool IsWellFormedUtf8(std::string_view name);
// "*", "?", "<", ">", '"' in a name: it is refused.
bool HasWildcards(std::u16string_view name);
// A component that cannot become part of a full name ("\" or NUL inside, "." or "..").
bool UnusableComponent(std::u16string_view component);
// "\QUENLODE\IPC$", or a name directly in "\QUENLODE\PIPE\".
bool IsPipeOrIpcName(std::u16string_view fullName);
// A full name that begins with "\QUENLODE\sp\suspend".
bool IsSuspendName(std::u16string_view fullName);
// The longest full name the channel carries whole.
inline constexpr size_t kMaxFullNameChars = 259;

}  // namespace hvm::driver
