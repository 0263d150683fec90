#!/usr/bin/env bash
# The test command: installs what is missing, builds the normal and the
# sanitizer build, runs every test in the first and the unit and end-to-end
# tests in the second (a memory fault in the root daemon under real traffic
# ends it, and the test with it);
# builds the Release build (the benchmarks' build) and the fuzz targets, and
# gives each fuzz target a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# The FUSE and end-to-end tests need /dev/fuse; load the module when it is missing.
if [ ! -e /dev/fuse ]; then
  modprobe fuse 2>/dev/null || echo "note: /dev/fuse is missing; the FUSE tests are skipped"
fi

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DHVM_SANITIZE=ON
cmake --build build-asan -j"$jobs"
# Release must build too, tests included (warnings are errors there as well,
# and the optimiser warns about other things); the benchmarks use it.
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
cmake --build build-release -j"$jobs"
# The fuzz targets need clang and a build folder of their own.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHVM_FUZZ=ON
cmake --build build-fuzz -j"$jobs" --target hvm_fuzzers

status=0
echo "== tests (normal build)"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600) || status=1
echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" -L unit --timeout 600) || status=1
echo "== end-to-end tests with the driver and the agent built under the sanitizers"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" -R e2e --timeout 900) || status=1
echo "== fuzz targets: the seed corpora and a few seconds of mutation each"
(cd build-fuzz && ctest --output-on-failure -L fuzz --timeout 600) || status=1
exit $status
