"""Real transfers between the built client and server on loopback: files of
the sizes around the fragment length and a few MiB, both ways, compared byte
for byte and by modification time; local paths of a put; overwriting on and
off; a missing file; a served file that changes during a get; a client
stopped in the middle of a transfer, which must leave no partial file and no
damaged local copy on either side; and a server that vanishes mid-transfer."""
import os
import random
import re
import shutil
import signal
import socket
import struct
import tempfile
import time
import unittest

from wisp_test_util import (CLI, MTIME, PART, PARTS, REC, SUCCESS, Client, Recorder, Server, flip, key_pair, leftovers,
                            link_counts, read, secure_pair, server_sent, tel, wait_for, write)

SIZES = [0, 1, 1454, 1455, 1456, 2 * 1455 + 5, 5 * 1048576 + 333]
SILENCE = "No reply from the server: it may be down, not in secure mode, or its key may not match the one listed."


class TransferTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="wisp-xfer-")
        cls.sdir = os.path.join(cls.root, "srv")
        os.mkdir(cls.sdir)
        cls.srv = Server(cls.sdir)

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.cdir = tempfile.mkdtemp(prefix="cli-", dir=self.root)
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.stop()

    def client(self, *args, srv=None):
        c = Client(self.cdir, "-p", (srv or self.srv).port, *args)
        self.clients.append(c)
        return c

    def assertSame(self, src, dst):
        """Same bytes (as cmp compares them) and the sender's time to two seconds."""
        with open(src, "rb") as a, open(dst, "rb") as b:
            self.assertTrue(a.read() == b.read(), "%s and %s differ" % (src, dst))
        self.assertLessEqual(abs(os.stat(dst).st_mtime - os.stat(src).st_mtime), 2)

    def test_get_and_put_of_sizes_around_the_fragment_length(self):
        for size in SIZES:
            data = os.urandom(size)
            # Big files also run with other granted parameters.
            opts = ["-u", "2", "-f", "30"] if size > 1048576 else []
            with self.subTest(direction="get", size=size):
                name = "g%d.bin" % size
                write(os.path.join(self.sdir, name), data)
                rc, out, err = self.client(*opts, "get", name).finish(60)
                self.assertEqual(rc, 0, out + err)
                self.assertIn(SUCCESS % size, out)
                self.assertSame(os.path.join(self.sdir, name), os.path.join(self.cdir, name))
            with self.subTest(direction="put", size=size):
                name = "p%d.bin" % size
                write(os.path.join(self.cdir, name), data, MTIME + 3600)
                rc, out, err = self.client(*opts, "put", name).finish(60)
                self.assertEqual(rc, 0, out + err)
                self.assertIn(SUCCESS % size, out)
                dst = os.path.join(self.sdir, name)
                # The server puts the file in place once it has checked it.
                wait_for(lambda: os.path.exists(dst) and os.path.getsize(dst) == size, 5)
                self.assertSame(os.path.join(self.cdir, name), dst)
        self.assertEqual(sorted(n for n in os.listdir(self.sdir) if n.startswith(".")), [])

    def test_255_fragments_per_update_both_ways(self):
        # A server started with -f 255 grants the client's -f 255: windows of
        # 6375 fragments that wrap the receivers' slots, both directions
        # checked by length and digest at the receiving end and here byte for byte.
        sdir = os.path.join(self.root, "srv-f255")
        os.mkdir(sdir)
        fast = Server(sdir, "-f", "255")
        try:
            data = os.urandom(16 * 1048576 + 333)
            write(os.path.join(sdir, "fast.bin"), data)
            rc, out, err = self.client("-f", "255", "get", "fast.bin", srv=fast).finish(120)
            self.assertEqual(rc, 0, out + err)
            self.assertIn("InitSes: Requesting 353.837 MB/s.", out)
            self.assertIn(SUCCESS % len(data), out)
            self.assertNotIn("granted", out)
            self.assertSame(os.path.join(sdir, "fast.bin"), os.path.join(self.cdir, "fast.bin"))
            write(os.path.join(self.cdir, "up.bin"), data[::-1])
            rc, out, err = self.client("-f", "255", "put", "up.bin", srv=fast).finish(120)
            self.assertEqual(rc, 0, out + err)
            self.assertIn(SUCCESS % len(data), out)
            dst = os.path.join(sdir, "up.bin")
            wait_for(lambda: os.path.exists(dst) and os.path.getsize(dst) == len(data), 5)
            self.assertSame(os.path.join(self.cdir, "up.bin"), dst)
        finally:
            fast.stop()
        # The server at its defaults grants 10: the client says what it got.
        write(os.path.join(self.sdir, "slow.bin"), b"s" * 5000)
        rc, out, err = self.client("-f", "255", "get", "slow.bin").finish()
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(out.count("Server granted"), 1, out)
        self.assertIn("RdRp: Server granted 13.875 MB/s.", out)

    def test_put_reads_the_local_path_as_given(self):
        # Relative and absolute paths, one longer than 255 characters; the
        # server gets the last component. A get's name still lands in the
        # current directory under its last component.
        sub = os.urandom(3000)
        os.mkdir(os.path.join(self.cdir, "sub"))
        write(os.path.join(self.cdir, "sub", "lp-y.bin"), sub)
        write(os.path.join(self.cdir, "lp-y.bin"), b"a different file")
        deep = os.path.join(self.cdir, *["d" * 60] * 5)
        os.makedirs(deep)
        far = os.urandom(2000)
        write(os.path.join(deep, "lp-z.bin"), far)
        self.assertGreater(len(os.path.join(deep, "lp-z.bin")), 300)
        for path, name, data in (("sub/lp-y.bin", "lp-y.bin", sub), (os.path.join(deep, "lp-z.bin"), "lp-z.bin", far)):
            with self.subTest(path=path):
                rc, out, err = self.client("put", path).finish()
                self.assertEqual(rc, 0, out + err)
                dst = os.path.join(self.sdir, name)
                self.assertTrue(wait_for(lambda: os.path.exists(dst), 5))
                self.assertEqual(read(dst), data)
        os.remove(os.path.join(self.cdir, "lp-y.bin"))
        rc, out, err = self.client("get", "/any/dir/lp-y.bin").finish()
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(read(os.path.join(self.cdir, "lp-y.bin")), sub)

    def test_served_file_that_changes_during_a_get(self):
        # Grown: the get ends with the length announced at its start.
        # Truncated: the server ends the session with a failure close and the
        # client with its checksum message, leaving no file.
        data = os.urandom(2 * 1048576)
        for change in ("grow", "truncate"):
            with self.subTest(change=change):
                name = "chg-%s.bin" % change
                src = os.path.join(self.sdir, name)
                write(src, data)
                c = self.client("-u", "10", "-f", "4", "get", name)   # about 3.5 s for the file
                self.assertTrue(wait_for(lambda: any(l.startswith("SetState: Transferring") for l in c.log()), 5))
                time.sleep(0.3)
                with open(src, "ab" if change == "grow" else "r+b") as f:
                    if change == "grow":
                        f.write(os.urandom(100000))
                    else:
                        f.truncate(len(data) // 2 + 77)
                rc, out, err = c.finish(60)
                if change == "grow":
                    self.assertEqual(rc, 0, out + err)
                    self.assertEqual(read(os.path.join(self.cdir, name)), data)
                else:
                    self.assertEqual(rc, 255, out + err)
                    self.assertIn("F Client DoClose: Checksum mismatch.", out)
                    self.assertEqual(leftovers(self.cdir), ["chg-grow.bin"])
                    self.assertTrue(wait_for(lambda: re.search(r"Free idx \d+ ok 1 err 3 dst [0-9.:]+ wrt 0 rid '%s'"
                                                               % name, self.srv.log_text()), 5))
                    self.assertRegex(self.srv.log_text(), r"Update snd \d+ idx 720 short len 1053 of 1455")

    def test_overwriting_an_existing_local_file_only_with_o(self):
        data = os.urandom(4000)
        write(os.path.join(self.sdir, "o.bin"), data)
        local = os.path.join(self.cdir, "o.bin")
        write(local, b"old", 1000000000)
        rc, out, _ = self.client("get", "o.bin").finish()
        self.assertEqual(rc, 255)
        self.assertIn("InitSes: Resource already exists.", out)
        self.assertEqual(read(local), b"old")
        rc, out, err = self.client("-o", "get", "o.bin").finish()
        self.assertEqual(rc, 0, out + err)
        self.assertSame(os.path.join(self.sdir, "o.bin"), local)
        self.assertEqual(leftovers(self.cdir), ["o.bin"])

    def test_missing_file_keeps_the_local_copy(self):
        local = os.path.join(self.cdir, "nosuch.bin")
        write(local, b"keep me", 1000000000)
        rc, out, _ = self.client("-o", "get", "nosuch.bin").finish()
        self.assertEqual(rc, 255)
        self.assertIn("F Client RdRp: Resource not found.", out)
        self.assertEqual(read(local), b"keep me")
        self.assertEqual(os.stat(local).st_mtime, 1000000000)
        self.assertEqual(leftovers(self.cdir), ["nosuch.bin"])
        os.remove(local)
        rc, out, _ = self.client("get", "nosuch.bin").finish()
        self.assertEqual(rc, 255)
        self.assertEqual(leftovers(self.cdir), [])   # the next try is not blocked by an empty file

    def test_put_of_an_existing_name_needs_the_servers_o(self):
        sdir = os.path.join(self.root, "srv-o")
        os.mkdir(sdir)
        srv_o = Server(sdir, "-o")
        try:
            for s, d in ((self.srv, self.sdir), (srv_o, sdir)):
                write(os.path.join(d, "e.bin"), b"server's")
            write(os.path.join(self.cdir, "e.bin"), b"client's")
            rc, out, _ = self.client("put", "e.bin").finish()
            self.assertEqual(rc, 255)
            self.assertIn("F Client WrRp: Resource exists or cannot be created.", out)
            self.assertEqual(read(os.path.join(self.sdir, "e.bin")), b"server's")
            rc, out, err = self.client("put", "e.bin", srv=srv_o).finish()
            self.assertEqual(rc, 0, out + err)
            dst = os.path.join(sdir, "e.bin")
            wait_for(lambda: read(dst) == b"client's", 5)
            self.assertSame(os.path.join(self.cdir, "e.bin"), dst)
        finally:
            srv_o.stop()

    def failures(self, name, wrt):
        """The server's lines of sessions for name that a client ended with a failure close."""
        rx = r"Free idx \d+ ok 1 err 3 dst [0-9.:]+ wrt %d rid '%s'" % (wrt, re.escape(name))
        return len(re.findall(rx, self.srv.log_text()))

    def test_get_stopped_midway_leaves_no_partial_file(self):
        # Neither side keeps a partial file: the client's failure close ends
        # the server's session at once, a get's and a put's alike.
        data = os.urandom(2 * 1048576)
        write(os.path.join(self.sdir, "slow.bin"), data)
        write(os.path.join(self.cdir, "up-slow.bin"), data)
        for how in ("signal", "key"):
            with self.subTest(how=how, mode="put"):
                n = self.failures("up-slow.bin", 1)
                c = self.client("-u", "10", "-f", "1", "put", "up-slow.bin")
                self.assertTrue(wait_for(lambda: any(l.startswith("SetState: Transferring") for l in c.log()), 5))
                time.sleep(0.7)
                if how == "signal":
                    c.p.send_signal(signal.SIGTERM)
                else:
                    c.key("q")
                rc, out, err = c.finish()
                self.assertEqual(rc, 255 if how == "signal" else 1, out + err)
                self.assertTrue(wait_for(lambda: self.failures("up-slow.bin", 1) == n + 1, 2))
                self.assertEqual([n for n in os.listdir(self.sdir) if "up-slow" in n], [])
                self.assertNotIn(PARTS, os.listdir(self.sdir))   # a server without -k keeps nothing
                os.remove(os.path.join(self.cdir, "WISPCli.log"))
        os.remove(os.path.join(self.cdir, "up-slow.bin"))
        # kill: no termination chain runs, yet no temporary file is left.
        for how in ("signal", "key", "kill"):
            for existing in (None, b"precious"):
                with self.subTest(how=how, existing=existing):
                    local = os.path.join(self.cdir, "slow.bin")
                    if existing:
                        write(local, existing, 1000000000)
                    n = self.failures("slow.bin", 0)
                    # One fragment per 10 ms: about 14 s for the file.
                    c = self.client("-u", "10", "-f", "1", "-o", "get", "slow.bin")
                    self.assertTrue(wait_for(lambda: any(l.startswith("SetState: Transferring")
                                                         for l in c.log()), 5))
                    time.sleep(0.7)
                    if how == "signal":
                        c.p.send_signal(signal.SIGTERM)
                    elif how == "kill":
                        c.p.send_signal(signal.SIGKILL)
                    else:
                        c.key("q")
                    rc, out, err = c.finish()
                    self.assertEqual(rc, {"signal": 255, "key": 1, "kill": -9}[how], out + err)
                    self.assertNotIn("successful", out)
                    self.assertRegex(out, r"\r\d+/1442")   # progress was under way
                    if how != "kill":
                        self.assertTrue(wait_for(lambda: self.failures("slow.bin", 0) == n + 1, 2))
                    if how == "key":
                        self.assertRegex(out, r"(  0 ){23}\n$")   # the counter line
                    if existing:
                        self.assertEqual(read(local), existing)
                        self.assertEqual(os.stat(local).st_mtime, 1000000000)
                        self.assertEqual(leftovers(self.cdir), ["slow.bin"])
                        os.remove(local)
                    else:
                        self.assertEqual(leftovers(self.cdir), [])
                    os.remove(os.path.join(self.cdir, "WISPCli.log"))


class VanishedServerTest(unittest.TestCase):
    def test_clients_give_up_on_a_server_killed_mid_transfer(self):
        # Once the data phase has begun, 30 s without a telegram from the
        # server end the client with one line, exit code 255 and no file;
        # meanwhile its log gets at most one time-out line a second. A get
        # with -k keeps what it received, and goes on from there.
        root = tempfile.mkdtemp(prefix="wisp-gone-")
        self.addCleanup(shutil.rmtree, root, True)
        sdir, gdir, pdir, kdir = (os.path.join(root, d) for d in ("srv", "get", "put", "keep"))
        for d in (sdir, gdir, pdir, kdir):
            os.mkdir(d)
        data = os.urandom(2 * 1048576)
        write(os.path.join(sdir, "gone.bin"), data)
        write(os.path.join(pdir, "gone-up.bin"), data)
        srv = Server(sdir)
        self.addCleanup(srv.stop)
        clients = [Client(gdir, "-p", srv.port, "-u", "10", "-f", "1", "get", "gone.bin"),
                   Client(pdir, "-p", srv.port, "-u", "10", "-f", "1", "put", "gone-up.bin"),
                   Client(kdir, "-p", srv.port, "-k", "-u", "10", "-f", "1", "get", "gone.bin")]
        for c in clients:
            self.addCleanup(c.stop)
            self.assertTrue(wait_for(lambda: any(l.startswith("SetState: Transferring") for l in c.log()), 5))
        time.sleep(0.5)
        srv.p.kill()
        gone = time.monotonic()
        for c in clients:
            with self.subTest(mode=c.args[-2], keep="-k" in c.args):
                rc, out, err = c.finish(60)
                self.assertTrue(29 < time.monotonic() - gone < 45, time.monotonic() - gone)
                self.assertEqual(rc, 255, out + err)
                self.assertIn("F Client DoData: No answer from the server.\n", out)
                self.assertLessEqual(len([l for l in c.log() if "Update TO" in l]), 40)
        self.assertEqual(leftovers(gdir), [])
        self.assertEqual(leftovers(kdir), ["gone.bin" + PART, "gone.bin" + REC])
        # The server back on its port: the same source.
        srv = Server(sdir, port=srv.port)
        self.addCleanup(srv.stop)
        c = Client(kdir, "-p", srv.port, "-k", "get", "gone.bin")
        self.addCleanup(c.stop)
        rc, out, err = c.finish()
        self.assertEqual(rc, 0, out + err)
        self.assertRegex(out, r"RdRp: Resuming, [1-9]\d* B already received\.")
        self.assertEqual(read(os.path.join(kdir, "gone.bin")), data)
        self.assertEqual(leftovers(kdir), ["gone.bin"])


if __name__ == "__main__":
    unittest.main()


class SecureTransferTest(unittest.TestCase):
    """The secure mode (-e): transfers between a server and a client whose
    key directories trust each other, and everything that must move no byte:
    modes that disagree, a client or a server whose key is not the listed
    one, replays and forgeries."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="wisp-sec-")
        self.sdir, self.cdir = os.path.join(self.root, "srv"), os.path.join(self.root, "cli")
        os.mkdir(self.sdir)
        os.mkdir(self.cdir)
        self.skeys, self.ckeys, self.skey, self.ckey = secure_pair(self.root)
        self.runs = []

    def tearDown(self):
        for r in self.runs:
            r.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def server(self, *args, addr="127.0.0.1"):
        s = Server(self.sdir, "-e", self.skeys, *args, addr=addr)
        self.runs.append(s)
        return s

    def client(self, srv, *args, keys=None, port=None):
        c = Client(self.cdir, "-p", port or srv.port, *(["-e", keys or self.ckeys] if keys != "" else []), *args)
        self.runs.append(c)
        return c

    def secrets(self):
        """The private keys' texts: no console or log line may hold them."""
        return [read(os.path.join(d, "key")).split()[0].decode() for d in (self.skeys, self.ckeys)]

    def test_secure_get_and_put_also_at_255_fragments_with_the_adaptive_rate_and_x(self):
        srv = self.server("-f", "255", "-c", "-x", "-v")
        cases = [(0, []), (1416, []), (1417, []), (3 * 1048576 + 7, ["-c", "-f", "255"]), (70000, ["-x"])]
        outs = []
        for size, opts in cases:
            data = os.urandom(size)
            with self.subTest(direction="get", size=size, opts=opts):
                name = "g%d.bin" % size
                write(os.path.join(self.sdir, name), data)
                rc, out, err = self.client(srv, *opts, "get", name).finish(60)
                self.assertEqual((rc, err), (0, ""), out)
                self.assertIn(SUCCESS % size, out)
                self.assertEqual(read(os.path.join(self.cdir, name)), data)
                outs.append(out)
            with self.subTest(direction="put", size=size, opts=opts):
                name = "p%d.bin" % size
                write(os.path.join(self.cdir, name), data)
                rc, out, err = self.client(srv, *opts, "put", name).finish(60)
                self.assertEqual((rc, err), (0, ""), out)
                self.assertIn(SUCCESS % size, out)
                dst = os.path.join(self.sdir, name)
                wait_for(lambda: os.path.exists(dst) and os.path.getsize(dst) == size, 5)
                self.assertEqual(read(dst), data)
                outs.append(out)
        srv.terminate()
        log = "\n".join(srv.log())
        # The session lines name the client by its line in the list; the
        # grant leaves room for the seal in a 1500-byte datagram.
        self.assertEqual(len(re.findall(r"^Alloc idx \d+ dst \S+ cli 'alice' wrt", log, re.M)), 2 * len(cases), log)
        self.assertEqual(len(re.findall(r"^Free idx \d+ ok 1 err 0 dst \S+ cli 'alice' wrt", log, re.M)),
                         2 * len(cases))
        self.assertIn("fgl 1416 ", log)
        self.assertNotIn("fgl 1455 ", log)
        # A put's first requests wait for the client's confirmation instead
        # of being swallowed by the door and asked for again after their
        # time-out: the small files (one update) have none.
        tos = [int(t, 16) for t in re.findall(r"^Free rcv \d+ ers +([0-9A-F]+)", log, re.M)]
        self.assertEqual(len(tos), len(cases), log)
        self.assertEqual([t for (size, _), t in zip(cases, tos) if size < 100000], [0] * 4)
        self.assertIn("  kdr '%s'" % self.skeys, log)
        # Over IPv6 the grant is 20 bytes smaller again; the client's line
        # for the server is the one of its -a text.
        with open(os.path.join(self.ckeys, "servers"), "a") as f:
            f.write("%s ::1\n" % self.skey)
        srv6 = self.server(addr="::1")
        write(os.path.join(self.sdir, "six.bin"), b"6" * 5000)
        rc, out, err = self.client(srv6, "-a", "::1", "get", "six.bin").finish(30)
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(read(os.path.join(self.cdir, "six.bin")), b"6" * 5000)
        srv6.terminate()
        self.assertIn("fgl 1396 ", srv6.log_text())
        texts = log + "".join(outs) + "".join(r.log_text() for r in self.runs if isinstance(r, Client))
        for k in self.secrets():
            self.assertNotIn(k, texts)

    def test_modes_that_disagree_move_no_byte(self):
        write(os.path.join(self.sdir, "f.bin"), b"f" * 5000)
        srv = self.server()
        plain = self.client(srv, "get", "f.bin", keys="")
        time.sleep(1.5)
        plain.key("q")
        plain.finish()
        self.assertEqual(srv.counters()["dPlain"] >= 1, True)
        srv.terminate()
        self.assertEqual(server_sent(srv), 0)
        # A plain server takes the handshake for an unknown command; the
        # secure client waits as for a server that is not there, and says
        # what may be wrong after a few seconds.
        open_srv = Server(self.sdir)
        self.runs.append(open_srv)
        sec = self.client(open_srv, "get", "f.bin")
        self.assertTrue(wait_for(lambda: SILENCE in sec.out, 8), sec.out)
        self.assertTrue(sec.alive())
        sec.key("q")
        sec.finish()
        self.assertGreaterEqual(open_srv.counters()["eCmd"], 3)
        open_srv.terminate()
        self.assertEqual(server_sent(open_srv), 0)
        self.assertFalse(os.path.exists(os.path.join(self.cdir, "f.bin")))

    def test_hostile_traffic_gets_no_byte(self):
        data = os.urandom(300000)
        write(os.path.join(self.sdir, "f.bin"), data)
        srv = self.server()
        # A secure transfer, recorded on its way.
        rec = Recorder(srv.port)
        try:
            rc, out, err = self.client(srv, "get", "f.bin", port=rec.port).finish(30)
            self.assertEqual(rc, 0, out + err)
            time.sleep(0.3)
            back = rec.back
            # A client whose key the server does not list, and one that holds
            # a key for this address that is not the server's (the server's
            # key changed): no answer, and after a few seconds the client
            # says what may be wrong.
            other = os.path.join(self.root, "other")
            key_pair(CLI, other)
            with open(os.path.join(other, "servers"), "w") as f:
                f.write("%s 127.0.0.1\n" % self.skey)
            wrong = os.path.join(self.root, "wrong")
            os.makedirs(wrong)
            shutil.copy(os.path.join(self.ckeys, "key"), wrong)
            shutil.copy(os.path.join(self.ckeys, "key.pub"), wrong)
            with open(os.path.join(wrong, "servers"), "w") as f:
                f.write("%s 127.0.0.1\n" % self.ckey)   # a key, but not the server's
            os.remove(os.path.join(self.cdir, "f.bin"))
            for keys in (other, wrong):
                c = self.client(srv, "get", "f.bin", keys=keys)
                self.assertTrue(wait_for(lambda: SILENCE in c.out, 8), c.out)
                c.key("q")
                c.finish()
                self.assertFalse(os.path.exists(os.path.join(self.cdir, "f.bin")))
            # From another port: the recorded transfer, each of its datagrams
            # with one bit of the body flipped (the CRC made good again), and
            # handshakes and sealed telegrams of random bytes.
            rnd = random.Random(27)
            hostile = list(rec.sent)
            for _ in range(1500):
                x = bytearray(rnd.choice(rec.sent))
                k = rnd.randrange(7, len(x) - 4)
                x[k] ^= 1 << rnd.randrange(8)
                hostile.append(tel(x[6], bytes(x[7:-4])))
            hs = rec.sent[0]
            for _ in range(1500):
                hostile.append(tel(hs[6], os.urandom(len(hs) - 11)))
                hostile.append(tel(18, os.urandom(rnd.randrange(28, 200))))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.bind(("127.0.0.1", 0))
                s.settimeout(1.0)
                for k, x in enumerate(hostile):
                    s.sendto(x, ("127.0.0.1", srv.port))
                    if k % 200 == 199:
                        time.sleep(0.01)
                self.assertRaises(socket.timeout, s.recv, 2048)
            self.assertEqual(rec.back, back)
        finally:
            rec.stop()
        c = srv.counters()
        for d in ("dMac", "dPeer", "dStamp", "dSes"):
            self.assertGreater(c[d], 0, (d, c))
        srv.terminate()
        # All the server ever sent went to the recorded client.
        self.assertEqual(server_sent(srv), rec.back_n)


def prefix(rec):
    """The in-order prefix of held fragments a record of a partial file
    names (its u32 at offset 52)."""
    return struct.unpack_from("<I", read(rec), 52)[0]


class ResumeTest(unittest.TestCase):
    """-k: a get or a put that stops in any way keeps what arrived, and the
    next one of the same source asks only for what is missing; what cannot
    be trusted (another source, a damaged record, data that fail the final
    check) starts over and never makes a wrong file."""

    SIZE = 8 * 1048576 + 777
    FGMS = -(-SIZE // 1455)
    SLOW = ("-u", "2", "-f", "10")   # about 7 MB/s: a record every 4 MiB is every 0.6 s

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="wisp-resume-")
        self.sdir, self.cdir = os.path.join(self.root, "srv"), os.path.join(self.root, "cli")
        os.mkdir(self.sdir)
        os.mkdir(self.cdir)
        self.data = os.urandom(self.SIZE)
        self.runs = []

    def tearDown(self):
        for r in self.runs:
            r.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def server(self, *args, **kw):
        s = Server(self.sdir, *args, **kw)
        self.runs.append(s)
        return s

    def client(self, srv, *args):
        c = Client(self.cdir, "-p", srv.port, *args)
        self.runs.append(c)
        return c

    def transferring(self, c, secs):
        """Waits until c's data phase has run for secs (the progress line
        reaches the tests only with the next line end)."""
        self.assertTrue(wait_for(lambda: any(l.startswith("SetState: Transferring") for l in c.log()), 5))
        time.sleep(secs)

    def stop(self, p, how):
        """Stops program p by the key q, SIGTERM or SIGKILL; its return code."""
        if how == "key":
            p.key("q")
        else:
            p.p.send_signal(signal.SIGTERM if how == "signal" else signal.SIGKILL)
        rc, out, err = p.finish()
        self.assertNotIn("successful", out)
        return rc

    def interrupted_get(self, srv, name, how="kill", *opts):
        """A -k get of name stopped by how: a kill once its first record is
        there, a key or a signal after some hundred fragments (before any
        record: only the last one made on the way out keeps them)."""
        c = self.client(srv, "-k", *opts, *self.SLOW, "get", name)
        if how == "kill":
            self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.cdir, name + REC)), 10), c.out)
        else:
            self.transferring(c, 0.15)
        self.assertEqual(self.stop(c, how), {"key": 1, "signal": 255, "kill": -9}[how], c.out + c.err)
        self.assertEqual(leftovers(self.cdir), [name + PART, name + REC])

    def resumed(self, c, src, dst):
        """A run that went on: the bytes it found (from its console line)."""
        rc, out, err = c.finish()
        self.assertEqual(rc, 0, out + err)
        self.assertIn(SUCCESS % self.SIZE, out)
        self.assertSame(src, dst)
        m = re.search(r"Resuming, (\d+) B already received\.", out)
        self.assertTrue(m, out)
        return int(m.group(1))

    def started_over(self, c, src, dst):
        rc, out, err = c.finish()
        self.assertEqual(rc, 0, out + err)
        self.assertNotIn("Resuming", out)
        self.assertSame(src, dst)
        return out

    def assertSame(self, src, dst):
        self.assertTrue(read(src) == read(dst), "%s and %s differ" % (src, dst))
        self.assertLessEqual(abs(os.stat(dst).st_mtime - os.stat(src).st_mtime), 2)

    def assertMoved(self, n, held, fgl=1455):
        """n data telegrams of fgl bytes moved for a file of which held bytes
        were there."""
        missing = -(-self.SIZE // fgl) - held // fgl
        self.assertLessEqual(n, missing * 1.05 + 30, (n, missing))

    def test_get_goes_on_after_each_way_it_stops(self):
        # Also with -x, where the digest comes after the data, and in the
        # secure mode (-e on both sides, smaller fragments).
        srv = self.server("-x")
        skeys, ckeys, _, _ = secure_pair(self.root)
        src = write(os.path.join(self.sdir, "big.bin"), self.data)
        dst = os.path.join(self.cdir, "big.bin")
        for how, opts in (("key", ()), ("signal", ()), ("kill", ()), ("kill", ("-x",)), ("kill", ("-e", ckeys))):
            with self.subTest(how=how, opts=opts):
                fgl = 1416 if "-e" in opts else 1455
                if "-e" in opts:
                    srv = self.server("-e", skeys)
                self.interrupted_get(srv, "big.bin", how, *opts)
                c = self.client(srv, "-k", *opts, "get", "big.bin")
                held = self.resumed(c, src, dst)
                self.assertGreaterEqual(held, 50 * 1455 if how != "kill" else 4 * 1048576)
                # Only what was missing moved, and the progress began at what was there.
                self.assertMoved(link_counts(c)["rxn"], held, fgl)
                self.assertGreaterEqual(int(re.search(r"\r(\d+)/", c.out).group(1)), held // fgl)
                self.assertEqual(leftovers(self.cdir), ["big.bin"])
                os.remove(dst)

    def test_get_starts_over_when_what_it_kept_cannot_be_trusted(self):
        srv = self.server()
        src = write(os.path.join(self.sdir, "big.bin"), self.data)
        dst, part, rec = (os.path.join(self.cdir, "big.bin" + x) for x in ("", PART, REC))
        # A partial file being received is no other client's.
        c = self.client(srv, "-k", *self.SLOW, "get", "big.bin")
        self.transferring(c, 0)
        rc, out, err = self.client(srv, "-k", "get", "big.bin").finish()
        self.assertEqual(rc, 255, out + err)
        self.assertIn("InitSes: Partial file in use by another client.", out)
        self.assertEqual(self.stop(c, "kill"), -9)
        # Without -k a get neither reads nor touches a partial file.
        self.interrupted_get(srv, "big.bin")
        kept = read(rec)
        self.started_over(self.client(srv, "get", "big.bin"), src, dst)
        self.assertEqual(read(rec), kept)
        os.remove(dst)
        for case in ("source changed", "record damaged", "record cut", "data damaged"):
            with self.subTest(case=case):
                if case == "record damaged":
                    flip(rec, 60)
                elif case == "record cut":
                    os.truncate(rec, os.path.getsize(rec) // 2)
                elif case == "source changed":
                    self.data = os.urandom(self.SIZE)
                    write(src, self.data, MTIME + 10)
                else:
                    flip(part, 1000)
                c = self.client(srv, "-k", "get", "big.bin")
                if case == "data damaged":
                    # The final check fails; partial file and record go.
                    rc, out, err = c.finish()
                    self.assertEqual(rc, 255, out + err)
                    self.assertIn("Resuming", out)
                    self.assertIn("DoClose: Checksum mismatch.", out)
                    self.assertEqual(leftovers(self.cdir), [])
                    c = self.client(srv, "-k", "get", "big.bin")
                out = self.started_over(c, src, dst)
                self.assertEqual("RdRp: Source changed, starting over." in out, case == "source changed")
                self.assertEqual(any(l.startswith("Part bad 'big.bin'") for l in c.log()[-80:]),
                                 case.startswith("record"))
                self.assertEqual(leftovers(self.cdir), ["big.bin"])
                os.remove(dst)
                if case != "data damaged":
                    self.interrupted_get(srv, "big.bin")

    def interrupted_put(self, srv, how="key", name="up.bin", *opts):
        """A put stopped by the client (key, signal) after some hundred
        fragments, or by the server (server-signal, server-kill: the kill once
        the first record is there). The server's record afterwards."""
        c = self.client(srv, *opts, *self.SLOW, "put", name)
        rec = os.path.join(self.sdir, PARTS, name + REC)
        if how == "server-kill":
            # A record of this run's (one of an earlier run may be there).
            self.assertTrue(wait_for(lambda: os.path.exists(rec) and prefix(rec) * 1455 >= 2 * 1048576, 10), c.out)
        else:
            self.transferring(c, 0.15)
        if how.startswith("server"):
            self.assertEqual(self.stop(srv, how[7:]), 255 if how == "server-signal" else -9, srv.out)
            self.assertEqual(self.stop(c, "key"), 1)
        else:
            self.assertEqual(self.stop(c, how), 1 if how == "key" else 255)
        self.assertTrue(wait_for(lambda: os.path.exists(rec), 5))
        self.assertEqual(sorted(os.listdir(os.path.join(self.sdir, PARTS))), [name + PART, name + REC])
        self.assertNotIn(name, os.listdir(self.sdir))
        return rec

    def test_put_goes_on_after_each_way_it_stops(self):
        src = write(os.path.join(self.cdir, "up.bin"), self.data)
        dst = os.path.join(self.sdir, "up.bin")
        sargs = ("-k", "-x")
        srv = self.server(*sargs)
        skeys, ckeys, _, _ = secure_pair(self.root)
        for how, opts in (("key", ()), ("signal", ()), ("server-signal", ()), ("server-kill", ()), ("key", ("-x",)),
                          ("server-kill", ("-e", ckeys))):
            with self.subTest(how=how, opts=opts):
                fgl = 1416 if "-e" in opts else 1455
                if "-e" in opts:
                    # The secure mode in front of the same kept uploads.
                    srv.stop()
                    sargs = ("-k", "-e", skeys)
                    srv = self.server(*sargs)
                rec = self.interrupted_put(srv, how, "up.bin", *opts)
                if how.startswith("server"):
                    srv = self.server(*sargs)
                # The held in-order prefix is a floor.
                held = prefix(rec) * fgl
                self.assertGreaterEqual(held, 50 * 1455)
                c = self.client(srv, *opts, "put", "up.bin")
                rc, out, err = c.finish()
                self.assertEqual(rc, 0, out + err)
                self.assertSame(src, dst)
                self.assertTrue(srv.wait_log(r"^Part kept 'up\.bin'$", 1))
                self.assertMoved(link_counts(c)["txn"], held, fgl)
                self.assertEqual(os.listdir(os.path.join(self.sdir, PARTS)), [])
                os.remove(dst)

    def test_put_starts_over_and_its_partial_uploads_stay_hidden(self):
        src = write(os.path.join(self.cdir, "up.bin"), self.data)
        dst = os.path.join(self.sdir, "up.bin")
        srv = self.server("-k", env=dict(os.environ, WISP_PART_LIFE="2", WISP_PART_SWEEP="1"))
        self.interrupted_put(srv)
        # No client names a partial upload (a resource id is a name in the
        # served directory) or makes one.
        for args, msg in ((("get", PARTS + "/up.bin" + PART), "RdRp: Resource not found."),
                          (("put", "up.bin" + PART), "WrRp: Resource exists or cannot be created.")):
            if args[0] == "put":
                write(os.path.join(self.cdir, args[1]), b"x")
            rc, out, err = self.client(srv, *args).finish()
            self.assertEqual(rc, 255, out + err)
            self.assertIn(msg, out)
        os.remove(os.path.join(self.cdir, "up.bin" + PART))
        # Another date and time: the upload starts over.
        os.utime(src, (MTIME + 10, MTIME + 10))
        rc, out, err = self.client(srv, "put", "up.bin").finish()
        self.assertEqual(rc, 0, out + err)
        self.assertSame(src, dst)
        self.assertGreater(link_counts(self.runs[-1])["txn"], self.FGMS)
        os.remove(dst)
        # Data that fail the final check go with their record.
        self.interrupted_put(srv)
        flip(os.path.join(self.sdir, PARTS, "up.bin" + PART), 1000)
        rc, out, err = self.client(srv, "put", "up.bin").finish()
        self.assertEqual(rc, 255, out + err)
        self.assertIn("DoClose: Checksum mismatch.", out)
        self.assertEqual(os.listdir(os.path.join(self.sdir, PARTS)), [])
        self.assertNotIn("up.bin", os.listdir(self.sdir))
        # A partial upload outlives its life by a sweep at most.
        self.interrupted_put(srv)
        self.assertTrue(srv.wait_log(r"^Part sweep 'up\.bin' expired$", 5))
        self.assertTrue(wait_for(lambda: os.listdir(os.path.join(self.sdir, PARTS)) == [], 1))
