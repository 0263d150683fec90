// A site becomes a drive: the Connection is registered with the driver, its
// drive link is pointed at the Connection's folder on the mount, and its
// request loop is started. Disconnecting undoes this in reverse and clears
// the Connection's file state. Also the agent-wide threads that serve every
// Connection: the ping thread and the housekeeping thread.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "agent/clients/remote_client.h"
#include "agent/service/channel_records.h"
#include "agent/service/connection.h"
#include "agent/service/site_record.h"
#include "platform/win32.h"

namespace hvm {

// The connection test every client answers (the volume-size query).
inline constexpr DWORD kConnectionTestCode = kControlQuota;
// The HTTP layer's secure-channel failure: the server's certificate is not trusted.
inline constexpr uint32_t kSecureChannelFailure = 12175;
inline constexpr uint32_t kHttpUnauthorized = 401;
inline constexpr uint32_t kNoUnitValue = 0xFFFFFFFF;
inline constexpr char16_t kAgentCaption[] = u"Halvenmoor";

// Results of DisconnectConnection.
inline constexpr int kDisconnectDone = 0;
inline constexpr int kDisconnectCancelled = 1;
inline constexpr int kDisconnectDriveBusy = -2;

// The agent's Connections, one per slot of the user's site table.
class ConnectionTable {
 public:
  ConnectionTable() = default;
  // Ends the housekeeping thread first when it serves this table.
  ~ConnectionTable();
  ConnectionTable(const ConnectionTable&) = delete;
  ConnectionTable& operator=(const ConnectionTable&) = delete;

  // Ties Connection i to site record i of the block.
  void Bind(SharedUserBlock* block);
  SharedUserBlock* block() const { return block_; }
  Connection& at(size_t index) { return connections_[index]; }
  size_t size() const { return connections_.size(); }
  // The index of the site with this name (compared exactly), or -1.
  int IndexOfName(std::u16string_view name) const;

 private:
  SharedUserBlock* block_ = nullptr;
  std::array<Connection, kSiteCount> connections_;
};

// The table bound last: the agent's own, which the housekeeping thread serves.
ConnectionTable* BoundConnectionTable();

// Whether the agent asks for wide pieces when it registers: yes, unless the
// environment variable HALVENMOOR_NARROW_PIECES is set (to anything but 0).
bool WidePiecesWanted();
// Whether an agent of wide pieces also asks for a shared data area: yes,
// unless HALVENMOOR_SHARED_AREA is 0.
bool SharedAreaWanted();

// The ConnectionRecord sent to register (true) or unregister (false).
void FillConnectionRecord(ConnectionRecord& record, const Connection& connection,
                          std::u16string_view sid, bool registerIt);

// IOCTL_CONNECT (register) or IOCTL_DISCONNECT (unregister). On success the
// Connection's mapped flag takes the register value and, on registering, its
// connectionHandle the driver's handle. device: an open control device, or
// INVALID_HANDLE_VALUE to open one for the call.
bool RegisterConnection(Connection& connection, bool registerIt,
                        HANDLE device = INVALID_HANDLE_VALUE);

// The client's connection test (also the refresh command): 0 when the
// server answers, else the client's code (an HTTP status, 12175 ...).
NTSTATUS RunConnectionTest(Connection& connection);

// Map: 1 when mapped, 0 when not (the person has been told why).
int MapConnection(Connection& connection, bool offline);
// Disconnect: kDisconnectDone (also when there was nothing to do),
// kDisconnectCancelled (the person aborted at an open file) or
// kDisconnectDriveBusy (the drive link could not be removed).
int DisconnectConnection(Connection& connection, bool askOpenFiles, bool keepRegistration);
// Frees the open handles and the entries (unlocking held locks through the
// client); the Connection starts again with an empty cache.
void ClearFileState(Connection& connection);

// ---- drive links: a symbolic link named by the letter in the drives folder

// The drives folder and a letter's link path: agent/app/drive_letters.h.
// <mount>/<SID>/QUENLODE/<connection name>: what a mapped drive points at.
std::string ConnectionFolder(std::u16string_view connectionName);
// True when an entry of that letter exists; target receives the link's
// target (empty for an entry that is not a symbolic link).
bool QueryDriveLink(char letter, std::string& target);
bool DefineDriveLink(char letter, const std::string& target);
// Removes the link; an entry that is not a symbolic link is never removed.
// True when nothing of that letter is left.
bool RemoveDriveLink(char letter);

// ---- agent-wide threads

// The housekeeping thread: started by the first mapping, ended by StopHousekeeping.
void StartHousekeeping(ConnectionTable& table);
void StopHousekeeping();
// A step the thread runs first in every round (the queue of busy paths).
void SetHousekeepingStep(std::function<void()> step);
// One round over the table: frees the attached sections of idle entries and
// the parked entries that nothing holds any more.
void HousekeepingRound(ConnectionTable& table);

// The ping thread: IOCTL_PING once a second for as long as it runs.
void StartPingThread();
void StopPingThread();
bool PingThreadRunning();

}  // namespace hvm
