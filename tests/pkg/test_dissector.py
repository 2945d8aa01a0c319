"""The Wireshark dissector contrib/wisp.lua, run by tshark on traffic captured
live on the loopback interface: telegrams of every command made by an encoder
of this test, and real transfers between WISPSrv and WISPCli."""
import hashlib
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest

import wiretap as w   # first: it puts tests/e2e on the module path
from wisp_test_util import (RDRQ, Client, Server, close, crc32_mpeg2, datrp, datrq, dgrq, dgst,  # noqa: E402
                            free_port, rdrp, rdrq, tel, wrrp, wrrq, xrdrp, xwrrp, xwrrq)


def flags(row):
    """The dissector's expert infos raised on a frame."""
    return [e for e in w.EXPERTS if row[e]]


def messages(row):
    """The texts of all expert infos of a frame (the dissector's and others')."""
    e = row["_ws.expert.message"]
    return e if isinstance(e, list) else ([e] if e else [])


def values(row, field):
    v = row[field]
    return v if isinstance(v, list) else ([v] if v else [])


class DissectorCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.why_not = w.tools_missing()
        cls.dir = tempfile.mkdtemp(prefix="wisp-dissect-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        if self.why_not:
            self.skipTest(self.why_not)

    def assertNoLuaError(self, rows):
        for r in rows:
            self.assertNotIn("Lua Error", r["_ws.col.Info"] + " ".join(messages(r)), r)


class TelegramsTest(DissectorCase):
    """One telegram of each command with known field values, then damaged ones."""

    DIGEST = hashlib.md5(b"WISP").digest()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if cls.why_not:
            return
        d = cls.DIGEST
        good = [
            ("RdRq", rdrq("data.bin", 1455, 1, 10)),
            ("RdRp", rdrp(0, 1455, 5, 4, 200000, d, 740153, 52205000, 3)),
            ("WrRq", wrrq("up.bin", 1456, d, 719528, 0, 1455, 2, 10)),
            ("WrRp", wrrp(2, 0, 0, 0, 0)),
            ("DatRq", datrq(3, 40, 0x80000005)),
            ("DatRp", datrp(3, 137, bytes(range(256)) * 5 + b"tail")),
            ("Close", close(3, 3)),
            # The extended exchange, and a read request with the offer.
            ("XRdRp", xrdrp(0, 1455, 5, 4, 1, (1 << 32) + 7, 0, b"\0" * 16, 740153, 52205000, 3)),
            ("XWrRq", xwrrq("big.bin", 5 << 30, 1, d, 719528, 0, 1455, 2, 10)),
            ("XWrRp", xwrrp(0, 1435, 1, 10, 1, 4)),
            ("Dgst", dgst(4, 5 << 30, d)),
            ("DgRq", dgrq(4)),
            ("RdRq", rdrq("data.bin", 1455, 1, 10, x=1)),
        ]
        cls.n_good = len(good)
        trailer_flip = bytearray(rdrq("x", 1455, 1, 10))
        trailer_flip[-1] ^= 0x80
        wasp = b"WASP" + datrq(1, 0, 1)[4:-4]      # correct trailer, wrong magic
        damaged = [
            ("body bit", w.corrupt(close(3, 0))),
            ("trailer bit", bytes(trailer_flip)),
            ("short", b"WISP\x06"),
            ("body length", tel(RDRQ, b"\0" * 132)),
            ("magic", wasp + struct.pack(">I", crc32_mpeg2(wasp))),
        ]
        # The secure mode's envelopes: visible fields, then bytes that stand
        # for the encrypted rest.
        eph = bytes(range(32))
        secure = [
            ("HsRq", tel(16, eph + b"\xA1" * (48 + 13 + 144 + 16) + b"\x3C" * 16)),
            ("HsRp", tel(17, struct.pack("<I", 0x0A0B0C0D) + eph + b"\xB2" * (5 + 47 + 16))),
            ("Seal", tel(18, struct.pack("<IQ", 0x01000003, 2 ** 40 + 5) + b"\xC3" * 21 + b"\x7E" * 16)),
            ("Seal short", tel(18, b"\0" * 27)),
        ]
        cls.sent = good + damaged + secure
        cls.port = free_port()
        path = os.path.join(cls.dir, "telegrams.pcapng")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as rx, \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
            rx.bind(("127.0.0.1", cls.port))
            cap = w.Capture(cls.port, path)
            for _, t in cls.sent:
                tx.sendto(t, ("127.0.0.1", cls.port))
            cap.stop()
        cls.path = path
        flt = "udp.dstport == %d" % cls.port
        cls.rows = w.decode(path, cls.port, display_filter=flt)
        cls.rows_decode_as = w.decode(path, 1, extra=["-d", "udp.port==%d,wisp" % cls.port],
                                      display_filter=flt)
        cls.rows_plain = w.decode(path, 1, display_filter=flt)

    def test_reference_crc(self):
        # The encoder the dissector is checked against computes CRC-32/MPEG-2.
        self.assertEqual(crc32_mpeg2(b"123456789"), 0x0376E6E7)
        self.assertEqual(crc32_mpeg2(b"123456789" + bytes([0x03, 0x76, 0xE6, 0xE7])), 0)

    def test_all_captured_in_order(self):
        self.assertEqual(len(self.rows), len(self.sent))
        self.assertNoLuaError(self.rows)
        for row, (name, _) in zip(self.rows[:self.n_good], self.sent[:self.n_good]):
            self.assertEqual(row["wisp.cmd"], str(w.CMD[name]))
            self.assertEqual(row["_ws.col.Info"].split(" ")[0], name)

    def test_fields_of_every_command(self):
        r = {}
        for row, (name, _) in zip(self.rows[:self.n_good], self.sent[:self.n_good]):
            r.setdefault(name, row)   # the read request with the offer is looked at below
        dig = self.DIGEST.hex()
        expect = {
            "RdRq": {"wisp.f": "1455", "wisp.t": "1", "wisp.n": "10", "wisp.r": "data.bin"},
            "RdRp": {"wisp.e": "0", "wisp.f": "1455", "wisp.t": "5", "wisp.n": "4",
                     "wisp.p.l": "200000", "wisp.p.d": dig, "wisp.d.d": "740153",
                     "wisp.d.t": "52205000", "wisp.ref": "3"},
            "WrRq": {"wisp.f": "1455", "wisp.t": "2", "wisp.n": "10", "wisp.p.l": "1456",
                     "wisp.p.d": dig, "wisp.d.d": "719528", "wisp.d.t": "0", "wisp.r": "up.bin"},
            "WrRp": {"wisp.e": "2", "wisp.f": "0", "wisp.t": "0", "wisp.n": "0", "wisp.ref": "0"},
            "DatRq": {"wisp.ref": "3", "wisp.idx": "40", "wisp.set": "0x80000005",
                      "wisp.req": ["40", "42", "71"]},
            "DatRp": {"wisp.ref": "3", "wisp.idx": "137", "wisp.data.len": "1284",
                      "wisp.data": (bytes(range(256)) * 5 + b"tail").hex()},
            "Close": {"wisp.ref": "3", "wisp.e": "3"},
            "XRdRp": {"wisp.e": "0", "wisp.f": "1455", "wisp.t": "5", "wisp.n": "4", "wisp.x": "0x00000001",
                      "wisp.l": str((1 << 32) + 7), "wisp.k": "0", "wisp.d.d": "740153", "wisp.ref": "3"},
            "XWrRq": {"wisp.f": "1455", "wisp.t": "2", "wisp.n": "10", "wisp.x": "0x00000001",
                      "wisp.l": str(5 << 30), "wisp.k": "1", "wisp.g": dig, "wisp.d.d": "719528",
                      "wisp.r": "big.bin"},
            "XWrRp": {"wisp.e": "0", "wisp.f": "1435", "wisp.x": "0x00000001", "wisp.ref": "4"},
            "Dgst": {"wisp.ref": "4", "wisp.l": str(5 << 30), "wisp.g": dig},
            "DgRq": {"wisp.ref": "4"},
        }
        offer = self.rows[self.n_good - 1]
        self.assertEqual(offer["wisp.x"], "0x00000001")
        self.assertEqual(offer["wisp.r"], "data.bin")
        self.assertTrue(offer["_ws.col.Info"].endswith(" offer 0x1"), offer["_ws.col.Info"])
        for name, fields in expect.items():
            row = r[name]
            with self.subTest(command=name):
                self.assertEqual(row["wisp.magic"], "WISP")
                self.assertEqual(row["wisp.ver"], "6")
                self.assertEqual(row["wisp.trl.status"], "1")
                self.assertEqual(flags(row), [])
                for k, v in fields.items():
                    self.assertEqual(row[k].replace(":", "") if k in ("wisp.p.d", "wisp.data", "wisp.g") else row[k],
                                     v, k)
                # no field of another command's body shows up
                for k in ("wisp.f", "wisp.r", "wisp.idx", "wisp.set", "wisp.data", "wisp.p.l", "wisp.l", "wisp.x"):
                    if k not in fields:
                        self.assertEqual(row[k], "", k)

    def test_damaged_telegrams_are_flagged(self):
        rows = dict(zip([n for n, _ in self.sent[self.n_good:]], self.rows[self.n_good:]))
        expect = {"body bit": ["wisp.trl.bad"], "trailer bit": ["wisp.trl.bad"],
                  "short": ["wisp.len.bad"], "body length": ["wisp.len.bad"],
                  "magic": ["wisp.magic.bad"]}
        for name, fl in expect.items():
            with self.subTest(case=name):
                self.assertEqual(flags(rows[name]), fl)
        self.assertEqual(rows["body bit"]["wisp.trl.status"], "0")
        self.assertIn("Bad CRC trailer", messages(rows["body bit"]))
        self.assertIn("[BAD CRC]", rows["body bit"]["_ws.col.Info"])
        self.assertEqual(rows["trailer bit"]["wisp.trl.status"], "0")
        self.assertIn("Telegram of 5 bytes (11..1472 allowed)", messages(rows["short"]))
        self.assertIn("RdRq body of 132 bytes, 133 expected", messages(rows["body length"]))
        self.assertEqual(rows["body length"]["wisp.trl.status"], "1")
        self.assertEqual(rows["magic"]["wisp.trl.status"], "1")
        # good telegrams carry no flag at all
        for row in self.rows[:self.n_good]:
            self.assertEqual(flags(row), [])

    def test_secure_telegrams_show_as_sealed(self):
        r = dict(zip([n for n, _ in self.sent[-4:]], self.rows[-4:]))
        eph = bytes(range(32)).hex()
        expect = {
            "HsRq": ({"wisp.eph": eph, "wisp.sealed.len": "221", "wisp.mac1": "3c" * 16},
                     "HsRq sealed 221 bytes"),
            "HsRp": ({"wisp.sidx": "0x0a0b0c0d", "wisp.eph": eph, "wisp.sealed.len": "68"},
                     "HsRp idx 0x0A0B0C0D sealed 68 bytes"),
            "Seal": ({"wisp.sidx": "0x01000003", "wisp.ctr": str(2 ** 40 + 5), "wisp.sealed.len": "21",
                      "wisp.tag": "7e" * 16}, "Seal idx 0x01000003 ctr 1099511627781 sealed 21 bytes"),
        }
        for name, (fields, info) in expect.items():
            row = r[name]
            with self.subTest(command=name):
                self.assertEqual(flags(row), [])
                self.assertEqual(row["wisp.trl.status"], "1")
                self.assertEqual(row["_ws.col.Info"], info)
                for k, v in fields.items():
                    self.assertEqual(row[k].replace(":", "").lower(), v, k)
                for k in ("wisp.f", "wisp.r", "wisp.idx", "wisp.data", "wisp.ref"):
                    self.assertEqual(row[k], "", k)
        self.assertEqual(flags(r["Seal short"]), ["wisp.len.bad"])
        self.assertIn("Seal body of 27 bytes, 28..1461 expected", messages(r["Seal short"]))

    def test_filter_on_bad_crc(self):
        r = subprocess.run(["tshark", "-n", "-r", self.path, "-X", "lua_script:" + w.DISSECTOR,
                            "-o", "wisp.udp_port:%d" % self.port, "-Y", "wisp.trl.bad",
                            "-T", "fields", "-e", "wisp.cmd"], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.split(), ["7", "1"])

    def test_port_choice(self):
        # Decode As gives the same result as the port preference; with
        # neither the port is plain UDP.
        keys = ["wisp.cmd", "wisp.ref", "wisp.idx", "wisp.trl.status"]
        self.assertEqual([[r[k] for k in keys] for r in self.rows_decode_as],
                         [[r[k] for k in keys] for r in self.rows])
        self.assertEqual([r["wisp.cmd"] for r in self.rows_plain], [""] * len(self.sent))
        r = subprocess.run(["tshark", "-G", "decodes", "-X", "lua_script:" + w.DISSECTOR],
                           capture_output=True, text=True, timeout=60)
        self.assertIn("udp.port\t667\twisp", r.stdout)


class TransferTest(DissectorCase):
    """Real transfers between the programs, captured on loopback."""

    def run_transfer(self, mode, size, fast=()):
        port = free_port()
        base = tempfile.mkdtemp(dir=self.dir)
        sdir, cdir = os.path.join(base, "srv"), os.path.join(base, "cli")
        os.mkdir(sdir)
        os.mkdir(cdir)
        data = os.urandom(size)
        with open(os.path.join(sdir if mode == "get" else cdir, "file.bin"), "wb") as f:
            f.write(data)
        pcap = os.path.join(base, mode + ".pcapng")
        cap = w.Capture(port, pcap)
        srv = None
        try:
            srv = Server(sdir, *fast, port=port)
            rc, out, err = Client(cdir, "-p", port, *fast, mode, "file.bin", stdin=subprocess.DEVNULL).finish(120)
            self.assertEqual(rc, 0, out + err)
            self.assertIn("DoClose: Transmission successful.", out)
            # A damaged telegram from another endpoint, which the server drops.
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.sendto(w.corrupt(rdrq("file.bin", 1455, 1, 10)), ("127.0.0.1", port))
                bad_port = s.getsockname()[1]
                time.sleep(0.2)
            cap.stop()
        finally:
            if srv is not None:
                srv.stop()
            if cap.p.poll() is None:
                cap.p.kill()
                cap.p.wait()
        rows = w.decode(pcap, port, display_filter="udp.port == %d" % port)
        self.assertNoLuaError(rows)
        cli_port = int(rows[0]["udp.srcport"])
        return data, port, cli_port, bad_port, rows

    def sequence(self, rows, cli_port, server_port):
        """The session's telegrams as letters, client's in lower case."""
        letters = {1: "a", 2: "b", 3: "c", 4: "d", 5: "q", 6: "p", 7: "x"}
        out = ""
        for r in rows:
            c = letters[int(r["wisp.cmd"])]
            out += c if int(r["udp.srcport"]) == cli_port else c.upper()
        return out

    def check_common(self, data, port, cli_port, bad_port, rows):
        # Every telegram decodes, and only the damaged one is flagged.
        self.assertTrue(all(r["wisp.cmd"] for r in rows), [r["_ws.col.Info"] for r in rows if not r["wisp.cmd"]])
        flagged = [r for r in rows if flags(r)]
        self.assertEqual(len(flagged), 1, [r["_ws.col.Info"] for r in flagged])
        self.assertEqual(int(flagged[0]["udp.srcport"]), bad_port)
        self.assertEqual(flagged[0]["wisp.trl.status"], "0")
        self.assertEqual(flags(flagged[0]), ["wisp.trl.bad"])
        session = [r for r in rows if int(r["udp.srcport"]) in (cli_port, port)
                   and int(r["udp.dstport"]) in (cli_port, port)]
        self.assertEqual(len(session), len(rows) - 1)
        self.assertTrue(all(r["wisp.trl.status"] == "1" for r in session))
        # The file, put together from the data replies by their indices.
        frags = {}
        fgl = None
        for r in session:
            if r["wisp.cmd"] == "6":
                frags[int(r["wisp.idx"])] = bytes.fromhex(r["wisp.data"].replace(":", ""))
            if r["wisp.cmd"] in ("2", "4"):
                fgl = int(r["wisp.f"])
        self.assertEqual(fgl, 1455)
        n = (len(data) + fgl - 1) // fgl
        self.assertEqual(sorted(frags), list(range(n)))
        self.assertEqual(b"".join(frags[i] for i in range(n)), data)
        return session

    def test_get(self):
        data, port, cli_port, bad_port, rows = self.run_transfer("get", 200000)
        session = self.check_common(data, port, cli_port, bad_port, rows)
        seq = self.sequence(session, cli_port, port)
        # RdRq (repeated until answered), RdRp, data requests from the client
        # and data replies from the server, the client's Close last.
        self.assertRegex(seq, r"^a[aB]*B[qP]+x$")
        self.assertIn("q", seq)
        reply = next(r for r in session if r["wisp.cmd"] == "2")
        self.assertEqual(reply["wisp.e"], "0")
        self.assertEqual(int(reply["wisp.p.l"]), len(data))
        self.assertEqual(reply["wisp.p.d"].replace(":", ""), hashlib.md5(data).hexdigest())
        ref = reply["wisp.ref"]
        self.assertIn(int(ref), range(1, 17))
        self.assertEqual(session[0]["wisp.r"], "file.bin")
        for r in session:
            if r["wisp.cmd"] in ("5", "7"):      # the client quotes the reference
                self.assertEqual(r["wisp.ref"], ref)
            if r["wisp.cmd"] == "6":             # the server's replies carry 0
                self.assertEqual(r["wisp.ref"], "0")
        self.assertEqual(session[-1]["wisp.e"], "0")

    def test_put(self):
        data, port, cli_port, bad_port, rows = self.run_transfer("put", 100000)
        session = self.check_common(data, port, cli_port, bad_port, rows)
        seq = self.sequence(session, cli_port, port)
        # WrRq, WrRp, data requests from the server and data replies from the
        # client, the server's Close (repeated until answered), the client's
        # Close answering it.
        self.assertRegex(seq, r"^c[cD]*D[Qp]+X[Xp]*xX?$")
        request = session[0]
        self.assertEqual(int(request["wisp.p.l"]), len(data))
        self.assertEqual(request["wisp.p.d"].replace(":", ""), hashlib.md5(data).hexdigest())
        self.assertEqual(request["wisp.r"], "file.bin")
        ref = next(r for r in session if r["wisp.cmd"] == "4")["wisp.ref"]
        for r in session:
            if r["wisp.cmd"] in ("5", "6", "7"):
                mine = int(r["udp.srcport"]) == cli_port
                self.assertEqual(r["wisp.ref"], ref if mine else "0", r["_ws.col.Info"])
            if r["wisp.cmd"] == "7":
                self.assertEqual(r["wisp.e"], "0")

    def test_runs_above_the_default_rate(self):
        # At -f 255 both programs send runs that a capture on loopback sees as
        # one datagram each: every one is cut into its telegrams, all intact.
        data, port, cli_port, bad_port, rows = self.run_transfer("get", 200000, ("-f", "255"))
        infos = [r["_ws.col.Info"] for r in rows]
        self.assertFalse([i for i in infos if "Malformed" in i], infos)
        runs = [r for r in rows if r["_ws.col.Info"].startswith("Run of ")]
        self.assertTrue(runs, infos)
        def vals(v):
            return v if isinstance(v, list) else [v]
        for r in runs:
            self.assertEqual(set(vals(r["wisp.cmd"])), {"6"}, r["_ws.col.Info"])
            self.assertEqual(set(vals(r["wisp.trl.status"])), {"1"}, r["_ws.col.Info"])
            self.assertGreater(len(vals(r["wisp.idx"])), 1, r["_ws.col.Info"])
        fragments = {i for r in rows if "6" in vals(r["wisp.cmd"]) for i in vals(r["wisp.idx"])}
        self.assertEqual(len(fragments), -(-len(data) // 1455))


if __name__ == "__main__":
    unittest.main()
