// The shell notification queue: the request service, the clients and the
// refresh logic queue the paths that changed on the server; one consumer
// thread hands each to the driver, which makes the kernel forget what it
// cached of that path, so that the next look shows the server's state.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "agent/service/connection.h"
#include "platform/win32.h"

namespace hvm {

struct ShellNotice {
  uint16_t event = 0;
  std::u16string drivePath;   // "X:\docs\a.txt", for the trace
  std::u16string connection;  // the connection name
  std::u16string path;        // below the connection: "\docs\a.txt", "\" for the root
};

class ShellNotifyQueue {
 public:
  ShellNotifyQueue() = default;
  ~ShellNotifyQueue();
  ShellNotifyQueue(const ShellNotifyQueue&) = delete;
  ShellNotifyQueue& operator=(const ShellNotifyQueue&) = delete;

  // Queues the change of a cache path ("\QUENLODE\<connection>\..."). Names
  // beginning with "~" (an editor's temporary file) are not queued. False
  // when nothing was queued.
  bool Queue(const Connection& connection, std::u16string_view cachePath, uint16_t event);
  // Takes the oldest notice; false when the queue is empty.
  bool Take(ShellNotice& notice);
  size_t size() const;

  // The consumer thread: sends every notice to the driver.
  void StartConsumer();
  void StopConsumer();

 private:
  void Consume();

  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::deque<ShellNotice> notices_;
  std::thread consumer_;
  bool stopping_ = false;
};

// The invalidation notice for the driver (IOCTL_INVALIDATE_PATH). False when
// the driver could not be told. device: an open control device, or
// INVALID_HANDLE_VALUE to open one for the call.
bool SendInvalidation(const ShellNotice& notice, HANDLE device = INVALID_HANDLE_VALUE);

// The agent's queue.
ShellNotifyQueue& AgentShellNotifyQueue();
// QueueShellNotify(site, entry, event) of the producers.
void QueueShellNotify(const Connection& connection, const FileEntry& entry, uint16_t event);

}  // namespace hvm
