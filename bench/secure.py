#!/usr/bin/env python3
"""The secure mode's figures, on loopback:

1. speed: a file (128 MiB by default) fetched and sent with -c -f 255 against
   a server started with -f 255 -c, plain and with -e, alternating, rounds
   times; per run the rate of the client's result line and the CPU seconds
   per GiB of client and server; then the secure/plain ratio of the medians.
2. the hostile set: a secure server that has served one recorded transfer
   gets, from another port, `forged` datagrams (random keys: handshakes of
   random bytes; replays of the recorded handshake request and transfer;
   single bit flips of recorded datagrams, the CRC made good): the datagrams
   and bytes the server sent in answer (0 expected).
3. the capture: a secure transfer of a random file through a recorder holds
   no 16-byte run of the file in any datagram either way.

    python3 bench/secure.py [--mib 128] [--rounds 3] [--forged 100000] [--build build-test]

Not a test: it prints figures and fails only when a transfer fails.
"""
import argparse
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from wisp_test_util import Recorder, Server, secure_pair, server_sent, tel  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "bench"))
from transfer import cpu_of, run_client  # noqa: E402


def transfer(cli, srv, cdir, keys, mode, name):
    args = ["-p", str(srv.port), "-c", "-f", "255"] + (["-e", keys] if keys else []) + [mode, name]
    s0 = cpu_of(srv.p.pid)
    rc, out, ccpu, wall, _ = run_client(cli, cdir, args)
    if rc != 0:
        raise SystemExit("transfer failed: %s\n%s" % (args, out))
    rate = float(out.split(" B, ")[1].split(" ms, ")[1].split(" MB/s")[0])
    return rate, ccpu, cpu_of(srv.p.pid) - s0


def speed(a, cli, root, data):
    gib = len(data) / (1 << 30)
    res = {}
    sdirs = {}
    for mode in ("plain", "secure"):
        d = os.path.join(root, mode)
        os.makedirs(os.path.join(d, "srv"))
        os.makedirs(os.path.join(d, "cli"))
        with open(os.path.join(d, "srv", "f.bin"), "wb") as f:
            f.write(data)
        with open(os.path.join(d, "cli", "u.bin"), "wb") as f:
            f.write(data)
        sdirs[mode] = d
    sk, ck, _, _ = secure_pair(root)
    srvs = {"plain": Server(os.path.join(sdirs["plain"], "srv"), "-f", "255", "-c", "-o"),
            "secure": Server(os.path.join(sdirs["secure"], "srv"), "-f", "255", "-c", "-o", "-e", sk)}
    try:
        for r in range(a.rounds):
            for mode in ("plain", "secure"):
                cdir = os.path.join(sdirs[mode], "cli")
                for op, name in (("get", "f.bin"), ("put", "u.bin")):
                    if op == "get" and os.path.exists(os.path.join(cdir, "f.bin")):
                        os.remove(os.path.join(cdir, "f.bin"))
                    rate, c, s = transfer(cli, srvs[mode], cdir, ck if mode == "secure" else None, op, name)
                    res.setdefault((mode, op), []).append((rate, c / gib, s / gib))
                    print("round %d %-6s %s %8.1f MB/s  CPU s/GiB client %.2f server %.2f" %
                          (r + 1, mode, op, rate, c / gib, s / gib), flush=True)
    finally:
        for s in srvs.values():
            s.stop()
    for op in ("get", "put"):
        p = statistics.median(x[0] for x in res[("plain", op)])
        s = statistics.median(x[0] for x in res[("secure", op)])
        cs = [statistics.median(x[k] for x in res[(m, op)]) for m in ("plain", "secure") for k in (1, 2)]
        print("%s: median plain %.1f MB/s, secure %.1f MB/s, ratio %.3f; CPU s/GiB plain client %.2f server %.2f, "
              "secure client %.2f server %.2f" % (op, p, s, s / p, *cs))


def drain(s):
    """The bytes waiting at the non-blocking socket s, taken."""
    n = 0
    try:
        while True:
            n += len(s.recv(65536))
    except BlockingIOError:
        return n


def hostile(a, cli, root):
    d = os.path.join(root, "hostile")
    os.makedirs(os.path.join(d, "srv"))
    os.makedirs(os.path.join(d, "cli"))
    data = os.urandom(4 << 20)
    with open(os.path.join(d, "srv", "f.bin"), "wb") as f:
        f.write(data)
    sk, ck, _, _ = secure_pair(d)
    srv = Server(os.path.join(d, "srv"), "-e", sk)
    rec = Recorder(srv.port)
    try:
        rc, out, _, _, _ = run_client(cli, os.path.join(d, "cli"), ["-p", str(rec.port), "-e", ck, "get", "f.bin"])
        if rc != 0:
            raise SystemExit("recorded transfer failed\n" + out)
        # The capture: no 16-byte run of the file in any datagram.
        with open(os.path.join(d, "cli", "f.bin"), "rb") as f:
            assert f.read() == data
        runs = {data[k:k + 16] for k in range(0, len(data) - 15)}
        seen = list(rec.sent) + list(rec.got)
        hits = sum(1 for x in seen for k in range(len(x) - 15) if x[k:k + 16] in runs)
        print("capture: %d datagrams (%d bytes) of a secure get of %d random bytes, 16-byte runs of the file "
              "in them: %d" % (len(seen), sum(map(len, seen)), len(data), hits), flush=True)
        time.sleep(0.5)
        n0, b0 = rec.back_n, rec.back
        rnd = random.Random(1)
        hs = rec.sent[0]
        kinds = {"random key": 0, "replay": 0, "bit flip": 0}
        got = 0
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            s.setblocking(False)
            for k in range(a.forged):
                kind = ("random key", "replay", "bit flip")[k % 3]
                kinds[kind] += 1
                if kind == "random key":
                    x = tel(hs[6], os.urandom(len(hs) - 11))
                elif kind == "replay":
                    x = rnd.choice(rec.sent) if k % 2 else hs
                else:
                    y = bytearray(rnd.choice(rec.sent))
                    y[rnd.randrange(7, len(y) - 4)] ^= 1 << rnd.randrange(8)
                    x = tel(y[6], bytes(y[7:-4]))
                s.sendto(x, ("127.0.0.1", srv.port))
                if k % 500 == 499:
                    time.sleep(0.005)
                got += drain(s)
            time.sleep(1)
            got += drain(s)
        c = srv.counters()
    finally:
        rec.stop()
        srv.terminate()
    drops = {k: v for k, v in c.items() if k.startswith("d") and v}
    link = [t for t in srv.log() if t.startswith("DoneModule txn ")][-1]
    print("hostile: %d forged datagrams (%s) from another port: bytes back to it %d, to the recorded client "
          "%d (%d datagrams); the server's datagrams sent in all %d = the transfer's %d; the link's closing "
          "line '%s' (rxe: dropped at the door); the drop counters' low 12 bits %s" %
          (a.forged, ", ".join("%s %d" % kv for kv in kinds.items()), got, rec.back - b0, rec.back_n - n0,
           server_sent(srv), n0, link, drops))
    # The same check on a plain get: it does find the file's runs there.
    srv = Server(os.path.join(d, "srv"))
    rec = Recorder(srv.port)
    try:
        os.remove(os.path.join(d, "cli", "f.bin"))
        run_client(cli, os.path.join(d, "cli"), ["-p", str(rec.port), "get", "f.bin"])
        seen = list(rec.sent) + list(rec.got)
        hits = sum(1 for x in seen for k in range(len(x) - 15) if x[k:k + 16] in runs)
        print("capture, plain get of the same file for contrast: %d datagrams, 16-byte runs of the file in them: "
              "%d" % (len(seen), hits))
    finally:
        rec.stop()
        srv.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=128)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--forged", type=int, default=100000)
    ap.add_argument("--build", default="build-test")
    a = ap.parse_args()
    build = os.path.join(ROOT, a.build)
    os.environ["WISP_CLI"] = os.path.join(build, "WISPCli")
    os.environ["WISP_SRV"] = os.path.join(build, "WISPSrv")
    import wisp_test_util as u
    u.CLI, u.SRV = os.environ["WISP_CLI"], os.environ["WISP_SRV"]
    root = tempfile.mkdtemp(prefix="wisp-secure-bench-")
    try:
        print("load before: " + subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip())
        hostile(a, u.CLI, root)
        if a.mib > 0:
            speed(a, u.CLI, root, os.urandom(a.mib << 20))
        print("load after: " + subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip())
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
