// The offline commands of the folder menu, as the driver forwards them
// (query, offline available, ... with subfolders, synchronise, delete
// cache), and synchronising a whole site when it connects or disconnects.
#pragma once
#include <cstdint>

#include "agent/service/channel_records.h"
#include "agent/service/connection.h"

namespace hvm {

inline constexpr uint32_t kOfflineQuery = 0x142100;
inline constexpr uint32_t kOfflineAvailable = 0x142104;
inline constexpr uint32_t kOfflineAvailableTree = 0x142108;
inline constexpr uint32_t kOfflineSynchronize = 0x14210C;
inline constexpr uint32_t kOfflineDeleteCache = 0x142110;

// Menu states in the first character of the answer text.
inline constexpr uint16_t kMenuNotOffline = 0;
inline constexpr uint16_t kMenuOffline = 1;
inline constexpr uint16_t kMenuOfflineTree = 2;
inline constexpr uint16_t kMenuNotPossible = 8;

// The hook of ConnectionHooks::offlineCommand: the result word (0, or the
// synchronisation's result, or an NTSTATUS); the menu state is in the
// answer's text.
uint32_t OfflineCommand(uint32_t code, Connection& connection, FileEntry* entry, ReplyArea& reply,
                        const InternalRequest& request, InternalRequest& answer);
// Every folder of the site's journal with the site online, with progress;
// 0 when there is nothing to do. Takes the Connection's request lock.
int SynchronizeSite(Connection& connection);
// Hooks the offline commands into a Connection.
void InstallOfflineHooks(Connection& connection);

}  // namespace hvm
