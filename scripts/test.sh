#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build (build-test/) and
# one under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/), both
# with the test seams (WISP_FAULTS: failing file calls, a held worker); then
# the tests of the threads' meeting points under ThreadSanitizer (build-tsan/:
# the unit tests of the engine and the server, and the end-to-end transfers
# that keep the worker busy); then, where clang is there, each fuzz target for
# a bounded time (build-fuzz/).
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
  cmake -S . -B "$dir" -DWISP_WERROR=ON -DWISP_FAULTS=ON "${flags[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "=== $variant tests"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ctest --output-on-failure -j"$jobs")
done
# ThreadSanitizer: the engine's and the server's unit tests and the programs
# are built, and of the end-to-end tests those that keep the worker busy, so
# that the pass adds a minute or two. A death test that forks after the
# worker started and starts one of its own in the child is left out
# (ThreadSanitizer cannot follow threads across fork).
echo "=== tsan build (build-tsan)"
cmake -S . -B build-tsan -DWISP_WERROR=ON -DWISP_FAULTS=ON -DWISP_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" >/dev/null
cmake --build build-tsan -j"$jobs" --target unit unit_srv WISPSrv WISPCli
echo "=== tsan tests"
export TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 exitcode=66"
(cd build-tsan && ctest --output-on-failure -j"$jobs" -E "^(e2e_|pkg_|fuzz_|unit_cli)|MisuseStops")
(cd tests/e2e && WISP_SRV="$PWD/../../build-tsan/WISPSrv" WISP_CLI="$PWD/../../build-tsan/WISPCli" python3 -m unittest \
   test_transfer.TransferTest.test_get_and_put_of_sizes_around_the_fragment_length \
   test_transfer.TransferTest.test_255_fragments_per_update_both_ways \
   test_server.ServerTest.test_upload_outcomes \
   test_server.ServerTest.test_large_file_digest_does_not_stall_other_sessions \
   test_server.ServerTest.test_busy_and_free_slots)
unset TSAN_OPTIONS
if command -v clang++ >/dev/null 2>&1; then
  echo "=== fuzzing, 15 s per target"
  WISP_WERROR=ON bash scripts/fuzz.sh 15
else
  echo "=== fuzzing skipped: no clang++"
fi
echo "=== all tests passed in every build"
