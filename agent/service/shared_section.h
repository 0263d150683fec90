// The shared connection table: one named shared-memory section divided into
// ten user blocks, so that every agent of a user finds the same block (the
// driver keeps one user slot per SID in the same way).
//
// The section holds only the plain fields of SharedUserBlock; the process-local
// objects that belong to it (the thread pool here, the Connections of the
// request service) live in the attaching process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "agent/service/site_record.h"
#include "common/moorlib.h"
#include "platform/registry.h"
#include "platform/shared_memory.h"
#include "platform/win32.h"

namespace hvm {

inline constexpr char kSharedSectionName[] = "Halvenmoor_WebSharedData";
inline constexpr size_t kUserBlockCount = 10;
inline constexpr size_t kUserBlockSize = sizeof(SharedUserBlock);
inline constexpr size_t kSharedSectionSize = kUserBlockCount * kUserBlockSize;
inline constexpr size_t kBlockSidChars = 120;
inline constexpr size_t kUserSidChars = 60;  // as the common library hands it out
inline constexpr char16_t kAgentWindowMessageName[] =
    u"Halvenmoor{19bb5f47-8408-4791-b1b5-01ac5e56ac5a}";
inline constexpr char16_t kProductKey[] = u"Software\\KOLV\\Halvenmoor";

static_assert(kUserBlockSize == 39064);
static_assert(kSharedSectionSize == 390640);
static_assert(kSharedSectionSize == 0x5F5F0);

// Attach fails with this when every block is bound to another SID.
inline constexpr DWORD ERROR_NO_FREE_USER_BLOCK = 0x20000001;

// The section of this session: the plain name for the usual runtime folder;
// with $HALVENMOOR_RUNTIME_DIR set (a driver and agents of their own, as tests
// and side-by-side installations run them) a name derived from that folder,
// so that two such systems of one user never share a site table.
std::string SessionSharedSectionName();

// The block a SID owns in blocks[0..count): the first block with that SID,
// else the first unused block (which takes the SID); -1 when every block
// belongs to someone else.
int SelectUserBlock(SharedUserBlock* blocks, size_t count, std::u16string_view sid);

// The identifier a registered window message of this name gets: stable for
// the name, in the range Windows gives registered messages (0xC000..0xFFFF).
uint32_t RegisteredMessageId(std::u16string_view name);

// Reads "LogLevel" under root\Software\KOLV\Halvenmoor into the common
// library's logLevel (0xFFFFFFFF reads as 0; an unreadable key leaves it as
// it is) and sends it to the driver with IOCTL_SET_LOG_LEVEL. A driver that
// is not running is only traced. Returns the level sent.
uint32_t SetDriverLogLevel(HKEY root);

// Reads the proxy values of the user's product key into the block.
void ReadProxySettings(SharedUserBlock& block);

class AgentSharedSection {
 public:
  AgentSharedSection() = default;
  ~AgentSharedSection();
  AgentSharedSection(const AgentSharedSection&) = delete;
  AgentSharedSection& operator=(const AgentSharedSection&) = delete;

  // Creates or opens the section, maps it, selects the user's block and
  // creates the thread pool. perUserStart is the normal agent start; the
  // other start zeroes the whole section and takes the machine's log level.
  // message receives a text for the person when the attach fails.
  DWORD Attach(bool perUserStart, std::u16string* message = nullptr,
               const std::string& sectionName = kSharedSectionName);
  void Detach();

  bool Attached() const { return block_ != nullptr; }
  SharedUserBlock* UserBlock() const { return block_; }
  int BlockIndex() const { return blockIndex_; }
  ThreadPool* Pool() const { return pool_.get(); }

  // The start of the used user block that holds the given Connection slot;
  // null (and a trace) when the slot lies in none of them.
  SharedUserBlock* BlockOfConnection(const SiteRecord* slot) const;

 private:
  SharedSection section_;
  SharedUserBlock* block_ = nullptr;
  int blockIndex_ = -1;
  std::unique_ptr<ThreadPool> pool_;
};

}  // namespace hvm
