// The Win32 registry calls on the two hive files.
#include "platform/registry.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/runtime_paths.h"
#include "platform/wide_text.h"

namespace hvm {

// An open key: the hive it lies in and its path there.
struct HKEY__ {
  RegistryHive* hive = nullptr;
  std::u16string path;
};

namespace {

constexpr size_t kMaxKeyNameChars = 255;

std::mutex gKeysLock;
std::set<HKEY> gOpenKeys;

struct KeyRef {
  RegistryHive* hive = nullptr;
  std::u16string path;
};

std::string FromEnv(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? std::string(value) : std::string();
}

RegistryHive& UserHive() { return HiveForFile(UserRegistryPath(), u"HKEY_CURRENT_USER", 0600); }
RegistryHive& MachineHive() {
  return HiveForFile(MachineRegistryPath(), u"HKEY_LOCAL_MACHINE", 0644);
}

DWORD Resolve(HKEY key, KeyRef& ref) {
  SetRegistryProblem({});
  if (key == HKEY_CURRENT_USER) {
    ref = {&UserHive(), u""};
    return ERROR_SUCCESS;
  }
  if (key == HKEY_LOCAL_MACHINE) {
    ref = {&MachineHive(), u""};
    return ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> lock(gKeysLock);
  if (gOpenKeys.count(key) == 0) return ERROR_INVALID_HANDLE;
  ref = {key->hive, key->path};
  return ERROR_SUCCESS;
}

HKEY NewKeyHandle(const KeyRef& ref) {
  HKEY key = new HKEY__;
  key->hive = ref.hive;
  key->path = ref.path;
  std::lock_guard<std::mutex> lock(gKeysLock);
  gOpenKeys.insert(key);
  return key;
}

bool NameIsStorable(std::u16string_view name) {
  return name.find_first_of(std::u16string_view(u"\0\r\n", 3)) == std::u16string_view::npos;
}

// base + '\' + sub, refusing names the file cannot hold.
DWORD JoinPath(const std::u16string& base, const char16_t* subKey, std::u16string& path) {
  std::u16string sub = subKey != nullptr ? std::u16string(subKey) : std::u16string();
  while (!sub.empty() && sub.back() == u'\\') sub.pop_back();
  if (!sub.empty() && sub.front() == u'\\') return ERROR_BAD_PATHNAME;
  size_t start = 0;
  while (start < sub.size()) {
    size_t end = std::min(sub.find(u'\\', start), sub.size());
    std::u16string_view part = std::u16string_view(sub).substr(start, end - start);
    if (part.empty() || part.size() > kMaxKeyNameChars || !NameIsStorable(part)) {
      return ERROR_INVALID_PARAMETER;
    }
    start = end + 1;
  }
  path = sub.empty() ? base : base.empty() ? sub : base + u"\\" + sub;
  return ERROR_SUCCESS;
}

// The last component of child when it lies directly below parent.
bool IsDirectChild(const std::u16string& child, const std::u16string& parent) {
  if (child.empty()) return false;
  size_t skip = parent.empty() ? 0 : parent.size() + 1;
  if (!parent.empty() && (child.size() <= skip || child[parent.size()] != u'\\' ||
                          !EqualsNoCase(std::u16string_view(child).substr(0, parent.size()), parent))) {
    return false;
  }
  return child.find(u'\\', skip) == std::u16string::npos;
}

bool IsBelow(const std::u16string& child, const std::u16string& parent) {
  if (parent.empty()) return !child.empty();
  return child.size() > parent.size() && child[parent.size()] == u'\\' &&
         EqualsNoCase(std::u16string_view(child).substr(0, parent.size()), parent);
}

std::u16string LastComponent(const std::u16string& path) {
  size_t slash = path.find_last_of(u'\\');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

std::vector<std::u16string> ChildNames(const RegistryTree& tree, const std::u16string& parent) {
  std::vector<std::u16string> names;
  for (const auto& [path, node] : tree) {
    if (IsDirectChild(path, parent)) names.push_back(LastComponent(node.path));
  }
  return names;
}

// The key's node, or null; a missing key behind a handle has been deleted.
const RegKeyNode* FindKey(const RegistryTree& tree, const std::u16string& path) {
  auto found = tree.find(path);
  return found == tree.end() ? nullptr : &found->second;
}

RegValue* FindValue(RegKeyNode& key, std::u16string_view name) {
  for (RegValue& value : key.values) {
    if (EqualsNoCase(value.name, name)) return &value;
  }
  return nullptr;
}

DWORD CopyOut(const std::vector<uint8_t>& bytes, DWORD type, DWORD* typeOut, BYTE* data,
              DWORD* size) {
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  if (typeOut != nullptr) *typeOut = type;
  if (size == nullptr) return ERROR_SUCCESS;
  DWORD needed = static_cast<DWORD>(bytes.size());
  DWORD room = *size;
  *size = needed;
  if (data == nullptr) return ERROR_SUCCESS;
  if (room < needed) return ERROR_MORE_DATA;
  if (needed > 0) std::memcpy(data, bytes.data(), needed);
  return ERROR_SUCCESS;
}

DWORD ReadValue(HKEY key, const char16_t* name, RegValue& out) {
  KeyRef ref;
  DWORD error = Resolve(key, ref);
  if (error != ERROR_SUCCESS) return error;
  std::u16string valueName = name != nullptr ? name : u"";
  return ref.hive->Read([&](const RegistryTree& tree) -> DWORD {
    const RegKeyNode* node = FindKey(tree, ref.path);
    if (node == nullptr) return ERROR_KEY_DELETED;
    for (const RegValue& value : node->values) {
      if (EqualsNoCase(value.name, valueName)) {
        out = value;
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  });
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::u16string WideFromBytes(const std::vector<uint8_t>& bytes) {
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
  }
  return text;
}

std::vector<uint8_t> BytesFromWide(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

std::u16string WideName(const char* name) {
  return name != nullptr ? Utf8ToUtf16(name) : std::u16string();
}

// Copies a name with its terminator; sizes in characters of T.
template <typename Text>
DWORD CopyName(const Text& name, typename Text::value_type* out, DWORD* chars) {
  if (chars == nullptr || out == nullptr) return ERROR_INVALID_PARAMETER;
  if (*chars < name.size() + 1) {
    *chars = static_cast<DWORD>(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::copy(name.begin(), name.end(), out);
  out[name.size()] = 0;
  *chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

DWORD EnumKeyName(HKEY key, DWORD index, std::u16string& name) {
  KeyRef ref;
  DWORD error = Resolve(key, ref);
  if (error != ERROR_SUCCESS) return error;
  return ref.hive->Read([&](const RegistryTree& tree) -> DWORD {
    if (FindKey(tree, ref.path) == nullptr) return ERROR_KEY_DELETED;
    std::vector<std::u16string> names = ChildNames(tree, ref.path);
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    name = names[index];
    return ERROR_SUCCESS;
  });
}

}  // namespace

std::string UserRegistryPath() {
  std::string path = FromEnv("HALVENMOOR_USER_REG");
  if (!path.empty()) return path;
  std::string config = FromEnv("XDG_CONFIG_HOME");
  if (config.empty()) config = HomeDir() + "/.config";  // never under /tmp
  return config + "/halvenmoor/user.reg";
}

std::string MachineRegistryPath() {
  std::string path = FromEnv("HALVENMOOR_MACHINE_REG");
  return path.empty() ? std::string("/etc/halvenmoor/system.reg") : path;
}

namespace {

// The key a call names: the handle's key and subKey below it.
DWORD ResolveTarget(HKEY key, const char16_t* subKey, KeyRef& ref, KeyRef& target) {
  DWORD error = Resolve(key, ref);
  if (error != ERROR_SUCCESS) return error;
  target = KeyRef{ref.hive, {}};
  return JoinPath(ref.path, subKey, target.path);
}

// ERROR_SUCCESS when target exists, ERROR_FILE_NOT_FOUND when not, and
// ERROR_KEY_DELETED when the handle's own key is gone.
DWORD TargetState(const KeyRef& ref, const KeyRef& target) {
  return ref.hive->Read([&](const RegistryTree& tree) -> DWORD {
    if (FindKey(tree, ref.path) == nullptr) return ERROR_KEY_DELETED;
    return FindKey(tree, target.path) != nullptr ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

}  // namespace

LONG RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD, char16_t*, DWORD, DWORD, void*,
                     HKEY* result, DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyRef ref, target;
  DWORD error = ResolveTarget(key, subKey, ref, target);
  if (error != ERROR_SUCCESS) return error;
  bool created = false;
  // Opening an existing key needs no lock and no write.
  error = TargetState(ref, target);
  if (error == ERROR_FILE_NOT_FOUND) {
    error = ref.hive->Update([&](RegistryTree& tree, bool& changed) -> DWORD {
      if (FindKey(tree, ref.path) == nullptr) return ERROR_KEY_DELETED;
      if (FindKey(tree, target.path) != nullptr) return ERROR_SUCCESS;
      AddKeyWithParents(tree, target.path);
      created = changed = true;
      return ERROR_SUCCESS;
    });
  }
  if (error != ERROR_SUCCESS) return static_cast<LONG>(error);
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewKeyHandle(target);
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD, DWORD, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyRef ref, target;
  DWORD error = ResolveTarget(key, subKey, ref, target);
  if (error != ERROR_SUCCESS) return error;
  error = TargetState(ref, target);
  if (error != ERROR_SUCCESS) return static_cast<LONG>(error);
  *result = NewKeyHandle(target);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD*, DWORD* type, BYTE* data,
                      DWORD* size) {
  RegValue value;
  DWORD error = ReadValue(key, name, value);
  if (error != ERROR_SUCCESS) return static_cast<LONG>(error);
  return static_cast<LONG>(CopyOut(value.data, value.type, type, data, size));
}

LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD, DWORD type, const BYTE* data,
                    DWORD size) {
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  std::u16string valueName = name != nullptr ? name : u"";
  if (!NameIsStorable(valueName)) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  DWORD error = Resolve(key, ref);
  if (error != ERROR_SUCCESS) return error;
  std::vector<uint8_t> bytes(data, data + size);
  return static_cast<LONG>(ref.hive->Update([&](RegistryTree& tree, bool& changed) -> DWORD {
    auto node = tree.find(ref.path);
    if (node == tree.end()) return ERROR_KEY_DELETED;
    RegValue* existing = FindValue(node->second, valueName);
    if (existing == nullptr) {
      node->second.values.push_back({valueName, type, bytes});
      changed = true;
    } else if (existing->type != type || existing->data != bytes) {
      existing->type = type;
      existing->data = bytes;
      changed = true;
    }
    return ERROR_SUCCESS;
  }));
}

LONG RegDeleteValueW(HKEY key, const char16_t* name) {
  std::u16string valueName = name != nullptr ? name : u"";
  KeyRef ref;
  DWORD error = Resolve(key, ref);
  if (error != ERROR_SUCCESS) return error;
  return static_cast<LONG>(ref.hive->Update([&](RegistryTree& tree, bool& changed) -> DWORD {
    auto node = tree.find(ref.path);
    if (node == tree.end()) return ERROR_KEY_DELETED;
    std::vector<RegValue>& values = node->second.values;
    auto found = std::find_if(values.begin(), values.end(), [&](const RegValue& value) {
      return EqualsNoCase(value.name, valueName);
    });
    if (found == values.end()) return ERROR_FILE_NOT_FOUND;
    values.erase(found);
    changed = true;
    return ERROR_SUCCESS;
  }));
}

LONG RegDeleteKeyW(HKEY key, const char16_t* subKey) {
  if (subKey == nullptr || *subKey == 0) return ERROR_INVALID_PARAMETER;
  KeyRef ref, targetRef;
  DWORD error = ResolveTarget(key, subKey, ref, targetRef);
  if (error != ERROR_SUCCESS) return error;
  const std::u16string& target = targetRef.path;
  return static_cast<LONG>(ref.hive->Update([&](RegistryTree& tree, bool& changed) -> DWORD {
    auto node = tree.find(target);
    if (node == tree.end()) return ERROR_FILE_NOT_FOUND;
    if (!ChildNames(tree, target).empty()) return ERROR_ACCESS_DENIED;
    tree.erase(node);
    changed = true;
    return ERROR_SUCCESS;
  }));
}

LONG RegDeleteTreeW(HKEY key, const char16_t* subKey) {
  KeyRef ref, targetRef;
  DWORD error = ResolveTarget(key, subKey, ref, targetRef);
  if (error != ERROR_SUCCESS) return error;
  const std::u16string& target = targetRef.path;
  bool keepKey = subKey == nullptr || *subKey == 0;
  return static_cast<LONG>(ref.hive->Update([&](RegistryTree& tree, bool& changed) -> DWORD {
    auto node = tree.find(target);
    if (node == tree.end()) return keepKey ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
    if (keepKey) {
      node->second.values.clear();
    } else if (!target.empty()) {
      tree.erase(node);
    }
    for (auto it = tree.begin(); it != tree.end();) {
      it = IsBelow(it->first, target) ? tree.erase(it) : std::next(it);
    }
    changed = true;
    return ERROR_SUCCESS;
  }));
}

LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* nameChars, DWORD*, char16_t*,
                   DWORD*, void*) {
  std::u16string found;
  DWORD error = EnumKeyName(key, index, found);
  if (error != ERROR_SUCCESS) return static_cast<LONG>(error);
  return static_cast<LONG>(CopyName(found, name, nameChars));
}

LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* nameChars, DWORD*, DWORD* type,
                   BYTE* data, DWORD* size) {
  KeyRef ref;
  DWORD error = Resolve(key, ref);
  if (error != ERROR_SUCCESS) return error;
  RegValue value;
  error = ref.hive->Read([&](const RegistryTree& tree) -> DWORD {
    const RegKeyNode* node = FindKey(tree, ref.path);
    if (node == nullptr) return ERROR_KEY_DELETED;
    if (index >= node->values.size()) return ERROR_NO_MORE_ITEMS;
    value = node->values[index];
    return ERROR_SUCCESS;
  });
  if (error != ERROR_SUCCESS) return static_cast<LONG>(error);
  error = CopyName(value.name, name, nameChars);
  if (error != ERROR_SUCCESS) return static_cast<LONG>(error);
  return static_cast<LONG>(CopyOut(value.data, value.type, type, data, size));
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(gKeysLock);
    if (gOpenKeys.erase(key) == 0) return ERROR_INVALID_HANDLE;
  }
  delete key;
  return ERROR_SUCCESS;
}

// ---- UTF-8 forms

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char*, DWORD options,
                     DWORD access, void* security, HKEY* result, DWORD* disposition) {
  std::u16string wide = WideName(subKey);
  return RegCreateKeyExW(key, subKey != nullptr ? wide.c_str() : nullptr, reserved, nullptr,
                         options, access, security, result, disposition);
}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD access, HKEY* result) {
  std::u16string wide = WideName(subKey);
  return RegOpenKeyExW(key, subKey != nullptr ? wide.c_str() : nullptr, options, access, result);
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
  std::u16string wide = WideName(name);
  RegValue value;
  DWORD error = ReadValue(key, wide.c_str(), value);
  if (error != ERROR_SUCCESS) return static_cast<LONG>(error);
  if (IsStringType(value.type)) {
    std::string text = Utf16ToUtf8(WideFromBytes(value.data));
    value.data.assign(text.begin(), text.end());
  }
  return static_cast<LONG>(CopyOut(value.data, value.type, type, data, size));
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  std::u16string wide = WideName(name);
  if (!IsStringType(type)) return RegSetValueExW(key, wide.c_str(), reserved, type, data, size);
  std::vector<uint8_t> bytes =
      BytesFromWide(Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size)));
  return RegSetValueExW(key, wide.c_str(), reserved, type, bytes.data(),
                        static_cast<DWORD>(bytes.size()));
}

LONG RegDeleteValueA(HKEY key, const char* name) {
  std::u16string wide = WideName(name);
  return RegDeleteValueW(key, wide.c_str());
}

LONG RegDeleteKeyA(HKEY key, const char* subKey) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string wide = WideName(subKey);
  return RegDeleteKeyW(key, wide.c_str());
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameChars, DWORD*, char*, DWORD*,
                   void*) {
  std::u16string found;
  DWORD error = EnumKeyName(key, index, found);
  if (error != ERROR_SUCCESS) return static_cast<LONG>(error);
  return static_cast<LONG>(CopyName(Utf16ToUtf8(found), name, nameChars));
}

}  // namespace hvm
