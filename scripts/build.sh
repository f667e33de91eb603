#!/usr/bin/env bash
# Configures and builds into build/; the program and its tools land in build/bin/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_BENCH=ON >/dev/null
cmake --build build -j "$(nproc)"
