// A broken promise of the code under test is a crash for the fuzzer, with
// the promise named.
#pragma once
#include <cstdio>
#include <cstdlib>

#define HVM_FUZZ_CHECK(condition)                                                   \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
