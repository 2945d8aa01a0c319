"""The extended exchange (-x) between the built programs on loopback: the
interop matrix of a client with or without -x and a server with or without
it, for a file below 4 GiB (moved as always) and one above (refused within
5 s with the cause named, nothing created on either side, or moved by two
programs with -x), and a served file that changes during a -x get.

The transfers of 4 GiB run only in the plain build (not under the
sanitizers, where they take minutes): sparse source files, the received
copy checked by the client's own end check and at its last bytes."""
import os
import shutil
import tempfile
import time
import unittest

from wisp_test_util import SUCCESS, Client, Server, leftovers, read, write

SANITIZED = os.environ.get("WISP_SANITIZED", "0") not in ("0", "", "OFF")
G4 = 1 << 32
MARK = b"\xa1\xb2\xc3"


def sparse(path, size):
    """A sparse file of size bytes that ends with MARK."""
    with open(path, "wb") as f:
        f.truncate(size)
        f.seek(size - len(MARK))
        f.write(MARK)


class ExtendedTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="wisp-ext-")
        cls.srvs = {}
        for x in (False, True):
            d = os.path.join(cls.root, "srv-x" if x else "srv")
            os.mkdir(d)
            cls.srvs[x] = Server(d, "-f", "255", *(["-x"] if x else []))
            sparse(os.path.join(d, "big.bin"), G4 + 3000)
            write(os.path.join(d, "small.bin"), os.urandom(3 * 1048576 + 333))

    @classmethod
    def tearDownClass(cls):
        for s in cls.srvs.values():
            s.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.cdir = tempfile.mkdtemp(prefix="cli-", dir=self.root)
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.stop()
        shutil.rmtree(self.cdir, ignore_errors=True)

    def run_client(self, srvx, clix, *args, timeout=60):
        c = Client(self.cdir, "-p", self.srvs[srvx].port, "-f", "255", *(["-x"] if clix else []), *args)
        self.clients.append(c)
        t0 = time.monotonic()
        rc, out, err = c.finish(timeout)
        return rc, out, time.monotonic() - t0, c

    def test_file_below_4_GiB_moves_in_every_pairing(self):
        for srvx in (False, True):
            for clix in (False, True):
                with self.subTest(server_x=srvx, client_x=clix):
                    sdir = self.srvs[srvx].cwd
                    src = os.path.join(sdir, "small.bin")
                    rc, out, _, c = self.run_client(srvx, clix, "get", "small.bin")
                    self.assertEqual(rc, 0, out)
                    self.assertEqual(read(os.path.join(self.cdir, "small.bin")), read(src))
                    # Only two programs with -x take the extended exchange.
                    both = srvx and clix
                    self.assertEqual(any(t.startswith("XRdRp ") for t in c.log()[-40:]), both)
                    up = "up-%d%d.bin" % (srvx, clix)
                    os.rename(os.path.join(self.cdir, "small.bin"), os.path.join(self.cdir, up))
                    rc, out, _, c = self.run_client(srvx, clix, "put", up)
                    self.assertEqual(rc, 0, out)
                    self.assertEqual(read(os.path.join(sdir, up)), read(src))
                    self.assertEqual(any(t.startswith("XWrRp ") for t in c.log()[-40:]), both)
                    os.remove(os.path.join(sdir, up))
                    os.remove(os.path.join(self.cdir, up))

    def test_file_of_4_GiB_and_more_without_x_on_one_side_is_refused(self):
        sparse(os.path.join(self.cdir, "up.bin"), G4)
        cases = [
            # server -x, client -x, mode, message
            (False, True, "get", "RdRp: Resource not found (a file of 4 GiB or more needs -x on the server)."),
            (False, True, "put", "WrRq: No answer from the server; a file of 4 GiB or more needs -x on the server."),
            (True, False, "get", "RdRp: Resource not found."),
            (True, False, "put", "InitSes: Resource too large."),
            (False, False, "get", "RdRp: Resource not found."),
        ]
        for srvx, clix, mode, msg in cases:
            with self.subTest(server_x=srvx, client_x=clix, mode=mode):
                rc, out, secs, _ = self.run_client(srvx, clix, mode, "big.bin" if mode == "get" else "up.bin")
                self.assertEqual(rc, 255, out)
                self.assertIn(msg, out)
                self.assertLess(secs, 5)
                self.assertEqual(leftovers(self.cdir), ["up.bin"])
                self.assertEqual(sorted(self.srvs[srvx].files()), ["big.bin", "small.bin"])
        # The server with -x says why it refused a classic request.
        self.assertIsNotNone(self.srvs[True].wait_log(
            r"RdRq rid 'big\.bin' len 4294970296 refused: a file of 4 GiB or more needs the extended exchange",
            5))

    @unittest.skipIf(SANITIZED, "4 GiB transfers run in the plain build only")
    def test_files_of_4_GiB_move_between_two_programs_with_x(self):
        # A get of 4 GiB + 3000 bytes (its last two fragments start beyond
        # 2^32 bytes), a put of exactly 4 GiB.
        rc, out, _, _ = self.run_client(True, True, "get", "big.bin", timeout=120)
        self.assertEqual(rc, 0, out)
        self.assertIn(SUCCESS % (G4 + 3000), out)
        got = os.path.join(self.cdir, "big.bin")
        self.assertEqual(os.path.getsize(got), G4 + 3000)
        with open(got, "rb") as f:
            f.seek(G4 + 3000 - 4)
            self.assertEqual(f.read(), b"\0" + MARK)
        os.remove(got)
        sparse(os.path.join(self.cdir, "four.bin"), G4)
        rc, out, _, _ = self.run_client(True, True, "put", "four.bin", timeout=120)
        self.assertEqual(rc, 0, out)
        self.assertIn(SUCCESS % G4, out)
        put = os.path.join(self.srvs[True].cwd, "four.bin")
        try:
            self.assertEqual(os.path.getsize(put), G4)
            with open(put, "rb") as f:
                f.seek(G4 - 3)
                self.assertEqual(f.read(), MARK)
        finally:
            os.remove(put)

    def test_served_file_that_changes_during_a_get_with_x_fails(self):
        sdir = self.srvs[True].cwd
        src = os.path.join(sdir, "moving.bin")
        write(src, os.urandom(40 * 1048576))
        # 10 fragments per 1 ms update: about 14 MB/s, so the change comes
        # while the data flow.
        c = Client(self.cdir, "-p", self.srvs[True].port, "-x", "get", "moving.bin")
        self.clients.append(c)
        self.assertIsNotNone(c.wait_log(r"^XRdRp ", 10))
        time.sleep(0.3)
        with open(src, "r+b") as f:
            f.seek(1000)
            f.write(b"changed")
        rc, out, err = c.finish(60)
        self.assertEqual(rc, 255, out)
        self.assertIn("DoClose: Checksum mismatch.", out)
        self.assertEqual(leftovers(self.cdir), [])
        os.remove(src)


if __name__ == "__main__":
    unittest.main()
