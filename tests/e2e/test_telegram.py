"""The tests' own telegram encoder (wisp_test_util), which the other tests build
their telegrams with, checked against values it does not compute itself: the
CRC's published check value and a telegram the real client sent."""
import unittest

from wisp_test_util import RDRQ, crc32_mpeg2, decode, rdrq


class TestSelfCheck(unittest.TestCase):
    def test_crc_reference_value(self):
        self.assertEqual(crc32_mpeg2(b"123456789"), 0x0376E6E7)
        self.assertEqual(crc32_mpeg2(b"123456789\x03\x76\xE6\xE7"), 0)

    def test_known_telegram(self):
        # The read request WISPCli sends for "WISPCli get x" with its defaults
        # (fragment length 1455, update period 1 ms, 10 fragments per update),
        # as captured on loopback.
        # Magic, version, command, fragment length, period, count, name, trailer.
        sent = (bytes.fromhex("57495350 0600 01 AF05 0100 0A") + b"x" + bytes(127)
                + bytes.fromhex("55B41963"))
        self.assertEqual(rdrq("x", 1455, 1, 10), sent)
        self.assertEqual(decode(sent), (RDRQ, dict(f=1455, t=1, n=10, r=b"x" + bytes(127))))


if __name__ == "__main__":
    unittest.main()
