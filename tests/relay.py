#!/usr/bin/env python3
"""Impairment relay for WISP tests: a UDP relay on loopback between clients
and one server that loses, duplicates, reorders, delays and corrupts
datagrams, each direction on its own, from a seed, and can drop everything
for timed outages.

A client is pointed at the relay (-a 127.0.0.1 -p <relay port>); the relay
gives every client endpoint its own upstream socket towards the server, so the
server sees one endpoint per client, and sends the server's answers back from
the port the client talked to, as the client requires.

    relay.py --server 127.0.0.1:667 [--listen 127.0.0.1:0] [--seed 1]
             [--c2s PROFILE] [--s2c PROFILE] [--outage START:SECONDS ...]
             [--stats FILE] [--trace FILE] [--max-seconds N]

PROFILE is a comma-separated list of key=value (all optional, probabilities
0..1, times in ms):
    loss=P      drop the datagram
    dup=P       send it twice
    reorder=P   hold it back by `hold` ms (default 5) so later ones overtake it
    hold=MS     the hold-back of a reordered datagram
    delay=MS    fixed delay of every datagram
    jitter=MS   plus a uniform random delay 0..MS
    flip=P      flip one random bit of the datagram
    flipstop=N  no flips after the N-th datagram of this direction
An outage START is seconds after the first datagram from a client, or @N:
after the N-th datagram from clients; all traffic both ways is dropped for
SECONDS.

With --trace every datagram gets a line in FILE when the relay takes it:
"<seconds of the monotonic clock> <c2s|s2c> <lost|outage|sent> <hex of its
first 21 bytes>" (sent: at least one copy will go out).

The first line on standard output is "relay listening on <port>". On SIGTERM
or SIGINT (or after --max-seconds) the relay writes its counters as JSON to
the stats file (if given) and to standard output, and ends. Counters per
direction: seen, lost, dup, reordered, flipped (copies delivered with one bit
flipped), outage (dropped by an outage), sent.
"""
import argparse
import heapq
import json
import random
import select
import signal
import socket
import sys
import time

KEYS = ("loss", "dup", "reorder", "hold", "delay", "jitter", "flip", "flipstop")


def parse_spec(text):
    profile = dict(loss=0.0, dup=0.0, reorder=0.0, hold=5.0, delay=0.0, jitter=0.0, flip=0.0, flipstop=-1)
    if text:
        for item in text.split(","):
            k, _, v = item.partition("=")
            k = k.strip()
            if k not in KEYS:
                raise SystemExit("relay: unknown key %r in %r" % (k, text))
            profile[k] = int(v) if k == "flipstop" else float(v)
    return profile


def parse_endpoint(text):
    host, _, port = text.rpartition(":")
    return host or "127.0.0.1", int(port)


class Direction:
    """The impairments and counters of one direction."""

    def __init__(self, name, profile, rng):
        self.name = name
        self.s = profile
        self.rng = rng
        self.c = dict(seen=0, lost=0, dup=0, reordered=0, flipped=0, outage=0, sent=0)

    def plan(self, data, now):
        """The copies to send as (time, bytes), after loss, corruption and duplication."""
        s, r, c = self.s, self.rng, self.c
        c["seen"] += 1
        # Every decision draws from the generator in the same order whatever
        # the outcome, so one seed gives one sequence of decisions.
        lose, dup, reo = r.random(), r.random(), r.random()
        flips = [r.random(), r.random()]
        bits = [r.randrange(max(1, len(data) * 8)), r.randrange(max(1, len(data) * 8))]
        jit = [r.random(), r.random()]
        if lose < s["loss"]:
            c["lost"] += 1
            return []
        copies = 2 if dup < s["dup"] else 1
        if copies == 2:
            c["dup"] += 1
        base = now + s["delay"] / 1000.0
        if reo < s["reorder"]:
            c["reordered"] += 1
            base += s["hold"] / 1000.0
        out = []
        may_flip = s["flipstop"] < 0 or c["seen"] <= s["flipstop"]
        for k in range(copies):
            x = data
            if may_flip and data and flips[k] < s["flip"]:
                b = bytearray(data)
                b[bits[k] // 8] ^= 1 << (bits[k] % 8)
                x = bytes(b)
                c["flipped"] += 1
            out.append((base + jit[k] * s["jitter"] / 1000.0, x))
        return out


class Relay:
    def __init__(self, args):
        self.server = parse_endpoint(args.server)
        self.front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.front.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 21)
        self.front.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 21)
        self.front.bind(parse_endpoint(args.listen))
        self.front.setblocking(False)
        rng = random.Random(args.seed)
        self.dirs = dict(c2s=Direction("c2s", parse_spec(args.c2s), random.Random(rng.random())),
                         s2c=Direction("s2c", parse_spec(args.s2c), random.Random(rng.random())))
        self.trace = open(args.trace, "w") if args.trace else None
        self.outages = []
        for o in args.outage or []:
            start, _, dur = o.partition(":")
            self.outages.append((start, float(dur)))
        self.first = None        # time of the first datagram from a client
        self.c2s_count = 0
        self.active = []         # outages as (from, to) once their start is known
        self.up = {}             # client endpoint -> upstream socket
        self.down = {}           # upstream socket fd -> (socket, client endpoint)
        self.queue = []          # (time, seq, socket, bytes, destination)
        self.seq = 0
        self.stop = False

    def in_outage(self, now):
        for start, dur in self.outages:
            if start.startswith("@"):
                if self.c2s_count >= int(start[1:]) and not any(a[2] == start for a in self.active):
                    self.active.append((now, now + dur, start))
            elif self.first is not None and not any(a[2] == start for a in self.active):
                t0 = self.first + float(start)
                self.active.append((t0, t0 + dur, start))
        return any(a <= now < b for a, b, _ in self.active)

    def upstream(self, client):
        s = self.up.get(client)
        if s is None:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 21)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 21)
            s.bind(("127.0.0.1", 0))
            s.setblocking(False)
            self.up[client] = s
            self.down[s.fileno()] = (s, client)
        return s

    def log(self, d, fate, data, now):
        if self.trace:
            self.trace.write("%.6f %s %s %s\n" % (now, d.name, fate, data[:21].hex()))

    def take(self, d, data, sock, dest, now):
        if self.in_outage(now):
            d.c["seen"] += 1
            d.c["outage"] += 1
            self.log(d, "outage", data, now)
            return
        plan = d.plan(data, now)
        self.log(d, "sent" if plan else "lost", data, now)
        for t, x in plan:
            if t <= now and not self.queue:
                self.send(d, sock, x, dest)
            else:
                self.seq += 1
                heapq.heappush(self.queue, (t, self.seq, d, sock, x, dest))

    def send(self, d, sock, x, dest):
        try:
            sock.sendto(x, dest)
            d.c["sent"] += 1
        except (BlockingIOError, ConnectionRefusedError, OSError):
            pass

    def drain(self, sock, limit=64):
        """Up to limit datagrams from sock as (bytes, source)."""
        got = []
        for _ in range(limit):
            try:
                got.append(sock.recvfrom(65536))
            except (BlockingIOError, ConnectionRefusedError):
                break
        return got

    def run(self, max_seconds):
        end = time.monotonic() + max_seconds
        while not self.stop:
            now = time.monotonic()
            if now >= end:
                break
            while self.queue and self.queue[0][0] <= now:
                _, _, d, sock, x, dest = heapq.heappop(self.queue)
                self.send(d, sock, x, dest)
            timeout = 0.2
            if self.queue:
                timeout = max(0.0, min(timeout, self.queue[0][0] - now))
            socks = [self.front] + [s for s, _ in self.down.values()]
            try:
                ready, _, _ = select.select(socks, [], [], timeout)
            except InterruptedError:
                continue
            now = time.monotonic()
            for s in ready:
                if s is self.front:
                    for data, src in self.drain(s):
                        if self.first is None:
                            self.first = now
                        self.c2s_count += 1
                        self.take(self.dirs["c2s"], data, self.upstream(src), self.server, now)
                else:
                    _, client = self.down[s.fileno()]
                    for data, src in self.drain(s):
                        if src != self.server:
                            continue
                        self.take(self.dirs["s2c"], data, self.front, client, now)

    def stats(self):
        return {k: d.c for k, d in self.dirs.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--server", required=True)
    ap.add_argument("--listen", default="127.0.0.1:0")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--c2s", default="")
    ap.add_argument("--s2c", default="")
    ap.add_argument("--outage", action="append")
    ap.add_argument("--stats")
    ap.add_argument("--trace")
    ap.add_argument("--max-seconds", type=float, default=600.0)
    args = ap.parse_args()
    for ep in (args.server, args.listen):
        host = parse_endpoint(ep)[0]
        if not host.startswith("127."):
            raise SystemExit("relay: loopback addresses only, not %r" % host)
    r = Relay(args)

    def on_signal(*_):
        r.stop = True

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    print("relay listening on %d" % r.front.getsockname()[1], flush=True)
    r.run(args.max_seconds)
    if r.trace:
        r.trace.close()
    st = json.dumps(r.stats())
    if args.stats:
        with open(args.stats, "w") as f:
            f.write(st)
    print(st, flush=True)


if __name__ == "__main__":
    main()
