#!/usr/bin/env bash
# WISP at full speed beside atftp: a file (256 MiB by default) fetched twice
# and sent once by WISP at -f 255 -u 1 on both sides (the server started with
# -f 255), then fetched by atftp with 1428-byte blocks and windows of 16 and
# 64 (atftpd unpacked from its Debian package, not installed), all on the
# loopback of a network namespace of its own, so other traffic on the
# machine's loopback stays out of it. Prints per run the wall-clock rate of
# the client process (start to verified end, both digests included for
# WISP), the rate of WISP's result line beside the requested one, and the
# CPU seconds of client and server per GiB moved; then WISP's ratios to the
# best atftp variant and of its put to its gets. A get with the adaptive rate
# (-c) follows the second get, and after the put the server is started again
# at its defaults for a get without options and one with -c: the result
# lines' rates of those pairs show what -c costs where the path is clean.
# Every file is compared byte for byte afterwards.
#
# With x given as "-x", both programs run with the extended exchange in
# every WISP run, and two figures follow: the first get's and the put's
# wall-clock rates as shares of the second get's, and the time from the
# client's start to its first data request for a sparse file of 4 GiB the
# server has not hashed (from the client's log with -d). WISP_BENCH_WISP_ONLY=1
# leaves out atftp and the pair at the server's defaults (for large files).
# With -x the server's reads follow (bytes read through calls and bytes the
# disk delivered, per GiB moved) for the first get and for one more get of
# the file after its pages were dropped from the page cache and the server
# restarted (no kept digest): the worker reads a file being sent a second
# time for its digest.
#
#   sudo bash bench/speed.sh [MiB, 256] [build directory, build] [fpu, 255] [x, none]
#
# Needs root (network namespace, packages). Not a test: it prints figures
# and fails only when a transfer fails.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-256}
build=${2:-build}
fpu=${3:-255}
xo=${4:-}
[ -z "$xo" ] || [ "$xo" = "-x" ] || { echo "the fourth parameter is -x or nothing"; exit 1; }
only=${WISP_BENCH_WISP_ONLY:-}
[ "$(id -u)" -eq 0 ] || { echo "run as root (network namespace)"; exit 1; }
cli=$(realpath "$build/WISPCli")
srv=$(realpath "$build/WISPSrv")
[ -x "$cli" ] && [ -x "$srv" ] || { echo "no WISPCli and WISPSrv in $build"; exit 1; }

work=$(mktemp -d /tmp/wisp-speed-XXXXXX)
ns=wisp-speed-$$
spid=""
apid=""
cleanup() {
  if [ -n "$spid" ]; then kill "$spid" 2>/dev/null || true; wait "$spid" 2>/dev/null || true; fi
  if [ -n "$apid" ]; then kill "$apid" 2>/dev/null || true; wait "$apid" 2>/dev/null || true; fi
  ip netns del "$ns" 2>/dev/null || true
  if [ -n "${WISP_BENCH_KEEP:-}" ]; then echo "logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# atftp (client) from its package; atftpd only unpacked (bench/tools.sh).
need=()
command -v atftp >/dev/null || need+=(atftp)
ldconfig -p | grep -q libwrap.so.0 || need+=(libwrap0)
# shellcheck source=bench/tools.sh
. bench/tools.sh
install_pkgs "${need[@]}"
unpack_atftpd "$work"

ip netns add "$ns"
ip netns exec "$ns" ip link set lo up

sdir=$work/srv
cdir=$work/cli
mkdir -p "$sdir" "$cdir"
head -c $((mib * 1048576)) /dev/urandom >"$sdir/down.bin"
head -c $((mib * 1048576)) /dev/urandom >"$cdir/up.bin"
size=$((mib * 1048576))
sync   # the new files' write-back must not fall into the runs

# CPU seconds (user + system) of a running process.
tck=$(getconf CLK_TCK)
cpu_of() { awk -v t="$tck" '{ sub(/.*\) /, ""); print ($12 + $13) / t }' "/proc/$1/stat"; }
# Bytes read through calls and bytes the storage delivered, of a process.
io_of() { awk '/^rchar:/ { r = $2 } /^read_bytes:/ { b = $2 } END { print r, b }' "/proc/$1/io"; }

start_srv() {   # start_srv OPTIONS
  rm -f "$sdir/WISPSrv.log"
  # shellcheck disable=SC2086  # the options are words
  (cd "$sdir" && exec ip netns exec "$ns" "$srv" -a 127.0.0.1 -p 6670 $1 $xo </dev/null >/dev/null 2>&1) &
  spid=$!
  for _ in $(seq 100); do
    grep -qs "InitSock Listening" "$sdir/WISPSrv.log" && break
    sleep 0.05
  done
}
stop_srv() {
  kill "$spid" 2>/dev/null || true
  wait "$spid" 2>/dev/null || true
  spid=""
}
start_srv "-f $fpu"

echo "WISP ${mib} MiB at -f $fpu -u 1 $xo on both sides, loopback of network namespace $ns; $(nproc) CPUs"
echo "before: $(uptime)"
printf "%-30s %7s %8s %12s %11s %6s %11s %11s\n" run "wall s" "MiB/s" "result MB/s" "asked MB/s" ratio "cli CPU/GiB" "srv CPU/GiB"
rc=0
run() {   # run LABEL MODE NAME KEY [CLIENT OPTIONS, -f fpu -u 1]
  local label=$1 mode=$2 name=$3 opts=${5-"-f $fpu -u 1"} s0 s1 out t
  [ "$mode" = get ] && rm -f "$cdir/$name"
  [ "$mode" = put ] && rm -f "$sdir/$name"
  s0=$(cpu_of "$spid")
  local i0 i1
  i0=$(io_of "$spid")
  # shellcheck disable=SC2086  # the options are words
  out=$(cd "$cdir" && ip netns exec "$ns" /usr/bin/time -f "TIME %e %U %S" \
        "$cli" -p 6670 $opts $xo "$mode" "$name" </dev/null 2>&1 | tr '\r' '\n') || true
  s1=$(cpu_of "$spid")
  i1=$(io_of "$spid")
  io[$4]="$i0 $i1"
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
    printf "%-30s %7.2f %8.2f %12.3f %11.3f %6.3f %11.2f %11.2f\n", l, wall, m / wall, r, a, r / a, ccpu / gib, scpu / gib }'
  wall[$4]=$(awk '{ print $2 }' <<<"$t")
  rate[$4]=$res
}
declare -A wall rate io
run "WISP get (first)" get down.bin get1
cmp -s "$sdir/down.bin" "$cdir/down.bin" || { echo "get: files differ"; rc=1; }
run "WISP get (second, same file)" get down.bin get2
cmp -s "$sdir/down.bin" "$cdir/down.bin" || { echo "get: files differ"; rc=1; }
run "WISP get -c (same file)" get down.bin getc "-c -f $fpu -u 1"
cmp -s "$sdir/down.bin" "$cdir/down.bin" || { echo "get -c: files differ"; rc=1; }
run "WISP put" put up.bin put1
# The server commits the upload once it has checked it.
for _ in $(seq 100); do
  [ -f "$sdir/up.bin" ] && [ "$(stat -c %s "$sdir/up.bin")" -eq "$size" ] && break
  sleep 0.05
done
cmp -s "$cdir/up.bin" "$sdir/up.bin" || { echo "put: files differ"; rc=1; }
if [ -n "${wall[get1]:-}" ] && [ -n "${wall[get2]:-}" ] && [ -n "${wall[put1]:-}" ]; then
  awk -v g1="${wall[get1]}" -v g2="${wall[get2]}" -v p="${wall[put1]}" 'BEGIN {
    printf "WISP shares of the second get (wall-clock rates): first get %.3f, put %.3f\n", g2 / g1, g2 / p }'
fi
# The server's reads per GiB moved: through calls, and from the storage.
show_io() {   # show_io LABEL KEY
  [ -n "${io[$2]:-}" ] || return 0
  awk -v l="$1" -v m="$mib" -v x="${io[$2]}" 'BEGIN { split(x, v, " "); gib = m * 1048576
    printf "%-30s server read %.2f GiB per GiB, %.2f of it from the storage\n", l, (v[3] - v[1]) / gib, (v[4] - v[2]) / gib }'
}
if [ -n "$xo" ]; then
  show_io "WISP get (first)" get1
  stop_srv
  # The file's pages dropped: both reads of the server (sender and worker)
  # find it on the storage only.
  dd if="$sdir/down.bin" iflag=nocache count=0 status=none
  start_srv "-f $fpu"
  run "WISP get (not cached)" get down.bin cold
  cmp -s "$sdir/down.bin" "$cdir/down.bin" || { echo "get (not cached): files differ"; rc=1; }
  show_io "WISP get (not cached)" cold
  # A sparse file of 4 GiB, not hashed before: the client's start (its
  # first log line) to its first data request (the receiver's first trace).
  truncate -s 4G "$sdir/fresh.bin"
  rm -f "$cdir/fresh.bin" "$cdir/WISPCli.log"
  (cd "$cdir" && ip netns exec "$ns" timeout 3 "$cli" -p 6670 -f "$fpu" -u 1 -d $xo get fresh.bin \
     </dev/null >/dev/null 2>&1) || true
  awk 'function ms(t) { return (substr(t, 1, 2) * 3600 + substr(t, 3, 2) * 60 + substr(t, 5)) * 1000 }
    /Rcvrs .*Update rcv/ && d == "" { d = $2 } /Client .* RdRq / && q == "" { q = $2 } NR == 1 { s = $2 } END {
    if (d == "" || q == "") { print "start to first data request: none"; exit }
    printf "start to first data request, 4 GiB not hashed: %.0f ms (start-up to the read request %.0f ms, " \
      "then %.0f ms)\n", ms(d) - ms(s), ms(q) - ms(s), ms(d) - ms(q) }' "$cdir/WISPCli.log"
  rm -f "$sdir/fresh.bin" "$cdir/fresh.bin"
fi
stop_srv
if [ -z "$only" ]; then
  start_srv ""
  run "WISP get, defaults" get down.bin def ""
  cmp -s "$sdir/down.bin" "$cdir/down.bin" || { echo "get at the defaults: files differ"; rc=1; }
  run "WISP get -c, server at defaults" get down.bin defc "-c"
  cmp -s "$sdir/down.bin" "$cdir/down.bin" || { echo "get -c at the defaults: files differ"; rc=1; }
  stop_srv
fi

[ -z "$only" ] || { echo "after:  $(uptime)"; exit $rc; }
# atftp against atftpd, same file, same namespace.
chmod 755 "$sdir"
chmod 644 "$sdir/down.bin"
ip netns exec "$ns" "$atftpd" --daemon --no-fork --port 6970 --bind-address 127.0.0.1 --user root.root \
  --logfile /dev/null "$sdir" &
apid=$!
sleep 1
best=""
for w in 16 64; do
  rm -f "$cdir/a.bin"
  a0=$(cpu_of "$apid")
  t=$(cd "$cdir" && ip netns exec "$ns" /usr/bin/time -f "TIME %e %U %S" atftp --option "blksize 1428" \
      --option "windowsize $w" -g -r down.bin -l a.bin 127.0.0.1 6970 2>&1 | grep "^TIME " | tail -1) || true
  a1=$(cpu_of "$apid")
  if [ -z "$t" ] || ! cmp -s "$sdir/down.bin" "$cdir/a.bin"; then
    echo "atftp windowsize $w failed"
    rc=1
    continue
  fi
  awk -v l="atftp get, windowsize $w" -v m="$mib" -v t="$t" -v s0="$a0" -v s1="$a1" 'BEGIN {
    split(t, x, " "); wall = x[2]; gib = m / 1024
    printf "%-30s %7.2f %8.2f %12s %11s %6s %11.2f %11.2f\n", l, wall, m / wall, "-", "-", "-", (x[3] + x[4]) / gib, (s1 - s0) / gib }'
  w_t=$(awk '{ print $2 }' <<<"$t")
  if [ -z "$best" ] || awk -v a="$w_t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$w_t; fi
done
if [ -n "$best" ] && [ -n "${wall[get1]:-}" ] && [ -n "${wall[get2]:-}" ] && [ -n "${wall[put1]:-}" ]; then
  awk -v b="$best" -v g1="${wall[get1]}" -v g2="${wall[get2]}" -v p="${wall[put1]}" 'BEGIN {
    printf "WISP / best atftp (wall-clock rates): first get %.2f, second get %.2f\n", b / g1, b / g2
    printf "WISP put / get (wall-clock rates): to the first get %.2f, to the second %.2f\n", g1 / p, g2 / p }'
fi
if [ -n "${rate[get2]:-}" ] && [ -n "${rate[getc]:-}" ] && [ -n "${rate[def]:-}" ] && [ -n "${rate[defc]:-}" ]; then
  awk -v f="$fpu" -v g="${rate[get2]}" -v c="${rate[getc]}" -v d="${rate[def]}" -v dc="${rate[defc]}" 'BEGIN {
    printf "WISP -c / without (result lines): at -f %s %.3f, at the defaults %.3f\n", f, c / g, dc / d }'
fi
echo "after:  $(uptime)"
exit $rc
