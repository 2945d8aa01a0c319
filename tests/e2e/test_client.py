"""The client against a fake server of the test's own: the requests it sends
and repeats, the replies it refuses and the texts it stops with, the datagrams
it counts and drops, the data phase in both directions, the end-of-transfer
check, and that a failed get never leaves a partial file or spoils a local
copy."""
import hashlib
import os
import shutil
import signal
import socket
import tempfile
import time
import unittest

from wisp_test_util import (CLOSE, DATRP, DATRQ, ERR_BSY, ERR_CHK, ERR_NULL, ERR_RID, RDRP, RDRQ, WRRQ,
                            Client, FakeServer, client_console_counters, client_log_counters, close, datrp,
                            datrq, dt_text, leftovers, packed, rdrp, read, tel, unpacked, write, wrrp)

ZERO_COUNTERS = r"^(  0 ){23}$"


class ClientTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wisp-cli-")
        self.srv = FakeServer()
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.stop()
        self.srv.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def client(self, *args):
        c = Client(self.dir, "-p", self.srv.port, *args)
        self.clients.append(c)
        return c

    def write(self, name, data, mtime=None):
        return write(os.path.join(self.dir, name), data, mtime)

    def read(self, name):
        return read(os.path.join(self.dir, name))

    def assertFatal(self, c, text):
        rc, out, err = c.finish()
        self.assertEqual(rc, 255, out + err)
        self.assertIn("F Client " + text, out)

    # ---- opening ------------------------------------------------------------

    def test_unanswered_read_request_repeats_every_second_until_q(self):
        c = self.client("get", "dir\\x.bin")
        t0 = time.time()
        reqs = [(r[3], r[:3]) for r in self.srv.quiet(2.5)]
        c.key("q")
        rc, out, err = c.finish()
        self.assertEqual(rc, 1, out + err)
        self.assertEqual(len(reqs), 3, [r[1][0] for r in reqs])
        self.assertLess(reqs[0][0] - t0, 0.5)
        for k in (1, 2):
            self.assertAlmostEqual(reqs[k][0] - reqs[k - 1][0], 1.0, delta=0.25)
        for _, (cmd, f, raw) in reqs:
            self.assertEqual(cmd, RDRQ)
            self.assertEqual(raw, reqs[0][1][2])   # the same request each time
        self.assertEqual((f["f"], f["t"], f["n"]), (1455, 1, 10))
        self.assertEqual(f["r"], b"dir\\x.bin" + b"\0" * 119)
        self.assertIn("InitSes: Requesting 13.875 MB/s.", out)
        self.assertIn("SetState: Opening.", out)
        self.assertRegex(out.split("\n")[-2], ZERO_COUNTERS)
        self.assertEqual(leftovers(self.dir), [])   # the quit key leaves no partial file

    def test_write_request_carries_length_digest_date_and_name(self):
        data = os.urandom(3000)
        mtime = 1600000003.7   # an odd second: the date travels to two seconds
        self.write("up.bin", data, mtime)
        c = self.client("-u", "7", "-f", "3", "put", "up.bin")
        cmd, f, _ = self.srv.recv()
        c.key("q")
        rc, out, _ = c.finish()
        self.assertEqual(rc, 1)
        self.assertEqual(cmd, WRRQ)
        self.assertEqual((f["f"], f["t"], f["n"], f["l"]), (1455, 7, 3, 3000))
        self.assertEqual(f["digest"], hashlib.md5(data).digest())
        self.assertEqual(f["r"].rstrip(b"\0"), b"up.bin")
        self.assertEqual(f["tm"] % 2000, 0)
        self.assertEqual(unpacked(f["d"], f["tm"]), 1600000002)
        self.assertIn("InitSes: Requesting 0.594 MB/s.", out)   # 3 * 1455 B per 7 ms: 0.5946, cut
        self.assertEqual(self.read("up.bin"), data)

    # ---- refusals ---------------------------------------------------------------

    def test_refused_or_unacceptable_replies_stop_the_client(self):
        get_cases = [
            (rdrp(e=ERR_BSY), "RdRp: Server full."),
            (rdrp(e=ERR_RID), "RdRp: Resource not found."),
            (rdrp(e=ERR_CHK), "RdRp: Unknown error."),
            (rdrp(f=0), "RdRp: Server sent invalid fragment length."),
            (rdrp(f=1456), "RdRp: Server sent invalid fragment length."),
            (rdrp(t=0), "RdRp: Server sent invalid update period."),
            (rdrp(t=4), "RdRp: Server sent invalid update period."),   # 5 requested
            (rdrp(t=5, n=0), "RdRp: Server sent invalid fragment count."),
            (rdrp(t=5, n=11), "RdRp: Server sent invalid fragment count."),
        ]
        local = os.urandom(5000)
        for reply, text in get_cases:
            with self.subTest(text=text, reply=reply.hex()):
                self.write("f.bin", local, 1500000000)
                c = self.client("-u", "5", "-o", "get", "f.bin")
                self.srv.expect(RDRQ)
                self.srv.send(reply)
                self.assertFatal(c, text)
                # The local copy is untouched and no temporary file is left.
                self.assertEqual(self.read("f.bin"), local)
                self.assertEqual(os.stat(os.path.join(self.dir, "f.bin")).st_mtime, 1500000000)
                self.assertEqual(leftovers(self.dir), ["f.bin"])
        os.remove(os.path.join(self.dir, "f.bin"))
        self.write("up.bin", b"abc")
        put_cases = [
            (wrrp(e=ERR_BSY), "WrRp: Server full."),
            (wrrp(e=ERR_RID), "WrRp: Resource exists or cannot be created."),   # not writable, full disk too
            (wrrp(e=ERR_CHK), "Unknown error."),
            (wrrp(f=1456), "WrRp: Server sent invalid fragment length."),
            (wrrp(t=0), "WrRp: Server sent invalid update period."),
            (wrrp(n=11), "WrRp: Server sent invalid fragment count."),
        ]
        for reply, text in put_cases:
            with self.subTest(text=text):
                c = self.client("put", "up.bin")
                self.srv.expect(WRRQ)
                self.srv.send(reply)
                self.assertFatal(c, text)
                self.assertEqual(self.read("up.bin"), b"abc")

    def test_local_file_checks_come_before_any_request(self):
        cases = [("put", "none.bin", "InitSes: Resource does not exist."),
                 ("get", "have.bin", "InitSes: Resource already exists."),
                 ("get", "ctl\x01.bin", "InitSes: Resource cannot be created."),
                 ("put", "huge.bin", "InitSes: Resource too large.")]
        self.write("have.bin", b"mine")
        with open(os.path.join(self.dir, "huge.bin"), "wb") as f:
            f.truncate(1 << 32)   # sparse: 4 GiB
        for mode, name, text in cases:
            with self.subTest(text=text):
                c = self.client(mode, name)
                self.assertFatal(c, text)
                self.assertEqual(self.srv.quiet(0.2), [])
        self.assertEqual(self.read("have.bin"), b"mine")

    # ---- counting and dropping -----------------------------------------------------

    def test_bad_datagrams_are_counted_then_a_get_completes(self):
        data = os.urandom(2500)   # fragments of 1000, 1000 and 500 bytes
        mtime = 1234567890
        d, tm = packed(mtime)
        c = self.client("-u", "1", "-f", "10", "get", "g.bin")
        self.srv.expect(RDRQ)
        good = rdrp(f=1000, t=5, n=4, length=len(data), digest=hashlib.md5(data).digest(),
                    d=d, tm=tm, ref=9)
        flipped = bytearray(good)
        flipped[20] ^= 0x10
        bad = [
            b"\0" * 10,                                           # eLen
            b"\0" * 1473,                                         # eLen: longer than a telegram
            bytes(flipped),                                       # eCrc
            tel(RDRP, good[7:-4], magic=b"WISQ"),                 # eMag
            tel(RDRP, good[7:-4], ver=7),                         # eVer
            tel(RDRQ, b"\0" * 133),                               # eCmd
            tel(8, b""),                                          # eCmd
            tel(RDRP, good[7:-5]),                                # eRdRpLen: body 35
            tel(RDRP, good[7:-4] + b"\0"),                        # eRdRpLen: body 37
            wrrp(),                                               # eWrRpWr
            datrp(9, 0, data[:1000]),                             # eDatRpSt
            datrq(9, 0, 1),                                       # eDatRqSt
            close(9, 0),                                          # eCloseSt
        ]
        for x in bad:
            self.srv.send(x)
        # A valid reply from another port of the same host reaches no handler.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
            other.sendto(good, self.srv.peer)
        time.sleep(0.3)
        c.key("e")
        time.sleep(0.3)

        self.srv.send(good)   # dtu 5 and fpu 4 where 1 and 10 were asked: accepted
        self.srv.send(good)   # a repeated reply: eRdRpSt
        q = self.srv.expect(DATRQ)
        self.assertEqual((q["r"], q["i"], q["s"]), (9, 0, 0b111))
        self.srv.send(datrp(0, 1, data[1000:2000]))     # another reference: still taken
        self.srv.send(datrp(9, 0xFFFFFFF0, b"x"))       # stray index: dropped by the receiver
        self.srv.send(datrp(9, 2, data[2000:] + b"!"))  # wrong length: dropped
        self.srv.send(datrp(9, 0, data[:1000]))
        self.srv.send(datrp(9, 2, data[2000:]))
        f = self.srv.expect(CLOSE)
        self.assertEqual((f["r"], f["e"]), (9, ERR_NULL))
        rc, out, err = c.finish()
        self.assertEqual(rc, 0, out + err)

        cnt = client_console_counters(out)
        expect = dict(eNull=13, eLen=2, eCrc=1, eMag=1, eVer=1, eCmd=2, eRdRpLen=2, eWrRpWr=1,
                      eDatRpSt=1, eDatRqSt=1, eCloseSt=1)
        self.assertEqual({k: v for k, v in cnt.items() if v}, expect)
        self.assertIn("SetState: Transferring.", out)
        # 4 fragments of 1000 B per 5 ms where 10 of 1455 B per 1 ms were asked for: said once.
        self.assertEqual(out.count("Server granted"), 1, out)
        self.assertIn("M Client RdRp: Server granted 0.762 MB/s.\n", out)
        self.assertIn("\r3/3\n", out)   # the stray index does not push the count past the file
        self.assertRegex(out, r"DoClose: Transmission successful\. 2500 B, \d+ ms, \d+\.\d{3} MB/s\.")
        self.assertEqual(self.read("g.bin"), data)
        self.assertEqual(os.stat(os.path.join(self.dir, "g.bin")).st_mtime, 1234567890)
        self.assertEqual(leftovers(self.dir), ["g.bin"])
        log = c.log()
        self.assertIn("RdRp fgl 1000 dtu 5 fpu 4 tgt 000009C4 %s dt %s ref 9"
                      % (hashlib.md5(data).hexdigest().upper(), dt_text(d, tm)), log)
        errs = [l for l in log if "ShowErrCnts" in l][-1]
        self.assertEqual(errs.split()[-23:][6], "1")   # eRdRpSt

    def test_get_with_wrong_digest_reports_mismatch_and_keeps_local_copy(self):
        data = os.urandom(1455 * 2)
        local = b"local copy"
        self.write("m.bin", local, 1400000000)
        c = self.client("-o", "get", "m.bin")
        self.srv.expect(RDRQ)
        self.srv.send(rdrp(length=len(data), digest=hashlib.md5(data + b"?").digest(), ref=3))
        q = self.srv.expect(DATRQ)
        self.assertEqual((q["r"], q["i"], q["s"]), (3, 0, 0b11))
        self.srv.send(datrp(3, 0, data[:1455]))
        self.srv.send(datrp(3, 1, data[1455:]))
        f = self.srv.expect(CLOSE)
        self.assertEqual((f["r"], f["e"]), (3, ERR_CHK))
        self.assertFatal(c, "DoClose: Checksum mismatch.")
        self.assertNotIn("granted", c.out)   # granted as asked: nothing said
        self.assertEqual(self.read("m.bin"), local)
        self.assertEqual(os.stat(os.path.join(self.dir, "m.bin")).st_mtime, 1400000000)
        self.assertEqual(leftovers(self.dir), ["m.bin"])

    def test_get_ends_on_the_servers_failure_close(self):
        # The server's file changed while it was sent: the server closes with
        # a failure result, the client answers it and fails its check.
        local = b"local copy"
        self.write("c.bin", local, 1400000000)
        data = os.urandom(1455 * 3)
        c = self.client("-o", "get", "c.bin")
        self.srv.expect(RDRQ)
        self.srv.send(rdrp(length=len(data), digest=hashlib.md5(data).digest(), ref=4))
        self.srv.expect(DATRQ)
        self.srv.send(datrp(4, 0, data[:1455]))
        self.srv.send(close(4, ERR_NULL))   # no failure: not for a get, counted (eCloseWr)
        self.srv.send(close(4, ERR_CHK))
        f = self.srv.expect(CLOSE)
        self.assertEqual((f["r"], f["e"]), (4, ERR_CHK))
        self.assertFatal(c, "DoClose: Checksum mismatch.")
        self.assertEqual({k: v for k, v in client_log_counters(c).items() if v}, dict(eNull=1, eCloseWr=1))
        self.assertEqual([x[0] for x in self.srv.quiet(0.3)], [])   # one close only
        self.assertEqual(self.read("c.bin"), local)
        self.assertEqual(leftovers(self.dir), ["c.bin"])

    def test_quit_in_the_data_phase_sends_one_failure_close(self):
        # Quit key and signals, get and put: one close with a failure result
        # goes out before the client stops, so the server ends the session
        # at once; a get leaves no file.
        self.write("q.bin", os.urandom(50000))
        for how in ("q", signal.SIGTERM, signal.SIGINT):
            for mode in ("get", "put"):
                with self.subTest(how=how, mode=mode):
                    name = "g.bin" if mode == "get" else "q.bin"
                    c = self.client("-f", "1", mode, name)
                    if mode == "get":
                        self.srv.expect(RDRQ)
                        self.srv.send(rdrp(length=50000, n=1, ref=6))
                        self.srv.expect(DATRQ)
                    else:
                        self.srv.expect(WRRQ)
                        self.srv.send(wrrp(n=1, ref=6))
                        self.srv.send(datrq(6, 0, 1))
                        self.srv.expect(DATRP)
                    if how == "q":
                        c.key("q")
                    else:
                        c.p.send_signal(how)
                    f = self.srv.expect(CLOSE)
                    self.assertEqual((f["r"], f["e"]), (6, ERR_CHK))
                    rc, out, err = c.finish()
                    self.assertEqual(rc, 1 if how == "q" else 255, out + err)
                    self.assertNotIn(CLOSE, [x[0] for x in self.srv.quiet(0.3)])
                    self.assertEqual(leftovers(self.dir), ["q.bin"])
        # Still opening: there is no session to close.
        c = self.client("get", "g.bin")
        self.srv.expect(RDRQ)
        c.key("q")
        self.assertEqual(c.finish()[0], 1)
        self.assertNotIn(CLOSE, [x[0] for x in self.srv.quiet(0.3)])

    def test_get_never_replaces_a_file_that_appeared_meanwhile_without_o(self):
        data = os.urandom(100)
        c = self.client("get", "race.bin")
        self.srv.expect(RDRQ)
        self.srv.send(rdrp(length=len(data), digest=hashlib.md5(data).digest(), ref=2))
        self.srv.expect(DATRQ)
        self.write("race.bin", b"someone else's")
        self.srv.send(datrp(2, 0, data))
        self.assertEqual(self.srv.expect(CLOSE)["e"], ERR_NULL)
        self.assertFatal(c, "DoClose: Resource already exists.")
        self.assertEqual(self.read("race.bin"), b"someone else's")
        self.assertEqual(leftovers(self.dir), ["race.bin"])

    # ---- put ----------------------------------------------------------------------------

    def test_put_answers_requests_and_echoes_the_servers_close(self):
        data = os.urandom(2 * 1000 + 5)
        self.write("p.bin", data)
        # The server's result named: success, a failed check, the name taken
        # on the server while the file arrived.
        texts = {ERR_NULL: "DoClose: Transmission successful. 2005 B, ", ERR_CHK: "F Client DoClose: Checksum mismatch.",
                 ERR_RID: "F Client DoClose: Resource already exists."}
        for result, rc_want in ((ERR_NULL, 0), (ERR_CHK, 255), (ERR_RID, 255)):
            with self.subTest(result=result):
                c = self.client("-f", "2", "put", "p.bin")
                self.srv.expect(WRRQ)
                self.srv.send(wrrp(f=1000, t=1, n=2, ref=12))
                self.srv.send(datrp(12, 0, b"z"))     # a data reply in put mode: eDatRpWr
                self.srv.send(datrq(12, 0, 0b1011))   # 0, 1 and 3 (beyond the file: dropped)
                got = {}
                while len(got) < 2:
                    cmd, f, _ = self.srv.recv()
                    if cmd == DATRP:
                        self.assertEqual(f["r"], 12)
                        got[f["i"]] = f["data"]
                self.srv.send(datrq(12, 2, 0b1))
                while len(got) < 3:
                    cmd, f, _ = self.srv.recv()
                    if cmd == DATRP:
                        got[f["i"]] = f["data"]
                self.assertEqual(got, {0: data[:1000], 1: data[1000:2000], 2: data[2000:]})
                self.srv.send(close(12, result))
                f = self.srv.expect(CLOSE)
                self.assertEqual((f["r"], f["e"]), (12, result))
                rc, out, err = c.finish()
                self.assertEqual(rc, rc_want, out + err)
                # 2 fragments per ms as asked, but of 1000 B instead of 1455.
                self.assertEqual(out.count("Server granted"), 1, out)
                self.assertIn("M Client WrRp: Server granted 1.907 MB/s.\n", out)
                self.assertEqual([t for t in texts.values() if t in out], [texts[result]], out)
                if result == ERR_NULL:
                    self.assertIn("\r3/3\n", out)
                errs = [l for l in c.log() if "ShowErrCnts" in l][-1].split()[-23:]
                self.assertEqual((errs[0], errs[10]), ("1", "1"))   # eNull, eDatRpWr
                self.assertEqual(self.read("p.bin"), data)
                os.remove(os.path.join(self.dir, "WISPCli.log"))

    def test_put_of_a_file_that_changes_while_it_is_sent(self):
        # Grown: the fragments end at the announced length and the put goes
        # through. Shrunk: a fragment it no longer holds whole ends the put
        # with a failure close, whichever fragment it is.
        data = os.urandom(2500)   # fragments of 1000, 1000 and 500 bytes
        for change, ask in (("grow", 2), ("shrink", 1), ("shrink", 2)):
            with self.subTest(change=change, fragment=ask):
                path = self.write("v.bin", data)
                c = self.client("put", "v.bin")
                self.assertEqual(self.srv.expect(WRRQ)["l"], 2500)
                self.srv.send(wrrp(f=1000, ref=5))
                with open(path, "ab" if change == "grow" else "r+b") as f:
                    if change == "grow":
                        f.write(b"more" * 1000)
                    else:
                        f.truncate(1000 * ask + 10)
                self.srv.send(datrq(5, ask, 1))
                if change == "grow":
                    f = self.srv.expect(DATRP)
                    self.assertEqual((f["i"], f["data"]), (2, data[2000:]))
                    self.srv.send(close(5, ERR_NULL))
                    self.assertEqual(self.srv.expect(CLOSE)["e"], ERR_NULL)
                    self.assertEqual(c.finish()[0], 0)
                else:
                    f = self.srv.expect(CLOSE)
                    self.assertEqual((f["r"], f["e"]), (5, ERR_CHK))
                    self.assertFatal(c, "DoData: Resource changed while being sent.")
                    got = [(x[0], x[1].get("i")) for x in self.srv.quiet(0.3)]
                    self.assertEqual(got, [], "nothing after the close")
                os.remove(os.path.join(self.dir, "WISPCli.log"))


if __name__ == "__main__":
    unittest.main()
