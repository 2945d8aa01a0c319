"""Real transfers between the built client and server on loopback: files of
the sizes around the fragment length and a few MiB, both ways, compared byte
for byte and by modification time; overwriting on and off; a missing file;
and a client stopped in the middle of a get, which must leave no partial file
and no damaged local copy."""
import os
import shutil
import signal
import tempfile
import time
import unittest

from wisp_test_util import MTIME, SUCCESS, Client, Server, leftovers, read, wait_for, write

SIZES = [0, 1, 1454, 1455, 1456, 2 * 1455 + 5, 5 * 1048576 + 333]


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

    def test_get_stopped_midway_leaves_no_partial_file(self):
        data = os.urandom(2 * 1048576)
        write(os.path.join(self.sdir, "slow.bin"), data)
        # kill: no termination chain runs, yet no temporary file is left.
        for how in ("signal", "key", "kill"):
            for existing in (None, b"precious"):
                with self.subTest(how=how, existing=existing):
                    local = os.path.join(self.cdir, "slow.bin")
                    if existing:
                        write(local, existing, 1000000000)
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


if __name__ == "__main__":
    unittest.main()
