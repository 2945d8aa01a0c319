"""The server under load: 16 transfers at once (half get, half put) all verify,
a 17th client is refused as long as they run and is served once one has
ended; and a flood of 100 000 hostile datagrams from many ports during 4
transfers leaves the transfers intact, the server running and its counters
consistent."""
import os
import random
import shutil
import socket
import struct
import tempfile
import time
import unittest

from wisp_test_util import SUCCESS, Client, Server, read, tel, wait_for, write

LENS = {1: 133, 2: 36, 3: 161, 4: 8, 5: 10, 6: 1461, 7: 3}   # body length of each command


def transferring(c):
    return any(l.startswith("SetState: Transferring") for l in c.log())


class LoadTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="wisp-load-")
        self.sdir = os.path.join(self.root, "srv")
        os.mkdir(self.sdir)
        self.srv = Server(self.sdir)
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.stop()
        self.srv.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def start(self, mode, name, size, *opts):
        """A client in a directory of its own; the file to move is made first.
        Returns (client, source path, destination path, data)."""
        cdir = tempfile.mkdtemp(prefix="cli-", dir=self.root)
        data = os.urandom(size)
        src = os.path.join(self.sdir if mode == "get" else cdir, name)
        dst = os.path.join(cdir if mode == "get" else self.sdir, name)
        if not os.path.exists(src):
            write(src, data)
        else:
            data = read(src)
        c = Client(cdir, "-p", self.srv.port, *opts, mode, name)
        self.clients.append(c)
        return c, dst, data

    def verify(self, run, timeout=60):
        c, dst, data = run
        rc, out, err = c.finish(timeout)
        self.assertEqual(rc, 0, out[-1000:] + err)
        self.assertIn(SUCCESS % len(data), out)
        self.assertTrue(wait_for(lambda: os.path.exists(dst) and read(dst) == data, 5), dst)

    def test_sixteen_at_once_a_seventeenth_is_refused_then_served(self):
        # Two fragments per 20 ms: a 1 MiB file takes about 7 s, so all 16
        # are under way together while the 17th asks.
        slow = ("-u", "20", "-f", "2")
        runs = [self.start("get" if k % 2 == 0 else "put", "f%02d.bin" % k, 1048576 + k, *slow)
                for k in range(16)]
        self.assertTrue(wait_for(lambda: all(transferring(r[0]) for r in runs), 20, 0.1),
                        [transferring(r[0]) for r in runs])
        for mode, text in (("get", "RdRp: Server full."), ("put", "WrRp: Server full.")):
            c, _, _ = self.start(mode, "x-%s.bin" % mode, 1000)
            rc, out, err = c.finish(10)
            self.assertEqual(rc, 255, out + err)
            self.assertIn(text, out)
            self.assertNotIn("successful", out)
        # A transfer ends; the next client is served.
        first = runs[0]
        self.verify(first)
        late = self.start("get", "late.bin", 300000)
        self.verify(late, 30)
        for r in runs[1:]:
            self.verify(r)
        cnt = self.srv.counters()
        self.assertEqual((cnt["eRdRqBsy"], cnt["eWrRqBsy"]), (1, 1), cnt)
        self.assertEqual(cnt["eNull"], 2, cnt)

    def test_flood_of_hostile_datagrams_during_four_transfers(self):
        # The transfers run slowly enough (about 0.7 MB/s each) to last
        # through the whole flood.
        opts = ("-u", "10", "-f", "5")
        runs = [self.start(m, "fl%d.bin" % k, 4 * 1048576 + k, *opts)
                for k, m in enumerate(("get", "put", "get", "put"))]
        self.assertTrue(wait_for(lambda: all(transferring(r[0]) for r in runs), 10, 0.1))
        write(os.path.join(self.sdir, "taken.bin"), b"x")
        rng = random.Random(7)
        socks = []
        try:
            for _ in range(64):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.bind(("127.0.0.1", 0))
                s.setblocking(False)
                socks.append(s)
            dest = ("127.0.0.1", self.srv.port)
            sent = 0
            t0 = time.time()
            for k in range(100000):
                if k % 2 == 0:
                    x = rng.randbytes(rng.choice((rng.randrange(0, 30), rng.randrange(0, 1600))))
                else:
                    cmd = rng.randrange(0, 10)
                    n = LENS.get(cmd, 20) if rng.random() < 0.5 else rng.randrange(0, 1470)
                    body = bytearray(rng.randbytes(n))
                    if cmd in (5, 6, 7) and n >= 2:
                        body[0:2] = struct.pack("<H", rng.randrange(0, 20))   # a reference near the real ones
                    # Requests that reach the file table name a missing file
                    # (read) or one that exists (write), so they open no session.
                    if cmd == 1 and n == 133:
                        body[5:] = b"no such file".ljust(128, b"\0")
                        body[0:2] = struct.pack("<H", rng.choice((0, 1455)))
                    if cmd == 3 and n == 161:
                        body[33:] = b"taken.bin".ljust(128, b"\0")
                        body[0:2] = struct.pack("<H", rng.choice((0, 1455)))
                    x = tel(cmd, bytes(body))
                try:
                    socks[k % len(socks)].sendto(x, dest)
                    sent += 1
                except (BlockingIOError, OSError):
                    pass
                if k % 2000 == 1999:
                    # Drain the answers the server sends to the flood's ports
                    # and pace the flood over a few seconds.
                    for s in socks:
                        try:
                            while True:
                                s.recv(2048)
                        except (BlockingIOError, OSError):
                            pass
                    time.sleep(0.04)
            flood_time = time.time() - t0
        finally:
            for s in socks:
                s.close()
        self.assertGreater(sent, 99000)
        for r in runs:
            self.verify(r, 90)
        self.assertTrue(self.srv.alive())
        cnt = self.srv.counters()
        others = sum(v for k, v in cnt.items() if k != "eNull")
        # The console shows the low 12 bits of each counter.
        self.assertEqual(cnt["eNull"], others % 4096, cnt)
        for k in ("eLen", "eCrc", "eCmd"):
            self.assertGreater(cnt[k], 0, cnt)
        # And it still serves.
        self.verify(self.start("get", "after.bin", 100000), 30)
        self.assertGreater(flood_time, 1.0)


if __name__ == "__main__":
    unittest.main()
