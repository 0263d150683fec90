#!/usr/bin/env bash
# Sets everything up and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
if [ -x scripts/demo.sh ]; then
  exec scripts/demo.sh
fi
echo "Built. Programs are in build/bin, libraries in build/lib."
