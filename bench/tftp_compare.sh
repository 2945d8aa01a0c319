#!/usr/bin/env bash
# WISP side by side with TFTP: one file fetched on loopback with WISP at its
# defaults and with TFTP from Debian's packages, then a smaller file with 1 %
# random loss on every UDP datagram, in a network namespace of its own with a
# kernel drop rule. Prints MiB/s for each and WISP's ratio to each.
#
#   bash bench/tftp_compare.sh [MiB on loopback, 64] [MiB under loss, 8] [time limit per run in s, 120]
#   (WISP_BENCH_PARTS="loss" or "loopback" runs one half only)
#
# TFTP variants: tftpd-hpa as the server with its own tftp client (512-byte
# blocks) and curl --tftp-blksize 1428; atftpd (it supports windowsize; it
# conflicts with tftpd-hpa as a package, so it is unpacked with dpkg-deb -x)
# with atftp --option "blksize 1428", with and without --option "windowsize 16".
# Every run is bounded by the time limit; a run that does not finish is
# reported with the bytes it got so far. Every finished file is compared
# byte for byte. Needs root (packages, network namespace). Not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
big=${1:-64}
small=${2:-8}
limit=${3:-120}
[ "$(id -u)" -eq 0 ] || { echo "run as root (packages, network namespace)"; exit 1; }

work=$(mktemp -d /tmp/wisp-bench-XXXXXX)
chmod 755 "$work"
pids=()
ns=""
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -n "$ns" ] && ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# ---- tools -------------------------------------------------------------------
need=()
command -v in.tftpd >/dev/null || need+=(tftpd-hpa)
command -v tftp >/dev/null || need+=(tftp-hpa)
command -v atftp >/dev/null || need+=(atftp)
command -v curl >/dev/null || need+=(curl)
command -v nft >/dev/null || need+=(nftables)
# shellcheck source=bench/tools.sh
. bench/tools.sh
install_pkgs "${need[@]}"
unpack_atftpd "$work"

bash scripts/build.sh >/dev/null
cli=$root/build/WISPCli
srv=$root/build/WISPSrv

# ---- runs --------------------------------------------------------------------
sdir=$work/srv
cdir=$work/cli
mkdir -p "$sdir" "$cdir"
chmod 755 "$sdir"
head -c $((big * 1048576)) /dev/urandom >"$sdir/big.bin"
head -c $((small * 1048576)) /dev/urandom >"$sdir/small.bin"
chmod 644 "$sdir"/*.bin

# start_servers PREFIX...: WISPSrv on 6670, in.tftpd on 6969, atftpd on 6970,
# on 127.0.0.1, run through PREFIX (empty, or ip netns exec NS).
start_servers() {
  mkfifo "$work/keys$#"
  (cd "$sdir" && exec "$@" "$srv" -a 127.0.0.1 -p 6670 <"$work/keys$#" >/dev/null 2>&1) &
  pids+=($!)
  exec 3>"$work/keys$#"
  # in.tftpd cannot resolve 127.0.0.1 in a namespace that has no other
  # address; there it binds the namespace's any-address, which is its
  # loopback alone.
  local tftpa=127.0.0.1:6969
  [ $# -gt 0 ] && tftpa=:6969
  "$@" in.tftpd -L -a "$tftpa" -s "$sdir" &
  pids+=($!)
  "$@" "$atftpd" --daemon --no-fork --port 6970 --bind-address 127.0.0.1 --user root.root \
    --logfile /dev/null "$sdir" &
  pids+=($!)
  sleep 1
}

stop_servers() {
  printf q >&3 || true
  exec 3>&-
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
  rm -f "$work"/keys*
}

# run NAME FILE PREFIX... -- CLIENT COMMAND (writes $cdir/out.bin)
# Sets rate (MiB/s, 3 decimals) and note.
run() {
  local name=$1 file=$2
  shift 2
  local pre=()
  while [ "$1" != "--" ]; do pre+=("$1"); shift; done
  shift
  rm -f "$cdir/out.bin" "$cdir/$file"
  local t0 t1 rc=0
  t0=$(date +%s.%N)
  (cd "$cdir" && timeout -k 5 "$limit" "${pre[@]}" "$@" </dev/null >"$work/run.out" 2>&1) || rc=$?
  t1=$(date +%s.%N)
  local out=$cdir/out.bin
  [ -e "$cdir/$file" ] && out=$cdir/$file   # WISP stores under the name it fetched
  local got=0
  [ -e "$out" ] && got=$(stat -c %s "$out")
  local size
  size=$(stat -c %s "$sdir/$file")
  rate=$(awk -v b="$got" -v a="$t0" -v z="$t1" 'BEGIN { printf "%.3f", b / 1048576 / (z - a) }')
  if [ $rc -eq 0 ] && [ "$got" -eq "$size" ] && cmp -s "$out" "$sdir/$file"; then
    note="ok"
  elif [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    note="stopped at the ${limit} s limit, $((got / 1024)) KiB of $((size / 1024)) KiB"
  else
    note="gave up (exit $rc: $(tail -1 "$work/run.out" | tr -d '\r' | cut -c1-60)), $((got / 1024)) KiB of $((size / 1024)) KiB"
  fi
  local own=""
  own=$(grep -o "[0-9.]* MB/s\." "$work/run.out" | tail -1 || true)
  [ -n "$own" ] && note="$note; WISP's own line: $own"
  printf '%s\t%s\t%s\n' "$name" "$rate" "$note" >>"$work/results"
}

# table TITLE: prints the runs collected since the last table.
table() {
  local wisp
  wisp=$(awk -F'\t' '$1 ~ /^WISP/ { print $2; exit }' "$work/results")
  echo
  echo "$1"
  printf '| %-44s | %9s | %10s | %s\n' "run" "MiB/s" "WISP / it" "result"
  printf '|%s|%s|%s|%s\n' "----------------------------------------------" "-----------" "------------" "------"
  while IFS=$'\t' read -r name rate note; do
    # A run stopped at the limit had got no further than its rate so far:
    # WISP's ratio to it is at least the one shown. One that gave up has none.
    ratio=$(awk -v w="$wisp" -v r="$rate" -v n="$note" 'BEGIN {
      if (n ~ /^gave up/ || r <= 0) print "n/a";
      else if (n ~ /^stopped/) printf ">= %.0f", w / r;
      else printf "%.2f", w / r }')
    printf '| %-44s | %9s | %10s | %s\n' "$name" "$rate" "$ratio" "$note"
  done <"$work/results"
  rm -f "$work/results"
}

variants() {
  local f=$1
  shift
  run "WISP get (defaults: dtu 1 ms, fpu 10)" "$f" "$@" -- "$cli" -a 127.0.0.1 -p 6670 get "$f"
  run "tftp-hpa, 512-byte blocks (tftpd-hpa)" "$f" "$@" -- tftp -m binary 127.0.0.1 6969 -c get "$f" out.bin
  run "curl --tftp-blksize 1428 (tftpd-hpa)" "$f" "$@" -- curl -s --tftp-blksize 1428 -o out.bin "tftp://127.0.0.1:6969/$f"
  run "atftp blksize 1428 (atftpd)" "$f" "$@" -- atftp --option "blksize 1428" -g -r "$f" -l out.bin 127.0.0.1 6970
  run "atftp blksize 1428, windowsize 16 (atftpd)" "$f" "$@" -- atftp --option "blksize 1428" \
    --option "windowsize 16" -g -r "$f" -l out.bin 127.0.0.1 6970
}

parts=${WISP_BENCH_PARTS:-loopback loss}
if [[ " $parts " == *" loopback "* ]]; then
  echo "loopback, ${big} MiB, each run at most ${limit} s"
  start_servers
  variants big.bin
  stop_servers
  table "Loopback, ${big} MiB file:"
fi
[[ " $parts " == *" loss "* ]] || exit 0

# The rule drops on the input hook: the datagram leaves its sender and is
# lost on the way, as on a network. (Dropped on the output hook, sendto()
# itself fails with EPERM, which no real network loss does, and tftp-hpa's
# client gives up at once on that error.)
ns=wispbench$$
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" nft -f - <<'EOF'
table inet wisploss {
  chain in {
    type filter hook input priority 0; policy accept;
    meta l4proto udp numgen random mod 100 < 1 drop
  }
}
EOF
echo
echo "network namespace $ns: 1 % of all UDP datagrams dropped, ${small} MiB, each run at most ${limit} s"
start_servers ip netns exec "$ns"
variants small.bin ip netns exec "$ns"
stop_servers
table "1 % random loss, ${small} MiB file:"
# What the protocol's constants allow under loss. The receiver's window of
# fpu*25/dtu fragments (250 at the defaults) cannot move past a lost
# fragment until it is asked for again 125 ms after its first request. Per
# 125 ms the window start thus moves by one window: 250 fragments, the
# simple figure (a fifth of the design rate). It moves a little more: from
# the lost fragment on, the window reaches 250 further, and the next lost
# fragment lies on average 1/q fragments after it, q being the chance that a
# fragment's request or the fragment itself is lost (about 2 % at 1 % loss
# per datagram): (250 + 50) fragments per 125 ms.
awk 'BEGIN {
  printf "\nWhat the constants allow at the defaults under 1 %% loss per datagram:\n";
  printf "  one window per re-request period: 250 x 1455 B / 125 ms = %.3f MiB/s\n", 250 * 1455 / 0.125 / 1048576;
  q = 1 - 0.99 * 0.99;
  printf "  window plus the mean gap to the next loss: (250 + %.0f) x 1455 B / 125 ms = %.3f MiB/s\n", 1 / q, (250 + 1 / q) * 1455 / 0.125 / 1048576 }'
