// The agent's main thread after start-up: it carries out the commands that
// arrive from other threads (the instance socket, the signal watcher) one at
// a time, as a main window's message loop does, until it is told to quit.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "agent/app/instance_channel.h"

namespace hvm {

class AgentMainLoop {
 public:
  using Handler = std::function<uint32_t(const InstanceMessage&)>;

  // Hands a message to the main thread and waits until it was handled; its
  // result, or 0 when the loop has ended or ends meanwhile.
  uint32_t Send(const InstanceMessage& message);
  // Asks the loop to end (safe from any thread; not from a signal handler).
  void Quit();
  // Handles messages on the calling thread until Quit or a kMessageQuit.
  void Run(const Handler& handler);
  // Handles the messages waiting now without blocking, for a caller that runs
  // an event loop of its own; false once the loop has ended (it ends then).
  bool HandlePending(const Handler& handler);
  bool Ended() const;

 private:
  struct Pending {
    InstanceMessage message;
    uint32_t result = 0;
    bool done = false;
  };

  // Handles the front message with the lock held on entry and exit; false for kMessageQuit.
  bool HandleFront(std::unique_lock<std::mutex>& lock, const Handler& handler);
  void End();

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Pending>> queue_;
  bool quit_ = false;
  bool ended_ = false;
};

}  // namespace hvm
