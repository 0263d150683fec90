#include "driver/namespace.h"

#include <algorithm>
#include <charconv>

#include "platform/wide_text.h"

namespace hvm::driver {

Namespace::Namespace() {
  auto root = std::make_unique<Node>();
  root->ino = kRootIno;
  root->kind = NodeKind::Root;
  root->lookups = 1;
  nodes_.emplace(kRootIno, std::move(root));
}

Namespace& Names() {
  static Namespace* names = new Namespace();
  return *names;
}

Node* Namespace::Get(uint64_t ino) {
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? nullptr : it->second.get();
}

Node* Namespace::Child(uint64_t parent, std::string_view name) {
  auto it = children_.find({parent, std::string(name)});
  return it == children_.end() ? nullptr : Get(it->second);
}

Node* Namespace::Remember(Node& parent, std::string_view name, NodeKind kind, uid_t uid,
                          Connection* connection) {
  Node* node = Child(parent.ino, name);
  if (node == nullptr) {
    auto fresh = std::make_unique<Node>();
    fresh->ino = nextIno_++;
    fresh->kind = kind;
    fresh->uid = uid;
    fresh->parent = parent.ino;
    fresh->name = std::string(name);
    fresh->connection = connection;
    if (kind == NodeKind::ConnectionRoot)
      fresh->fullName = kFullNamePrefix + Utf8ToUtf16(name);
    else if (kind == NodeKind::Remote)
      fresh->fullName = parent.fullName + u"\\" + Utf8ToUtf16(name);
    node = fresh.get();
    children_[{parent.ino, node->name}] = node->ino;
    nodes_.emplace(node->ino, std::move(fresh));
    Index(*node);
  }
  node->lookups += 1;
  return node;
}

void Namespace::Forget(uint64_t ino, uint64_t count) {
  Node* node = Get(ino);
  if (node == nullptr || ino == kRootIno) return;
  node->lookups = count >= node->lookups ? 0 : node->lookups - count;
  if (node->lookups > 0 || node->fcbToken != 0) return;
  auto key = std::make_pair(node->parent, node->name);
  auto it = children_.find(key);
  if (it != children_.end() && it->second == ino) children_.erase(it);
  Unindex(*node);
  nodes_.erase(ino);
}

bool Namespace::Indexed(const Node& node) {
  return node.kind == NodeKind::Remote || node.kind == NodeKind::ConnectionRoot;
}

namespace {
// The node, its name, its full name three times (node and indexes) and the map cells.
size_t NodeCost(const Node& node) {
  constexpr size_t kMapCells = 4 * 64;
  return sizeof(Node) + kMapCells + node.fullName.size() * sizeof(char16_t) * 4;
}
}  // namespace

void Namespace::Index(const Node& node) {
  if (!Indexed(node)) return;
  byFullName_.emplace(NameKey{node.uid, node.fullName}, node.ino);
  auto folded = byFoldedName_.emplace(NameKey{node.uid, UpperCaseSimple(node.fullName)}, node.ino);
  // Equal keys sit side by side: a name alone in any spelling costs no search.
  auto same = [&folded](auto it) { return it->first == folded->first; };
  bool alone = (folded == byFoldedName_.begin() || !same(std::prev(folded))) &&
               (std::next(folded) == byFoldedName_.end() || !same(std::next(folded)));
  if (alone) {
    if (Node* indexed = Get(node.ino)) indexed->spelledOtherwise = false;
  } else {
    MarkSpellings(folded->first);
  }
  bytesByUid_[node.uid] += NodeCost(node);
}

void Namespace::MarkSpellings(const NameKey& key) {
  auto [first, last] = byFoldedName_.equal_range(key);
  // Two spellings or more among the nodes: each has another. One pass each,
  // however many spellings a program tries.
  const std::u16string* seen = nullptr;
  bool several = false;
  for (auto it = first; it != last && !several; ++it) {
    Node* node = Get(it->second);
    if (node == nullptr) continue;
    if (seen == nullptr)
      seen = &node->fullName;
    else
      several = node->fullName != *seen;
  }
  for (auto it = first; it != last; ++it)
    if (Node* node = Get(it->second)) node->spelledOtherwise = several;
}

void Namespace::Unindex(const Node& node) {
  if (!Indexed(node)) return;
  NameKey foldedKey{node.uid, UpperCaseSimple(node.fullName)};
  auto [folded, foldedEnd] = byFoldedName_.equal_range(foldedKey);
  for (auto it = folded; it != foldedEnd; ++it) {
    if (it->second != node.ino) continue;
    bool shared = folded != it || std::next(it) != foldedEnd;
    byFoldedName_.erase(it);
    if (shared) MarkSpellings(foldedKey);  // those left may be alone now
    break;
  }
  auto [first, last] = byFullName_.equal_range(NameKey{node.uid, node.fullName});
  for (auto it = first; it != last; ++it) {
    if (it->second != node.ino) continue;
    byFullName_.erase(it);
    auto bytes = bytesByUid_.find(node.uid);
    if (bytes != bytesByUid_.end()) {
      bytes->second -= std::min(bytes->second, NodeCost(node));
      if (bytes->second == 0) bytesByUid_.erase(bytes);
    }
    return;
  }
}

size_t Namespace::BytesOf(uid_t uid) const {
  auto it = bytesByUid_.find(uid);
  return it == bytesByUid_.end() ? 0 : it->second;
}

void Namespace::Detach(uint64_t parent, std::string_view name) {
  auto it = children_.find({parent, std::string(name)});
  if (it == children_.end()) return;
  if (Node* node = Get(it->second)) node->detached = true;
  children_.erase(it);
}

void Namespace::Rename(Node& node, const std::u16string& newFullName) {
  std::u16string old = node.fullName;
  // Everything below the old name sorts between "<old>\" and "<old>]".
  auto first = byFullName_.lower_bound(NameKey{node.uid, old + u"\\"});
  auto last = byFullName_.lower_bound(NameKey{node.uid, old + u"]"});
  std::vector<Node*> below;
  for (auto it = first; it != last; ++it)
    if (Node* other = Get(it->second); other && other->kind == NodeKind::Remote) below.push_back(other);
  for (Node* other : below) {
    Unindex(*other);
    other->fullName = newFullName + other->fullName.substr(old.size());
    Index(*other);
  }
  Unindex(node);
  node.fullName = newFullName;
  Index(node);
}

void Namespace::Move(uint64_t parent, std::string_view name, Node& newParent,
                     std::string_view newName) {
  Node* node = Child(parent, name);
  if (node == nullptr) return;
  Detach(newParent.ino, newName);  // a replaced target leaves the tree
  children_.erase({parent, std::string(name)});
  node->parent = newParent.ino;
  node->name = std::string(newName);
  node->detached = false;
  children_[{newParent.ino, node->name}] = node->ino;
  Rename(*node, newParent.fullName + u"\\" + Utf8ToUtf16(newName));
}

Node* Namespace::FindByFullName(uid_t uid, std::u16string_view fullName) {
  auto [first, last] = byFullName_.equal_range(NameKey{uid, std::u16string(fullName)});
  for (auto it = first; it != last; ++it)
    if (Node* node = Get(it->second); node && !node->detached) return node;
  return nullptr;
}

std::vector<Node*> Namespace::Spellings(uid_t uid, std::u16string_view fullName) {
  std::vector<Node*> found;
  auto [first, last] = byFoldedName_.equal_range(NameKey{uid, UpperCaseSimple(fullName)});
  for (auto it = first; it != last; ++it)
    if (Node* node = Get(it->second); node && !node->detached) found.push_back(node);
  return found;
}

std::vector<std::pair<uint64_t, std::string>> Namespace::ConnectionFolders(uid_t uid) const {
  std::vector<std::pair<uint64_t, std::string>> folders;
  std::u16string prefix = kFullNamePrefix;
  auto first = byFullName_.lower_bound(NameKey{uid, prefix});
  auto last = byFullName_.lower_bound(NameKey{uid, prefix.substr(0, prefix.size() - 1) + u"]"});
  for (auto it = first; it != last; ++it) {
    auto node = nodes_.find(it->second);
    if (node != nodes_.end() && node->second->kind == NodeKind::ConnectionRoot)
      folders.emplace_back(node->second->parent, node->second->name);
  }
  return folders;
}

namespace {
// The upper-case form of an ASCII name; false for any other name.
bool AsciiKey(std::string_view name, std::string& key) {
  key.assign(name);
  for (char& c : key) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) return false;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return true;
}
}  // namespace

void MarkOwnFolder(Node& folder) {
  folder.ownFolder = true;
  folder.ownNames.clear();
  folder.ownFolderTouched = Clock::now();
}

void DropOwnFolder(Node& folder) {
  folder.ownFolder = false;
  std::set<std::string>().swap(folder.ownNames);
}

void NoteOwnName(Node& folder, std::string_view name) {
  if (!folder.ownFolder) return;
  if (folder.ownNames.size() >= kOwnFolderMaxNames) return DropOwnFolder(folder);
  std::string key;
  // A name with other characters cannot match an ASCII one, and is never answered here.
  if (AsciiKey(name, key)) folder.ownNames.insert(std::move(key));
  folder.ownFolderTouched = Clock::now();
}

bool OwnFolderKnowsMissing(const Node& folder, std::string_view name, Clock::time_point now) {
  if (!folder.ownFolder || folder.detached || now - folder.ownFolderTouched >= kOwnFolderTrust) return false;
  std::string key;
  return AsciiKey(name, key) && folder.ownNames.count(key) == 0;
}

bool ParseUserFolder(std::string_view name, uid_t& uid) {
  constexpr std::string_view kPrefix = "S-1-22-1-";
  if (name.size() <= kPrefix.size() || name.substr(0, kPrefix.size()) != kPrefix) return false;
  std::string_view digits = name.substr(kPrefix.size());
  if (digits.size() > 1 && digits[0] == '0') return false;  // one spelling per user
  unsigned long value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || value > 0xFFFFFFFEul)
    return false;
  uid = static_cast<uid_t>(value);
  return true;
}

bool IsWellFormedUtf8(std::string_view name) {
  size_t i = 0;
  while (i < name.size()) {
    unsigned char lead = static_cast<unsigned char>(name[i]);
    size_t length;
    uint32_t code, least;
    if (lead < 0x80) {
      i += 1;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (name.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(name[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

bool HasWildcards(std::u16string_view name) {
  return name.find_first_of(u"*?<>\"") != std::u16string_view::npos;
}

bool UnusableComponent(std::u16string_view component) {
  if (component.empty() || component == u"." || component == u"..") return true;
  return component.find_first_of(std::u16string_view(u"\\\0", 2)) != std::u16string_view::npos;
}

bool IsPipeOrIpcName(std::u16string_view fullName) {
  std::u16string_view name = fullName.substr(0, 260);
  size_t last = name.rfind(u'\\');
  if (last == std::u16string_view::npos || last + 1 == name.size()) return false;
  if (EqualsNoCase(name, u"\\QUENLODE\\IPC$")) return true;
  return EqualsNoCase(name.substr(0, last + 1), u"\\QUENLODE\\PIPE\\");
}

bool IsSuspendName(std::u16string_view fullName) {
  constexpr std::u16string_view kSuspend = u"\\QUENLODE\\sp\\suspend";
  return fullName.size() >= kSuspend.size() && fullName.substr(0, kSuspend.size()) == kSuspend;
}

}  // namespace hvm::driver
