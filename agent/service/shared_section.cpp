// Attaching the shared connection table and handing the trace level to the driver.
#include "agent/service/shared_section.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/service/channel_records.h"
#include "agent/service/site_passwords.h"
#include "platform/control_device.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {

namespace {

constexpr int kPerUserPoolThreads = 10;
constexpr int kMachinePoolThreads = 20;

std::u16string_view BlockSid(const SharedUserBlock& block) {
  return WideField(block.sid, kBlockSidChars);
}

// Reads a 32-bit value; ERROR_SUCCESS or the registry's error.
LONG QueryDword(HKEY key, const char16_t* name, uint32_t& value) {
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof(data);
  LONG error = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (error == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof(data))) {
    error = ERROR_FILE_NOT_FOUND;
  }
  if (error == ERROR_SUCCESS) value = data;
  return error;
}

// Reads a string into a fixed wide field, cut to the field and terminated.
LONG QueryWide(HKEY key, const char16_t* name, char16_t* field, size_t chars) {
  std::u16string text(chars * 4, u'\0');
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(text.size() * sizeof(char16_t));
  LONG error = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                                &size);
  if (error != ERROR_SUCCESS) return error;
  if (type != REG_SZ) return ERROR_FILE_NOT_FOUND;
  text.resize(size / sizeof(char16_t));
  CopyWide(field, chars, WideField(text.data(), text.size()));
  return ERROR_SUCCESS;
}

// The level the product key of root holds; 0xFFFFFFFF stands for 0.
uint32_t ReadLogLevel(HKEY root, uint32_t current) {
  HKEY key = nullptr;
  LONG error = RegOpenKeyExW(root, kProductKey, 0, KEY_READ, &key);
  if (error != ERROR_SUCCESS) {
    WideDbgPrint(u"LogLevel=0 could not read the registry error=0x%lx\n",
                 static_cast<unsigned long>(error));
    return current;
  }
  uint32_t level = current;
  error = QueryDword(key, u"LogLevel", level);
  RegCloseKey(key);
  if (level == 0xFFFFFFFF) level = 0;
  WideDbgPrint(u"LogLevel 0x%lx error=0x%lx\n", static_cast<unsigned long>(level),
               static_cast<unsigned long>(error));
  return level;
}

// The section outlives a crashed agent here, so what its threads marked in
// the block is cleared before this agent's threads start.
void ClearConnectionMarks(SharedUserBlock& block) {
  for (SiteRecord& slot : block.sites) slot.trayMenu = 0;
  block.housekeepingRunning = 0;
}

}  // namespace

int SelectUserBlock(SharedUserBlock* blocks, size_t count, std::u16string_view sid) {
  for (size_t i = 0; i < count; ++i) {
    std::u16string_view owner = BlockSid(blocks[i]);
    if (owner == sid) return static_cast<int>(i);
    if (owner.empty()) {
      std::memset(blocks[i].sid, 0, sizeof(blocks[i].sid));
      CopyWide(blocks[i].sid, kBlockSidChars, sid);
      return static_cast<int>(i);
    }
  }
  return -1;
}

uint32_t RegisteredMessageId(std::u16string_view name) {
  uint32_t hash = 2166136261u;  // FNV-1a over the upper-cased name: Windows ignores case here
  for (char16_t c : name) {
    char16_t upper = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    hash = (hash ^ upper) * 16777619u;
  }
  return 0xC000u + (hash % 0x4000u);
}

uint32_t SetDriverLogLevel(HKEY root) {
  uint32_t level = ReadLogLevel(root, logLevel);
  logLevel = level;
  HANDLE device = CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    WideDbgPrint(u"Ioctl_set_log_level failed with code %d\n", static_cast<int>(GetLastError()));
    return level;
  }
  DWORD returned = 0;
  if (!DeviceIoControl(device, IOCTL_SET_LOG_LEVEL, &level, sizeof(level), nullptr, 0, &returned,
                       nullptr)) {
    WideDbgPrint(u"Ioctl_set_log_level failed with code %d\n", static_cast<int>(GetLastError()));
  }
  CloseHandle(device);
  return level;
}

void ReadProxySettings(SharedUserBlock& block) {
  HKEY key = nullptr;
  LONG error = RegOpenKeyExW(HKEY_CURRENT_USER, kProductKey, 0, KEY_READ, &key);
  if (error != ERROR_SUCCESS) {
    WideDbgPrint(u"LogLevel=0 could not read the registry error=0x%lx\n",
                 static_cast<unsigned long>(error));
    return;
  }
  error = QueryDword(key, u"ProxyPort", block.proxyPort);
  WideDbgPrint(u"ProxyPort 0x%lx error=0x%lx\n", static_cast<unsigned long>(block.proxyPort),
               static_cast<unsigned long>(error));
  // The stored limits (terminator included): server 40, bypass 384, user and password 30.
  error = QueryWide(key, u"ProxyServer", block.proxyServer, 40);
  WideDbgPrint(u"ProxyServer %ws error=0x%lx\n", block.proxyServer,
               static_cast<unsigned long>(error));
  error = QueryWide(key, u"ProxyBypass", block.proxyBypass, 384);
  WideDbgPrint(u"ProxyBypass %ws error=0x%lx\n", block.proxyBypass,
               static_cast<unsigned long>(error));
  error = QueryWide(key, u"ProxyUser", block.proxyUser, 30);
  WideDbgPrint(u"ProxyUser %ws error=0x%lx\n", block.proxyUser, static_cast<unsigned long>(error));
  // The password stays out of the shared block (which outlives a killed
  // agent) and out of the log: the agent keeps it in its own memory.
  char16_t proxyPassword[60] = {};
  error = QueryWide(key, u"ProxyPassword", proxyPassword, 30);
  KeepProxyPassword(WideField(proxyPassword, 30));
  WideDbgPrint(u"ProxyPassword %ws error=0x%lx\n", proxyPassword[0] ? u"***" : u"",
               static_cast<unsigned long>(error));
  WipeMemory(proxyPassword, sizeof proxyPassword);
  WipeMemory(block.proxyPassword, sizeof block.proxyPassword);
  RegCloseKey(key);
}

std::string SessionSharedSectionName() {
  const char* runtime = std::getenv("HALVENMOOR_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return kSharedSectionName;
  // FNV-1a of the folder: short, stable, and free of '/'.
  uint64_t hash = 1469598103934665603ull;
  for (const char* c = runtime; *c != '\0'; ++c) {
    hash ^= static_cast<unsigned char>(*c);
    hash *= 1099511628211ull;
  }
  char suffix[20];
  std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(hash));
  return std::string(kSharedSectionName) + suffix;
}

AgentSharedSection::~AgentSharedSection() { Detach(); }

DWORD AgentSharedSection::Attach(bool perUserStart, std::u16string* message,
                                 const std::string& sectionName) {
  if (block_ != nullptr) return ERROR_SUCCESS;
  std::string problem;
  bool opened = OpenSharedSection(sectionName, kSharedSectionSize, section_, &problem);
  int error = errno;
  // The agent is the only process that uses its table; a name another user
  // took first must not keep it from starting until the next boot, so the
  // table is then private to this process (and gone when it ends).
  if (!opened && perUserStart && SharedSectionTakenByAnotherUser(sectionName) &&
      OpenPrivateSection(kSharedSectionSize, section_)) {
    WideDbgPrint(u"The shared connection table is kept private: %s\n", problem.c_str());
    opened = true;
  }
  errno = error;
  if (!opened) {
    const bool refused = errno == EPERM;
    WideDbgPrint(u"The shared connection table cannot be used: %s\n", problem.c_str());
    if (message) *message = u"The shared connection table cannot be used: " + Utf8ToUtf16(problem);
    return refused ? ERROR_ACCESS_DENIED : ERROR_NOT_ENOUGH_MEMORY;
  }
  auto* blocks = static_cast<SharedUserBlock*>(section_.base);
  if (!perUserStart) {
    std::memset(section_.base, 0, kSharedSectionSize);
    SetDriverLogLevel(HKEY_LOCAL_MACHINE);
  }

  char16_t sid[kUserSidChars + 1] = {};
  GetCurrentUserSidString(sid, static_cast<int>(kUserSidChars));
  int index = SelectUserBlock(blocks, kUserBlockCount, WideField(sid, kUserSidChars));
  if (index < 0) {
    // Taking a block of another user would hand this user that user's sites.
    WideDbgPrint(u"No free user block for %ws\n", sid);
    std::u16string text =
        u"Every user block of the shared connection table belongs to another user; "
        u"Halvenmoor cannot start for this user until one of them ends.";
    CurrentUi().MessageBox(text, u"Halvenmoor", MB_OK | MB_ICONERROR);
    if (message) *message = text;
    CloseSharedSection(section_);
    return ERROR_NO_FREE_USER_BLOCK;
  }
  blockIndex_ = index;
  block_ = &blocks[index];
  pool_ = std::make_unique<ThreadPool>(perUserStart ? kPerUserPoolThreads : kMachinePoolThreads, 1);

  if (perUserStart) {
    SetDriverLogLevel(HKEY_CURRENT_USER);
    ClearConnectionMarks(*block_);
    block_->windowMessage = RegisteredMessageId(kAgentWindowMessageName);
    ReadProxySettings(*block_);
  } else {
    logLevel = 0xFFFFFFFF;
  }
  WideDbgPrint(u"InitConnTable connTable=%lx\n", static_cast<unsigned long>(
                                                     reinterpret_cast<uintptr_t>(block_)));
  return ERROR_SUCCESS;
}

void AgentSharedSection::Detach() {
  pool_.reset();
  block_ = nullptr;
  blockIndex_ = -1;
  if (section_.base != nullptr) CloseSharedSection(section_);
}

SharedUserBlock* AgentSharedSection::BlockOfConnection(const SiteRecord* slot) const {
  auto* blocks = static_cast<SharedUserBlock*>(section_.base);
  for (size_t i = 0; blocks != nullptr && i < kUserBlockCount; ++i) {
    if (BlockSid(blocks[i]).empty()) continue;
    const SiteRecord* first = &blocks[i].sites[0];
    if (slot >= first && slot < first + kSiteCount) return &blocks[i];
  }
  WideDbgPrint(u"The user isn't found for the connection %lx %ws\n",
               static_cast<unsigned long>(reinterpret_cast<uintptr_t>(slot)),
               slot != nullptr ? slot->name : u"");
  return nullptr;
}

}  // namespace hvm
