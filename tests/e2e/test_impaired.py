"""Transfers through the impairment relay: loss, duplication, reordering and
bit flips in both directions, and an outage of a few seconds in the middle
of a transfer. Every file must arrive byte for byte, and every flipped
datagram must be caught by the CRC: the relay's count of flipped datagrams
per direction equals the receiving program's eCrc counter."""
import os
import shutil
import tempfile
import time
import unittest

from wisp_test_util import SUCCESS, Client, Relay, Server, client_log_counters, read, wait_for, write

SIZE = 3 * 1048576 + 777


class ImpairedTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="wisp-imp-")
        cls.sdir = os.path.join(cls.root, "srv")
        os.mkdir(cls.sdir)
        cls.srv = Server(cls.sdir)

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.relays, self.clients = [], []

    def tearDown(self):
        for c in self.clients:
            c.stop()
        for r in self.relays:
            r.stop()

    def relay(self, **kw):
        r = Relay(self.srv.port, **kw)
        self.relays.append(r)
        return r

    def transfer(self, mode, name, relay, *opts, timeout=90):
        """One get or put of a fresh file of SIZE bytes through relay; checks the
        result line and the bytes; returns the client and its run time."""
        cdir = tempfile.mkdtemp(prefix="cli-", dir=self.root)
        data = os.urandom(SIZE)
        src = os.path.join(self.sdir if mode == "get" else cdir, name)
        dst = os.path.join(cdir if mode == "get" else self.sdir, name)
        write(src, data)
        t0 = time.time()
        c = Client(cdir, "-p", relay.port, *opts, mode, name)
        self.clients.append(c)
        rc, out, err = c.finish(timeout)
        dt = time.time() - t0
        self.assertEqual(rc, 0, out[-2000:] + err)
        self.assertIn(SUCCESS % SIZE, out)
        # An upload is put in place once the server has checked it.
        self.assertTrue(wait_for(lambda: os.path.exists(dst) and read(dst) == data, 5),
                        "%s: %s differs from what was sent" % (mode, name))
        return c, dt

    def test_loss_duplication_and_reordering_both_ways(self):
        cases = [
            ("loss", dict(c2s="loss=0.05", s2c="loss=0.05")),
            # A get's requests are few (a late pass asks for several updates'
            # fragments in one datagram): enough duplicates among them to count.
            ("dup", dict(c2s="dup=0.06", s2c="dup=0.02")),
            ("reorder", dict(c2s="reorder=0.05,hold=3,jitter=1", s2c="reorder=0.05,hold=3,jitter=1")),
            ("all", dict(c2s="loss=0.05,dup=0.02,reorder=0.03", s2c="loss=0.05,dup=0.02,reorder=0.03")),
        ]
        for seed, (what, profile) in enumerate(cases, 1):
            for mode in ("get", "put"):
                with self.subTest(what=what, mode=mode):
                    r = self.relay(seed=seed, **profile)
                    self.transfer(mode, "%s-%s.bin" % (what, mode), r)
                    st = r.stop()
                    # The impairment really happened in both directions.
                    for d in ("c2s", "s2c"):
                        key = {"loss": "lost", "dup": "dup", "reorder": "reordered", "all": "lost"}[what]
                        self.assertGreater(st[d][key], 0, (d, st))

    def test_every_flipped_bit_is_caught_by_the_crc(self):
        # Flips stop some way before the end of the traffic, so that every
        # flipped datagram reaches a program that is still reading: the
        # server reads on after a transfer, the client ends with it.
        cases = [("get", "flip=0.01", "flip=0.01,flipstop=1200"),
                 ("put", "flip=0.01", "flip=0.01,flipstop=150")]
        total = 0
        for seed, (mode, c2s, s2c) in enumerate(cases, 11):
            with self.subTest(mode=mode):
                before = self.srv.counters()["eCrc"]
                r = self.relay(seed=seed, c2s=c2s, s2c=s2c)
                c, _ = self.transfer(mode, "flip-%s.bin" % mode, r)
                time.sleep(0.3)
                st = r.stop()
                srv_crc = (self.srv.counters()["eCrc"] - before) % 4096
                cli_crc = client_log_counters(c)["eCrc"]
                self.assertEqual(srv_crc, st["c2s"]["flipped"], st)
                self.assertEqual(cli_crc, st["s2c"]["flipped"], st)
                self.assertEqual(srv_crc + cli_crc, st["c2s"]["flipped"] + st["s2c"]["flipped"])
                total += st["c2s"]["flipped"] + st["s2c"]["flipped"]
        self.assertGreater(total, 20)

    def test_outage_of_five_seconds_in_mid_transfer(self):
        # The outage starts after a number of datagrams from the client that
        # falls well inside the transfer: requests of a get come one per
        # update (fewer when late passes bundle several updates' requests, at
        # least 68 for the file's 2163 fragments), the fragments of a put ten
        # or twenty per update.
        for mode, start in (("get", "@40"), ("put", "@1200")):
            with self.subTest(mode=mode):
                r = self.relay(seed=21, outages=[start + ":5"])
                _, dt = self.transfer(mode, "out-%s.bin" % mode, r)
                st = r.stop()
                self.assertGreater(dt, 5.0)
                self.assertGreater(st["c2s"]["outage"] + st["s2c"]["outage"], 0, st)


if __name__ == "__main__":
    unittest.main()
