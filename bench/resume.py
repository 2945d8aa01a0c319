#!/usr/bin/env python3
"""Figures of -k (an interrupted transfer goes on where it stopped):

  wan   A get of -m MiB (256) over bench/linkem (100 Mbit/s, RTT 50 ms, 1 %
        loss each way; client -c -k, server -f 255), the client killed by
        SIGKILL once its partial file reaches 60 % of the file, then a
        second -c -k get: the data replies the server sent in it (its log's
        closing txn, the server restarted before the second run) against the
        fragments that were missing (from the client's "Resuming" line), and
        the file compared byte for byte. Then the same for a put (client -c,
        server -c -f 255 -k): the server killed by SIGKILL at 60 % of its
        partial upload and restarted; the fragments the second run sent (the
        client's txn) against those the server's record lacked.
  loop  -n (200) interruptions at random moments on loopback, files of 3 to
        12 MiB (a record is saved every 4 MiB): kill -9 of the client in gets, of the server in puts (the
        client then stopped too), until each file arrives; the moments are
        drawn over the whole expected transfer time, so some fall after the
        data (the final check, the commit). After every kill the target name
        holds nothing or the whole right file; every final file is compared
        byte for byte; no partial file may be left after a success.

  sudo python3 bench/resume.py [-b build directory, build] [-m MiB, 256]
                               [-n interruptions, 200] [-s seed, 1] [wan] [loop]

Needs root for the wan part (network namespaces). Not a test: it prints
figures and exits 1 when a file is ever wrong or a transfer does not end."""
import argparse
import os
import random
import re
import shutil
import signal
import struct
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

ap = argparse.ArgumentParser()
ap.add_argument("-b", default=os.path.join(HERE, "..", "build"))
ap.add_argument("-m", type=int, default=256)
ap.add_argument("-n", type=int, default=200)
ap.add_argument("-s", type=int, default=1)
ap.add_argument("parts", nargs="*", default=["wan", "loop"])
opt = ap.parse_args()
os.environ["WISP_CLI"] = os.path.join(opt.b, "WISPCli")
os.environ["WISP_SRV"] = os.path.join(opt.b, "WISPSrv")
os.environ["WISP_LINKEM"] = os.path.join(opt.b, "linkem")

from wisp_test_util import (Client, LinkEm, MTIME, PART, PARTS, REC, Server, free_port, linkem_unavailable,  # noqa: E402
                            log_texts, read, wait_for, write)

FGL = 1455
bad = 0


def counts(path):
    """txn and rxn of the last closing line of the log at path."""
    line = [t for t in log_texts(read(path).decode("latin-1")) if t.startswith("DoneModule txn ")][-1]
    f = line.split()
    return {f[k]: int(f[k + 1]) for k in range(1, len(f) - 1, 2)}


def held(rec):
    """Fragments a record names: its prefix and the flags set beyond it."""
    x = read(rec)
    p, b = struct.unpack_from("<II", x, 52)
    return p + sum(bin(v).count("1") for v in x[268:268 + (b + 7) // 8])


def same(a, b):
    return os.path.exists(b) and read(a) == read(b)


def size_of(p):
    try:
        return os.path.getsize(p)
    except OSError:
        return 0


def wan():
    global bad
    why = linkem_unavailable()
    if why:
        print("wan: skipped,", why)
        return
    size = opt.m * 1048576
    frags = -(-size // FGL)
    root = tempfile.mkdtemp(prefix="wisp-resume-")
    sdir, cdir = os.path.join(root, "srv"), os.path.join(root, "cli")
    os.mkdir(sdir)
    os.mkdir(cdir)
    write(os.path.join(sdir, "down.bin"), os.urandom(size))
    write(os.path.join(cdir, "up.bin"), os.urandom(size))
    os.sync()
    link = LinkEm("--rate", "100e6", "--queue-ms", "100", "--delay-ms", "25", "--loss", "0.01", "--rt", "10",
                  seed=opt.s, max_seconds=1200)
    runs = []
    adr = LinkEm.ADDR[1]
    port = free_port()

    def server(*a):
        s = Server(sdir, *a, addr=adr, port=port, pre=link.pre(1))
        runs.append(s)
        return s

    def client(*a):
        c = Client(cdir, "-a", adr, "-p", port, *a, pre=link.pre(0))
        runs.append(c)
        return c

    try:
        # ---- get ----
        srv = server("-f", "255")
        c = client("-c", "-k", "get", "down.bin")
        part = os.path.join(cdir, "down.bin" + PART)
        t0 = time.monotonic()
        ok = wait_for(lambda: size_of(part) >= 0.6 * size or not c.alive(), 600, 0.01)
        os.kill(c.p.pid, signal.SIGKILL)
        c.finish()
        print("get: client killed at %.1f s, partial file %.1f %%" % (time.monotonic() - t0, 100.0 * size_of(part) / size))
        srv.stop()
        srv = server("-f", "255")
        c = client("-c", "-k", "get", "down.bin")
        rc, out, _ = c.finish(600)
        srv.stop()
        m = re.search(r"Resuming, (\d+) B already received\.", out)
        have = int(m.group(1)) // FGL if m else 0
        missing = frags - have
        sent = counts(os.path.join(sdir, "WISPSrv.log"))["txn"]
        good = rc == 0 and same(os.path.join(sdir, "down.bin"), os.path.join(cdir, "down.bin"))
        bad += 0 if good and ok else 1
        res = [l for l in out.split("\n") if "successful" in l]
        print("get: second run rc %d, %s; held %d of %d fragments, missing %d, the server sent %d datagrams: "
              "%.4f x what was missing; file %s" % (rc, res[0].strip() if res else "-", have, frags, missing, sent,
                                                    sent / max(missing, 1), "verified" if good else "WRONG"))
        # ---- put ----
        srv = server("-c", "-f", "255", "-k")
        c = client("-c", "put", "up.bin")
        part = os.path.join(sdir, PARTS, "up.bin" + PART)
        rec = os.path.join(sdir, PARTS, "up.bin" + REC)
        t0 = time.monotonic()
        ok = wait_for(lambda: size_of(part) >= 0.6 * size or not srv.alive(), 600, 0.01)
        os.kill(srv.p.pid, signal.SIGKILL)
        srv.finish()
        print("put: server killed at %.1f s, partial upload %.1f %%" % (time.monotonic() - t0, 100.0 * size_of(part) / size))
        os.kill(c.p.pid, signal.SIGKILL)   # it would wait 30 s for the server
        c.finish()
        have = held(rec) if os.path.exists(rec) else 0
        missing = frags - have
        srv = server("-c", "-f", "255", "-k")
        c = client("-c", "put", "up.bin")
        rc, out, _ = c.finish(600)
        srv.stop()
        sent = counts(os.path.join(cdir, "WISPCli.log"))["txn"]
        good = rc == 0 and same(os.path.join(cdir, "up.bin"), os.path.join(sdir, "up.bin"))
        bad += 0 if good and ok else 1
        res = [l for l in out.split("\n") if "successful" in l]
        print("put: second run rc %d, %s; the server's record held %d of %d fragments, missing %d, the client sent "
              "%d datagrams: %.4f x what was missing; file %s" % (rc, res[0].strip() if res else "-", have, frags,
                                                                   missing, sent, sent / max(missing, 1),
                                                                   "verified" if good else "WRONG"))
    finally:
        for r in runs:
            r.stop()
        link.stop()
        shutil.rmtree(root, ignore_errors=True)


def loop():
    """Random interruptions on loopback (see the head of this file)."""
    global bad
    rnd = random.Random(opt.s)
    root = tempfile.mkdtemp(prefix="wisp-resume-loop-")
    sdir, cdir = os.path.join(root, "srv"), os.path.join(root, "cli")
    os.mkdir(sdir)
    os.mkdir(cdir)
    port = free_port()
    runs = []
    srv = Server(sdir, "-k", port=port)
    runs.append(srv)
    rate = 14.5e6   # the defaults: 10 fragments per ms
    st = dict(kills=0, get_kills=0, put_kills=0, late=0, attempts=0, done=0, verified=0, wrong=0, left=0,
              failed=0, resumed=0, resumed_put=0, stale=0)
    serial = 0

    def new_job():
        nonlocal serial
        serial += 1
        mode = "get" if serial % 2 else "put"
        name = "f%03d.bin" % serial
        data = os.urandom(rnd.randint(3 * 1048576, 12 * 1048576))
        src = write(os.path.join(sdir if mode == "get" else cdir, name), data, MTIME + serial * 2)
        dst = os.path.join(cdir if mode == "get" else sdir, name)
        return dict(mode=mode, name=name, src=src, dst=dst, size=len(data))

    def attempt(j, kill_at):
        """One run of job j, killed after kill_at s unless it ends before;
        True when the file arrived."""
        nonlocal srv
        st["attempts"] += 1
        args = ["-k", "get"] if j["mode"] == "get" else ["put"]
        c = Client(cdir, "-p", port, *args, j["name"])
        runs.append(c)
        end = time.monotonic() + kill_at
        wait_for(lambda: not c.alive() or time.monotonic() >= end, kill_at + 1, 0.005)
        if c.alive():
            late = any(l.startswith("SetState: Closing") for l in c.log()[-20:])
            st["kills"] += 1
            st["late"] += 1 if late else 0
            if j["mode"] == "get":
                st["get_kills"] += 1
                os.kill(c.p.pid, signal.SIGKILL)
                c.finish()
            else:
                st["put_kills"] += 1
                os.kill(srv.p.pid, signal.SIGKILL)
                srv.finish()
                os.kill(c.p.pid, signal.SIGKILL)
                c.finish()
                srv = Server(sdir, "-k", port=port)
                runs.append(srv)
            # Nothing, or the whole right file (a kill after its commit).
            if os.path.exists(j["dst"]) and not same(j["src"], j["dst"]):
                st["wrong"] += 1
            j["killed"] = True
            return same(j["src"], j["dst"])
        rc, out, _ = c.finish()
        if "Resuming" in out:
            st["resumed"] += 1
        if j["mode"] == "put" and srv.wait_log(r"^Part kept '%s'$" % re.escape(j["name"]), 0):
            st["resumed_put"] += 1
        if rc != 0:
            st["failed"] += 1
            print("  %s %s ended with %d: %s" % (j["mode"], j["name"], rc, out.strip().split("\n")[-1]))
            if os.path.exists(j["dst"]) and not same(j["src"], j["dst"]):
                st["wrong"] += 1
            return False
        j["killed"] = False
        return True

    def settle(j):
        st["done"] += 1
        if same(j["src"], j["dst"]):
            st["verified"] += 1
        else:
            st["wrong"] += 1
        parts = os.listdir(cdir) + [os.path.join(PARTS, n) for n in os.listdir(os.path.join(sdir, PARTS))]
        left = [n for n in parts if n.endswith(j["name"] + PART) or n.endswith(j["name"] + REC)]
        if left:
            # A kill between the commit and the record's removal leaves a record
            # without its partial file: it claims nothing.
            st["stale" if j["killed"] and left == [j["name"] + REC] else "left"] += 1
            print("  %s %s: left %s after a %s" % (j["mode"], j["name"], left,
                                                 "kill after the commit" if j["killed"] else "success"))

    try:
        t0 = time.monotonic()
        while st["kills"] < opt.n:
            j = new_job()
            while st["kills"] < opt.n:
                expect = 0.15 + j["size"] / rate
                if attempt(j, rnd.uniform(0.0, 1.3 * expect)):
                    break
            else:
                # The last job goes on without interruptions.
                for _ in range(5):
                    if attempt(j, 60):
                        break
            settle(j)
        secs = time.monotonic() - t0
        print("loop: %d interruptions (%d gets: client killed, %d puts: server killed; %d after the data, in the "
              "check or commit) in %d attempts, %.0f s" % (st["kills"], st["get_kills"], st["put_kills"], st["late"],
                                                          st["attempts"], secs))
        print("loop: %d files done, %d verified, %d wrong, %d with a partial file left after a success, %d runs "
              "that ended with an error; %d gets and %d puts went on from a partial file; %d records without "
              "their partial file left by a kill between the commit and the record's removal" %
              (st["done"], st["verified"], st["wrong"], st["left"], st["failed"], st["resumed"], st["resumed_put"],
               st["stale"]))
        bad += st["wrong"] + st["left"] + (st["done"] - st["verified"])
    finally:
        for r in runs:
            r.stop()
        shutil.rmtree(root, ignore_errors=True)


if "wan" in opt.parts:
    wan()
if "loop" in opt.parts:
    loop()
sys.exit(1 if bad else 0)
