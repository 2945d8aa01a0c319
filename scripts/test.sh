#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build (build-test/) and
# one under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/); then,
# where clang is there, each fuzz target for a bounded time (build-fuzz/).
# Every build here treats warnings as errors (-DWISP_WERROR=ON). build/ is left
# to scripts/build.sh and the demo, so neither rebuilds the other's tree.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
jobs=$(nproc)
for variant in normal asan; do
  # The normal build is optimised without debug information (it compiles
  # several times faster); the sanitizer build keeps line tables (-g1) so
  # that its reports point at source lines.
  if [ "$variant" = normal ]; then
    dir=build-test; flags=(-DWISP_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG")
  else
    dir=build-asan; flags=(-DWISP_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
  fi
  echo "=== $variant build ($dir)"
  cmake -S . -B "$dir" -DWISP_WERROR=ON "${flags[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "=== $variant tests"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ctest --output-on-failure -j"$jobs")
done
if command -v clang++ >/dev/null 2>&1; then
  echo "=== fuzzing, 15 s per target"
  WISP_WERROR=ON bash scripts/fuzz.sh 15
else
  echo "=== fuzzing skipped: no clang++"
fi
echo "=== all tests passed in both builds"
