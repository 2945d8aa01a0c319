#!/usr/bin/env bash
# Does the requested rate hold on a busy machine? One CPU-bound process runs
# beside the programs for the whole run while bench/transfer.py moves a file
# (64 MiB by default) each way at the client's defaults on loopback; the
# table shows the rate of the client's result line beside the requested one.
# The aim is a ratio of at least 0.97 in both directions.
#
#   bash bench/rate_busy.sh [MiB, 64] [build directory ...] [-- client options]
#
# Several build directories are measured one after the other in the same run
# (for example this tree's and one of an older revision), so their ratios can
# be compared under the same load; the default is build/. The load average
# is printed before and after. Not a test: it prints figures and fails only
# when a transfer fails.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=64
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  mib=$1
  shift
fi
builds=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  builds+=("$(realpath "$1")")
  shift
done
[ $# -gt 0 ] && shift   # the "--"
[ ${#builds[@]} -gt 0 ] || builds=(build)
for b in "${builds[@]}"; do
  [ -x "$b/WISPCli" ] && [ -x "$b/WISPSrv" ] || { echo "no WISPCli and WISPSrv in $b"; exit 1; }
done

# The busy neighbour: a shell loop that never sleeps.
sh -c 'while :; do :; done' &
hog=$!
trap 'kill "$hog" 2>/dev/null || true; wait "$hog" 2>/dev/null || true' EXIT
sleep 1   # let the scheduler see it

echo "one CPU-bound process beside the transfers (pid $hog); $(nproc) CPUs"
echo "before: $(uptime)"
rc=0
for b in "${builds[@]}"; do
  echo
  echo "== $b"
  out=$(python3 bench/transfer.py --mib "$mib" --cli "$b/WISPCli" --srv "$b/WISPSrv" -- "$@") || rc=1
  echo "$out"
  # The ratio column of the get and put rows against the aim.
  echo "$out" | awk '$1 == "get" || $1 == "put" {
    printf "%s ratio %s: %s\n", $1, $4, ($4 >= 0.97 ? "at least 0.97" : "below 0.97") }'
done
echo
echo "after: $(uptime)"
exit $rc
