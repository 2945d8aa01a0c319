#!/usr/bin/env bash
# Builds both programs (installing what is missing) and runs a real transfer
# each way on loopback: a server in a scratch directory on a free port, the
# client fetching a file from it and uploading one to it. The client's console
# is shown as a user sees it; the files are compared with cmp; the server is
# stopped by its PID. Set KEEP=1 to keep the scratch directory (logs, files).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/build.sh
cli=$root/build/WISPCli
srv=$root/build/WISPSrv

work=$(mktemp -d "${TMPDIR:-/tmp}/wisp-demo.XXXXXX")
mkdir "$work/server" "$work/client"
srvpid=""
cleanup() {
  if [ -n "$srvpid" ] && kill -0 "$srvpid" 2>/dev/null; then
    kill -TERM "$srvpid" 2>/dev/null || true
    wait "$srvpid" 2>/dev/null || true
  fi
  if [ "${KEEP:-0}" = 1 ]; then echo "Scratch directory kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

port=$(python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')

head -c 3000000 /dev/urandom >"$work/server/sample.bin"
head -c 1234567 /dev/urandom >"$work/client/upload.bin"

echo
echo "=== Server: $srv -a 127.0.0.1 -p $port   (in $work/server)"
(cd "$work/server" && exec "$srv" -a 127.0.0.1 -p "$port" </dev/null >"$work/server.out" 2>&1) &
srvpid=$!
for _ in $(seq 100); do
  grep -qs "InitSock Listening on" "$work/server/WISPSrv.log" && break
  kill -0 "$srvpid" 2>/dev/null || { cat "$work/server.out"; echo "The server did not start."; exit 1; }
  sleep 0.05
done

run_client() {
  echo
  echo "=== Client: WISPCli -p $port $*   (in $work/client)"
  local rc=0
  (cd "$work/client" && "$cli" -p "$port" "$@" </dev/null) || rc=$?
  echo "(exit code $rc)"
  return "$rc"
}

run_client get sample.bin
cmp "$work/server/sample.bin" "$work/client/sample.bin"
echo "cmp: the fetched sample.bin equals the server's."

run_client put upload.bin
for _ in $(seq 100); do
  [ -f "$work/server/upload.bin" ] && break
  sleep 0.05
done
cmp "$work/client/upload.bin" "$work/server/upload.bin"
echo "cmp: the uploaded upload.bin equals the client's."

echo
echo "=== Stopping the server (PID $srvpid)"
kill -TERM "$srvpid"
wait "$srvpid" || true
srvpid=""
echo "Demo finished: both transfers verified."
