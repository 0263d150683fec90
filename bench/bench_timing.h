// Timing helpers the client benchmarks share.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace hvm::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// A libcurl write callback that drops what it is given.
inline size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  if (n == 0) return 0;
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace hvm::bench
