"""Addresses of both families between the built client and server on
loopback: get and put over ::1 with the smaller IPv6 fragment, a dual-stack
server (-a ::) with an IPv4 and an IPv6 client at the same time, a client that
names its server by host name, and the endpoints as the logs write them
(dotted IPv4 as ever, [addr]:port for IPv6, never a ::ffff: form). The client
networks of -n on a dual-stack server, and runs of datagrams sized by the
client's family and refused for one client alone."""
import hashlib
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

from wisp_test_util import (DATRP, ERR_NULL, MTIME, SUCCESS, Client, Server, close, datrq, leftovers, rdrq,
                            wait_for, write)

FGL6 = 1435        # the largest fragment an IPv6 session is granted
FGL4 = 1455


class AddressTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="wisp-adr-")
        self.sdir = os.path.join(self.root, "srv")
        os.mkdir(self.sdir)
        self.servers, self.clients = [], []

    def tearDown(self):
        for p in self.clients + self.servers:
            p.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def server(self, adr, *args):
        s = Server(self.sdir, *args, addr=adr)
        self.servers.append(s)
        return s

    def client(self, cdir, srv, *args):
        c = Client(cdir, "-p", srv.port, *args)
        self.clients.append(c)
        return c

    def cdir(self, name):
        d = os.path.join(self.root, name)
        os.mkdir(d)
        return d

    def assertSame(self, src, dst):
        with open(src, "rb") as a, open(dst, "rb") as b:
            self.assertTrue(a.read() == b.read(), "%s and %s differ" % (src, dst))
        self.assertLessEqual(abs(os.stat(dst).st_mtime - os.stat(src).st_mtime), 2)

    def assertLine(self, log, start):
        """A line of the log begins with start (the log's fgl lines shown otherwise)."""
        self.assertTrue(any(t.startswith(start) for t in log), [t for t in log if " fgl " in t])

    def assertLogForms(self, texts):
        """No endpoint in a log is written in a mapped form or unbracketed with a port."""
        for t in texts:
            self.assertNotIn("::ffff:", t)
            self.assertIsNone(re.search(r"(?<![\[0-9a-f:])::1:\d", t), t)

    def test_get_and_put_over_ipv6_loopback(self):
        srv = self.server("::1")
        texts = srv.log()
        self.assertIn("InitSock Listening on [::1]:%d" % srv.port, texts)
        self.assertIn("AdjSock DontFrag 1", texts)
        self.assertNotIn("AdjSock V6Only 0", texts)   # only "::" asks for dual stack
        self.assertIn("  adr ::1", texts)
        cdir = self.cdir("cli")
        sizes = [0, 1, FGL6, FGL6 + 1, 2 * FGL6 + 5, 3 * 1048576 + 7]
        for size in sizes:
            data = os.urandom(size)
            frags = (size + FGL6 - 1) // FGL6
            with self.subTest(direction="get", size=size):
                name = "g%d.bin" % size
                write(os.path.join(self.sdir, name), data)
                c = self.client(cdir, srv, "-a", "::1", "get", name)
                rc, out, err = c.finish(60)
                self.assertEqual(rc, 0, out + err)
                self.assertIn(SUCCESS % size, out)
                self.assertIn("\r%d/%d\n" % (frags, frags), out)   # fragments of the IPv6 length
                self.assertSame(os.path.join(self.sdir, name), os.path.join(cdir, name))
                log = c.log()
                self.assertLine(log, "RdRq fgl %d " % FGL4)   # asked for the most,
                self.assertLine(log, "RdRp fgl %d " % FGL6)   # granted the IPv6 length
                self.assertLine(log, "InitSock Using local socket [::]:")
                self.assertIn("  adr ::1", log)
            with self.subTest(direction="put", size=size):
                name = "p%d.bin" % size
                write(os.path.join(cdir, name), data, MTIME + 3600)
                c = self.client(cdir, srv, "-a", "::1", "put", name)
                rc, out, err = c.finish(60)
                self.assertEqual(rc, 0, out + err)
                self.assertIn(SUCCESS % size, out)
                self.assertLine(c.log(), "WrRp fgl %d " % FGL6)
                dst = os.path.join(self.sdir, name)
                wait_for(lambda: os.path.exists(dst) and os.path.getsize(dst) == size, 5)
                self.assertSame(os.path.join(cdir, name), dst)
            os.remove(os.path.join(cdir, "WISPCli.log"))
        texts = srv.log()
        allocs = [t for t in texts if t.startswith("Alloc idx ") and " dst " in t]   # the sessions
        self.assertEqual(len(allocs), 2 * len(sizes))
        for t in allocs:
            self.assertRegex(t, r"^Alloc idx \d+ dst \[::1\]:\d+ wrt [01] ")
        self.assertEqual([t for t in texts if t.startswith("Alloc snd ") and " fgl %d " % FGL6 not in t], [])
        self.assertLogForms(texts)
        self.assertEqual(sorted(n for n in os.listdir(self.sdir) if n.startswith(".")), [])

    def test_dual_stack_serves_ipv4_and_ipv6_clients_at_once(self):
        srv = self.server("::")
        texts = srv.log()
        self.assertIn("InitSock Listening on [::]:%d" % srv.port, texts)
        self.assertIn("AdjSock V6Only 0", texts)
        data = os.urandom(1048576 + 3)
        write(os.path.join(self.sdir, "both.bin"), data)
        c4dir, c6dir = self.cdir("c4"), self.cdir("c6")
        write(os.path.join(c6dir, "up6.bin"), data[::-1])
        # About 1.5 s each: 10 fragments every 20 ms; the two overlap.
        c4 = self.client(c4dir, srv, "-a", "127.0.0.1", "-u", "20", "get", "both.bin")
        c6 = self.client(c6dir, srv, "-a", "::1", "-u", "20", "put", "up6.bin")
        for c in (c4, c6):
            rc, out, err = c.finish(60)
            self.assertEqual(rc, 0, out + err)
        self.assertSame(os.path.join(self.sdir, "both.bin"), os.path.join(c4dir, "both.bin"))
        dst = os.path.join(self.sdir, "up6.bin")
        wait_for(lambda: os.path.exists(dst) and os.path.getsize(dst) == len(data), 5)
        self.assertSame(os.path.join(c6dir, "up6.bin"), dst)
        self.assertLine(c4.log(), "RdRp fgl %d " % FGL4)
        self.assertLine(c4.log(), "InitSock Using local socket 0.0.0.0:")
        self.assertLine(c6.log(), "WrRp fgl %d " % FGL6)
        wait_for(lambda: sum(t.startswith("Free idx ") and " dst " in t for t in srv.log()) == 2, 5)
        texts = srv.log()
        marks = [(t.split()[0], t) for t in texts if t.startswith(("Alloc idx ", "Free idx ")) and " dst " in t]
        self.assertEqual([m for m, _ in marks], ["Alloc", "Alloc", "Free", "Free"], marks)   # at once
        dsts = sorted(re.search(r" dst (\S+) ", t).group(1) for m, t in marks if m == "Alloc")
        self.assertRegex(dsts[0], r"^127\.0\.0\.1:\d+$")
        self.assertRegex(dsts[1], r"^\[::1\]:\d+$")
        snd = [t for t in texts if t.startswith("Alloc snd ")]
        self.assertEqual(len(snd), 1)
        self.assertTrue(snd[0].endswith(" fgl %d cnt %d" % (FGL4, (len(data) + FGL4 - 1) // FGL4)), snd)
        self.assertLogForms(texts)

    def peer(self, fam, gro=False, host=None):
        """A raw client socket on loopback (or host) of family fam; with gro it
        takes runs of datagrams whole (UDP_GRO), as they were sent."""
        s = socket.socket(fam, socket.SOCK_DGRAM)
        self.addCleanup(s.close)
        if gro:
            s.setsockopt(socket.IPPROTO_UDP, 104, 1)   # UDP_GRO
        s.bind((host or ("127.0.0.1" if fam == socket.AF_INET else "::1"), 0))
        s.settimeout(1.0)
        return s

    @staticmethod
    def ask(s, srv, x):
        """The answer to x from the server, or None within a second."""
        s.sendto(x, ("127.0.0.1" if s.family == socket.AF_INET else "::1", srv.port))
        try:
            return s.recv(70000)
        except socket.timeout:
            return None

    def fast_get(self, srv, fgl, host=None, tag=0):
        """A get of 64 fragments of length fgl at 255 per update by an IPv4
        client on host that takes runs whole; the sizes of what it received
        (a run arrives as one)."""
        data = os.urandom(64 * fgl)
        name = "r%d-%s-%d.bin" % (fgl, host, tag)   # one file each: the server keeps digests of unchanged files
        write(os.path.join(self.sdir, name), data)
        c = self.peer(socket.AF_INET, gro=True, host=host)
        rp = self.ask(c, srv, rdrq(name, fgl, 1, 255))
        self.assertIsNotNone(rp)
        e, f, _t, n, length, dg = struct.unpack_from("<BHHBI16s", rp, 7)
        self.assertEqual((e, f, n, length, dg), (ERR_NULL, fgl, 255, len(data), hashlib.md5(data).digest()))
        ref = struct.unpack_from("<H", rp, 41)[0]
        for base in (0, 32):
            c.sendto(datrq(ref, base, 0xFFFFFFFF), ("127.0.0.1", srv.port))
        got, sizes = {}, []
        while len(got) < 64:
            try:
                x = c.recv(70000)
            except socket.timeout:
                break
            sizes.append(len(x))
            for at in range(0, len(x), fgl + 17):
                y = x[at:at + fgl + 17]
                self.assertEqual(y[6], DATRP)
                got[struct.unpack_from("<I", y, 9)[0]] = y[13:-4]
        self.assertEqual(b"".join(got.get(k, b"") for k in range(64)), data)
        c.sendto(close(ref, ERR_NULL), ("127.0.0.1", srv.port))
        return sizes

    def test_dual_stack_networks(self):
        """On a dual-stack server an IPv4 network of -n holds the IPv4 clients,
        as does its mapped form; an IPv6 network the IPv6 ones alone."""
        write(os.path.join(self.sdir, "f.bin"), b"fenced")
        cases = [(("-n", "127.0.0.1"), True, False), (("-n", "::ffff:127.0.0.0/104"), True, False),
                 (("-n", "::1/128"), False, True), (("-n", "::/0"), True, True)]
        for args, v4, v6 in cases:
            with self.subTest(args=args):
                srv = self.server("::", *args)
                for fam, served in ((socket.AF_INET, v4), (socket.AF_INET6, v6)):
                    x = self.ask(self.peer(fam), srv, rdrq("f.bin"))
                    if served:
                        self.assertIsNotNone(x, fam)
                        self.assertEqual((x[7], struct.unpack_from("<I", x, 13)[0]), (ERR_NULL, 6))
                    else:
                        self.assertIsNone(x, fam)
                self.assertEqual(srv.counters()["eNet"], (not v4) + (not v6))
                srv.stop()
                self.servers.remove(srv)

    def test_runs_to_ipv4_clients_of_a_dual_stack_server(self):
        """Runs are sized by the peer's family: an IPv4 client of a dual-stack
        server at fragment length 1439 gets runs of 44 datagrams (45 would pass
        IPv4's 65507 bytes), and runs stay on for the next fast client."""
        srv = self.server("::", "-f", "255")
        for fgl in (1439, 1455):
            with self.subTest(fgl=fgl):
                # The two requests of 32 fragments make a run of 44 when the
                # server takes them in the same step; on a busy machine it
                # may take them one by one (runs of 32), so it gets a few
                # tries. No run is ever longer.
                seen = []
                for _ in range(5):
                    sizes = self.fast_get(srv, fgl, tag=len(seen))
                    self.assertLessEqual(max(sizes), 44 * (fgl + 17), sizes)
                    seen.append(max(sizes))
                    if seen[-1] == 44 * (fgl + 17):
                        break
                self.assertEqual(seen[-1], 44 * (fgl + 17), seen)
        srv.terminate()
        self.assertRegex([t for t in srv.log() if t.startswith("DoneModule txn ")][-1], r" txe 0 ")

    def test_a_refused_run_ends_runs_for_its_peer_alone(self):
        """In a network namespace whose route to 127.0.0.2 has an MTU of 1400,
        the kernel refuses runs of 1472-byte datagrams to that client: it gets
        its fragments one by one (the kernel fragments them), and a client on
        127.0.0.1 afterwards still gets runs."""
        if os.environ.get("WISP_IN_NETNS") != "1":
            if shutil.which("unshare") is None or shutil.which("ip") is None or \
                    subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0:
                self.skipTest("no network namespace of our own (needs root, unshare and ip)")
            r = subprocess.run(["unshare", "-n", sys.executable, "-m", "unittest", "-v",
                                "%s.%s" % (__name__, self.id().split(".", 1)[1])],
                               cwd=os.path.dirname(os.path.abspath(__file__)), capture_output=True, text=True,
                               env=dict(os.environ, WISP_IN_NETNS="1"), timeout=120)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(" ok\n", r.stderr)
            return
        for cmd in (["ip", "link", "set", "lo", "up"],
                    ["ip", "route", "replace", "local", "127.0.0.2", "dev", "lo", "table", "local", "mtu", "lock",
                     "1400"]):
            subprocess.run(cmd, check=True)
        srv = self.server("127.0.0.1", "-f", "255")
        self.assertEqual(max(self.fast_get(srv, 1455, "127.0.0.2")), 1472)
        self.assertEqual(max(self.fast_get(srv, 1455, "127.0.0.1")), 44 * 1472)
        srv.terminate()
        self.assertRegex([t for t in srv.log() if t.startswith("DoneModule txn ")][-1], r" txe 0 ")

    def test_client_names_its_server(self):
        srv = self.server("::")   # whichever family localhost resolves to
        cdir = self.cdir("cli")
        write(os.path.join(self.sdir, "n.bin"), b"by name" * 1000)
        c = self.client(cdir, srv, "-a", "localhost", "get", "n.bin")
        rc, out, err = c.finish(30)
        self.assertEqual(rc, 0, out + err)
        self.assertSame(os.path.join(self.sdir, "n.bin"), os.path.join(cdir, "n.bin"))
        log = c.log()
        rnm = log.index("  rnm 'n.bin'")
        self.assertEqual(log[rnm + 1], "  hst 'localhost'")   # the name's field after the others
        self.assertIn(log[rnm - 4], ("  adr 127.0.0.1", "  adr ::1"))
        self.assertEqual(leftovers(cdir), ["n.bin"])


if __name__ == "__main__":
    unittest.main()
