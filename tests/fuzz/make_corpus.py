#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets (tests/fuzz/corpus/<target>/):
valid telegrams of every command in the record format of each target, so
that fuzzing starts from inputs that reach deep into the handlers.

    python3 tests/fuzz/make_corpus.py

Record formats (see the targets' head comments):
  server: 1ttttttt = timer steps; 0hckkkkk len(u16) bytes = datagram from peer k
  client: selector byte, grant byte, then 1ttttttt / 0hc00000 len(u16) bytes
The fixed sessions of the server target: slot 1 read 'a.bin' (5000 bytes,
fragment length 1455) from peer 0, slot 2 write 'w.bin' (40000 bytes,
fragment length 1000) from peer 1, slot 3 read 'e.bin' (empty) from peer 2.
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
# The tests' own encoder; the requests and replies below carry the defaults
# of the fixed sessions described above.
from wisp_test_util import CLOSE, DATRP, RDRP, RDRQ, WRRP, WRRQ, datrp, datrq, rid, tel  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def rdrq(f=1455, t=1, n=10, r="a.bin"):
    return tel(RDRQ, struct.pack("<HHB", f, t, n) + rid(r))


def wrrq(f=1455, t=1, n=10, length=3000, digest=b"\x11" * 16, d=738000, tm=0, r="new.bin"):
    return tel(WRRQ, struct.pack("<HHBI16siI", f, t, n, length, digest, d, tm) + rid(r))


def rdrp(e=0, f=1455, t=1, n=10, length=145507, digest=b"\0" * 16, d=738000, tm=0, ref=1):
    return tel(RDRP, struct.pack("<BHHBI16siIH", e, f, t, n, length, digest, d, tm, ref))


def wrrp(e=0, f=1455, t=1, n=10, ref=1):
    return tel(WRRP, struct.pack("<BHHBH", e, f, t, n, ref))


def close(ref, e=0):
    return tel(CLOSE, struct.pack("<HB", ref, e))


def dg(x, peer=0, flags=0):
    """A datagram record."""
    return bytes([flags | peer]) + struct.pack("<H", len(x)) + x


def steps(n):
    out = b""
    while n > 0:
        k = min(n, 127)
        out += bytes([0x80 | (k - 1)])
        n -= k
    return out


def server_seeds():
    s = {}
    s["read-session"] = (dg(datrq(1, 0, 0x7), 0) + steps(3) + dg(datrq(1, 3, 0x3), 0) + steps(2) +
                         dg(close(1), 0))
    s["write-session"] = (steps(2) + dg(datrp(2, 0, b"\xAB" * 1000), 1) + dg(datrp(2, 1, b"\xCD" * 1000), 1) +
                          steps(4) + dg(datrp(2, 0, b"\xAB" * 1000), 1) + dg(close(2), 1))
    s["empty-file"] = steps(1) + dg(datrq(3, 0, 1), 2) + steps(3) + dg(close(3, 3), 2)
    s["new-read"] = dg(rdrq(f=700, t=4, n=3, r="a.bin"), 5) + dg(rdrq(f=700, t=4, n=3, r="a.bin"), 5) + \
        dg(datrq(4, 0, 0xFFFFFFFF), 5) + steps(20)
    s["new-write"] = (dg(wrrq(f=100, t=2, n=3, length=250, r="up.bin"), 6) + steps(5) +
                      dg(datrp(4, 0, b"u" * 100), 6) + dg(datrp(4, 1, b"v" * 100), 6) +
                      dg(datrp(4, 2, b"w" * 50), 6) + steps(10) + dg(close(4), 6))
    s["missing"] = dg(rdrq(r="nosuch.bin"), 7) + dg(wrrq(r="a.bin"), 8)
    s["wrong-type"] = dg(wrrq(r="a.bin"), 0) + dg(rdrq(r="w.bin"), 1) + dg(rdrq(r="other.bin"), 0)
    s["wrong-ref"] = dg(datrq(0, 0, 1), 0) + dg(datrq(17, 0, 1), 0) + dg(datrq(1, 0, 1), 9) + \
        dg(datrp(1, 0, b"x"), 0) + dg(close(5), 3)
    s["busy"] = b"".join(dg(rdrq(), 3 + k) for k in range(14))
    s["timeout"] = dg(datrq(1, 0, 1), 0) + bytes([0xFF]) + dg(datrq(1, 0, 1), 0)
    s["bad-lengths"] = b"".join(dg(x, 4) for x in (b"", b"WISP\x06\x00", tel(RDRQ, b"\0" * 10),
                                                   tel(DATRP, b"\0" * 6), tel(CLOSE, b"\0" * 4),
                                                   tel(RDRP, b"\0" * 36), b"\0" * 1500))
    s["fixups"] = dg(b"\0" * 21, 0, 0x60) + dg(b"\0" * 14, 1, 0x20)
    # Names that are no plain file: the directory itself, its parent, the
    # root, an empty name, paths, the log, a name of 127 characters.
    odd = ["", ".", "..", "/", "a/..", "../a.bin", "/etc/passwd", "WISPSrv.log", "x" * 127, "a.bin/", "\x7f\x01"]
    s["odd-names"] = b"".join(dg(rdrq(r=n), 10 + k % 20) + dg(wrrq(r=n, length=0,
                              digest=bytes.fromhex("d41d8cd98f00b204e9800998ecf8427e")), 11 + k % 20)
                              for k, n in enumerate(odd)) + steps(5)
    return s


def client_seeds():
    s = {}
    # selector: bit 0 put, bits 1-2 state, bit 3 slow; grant byte 0: fragment length 1455
    get_open, get_data, get_close = 0x00, 0x02, 0x04
    put_open, put_data, put_close = 0x01, 0x03, 0x05
    s["get-open"] = bytes([get_open, 0]) + steps(1) + dg(rdrp(length=3000)) + steps(2) + \
        dg(datrp(0, 0, b"a" * 1455)) + dg(datrp(0, 1, b"b" * 1455)) + dg(datrp(0, 2, b"c" * 90)) + steps(3)
    s["get-data"] = bytes([get_data, 0]) + steps(1) + dg(datrp(0, 0, b"a" * 1455)) + \
        dg(datrp(0, 0, b"a" * 1455)) + dg(datrp(0, 500, b"z" * 1455)) + dg(datrp(0, 1, b"q" * 3)) + steps(130)
    s["get-data-small"] = bytes([get_data, 2]) + steps(2) + dg(datrp(0, 0, b"x")) + dg(datrp(0, 1, b"y")) + \
        steps(5)
    s["get-close"] = bytes([get_close, 0]) + dg(datrp(0, 0, b"a")) + dg(rdrp()) + dg(close(0))
    s["put-open"] = bytes([put_open, 0]) + steps(1) + dg(wrrp()) + dg(datrq(0, 0, 0xFFFF)) + steps(3) + \
        dg(close(0))
    s["put-data"] = bytes([put_data, 0]) + dg(datrq(0, 0, 0xF)) + steps(2) + dg(datrq(0, 20, 0x80000001)) + \
        dg(datrq(0, 0xFFFFFFF0, 0xFFFFFFFF)) + steps(3) + dg(wrrp()) + dg(close(0, 3))
    s["put-close"] = bytes([put_close, 0]) + dg(datrq(0, 0, 1)) + dg(close(0)) + dg(wrrp())
    s["slow"] = bytes([0x08 | get_data, 0x15]) + steps(12) + dg(datrp(0, 0, b"s" * 1455))
    s["junk"] = bytes([get_data, 0]) + dg(b"") + dg(b"\0" * 10) + dg(tel(RDRQ, b"\0" * 133)) + \
        dg(tel(DATRP, b"\0" * 6)) + dg(b"\0" * 1500) + dg(b"\0" * 14, 0, 0x60)
    return s


def handshake_seeds():
    """Records of fuzz_handshake: raw datagrams and genuine requests (the
    target builds those itself: they need the keys)."""
    def raw(f, x):
        return bytes([f]) + struct.pack("<H", len(x)) + x
    s = {}
    s["genuine"] = bytes([0x80, 0])
    s["genuine-twice-two-peers"] = bytes([0xC0, 0, 0x81, 0, 0x82, 0, 0x83, 0])
    s["changed-mac1-made"] = bytes([0xA0, 1, 100, 0, 0x04])
    s["changed-crc-made"] = bytes([0x90, 2, 20, 0, 0x80, 200, 0, 0x01])
    s["strangers"] = bytes([0x84, 0, 0x88, 0, 0x8C, 0])
    s["raw"] = raw(0x1C, b"\0" * 280) + raw(0x14, b"\x01" * 20) + raw(0x10, b"") + raw(0x00, b"\0" * 1500)
    return s


def sealed_seeds():
    """Records of fuzz_sealed: genuine sealed telegrams (counter, length,
    changes) and raw datagrams."""
    def seal(f, ctr, k, changes=b"\0"):
        return bytes([f]) + struct.pack("<HB", ctr, k) + changes
    s = {}
    s["in-order-and-back"] = seal(0x88, 0, 21) + seal(0x88, 1, 21) + seal(0x88, 2, 0)
    s["replay-and-late"] = seal(0x80, 5, 8) + seal(0x80, 5, 8) + seal(0x80, 3, 8) + seal(0x84, 0, 8) + seal(0x80, 9, 8)
    s["changed"] = seal(0x90, 0, 30, bytes([1, 25, 0, 0x40])) + seal(0x81, 1, 4)
    s["raw"] = bytes([0x14]) + struct.pack("<H", 60) + b"\0" * 60 + bytes([0x00, 0, 0])
    return s


def main():
    for target, seeds in (("server", server_seeds()), ("client", client_seeds()),
                          ("handshake", handshake_seeds()), ("sealed", sealed_seeds()),
                          ("args", {"get": b"WISPCli\0-v\0get\0file.bin", "opts": b"WISPSrv\0-a\0127.0.0.1\0/p\0667\0-\0/",
                                    "long": b"x\0" + b"-" + b"y" * 300}),
                          ("mkip", {"ok": b"127.0.0.1", "max": b"255.255.255.255", "more": b"1.2.3.4.5",
                                    "bad": b"1.2.3", "big": b"1.2.3.256", "empty": b"1..2.3",
                                    "v6-loop": b"::1", "v6-doc": b"2001:DB8::5", "v6-zone": b"fe80::1%lo",
                                    "v6-zone-idx": b"fe80::a:1%1", "v6-mapped": b"::ffff:10.0.0.1",
                                    "v6-v4tail": b"1:2:3:4:5:6:1.2.3.4", "v6-full": b"1:0:0:1:0:0:0:8",
                                    "v6-bad": b"1::2::3"})):
        d = os.path.join(HERE, "corpus", target)
        os.makedirs(d, exist_ok=True)
        for n, data in seeds.items():
            with open(os.path.join(d, n), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
