#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each for a
# bounded time: the server's and the client's receive handlers, the
# command-line tokenizer, MkIP, and the secure mode's door (the handshake's
# responder, the opening of sealed telegrams).
#
#   bash scripts/fuzz.sh [seconds per target, default 15] [target ...]
#
# Fuzzing starts from the committed seed corpus (tests/fuzz/corpus/<target>)
# and the kept findings (tests/fuzz/regress/<target>); what it learns is kept
# in build-fuzz/corpus/<target> for the next run. A crash, hang, leak or
# sanitizer report stops the script with a non-zero exit code and leaves the
# input in build-fuzz/artifacts/<target>/: fix the fault and keep the input as
# tests/fuzz/regress/<target>/<name>, where every build replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-15}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(server client args mkip handshake sealed)
root=$PWD
cxx=${WISP_FUZZ_CXX:-clang++}
command -v "$cxx" >/dev/null || { echo "fuzz: $cxx not found"; exit 1; }
# WISP_WERROR=ON in the environment (scripts/test.sh sets it) makes warnings
# errors; it is passed every time, so that the cache does not keep it.
CXX=$cxx cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWISP_FUZZ=ON -DWISP_TESTS=OFF \
  -DWISP_WERROR="${WISP_WERROR:-OFF}" >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")
# Each target is one process on one core: they run as many at a time as there
# are cores, so the bounded fuzzing of the test pass takes its seconds once per
# pair of targets on a 2-core machine, not once per target.
fuzz_one() {
  local t=$1
  mkdir -p "build-fuzz/corpus/$t" "build-fuzz/artifacts/$t"
  local seeds=("$root/tests/fuzz/corpus/$t")
  [ -d "$root/tests/fuzz/regress/$t" ] && seeds+=("$root/tests/fuzz/regress/$t")
  local log="build-fuzz/fuzz_$t.log"
  # -close_fd_mask=1: the programs' console lines go nowhere; reports stay on stderr.
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     timeout -k 10 $((secs + 120)) "build-fuzz/tests/fuzz/fuzz_$t" -max_total_time="$secs" -timeout=10 \
       -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
       -artifact_prefix="$root/build-fuzz/artifacts/$t/" \
       "$root/build-fuzz/corpus/$t" "${seeds[@]}" >"$log" 2>&1; then
    echo "fuzz $t: ok, $(grep -E 'DONE' "$log" | tail -1 | tr '\t' ' ')"
  else
    echo "fuzz $t: FAILED, see $log; inputs in build-fuzz/artifacts/$t/:"
    ls "build-fuzz/artifacts/$t/" || true
    grep -E "ERROR|SUMMARY|invariant|deadly|timeout" "$log" | head -20 || true
    return 1
  fi
}
status=0
par=$(nproc)
pids=()
for t in "${targets[@]}"; do
  fuzz_one "$t" > "build-fuzz/fuzz_$t.out" &
  pids+=("$!:$t")
  if [ ${#pids[@]} -ge "$par" ]; then
    entry=${pids[0]}; pids=("${pids[@]:1}")
    wait "${entry%%:*}" || status=1
    cat "build-fuzz/fuzz_${entry#*:}.out"
  fi
done
for entry in "${pids[@]}"; do
  wait "${entry%%:*}" || status=1
  cat "build-fuzz/fuzz_${entry#*:}.out"
done
exit $status
