// Starting a thread can fail when the system's limits on threads, processes
// or memory are reached; std::thread then throws. A daemon answers that like
// any other resource it cannot have, instead of ending.
#pragma once
#include <system_error>
#include <thread>
#include <utility>

namespace hvm {

// Starts thread with the given function and arguments; false when the
// system has no thread to give (thread is then left as it was).
template <typename... Args>
bool StartThread(std::thread& thread, Args&&... args) {
  try {
    thread = std::thread(std::forward<Args>(args)...);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace hvm
