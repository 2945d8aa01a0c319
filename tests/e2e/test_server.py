"""End-to-end tests of WISPSrv: the real server on a loopback port of its own,
driven with raw telegrams built by the tests' own encoder (wisp_test_util),
answers compared byte for byte.

Environment: WISP_SRV is the server program. Each test runs the server in a
temporary directory of its own, feeds keys through a pipe on standard input
and stops the server by its PID when it ends.
"""
import errno
import hashlib
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from wisp_test_util import (CLOSE, DATRP, DATRQ, ERR_BSY, ERR_CHK, ERR_NULL, ERR_RID, PART, PARTS, RDRQ, REC, SRV,
                            SRV_COUNTERS, WRRQ, Client, Server, close, datrp, datrq, packed_local, rdrp, rdrq, read,
                            tel, wait_for, write, wrrp, wrrq)

# The server's refusals carry the error and zeros in every other field.
REFUSED = dict(f=0, t=0, n=0, ref=0)
COUNTER_LINE = re.compile(r"^(?:[ 0-9A-F]{3} ){%d,%d}$" % (len(SRV_COUNTERS) - 1, len(SRV_COUNTERS)), re.M)
ALLOC = re.compile(r"Alloc idx (\d+) dst ")


def frags(data, fgl=1455):
    return [data[k:k + fgl] for k in range(0, len(data), fgl)]


_ns = {}


def mount_namespaces(where):
    """Why a server cannot get a tmpfs of its own in a mount namespace here,
    or None when it can (root, unshare and mount)."""
    if "why" not in _ns:
        d = tempfile.mkdtemp(prefix="wisp-ns-", dir=where)
        try:
            r = subprocess.run(["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o size=64k tmpfs "$0"', d],
                               capture_output=True, timeout=10)
            _ns["why"] = None if r.returncode == 0 else \
                "no tmpfs in a mount namespace (needs root, unshare and mount): " + r.stderr.decode().strip()
        except (OSError, subprocess.TimeoutExpired) as e:
            _ns["why"] = "no tmpfs in a mount namespace: %s" % e
        finally:
            os.rmdir(d)
    return _ns["why"]


def in_mount(wd, mount, then=""):
    """The command that runs the server with the file system of the mount
    arguments mounted over wd in a mount namespace of its own; then is shell
    run there first (with $0 the directory)."""
    return ["unshare", "-m", "sh", "-c", 'mount %s "$0" && %s cd "$0" && exec "$@"' % (mount, then), wd]


def in_tmpfs(wd, size, then=""):
    """The server in a tmpfs of the given size over wd (in_mount)."""
    return in_mount(wd, "-t tmpfs -o size=%s tmpfs" % size, then)


def whole_seconds_fs(where):
    """An image in where of a file system that keeps whole seconds (ext4 with
    128-byte inodes, 8 MiB) to mount over a server's directory, or None when
    it cannot be made."""
    mke2fs = shutil.which("mke2fs") or shutil.which("mke2fs", path="/sbin:/usr/sbin")
    img = os.path.join(where, "coarse.img")
    with open(img, "wb") as f:
        f.truncate(8 << 20)
    if mke2fs is None or subprocess.run([mke2fs, "-q", "-F", "-t", "ext4", "-I", "128", img],
                                        capture_output=True).returncode != 0:
        return None
    return img


class Peer:
    """One client endpoint: a UDP socket of its own on a loopback address."""
    def __init__(self, srv, host="127.0.0.1"):
        self.srv = srv
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.bind((host, 0))
        self.port = self.s.getsockname()[1]

    def send(self, x):
        self.s.sendto(x, ("127.0.0.1", self.srv.port))

    def recv(self, timeout=2.0):
        """The next datagram from the server, or None after timeout seconds."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return None
            self.s.settimeout(left)
            try:
                x, a = self.s.recvfrom(4096)
            except socket.timeout:
                return None
            if a == ("127.0.0.1", self.srv.port):
                return x

    def ask(self, x, timeout=2.0):
        self.send(x)
        return self.recv(timeout)

    def close(self):
        self.s.close()

class PeeredServer(Server):
    """The server with UDP peers of the test's own; its counters are taken
    after a sync, without the syncs' own counts."""
    def __init__(self, tc, wd, *args, pre=(), logged=True):
        super().__init__(wd, *args, ready="InitModule cnt 16" if logged else None, pre=pre)
        self.tc = tc
        tc.addCleanup(self.stop)
        self.syncs = {}
        self.peers = []
        self.sync_peer = self.peer()
        if not logged:   # started once it answers
            end = time.monotonic() + 10
            while self.sync_peer.ask(rdrq("zz-no-such-file"), 0.1) is None:
                tc.assertTrue(self.alive() and time.monotonic() < end, "server did not start: %r" % self.err)
            self.syncs["eRdRqRID"] = 1

    def stop(self):
        super().stop()
        for p in self.peers:
            p.close()

    def peer(self, host="127.0.0.1"):
        p = Peer(self, host)
        self.peers.append(p)
        return p

    def sync(self):
        """Returns once the server has handled everything sent before: a
        request for a missing file is answered after the datagrams queued
        before it. Its own count is remembered and taken out of counters()."""
        x = self.sync_peer.ask(rdrq("zz-no-such-file"), 5)
        self.tc.assertIsNotNone(x, "server does not answer")
        e = "eRdRqRID" if x[7] == ERR_RID else "eRdRqBsy"
        self.syncs[e] = self.syncs.get(e, 0) + 1

    def counters(self):
        """The counters by name after a sync, without the syncs' own counts."""
        self.sync()
        line = self.counter_line().rstrip("\n")
        self.tc.assertRegex(line, r"^(?:[ 0-9A-F]{3} ){%d}$" % len(self.counter_names))
        c = [int(line[4 * k:4 * k + 3], 16) for k in range(len(self.counter_names))]
        self.tc.assertEqual(c[0], sum(c[1:]) & 0xFFF, "eNull is the sum of the others: " + line)
        c = dict(zip(self.counter_names, c))
        for e, n in self.syncs.items():
            c[e] -= n
            c["eNull"] -= n
        return c

@unittest.skipUnless(SRV and os.path.exists(SRV), "WISP_SRV not set")
class ServerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="wisp-srv-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.wd = os.path.join(self.tmp, "srv")
        os.mkdir(self.wd)

    def start(self, *args, **kw):
        return PeeredServer(self, self.wd, *args, **kw)

    def upload(self, c, name, data, wait=3.0, upto=None):
        """A whole upload by peer c: the write reply, then (if granted) every
        fragment asked for, until the server's close, which is answered.
        Returns (reply, result of the close or None). With upto only the
        fragments below it are sent, and after wait the client gives up
        (a close with a failure result)."""
        rp = c.ask(wrrq(name, len(data), hashlib.md5(data).digest(), 740153, 0))
        if rp is None or rp[7] != ERR_NULL:
            return rp, None
        ref = struct.unpack_from("<H", rp, 13)[0]
        end = time.monotonic() + wait
        while time.monotonic() < end:
            y = c.recv(end - time.monotonic())
            if y is None:
                break
            if y[6] == DATRQ:
                _r, base, bits = struct.unpack_from("<HII", y, 7)
                for j in range(32):
                    if bits >> j & 1 and (upto is None or base + j < upto):
                        c.send(datrp(ref, base + j, data[(base + j) * 1455:(base + j + 1) * 1455]))
            elif y[6] == CLOSE:
                c.send(close(ref, y[9]))
                return rp, y[9]
        if upto is not None:
            c.send(close(ref, ERR_CHK))
        return rp, None

    def client_put(self, port, name, data):
        """The real client's put of data under name: (exit code, standard output, seconds)."""
        cdir = tempfile.mkdtemp(prefix="cli-", dir=self.tmp)
        write(os.path.join(cdir, name), data)
        t0 = time.monotonic()
        c = Client(cdir, "-a", "127.0.0.1", "-p", port, "put", name, stdin=subprocess.DEVNULL)
        rc, out, _ = c.finish(30)
        return rc, out, time.monotonic() - t0

    def put_file(self, name, data, when=None):
        return write(os.path.join(self.wd, name), data, when)

    def read_file(self, name):
        return read(os.path.join(self.wd, name))

    @staticmethod
    def read_file_at(srv, name):
        """A file of the server's directory, also one in a mount namespace of its own."""
        return read(os.path.join(srv.cwd, name))

    def assertNothing(self, peer, wait=0.3):
        x = peer.recv(wait)
        self.assertIsNone(x, "unexpected answer %r" % (x,))

    def assertCounts(self, c, **want):
        got = {n: v for n, v in c.items() if v}
        want = {n: v for n, v in want.items() if v}
        if want:
            want["eNull"] = sum(want.values())
        self.assertEqual(got, want)

    def recv_until_close(self, peer, timeout=3.0):
        """Telegrams up to the next close; data requests before it are allowed."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            x = peer.recv(end - time.monotonic())
            if x is None:
                break
            if x[6] == CLOSE:
                return x
            self.assertEqual(x[6], DATRQ, "only data requests may come before the close: %r" % (x,))
        self.fail("no close from the server")

    # ---- the two sessions of the description, step by step ------------------

    def test_read_session_3000_bytes(self):
        data = random.Random(1).randbytes(3000)
        d, t, when = packed_local(2024, 3, 15, 12, 34, 56)
        self.put_file("a.txt", data, when)
        srv = self.start()
        c = srv.peer()

        rp = c.ask(rdrq("a.txt", 1455, 10, 10))
        self.assertEqual(rp, rdrp(ERR_NULL, 1455, 10, 10, 3000, hashlib.md5(data).digest(), d, t, 1))

        t0 = time.monotonic()
        c.send(datrq(1, 0, 7))
        got = [c.recv(1.0) for _ in range(3)]
        self.assertLess(time.monotonic() - t0, 1.0)
        self.assertEqual(got, [datrp(0, k, f) for k, f in enumerate(frags(data))])
        self.assertEqual([len(x) for x in got], [1472, 1472, 107])
        self.assertNothing(c)   # each fragment asked for once is sent once

        c.send(close(1, ERR_NULL))
        self.assertNothing(c)
        c.send(datrq(1, 0, 1))   # the slot is free now
        self.assertNothing(c)
        self.assertCounts(srv.counters(), eDatRqSes=1)
        log = srv.log_text()
        self.assertIn("Alloc idx 1 dst 127.0.0.1:%d wrt 0 rid 'a.txt' tos 30000 dtu 10 fpu 10" % c.port, log)
        self.assertIn("Free idx 1 ok 1 err 0 dst 127.0.0.1:%d wrt 0 rid 'a.txt' dt 20240315_123456.000"
                      % c.port, log)
        self.assertIn("InitModule WISP ver 6 lenMaxTel 1472 lenFrmOvr 11 lenMaxVar 1461 lenMaxFgm 1455", log)
        # The modules that log start in their fixed order, the session module last.
        self.assertEqual(re.findall(r'Register +\d+ "(\w+)"', log),
                         ["Log", "Config", "Files", "Rcvrs", "Sndrs", "CliIO", "Server"])

    def test_write_session_3000_bytes(self):
        data = random.Random(2).randbytes(3000)
        dg = hashlib.md5(data).digest()
        d, t, when = packed_local(2023, 7, 4, 10, 20, 30)
        self.put_file("a.txt", b"x" * 10)
        srv = self.start()
        other, c = srv.peer(), srv.peer()
        self.assertEqual(other.ask(rdrq("a.txt"))[7], ERR_NULL)   # slot 1 is taken

        self.assertEqual(c.ask(wrrq("up.txt", 3000, dg, d, t, 1455, 10, 10)), wrrp(ERR_NULL, 1455, 10, 10, 2))
        self.assertEqual(c.recv(1.0), datrq(0, 0, 7))
        self.assertNotIn("up.txt", srv.files())   # nothing under the name before the check
        for k, f in enumerate(frags(data)):
            c.send(datrp(2, k, f))
        self.assertEqual(self.recv_until_close(c), close(0, ERR_NULL))
        t1 = time.monotonic()
        # Committed with the client's date and time as soon as the check passed.
        self.assertEqual(self.read_file("up.txt"), data)
        self.assertEqual(os.stat(os.path.join(self.wd, "up.txt")).st_mtime, when)
        self.assertEqual(c.recv(1.0), close(0, ERR_NULL))   # repeated every 125 steps
        self.assertTrue(0.08 < time.monotonic() - t1 < 0.6, time.monotonic() - t1)
        c.send(close(2, ERR_NULL))
        x = c.recv(0.4)   # a repetition may have crossed our close, no more after it
        if x is not None:
            self.assertEqual(x, close(0, ERR_NULL))
            self.assertNothing(c, 0.4)
        self.assertEqual(srv.files(), ["a.txt", "up.txt"])
        self.assertCounts(srv.counters())
        log = srv.log_text()
        self.assertIn("fgl 1455 cnt 3 rem 90 wnd 25", log)
        self.assertIn("Free idx 2 ok 1 err 0 dst 127.0.0.1:%d wrt 1 rid 'up.txt' dt 20230704_102030.000"
                      % c.port, log)

    def test_upload_outcomes(self):
        data = random.Random(3).randbytes(4000)
        dg = hashlib.md5(data).digest()
        d, t, _ = packed_local(2022, 1, 2, 3, 4, 6)
        srv = self.start()
        bad, mid, empty = srv.peer(), srv.peer(), srv.peer()

        # Digest mismatch: errChk, repeated, and no file under the name.
        wrong = bytes(16)
        self.assertEqual(bad.ask(wrrq("bad.bin", 4000, wrong, d, t)), wrrp(ERR_NULL, 1455, 10, 10, 1))
        self.assertEqual(bad.recv(1.0), datrq(0, 0, 7))
        for k, f in enumerate(frags(data)):
            bad.send(datrp(1, k, f))
        self.assertEqual(self.recv_until_close(bad), close(0, ERR_CHK))
        self.assertEqual(bad.recv(1.0), close(0, ERR_CHK))
        self.assertNotIn("bad.bin", srv.files())

        # The client's close in the middle of the transfer: nothing is kept.
        self.assertEqual(mid.ask(wrrq("mid.bin", 4000, dg, d, t)), wrrp(ERR_NULL, 1455, 10, 10, 2))
        self.assertEqual(mid.recv(1.0), datrq(0, 0, 7))
        mid.send(datrp(2, 0, data[:1455]))
        mid.send(close(2, ERR_NULL))

        # An empty file is complete at the first update; it takes the slot
        # that the close above freed.
        md5_empty = hashlib.md5(b"").digest()
        self.assertEqual(empty.ask(wrrq("empty.bin", 0, md5_empty, d, t)), wrrp(ERR_NULL, 1455, 10, 10, 2))
        self.assertEqual(empty.recv(1.0), close(0, ERR_NULL))
        empty.send(close(2, ERR_NULL))

        bad.send(close(1, ERR_CHK))
        srv.sync()
        self.assertEqual(srv.files(), ["empty.bin"])
        self.assertEqual(self.read_file("empty.bin"), b"")
        self.assertCounts(srv.counters())
        self.assertIn("Free idx 2 ok 1 err 0 dst 127.0.0.1:%d wrt 1 rid 'mid.bin'" % mid.port, srv.log_text())
        self.assertIn("Free idx 1 ok 1 err 3 dst 127.0.0.1:%d wrt 1 rid 'bad.bin'" % bad.port, srv.log_text())

    # ---- requests ---------------------------------------------------------------

    def test_negotiation(self):
        self.put_file("n.txt", b"0123456789", 1e9)
        dg = hashlib.md5(b"0123456789").digest()
        lt = time.localtime(1e9)
        d, t, _ = packed_local(lt.tm_year, lt.tm_mon, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec)
        srv = self.start()
        # (asked f, t, n) -> granted, with the server's defaults dtu 1 and fpu 10
        cases = [((2000, 20, 4), (1455, 20, 4)), ((1455, 0, 0), (1455, 1, 1)),
                 ((1455, 5000, 50), (1455, 1000, 10)), ((100, 1, 10), (100, 1, 10))]
        for r, (ask, got) in enumerate(cases, 1):
            self.assertEqual(srv.peer().ask(rdrq("n.txt", *ask)),
                             rdrp(ERR_NULL, *got, 10, dg, d, t, r), (ask, got))
        c = srv.peer()
        c.send(rdrq("n.txt", 0, 10, 10))
        c.send(wrrq("w0.bin", 10, dg, d, t, 0, 10, 10))
        self.assertNothing(c)

        # Write sessions: the window is fpu * 25 / dtu, at least 1.
        size = 40 * 1455
        w1, w2 = srv.peer(), srv.peer()
        self.assertEqual(w1.ask(wrrq("w1.bin", size, dg, d, t, 1455, 1, 10)), wrrp(ERR_NULL, 1455, 1, 10, 5))
        self.assertEqual(w2.ask(wrrq("w2.bin", size, dg, d, t, 1455, 30, 1)), wrrp(ERR_NULL, 1455, 30, 1, 6))
        self.assertEqual(w1.recv(1.0), datrq(0, 0, 0x3FF))   # 10 per update
        # fpu 1, window 1: fragment 0 alone, asked again after 125 / 30 = 4 updates.
        self.assertEqual(w2.recv(1.0), datrq(0, 0, 1))
        t0 = time.monotonic()
        self.assertEqual(w2.recv(1.0), datrq(0, 0, 1))
        self.assertTrue(0.09 < time.monotonic() - t0 < 0.5, time.monotonic() - t0)
        log = srv.log_text()
        self.assertIn("cnt 40 rem 0 wnd 250\r\n", log)
        self.assertIn("cnt 40 rem 0 wnd 1\r\n", log)
        self.assertIn("tos 30000 dtu 1000 fpu 10", log)
        self.assertCounts(srv.counters(), eRdRqFgl=1, eWrRqFgl=1)

        # The bounds from the server's command line: -f up to 255 per update
        # (a window of 255 x 25 = 6375 fragments at 1 ms), -u up to 1000 ms.
        for args, cases in ((("-f", "255"), [((1455, 1, 255), (1455, 1, 255)), ((1455, 0, 200), (1455, 1, 200)),
                                             ((1455, 3, 10), (1455, 3, 10))]),
                            (("-u", "1000", "-f", "1"), [((1455, 1, 10), (1455, 1000, 1)),
                                                         ((1455, 5000, 255), (1455, 1000, 1))]),
                            (("-u", "20",), [((1455, 1, 10), (1455, 20, 10)), ((1455, 25, 255), (1455, 25, 10))])):
            srv.stop()
            srv = self.start(*args)
            for r, (ask, got) in enumerate(cases, 1):
                self.assertEqual(srv.peer().ask(rdrq("n.txt", *ask)),
                                 rdrp(ERR_NULL, *got, 10, dg, d, t, r), (args, ask, got))
            if args == ("-f", "255"):
                w = srv.peer()
                self.assertEqual(w.ask(wrrq("wf.bin", 7000 * 1455, dg, d, t, 1455, 1, 255)),
                                 wrrp(ERR_NULL, 1455, 1, 255, len(cases) + 1))
                # Nothing arrives: the server asks for the whole window, 0..6374,
                # and for nothing beyond it.
                self.assertEqual(w.recv(1.0), datrq(0, 0, 0xFFFFFFFF))
                top, end, more = 31, time.monotonic() + 5, None
                while time.monotonic() < (more or end):
                    x = w.recv(0.3)
                    if x is None:
                        break
                    base, bits = struct.unpack_from("<II", x, 9)
                    top = max(top, base + bits.bit_length() - 1)
                    if top >= 6374 and more is None:
                        more = time.monotonic() + 0.3   # a while longer: nothing beyond
                self.assertEqual(top, 6374)
                self.assertIn("cnt 7000 rem 0 wnd 6375\r\n", srv.log_text())

    def test_large_file_digest_does_not_stall_other_sessions(self):
        """A read request for a large file is answered once the digest worker
        has been through it; other sessions are served meanwhile, and a second
        request for the unchanged file is answered at once from the digest
        kept."""
        size = 1 << 29
        with open(os.path.join(self.wd, "big.bin"), "wb") as f:
            f.truncate(size)   # sparse: read at memory speed, still most of a second's work
        self.put_file("small.txt", b"x" * 3000)
        # A digest of a file changed just before it began is not kept (the
        # file may change again within the same tick of its time stamps).
        time.sleep(0.1)
        srv = self.start()
        a, b, c = srv.peer(), srv.peer(), srv.peer()
        t0 = time.monotonic()
        a.send(rdrq("big.bin"))
        a.send(datrq(1, 0, 1))   # guessed reference, before the reply: nothing to send yet
        small = b.ask(rdrq("small.txt"), 5)
        t_small = time.monotonic() - t0
        self.assertIsNotNone(small)
        self.assertEqual(small[7], ERR_NULL)
        big = a.recv(60)
        t_big = time.monotonic() - t0
        self.assertIsNotNone(big, "no read reply for the large file")
        self.assertEqual(big[7], ERR_NULL)
        self.assertTrue(srv.alive())
        self.assertLess(t_small, t_big, "the small file waited for the large file's digest")
        md5 = hashlib.md5()
        zeros = bytes(1 << 20)
        for _ in range(size >> 20):
            md5.update(zeros)
        self.assertEqual(struct.unpack_from("<I", big, 13)[0], size)
        self.assertEqual(big[17:33], md5.digest())
        t1 = time.monotonic()
        again = c.ask(rdrq("big.bin"), 5)
        self.assertIsNotNone(again)
        self.assertLess(time.monotonic() - t1, min(0.5, t_big), "the unchanged file was hashed again")
        self.assertEqual(again[7:33], big[7:33])

    def test_a_file_rewritten_in_place_with_its_time_put_back_is_hashed_anew(self):
        """The kept digest of a served file is not served once the file has been
        rewritten in place with the same size and its modification time put
        back (as cp -p, rsync -t --inplace or touch -d leave it)."""
        old, new = os.urandom(1 << 20), os.urandom(1 << 20)
        path = os.path.join(self.wd, "r.bin")
        self.put_file("r.bin", old)
        st = os.stat(path)
        time.sleep(0.05)   # a content that settled before its digest: the digest is kept
        srv = self.start()
        a, b, c = srv.peer(), srv.peer(), srv.peer()
        first = a.ask(rdrq("r.bin"), 5)
        self.assertEqual(first[17:33], hashlib.md5(old).digest())
        a.send(close(struct.unpack_from("<H", first, 41)[0], ERR_NULL))
        again = b.ask(rdrq("r.bin"), 5)                  # from the kept digest
        self.assertEqual(again[17:33], hashlib.md5(old).digest())
        b.send(close(struct.unpack_from("<H", again, 41)[0], ERR_NULL))
        with open(path, "r+b") as f:
            f.write(new)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        self.assertEqual((os.stat(path).st_size, os.stat(path).st_mtime_ns), (st.st_size, st.st_mtime_ns))
        x = c.ask(rdrq("r.bin"), 5)
        self.assertEqual(x[7], ERR_NULL)
        self.assertEqual(x[17:33], hashlib.md5(new).digest(), "the digest of the old content was served")

    def test_a_file_rewritten_within_the_second_of_its_times_is_hashed_anew(self):
        """On a file system that keeps whole seconds (ext4 with 128-byte
        inodes) a file written, served and rewritten in place with the same
        size within one second keeps its time stamps to the bit: its digest
        must not have been kept."""
        why = mount_namespaces(self.tmp)
        img = whole_seconds_fs(self.tmp)
        if why or img is None:
            self.skipTest(why or "no ext4 image (mke2fs)")
        srv = self.start(pre=in_mount(self.wd, "-o loop " + img))
        a, b = srv.peer(), srv.peer()
        for n in range(3):
            time.sleep(1.1 - time.time() % 1)   # a second has just begun
            name = "c%d.bin" % n
            path = os.path.join(srv.cwd, name)
            old, new = os.urandom(100000), os.urandom(100000)
            write(path, old, None)
            st = os.stat(path)
            x = a.ask(rdrq(name), 5)
            self.assertEqual(x[17:33], hashlib.md5(old).digest())
            a.send(close(struct.unpack_from("<H", x, 41)[0], ERR_NULL))
            with open(path, "r+b") as f:
                f.write(new)
            now = os.stat(path)
            if (now.st_size, now.st_mtime_ns, now.st_ctime_ns) == (st.st_size, st.st_mtime_ns, st.st_ctime_ns):
                break
        else:
            self.fail("no rewrite within the second of the write in 3 tries")
        self.assertEqual(st.st_ctime_ns % 10 ** 9, 0, "the file system keeps parts of a second")
        x = b.ask(rdrq(name), 5)
        self.assertEqual(x[7], ERR_NULL)
        self.assertEqual(x[17:33], hashlib.md5(new).digest(), "the digest of the old content was served")

    def test_a_busy_worker_never_stalls_the_loop(self):
        """Sixteen read requests for large new files take every session; the
        session whose digest is running ends and at once another request takes
        its place, five times over. Nothing is hashed on the loop however busy
        the worker is, so a request from yet another port is answered (busy)
        at once, and the new sessions wait in their opening state."""
        size = 1 << 30
        for k in range(17):
            with open(os.path.join(self.wd, "big%d.bin" % k), "wb") as f:
                f.truncate(size)   # sparse: read at memory speed, still seconds of work each
        srv = self.start()
        peers = [srv.peer() for _ in range(22)]
        for k in range(16):
            peers[k].send(rdrq("big%d.bin" % k))
        srv.sync()                  # all sixteen in their opening state
        for k in range(5):
            time.sleep(0.05)        # a digest under way: the first, then the next
            peers[k].send(close(k + 1, ERR_NULL))
            peers[16 + k].send(rdrq("big16.bin"))
        t0 = time.monotonic()
        x = peers[21].ask(rdrq("big16.bin"), 10)
        dt = time.monotonic() - t0
        self.assertEqual(x, rdrp(ERR_BSY, **REFUSED))
        self.assertLess(dt, 0.3, "the loop was held up")
        self.assertTrue(srv.alive())
        for k in range(5):
            self.assertNothing(peers[16 + k], 0.02)   # still waiting for its digest
        self.assertIn("Alloc idx 5 dst 127.0.0.1:%d wrt 0 rid 'big16.bin'" % peers[20].port, srv.log_text())

    def test_repeated_and_conflicting_requests(self):
        data = b"r" * 2000
        self.put_file("r.txt", data, 1.5e9)
        self.put_file("s.txt", b"s")
        srv = self.start()
        rd, wr = srv.peer(), srv.peer()
        first = rd.ask(rdrq("r.txt"))
        self.assertEqual(first[7], ERR_NULL)
        time.sleep(0.05)
        self.assertEqual(rd.ask(rdrq("r.txt")), first)   # the same reply again
        rd.send(rdrq("s.txt"))                              # another file: ignored
        rd.send(rdrq("r.txt", 1000))                        # another fragment length: ignored
        rd.send(wrrq("r.txt", 1, bytes(16), 0, 0))          # a write from a reading endpoint
        self.assertNothing(rd)

        dg = hashlib.md5(data).digest()
        w = wrrq("new.bin", 2000, dg, 1, 2)
        wfirst = wr.ask(w)
        self.assertEqual(wfirst, wrrp(ERR_NULL, 1455, 10, 10, 2))   # one session so far
        x = wr.recv(1.0)
        self.assertEqual(x, datrq(0, 0, 3))
        wr.send(w)
        x = wr.recv(1.0)
        while x is not None and x == datrq(0, 0, 3):   # a re-request may come first
            x = wr.recv(1.0)
        self.assertEqual(x, wfirst)
        wr.send(wrrq("new.bin", 2001, dg, 1, 2))            # another length
        wr.send(wrrq("new.bin", 2000, bytes(16), 1, 2))     # another digest
        wr.send(wrrq("old.bin", 2000, dg, 1, 2))            # another name
        wr.send(wrrq("new.bin", 2000, dg, 1, 2, 1000))      # another fragment length
        wr.send(rdrq("r.txt"))                              # a read from a writing endpoint
        end = time.monotonic() + 0.4
        while time.monotonic() < end:   # only the receiver's re-requests may come
            x = wr.recv(end - time.monotonic())
            if x is not None:
                self.assertEqual(x, datrq(0, 0, 3))
        self.assertEqual(ALLOC.findall(srv.log_text()), ["1", "2"])
        self.assertCounts(srv.counters(), eRdRqPar=2, eWrRqTyp=1, eWrRqPar=4, eRdRqTyp=1)

    def test_busy_and_free_slots(self):
        self.put_file("f.txt", b"f" * 100)
        srv = self.start()
        peers = [srv.peer() for _ in range(17)]
        for r, p in enumerate(peers[:16], 1):
            x = p.ask(rdrq("f.txt"))
            self.assertEqual((x[7], struct.unpack_from("<H", x, 41)[0]), (ERR_NULL, r))
        last = peers[16]
        self.assertEqual(last.ask(rdrq("f.txt")), rdrp(ERR_BSY, **REFUSED))
        self.assertEqual(last.ask(wrrq("g.txt", 1, bytes(16), 0, 0)), wrrp(ERR_BSY, **REFUSED))
        self.assertNotIn("g.txt", srv.files())
        peers[4].send(close(5, ERR_NULL))
        x = last.ask(rdrq("f.txt"))
        self.assertEqual((x[7], struct.unpack_from("<H", x, 41)[0]), (ERR_NULL, 5))   # lowest free slot
        self.assertCounts(srv.counters(), eRdRqBsy=1, eWrRqBsy=1)

    # ---- the operator's fence: -n, -g, -s ------------------------------------------

    def test_networks_not_served_get_no_answer(self):
        """With -n only the networks given reach the server: a datagram from
        elsewhere, whatever it holds, is dropped unanswered and counted in
        eNet (E) and in the link's closing line; nothing else sees it."""
        data = random.Random(12).randbytes(3000)
        d, t, when = packed_local(2024, 3, 15, 12, 34, 56)
        self.put_file("f.bin", data, when)
        srv = self.start("-n", "10.0.0.0/8", "-n", "127.0.0.1")
        out, inside = srv.peer("127.0.0.2"), srv.peer()
        bad_crc = bytearray(rdrq("f.bin"))
        bad_crc[20] ^= 1
        for x in (rdrq("f.bin"), wrrq("new.bin", 10, bytes(16), 0, 0), bytes(bad_crc), b""):
            out.send(x)
        self.assertNothing(out)
        rp = inside.ask(rdrq("f.bin"))
        self.assertEqual(rp, rdrp(ERR_NULL, 1455, 10, 10, 3000, hashlib.md5(data).digest(), d, t, 1))
        inside.send(datrq(1, 0, 7))
        self.assertEqual([inside.recv(1.0) for _ in range(3)], [datrp(0, k, f) for k, f in enumerate(frags(data))])
        out.send(datrq(1, 0, 7))   # the session's reference from outside
        self.assertNothing(out)
        self.assertCounts(srv.counters(), eNet=5)
        self.assertEqual(srv.files(), ["f.bin"])
        self.assertNotIn("127.0.0.2", srv.log_text())
        srv.terminate()
        line = [t for t in srv.log() if t.startswith("DoneModule txn ")][-1]
        self.assertRegex(line, r"^DoneModule txn \d+ txe 0 rxn \d+ rxe 0 rxf 5$")

    def test_gets_only_refuses_every_upload(self):
        """With -g a write request gets the refusal of a file that cannot be
        created, also over an existing file with -o, and nothing is created;
        gets go on."""
        self.put_file("keep.txt", b"kept")
        srv = self.start("-g", "-o")
        p = srv.peer()
        for name in ("new.bin", "keep.txt"):
            self.assertEqual(p.ask(wrrq(name, 4, hashlib.md5(b"evil").digest(), 0, 0)), wrrp(ERR_RID, **REFUSED))
        rc, out, _ = self.client_put(srv.port, "up.bin", b"upload")
        self.assertEqual(rc, 255, out)
        self.assertIn("F Client WrRp: Resource exists or cannot be created.", out)
        self.assertEqual(sorted(os.listdir(srv.cwd)), ["WISPSrv.log", "keep.txt"])   # no temporary file either
        self.assertEqual(self.read_file("keep.txt"), b"kept")
        x = srv.peer().ask(rdrq("keep.txt"))
        self.assertEqual((x[7], struct.unpack_from("<I", x, 13)[0]), (ERR_NULL, 4))
        self.assertCounts(srv.counters(), eWrRqRID=3)
        self.assertNotIn("wrt 1", srv.log_text())

    def test_sessions_per_client_address(self):
        """With -s 2 one address holds two sessions: its third request gets the
        busy reply while another address is served, and a slot it frees is
        its own again."""
        self.put_file("f.txt", b"f" * 100)
        srv = self.start("-s", "2")
        a1, a2, a3 = srv.peer(), srv.peer(), srv.peer()
        b1, b2, b3 = (srv.peer("127.0.0.2") for _ in range(3))
        self.assertEqual(a1.ask(rdrq("f.txt"))[7], ERR_NULL)                       # ref 1
        self.assertEqual(a2.ask(wrrq("w.bin", 100, bytes(16), 0, 0))[7], ERR_NULL)   # ref 2
        self.assertEqual(a3.ask(rdrq("f.txt")), rdrp(ERR_BSY, **REFUSED))
        self.assertEqual(a3.ask(wrrq("x.bin", 1, bytes(16), 0, 0)), wrrp(ERR_BSY, **REFUSED))
        x = b1.ask(rdrq("f.txt"))
        self.assertEqual((x[7], struct.unpack_from("<H", x, 41)[0]), (ERR_NULL, 3))
        self.assertEqual(b2.ask(rdrq("f.txt"))[7], ERR_NULL)
        self.assertEqual(b3.ask(rdrq("f.txt")), rdrp(ERR_BSY, **REFUSED))
        self.assertEqual(a1.ask(rdrq("f.txt"))[7], ERR_NULL)   # a repetition is no new session
        a1.send(close(1, ERR_NULL))
        x = a3.ask(rdrq("f.txt"))
        self.assertEqual((x[7], struct.unpack_from("<H", x, 41)[0]), (ERR_NULL, 1))
        self.assertNotIn("x.bin", srv.files())
        self.assertCounts(srv.counters(), eRdRqBsy=2, eWrRqBsy=1)

    def test_resource_ids(self):
        with open(os.path.join(self.tmp, "x"), "wb") as f:
            f.write(b"outside")
        self.put_file("exists.txt", b"old content")
        srv = self.start()
        c = srv.peer()
        for name in ["missing.txt", "../x", "..", "", "."]:
            self.assertEqual(c.ask(rdrq(name)), rdrp(ERR_RID, **REFUSED), name)
        for name in ["exists.txt", "..", "sub\\..\\exists.txt"]:
            self.assertEqual(c.ask(wrrq(name, 1, bytes(16), 0, 0)), wrrp(ERR_RID, **REFUSED), name)
        self.assertEqual(c.ask(rdrq("dir\\exists.txt"))[7], ERR_NULL)   # only the last part counts
        self.assertEqual(ALLOC.findall(srv.log_text()), ["1"])   # the first session
        self.assertEqual(self.read_file("exists.txt"), b"old content")
        self.assertCounts(srv.counters(), eRdRqRID=5, eWrRqRID=3)
        srv.stop()

        # With -o the existing file is replaced, but only once the upload passed.
        new = b"brand new content"
        d, t, when = packed_local(2021, 5, 6, 7, 8, 10)
        srv = self.start("-o")
        c = srv.peer()
        self.assertEqual(c.ask(wrrq("exists.txt", len(new), hashlib.md5(new).digest(), d, t)),
                         wrrp(ERR_NULL, 1455, 10, 10, 1))
        self.assertEqual(c.recv(1.0), datrq(0, 0, 1))
        self.assertEqual(self.read_file("exists.txt"), b"old content")
        c.send(datrp(1, 0, new))
        self.assertEqual(self.recv_until_close(c), close(0, ERR_NULL))
        self.assertEqual(self.read_file("exists.txt"), new)
        self.assertEqual(os.stat(os.path.join(self.wd, "exists.txt")).st_mtime, when)

    def test_links_log_names_and_control_characters_are_refused(self):
        """A get never leaves the directory through a link, the log files are
        neither served nor replaced (not even with -o), and a name with a
        control character is missing: it can forge no log line."""
        with open(os.path.join(self.tmp, "outside.txt"), "wb") as f:
            f.write(b"secret outside")
        self.put_file("in.txt", b"inside")
        os.symlink("../outside.txt", os.path.join(self.wd, "up.txt"))
        os.symlink(os.path.join(self.tmp, "outside.txt"), os.path.join(self.wd, "abs.txt"))
        os.symlink("in.txt", os.path.join(self.wd, "inner.txt"))
        self.put_file("WISPSrv003.log", b"an old generation")
        self.put_file("ctl\x01.txt", b"exists")
        srv = self.start("-o")
        log_ino = os.stat(os.path.join(self.wd, "WISPSrv.log")).st_ino
        c = srv.peer()
        for name in ["up.txt", "abs.txt", "WISPSrv.log", "WISPSrv003.log", "x\\WISPSrv.log", "ctl\x01.txt"]:
            self.assertEqual(c.ask(rdrq(name)), rdrp(ERR_RID, **REFUSED), repr(name))
        x = c.ask(rdrq("inner.txt"))   # a link that stays inside is served
        self.assertEqual((x[7], struct.unpack_from("<I", x, 13)[0]), (ERR_NULL, 6))
        c.send(close(1, ERR_NULL))
        forged = "x.bin\r\n20261207 204501.123 0000002A Server   M Free idx 1 ok 1 err 0"
        w = srv.peer()
        for name in ["WISPSrv.log", "WISPSrv007.log", forged, "del\x7f.bin", "tab\t.bin"]:
            self.assertEqual(w.ask(wrrq(name, 5, hashlib.md5(b"hello").digest(), 0, 0)), wrrp(ERR_RID, **REFUSED),
                             repr(name))
        self.assertEqual(srv.peer().ask(rdrq("in.txt"))[7], ERR_NULL)
        self.assertCounts(srv.counters(), eRdRqRID=6, eWrRqRID=5)
        self.assertEqual(srv.files(), ["WISPSrv003.log", "abs.txt", "ctl\x01.txt", "in.txt", "inner.txt", "up.txt"])
        self.assertEqual(self.read_file("WISPSrv003.log"), b"an old generation")
        # The log is still the file it was, and later lines reach it.
        self.assertEqual(os.stat(os.path.join(self.wd, "WISPSrv.log")).st_ino, log_ino)
        log = srv.log_text()
        self.assertIn("rid 'in.txt' tos 30000", log)
        self.assertNotIn("\r\n20261207 204501.123", log)

    def test_resource_id_of_128_characters(self):
        """A name that fills the whole field is taken whole: two names that
        differ only in their 128th character are two files."""
        base = "n" * 127
        one, two = random.Random(6).randbytes(3000), random.Random(7).randbytes(2000)
        srv = self.start()
        for last, data in (("1", one), ("2", two)):
            self.assertEqual(self.upload(srv.peer(), base + last, data)[1], ERR_NULL, last)
        self.assertEqual(srv.files(), [base + "1", base + "2"])
        self.assertEqual(self.read_file(base + "2"), two)
        x = srv.peer().ask(rdrq(base + "1"))
        self.assertEqual((x[7], struct.unpack_from("<I", x, 13)[0]), (ERR_NULL, 3000))
        self.assertIn(" rid '%s2' " % base, srv.log_text())

    # ---- the server's files and its disk ------------------------------------------

    def test_bytes_read_per_fragment_sent(self):
        """Whatever order a peer asks in, one fragment per data request, the
        server reads less than three bytes per byte it sends (its rchar in
        /proc/PID/io, from the read reply on, so without the digest at open);
        in order it reads ahead, a read call for many fragments."""
        n = 300
        data = random.Random(14).randbytes(n * 1455)
        self.put_file("f.bin", data)
        srv = self.start()

        def io():
            with open("/proc/%d/io" % srv.p.pid) as f:
                return {k: int(v) for k, v in (line.split(": ") for line in f)}
        orders = {"descending": list(range(n - 1, -1, -1)),
                  "pairs from the top": [k for b in range(n - 2, -1, -2) for k in (b, b + 1)],
                  "random": random.Random(15).sample(range(n), n),
                  "ascending": list(range(n))}
        for name, order in orders.items():
            with self.subTest(order=name):
                c = srv.peer()
                rp = c.ask(rdrq("f.bin", 1455, 1, 10))
                self.assertEqual(rp[7], ERR_NULL)
                ref = struct.unpack_from("<H", rp, 41)[0]
                io0 = io()
                for k in order:
                    c.send(datrq(ref, k, 1))
                    self.assertEqual(c.recv(1.0), datrp(0, k, data[k * 1455:(k + 1) * 1455]), k)
                io1 = io()
                c.send(close(ref, ERR_NULL))
                ratio = (io1["rchar"] - io0["rchar"]) / len(data)
                calls = (io1["syscr"] - io0["syscr"]) / n
                self.assertLess(ratio, 3, "%.2f bytes read per byte sent, %.2f reads per fragment" % (ratio, calls))
                if name == "ascending":
                    self.assertLess(calls, 0.2, "%.2f reads per fragment" % calls)

    def test_kill_9_leaves_no_temporary_file_and_a_restart_sweeps(self):
        data = random.Random(8).randbytes(100000)
        srv = self.start()
        c = srv.peer()
        rp = c.ask(wrrq("big.bin", len(data), hashlib.md5(data).digest(), 0, 0))
        self.assertEqual(rp[7], ERR_NULL)
        self.assertEqual(c.recv(1.0)[6], DATRQ)
        for k in range(10):
            c.send(datrp(1, k, data[k * 1455:(k + 1) * 1455]))
        srv.sync()
        self.assertEqual(srv.files(), [], "the upload's temporary file has no name")
        os.kill(srv.p.pid, 9)
        srv.p.wait(10)
        self.assertEqual(srv.files(), [])
        # What a server on a file system without anonymous files leaves: the
        # next start removes the files of processes that are gone.
        dead, alive = ".old.bin.wisp-4194305-1.tmp", ".other.bin.wisp-1-1.tmp"
        self.put_file(dead, b"x")
        self.put_file(alive, b"y")
        srv = self.start()
        self.assertEqual(srv.files(), [alive])
        self.assertIsNotNone(srv.wait_log("^Sweep removed 1 temporary files$", 1))
        self.assertEqual(self.upload(srv.peer(), "big.bin", data)[1], ERR_NULL)
        self.assertEqual(self.read_file("big.bin"), data)

    def test_a_committed_file_is_on_the_disk_before_its_name(self):
        """The data are synced before the name appears, the directory after."""
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        srv = self.start()
        trace = os.path.join(self.tmp, "trace.txt")
        st = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=fsync,fdatasync,link,linkat,rename,renameat2",
                               "-o", trace, "-p", str(srv.p.pid)], stderr=subprocess.PIPE)

        def stop_strace():
            if st.poll() is None:
                st.kill()
                st.wait()
            st.stderr.close()
        self.addCleanup(stop_strace)

        def traced():
            with open("/proc/%d/status" % srv.p.pid) as f:
                return "TracerPid:\t0\n" not in f.read()
        end = time.monotonic() + 10
        while not traced():
            if st.poll() is not None or time.monotonic() > end:
                self.skipTest("strace cannot attach here: %s" % st.stderr.read().decode().strip())
            time.sleep(0.02)
        data = random.Random(9).randbytes(5000)
        self.assertEqual(self.upload(srv.peer(), "durable.bin", data)[1], ERR_NULL)
        st.terminate()
        st.wait(10)
        with open(trace) as f:
            calls = [l.split(None, 1)[1] for l in f if l.strip()]
        named = [k for k, l in enumerate(calls) if '"durable.bin"' in l and " = 0" in l]
        self.assertEqual(len(named), 1, calls)
        before = [l for l in calls[:named[0]] if l.startswith("fsync(") and l.rstrip().endswith("= 0")]
        after = [l for l in calls[named[0] + 1:] if l.startswith("fsync(") and l.rstrip().endswith("= 0")]
        self.assertTrue(before and after, calls)
        self.assertNotEqual(before[-1].split(")")[0], after[0].split(")")[0], "the directory is another descriptor")

    def test_log_is_never_opened_through_a_link(self):
        target = os.path.join(self.tmp, "elsewhere.log")
        with open(target, "wb") as f:
            f.write(b"untouched")
        os.symlink(target, os.path.join(self.wd, "WISPSrv.log"))
        self.put_file("f.txt", b"data")
        srv = self.start(logged=False)
        self.assertEqual(srv.next_line(2), 'Log: open "WISPSrv.log" failed: Too many levels of symbolic links '
                                           '(errno 40), running without a log.\n')
        self.assertEqual(srv.peer().ask(rdrq("f.txt"))[7], ERR_NULL)
        self.assertEqual(read(target), b"untouched")

    def test_read_only_directory_is_served_without_a_log(self):
        why = mount_namespaces(self.tmp)
        if why:
            self.skipTest(why)
        srv = self.start(pre=in_tmpfs(self.wd, "1m", 'printf served > "$0/f.txt" && mount -o remount,ro "$0" &&'),
                         logged=False)
        self.assertEqual(srv.next_line(2), 'Log: open "WISPSrv.log" failed: Read-only file system (errno 30), '
                                           'running without a log.\n')
        g = srv.peer()
        x = g.ask(rdrq("f.txt"))
        self.assertEqual((x[7], struct.unpack_from("<I", x, 13)[0]), (ERR_NULL, 6))
        self.assertEqual(g.ask(datrq(1, 0, 1)), datrp(0, 0, b"served"))
        self.assertEqual(self.upload(srv.peer(), "up.bin", b"new")[0], wrrp(ERR_RID, **REFUSED))
        rc, out, _ = self.client_put(srv.port, "up.bin", b"new")
        self.assertEqual(rc, 255, out)
        self.assertIn("F Client WrRp: Resource exists or cannot be created.", out)
        self.assertEqual(os.listdir(srv.cwd), ["f.txt"])
        self.assertTrue(srv.alive())

    def test_full_disk_refuses_uploads_at_once_and_the_server_goes_on(self):
        why = mount_namespaces(self.tmp)
        if why:
            self.skipTest(why)
        srv = self.start(pre=in_tmpfs(self.wd, "2m"))
        small = random.Random(10).randbytes(10000)
        write(os.path.join(srv.cwd, "small.bin"), small)
        big = random.Random(11).randbytes(3 * 1048576)
        t0 = time.monotonic()
        self.assertEqual(self.upload(srv.peer(), "big.bin", big)[0], wrrp(ERR_RID, **REFUSED))
        rc, out, secs = self.client_put(srv.port, "big.bin", big)
        self.assertEqual(rc, 255, out)
        self.assertIn("F Client WrRp: Resource exists or cannot be created.", out)
        self.assertLess(secs, 5)
        self.assertLess(time.monotonic() - t0, 10)

        # A full disk: the log's lines are dropped, gets go on, uploads are
        # refused at once, and the server keeps running.
        fd = os.open(os.path.join(srv.cwd, "fill"), os.O_WRONLY | os.O_CREAT)
        for block in (65536, 1):
            try:
                while os.write(fd, bytes(block)) > 0:
                    pass
            except OSError as e:
                self.assertEqual(e.errno, errno.ENOSPC)
        os.close(fd)
        tiny = b"t" * 1000
        line = None
        for _ in range(60):   # the log's last page takes some lines yet
            self.assertEqual(self.upload(srv.peer(), "tiny.bin", tiny)[0], wrrp(ERR_RID, **REFUSED))
            line = srv.next_line(0.05)
            if line:
                break
        self.assertEqual(line, 'Log: write "WISPSrv.log" failed: No space left on device (errno 28), '
                               'lines are dropped until it works again.\n')
        g = srv.peer()
        x = g.ask(rdrq("small.bin"))
        self.assertEqual((x[7], struct.unpack_from("<I", x, 13)[0]), (ERR_NULL, 10000))
        g.send(datrq(struct.unpack_from("<H", x, 41)[0], 0, 0x7F))
        got = [g.recv(1.0) for _ in range(7)]
        self.assertEqual(b"".join(y[13:-4] for y in got if y), small)
        self.assertTrue(srv.alive())

        os.remove(os.path.join(srv.cwd, "fill"))
        self.assertEqual(self.upload(srv.peer(), "tiny.bin", tiny)[1], ERR_NULL)
        self.assertEqual(read(os.path.join(srv.cwd, "tiny.bin")), tiny)
        self.assertRegex(srv.log_text(), r"Log      W Write dropped \d+ lines\r\n")
        self.assertRegex(srv.next_line(1) or "", r'^Log: "WISPSrv.log" is written again, \d+ lines were dropped.\n$')
        self.assertEqual(srv.files(), ["small.bin", "tiny.bin"])

    def test_kept_uploads_give_way_to_an_upload_that_does_not_fit(self):
        """-k: a partial upload holds its disk until an upload needs it; the
        oldest kept one goes, and the new upload fits."""
        why = mount_namespaces(self.tmp)
        if why:
            self.skipTest(why)
        srv = self.start("-k", pre=in_tmpfs(self.wd, "3m"))
        a, b = (random.Random(k).randbytes(2500000) for k in (12, 13))
        # About 1.4 MB of a arrive; b then needs more than is free.
        self.assertEqual(self.upload(srv.peer(), "a.bin", a, 1.0, upto=1000)[0][7], ERR_NULL)
        parts = os.path.join(srv.cwd, PARTS)
        self.assertTrue(wait_for(lambda: sorted(os.listdir(parts)) == ["a.bin" + PART, "a.bin" + REC], 3))
        self.assertEqual(self.upload(srv.peer(), "b.bin", b)[1], ERR_NULL)
        self.assertEqual(read(os.path.join(srv.cwd, "b.bin")), b)
        self.assertEqual(os.listdir(parts), [])
        self.assertIn("Part evict 'a.bin'", srv.log_text())

    def test_silent_uploads_hold_no_more_than_a_stretch_of_the_disk(self):
        """Two write requests announce 90 MiB each on a 200 MiB file system and
        send nothing: each holds 64 MiB of it, not its whole length, so a real
        upload of 40 MiB beside them still succeeds."""
        why = mount_namespaces(self.tmp)
        if why:
            self.skipTest(why)
        srv = self.start(pre=in_tmpfs(self.wd, "200m"))
        mib = 1 << 20
        for name in ("silent1.bin", "silent2.bin"):
            rp = srv.peer().ask(wrrq(name, 90 * mib, bytes(16), 740153, 0))
            self.assertEqual(rp[7], ERR_NULL, name)
        v = os.statvfs(srv.cwd)
        used = (v.f_blocks - v.f_bfree) * v.f_frsize
        self.assertTrue(128 * mib <= used < 130 * mib, used / mib)
        big = random.Random(16).randbytes(40 * mib)
        rc, out, _ = self.client_put(srv.port, "real.bin", big)
        self.assertEqual(rc, 0, out)
        self.assertEqual(self.read_file_at(srv, "real.bin"), big)
        self.assertEqual(srv.files(), ["real.bin"])

    # ---- what is counted and dropped ------------------------------------------

    def test_rejected_telegrams_counted_unanswered(self):
        data = b"d" * 3000
        self.put_file("d.txt", data)
        srv = self.start()
        rd, wr, x = srv.peer(), srv.peer(), srv.peer()
        self.assertEqual(rd.ask(rdrq("d.txt"))[7], ERR_NULL)                       # ref 1
        self.assertEqual(wr.ask(wrrq("w.bin", 3000, bytes(16), 0, 0))[7], ERR_NULL)  # ref 2
        good = rdrq("d.txt")
        bad_crc = bytearray(good)
        bad_crc[20] ^= 0x04
        sent = [
            (x, b""), (x, good[:10]), (x, good + bytes(1329)), (x, bytes(2000)),       # eLen
            (x, bytes(bad_crc)), (x, good[:-1] + bytes([good[-1] ^ 1])),               # eCrc
            (x, tel(RDRQ, good[7:-4], magic=b"WISQ")),                                 # eMag
            (x, tel(RDRQ, good[7:-4], ver=5)),                                         # eVer
            (x, rdrp(ERR_NULL, **REFUSED)), (x, wrrp(ERR_NULL, **REFUSED)), (x, tel(0, b"")), (x, tel(8, b"")),
            (x, tel(255, bytes(3))),                                                   # eCmd
            (x, tel(RDRQ, good[7:-5])), (x, tel(RDRQ, good[7:-4] + b"\0")),            # eRdRqLen
            (x, tel(WRRQ, bytes(160))),                                                # eWrRqLen
            (x, tel(DATRQ, bytes(9))), (x, datrq(0, 0, 1)), (x, datrq(17, 0, 1)),       # eDatRqLen, Ref x2
            (x, datrq(1, 0, 1)), (wr, datrq(2, 0, 1)), (x, datrq(3, 0, 1)),             # eDatRqSes x3
            (x, tel(DATRP, bytes(6))), (x, datrp(0, 0, b"a")), (x, datrp(65535, 0, b"a")),  # eDatRpLen, Ref x2
            (x, datrp(2, 0, b"a")), (rd, datrp(1, 0, b"a")), (x, datrp(16, 0, b"a")),   # eDatRpSes x3
            (x, tel(CLOSE, bytes(4))), (x, close(0, 0)), (x, close(17, 0)),             # eCloseLen, Ref x2
            (x, close(1, 0)), (x, close(2, 0)), (x, close(9, 0)),                       # eCloseSes x3
        ]
        for p, t in sent:
            p.send(t)
        for p in (rd, x):
            self.assertNothing(p, 0.2)
        c = srv.counters()
        self.assertCounts(c, eLen=4, eCrc=2, eMag=1, eVer=1, eCmd=5, eRdRqLen=2, eWrRqLen=1, eDatRqLen=1,
                          eDatRqRef=2, eDatRqSes=3, eDatRpLen=1, eDatRpRef=2, eDatRpSes=3, eCloseLen=1,
                          eCloseRef=2, eCloseSes=3)
        # Nothing above touched the two sessions: both still answer.
        rd.send(datrq(1, 2, 1))
        self.assertEqual(rd.recv(1.0), datrp(0, 2, data[2910:]))
        # Pressed twice with nothing between: the same line; lower case works.
        srv.sync()
        a, b = srv.counter_line(b"e"), srv.counter_line(b"E")
        self.assertEqual(a, b)
        raw = dict(c)
        for e, n in srv.syncs.items():
            raw[e] += n
            raw["eNull"] += n
        # Without -n: the 27 counters, no eNet; nor rxf in the link's closing line.
        self.assertEqual(a, "".join("%3X " % (raw[e] & 0xFFF) for e in SRV_COUNTERS[:-1]) + "\n")
        self.assertTrue(srv.alive())
        srv.terminate()
        line = [t for t in srv.log() if t.startswith("DoneModule txn ")][-1]
        self.assertRegex(line, r"^DoneModule txn \d+ txe 0 rxn \d+ rxe 0$")

    def test_quit_key(self):
        srv = self.start()
        srv.key(b"x")
        srv.sync()   # the key has been handled by now: nothing happened
        self.assertTrue(srv.alive())
        srv.key(b"q")
        rc, out, _ = srv.finish(10)
        self.assertEqual(rc, 1)
        self.assertFalse(COUNTER_LINE.search(out))

    # ---- time-outs ----------------------------------------------------------------

    def test_silent_clients_time_out(self):
        """Three sessions go silent at once: a read session, an upload before
        its check, and an upload whose client close was lost after the check
        passed. Each ends about 30 s after its last data telegram; only the
        checked upload leaves a file, and (-k) the upload before its check
        its partial upload, holding the fragment that arrived."""
        data = random.Random(4).randbytes(3000)
        dg = hashlib.md5(data).digest()
        d, t, when = packed_local(2020, 2, 29, 23, 59, 58)
        self.put_file("r.txt", data)
        srv = self.start("-k")
        rd, part, lost = srv.peer(), srv.peer(), srv.peer()
        self.assertEqual(rd.ask(rdrq("r.txt"))[7], ERR_NULL)
        self.assertEqual(part.ask(wrrq("part.bin", 3000, dg, d, t)), wrrp(ERR_NULL, 1455, 10, 10, 2))
        self.assertEqual(lost.ask(wrrq("kept.bin", 3000, dg, d, t)), wrrp(ERR_NULL, 1455, 10, 10, 3))
        self.assertEqual(part.recv(1.0), datrq(0, 0, 7))
        self.assertEqual(lost.recv(1.0), datrq(0, 0, 7))
        for k, f in enumerate(frags(data)):
            lost.send(datrp(3, k, f))
        part.send(datrp(2, 0, data[:1455]))
        rd.send(datrq(1, 0, 1))
        last = time.monotonic()
        self.assertEqual(self.recv_until_close(lost), close(0, ERR_NULL))
        self.assertEqual(rd.recv(1.0), datrp(0, 0, data[:1455]))
        self.assertEqual(self.read_file("kept.bin"), data)

        ends = {}
        deadline = last + 60
        while len(ends) < 3 and time.monotonic() < deadline:
            time.sleep(0.2)
            log = srv.log_text()
            for idx in (1, 2, 3):
                if idx not in ends and ("Free idx %d ok 0 " % idx) in log:
                    ends[idx] = time.monotonic() - last
        self.assertEqual(sorted(ends), [1, 2, 3], "sessions not ended: %r" % ends)
        for idx, dt in ends.items():
            self.assertTrue(29.0 < dt < 50.0, "session %d ended after %.1f s" % (idx, dt))
        self.assertEqual(srv.files(), [PARTS, "kept.bin", "r.txt"])
        self.assertEqual(self.read_file("kept.bin"), data)
        self.assertTrue(wait_for(lambda: len(os.listdir(os.path.join(self.wd, PARTS))) == 2, 2))
        self.assertEqual(sorted(os.listdir(os.path.join(self.wd, PARTS))), ["part.bin" + PART, "part.bin" + REC])
        self.assertEqual(self.read_file(os.path.join(PARTS, "part.bin" + PART)), data[:1455])
        rec = self.read_file(os.path.join(PARTS, "part.bin" + REC))
        self.assertEqual(struct.unpack_from("<I", rec, 52)[0], 1)   # the in-order prefix: fragment 0
        self.assertEqual(os.stat(os.path.join(self.wd, "kept.bin")).st_mtime, when)
        # The silent upload asked for its two missing fragments again about
        # eight times a second; without -d its log got at most one line a
        # second, counting the fragments asked for since the line before.
        log = srv.log_text()
        tos = [int(n) for n in re.findall(r"Update TO rcv 1 idx \d+ to \d+ cnt (\d+)\r\n", log)]
        self.assertEqual(len(tos), log.count("Update TO"))
        self.assertTrue(20 <= len(tos) <= 36, len(tos))
        ers = int(re.search(r"Free rcv 1 ers(?: +[0-9A-F]+){4} +([0-9A-F]+)\r\n", log).group(1), 16)
        self.assertTrue(0 <= ers - sum(tos) < 40, (ers, sum(tos)))
        # The closes stop with the session.
        while lost.recv(0.05) is not None:
            pass
        self.assertNothing(lost, 0.4)
        self.assertTrue(srv.alive())

    # ---- hostile traffic ----------------------------------------------------------

    def test_flood_during_transfers(self):
        rnd = random.Random(5)
        get_data = rnd.randbytes(200 * 1024 + 17)
        put_data = rnd.randbytes(150 * 1024 + 3)
        self.put_file("get.bin", get_data)
        srv = self.start()
        g, p = srv.peer(), srv.peer()
        results = {}

        # Both sessions are open before the flood starts: the flood's own
        # requests fill the free slots soon after.
        x = g.ask(rdrq("get.bin", 1455, 5, 10))
        self.assertEqual(x[:8], rdrp(ERR_NULL)[:8])
        e, f, _t, _n, l, dg, _d, _tm, gr = struct.unpack_from("<BHHBI16siIH", x, 7)
        put_dg = hashlib.md5(put_data).digest()
        # Paced so that both transfers last about as long as the flood.
        self.assertEqual(p.ask(wrrq("put.bin", len(put_data), put_dg, 740153, 0, 1455, 20, 2)),
                         wrrp(ERR_NULL, 1455, 20, 2, 2))

        def do_get():
            r = gr
            n = (l + f - 1) // f
            got = {}
            end = time.monotonic() + 40
            while len(got) < n and time.monotonic() < end:
                missing = [k for k in range(n) if k not in got][:8]
                for b in range(0, len(missing), 32):
                    base = missing[b]
                    s = 0
                    for k in missing[b:b + 32]:
                        if k - base < 32:
                            s |= 1 << (k - base)
                    g.send(datrq(r, base, s))
                stop = time.monotonic() + 0.05
                while time.monotonic() < stop:
                    y = g.recv(0.01)
                    if y is not None and y[6] == DATRP:
                        got[struct.unpack_from("<I", y, 9)[0]] = y[13:-4]
            body = b"".join(got[k] for k in range(n)) if len(got) == n else b""
            g.send(close(r, ERR_NULL))
            results["get"] = body

        def do_put():
            r = 2
            end = time.monotonic() + 40
            while time.monotonic() < end:
                y = p.recv(1.0)
                if y is None:
                    continue
                if y[6] == DATRQ:
                    _r, base, s = struct.unpack_from("<HII", y, 7)
                    for j in range(32):
                        if s >> j & 1:
                            k = base + j
                            p.send(datrp(r, k, put_data[k * 1455:(k + 1) * 1455]))
                elif y[6] == CLOSE:
                    p.send(close(r, y[9]))
                    results["put"] = y[9]
                    return

        def flood(seed):
            fr = random.Random(seed)
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            sizes = {RDRQ: 133, WRRQ: 161, DATRQ: 10, CLOSE: 3}
            try:
                for k in range(2500):
                    kind = fr.random()
                    if kind < 0.4:
                        x = fr.randbytes(fr.randint(0, 2000))
                    else:
                        cmd = fr.randint(0, 8)
                        n = sizes.get(cmd, fr.randint(0, 1461)) if fr.random() < 0.6 else fr.randint(0, 1470)
                        body = bytearray(fr.randbytes(n))
                        if n >= 2 and fr.random() < 0.7:
                            body[0:2] = struct.pack("<H", fr.randint(0, 17))
                        x = tel(cmd, bytes(body))
                        if kind > 0.95:
                            x = x[:-1] + bytes([x[-1] ^ 0xFF])
                    s.sendto(x, ("127.0.0.1", srv.port))
                    if k % 10 == 0:
                        time.sleep(0.01)
            finally:
                s.close()

        threads = [threading.Thread(target=flood, args=(100 + k,)) for k in range(4)]
        threads += [threading.Thread(target=do_get), threading.Thread(target=do_put)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(60)
        self.assertTrue(srv.alive(), srv.err)
        self.assertEqual(dg, hashlib.md5(get_data).digest())
        self.assertEqual(results.get("get"), get_data)
        self.assertEqual(results.get("put"), ERR_NULL)
        self.assertEqual(self.read_file("put.bin"), put_data)
        c = srv.counters()
        self.assertGreater(c["eLen"], 0)
        self.assertGreater(c["eCrc"], 0)
        self.assertTrue(srv.alive())

    # ---- runs of datagrams -----------------------------------------------------

    def test_runs_waiting_when_runs_go_off_are_still_cut(self):
        """While a session at 255 fragments per update is open the socket
        takes runs whole. A run that waits in it when the last such session
        ends (the server is held with SIGSTOP meanwhile, and the run lies
        behind a full receive batch) is still cut into its datagrams: the
        upload it carries completes without a fragment asked for again."""
        self.put_file("f.bin", b"f" * 5000)
        data = random.Random(13).randbytes(10 * 1455)
        srv = self.start("-f", "255")
        fast, up, junk = srv.peer(), srv.peer(), srv.peer()
        self.assertEqual(fast.ask(rdrq("f.bin", 1455, 1, 255))[7], ERR_NULL)   # ref 1: runs on
        self.assertEqual(up.ask(wrrq("up.bin", len(data), hashlib.md5(data).digest(), 740153, 0, 1455, 1, 10)),
                         wrrp(ERR_NULL, 1455, 1, 10, 2))
        self.assertEqual(up.recv(1.0), datrq(0, 0, 0x3FF))
        run = b"".join(datrp(2, k, f) for k, f in enumerate(frags(data)))
        up.s.setsockopt(socket.IPPROTO_UDP, 103, 1472)   # UDP_SEGMENT: one message, cut by the kernel
        os.kill(srv.p.pid, signal.SIGSTOP)
        try:
            fast.send(close(1, ERR_NULL))   # ends the last fast session: runs go off
            for _ in range(63):             # the rest of the first receive batch
                junk.send(b"j")
            time.sleep(0.2)                 # in the socket in this order
            up.send(run)
            time.sleep(0.2)
        finally:
            os.kill(srv.p.pid, signal.SIGCONT)
        self.assertEqual(self.recv_until_close(up, 2.0), close(0, ERR_NULL))
        up.send(close(2, ERR_NULL))
        self.assertEqual(self.read_file("up.bin"), data)
        self.assertCounts(srv.counters(), eLen=63)
        self.assertNotIn("Update TO", srv.log_text())

if __name__ == "__main__":
    unittest.main()
