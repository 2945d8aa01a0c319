"""The program frame and the datagram link, run for real: start-up and the
log's framing, the termination chain on signals and keys, the terminal's
settings, and a link that survives odd datagrams."""
import os
import pty
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import termios
import time
import unittest

CLI = os.path.abspath(os.environ.get("WISP_CLI", "../../build-test/WISPCli"))
SRV = os.path.abspath(os.environ.get("WISP_SRV", "../../build-test/WISPSrv"))
SEP = "=" * 40


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def log_texts(path):
    """The texts of the log file's lines (after the 40-character prefix)."""
    with open(path, "rb") as f:
        data = f.read().decode("latin-1")
    lines = data.split("\r\n")
    assert lines[-1] == "", "log does not end in CR LF"
    return [l[40:] for l in lines[:-1]]


def link_done(t):
    """The link's closing counter line: the file table's DoneModule may
    follow it before the log's own last line."""
    return next((l for l in reversed(t) if l.startswith("DoneModule txn")), "DoneModule txn line missing")


def wait_for(pred, timeout=10.0):
    end = time.time() + timeout
    while time.time() < end:
        v = pred()
        if v:
            return v
        time.sleep(0.02)
    return None


class Prog:
    """One run of a program in a directory, keys through a pipe."""

    def __init__(self, args, cwd, stdin=subprocess.PIPE):
        self.cwd = cwd
        # lines of earlier runs in the same logs are not this run's
        self.skip = {n: len(self.log(n)) for n in ("WISPSrv.log", "WISPCli.log")}
        self.p = subprocess.Popen(args, cwd=cwd, stdin=stdin, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)

    def log(self, name):
        path = os.path.join(self.cwd, name)
        return log_texts(path) if os.path.exists(path) else []

    def wait_log(self, name, pattern, timeout=10.0):
        rx = re.compile(pattern)
        return wait_for(lambda: next((t for t in self.log(name)[self.skip.get(name, 0):] if rx.search(t)), None),
                        timeout)

    def finish(self, timeout=10.0):
        try:
            out, err = self.p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.p.kill()
            out, err = self.p.communicate()
            raise AssertionError("program did not end")
        return self.p.returncode, out.decode("latin-1"), err.decode("latin-1")

    def kill(self):
        if self.p.poll() is None:
            self.p.kill()
            self.p.wait()


class FrameTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wisp-frame-")
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start_srv(self, port, stdin=subprocess.PIPE):
        p = Prog([SRV, "-p", str(port)], self.dir, stdin)
        self.procs.append(p)
        self.assertTrue(p.wait_log("WISPSrv.log", r"^InitSock Listening on 0\.0\.0\.0:%d$" % port))
        return p

    def start_cli(self, port):
        p = Prog([CLI, "-a", "127.0.0.1", "-p", str(port), "get", "x"], self.dir)
        self.procs.append(p)
        self.assertTrue(p.wait_log("WISPCli.log", r"^InitSock Using local socket 0\.0\.0\.0:\d+$"))
        return p

    def test_signals_end_both_programs_through_the_chain(self):
        port = free_port()
        runs = 0
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
            for start, log in ((self.start_srv, "WISPSrv.log"), (self.start_cli, "WISPCli.log")):
                p = start(port)
                runs += 1
                p.p.send_signal(sig)
                rc, out, _ = p.finish()
                self.assertEqual(rc, 255, sig)
                self.assertIn("ConSigs: Signal received, terminating.\n", out)
                t = p.log(log)
                self.assertEqual(t[-1], "DoneModule rc 255")
                self.assertTrue(re.match(r"^DoneModule txn \d+ txe 0 rxn \d+ rxe \d+$", link_done(t)), link_done(t))
        for log in ("WISPSrv.log", "WISPCli.log"):
            t = log_texts(os.path.join(self.dir, log))
            self.assertEqual(t[0], SEP)
            self.assertEqual(t[1], 'Register  1 "Log"')
            self.assertTrue(re.match(r"^ticks [ 0-9A-F]{8}$", t[2]), t[2])
            # every run appended after a separator of its own
            self.assertEqual(t.count(SEP), 4)
            self.assertEqual(t.count("DoneModule rc 255"), 4)

    def test_quit_key_from_a_pipe_and_closed_input(self):
        port = free_port()
        p = self.start_srv(port)
        p.p.stdin.write(b"xq")
        p.p.stdin.flush()
        rc, out, _ = p.finish()
        self.assertEqual(rc, 1)
        self.assertEqual(p.log("WISPSrv.log")[-1], "DoneModule rc 1")
        # With standard input at its end the server reads no keys and keeps running.
        p = self.start_srv(port, stdin=subprocess.DEVNULL)
        time.sleep(0.3)
        self.assertIsNone(p.p.poll())
        p.p.terminate()
        self.assertEqual(p.finish()[0], 255)

    def test_terminal_settings_are_restored(self):
        port = free_port()
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.dir)
            os.execv(SRV, [SRV, "-p", str(port)])
        try:
            before = termios.tcgetattr(fd)
            # the program switches echo and line mode off while it runs
            raw = wait_for(lambda: not (termios.tcgetattr(fd)[3] & termios.ECHO))
            self.assertTrue(raw, "terminal was not switched to key mode")
            os.kill(pid, signal.SIGINT)
            _, status = os.waitpid(pid, 0)
            self.assertEqual(os.waitstatus_to_exitcode(status), 255)
            self.assertEqual(termios.tcgetattr(fd), before)
        finally:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass
            os.close(fd)

    def test_odd_datagrams_do_not_stop_the_server(self):
        port = free_port()
        p = self.start_srv(port)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(b"\x55" * 2000, ("127.0.0.1", port))
            s.sendto(b"", ("127.0.0.1", port))
            s.sendto(b"\x00" * 65507, ("127.0.0.1", port))
        time.sleep(0.3)
        self.assertIsNone(p.p.poll())
        p.p.terminate()
        rc, _, _ = p.finish()
        self.assertEqual(rc, 255)
        t = p.log("WISPSrv.log")
        m = re.match(r"^DoneModule txn (\d+) txe (\d+) rxn (\d+) rxe (\d+)$", link_done(t))
        self.assertTrue(m, link_done(t))
        self.assertEqual(int(m.group(3)) + int(m.group(4)), 3)

    def test_client_drops_datagrams_from_other_endpoints(self):
        port = free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as srv, \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
            srv.bind(("127.0.0.1", port))
            p = self.start_cli(port)
            line = p.wait_log("WISPCli.log", r"^InitSock Using local socket ")
            cport = int(line.rsplit(":", 1)[1])
            for _ in range(3):
                other.sendto(b"WISP", ("127.0.0.1", cport))
            time.sleep(0.3)
            p.p.terminate()
            rc, _, _ = p.finish()
        self.assertEqual(rc, 255)
        t = p.log("WISPCli.log")
        m = re.match(r"^DoneModule txn (\d+) txe 0 rxn 0 rxe (\d+)$", link_done(t))
        self.assertTrue(m, link_done(t))
        self.assertEqual(int(m.group(2)), 3)

    def test_port_in_use_stops_the_server_with_the_bind_error(self):
        port = free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("0.0.0.0", port))
            p = Prog([SRV, "-p", str(port)], self.dir)
            self.procs.append(p)
            rc, out, _ = p.finish()
        self.assertEqual(rc, 255)
        self.assertIn("F CliIO BindSock bind() for 0.0.0.0:%d failed, err 98\n" % port, out)


if __name__ == "__main__":
    unittest.main()
