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

from wisp_test_util import SRV, Client, Server, free_port, log_text, log_texts, wait_for

SEP = "=" * 40


def ended_log(path):
    """The texts of the lines of an ended program's log, which must end in CR LF."""
    text = log_text(path)
    assert text.endswith("\r\n"), "log does not end in CR LF"
    return log_texts(text)


def link_done(t):
    """The link's closing counter line: the file table's DoneModule may
    follow it before the log's own last line."""
    return next((l for l in reversed(t) if l.startswith("DoneModule txn")), "DoneModule txn line missing")


class FrameTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wisp-frame-")
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log(self, name):
        return ended_log(os.path.join(self.dir, name))

    def start_srv(self, port, stdin=subprocess.PIPE):
        p = Server(self.dir, addr=None, port=port, ready=None, stdin=stdin)
        self.procs.append(p)
        self.assertTrue(p.wait_log(r"^InitSock Listening on 0\.0\.0\.0:%d$" % port))
        return p

    def start_cli(self, port):
        p = Client(self.dir, "-a", "127.0.0.1", "-p", port, "get", "x")
        self.procs.append(p)
        self.assertTrue(p.wait_log(r"^InitSock Using local socket 0\.0\.0\.0:\d+$"))
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
                t = self.log(log)
                self.assertEqual(t[-1], "DoneModule rc 255")
                self.assertTrue(re.match(r"^DoneModule txn \d+ txe 0 rxn \d+ rxe \d+$", link_done(t)), link_done(t))
        for log in ("WISPSrv.log", "WISPCli.log"):
            t = self.log(log)
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
        self.assertEqual(self.log("WISPSrv.log")[-1], "DoneModule rc 1")
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
        t = self.log("WISPSrv.log")
        m = re.match(r"^DoneModule txn (\d+) txe (\d+) rxn (\d+) rxe (\d+)$", link_done(t))
        self.assertTrue(m, link_done(t))
        self.assertEqual(int(m.group(3)) + int(m.group(4)), 3)

    def test_client_drops_datagrams_from_other_endpoints(self):
        port = free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as srv, \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
            srv.bind(("127.0.0.1", port))
            p = self.start_cli(port)
            line = p.wait_log(r"^InitSock Using local socket ")
            cport = int(line.rsplit(":", 1)[1])
            for _ in range(3):
                other.sendto(b"WISP", ("127.0.0.1", cport))
            time.sleep(0.3)
            p.p.terminate()
            rc, _, _ = p.finish()
        self.assertEqual(rc, 255)
        t = self.log("WISPCli.log")
        m = re.match(r"^DoneModule txn (\d+) txe 0 rxn 0 rxe (\d+)$", link_done(t))
        self.assertTrue(m, link_done(t))
        self.assertEqual(int(m.group(2)), 3)

    def test_port_in_use_stops_the_server_with_the_bind_error(self):
        port = free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("0.0.0.0", port))
            p = Server(self.dir, addr=None, port=port, ready=None)
            self.procs.append(p)
            rc, out, _ = p.finish()
        self.assertEqual(rc, 255)
        self.assertIn("F CliIO BindSock bind() for 0.0.0.0:%d failed, err 98\n" % port, out)


if __name__ == "__main__":
    unittest.main()
