#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build (build/) and one
# under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/); then,
# where clang is there, each fuzz target for a bounded time (build-fuzz/).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
jobs=$(nproc)
for variant in normal asan; do
  if [ "$variant" = normal ]; then dir=build; flags=(-DWISP_SANITIZE=OFF); else dir=build-asan; flags=(-DWISP_SANITIZE=ON); fi
  echo "=== $variant build ($dir)"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "=== $variant tests"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ctest --output-on-failure -j"$jobs")
done
if command -v clang++ >/dev/null 2>&1; then
  echo "=== fuzzing, 15 s per target"
  bash scripts/fuzz.sh 15
else
  echo "=== fuzzing skipped: no clang++"
fi
echo "=== all tests passed in both builds"
