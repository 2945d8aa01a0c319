"""Helpers of the loss, load and flood tests: the real server with its console
read line by line (for the counter line of its E key), the impairment relay
(tests/relay.py) as a subprocess, and the counters in the client's log."""
import json
import os
import signal
import subprocess
import sys
import threading
import time

from wisp_client_util import SRV, free_port

RELAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "relay.py")
SUCCESS = "DoClose: Transmission successful. %d B, "

# The server's 27 error counters, in the order its counter line shows them.
SRV_COUNTERS = ["eNull", "eLen", "eCrc", "eMag", "eVer", "eCmd", "eRdRqLen", "eRdRqFgl", "eRdRqTyp",
                "eRdRqPar", "eRdRqBsy", "eRdRqRID", "eDatRqLen", "eDatRqRef", "eDatRqSes", "eWrRqLen",
                "eWrRqFgl", "eWrRqTyp", "eWrRqPar", "eWrRqBsy", "eWrRqRID", "eDatRpLen", "eDatRpRef",
                "eDatRpSes", "eCloseLen", "eCloseRef", "eCloseSes"]
CLI_COUNTERS = ["eNull", "eLen", "eCrc", "eMag", "eVer", "eCmd", "eRdRpSt", "eRdRpWr", "eRdRpLen",
                "eDatRpSt", "eDatRpWr", "eDatRpLen", "eWrRpSt", "eWrRpWr", "eWrRpLen", "eDatRqSt",
                "eDatRqWr", "eDatRqLen", "eCloseSt", "eCloseWr", "eCloseLen", "eCloseRef", "eTimeOut"]


def wait_for(pred, timeout, step=0.02):
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


def write(path, data, mtime=1577934245):
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))


def parse_counters(line, names):
    """A counter line (3-column hexadecimal fields, each followed by a blank) as a dict."""
    vals = [int(line[4 * k:4 * k + 3], 16) for k in range(len(names))]
    return dict(zip(names, vals))


def is_counter_line(line, n):
    return len(line) == 4 * n and all(line[4 * k:4 * k + 3].strip() != "" and line[4 * k + 3] == " "
                                      for k in range(n))


class Server:
    """The real server in directory cwd on a free loopback port; its console
    lines are collected by a reader thread."""

    def __init__(self, cwd, *args):
        self.cwd = cwd
        self.port = free_port()
        self.lines = []
        self.p = subprocess.Popen([SRV, "-a", "127.0.0.1", "-p", str(self.port)] + list(args), cwd=cwd,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.t = threading.Thread(target=self._reader, daemon=True)
        self.t.start()
        if not wait_for(lambda: b"InitSock Listening on" in self.log_bytes(), 10):
            self.stop()
            raise AssertionError("server did not start")

    def _reader(self):
        for raw in self.p.stdout:
            self.lines.append(raw.decode("latin-1").rstrip("\r\n"))

    def log_bytes(self):
        path = os.path.join(self.cwd, "WISPSrv.log")
        return read(path) if os.path.exists(path) else b""

    def log(self):
        return [l[40:] for l in self.log_bytes().decode("latin-1").split("\r\n")[:-1]]

    def alive(self):
        return self.p.poll() is None

    def counters(self):
        """Presses E and returns the counter line the server prints."""
        n = sum(1 for l in self.lines if is_counter_line(l, 27))
        self.p.stdin.write(b"e")
        self.p.stdin.flush()
        assert wait_for(lambda: sum(1 for l in self.lines if is_counter_line(l, 27)) > n, 5), \
            "no counter line from the server: %r" % self.lines[-5:]
        return parse_counters([l for l in self.lines if is_counter_line(l, 27)][-1], SRV_COUNTERS)

    def stop(self):
        if self.p.poll() is None:
            try:
                self.p.stdin.write(b"q")
                self.p.stdin.flush()
                self.p.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.p.kill()
                self.p.wait()
        self.p.stdin.close()
        self.t.join(2)
        self.p.stdout.close()


class Relay:
    """tests/relay.py between clients and the server on server_port."""

    def __init__(self, server_port, seed=1, c2s="", s2c="", outages=(), max_seconds=300):
        cmd = [sys.executable, RELAY, "--server", "127.0.0.1:%d" % server_port, "--seed", str(seed),
               "--c2s", c2s, "--s2c", s2c, "--max-seconds", str(max_seconds)]
        for o in outages:
            cmd += ["--outage", o]
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


def client_log_counters(client):
    """The client's error counters from the ShowErrCnts line its DoneModule logs."""
    lines = [l for l in client.log() if l.startswith("ShowErrCnts ")]
    assert lines, "no ShowErrCnts line in the client's log"
    return parse_counters(lines[-1][len("ShowErrCnts "):] + " ", CLI_COUNTERS)
