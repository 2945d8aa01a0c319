#!/usr/bin/env bash
# WISP at full speed: a file (256 MiB by default) fetched twice and sent once
# at -f 255 -u 1 on both sides (the server started with -f 255), on the
# loopback of a network namespace of its own, so other traffic on the
# machine's loopback stays out of it. Prints per run the wall-clock rate of
# the client process (start to verified end, both digests included), the
# rate of the client's result line beside the requested one, and the CPU
# seconds of client and server per GiB moved. Every file is compared byte
# for byte afterwards.
#
#   sudo bash bench/speed.sh [MiB, 256] [build directory, build] [fpu, 255]
#
# Needs root (network namespace). Not a test: it prints figures and fails
# only when a transfer fails.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-256}
build=${2:-build}
fpu=${3:-255}
[ "$(id -u)" -eq 0 ] || { echo "run as root (network namespace)"; exit 1; }
cli=$(realpath "$build/WISPCli")
srv=$(realpath "$build/WISPSrv")
[ -x "$cli" ] && [ -x "$srv" ] || { echo "no WISPCli and WISPSrv in $build"; exit 1; }

work=$(mktemp -d /tmp/wisp-speed-XXXXXX)
ns=wisp-speed-$$
spid=""
cleanup() {
  if [ -n "$spid" ]; then kill "$spid" 2>/dev/null || true; wait "$spid" 2>/dev/null || true; fi
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up

sdir=$work/srv
cdir=$work/cli
mkdir -p "$sdir" "$cdir"
head -c $((mib * 1048576)) /dev/urandom >"$sdir/down.bin"
head -c $((mib * 1048576)) /dev/urandom >"$cdir/up.bin"
size=$((mib * 1048576))

# CPU seconds (user + system) of a running process.
tck=$(getconf CLK_TCK)
cpu_of() { awk -v t="$tck" '{ sub(/.*\) /, ""); print ($12 + $13) / t }' "/proc/$1/stat"; }

(cd "$sdir" && exec ip netns exec "$ns" "$srv" -a 127.0.0.1 -p 6670 -f "$fpu" </dev/null >/dev/null 2>&1) &
spid=$!
for _ in $(seq 100); do
  grep -qs "InitSock Listening" "$sdir/WISPSrv.log" && break
  sleep 0.05
done

echo "WISP ${mib} MiB at -f $fpu -u 1 on both sides, loopback of network namespace $ns; $(nproc) CPUs"
echo "before: $(uptime)"
printf "%-22s %7s %8s %12s %11s %6s %11s %11s\n" run "wall s" "MiB/s" "result MB/s" "asked MB/s" ratio "cli CPU/GiB" "srv CPU/GiB"
rc=0
run() {   # run LABEL MODE NAME
  local label=$1 mode=$2 name=$3 s0 s1 out t
  [ "$mode" = get ] && rm -f "$cdir/$name"
  [ "$mode" = put ] && rm -f "$sdir/$name"
  s0=$(cpu_of "$spid")
  out=$(cd "$cdir" && ip netns exec "$ns" /usr/bin/time -f "TIME %e %U %S" \
        "$cli" -p 6670 -f "$fpu" -u 1 "$mode" "$name" </dev/null 2>&1 | tr '\r' '\n') || true
  s1=$(cpu_of "$spid")
  local res ask
  res=$(grep -o "Transmission successful\. $size B, [0-9]* ms, [0-9.]* MB/s" <<<"$out" | awk '{print $7}')
  ask=$(grep -o "Requesting [0-9.]* MB/s" <<<"$out" | awk '{print $2}')
  t=$(grep "^TIME " <<<"$out" | tail -1)
  if [ -z "$res" ] || [ -z "$t" ]; then
    echo "$label failed:"
    echo "$out" | grep -v '^[0-9]*/[0-9]*$' | tail -5
    rc=1
    return
  fi
  awk -v l="$label" -v m="$mib" -v r="$res" -v a="$ask" -v t="$t" -v s0="$s0" -v s1="$s1" 'BEGIN {
    split(t, x, " "); wall = x[2]; ccpu = x[3] + x[4]; scpu = s1 - s0; gib = m / 1024
    printf "%-22s %7.2f %8.2f %12.3f %11.3f %6.3f %11.2f %11.2f\n", l, wall, m / wall, r, a, r / a, ccpu / gib, scpu / gib }'
}
run "get (first)" get down.bin
cmp -s "$sdir/down.bin" "$cdir/down.bin" || { echo "get: files differ"; rc=1; }
run "get (second, same)" get down.bin
cmp -s "$sdir/down.bin" "$cdir/down.bin" || { echo "get: files differ"; rc=1; }
run "put" put up.bin
# The server commits the upload once it has checked it.
for _ in $(seq 100); do
  [ -f "$sdir/up.bin" ] && [ "$(stat -c %s "$sdir/up.bin")" -eq "$size" ] && break
  sleep 0.05
done
cmp -s "$cdir/up.bin" "$sdir/up.bin" || { echo "put: files differ"; rc=1; }
echo "after:  $(uptime)"
exit $rc
