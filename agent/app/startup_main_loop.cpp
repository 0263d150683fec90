// The main thread's command loop.
#include "agent/app/startup_main_loop.h"

namespace hvm {

uint32_t AgentMainLoop::Send(const InstanceMessage& message) {
  auto pending = std::make_shared<Pending>();
  pending->message = message;
  std::unique_lock<std::mutex> lock(lock_);
  if (ended_) return 0;
  queue_.push_back(pending);
  changed_.notify_all();
  changed_.wait(lock, [&] { return pending->done || ended_; });
  return pending->done ? pending->result : 0;
}

void AgentMainLoop::Quit() {
  std::lock_guard<std::mutex> guard(lock_);
  quit_ = true;
  changed_.notify_all();
}

bool AgentMainLoop::Ended() const {
  std::lock_guard<std::mutex> guard(lock_);
  return ended_;
}

bool AgentMainLoop::HandleFront(std::unique_lock<std::mutex>& lock, const Handler& handler) {
  std::shared_ptr<Pending> pending = queue_.front();
  queue_.pop_front();
  if (pending->message.message == kMessageQuit) {
    quit_ = true;
    pending->result = 1;
    pending->done = true;
    return false;
  }
  lock.unlock();
  uint32_t result = handler ? handler(pending->message) : 0;
  lock.lock();
  pending->result = result;
  pending->done = true;
  changed_.notify_all();
  return true;
}

void AgentMainLoop::End() {
  ended_ = true;
  queue_.clear();
  changed_.notify_all();
}

void AgentMainLoop::Run(const Handler& handler) {
  std::unique_lock<std::mutex> lock(lock_);
  while (!quit_) {
    changed_.wait(lock, [this] { return quit_ || !queue_.empty(); });
    if (quit_ || !HandleFront(lock, handler)) break;
  }
  End();
}

bool AgentMainLoop::HandlePending(const Handler& handler) {
  std::unique_lock<std::mutex> lock(lock_);
  if (ended_) return false;
  while (!quit_ && !queue_.empty()) {
    if (!HandleFront(lock, handler)) break;
  }
  if (!quit_) return true;
  End();
  return false;
}

}  // namespace hvm
