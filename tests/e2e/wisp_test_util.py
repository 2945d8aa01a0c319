"""Helpers of the end-to-end tests, also used by the dissector tests and the
benchmark: a telegram encoder and decoder of the tests' own (written from the
wire layout, not taken from the programs), packed dates, files, logs and
counter lines, the two programs run in a directory with keys through a pipe,
a fake server that answers the client with raw telegrams, and the impairment
relay (tests/relay.py) and the link emulator (bench/linkem). Python standard
library only."""
import datetime
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CLI = os.path.abspath(os.environ.get("WISP_CLI") or os.path.join(HERE, "..", "..", "build-test", "WISPCli"))
SRV = os.path.abspath(os.environ.get("WISP_SRV") or os.path.join(HERE, "..", "..", "build-test", "WISPSrv"))
RELAY = os.path.join(HERE, "..", "relay.py")
LINKEM = os.path.abspath(os.environ.get("WISP_LINKEM") or os.path.join(HERE, "..", "..", "build-test", "linkem"))

# ---- telegrams --------------------------------------------------------------

RDRQ, RDRP, WRRQ, WRRP, DATRQ, DATRP, CLOSE = 1, 2, 3, 4, 5, 6, 7
ERR_NULL, ERR_BSY, ERR_RID, ERR_CHK = 0, 1, 2, 3


def end_by_pid(p, grace=10):
    """Ends process p by its PID: SIGTERM, SIGKILL after grace seconds;
    harmless when it has ended already."""
    if p.poll() is not None:
        return
    os.kill(p.pid, signal.SIGTERM)
    try:
        p.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        os.kill(p.pid, signal.SIGKILL)
        p.wait()


def _crc_table():
    t = []
    for i in range(256):
        c = i << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else (c << 1)
        t.append(c & 0xFFFFFFFF)
    return t


_TABLE = _crc_table()


def crc32_mpeg2(data, crc=0xFFFFFFFF):
    """CRC-32, generator 0x04C11DB7, MSB first, start 0xFFFFFFFF, no final xor."""
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ _TABLE[((crc >> 24) ^ b) & 0xFF]
    return crc


assert crc32_mpeg2(b"123456789") == 0x0376E6E7


def tel(cmd, body, magic=b"WISP", ver=6):
    """A whole telegram: header, body, CRC trailer (most significant byte first)."""
    x = magic + struct.pack("<HB", ver, cmd) + body
    return x + struct.pack(">I", crc32_mpeg2(x))


def tel_ok(x):
    return len(x) >= 11 and crc32_mpeg2(x) == 0


def rid(name):
    """A resource name in its 128-byte field, zero-padded (cut when longer)."""
    b = name.encode("latin-1") if isinstance(name, str) else name
    return b.ljust(128, b"\0")[:128]


def rdrq(name, f=1455, t=10, n=10, x=0):
    """x: the extension bits offered in the name field's last 8 bytes."""
    r = rid(name)
    if x:
        r = r[:120] + b"WXOF" + struct.pack("<I", x)
    return tel(RDRQ, struct.pack("<HHB", f, t, n) + r)


def rdrp(e=0, f=1455, t=1, n=10, length=0, digest=b"\0" * 16, d=0, tm=0, ref=1):
    return tel(RDRP, struct.pack("<BHHBI16siIH", e, f, t, n, length, digest, d, tm, ref))


def wrrq(name, length, digest, d, tm, f=1455, t=10, n=10):
    return tel(WRRQ, struct.pack("<HHBI16siI", f, t, n, length, digest, d, tm) + rid(name))


def wrrp(e=0, f=1455, t=1, n=10, ref=1):
    return tel(WRRP, struct.pack("<BHHBH", e, f, t, n, ref))


# The extended records (-x): commands 8 to 12.
XRDRP, XWRRQ, XWRRP, DGST, DGRQ = 8, 9, 10, 11, 12


def xrdrp(e=0, f=1455, t=1, n=10, x=1, length=0, known=0, digest=b"\0" * 16, d=0, tm=0, ref=1):
    return tel(XRDRP, struct.pack("<BHHBIQB16siIH", e, f, t, n, x, length, known, digest, d, tm, ref))


def xwrrq(name, length, known, digest, d, tm, f=1455, t=10, n=10, x=1):
    return tel(XWRRQ, struct.pack("<HHBIQB16siI", f, t, n, x, length, known, digest, d, tm) + rid(name))


def xwrrp(e=0, f=1455, t=1, n=10, x=1, ref=1):
    return tel(XWRRP, struct.pack("<BHHBIH", e, f, t, n, x, ref))


def dgst(ref, length, digest):
    return tel(DGST, struct.pack("<HQ16s", ref, length, digest))


def dgrq(ref):
    return tel(DGRQ, struct.pack("<H", ref))


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


# ---- packed dates -------------------------------------------------------------

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


def packed_local(y, mo, d, h, mi, s):
    """Day number and milliseconds of a local date and time, and its epoch."""
    return (day_number(datetime.date(y, mo, d)), ((h * 60 + mi) * 60 + s) * 1000,
            time.mktime((y, mo, d, h, mi, s, 0, 0, -1)))


def dt_text(d, tm):
    """A packed date and time as the logs write it: YYYYMMDD_HHMMSS.FFF."""
    x = datetime.date.fromordinal(d - 365)
    return "%04d%02d%02d_%02d%02d%02d.%03d" % (x.year, x.month, x.day, tm // 3600000,
                                                tm // 60000 % 60, tm // 1000 % 60, tm % 1000)


# ---- ports, waiting, files and logs ---------------------------------------------

MTIME = 1577934245   # 2020-01-02, an odd second: files travel to two seconds


def free_port(host="127.0.0.1"):
    """A UDP port free on host; on "::" free for IPv6 and IPv4 alike."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_DGRAM) as s:
        if host == "::":
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_for(pred, timeout=10.0, step=0.02):
    """Polls pred until it returns a true value or timeout seconds have
    passed; returns its last value."""
    end = time.time() + timeout
    while time.time() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    return pred()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data, mtime=MTIME):
    """Writes the file and sets its modification time (left as it is for None)."""
    with open(path, "wb") as f:
        f.write(data)
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return path


def leftovers(d, keep=("WISPCli.log",)):
    """Files in d other than those named in keep (temporary files included)."""
    return sorted(n for n in os.listdir(d) if n not in keep)


LOG_PREFIX = 40   # date 8, blank, time 10, blank, ticks 8, blank, module 8, blank, mark, blank


def log_text(path):
    """A log file's whole text; empty before the program has made it."""
    return read(path).decode("latin-1") if os.path.exists(path) else ""


def log_texts(text):
    """The texts of a log's complete lines (those ended by CR LF), after their prefix."""
    return [l[LOG_PREFIX:] for l in text.split("\r\n")[:-1]]


# ---- counter lines ----------------------------------------------------------------

# The server's 28 error counters (the last, eNet, shown only with -n) and the
# client's 23, in the order their counter lines show them.
SRV_COUNTERS = ["eNull", "eLen", "eCrc", "eMag", "eVer", "eCmd", "eRdRqLen", "eRdRqFgl", "eRdRqTyp",
                "eRdRqPar", "eRdRqBsy", "eRdRqRID", "eDatRqLen", "eDatRqRef", "eDatRqSes", "eWrRqLen",
                "eWrRqFgl", "eWrRqTyp", "eWrRqPar", "eWrRqBsy", "eWrRqRID", "eDatRpLen", "eDatRpRef",
                "eDatRpSes", "eCloseLen", "eCloseRef", "eCloseSes", "eNet"]
# The secure mode's drops (-e), after the server's own counters.
SEAL_COUNTERS = ["dLen", "dHdr", "dPlain", "dMac", "dAuth", "dPeer", "dStamp", "dReplay", "dSes", "dFull"]
CLI_COUNTERS = ["eNull", "eLen", "eCrc", "eMag", "eVer", "eCmd", "eRdRpSt", "eRdRpWr", "eRdRpLen",
                "eDatRpSt", "eDatRpWr", "eDatRpLen", "eWrRpSt", "eWrRpWr", "eWrRpLen", "eDatRqSt",
                "eDatRqWr", "eDatRqLen", "eCloseSt", "eCloseWr", "eCloseLen", "eCloseRef", "eTimeOut"]


def is_counter_line(line, n):
    """n fields of three columns, each followed by a blank."""
    return len(line) == 4 * n and all(line[4 * k:4 * k + 3].strip() != "" and line[4 * k + 3] == " "
                                      for k in range(n))


def parse_counters(line, names):
    """A counter line (3-column hexadecimal fields, each followed by a blank) as a dict."""
    vals = [int(line[4 * k:4 * k + 3], 16) for k in range(len(names))]
    return dict(zip(names, vals))


def client_console_counters(out):
    """The last counter line on the client's console, as a dict of counters."""
    lines = [l for l in out.split("\n") if is_counter_line(l, len(CLI_COUNTERS))]
    assert lines, "no counter line in %r" % out
    return parse_counters(lines[-1], CLI_COUNTERS)


def client_log_counters(client):
    """The client's error counters from the ShowErrCnts line its DoneModule logs."""
    lines = [l for l in client.log() if l.startswith("ShowErrCnts ")]
    assert lines, "no ShowErrCnts line in the client's log"
    return parse_counters(lines[-1][len("ShowErrCnts "):] + " ", CLI_COUNTERS)


# ---- the programs -------------------------------------------------------------------

SUCCESS = "DoClose: Transmission successful. %d B, "
LISTENING = "InitSock Listening on"


class Program:
    """One run of a program in directory cwd (a scratch directory of its own,
    removed by stop(), when cwd is None). Keys go in through a pipe; the
    console's lines are collected as they come. stop() ends it by its PID.
    pre is a command that runs the program in a mount namespace of its own
    (and execs it, so the PID stays); its directory is then reached through
    /proc/PID/cwd. Further keyword arguments go to Popen (preexec_fn, ...)."""

    LOG = None   # the program's log file in cwd

    def __init__(self, prog, *args, cwd=None, stdin=subprocess.PIPE, pre=(), **popen):
        self.own_dir = cwd is None
        self.cwd = os.path.realpath(cwd or tempfile.mkdtemp(prefix="wisp-run-"))
        self.args = list(pre) + [os.path.abspath(prog)] + [str(a) for a in args]
        # WISP_EXT=1 runs every client and server with -x (the suite run once
        # so shows what works alike with the extended exchange).
        if os.environ.get("WISP_EXT") == "1" and prog in (CLI, SRV) and "-x" not in self.args:
            self.args.append("-x")
        # Lines an earlier run left in the same log are not this run's.
        self.log_start = len(self.log_text()) if self.LOG else 0
        self.out_lines, self.err_lines = [], []
        self.taken = 0   # console lines handed out by next_line()
        self.rc = None
        self.p = subprocess.Popen(self.args, cwd=self.cwd, stdin=stdin, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, **popen)
        if pre:
            self.own_dir = False
            self.cwd = "/proc/%d/cwd" % self.p.pid
        self.readers = [threading.Thread(target=self._read, args=(f, lines), daemon=True)
                        for f, lines in ((self.p.stdout, self.out_lines), (self.p.stderr, self.err_lines))]
        for t in self.readers:
            t.start()

    @staticmethod
    def _read(f, lines):
        for raw in f:
            lines.append(raw.decode("latin-1"))

    @property
    def out(self):
        return "".join(self.out_lines)

    @property
    def err(self):
        return "".join(self.err_lines)

    def alive(self):
        return self.p.poll() is None

    def key(self, k):
        self.p.stdin.write(k.encode() if isinstance(k, str) else k)
        self.p.stdin.flush()

    def next_line(self, timeout=5.0):
        """The next console line not handed out before (with its line end), or
        None when none comes within timeout seconds."""
        if not wait_for(lambda: len(self.out_lines) > self.taken, timeout):
            return None
        self.taken += 1
        return self.out_lines[self.taken - 1]

    def log_text(self, name=None):
        return log_text(os.path.join(self.cwd, name or self.LOG))

    def log(self, name=None):
        """The texts of the log's complete lines, earlier runs' included."""
        return log_texts(self.log_text(name))

    def wait_log(self, pattern, timeout=10.0):
        """The first text of this run's log lines that matches pattern, or
        None when none does within timeout seconds."""
        rx = re.compile(pattern)
        return wait_for(lambda: next((t for t in log_texts(self.log_text()[self.log_start:])
                                      if rx.search(t)), None), timeout)

    def files(self):
        """The files in the directory other than the program's log."""
        return leftovers(self.cwd, (self.LOG,))

    def finish(self, timeout=20.0):
        """Waits for the program to end by itself: (rc, stdout, stderr). One
        that is still running after timeout seconds is killed by its PID, and
        that fails the test."""
        if self.p.stdin and not self.p.stdin.closed:
            try:
                self.p.stdin.close()
            except OSError:
                pass
        try:
            self.rc = self.p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.kill(self.p.pid, signal.SIGKILL)
            self.p.wait()
            self._join()
            raise AssertionError("%s did not end within %s s; stderr %r" % (self.args, timeout, self.err))
        self._join()
        return self.rc, self.out, self.err

    def terminate(self, timeout=10.0):
        """SIGTERM by PID, then finish(timeout)."""
        if self.p.poll() is None:
            os.kill(self.p.pid, signal.SIGTERM)
        return self.finish(timeout)

    def stop(self):
        """Ends the program by its PID (SIGTERM, SIGKILL after 10 s) and
        removes its scratch directory; harmless when it has ended already."""
        end_by_pid(self.p)
        self._join()
        if self.own_dir:
            shutil.rmtree(self.cwd, ignore_errors=True)

    def _join(self):
        for t in self.readers:
            t.join(5)
        for f in (self.p.stdin, self.p.stdout, self.p.stderr):
            if f and not f.closed:
                try:
                    f.close()
                except OSError:
                    pass


class Client(Program):
    """The client run in directory cwd with the arguments given."""

    LOG = "WISPCli.log"

    def __init__(self, cwd, *args, prog=CLI, stdin=subprocess.PIPE, **popen):
        super().__init__(prog, *args, cwd=cwd, stdin=stdin, **popen)


class Server(Program):
    """The server in directory cwd, started with "-a addr -p port" before the
    other arguments (either left out when None; the port is a free loopback
    port of its own when 0) and waited for until its log of this run has a
    line with the text ready (not waited for when None)."""

    LOG = "WISPSrv.log"

    def __init__(self, cwd, *args, addr="127.0.0.1", port=0, ready=LISTENING, prog=SRV,
                 stdin=subprocess.PIPE, pre=(), **popen):
        self.port = free_port(addr if addr is not None and ":" in addr else "127.0.0.1") if port == 0 else port
        # What E shows: eNet only where the server fences itself in with -n.
        self.counter_names = (SRV_COUNTERS if "-n" in args else SRV_COUNTERS[:-1]) + \
            (SEAL_COUNTERS if "-e" in args else [])
        head = (["-a", addr] if addr is not None else []) + (["-p", self.port] if port is not None else [])
        super().__init__(prog, *(head + list(args)), cwd=cwd, stdin=stdin, pre=pre, **popen)
        if ready is not None and not self.wait_log(re.escape(ready), 20):
            rc = self.p.poll()
            self.stop()
            raise AssertionError("server did not start: rc %r, stderr %r" % (rc, self.err))

    def counter_line(self, k=b"E"):
        """Presses the key k (E shows the counters) and returns the next console line."""
        self.key(k)
        line = self.next_line(5)
        assert line is not None, "no console line after the key %r" % k
        return line

    def counters(self):
        """Presses E and returns the counters of the first counter line the
        console shows after it, by name."""
        self.key(b"e")
        n = len(self.counter_names)
        while True:
            line = self.next_line(5)
            assert line is not None, "no counter line from the server: %r" % self.out_lines[-5:]
            if is_counter_line(line.rstrip("\r\n"), n):
                return parse_counters(line, self.counter_names)


def server_sent(srv):
    """The datagrams a stopped server sent, from its log's closing line."""
    line = [t for t in srv.log() if t.startswith("DoneModule txn ")][-1]
    return int(line.split()[2])


def link_counts(prog):
    """A stopped program's datagrams from its log's last closing line: txn (sent)
    and rxn (received), this run's."""
    line = [t for t in log_texts(prog.log_text()[prog.log_start:]) if t.startswith("DoneModule txn ")][-1]
    f = line.split()
    return {f[k]: int(f[k + 1]) for k in range(1, len(f) - 1, 2)}


# Partial files (-k): "<name>.wisp-part" and its record, the client's in its
# directory, the server's in the hidden directory PARTS.
PART, REC, PARTS = ".wisp-part", ".wisp-part.rec", ".wisp-part.tmp"


def flip(path, at):
    """Flips the bits of the byte at offset at (from the end when negative)."""
    with open(path, "r+b") as f:
        f.seek(at, os.SEEK_END if at < 0 else os.SEEK_SET)
        b = f.read(1)
        f.seek(-1, os.SEEK_CUR)
        f.write(bytes([b[0] ^ 0xFF]))


def key_pair(prog, d):
    """Makes the key pair of the secure mode in directory d: prog runs with
    -e d until it misses its list of peers. Returns the public key's text."""
    args = ["-e", d] + (["get", "x"] if prog == CLI else ["-p", "0"])
    r = Program(prog, *args)
    try:
        rc, out, err = r.finish(20)
    finally:
        r.stop()
    assert rc == 255 and "Cannot read key file" in err, (rc, out, err)
    return out.split()[0]


def secure_pair(base, srv_adr="127.0.0.1", name="alice"):
    """Key directories base/srvkeys and base/clikeys that trust each other:
    the client listed by name, the server by the -a text srv_adr. Returns
    (server dir, client dir, server key, client key)."""
    sd, cd = os.path.join(base, "srvkeys"), os.path.join(base, "clikeys")
    sk, ck = key_pair(SRV, sd), key_pair(CLI, cd)
    with open(os.path.join(sd, "clients"), "w") as f:
        f.write("# who may use this server\n%s %s\n" % (ck, name))
    with open(os.path.join(cd, "servers"), "w") as f:
        f.write("%s %s\n" % (sk, srv_adr))
    return sd, cd, sk, ck


class Recorder:
    """A UDP forwarder on a loopback port of its own between one client and
    the server on server_port: keeps what each side sent (sent, got) and
    counts what the server sent back."""

    def __init__(self, server_port):
        self.up = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.up.bind(("127.0.0.1", 0))
        self.down = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.down.bind(("127.0.0.1", 0))
        self.port = self.down.getsockname()[1]
        self.server = ("127.0.0.1", server_port)
        self.sent, self.got, self.back, self.back_n = [], [], 0, 0
        self.peer = None
        self.running = True
        self.t = threading.Thread(target=self._run, daemon=True)
        self.t.start()

    def _run(self):
        for s in (self.up, self.down):
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        while self.running:
            for s in select.select([self.up, self.down], [], [], 0.05)[0]:
                x, a = s.recvfrom(65536)
                if s is self.down:
                    self.peer = a
                    self.sent.append(x)
                    self.up.sendto(x, self.server)
                else:
                    self.back += len(x)
                    self.back_n += 1
                    self.got.append(x)
                    if self.peer:
                        self.down.sendto(x, self.peer)

    def stop(self):
        self.running = False
        self.t.join(5)
        self.up.close()
        self.down.close()


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


class Relay:
    """tests/relay.py between clients and the server on server_port."""

    def __init__(self, server_port, seed=1, c2s="", s2c="", outages=(), max_seconds=300, trace=None):
        cmd = [sys.executable, RELAY, "--server", "127.0.0.1:%d" % server_port, "--seed", str(seed),
               "--c2s", c2s, "--s2c", s2c, "--max-seconds", str(max_seconds)]
        for o in outages:
            cmd += ["--outage", o]
        if trace:
            cmd += ["--trace", trace]
        self.p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = self.p.stdout.readline().decode()
        if not first.startswith("relay listening on "):
            self.p.kill()
            raise AssertionError("relay did not start: %r %r" % (first, self.p.stderr.read()))
        self.port = int(first.split()[-1])
        self.stats = None

    def stop(self):
        """Ends the relay and returns its counters per direction."""
        if self.stats is None:
            if self.p.poll() is None:
                self.p.send_signal(signal.SIGTERM)
            out, err = self.p.communicate(timeout=10)
            lines = out.decode().strip().splitlines()
            assert lines, "relay printed no counters: %r" % err
            self.stats = json.loads(lines[-1])
        return self.stats


def linkem_unavailable():
    """Why the link emulator cannot run here (None when it can): it needs
    root for its network namespaces, /dev/net/tun and the ip command."""
    if os.geteuid() != 0:
        return "needs root (network namespaces)"
    if not os.path.exists("/dev/net/tun"):
        return "no /dev/net/tun"
    if shutil.which("ip") is None:
        return "no ip command"
    if not os.access(LINKEM, os.X_OK):
        return "no link emulator at %s (cmake --build <dir> --target linkem)" % LINKEM
    return None


class LinkEm:
    """bench/linkem between two network namespaces of its own: side 0 (A,
    10.77.0.1, where the client runs) and side 1 (B, 10.77.0.2, the
    server's). args are its path options (--rate, --delay-ms, ...). pre(side)
    is the prefix that runs a program on a side (Program's pre). stop() ends
    it by its PID, removes the namespaces and returns its report: per
    direction "ab" (A to B) and "ba" the packets forwarded and dropped."""

    ADDR = ("10.77.0.1", "10.77.0.2")
    count = 0

    def __init__(self, *args, seed=1, max_seconds=300):
        LinkEm.count += 1
        tag = "%d-%d" % (os.getpid(), LinkEm.count)
        self.ns = ("wispA" + tag, "wispB" + tag)
        self.dir = tempfile.mkdtemp(prefix="wisp-linkem-")
        self.path = os.path.join(self.dir, "report.json")
        self.report = None
        self.p = None
        try:
            for n in self.ns:
                subprocess.run(["ip", "netns", "add", n], check=True, capture_output=True)
            self.p = subprocess.Popen([LINKEM, "--ns-a", self.ns[0], "--ns-b", self.ns[1], "--seed", str(seed),
                                       "--report", self.path, "--max-seconds", str(max_seconds)] +
                                      [str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            first = self.p.stdout.readline().decode()
            if first != "linkem ready\n":
                raise AssertionError("linkem did not start: %r %r" % (first, self.p.stderr.read()))
        except BaseException:
            self.stop()
            raise

    def pre(self, side):
        return ("ip", "netns", "exec", self.ns[side])

    def stop(self):
        """Ends the emulator (harmless when done already) and returns its report."""
        if self.p is not None:
            end_by_pid(self.p)
            for f in (self.p.stdout, self.p.stderr):
                f.close()
            if self.report is None and os.path.exists(self.path):
                with open(self.path) as f:
                    self.report = json.load(f)
        for n in self.ns:
            subprocess.run(["ip", "netns", "del", n], capture_output=True)
        shutil.rmtree(self.dir, ignore_errors=True)
        return self.report
