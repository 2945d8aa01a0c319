#!/usr/bin/env python3
"""Helpers of bench/wan.sh: traffic for the emulated path (bench/linkem) and
the figures of one case from linkem's report. Python standard library only.

    wan.py tcp-serve --bind IP --port P --cc CC (--bytes N | --seconds S)
        accepts one connection and sends N bytes (or for S seconds), then closes
    wan.py tcp-get --to IP --port P --cc CC --limit S
        connects, reads to the end (at most S seconds); prints JSON: bytes, seconds, done
    wan.py probe-recv --bind IP --port P --seconds S
    wan.py probe-send --to IP --port P --rate BIT/S --size B --seconds S
        a paced UDP stream stamped with the sender's monotonic clock (the
        namespaces share it); the receiver prints JSON: the rate it received
        and the one-way delays
    wan.py row --report linkem.json ...   one case's figures as a JSON line
    wan.py table results.jsonl            the table of all cases, medians over repetitions

Times of the benchmark and of linkem are CLOCK_MONOTONIC nanoseconds.
"""
import argparse
import json
import math
import os
import re
import socket
import statistics
import struct
import sys
import time

CHUNK = 1 << 20


def mono_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


# ---- TCP --------------------------------------------------------------------

def set_cc(s, cc):
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_CONGESTION, cc.encode())


def tcp_serve(a):
    ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    set_cc(ls, a.cc)
    ls.bind((a.bind, a.port))
    ls.listen(1)
    ls.settimeout(a.max_seconds)
    print("listening", flush=True)
    c, _ = ls.accept()
    set_cc(c, a.cc)
    c.settimeout(a.max_seconds)
    buf = os.urandom(CHUNK)
    end = time.monotonic() + (a.seconds if a.seconds else a.max_seconds)
    left = a.bytes if a.bytes else None
    try:
        while time.monotonic() < end and (left is None or left > 0):
            n = c.send(memoryview(buf)[:CHUNK if left is None else min(CHUNK, left)])
            if left is not None:
                left -= n
    except OSError:
        pass   # the reader gave up (time limit)
    try:
        c.shutdown(socket.SHUT_WR)
        c.settimeout(5)
        while c.recv(65536):
            pass
    except OSError:
        pass
    c.close()
    ls.close()


def tcp_get(a):
    t0 = time.monotonic()
    s = None
    while True:   # the server may not listen yet
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        set_cc(s, a.cc)
        try:
            s.connect((a.to, a.port))
            break
        except ConnectionRefusedError:
            s.close()
            if time.monotonic() - t0 > 5:
                raise
            time.sleep(0.02)
            t0 = time.monotonic()
    end = t0 + a.limit
    got, last, done = 0, t0, False
    while True:
        left = end - time.monotonic()
        if left <= 0:
            break
        s.settimeout(left)
        try:
            b = s.recv(CHUNK)
        except socket.timeout:
            break
        if not b:
            done = True
            break
        got += len(b)
        last = time.monotonic()
    s.close()
    print(json.dumps({"bytes": got, "seconds": (last if done else time.monotonic()) - t0, "done": done}))


# ---- paced UDP probe ------------------------------------------------------------

def probe_send(a):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    payload = a.size - 28           # IP and UDP headers
    gap = a.size * 8 / a.rate       # seconds between packets
    pad = bytes(max(0, payload - 12))
    t0 = time.monotonic()
    n = int(a.seconds / gap)
    for k in range(n):
        due = t0 + k * gap
        while True:
            d = due - time.monotonic()
            if d <= 0:
                break
            if d > 0.0002:
                time.sleep(d - 0.0001)
        s.sendto(struct.pack("<QI", mono_ns(), k) + pad, (a.to, a.port))
    s.sendto(b"end", (a.to, a.port))
    print(json.dumps({"sent": n, "seconds": time.monotonic() - t0}))


def probe_recv(a):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    s.bind((a.bind, a.port))
    s.settimeout(a.seconds + 10)
    print("listening", flush=True)
    delays, times, sizes = [], [], []
    try:
        while True:
            b = s.recv(65536)
            now = mono_ns()
            if b == b"end":
                break
            sent, _ = struct.unpack_from("<QI", b)
            delays.append((now - sent) / 1e6)
            times.append(now / 1e9)
            sizes.append(len(b) + 28)
    except socket.timeout:
        pass
    out = {"received": len(delays)}
    if len(times) > 10:
        # The rate over the middle 80 % of the stream (start-up and end left out).
        i, j = len(times) // 10, len(times) * 9 // 10
        out["rate"] = sum(sizes[i:j]) * 8 / (times[j] - times[i])
        d = sorted(delays)
        out.update(delay_min_ms=d[0], delay_p50_ms=d[len(d) // 2], delay_p99_ms=d[len(d) * 99 // 100],
                   delay_max_ms=d[-1])
    print(json.dumps(out))


# ---- one case's figures -----------------------------------------------------------

def free_line_counters(log):
    """The counters of the receiver of the last transfer in a log, from its
    last "Free rcv" line (the low 16 bits of each): eNull eWnd eLen eDup eTO."""
    if not log or not os.path.exists(log):
        return None
    with open(log, "rb") as f:
        text = f.read().decode("latin-1")
    # Five counters in hexadecimal, four columns each, padded with blanks.
    m = re.findall(r"Free rcv \d+ ers((?: [ 0-9A-Fa-f]{4}){5})", text)
    if not m:
        return None
    return [int(x, 16) for x in m[-1].split()]


def find_flows(d, proto, port):
    return [f for f in d["flows"] if f["proto"] == proto and port in (f["sport"], f["dport"])]


def emulator_figures(rep, r):
    """How late the emulator delivered, both directions of a case."""
    ds = rep["dirs"].values()
    r["late_p99_us"] = max(d["late_p99_us"] for d in ds)
    r["late_max_us"] = max(d["late_max_us"] for d in ds)
    r["late_1ms"] = sum(d["late_1ms"] for d in ds)
    r["forwarded"] = sum(d["forwarded"] for d in ds)


def open_report(a):
    """linkem's report of a case: the report, the data's direction, its rate,
    the timeline's bin in s, the timeline's and the case's start in s."""
    rep = json.load(open(a.report))
    return (rep, rep["dirs"][a.dir], rep["params"][a.dir]["rate"], rep["bin_ms"] / 1000,
            rep["t0_mono_ns"] / 1e9, a.start_ns / 1e9)


def row(a):
    r = {"path": a.path, "case": a.case, "rep": a.rep, "kind": a.kind}
    if a.kind == "na":
        r["note"] = a.note
        print(json.dumps(r))
        return
    rep, d, rate, bin_s, t0, start = open_report(a)
    rtt = a.rtt_ms / 1000
    flows = find_flows(d, a.proto, a.port)
    ids = {str(f["id"]) for f in flows}
    sent = sum(f["packets"] + f["dropped_queue"] + f["dropped_random"] for f in flows)
    r["sent"] = sent
    r["dropped_queue"] = sum(f["dropped_queue"] for f in flows)
    r["lost"] = sum(f["dropped_queue"] + f["dropped_random"] for f in flows)
    r["drop_share"] = r["dropped_queue"] / sent if sent else None
    r["queue_p50_ms"] = d["queue_p50_us"] / 1000
    r["queue_p95_ms"] = d["queue_p95_us"] / 1000
    emulator_figures(rep, r)
    # Timeline of the flow(s): bytes per bin, from the client's start.
    tl = [(t0 + b[0] * bin_s - start, sum(v for k, v in b[6].items() if k in ids), b[4]) for b in d["timeline"]]
    full = rate / 8 * bin_s
    reach = next((t + bin_s for t, by, _ in tl if t >= 0 and by >= 0.9 * full), None)
    r["t90_s"] = reach
    settle = 10 * rtt + 0.5
    last = max((t for t, by, _ in tl if by > 0), default=0)
    waits = [w for t, by, w in tl if settle <= t < last and by > 0]
    r["queue_p50_after_ms"] = statistics.median(waits) / 1000 if waits else None
    if a.kind == "wisp":
        out = open(a.out, encoding="latin-1").read() if os.path.exists(a.out) else ""
        m = re.search(r"Transmission successful\. (\d+) B, (\d+) ms", out)
        r["done"] = bool(m) and a.ok == 1
        if m:
            r["share"] = int(m.group(1)) * 8 / (int(m.group(2)) / 1000) / rate
            r["seconds"] = int(m.group(2)) / 1000
        else:
            # Unfinished: what reached the receiver in the time limit, IP bytes.
            r["share"] = sum(by for t, by, _ in tl if 0 <= t < a.limit) * 8 / a.limit / rate
            r["seconds"] = a.limit
        e = free_line_counters(a.log)
        # Received twice (eDup + eWnd), and asked for again (eTO).
        r["twice"] = e[1] + e[3] if e else None
        r["again"] = e[4] if e else None
    elif a.kind == "tcp":
        res = json.loads(open(a.out).read().strip().splitlines()[-1])
        r["done"] = res["done"]
        r["share"] = res["bytes"] * 8 / res["seconds"] / rate if res["seconds"] > 0 else 0
        r["seconds"] = res["seconds"]
        r["twice"] = None
        r["again"] = None
    if a.window:
        # Shares of the bottleneck per flow over [start, start + window].
        per = []
        for f in flows:
            k = str(f["id"])
            by = sum(b[6].get(k, 0) for b in d["timeline"] if 0 <= t0 + b[0] * bin_s - start < a.window)
            per.append(by * 8 / a.window / rate)
        r["flow_shares"] = per
    print(json.dumps(r))


def share_row(a):
    """Sharing cases: the shares of several flows of one report over a window."""
    rep, d, rate, bin_s, t0, start = open_report(a)
    r = {"path": a.path, "case": a.case, "rep": a.rep, "kind": "share", "shares": {}}
    for want in a.flow:
        name, proto, port, k = want.split(":")
        flows = find_flows(d, proto, int(port))[int(k):int(k) + 1]
        ids = {str(f["id"]) for f in flows}
        by = sum(v for b in d["timeline"] if 0 <= t0 + b[0] * bin_s - start < a.window
                 for k, v in b[6].items() if k in ids)
        r["shares"][name] = by * 8 / a.window / rate
        sent = sum(f["packets"] + f["dropped_queue"] + f["dropped_random"] for f in flows)
        if proto == "udp":
            r.setdefault("drop_share", {})[name] = (sum(f["dropped_queue"] for f in flows) / sent) if sent else None
    r["total"] = sum(r["shares"].values())
    emulator_figures(rep, r)
    r["queue_p50_ms"] = d["queue_p50_us"] / 1000
    print(json.dumps(r))


def fmt(x, form, none="-"):
    return none if x is None else format(x, form)


def table(a):
    rows = [json.loads(l) for l in open(a.results) if l.strip()]
    order = []
    groups = {}
    for r in rows:
        key = (r["path"], r["case"])
        if key not in groups:
            order.append(key)
            groups[key] = []
        groups[key].append(r)

    def med(rs, k):
        v = [r[k] for r in rs if r.get(k) is not None]
        return statistics.median(v) if v else None

    print("%-26s %-34s %6s %5s %7s %8s %8s %6s %7s %7s %7s %7s" % (
        "path", "case", "share", "runs", "drop %", "q p50 ms", "q after", "t0.9 s", "twice", "again", "lost", "done"))
    for key in order:
        rs = groups[key]
        path, case = key
        k = rs[0]["kind"]
        if k == "na":
            print("%-26s %-34s %s" % (path, case, "n/a: " + rs[0]["note"]))
        elif k == "share":
            names = list(rs[0]["shares"])
            parts = ["%s %s" % (n, fmt(statistics.median(r["shares"][n] for r in rs), ".3f")) for n in names]
            drops = ""
            if rs[0].get("drop_share"):
                drops = ", drop % " + " ".join(
                    "%s %s" % (n, fmt(statistics.median(r["drop_share"][n] for r in rs if r["drop_share"][n] is not None) * 100, ".2f"))
                    for n in rs[0]["drop_share"])
            print("%-26s %-34s shares: %s, together %s, q p50 %s ms%s" % (
                path, case, ", ".join(parts), fmt(med(rs, "total"), ".3f"), fmt(med(rs, "queue_p50_ms"), ".1f"),
                drops))
        else:
            shares = [r["share"] for r in rs]
            spread = "" if len(shares) < 2 else " (%.2f-%.2f)" % (min(shares), max(shares))
            ds = med(rs, "drop_share")
            done = sum(1 for r in rs if r.get("done"))
            print("%-26s %-34s %6s %5d %7s %8s %8s %6s %7s %7s %7s %7s%s" % (
                path, case, fmt(med(rs, "share"), ".3f"), len(rs), fmt(None if ds is None else ds * 100, ".2f"),
                fmt(med(rs, "queue_p50_ms"), ".1f"), fmt(med(rs, "queue_p50_after_ms"), ".1f"),
                fmt(med(rs, "t90_s"), ".2f"), fmt(med(rs, "twice"), ".0f"), fmt(med(rs, "again"), ".0f"),
                fmt(med(rs, "lost"), ".0f"),
                "%d/%d" % (done, len(rs)) if done == len(rs) else "%d/%d, limit %.0f s" % (
                    done, len(rs), max(r["seconds"] for r in rs)), spread))
    timed = [r for r in rows if "forwarded" in r]
    if timed:
        print("emulator over these cases: delivery late by at most %d us at the 99th percentile of a case "
              "(%d us at most), %d of %d packets 1 ms late or more" % (
                  max(r["late_p99_us"] for r in timed), max(r["late_max_us"] for r in timed),
                  sum(r["late_1ms"] for r in timed), sum(r["forwarded"] for r in timed)))


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    p = sub.add_parser("tcp-serve")
    p.add_argument("--bind", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--cc", default="cubic")
    p.add_argument("--bytes", type=int, default=0)
    p.add_argument("--seconds", type=float, default=0)
    p.add_argument("--max-seconds", type=float, default=300)
    p = sub.add_parser("tcp-get")
    p.add_argument("--to", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--cc", default="cubic")
    p.add_argument("--limit", type=float, default=90)
    p = sub.add_parser("probe-send")
    p.add_argument("--to", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--rate", type=float, required=True)
    p.add_argument("--size", type=int, default=1500)
    p.add_argument("--seconds", type=float, default=5)
    p = sub.add_parser("probe-recv")
    p.add_argument("--bind", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--seconds", type=float, default=5)
    p = sub.add_parser("row")
    for k in ("report", "path", "case", "kind", "dir", "proto", "out", "log", "note"):
        p.add_argument("--" + k, default="")
    p.add_argument("--rep", type=int, default=1)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--start-ns", type=int, default=0)
    p.add_argument("--rtt-ms", type=float, default=0)
    p.add_argument("--limit", type=float, default=90)
    p.add_argument("--window", type=float, default=0)
    p.add_argument("--ok", type=int, default=0)
    p = sub.add_parser("share")
    for k in ("report", "path", "case", "dir"):
        p.add_argument("--" + k, default="")
    p.add_argument("--rep", type=int, default=1)
    p.add_argument("--start-ns", type=int, default=0)
    p.add_argument("--window", type=float, default=30)
    p.add_argument("--flow", action="append", default=[], help="NAME:PROTO:PORT:K, the K-th such flow (from 0)")
    p = sub.add_parser("table")
    p.add_argument("results")
    p = sub.add_parser("now")
    a = ap.parse_args()
    if a.cmd == "now":
        print(mono_ns())
        return 0
    {"tcp-serve": tcp_serve, "tcp-get": tcp_get, "probe-send": probe_send, "probe-recv": probe_recv,
     "row": row, "share": share_row, "table": table}[a.cmd](a)
    return 0


if __name__ == "__main__":
    sys.exit(main())
