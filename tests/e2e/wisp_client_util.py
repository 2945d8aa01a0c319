"""Helpers of the client's end-to-end tests: the client run in a scratch
directory with keys through a pipe, and a telegram encoder and decoder of the
tests' own (written from the wire layout, not taken from the programs), for a
fake server that answers the client with raw telegrams."""
import datetime
import os
import socket
import struct
import subprocess
import time

CLI = os.environ.get("WISP_CLI", "../../build-test/WISPCli")
SRV = os.environ.get("WISP_SRV", "../../build-test/WISPSrv")

RDRQ, RDRP, WRRQ, WRRP, DATRQ, DATRP, CLOSE = 1, 2, 3, 4, 5, 6, 7
ERR_NULL, ERR_BSY, ERR_RID, ERR_CHK = 0, 1, 2, 3

# The client's 23 error counters, in the order the counter line shows them.
COUNTERS = ["eNull", "eLen", "eCrc", "eMag", "eVer", "eCmd", "eRdRpSt", "eRdRpWr", "eRdRpLen",
            "eDatRpSt", "eDatRpWr", "eDatRpLen", "eWrRpSt", "eWrRpWr", "eWrRpLen", "eDatRqSt",
            "eDatRqWr", "eDatRqLen", "eCloseSt", "eCloseWr", "eCloseLen", "eCloseRef", "eTimeOut"]


def _crc_table():
    t = []
    for i in range(256):
        c = i << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else (c << 1)
        t.append(c & 0xFFFFFFFF)
    return t


_TABLE = _crc_table()


def crc(data, c=0xFFFFFFFF):
    """CRC-32, generator 0x04C11DB7, MSB first, start 0xFFFFFFFF, no final xor."""
    for b in data:
        c = ((c << 8) & 0xFFFFFFFF) ^ _TABLE[((c >> 24) ^ b) & 0xFF]
    return c


assert crc(b"123456789") == 0x0376E6E7


def tel(cmd, body, magic=b"WISP", ver=6):
    """A whole telegram: header, body, CRC trailer (most significant byte first)."""
    x = magic + struct.pack("<HB", ver, cmd) + body
    return x + struct.pack(">I", crc(x))


def tel_ok(x):
    return len(x) >= 11 and crc(x) == 0


def day_number(d):
    """Days since 1 January of year 0 (proleptic Gregorian; year 0 is a leap year)."""
    return d.toordinal() + 365


def packed(ts):
    """A local POSIX time as (day number, ms since midnight)."""
    t = datetime.datetime.fromtimestamp(ts)
    return day_number(t.date()), ((t.hour * 60 + t.minute) * 60 + t.second) * 1000


def unpacked(d, ms):
    """(day number, ms) as a local POSIX time."""
    date = datetime.date.fromordinal(d - 365)
    t = datetime.datetime(date.year, date.month, date.day) + datetime.timedelta(milliseconds=ms)
    return t.timestamp()


def rdrp(e=0, f=1455, t=1, n=10, length=0, digest=b"\0" * 16, d=0, tm=0, ref=1):
    return tel(RDRP, struct.pack("<BHHBI16siIH", e, f, t, n, length, digest, d, tm, ref))


def wrrp(e=0, f=1455, t=1, n=10, ref=1):
    return tel(WRRP, struct.pack("<BHHBH", e, f, t, n, ref))


def datrq(ref, base, s):
    return tel(DATRQ, struct.pack("<HII", ref, base, s))


def datrp(ref, i, data):
    return tel(DATRP, struct.pack("<HI", ref, i) + data)


def close(ref, e):
    return tel(CLOSE, struct.pack("<HB", ref, e))


def decode(x):
    """The command and the fields of a telegram the client sent."""
    assert tel_ok(x), "bad trailer"
    magic, ver, cmd = struct.unpack_from("<4sHB", x, 0)
    assert magic == b"WISP" and ver == 6, (magic, ver)
    b = x[7:-4]
    if cmd == RDRQ:
        assert len(x) == 144, len(x)
        f, t, n, r = struct.unpack("<HHB128s", b)
        return cmd, dict(f=f, t=t, n=n, r=r)
    if cmd == WRRQ:
        assert len(x) == 172, len(x)
        f, t, n, l, dg, d, tm, r = struct.unpack("<HHBI16siI128s", b)
        return cmd, dict(f=f, t=t, n=n, l=l, digest=dg, d=d, tm=tm, r=r)
    if cmd == DATRQ:
        assert len(x) == 21, len(x)
        r, i, s = struct.unpack("<HII", b)
        return cmd, dict(r=r, i=i, s=s)
    if cmd == DATRP:
        r, i = struct.unpack_from("<HI", b)
        return cmd, dict(r=r, i=i, data=b[6:])
    if cmd == CLOSE:
        assert len(x) == 14, len(x)
        r, e = struct.unpack("<HB", b)
        return cmd, dict(r=r, e=e)
    raise AssertionError("client sent command %d" % cmd)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class FakeServer:
    """A UDP socket on a loopback port of its own that stands in for the server."""

    def __init__(self):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.bind(("127.0.0.1", 0))
        self.port = self.s.getsockname()[1]
        self.peer = None

    def recv(self, timeout=3.0):
        """The next telegram from the client, decoded: (cmd, fields, raw)."""
        self.s.settimeout(timeout)
        x, self.peer = self.s.recvfrom(65536)
        cmd, f = decode(x)
        return cmd, f, x

    def expect(self, cmd, timeout=3.0):
        """Skips other telegrams (repeated requests) until one of command cmd."""
        end = time.time() + timeout
        while True:
            c, f, _ = self.recv(max(0.01, end - time.time()))
            if c == cmd:
                return f

    def quiet(self, secs):
        """The telegrams that arrive within secs: (cmd, fields, raw, arrival time)."""
        got = []
        end = time.time() + secs
        while True:
            left = end - time.time()
            if left <= 0:
                return got
            try:
                got.append(self.recv(left) + (time.time(),))
            except socket.timeout:
                return got

    def send(self, x):
        self.s.sendto(x, self.peer)

    def close(self):
        self.s.close()


class Client:
    """One run of the client in directory cwd; keys go in through a pipe."""

    def __init__(self, cwd, *args):
        self.cwd = cwd
        self.p = subprocess.Popen([CLI] + [str(a) for a in args], cwd=cwd, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = self.err = None

    def key(self, k):
        self.p.stdin.write(k.encode())
        self.p.stdin.flush()

    def finish(self, timeout=20.0):
        """Waits for the end (killing the client after timeout): (rc, stdout, stderr)."""
        try:
            out, err = self.p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.communicate()
            raise AssertionError("client did not end within %s s" % timeout)
        self.out, self.err = out.decode("latin-1"), err.decode("latin-1")
        return self.p.returncode, self.out, self.err

    def kill(self):
        if self.p.poll() is None:
            self.p.kill()
            self.p.wait()
        for f in (self.p.stdin, self.p.stdout, self.p.stderr):
            if not f.closed:
                f.close()

    def log(self):
        path = os.path.join(self.cwd, "WISPCli.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return [l[40:] for l in f.read().decode("latin-1").split("\r\n")[:-1]]


def counter_line(out):
    """The last counter line on the client's console, as a dict of counters."""
    lines = [l for l in out.split("\n") if len(l) == 92 and all(
        l[4 * k:4 * k + 3].strip() != "" and l[4 * k + 3] == " " for k in range(23))]
    assert lines, "no counter line in %r" % out
    vals = [int(lines[-1][4 * k:4 * k + 3], 16) for k in range(23)]
    return dict(zip(COUNTERS, vals))


def leftovers(d, keep=("WISPCli.log",)):
    """Files in d other than those named in keep (temporary files included)."""
    return sorted(n for n in os.listdir(d) if n not in keep)
