// A scripted agent for the mount tests: speaks the socket framing and the
// channel records, registers Connections, pings, and answers requests from an
// in-memory tree. Every request is logged so tests can check what the
// driver sent.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/service/channel_records.h"

namespace hvm::test {

struct LoggedRequest {
  uint8_t major = 0;
  uint8_t flags = 0;
  uint32_t words[4] = {0, 0, 0, 0};
  uint32_t fileObject = 0;
  uint32_t validLengthHigh = 0;
  uint64_t fileValue = 0;
  uint32_t requestId = 0;
  uint32_t dataLength = 0;
  uint32_t sharedSlot = 0;
  std::u16string name;  // create: the full name
  uint32_t offeredToken = 0;
  uint32_t replyToken = 0;  // create: the token answered
  std::vector<uint8_t> head;  // first bytes of the data
};

struct RemoteFile {
  bool isDirectory = false;
  std::vector<uint8_t> data;
  uint32_t token = 0;
  int uses = 0;
  bool deletePending = false;
};

class ScriptedAgent {
 public:
  ~ScriptedAgent();
  // Registers a Connection; returns the Win32 error of the call (0 on success).
  uint32_t Connect(const std::u16string& name, uint32_t usedUnits = 0, uint32_t freeUnits = 0);
  // Starts the request loop of the last Connection and the ping thread.
  void Start(bool ping = true);
  void Stop();

  void AddFile(const std::u16string& fullName, std::vector<uint8_t> data);
  void AddFolder(const std::u16string& fullName);
  // Opens of alias (and of names below it) reach fullName: one file or folder
  // under two names, as the agent's names that differ only in case are.
  void AddAlias(const std::u16string& alias, const std::u16string& fullName);
  bool Has(const std::u16string& fullName);
  std::vector<uint8_t> Contents(const std::u16string& fullName);

  std::vector<LoggedRequest> Log();
  void ClearLog();
  // Waits (bounded) until the loop ended because the driver suspended it.
  bool WaitSuspended(int seconds);
  // Waits (bounded) until a request of holdMajor is held; true when one is.
  bool WaitHeld(int seconds);

  // Behaviours.
  std::atomic<bool> pinging{true};
  std::atomic<bool> silent{false};            // take requests, never answer
  std::atomic<int> delayMs{0};                // delay before each answer
  std::atomic<uint8_t> delayOnlyMajor{0xFF};  // delay only this operation
  std::atomic<uint8_t> holdMajor{0xFF};       // hold a request of this operation until set back to 0xFF
  std::atomic<bool> pendingCleanup{false};    // answer written cleanups STATUS_PENDING
  std::atomic<uint32_t> pendingFinalStatus{0};
  std::atomic<int> pendingDelayMs{300};
  std::atomic<int64_t> cleanupDoneSentAtNs{0};
  std::atomic<uint32_t> foreignToken{0};     // answer every open with this token
  std::atomic<int> madeUpListingRounds{0};   // folders list this many full rounds of new names
  std::atomic<uint32_t> foreignTokenForNewFiles{0};  // answer only creates of new files with it

  std::atomic<bool> askWidePieces{false};    // Connect asks for wide pieces
  std::atomic<bool> askSharedArea{false};    // ... and a shared data area, which the loop maps
  std::atomic<bool> copiesRanges{false};     // copy ranges in the tree (else: not supported)

  uint32_t connectionHandle() const { return handle_; }
  // The piece size the driver agreed to at the last Connect.
  size_t pieceSize() const { return pieceSize_; }
  // The driver agreed to a shared area at the last Connect.
  bool areaAgreed() const { return areaAgreed_; }
  // The loop mapped the area it was handed.
  bool areaMapped() const { return area_ != nullptr; }

 private:
  void Loop();
  void PingLoop();
  void Handle(const RequestRecord& request, ReplyRecord& reply);
  void Create(const RequestRecord& request, ReplyRecord& reply);
  void DirectoryQuery(const RequestRecord& request, ReplyRecord& reply);
  void MadeUpListing(const RequestRecord& request, ReplyRecord& reply);
  void SendCleanupDone(uint32_t requestId, uint32_t status, int delayMs);
  // The slot a request names; nullptr when none can be (no area, bad index).
  uint8_t* SlotOf(const RequestRecord& request) const;

  std::mutex lock_;
  std::map<std::u16string, RemoteFile> tree_;
  std::map<std::u16string, std::u16string> aliases_;
  std::map<uint32_t, std::u16string> handles_;  // FileObject -> full name
  std::map<uint32_t, bool> written_;
  std::map<uint32_t, size_t> listPosition_;
  std::vector<LoggedRequest> log_;
  uint32_t handle_ = 0;
  size_t pieceSize_ = kMaxChunk;
  bool areaAgreed_ = false;
  std::atomic<uint8_t*> area_{nullptr};
  std::thread loop_, ping_;
  std::vector<std::thread> helpers_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> suspended_{false};
  std::atomic<bool> held_{false};
  void* device_ = nullptr;
};

std::u16string U(const std::string& text);
std::u16string SelfSid();

}  // namespace hvm::test
