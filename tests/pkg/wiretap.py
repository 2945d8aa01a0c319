"""Helpers of the dissector tests: a live capture on the loopback interface
with tshark, and the decoding of a capture file through contrib/wisp.lua.
Importing it puts tests/e2e on the module path, for the telegram encoder and
the programs of the end-to-end tests' helper module wisp_test_util."""
import os
import queue
import shutil
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DISSECTOR = os.path.normpath(os.path.join(HERE, "..", "..", "contrib", "wisp.lua"))

sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from wisp_test_util import CLOSE, DATRP, DATRQ, RDRP, RDRQ, WRRP, WRRQ, free_port  # noqa: E402

CMD = {"RdRq": RDRQ, "RdRp": RDRP, "WrRq": WRRQ, "WrRp": WRRP, "DatRq": DATRQ, "DatRp": DATRP, "Close": CLOSE,
       "XRdRp": 8, "XWrRq": 9, "XWrRp": 10, "Dgst": 11, "DgRq": 12}
CMD_NAME = {v: k for k, v in CMD.items()}


def corrupt(x, bit=3):
    """The telegram with one bit of its body flipped."""
    b = bytearray(x)
    b[7] ^= 1 << bit
    return bytes(b)


# --- capture ---------------------------------------------------------------

def tools_missing():
    """Why the capture tests cannot run here, or None when they can."""
    if shutil.which("tshark") is None:
        return "tshark is not installed (Debian package tshark; scripts/deps.sh installs it)"
    v = subprocess.run(["tshark", "-v"], capture_output=True, text=True).stdout
    if "with Lua" not in v:
        return "this tshark is built without Lua"
    if os.geteuid() != 0 and shutil.which("dumpcap") is None:
        return "capturing needs root or dumpcap with capture rights"
    return None


class Capture:
    """tshark capturing UDP to and from one port on the loopback interface.

    Capture starts some time after tshark does; a datagram sent to a second
    port of the filter and seen in tshark's live lines marks the moment the
    capture is running, so nothing of the traffic that follows is missed."""

    def __init__(self, port, path):
        self.port = port
        # A port the kernel has just handed out for the traffic may come
        # again: the marks must not land among the traffic's own datagrams.
        self.sync_port = free_port()
        while self.sync_port == port:
            self.sync_port = free_port()
        self.path = path
        self.lines = queue.Queue()
        self.p = subprocess.Popen(
            ["tshark", "-n", "-l", "-P", "-T", "fields", "-e", "udp.srcport", "-e", "udp.dstport",
             "-i", "lo", "-f", "udp port %d or udp port %d" % (port, self.sync_port), "-w", path],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self._sync("start")

    def _read(self):
        for line in self.p.stdout:
            self.lines.put(line)

    def _sync(self, what):
        # A socket of its own for each mark: the summary line names its
        # source port, so a line of an earlier mark is not taken for it.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            # The live lines are "<source port>\t<destination port>": plain
            # port numbers, whatever protocol a port may suggest to tshark.
            mark = "%d\t%d" % (s.getsockname()[1], self.sync_port)
            end = time.time() + 30
            while time.time() < end:
                if self.p.poll() is not None:
                    raise AssertionError("tshark ended before capturing (exit %d)" % self.p.returncode)
                s.sendto(what.encode(), ("127.0.0.1", self.sync_port))
                try:
                    while True:
                        line = self.lines.get(timeout=0.2)
                        if line.strip() == mark:
                            return
                except queue.Empty:
                    pass
        raise AssertionError("tshark did not start capturing within 30 s")

    def stop(self):
        """Waits until everything sent so far is captured, then ends tshark."""
        try:
            self._sync("stop")
        finally:
            if self.p.poll() is None:
                self.p.terminate()
                try:
                    self.p.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    self.p.kill()
                    self.p.wait()
            self.reader.join(timeout=5)
            self.p.stdout.close()


# The dissector's expert infos; each is also a field that is 1 where raised.
EXPERTS = ["wisp.trl.bad", "wisp.len.bad", "wisp.magic.bad", "wisp.ver.bad", "wisp.cmd.bad"]

FIELDS = ["frame.number", "udp.srcport", "udp.dstport", "wisp.cmd", "wisp.magic", "wisp.ver",
          "wisp.f", "wisp.t", "wisp.n", "wisp.r", "wisp.e", "wisp.p.l", "wisp.p.d",
          "wisp.d.d", "wisp.d.t", "wisp.ref", "wisp.idx", "wisp.set", "wisp.req",
          "wisp.data", "wisp.data.len", "wisp.trl", "wisp.trl.status", "wisp.x", "wisp.l", "wisp.k",
          "wisp.g", "_ws.expert.message",
          "_ws.col.Info"] + EXPERTS
# The secure mode's visible fields.
FIELDS += ["wisp.sidx", "wisp.ctr", "wisp.eph", "wisp.sealed.len", "wisp.tag", "wisp.mac1"]


def decode(path, port, extra=(), display_filter=None):
    """One dict per frame of the capture, WISP decoded on `port` through the
    port preference of the dissector (or `extra` options); multi-valued
    fields come as lists."""
    args = ["tshark", "-n", "-r", path, "-X", "lua_script:" + DISSECTOR,
            "-o", "wisp.udp_port:%d" % port, *extra, "-T", "fields",
            "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=|"]
    if display_filter:
        args += ["-Y", display_filter]
    for f in FIELDS:
        args += ["-e", f]
    r = subprocess.run(args, capture_output=True, text=True, timeout=120)
    if r.returncode != 0:
        raise AssertionError("tshark failed (%d): %s" % (r.returncode, r.stderr))
    if "Lua" in r.stderr and "rror" in r.stderr:
        raise AssertionError("dissector error: " + r.stderr)
    rows = []
    for line in r.stdout.splitlines():
        vals = line.split("\t")
        row = {}
        for k, v in zip(FIELDS, vals):
            row[k] = v.split("|") if "|" in v else v
        rows.append(row)
    return rows
