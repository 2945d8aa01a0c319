#!/usr/bin/env python3
"""Quiet uploaders: what hostile peers that stop delivering cost a server
whose uploads adapt to the path (-c). Each peer opens an upload and answers
every data request it gets about 0.95 s late for 10 s, so that the server's
window for it grows as a long path would let it; then it goes quiet and sends
only one data reply a second, for a fragment outside that window, which keeps
its session alive. Once every peer is quiet the script measures the server's
CPU time over 20 s (from /proc/PID/stat) and prints it as a share of one
core, with the data requests the quiet peers got a second and the window each
peer saw before it went quiet.

    python3 bench/quiet_uploaders.py [--srv build/WISPSrv] [--sessions 16] [--grow 10]
                                     [--late 0.95] [--measure 20] [--stagger 2] [--fgl 32]
                                     [-- server options, default -c -f 255]

The peers ask for fragments of --fgl bytes (the server grants what a peer
asks for, up to its maximum): the server's work per fragment and per window
slot does not depend on the length, and short fragments let a Python peer
answer a window of 131072 fragments. Peers start --stagger seconds apart so
that their answering phases do not all fall together on a small machine.
Runs on loopback; not a test: it prints figures.
"""
import argparse
import os
import socket
import struct
import sys
import tempfile
import time
from collections import deque
from multiprocessing import Process, Queue

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from transfer import cpu_of  # noqa: E402  (a process's CPU seconds)
from wisp_test_util import DATRQ, WRRP, Server, datrp, wrrq  # noqa: E402


def peer(k, port, a, report):
    """One quiet uploader: the upload of a file of a.frags fragments, its
    requests answered a.late seconds late for a.grow seconds, then one
    out-of-window reply a second until a.until (a monotonic time)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    s.connect(("127.0.0.1", port))
    s.settimeout(1.0)
    frags = a.frags
    ref = None
    for _ in range(10):
        s.send(wrrq("quiet%02d.bin" % k, frags * a.fgl, bytes(16), 740153, 0, f=a.fgl, t=1, n=255))
        try:
            x = s.recv(2048)
        except socket.timeout:
            continue
        if x[6] == WRRP and x[7] == 0:
            ref = struct.unpack_from("<H", x, 13)[0]
            fgl = struct.unpack_from("<H", x, 8)[0]
            break
    if ref is None:
        report.put((k, "no write reply", 0, 0, 0))
        return
    data = bytes(fgl)
    s.setblocking(False)
    due = deque()   # (time to answer, base, bits)
    t0 = time.monotonic()
    quiet_at = t0 + a.grow
    hi = 0          # 1 + the highest index asked for
    answered = 0
    while True:
        now = time.monotonic()
        if now >= quiet_at:
            break
        while due and due[0][0] <= now:
            _, b, bits = due.popleft()
            for j in range(32):
                if bits >> j & 1 and b + j < frags:
                    s.send(datrp(ref, b + j, data))
                    answered += 1
        try:
            while True:
                x = s.recv(2048)
                if len(x) == 21 and x[6] == DATRQ:
                    _r, b, bits = struct.unpack_from("<HII", x, 7)
                    due.append((time.monotonic() + a.late, b, bits))
                    top = b + bits.bit_length()
                    if top > hi:
                        hi = top
        except BlockingIOError:
            pass
        time.sleep(0.0005)
    # Quiet: the requests are read and counted, one reply a second for the
    # last fragment of the file, which no window reaches.
    lo = min((b for _, b, _ in due), default=hi)
    span = hi - lo
    asked = 0
    t1 = time.monotonic()
    nxt = t1
    while time.monotonic() < a.until:
        if time.monotonic() >= nxt:
            s.send(datrp(ref, frags - 1, data))
            nxt += 1.0
        try:
            while True:
                if len(s.recv(2048)) == 21:
                    asked += 1
        except BlockingIOError:
            pass
        time.sleep(0.01)
    report.put((k, "ok", span, answered, asked / (time.monotonic() - t1)))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--srv", default=os.path.join(ROOT, "build", "WISPSrv"))
    ap.add_argument("--sessions", type=int, default=16)
    ap.add_argument("--grow", type=float, default=10.0, help="seconds of late answers")
    ap.add_argument("--late", type=float, default=0.95, help="how late each request is answered, s")
    ap.add_argument("--measure", type=float, default=20.0, help="seconds of the CPU measure")
    ap.add_argument("--stagger", type=float, default=2.0, help="seconds between the peers' starts")
    ap.add_argument("--fgl", type=int, default=32, help="fragment length the peers ask for")
    ap.add_argument("--frags", type=int, default=1000000, help="fragments of each upload")
    ap.add_argument("srvopts", nargs="*", help="server options (after --)")
    a = ap.parse_args()
    opts = a.srvopts or ["-c", "-f", "255"]
    work = tempfile.mkdtemp(prefix="wisp-quiet-")
    srv = Server(work, *opts, prog=a.srv)
    try:
        print("server %s %s, %d quiet uploaders (answers %.2f s late for %.0f s, %d-byte fragments); %d CPUs"
              % (a.srv, " ".join(opts), a.sessions, a.late, a.grow, a.fgl, os.cpu_count()))
        print("before: %s" % open("/proc/loadavg").read().split(" ", 3)[:3])
        start = time.monotonic()
        last_quiet = start + (a.sessions - 1) * a.stagger + a.grow
        m0 = last_quiet + 3.0          # the last peer has been quiet for 3 s
        a.until = m0 + a.measure + 1.0
        report = Queue()
        ps = []
        for k in range(a.sessions):
            while time.monotonic() < start + k * a.stagger:
                time.sleep(0.05)
            p = Process(target=peer, args=(k, srv.port, a, report))
            p.start()
            ps.append(p)
        while time.monotonic() < m0:
            time.sleep(0.05)
        c0, w0 = cpu_of(srv.p.pid), time.monotonic()
        idle = time.monotonic() + a.measure
        while time.monotonic() < idle:
            time.sleep(0.05)
        c1, w1 = cpu_of(srv.p.pid), time.monotonic()
        rows = sorted(report.get(timeout=60) for _ in ps)
        for p in ps:
            p.join(10)
        for k, st, span, answered, rate in rows:
            if st != "ok":
                print("  peer %2d: %s" % (k, st))
            else:
                print("  peer %2d: window %6d fragments when it went quiet, %7d answered; quiet: %6.0f requests/s"
                      % (k, span, answered, rate))
        print("server CPU over %.1f s with %d quiet sessions: %.1f %% of a core"
              % (w1 - w0, a.sessions, 100 * (c1 - c0) / (w1 - w0)))
        print("after:  %s" % open("/proc/loadavg").read().split(" ", 3)[:3])
    finally:
        srv.stop()


if __name__ == "__main__":
    main()
