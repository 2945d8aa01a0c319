#!/usr/bin/env bash
# Builds both programs into build/ (release with debug info), the tree the
# demo and the benchmarks use; scripts/test.sh builds in trees of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
