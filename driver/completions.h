// Work gathered while the driver lock is held and run after it is released:
// answers to the agent's socket and replies to the kernel never happen under
// the lock.
#pragma once
#include <functional>
#include <utility>
#include <vector>

namespace hvm::driver {

class Completions {
 public:
  Completions() = default;
  Completions(const Completions&) = delete;
  Completions& operator=(const Completions&) = delete;
  ~Completions() { Run(); }

  void Add(std::function<void()> work) { items_.push_back(std::move(work)); }
  // Appends what other holds, to run after this one's own work.
  void Take(Completions& other) {
    for (auto& work : other.items_) items_.push_back(std::move(work));
    other.items_.clear();
  }
  void Run() {
    while (!items_.empty()) {
      std::vector<std::function<void()>> batch;
      batch.swap(items_);
      for (auto& work : batch) work();
    }
  }

 private:
  std::vector<std::function<void()>> items_;
};

}  // namespace hvm::driver
