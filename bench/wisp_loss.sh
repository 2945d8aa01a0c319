#!/usr/bin/env bash
# WISP's rate under random loss beside what its constants allow.
#
#   bash bench/wisp_loss.sh [loss in % per datagram, 1] [MiB, 8] [runs, 5] [client options...]
#
# Runs WISPSrv and WISPCli get in a network namespace of their own whose
# loopback drops the given share of all UDP datagrams (kernel rule on the
# input hook), several times, and prints each run's rate as the client
# reports it (from the server's reply to the verified end), their mean, and
# the figures of the model: the receiver's window of fpu*25/dtu fragments
# cannot move past a lost fragment until it is asked for again 125 ms (125
# DIV dtu updates) after its first request, so per re-request period the
# window start moves by one window plus the mean gap to the next lost
# fragment. Needs root. Not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
loss=${1:-1}
mib=${2:-8}
runs=${3:-5}
shift 3 2>/dev/null || shift $#
opts=("$@")
[ "$(id -u)" -eq 0 ] || { echo "run as root (network namespace)"; exit 1; }
command -v nft >/dev/null || { apt-get update -qq; DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nftables >/dev/null; }
bash scripts/build.sh >/dev/null
work=$(mktemp -d /tmp/wisp-loss-XXXXXX)
ns=wisploss$$
spid=""
cleanup() {
  [ -n "$spid" ] && kill "$spid" 2>/dev/null && wait "$spid" 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/srv" "$work/cli"
head -c $((mib * 1048576)) /dev/urandom >"$work/srv/f.bin"
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" nft -f - <<EOF
table inet wisploss {
  chain in {
    type filter hook input priority 0; policy accept;
    meta l4proto udp numgen random mod 1000 < $((loss * 10)) drop
  }
}
EOF
mkfifo "$work/keys"
(cd "$work/srv" && exec ip netns exec "$ns" "$root/build/WISPSrv" -a 127.0.0.1 -p 6670 <"$work/keys" >/dev/null 2>&1) &
spid=$!
exec 3>"$work/keys"
sleep 0.5
rates=()
for k in $(seq 1 "$runs"); do
  rm -f "$work/cli/f.bin"
  t0=$(date +%s.%N)
  out=$(cd "$work/cli" && timeout 300 ip netns exec "$ns" "$root/build/WISPCli" -a 127.0.0.1 -p 6670 \
          "${opts[@]}" get f.bin </dev/null 2>&1 | tr '\r' '\n' | grep "successful" || true)
  t1=$(date +%s.%N)
  if cmp -s "$work/cli/f.bin" "$work/srv/f.bin"; then
    r=$(echo "$out" | grep -o "[0-9.]* MB/s" | cut -d' ' -f1)
    rates+=("$r")
    echo "run $k: $out (wall clock $(awk -v a="$t0" -v z="$t1" 'BEGIN { printf "%.2f", z - a }') s)"
  else
    echo "run $k: FAILED: $out"
  fi
done
printf q >&3
exec 3>&-
wait "$spid" 2>/dev/null || true
spid=""
printf '%s\n' "${rates[@]}" | awk -v p="$loss" '
  { s += $1; n++; if (n == 1 || $1 < lo) lo = $1; if ($1 > hi) hi = $1 }
  END {
    if (n == 0) exit 1;
    printf "mean %.3f MiB/s over %d runs (%.3f .. %.3f) at %s %% loss per datagram\n", s / n, n, lo, hi, p;
    q = 1 - (1 - p / 100) ^ 2;
    printf "constants (defaults): one window per 125 ms = %.3f MiB/s; window plus mean gap to the next loss (250 + %.0f) = %.3f MiB/s\n",
      250 * 1455 / 0.125 / 1048576, 1 / q, (250 + 1 / q) * 1455 / 0.125 / 1048576 }'
