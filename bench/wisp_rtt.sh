#!/usr/bin/env bash
# WISP under random loss with and without -r (re-requests after the learnt
# round trip) beside the same run's loss-free rate.
#
#   sudo bash bench/wisp_rtt.sh [MiB at the defaults, 8] [MiB at -f 255, 64; 0: none] [runs, 5] [build, build] [loss levels, "0 1 5"]
#
# In a network namespace of its own whose loopback drops the given share of
# all UDP datagrams (kernel rule on the input hook, so each datagram crosses
# it once and requests and replies are lost alike), per loss level:
#   get and put of the small file at the defaults, without and with -r (for
#   a put the server's -r: a second server runs with it);
#   get of the large file at -f 255 on both sides, without and with -r.
# The first loss level is the reference (normally 0): every case's ratio is
# its rate over that case's rate at the reference level of this same run.
# Each case runs `runs` times per level, in rounds of one run of every case;
# the figure is the median of the wall-clock rates (client process start to
# verified end, both digests included). "twice" is the receiver's count of
# fragments that came again after they had arrived (eDup + eWnd of its Free
# line, low 16 bits of each), "TO" the fragments it asked for again (eTO),
# both summed over the runs; "%frg" is twice over all fragments moved.
# Needs root. Not part of CI: it prints figures, and fails only when a
# transfer fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
small=${1:-8}
large=${2:-64}
runs=${3:-5}
build=${4:-build}
levels=${5:-"0 1 5"}
[ "$(id -u)" -eq 0 ] || { echo "run as root (network namespace)"; exit 1; }
command -v nft >/dev/null || { apt-get update -qq; DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nftables >/dev/null; }
cli=$(realpath "$build/WISPCli")
srv=$(realpath "$build/WISPSrv")
[ -x "$cli" ] && [ -x "$srv" ] || { echo "no WISPCli and WISPSrv in $build"; exit 1; }

work=$(mktemp -d /tmp/wisp-rtt-XXXXXX)
ns=wisprtt$$
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up

# Three servers: the defaults (port 6670), the defaults with -r (6671), -f 255 (6672).
start_srv() {   # start_srv DIR PORT OPTIONS...
  local d=$1 p=$2
  shift 2
  mkdir -p "$d"
  (cd "$d" && exec ip netns exec "$ns" "$srv" -a 127.0.0.1 -p "$p" "$@" </dev/null >/dev/null 2>&1) &
  pids+=($!)
  for _ in $(seq 100); do
    grep -qs "InitSock Listening" "$d/WISPSrv.log" && return
    sleep 0.05
  done
  echo "server on $p did not start"
  exit 1
}
start_srv "$work/s0" 6670
start_srv "$work/sr" 6671 -r
start_srv "$work/sf" 6672 -f 255
cdir=$work/cli
mkdir -p "$cdir"
head -c $((small * 1048576)) /dev/urandom >"$work/small.bin"
head -c $((large * 1048576)) /dev/urandom >"$work/large.bin"
cp "$work/small.bin" "$work/s0/small.bin"
cp "$work/small.bin" "$work/sr/small.bin"
cp "$work/large.bin" "$work/sf/large.bin"
cp "$work/small.bin" "$cdir/up.bin"

set_loss() {   # set_loss PERCENT
  ip netns exec "$ns" nft flush ruleset
  [ "$1" = 0 ] && return
  ip netns exec "$ns" nft -f - <<EOF
table inet wisprtt {
  chain in {
    type filter hook input priority 0; policy accept;
    meta l4proto udp numgen random mod 1000 < $(awk -v p="$1" 'BEGIN { printf "%d", p * 10 }') drop
  }
}
EOF
}

# The error counters of the receiver's last Free line in a log, as "eDup+eWnd eTO".
free_counts() {
  local e
  read -r -a e <<<"$(grep "Free rcv" "$1" | tail -1 | tr -d '\r' | awk '{ print $(NF - 3), $(NF - 1), $NF }')"
  echo "$((16#${e[0]} + 16#${e[1]})) $((16#${e[2]}))"
}

# One transfer; prints "rate twice TO" or fails the script.
one() {   # one MODE PORT MIB SERVER-DIR CLIENT-OPTIONS...
  local mode=$1 port=$2 mib=$3 sd=$4 name log t0 t1 out
  shift 4
  if [ "$mode" = get ]; then
    name=$([ "$mib" = "$small" ] && echo small.bin || echo large.bin)
    rm -f "$cdir/$name" "$cdir/WISPCli.log"
  else
    name=up.bin
    rm -f "$sd/$name"
  fi
  t0=$(date +%s.%N)
  out=$(cd "$cdir" && timeout 600 ip netns exec "$ns" "$cli" -a 127.0.0.1 -p "$port" "$@" "$mode" "$name" \
        </dev/null 2>&1 | tr '\r' '\n' | grep "successful" || true)
  t1=$(date +%s.%N)
  if [ "$mode" = get ]; then
    cmp -s "$cdir/$name" "$work/$name" || { echo "get $name on $port $* FAILED: $out" >&2; exit 1; }
    log=$cdir/WISPCli.log
  else
    for _ in $(seq 100); do cmp -s "$sd/$name" "$cdir/up.bin" && break; sleep 0.05; done
    cmp -s "$sd/$name" "$cdir/up.bin" || { echo "put on $port $* FAILED: $out" >&2; exit 1; }
    log=$sd/WISPSrv.log
  fi
  echo "$(awk -v m="$mib" -v a="$t0" -v z="$t1" 'BEGIN { printf "%.3f", m / (z - a) }') $(free_counts "$log")"
}

cases=("get defaults|get 6670 $small $work/s0"
       "get defaults -r|get 6670 $small $work/s0 -r"
       "put defaults|put 6670 $small $work/s0"
       "put defaults, server -r|put 6671 $small $work/sr")
[ "$large" != 0 ] && cases+=("get -f 255|get 6672 $large $work/sf -f 255"
                             "get -f 255 -r|get 6672 $large $work/sf -f 255 -r")
fragments() { [ "$(cut -d' ' -f3 <<<"$1")" = "$small" ] && echo $(((small * 1048576 + 1454) / 1455)) || echo $(((large * 1048576 + 1454) / 1455)); }

echo "WISP $small MiB at the defaults and $large MiB at -f 255 under random loss of UDP datagrams,"
echo "loopback of network namespace $ns, $(nproc) CPUs, median of $runs runs per case"
echo "before: $(uptime)"
printf "%-26s %6s %8s %6s %7s %6s %6s\n" case "loss %" "MiB/s" ratio twice "%frg" TO
declare -A ref rates twice to
for loss in $levels; do
  set_loss "$loss"
  # Round by round, each case once per round, so that a change in the
  # machine's load falls on all cases alike.
  for c in "${cases[@]}"; do rates[$c]="" twice[$c]=0 to[$c]=0; done
  for _ in $(seq "$runs"); do
    for c in "${cases[@]}"; do
      # shellcheck disable=SC2086
      read -r r d t <<<"$(one ${c#*|})"
      rates[$c]+=" $r"
      twice[$c]=$((${twice[$c]} + d))
      to[$c]=$((${to[$c]} + t))
    done
  done
  for c in "${cases[@]}"; do
    label=${c%%|*}
    med=$(printf '%s\n' ${rates[$c]} | sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }')
    [ -z "${ref[$label]:-}" ] && ref[$label]=$med
    frg=$(fragments "${c#*|}")
    printf "%-26s %6s %8.2f %6.2f %7d %6.2f %6d   (%s)\n" "$label" "$loss" "$med" \
      "$(awk -v a="$med" -v b="${ref[$label]}" 'BEGIN { printf "%.3f", a / b }')" "${twice[$c]}" \
      "$(awk -v d="${twice[$c]}" -v f="$frg" -v n="$runs" 'BEGIN { printf "%.3f", 100 * d / (f * n) }')" "${to[$c]}" "${rates[$c]# }"
  done
done
echo "after: $(uptime)"
