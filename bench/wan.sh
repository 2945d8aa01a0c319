#!/usr/bin/env bash
# WISP and TCP over an emulated wide-area path (bench/linkem: two network
# namespaces joined by TUN devices, a bottleneck with a drop-tail queue of
# 100 ms at its rate, a fixed delay, random loss each way), all in one run:
#
#   path                  cases
#   100 Mbit/s, RTT 50    WISP adaptive get and put, WISP at -f 255 on both sides
#                         (adaptive client), WISP defaults, TCP CUBIC, TCP BBR
#   RTT 50, 1 % loss      adaptive get and put, the same two in secure mode
#                         (-e, keys made in the scratch directory), defaults,
#                         CUBIC, BBR
#   RTT 200, 1 % loss     adaptive get, defaults, CUBIC, BBR
#   RTT 300, 5 % loss     adaptive get, defaults, CUBIC, BBR
#   20 Mbit/s, RTT 50     adaptive client against a server at its defaults,
#                         defaults, CUBIC, BBR
#   RTT 1020              adaptive get (a round trip just above the learnt
#                         time's start value of a second)
#   RTT 1500, 256 MiB     adaptive get
#   sharing, 100 Mbit/s   two adaptive gets at once for 30 s; an adaptive get
#   RTT 50                beside a TCP CUBIC stream for 30 s
#
# Each transfer moves a file of 64 MiB (-m; a path may name its own size)
# and is stopped after 90 s (-l).
# Before the cases a paced UDP stream measures the emulator itself: the rate
# it lets through when offered 1.5 times its rate, and the one-way delay
# against the set one. The table at the end has per case: goodput as a share
# of the bottleneck (the client's result line for WISP, first to last byte
# for TCP), datagrams dropped at the queue as a share of those the sender
# sent ("drop %"), the median time packets of the direction of the data
# waited in the queue, the median of that over 100 ms bins after the
# start-up (10 round trips + 0.5 s), the time from the client's start to
# the first 100 ms bin at 0.9 of the link, fragments received twice
# (eDup + eWnd of the receiver's "Free rcv" log line), fragments asked for
# again (its eTO) and the data's packets the path lost (dropped at the queue
# or at random; requests lost on the way back come on top). With several runs
# (-n) every figure is the median over the runs; cases go in rounds, so a
# change of the machine's load falls on all alike. Every case's progress
# line and the table's last line also tell how late the emulator delivered
# against the packets' due times. -o takes "path case" names such as
# "^100M rtt50 (c-get|bbr)$" (the labels and case keys of the list below),
# or "calibration" for the emulator's own measure.
#
#   sudo bash bench/wan.sh [-n runs, 1] [-b build directory, build] [-m MiB, 64]
#                          [-l limit per transfer in s, 90] [-s sharing seconds, 30]
#                          [-o regular expression: only the cases whose "path case" matches]
#                          [-k: keep the scratch directory]
#
# Needs root (namespaces, TUN devices). Not a test: it prints figures and
# fails only when a transfer fails (ends with an error or a wrong file; one
# stopped at the time limit is shown as not done).
set -euo pipefail

# ---- WISP options per case (client, server) -----------------------------------
# The adaptive cases use -c. A build without -c shows their rows as "n/a";
# to try the script on such a build, set these to options that exist, e.g.
# WAN_C_GET_CLI="-f 255 -r".
: "${WAN_C_GET_CLI=-c}"            # adaptive get: client
: "${WAN_C_GET_SRV=-f 255}"        #               server
: "${WAN_C_PUT_CLI=-c}"            # adaptive put: client
: "${WAN_C_PUT_SRV=-c -f 255}"     #               server (the receiver)
: "${WAN_F255_CLI=-c -f 255}"      # -f 255 on both sides, adaptive client
: "${WAN_F255_SRV=-f 255}"
: "${WAN_C20_CLI=-c}"              # 20 Mbit/s: adaptive client
: "${WAN_C20_SRV=}"                #            server at its defaults
: "${WAN_DEF_CLI=}"                # WISP at the defaults
: "${WAN_DEF_SRV=}"
: "${WAN_E_GET_CLI=-c}"            # secure get and put: as the adaptive ones, with -e
: "${WAN_E_GET_SRV=-f 255}"        # on both sides (the key directories are added)
: "${WAN_E_PUT_CLI=-c}"
: "${WAN_E_PUT_SRV=-c -f 255}"
: "${WAN_SHARE_CLI=-c}"            # sharing cases: each WISP client
: "${WAN_SHARE_SRV=-f 255}"
# The emulator's own options: --rt 10 runs its loop at a real-time priority,
# so that its timing holds while the programs keep both CPUs busy.
: "${WAN_LINKEM_OPTS=--rt 10}"

cd "$(dirname "$0")/.."
runs=1 build=build mib=64 limit=90 share_s=30 only="" keep=""
while getopts "n:b:m:l:s:o:k" o; do
  case $o in
    n) runs=$OPTARG ;; b) build=$OPTARG ;; m) mib=$OPTARG ;; l) limit=$OPTARG ;;
    s) share_s=$OPTARG ;; o) only=$OPTARG ;; k) keep=1 ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "run as root (network namespaces, TUN devices)"; exit 1; }
[ -c /dev/net/tun ] || { echo "no /dev/net/tun"; exit 1; }
cli=$(realpath "$build/WISPCli")
srv=$(realpath "$build/WISPSrv")
linkem=$(realpath "$build/linkem")
for p in "$cli" "$srv" "$linkem"; do [ -x "$p" ] || { echo "no $p: cmake --build $build"; exit 1; }; done
py=bench/wan.py

work=$(mktemp -d /tmp/wisp-wan-XXXXXX)
nsa=wanA$$   # the client's side, 10.77.0.1
nsb=wanB$$   # the server's side, 10.77.0.2
adr=10.77.0.2
port=6670
tport=5201
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do stop_pid "$p" 2; done
  ip netns del "$nsa" 2>/dev/null || true
  ip netns del "$nsb" 2>/dev/null || true
  if [ -n "$keep" ]; then echo "scratch kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# stop_pid PID [seconds]: SIGTERM, then SIGKILL if it has not ended in time.
stop_pid() {
  local p=$1 t=${2:-10} k
  kill -0 "$p" 2>/dev/null || { wait "$p" 2>/dev/null || true; return 0; }
  kill -TERM "$p" 2>/dev/null || true
  for ((k = 0; k < t * 20; k++)); do kill -0 "$p" 2>/dev/null || break; sleep 0.05; done
  kill -KILL "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
}
# wait_pid PID SECONDS: waits for the process to end by itself; returns 0
# with its exit code in $rc, or 1 (and stops it) after SECONDS.
wait_pid() {
  local p=$1 t=$2 k
  for ((k = 0; k < t * 20; k++)); do
    if ! kill -0 "$p" 2>/dev/null; then
      rc=0; wait "$p" || rc=$?
      return 0
    fi
    sleep 0.05
  done
  stop_pid "$p" 5
  rc=124
  return 1
}
forget() { local p=$1 q keep_=(); for q in "${pids[@]}"; do [ "$q" = "$p" ] || keep_+=("$q"); done; pids=("${keep_[@]}"); }

ip netns add "$nsa"
ip netns add "$nsb"
tcpmem=(--sysctl "net.ipv4.tcp_rmem=4096 131072 134217728" --sysctl "net.ipv4.tcp_wmem=4096 65536 134217728")

# start_link ID RATE RTT_MS LOSS: the emulator for one case; $lpid, report $work/ID.json.
# wait_line FILE TEXT TRIES WHAT OUTPUT: until FILE holds TEXT (TRIES times
# 20 ms), else shows OUTPUT and stops the script.
wait_line() {
  local k
  for ((k = 0; k < $3; k++)); do grep -qs "$2" "$1" && return 0; sleep 0.02; done
  echo "$4 did not start:"; cat "$5"; exit 1
}

start_link() {
  local id=$1 rate=$2 rtt=$3 loss=$4
  # shellcheck disable=SC2086  # the options are words
  "$linkem" --ns-a "$nsa" --ns-b "$nsb" --rate "$rate" --queue-ms 100 --delay-ms "$(awk -v r="$rtt" 'BEGIN { print r / 2 }')" \
    --loss "$loss" --seed "$seed" --report "$work/$id.json" --max-seconds 600 "${tcpmem[@]}" $WAN_LINKEM_OPTS >"$work/$id.link" 2>&1 &
  lpid=$!
  pids+=("$lpid")
  wait_line "$work/$id.link" "linkem ready" 100 linkem "$work/$id.link"
}
stop_link() { stop_pid "$lpid"; forget "$lpid"; }

# start_srv OPTIONS: WISPSrv in the server's namespace serving $sdir; $spid.
start_srv() {
  rm -f "$sdir/WISPSrv.log"
  # shellcheck disable=SC2086  # the options are words
  (cd "$sdir" && exec ip netns exec "$nsb" "$srv" -a "$adr" -p "$port" -o $1 </dev/null >"$work/srv.out" 2>&1) &
  spid=$!
  pids+=("$spid")
  wait_line "$sdir/WISPSrv.log" "InitSock Listening" 200 server "$work/srv.out"
}
stop_srv() { stop_pid "$spid"; forget "$spid"; }

# start_cli DIR OPTIONS MODE NAME OUT: WISPCli in the client's namespace; $cpid.
start_cli() {
  rm -f "$1/WISPCli.log"
  # shellcheck disable=SC2086
  (cd "$1" && exec ip netns exec "$nsa" "$cli" -a "$adr" -p "$port" $2 "$3" "$4" </dev/null >"$5" 2>&1) &
  cpid=$!
  pids+=("$cpid")
}

# The key directories of the secure cases ($work/keys-cli, $work/keys-srv):
# each program makes its key pair on its first start with -e (and stops, as
# it has no list of peers yet); each then lists the other's public key.
make_keys() {
  local kc=$work/keys-cli ks=$work/keys-srv
  [ -f "$ks/clients" ] && return 0
  (cd "$work" && "$srv" -e "$ks" -p 0 </dev/null >/dev/null 2>&1) || true
  (cd "$work" && "$cli" -e "$kc" get x </dev/null >/dev/null 2>&1) || true
  [ -f "$ks/key.pub" ] && [ -f "$kc/key.pub" ] || { echo "no key pairs made in $work"; exit 1; }
  echo "$(cut -d' ' -f1 "$kc/key.pub") bench" >"$ks/clients"
  echo "$(cut -d' ' -f1 "$ks/key.pub") $adr" >"$kc/servers"
}

has_c() { [[ " $1 " == *" -c "* ]]; }
cli_c=0 srv_c=0
"$cli" -h 2>&1 | grep -q "'-c'" && cli_c=1
"$srv" -h 2>&1 | grep -q "'-c'" && srv_c=1
# na_reason CLI_OPTS SRV_OPTS: why a case cannot run with this build (empty: it can).
na_reason() {
  if has_c "$1" && [ $cli_c -eq 0 ]; then echo "this WISPCli has no -c"; return; fi
  if has_c "$2" && [ $srv_c -eq 0 ]; then echo "this WISPSrv has no -c"; return; fi
}

sdir=$work/srv
cdir=$work/cli
mkdir -p "$sdir" "$cdir" "$work/cli2"
size=$((mib * 1048576))
head -c "$size" /dev/urandom >"$sdir/down.bin"
head -c "$size" /dev/urandom >"$cdir/up.bin"
sync   # the new files' write-back must not fall into the runs
big_mib=$(( (share_s * 100 / 8 * 1000000 / 1048576) + 16 ))   # more than 100 Mbit/s moves in the window
results=$work/results.jsonl
: >"$results"
failed=0
n=0

# file_of DIR NAME MiB: the name of a file of MiB in DIR, made once
# (NAME itself at the script's size).
file_of() {
  local d=$1 f=$2 m=$3 g
  [ "$m" = "$mib" ] && { echo "$f"; return; }
  g="${f%.bin}$m.bin"
  [ -f "$d/$g" ] || { head -c $((m * 1048576)) /dev/urandom >"$d/$g"; sync; }
  echo "$g"
}

# One WISP transfer: wisp_case PATH CASE RATE RTT LOSS MODE CLI_OPTS SRV_OPTS
# (the file of $fmib MiB)
wisp_case() {
  local path=$1 case=$2 rate=$3 rtt=$4 loss=$5 mode=$6 co=$7 so=$8 why id ok=0 t0 dir log down up
  why=$(na_reason "$co" "$so")
  if [ -n "$why" ]; then
    python3 "$py" row --kind na --path "$path" --case "$case" --rep "$rep" --note "$why" >>"$results"
    echo "  $path / $case: n/a ($why)"
    return
  fi
  id=c$((++n))
  down=$(file_of "$sdir" down.bin "$fmib")
  up=$(file_of "$cdir" up.bin "$fmib")
  rm -f "$cdir/$down" "$sdir/$up"
  start_link "$id" "$rate" "$rtt" "$loss"
  start_srv "$so"
  t0=$(python3 "$py" now)
  if [ "$mode" = get ]; then start_cli "$cdir" "$co" get "$down" "$work/$id.out"
  else start_cli "$cdir" "$co" put "$up" "$work/$id.out"; fi
  if wait_pid "$cpid" "$limit"; then
    forget "$cpid"
    if [ "$rc" -ne 0 ]; then
      echo "  $path / $case: client ended with $rc"; tr '\r' '\n' <"$work/$id.out" | tail -3; failed=1
    elif [ "$mode" = get ]; then
      if cmp -s "$sdir/$down" "$cdir/$down"; then ok=1; else echo "  get: files differ"; failed=1; fi
    else
      for ((k = 0; k < 100; k++)); do [ -f "$sdir/$up" ] && break; sleep 0.05; done
      if cmp -s "$cdir/$up" "$sdir/$up"; then ok=1; else echo "  put: files differ"; failed=1; fi
    fi
  else
    forget "$cpid"
  fi
  sleep 0.3   # the server ends the session and logs its receiver's counters
  stop_srv
  stop_link
  if [ "$mode" = get ]; then dir=ba log=$cdir/WISPCli.log; else dir=ab log=$sdir/WISPSrv.log; fi
  cp -f "$log" "$work/$id.rlog" 2>/dev/null || true
  python3 "$py" row --kind wisp --report "$work/$id.json" --path "$path" --case "$case" --rep "$rep" \
    --dir "$dir" --proto udp --port "$port" --out "$work/$id.out" --log "$work/$id.rlog" --start-ns "$t0" \
    --rtt-ms "$rtt" --limit "$limit" --ok "$ok" | tee -a "$results" | brief "$path" "$case"
}

# One TCP get: tcp_case PATH CASE RATE RTT LOSS CC
tcp_case() {
  local path=$1 case=$2 rate=$3 rtt=$4 loss=$5 cc=$6 id tp t0
  id=c$((++n))
  start_link "$id" "$rate" "$rtt" "$loss"
  ip netns exec "$nsb" python3 "$py" tcp-serve --bind "$adr" --port "$tport" --cc "$cc" --bytes "$size" \
    --max-seconds $((limit + 10)) >"$work/$id.srv" 2>&1 &
  tp=$!
  pids+=("$tp")
  for ((k = 0; k < 100; k++)); do grep -qs listening "$work/$id.srv" && break; sleep 0.02; done
  t0=$(python3 "$py" now)
  ip netns exec "$nsa" python3 "$py" tcp-get --to "$adr" --port "$tport" --cc "$cc" --limit "$limit" \
    >"$work/$id.out" 2>&1 &
  cpid=$!
  pids+=("$cpid")
  wait_pid "$cpid" $((limit + 10)) || true
  forget "$cpid"
  stop_pid "$tp" 5
  forget "$tp"
  stop_link
  if ! grep -q '"bytes"' "$work/$id.out"; then echo "  $path / $case: TCP client failed"; cat "$work/$id.out"; failed=1; return; fi
  python3 "$py" row --kind tcp --report "$work/$id.json" --path "$path" --case "$case" --rep "$rep" \
    --dir ba --proto tcp --port "$tport" --out "$work/$id.out" --start-ns "$t0" --rtt-ms "$rtt" \
    --limit "$limit" | tee -a "$results" | brief "$path" "$case"
}

# Sharing: share_case PATH CASE RATE RTT LOSS KIND (wisp2 | wisptcp)
share_case() {
  local path=$1 case=$2 rate=$3 rtt=$4 loss=$5 kind=$6 why id t0 c1 c2 tp="" flows
  why=$(na_reason "$WAN_SHARE_CLI" "$WAN_SHARE_SRV")
  if [ -n "$why" ]; then
    python3 "$py" row --kind na --path "$path" --case "$case" --rep "$rep" --note "$why" >>"$results"
    echo "  $path / $case: n/a ($why)"
    return
  fi
  [ -f "$sdir/big.bin" ] || { head -c $((big_mib * 1048576)) /dev/urandom >"$sdir/big.bin"; sync; }
  id=c$((++n))
  rm -f "$cdir/big.bin" "$work/cli2/big.bin"
  start_link "$id" "$rate" "$rtt" "$loss"
  start_srv "$WAN_SHARE_SRV"
  if [ "$kind" = wisptcp ]; then
    ip netns exec "$nsb" python3 "$py" tcp-serve --bind "$adr" --port "$tport" --cc cubic --seconds "$share_s" \
      --max-seconds $((share_s + 20)) >"$work/$id.srv" 2>&1 &
    tp=$!
    pids+=("$tp")
    for ((k = 0; k < 100; k++)); do grep -qs listening "$work/$id.srv" && break; sleep 0.02; done
  fi
  t0=$(python3 "$py" now)
  start_cli "$cdir" "$WAN_SHARE_CLI" get big.bin "$work/$id.out"
  c1=$cpid
  if [ "$kind" = wisp2 ]; then
    start_cli "$work/cli2" "$WAN_SHARE_CLI" get big.bin "$work/$id.out2"
    c2=$cpid
    flows=(--flow "wisp1:udp:$port:0" --flow "wisp2:udp:$port:1")
  else
    ip netns exec "$nsa" python3 "$py" tcp-get --to "$adr" --port "$tport" --cc cubic --limit $((share_s + 5)) \
      >"$work/$id.tcp" 2>&1 &
    c2=$!
    pids+=("$c2")
    flows=(--flow "wisp:udp:$port:0" --flow "cubic:tcp:$tport:0")
  fi
  sleep "$share_s"
  stop_pid "$c1" 5; forget "$c1"
  stop_pid "$c2" 5; forget "$c2"
  [ -n "$tp" ] && { stop_pid "$tp" 5; forget "$tp"; }
  stop_srv
  stop_link
  python3 "$py" share --report "$work/$id.json" --path "$path" --case "$case" --rep "$rep" --dir ba \
    --start-ns "$t0" --window "$share_s" "${flows[@]}" | tee -a "$results" | brief "$path" "$case"
}

# brief PATH CASE: one line of progress from a row on standard input.
brief() {
  python3 -c 'import json, sys
r = json.loads(sys.stdin.read())
late = "emulator late by %d us at the 99th percentile, %d of %d packets 1 ms or more" % (
    r["late_p99_us"], r["late_1ms"], r["forwarded"])
if "share" in r:
    print("  %s / %s: share %.3f in %.1f s, dropped at the queue %s, %s; %s" % (sys.argv[1], sys.argv[2],
          r["share"], r["seconds"], "-" if r.get("drop_share") is None else "%.2f %%" % (100 * r["drop_share"]),
          "done" if r.get("done") else "NOT DONE", late))
else:
    print("  %s / %s: shares %s; %s" % (sys.argv[1], sys.argv[2],
          ", ".join("%s %.3f" % kv for kv in r["shares"].items()), late))' "$1" "$2"
}

# The paths: label | rate | RTT ms | loss each way | cases [| MiB of the WISP cases' file]
paths=(
  "100M rtt50|100e6|50|0|c-get c-put f255 def cubic bbr"
  "100M rtt50 1%|100e6|50|0.01|c-get c-put e-get e-put def cubic bbr"
  "100M rtt200 1%|100e6|200|0.01|c-get def cubic bbr"
  "100M rtt300 5%|100e6|300|0.05|c-get def cubic bbr"
  "20M rtt50|20e6|50|0|c20 def cubic bbr"
  "100M rtt1020|100e6|1020|0|c-get"
  "100M rtt1500|100e6|1500|0|c-get|256"
  "100M rtt50 sharing|100e6|50|0|wisp2 wisptcp"
)

echo "WISP ${mib} MiB over bench/linkem (queue 100 ms at the rate), $runs run(s), limit ${limit} s; $(nproc) CPUs"
echo "WISP options: adaptive get '$WAN_C_GET_CLI' / server '$WAN_C_GET_SRV'; put '$WAN_C_PUT_CLI' / '$WAN_C_PUT_SRV';" \
     "-f 255 '$WAN_F255_CLI' / '$WAN_F255_SRV'; 20 Mbit/s '$WAN_C20_CLI' / '$WAN_C20_SRV';" \
     "defaults '$WAN_DEF_CLI' / '$WAN_DEF_SRV'; sharing '$WAN_SHARE_CLI' / '$WAN_SHARE_SRV'"
echo "before: $(uptime)"

# The emulator itself: a paced UDP stream at 0.5 and 1.5 times the rate of
# the first path, 5 s each.
if [ -z "$only" ] || [[ "calibration" =~ $only ]]; then
  seed=1
  for f in 0.5 1.5; do
    start_link cal$f 100e6 50 0
    ip netns exec "$nsb" python3 "$py" probe-recv --bind "$adr" --port 7001 --seconds 5 >"$work/cal$f.rx" 2>&1 &
    rp=$!; pids+=("$rp")
    for ((k = 0; k < 100; k++)); do grep -qs listening "$work/cal$f.rx" && break; sleep 0.02; done
    ip netns exec "$nsa" python3 "$py" probe-send --to "$adr" --port 7001 --rate "$(awk -v f="$f" 'BEGIN { print f * 1e8 }')" \
      --seconds 5 >/dev/null
    wait_pid "$rp" 20 || true; forget "$rp"
    stop_link
    python3 - "$work/cal$f.rx" "$work/cal$f.json" "$f" <<'EOF'
import json, sys
rx = json.loads(open(sys.argv[1]).read().split("\n", 1)[1])
d = json.load(open(sys.argv[2]))["dirs"]["ab"]
base = 25 + 1500 * 8 / 100e6 * 1e3   # delay and one packet's serialisation, ms
if float(sys.argv[3]) < 1:
    print("emulator, 100 Mbit/s, delay 25 ms, offered 50 Mbit/s: one-way delay - %.3f ms: median %+.3f ms, "
          "99th percentile %+.3f ms (sender and receiver included); delivery late by median %d us, "
          "99th percentile %d us, at most %d us, %d of %d packets 1 ms late or more" % (base, rx["delay_p50_ms"] - base, rx["delay_p99_ms"] - base,
                                                    d["late_p50_us"], d["late_p99_us"], d["late_max_us"], d["late_1ms"], d["forwarded"]))
else:
    print("emulator, offered 150 Mbit/s: received %.3f Mbit/s (%.4f of the rate), queue wait median %.1f ms; "
          "delivery late by median %d us, 99th percentile %d us, at most %d us, %d of %d packets 1 ms late or more" % (
              rx["rate"] / 1e6, rx["rate"] / 100e6, d["queue_p50_us"] / 1000, d["late_p50_us"], d["late_p99_us"],
              d["late_max_us"], d["late_1ms"], d["forwarded"]))
EOF
  done
fi

for ((rep = 1; rep <= runs; rep++)); do
  seed=$rep
  [ "$runs" -gt 1 ] && echo "run $rep of $runs"
  for p in "${paths[@]}"; do
    IFS='|' read -r label rate rtt loss cases fmib <<<"$p"
    fmib=${fmib:-$mib}
    for c in $cases; do
      [ -n "$only" ] && ! [[ "$label $c" =~ $only ]] && continue
      case $c in
        c-get) wisp_case "$label" "WISP get $WAN_C_GET_CLI / srv $WAN_C_GET_SRV" "$rate" "$rtt" "$loss" get "$WAN_C_GET_CLI" "$WAN_C_GET_SRV" ;;
        c-put) wisp_case "$label" "WISP put $WAN_C_PUT_CLI / srv $WAN_C_PUT_SRV" "$rate" "$rtt" "$loss" put "$WAN_C_PUT_CLI" "$WAN_C_PUT_SRV" ;;
        e-get) make_keys; wisp_case "$label" "WISP get -e $WAN_E_GET_CLI / srv -e $WAN_E_GET_SRV" "$rate" "$rtt" "$loss" get \
                 "-e $work/keys-cli $WAN_E_GET_CLI" "-e $work/keys-srv $WAN_E_GET_SRV" ;;
        e-put) make_keys; wisp_case "$label" "WISP put -e $WAN_E_PUT_CLI / srv -e $WAN_E_PUT_SRV" "$rate" "$rtt" "$loss" put \
                 "-e $work/keys-cli $WAN_E_PUT_CLI" "-e $work/keys-srv $WAN_E_PUT_SRV" ;;
        f255) wisp_case "$label" "WISP get $WAN_F255_CLI / srv $WAN_F255_SRV" "$rate" "$rtt" "$loss" get "$WAN_F255_CLI" "$WAN_F255_SRV" ;;
        c20) wisp_case "$label" "WISP get $WAN_C20_CLI / srv ${WAN_C20_SRV:-defaults}" "$rate" "$rtt" "$loss" get "$WAN_C20_CLI" "$WAN_C20_SRV" ;;
        def) wisp_case "$label" "WISP get ${WAN_DEF_CLI:-defaults} / srv ${WAN_DEF_SRV:-defaults}" "$rate" "$rtt" "$loss" get "$WAN_DEF_CLI" "$WAN_DEF_SRV" ;;
        cubic) tcp_case "$label" "TCP CUBIC get" "$rate" "$rtt" "$loss" cubic ;;
        bbr) tcp_case "$label" "TCP BBR get" "$rate" "$rtt" "$loss" bbr ;;
        wisp2) share_case "$label" "two WISP gets $WAN_SHARE_CLI, ${share_s} s" "$rate" "$rtt" "$loss" wisp2 ;;
        wisptcp) share_case "$label" "WISP get $WAN_SHARE_CLI + CUBIC, ${share_s} s" "$rate" "$rtt" "$loss" wisptcp ;;
      esac
    done
  done
done

echo
python3 "$py" table "$results"
echo "after:  $(uptime)"
exit $failed
