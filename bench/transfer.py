#!/usr/bin/env python3
"""Transfer benchmark on loopback: fetches and uploads one file (64 MiB by
default) with the client's default settings against a server in a scratch
directory, and prints per direction the rate of the client's result line, the
rate the client requested, their ratio, the CPU seconds of client and server,
and the seconds each spent runnable but waiting for a CPU (a 1 ms update that
comes late is not made up, so that wait costs rate directly). Not a test: it prints figures and fails only when a transfer fails.

    python3 bench/transfer.py [--mib 64] [--cli build/WISPCli] [--srv build/WISPSrv] [--adr ADR ...]
                              [-- client options]

--adr names the server address the client uses (default 127.0.0.1); several
of them (e.g. --adr 127.0.0.1 --adr ::1) run one after the other against one
dual-stack server (-a ::), so IPv4 and IPv6 compare within one run.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TICK = os.sysconf("SC_CLK_TCK")

sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from wisp_test_util import Server  # noqa: E402  (the end-to-end tests' server wrapper)


def cpu_of(pid):
    """User plus system CPU seconds of a running process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def runq_wait(pid):
    """Seconds the process has spent runnable but waiting for a CPU (0 where unknown)."""
    try:
        with open("/proc/%d/schedstat" % pid) as f:
            return int(f.read().split()[1]) / 1e9
    except (OSError, IndexError, ValueError):
        return 0.0


def run_client(cli, cwd, args):
    """Runs the client to its end: (exit code, stdout, CPU seconds, wall seconds,
    seconds it waited for a CPU while runnable)."""
    t0 = time.time()
    with tempfile.TemporaryFile() as out:
        p = subprocess.Popen([cli] + args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                             stderr=subprocess.STDOUT)
        wait = 0.0
        while True:
            pid, status, ru = os.wait4(p.pid, os.WNOHANG)
            if pid == p.pid:
                break
            wait = max(wait, runq_wait(p.pid))   # the last reading before the end
            time.sleep(0.05)
        out.seek(0)
        text = out.read().decode("latin-1")
    return os.waitstatus_to_exitcode(status), text, ru.ru_utime + ru.ru_stime, time.time() - t0, wait


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("--cli", default=os.path.join(ROOT, "build", "WISPCli"))
    ap.add_argument("--srv", default=os.path.join(ROOT, "build", "WISPSrv"))
    ap.add_argument("--adr", action="append", help="server address for the client; repeatable")
    ap.add_argument("extra", nargs="*", help="client options, e.g. -u 2 -f 20")
    a = ap.parse_args()
    adrs = a.adr or ["127.0.0.1"]
    bind = adrs[0] if len(adrs) == 1 else "::"

    work = tempfile.mkdtemp(prefix="wisp-bench-")
    sdir, cdir = os.path.join(work, "srv"), os.path.join(work, "cli")
    os.mkdir(sdir)
    os.mkdir(cdir)
    size = a.mib * 1048576
    for path in (os.path.join(sdir, "down.bin"), os.path.join(cdir, "up.bin")):
        with open(path, "wb") as f:
            for _ in range(a.mib):
                f.write(os.urandom(1048576))
    srv = None
    failed = False
    try:
        # -o: a second address's upload replaces the first one's.
        srv = Server(sdir, "-o", addr=bind, prog=a.srv, stdin=subprocess.DEVNULL)
        port, pid = srv.port, srv.p.pid
        print("file %d MiB, client options: %s, load average %s" % (
            a.mib, " ".join(a.extra) or "(defaults)", " ".join(open("/proc/loadavg").read().split()[:3])))
        print("%-4s %10s %10s %6s %9s %9s %7s %10s %10s" % ("dir", "rate MB/s", "asked MB/s", "ratio", "cli CPU s",
                                                         "srv CPU s", "wall s", "cli wait s", "srv wait s"))
        for adr, mode, name in [(x, m, n) for x in adrs for m, n in (("get", "down.bin"), ("put", "up.bin"))]:
            if len(adrs) > 1 and mode == "get":
                print("server address %s (server bound to %s)" % (adr, bind))
            if mode == "get" and os.path.exists(os.path.join(cdir, name)):
                os.remove(os.path.join(cdir, name))
            s0, w0 = cpu_of(pid), runq_wait(pid)
            rc, out, ccpu, wall, cwait = run_client(a.cli, cdir, ["-a", adr, "-p", str(port)] + a.extra +
                                                    [mode, name])
            scpu, swait = cpu_of(pid) - s0, runq_wait(pid) - w0
            asked = re.search(r"InitSes: Requesting (\d+\.\d+) MB/s\.", out)
            done = re.search(r"DoClose: Transmission successful\. (\d+) B, (\d+) ms, (\d+\.\d+) MB/s\.", out)
            if rc != 0 or not asked or not done or int(done.group(1)) != size:
                print("%s failed (exit code %d):\n%s" % (mode, rc, out))
                failed = True
                continue
            rate, req = float(done.group(3)), float(asked.group(1))
            print("%-4s %10.3f %10.3f %6.3f %9.2f %9.2f %7.2f %10.2f %10.2f" % (
                mode, rate, req, rate / req, ccpu, scpu, wall, cwait, swait))
            print("     client: %s" % done.group(0))
    finally:
        if srv is not None:
            srv.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
