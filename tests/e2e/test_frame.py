"""The program frame and the datagram link, run for real: start-up and the
log's framing, the termination chain on signals and keys (also in the middle
of a long digest, and with signals ignored by the parent), the terminal's
settings and keys in the foreground and the background, and a link that
survives odd datagrams."""
import os
import pty
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import termios
import time
import unittest

from wisp_test_util import (ERR_NULL, SRV, Client, Server, datrp, datrq, free_port, log_text, log_texts, rdrq,
                            wait_for, wrrp, wrrq)

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


def job_shell(how, port, cwd):
    """The child of pty.fork: a session leader that runs the server as a job
    in a process group of its own, sends it to the background as a shell
    does (bg: foreground first, then stop, take the terminal back, continue;
    &: never in the foreground), sends SIGTERM and reports how the job ended
    ("job: exit <code>", or "job: stopped by <signal>"). Never returns."""
    code = 2
    try:
        signal.signal(signal.SIGTTOU, signal.SIG_IGN)   # the shell itself takes the terminal back
        job = os.fork()
        if job == 0:
            os.setpgid(0, 0)
            if how == "bg":
                os.tcsetpgrp(0, os.getpgrp())
            signal.signal(signal.SIGTTOU, signal.SIG_DFL)
            os.chdir(cwd)
            os.execv(SRV, [SRV, "-p", str(port)])
        try:
            os.setpgid(job, job)
        except OSError:
            pass   # the job has done it already
        if how == "bg":
            # In the foreground the server switches echo off; then Ctrl-Z and bg.
            if not wait_for(lambda: not termios.tcgetattr(0)[3] & termios.ECHO):
                raise AssertionError("terminal was not switched to key mode")
            os.kill(job, signal.SIGTSTP)
            _, st = os.waitpid(job, os.WUNTRACED)
            if not os.WIFSTOPPED(st):
                raise AssertionError("job did not stop on SIGTSTP")
            os.tcsetpgrp(0, os.getpgrp())
            os.kill(job, signal.SIGCONT)
        time.sleep(1.0)
        os.kill(job, signal.SIGTERM)
        end = time.time() + 10
        while time.time() < end:
            done, st = os.waitpid(job, os.WUNTRACED | os.WNOHANG)
            if done and os.WIFSTOPPED(st):
                print("job: stopped by", signal.Signals(os.WSTOPSIG(st)).name, flush=True)
                os.kill(job, signal.SIGKILL)
                os.waitpid(job, 0)
                code = 1
                break
            if done:
                print("job: exit", os.waitstatus_to_exitcode(st), flush=True)
                code = 0
                break
            time.sleep(0.05)
        else:
            print("job: still running", flush=True)
            os.kill(job, signal.SIGKILL)
            code = 1
    except BaseException as e:   # whatever happens, the child ends here
        print("job shell:", repr(e), flush=True)
    os._exit(code)


def open_files(pid, d):
    """(descriptor path in /proc, file) of each file in directory d that
    process pid holds open; an anonymous file shows as "d/#inode (deleted)"."""
    fds, d = "/proc/%d/fd" % pid, os.path.realpath(d)
    found = []
    for n in os.listdir(fds):
        try:
            target = os.readlink(os.path.join(fds, n))
        except OSError:
            continue
        if target.startswith(d + "/"):
            found.append((os.path.join(fds, n), target))
    return found


def cpu_ticks(pid):
    """User and system time the process pid has used, in clock ticks."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])



def end_pty_child(pid, fd):
    """Kills and reaps a child started on a pseudo-terminal (if it still runs)
    and closes the terminal's controlling side."""
    try:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    except (ProcessLookupError, ChildProcessError):
        pass
    os.close(fd)

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

    def start_srv(self, port, stdin=subprocess.PIPE, **popen):
        p = Server(self.dir, addr=None, port=port, ready=None, stdin=stdin, **popen)
        self.procs.append(p)
        self.assertTrue(p.wait_log(r"^InitSock Listening on 0\.0\.0\.0:%d$" % port))
        return p

    def start_cli(self, port, **popen):
        p = Client(self.dir, "-a", "127.0.0.1", "-p", port, "get", "x", **popen)
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

    def assertStoppedBySignal(self, p, timeout=10.0):
        """p ends with 255 through the chain, the signal's line on its console."""
        rc, out, _ = p.finish(timeout)
        self.assertEqual(rc, 255)
        self.assertEqual(out.count("ConSigs: Signal received, terminating.\n"), 1, out)
        self.assertEqual(self.log(p.LOG)[-1], "DoneModule rc 255")
        return out

    def test_signal_during_a_long_digest_or_a_receive(self):
        """SIGTERM stops a program within a second also while a 3 GiB file is
        being digested: the server's digest of a file asked for (with an
        upload under way, which leaves no file behind), and the client's
        digest of the file it is to put. An upload alone is stopped as
        promptly."""
        big = os.path.join(self.dir, "big.bin")
        with open(big, "wb") as f:
            f.truncate(3 << 30)
        if os.stat(big).st_blocks * 512 > 1 << 20:
            self.skipTest("the scratch file system does not keep sparse files")
        port = free_port()
        srv = ("127.0.0.1", port)
        for digest in (True, False):
            with self.subTest(side="server", digest=digest), \
                    socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as up, \
                    socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as rd:
                p = self.start_srv(port)
                up.settimeout(2.0)
                up.sendto(wrrq("up.bin", 3000, bytes(16), 0, 0), srv)
                self.assertEqual(up.recv(2048), wrrp(ERR_NULL, 1455, 10, 10, 1))
                self.assertEqual(up.recv(2048), datrq(0, 0, 7))
                up.sendto(datrp(1, 0, b"u" * 1455), srv)
                # the upload's temporary file (anonymous where the file system allows)
                self.assertTrue(wait_for(lambda: [fd for fd, f in open_files(p.p.pid, self.dir)
                                                  if os.path.basename(f) not in ("big.bin", p.LOG)
                                                  and os.stat(fd).st_size == 1455]),
                                "fragment not written")
                if digest:
                    rd.sendto(rdrq("big.bin"), srv)
                    time.sleep(0.5)
                p.p.send_signal(signal.SIGTERM)
                self.assertStoppedBySignal(p, timeout=1.0)
                # the digest was still under way: the read request had no answer
                rd.setblocking(False)
                self.assertRaises(BlockingIOError, rd.recv, 2048)
                self.assertEqual(p.files(), ["big.bin"])
        with self.subTest(side="client"):
            p = Client(self.dir, "-a", "127.0.0.1", "-p", port, "put", "big.bin")
            self.procs.append(p)
            time.sleep(0.5)
            p.p.send_signal(signal.SIGTERM)
            out = self.assertStoppedBySignal(p, timeout=1.0)
            self.assertNotIn("InitSes: Requesting", out)   # stopped before the digest was done

    def test_ignored_interrupt_and_quit_stay_ignored(self):
        """A program whose parent ignored SIGINT and SIGQUIT (a background job
        of a script) keeps ignoring them; SIGTERM and SIGHUP stop it all the
        same, even when they were ignored too (nohup)."""
        def ignore():
            for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP, signal.SIGTERM):
                signal.signal(sig, signal.SIG_IGN)

        port = free_port()
        for start, stop in ((self.start_srv, signal.SIGTERM), (self.start_cli, signal.SIGHUP)):
            p = start(port, preexec_fn=ignore)
            p.p.send_signal(signal.SIGINT)
            p.p.send_signal(signal.SIGQUIT)
            time.sleep(0.3)
            self.assertTrue(p.alive(), p.LOG)
            p.p.send_signal(stop)
            self.assertStoppedBySignal(p)

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
        """In the foreground of its terminal the server switches echo and line
        mode off, takes a key as soon as it is typed, and restores the
        settings on the way out, by key or by signal."""
        port = free_port()
        for how, rc in (("key", 1), ("signal", 255)):
            with self.subTest(how=how):
                pid, fd = pty.fork()
                if pid == 0:
                    os.chdir(self.dir)
                    os.execv(SRV, [SRV, "-p", str(port)])
                try:
                    before = termios.tcgetattr(fd)
                    # the program switches echo and line mode off while it runs
                    raw = wait_for(lambda: not (termios.tcgetattr(fd)[3] & termios.ECHO))
                    self.assertTrue(raw, "terminal was not switched to key mode")
                    if how == "key":
                        os.write(fd, b"q")
                    else:
                        os.kill(pid, signal.SIGINT)
                    _, status = os.waitpid(pid, 0)
                    self.assertEqual(os.waitstatus_to_exitcode(status), rc)
                    self.assertEqual(termios.tcgetattr(fd), before)
                finally:
                    end_pty_child(pid, fd)

    def test_background_job_reads_no_keys_and_stays_idle(self):
        """Started in the background of its terminal (the shell's process
        group has the foreground), the server leaves the terminal's settings
        alone, reads none of the keys typed there and does not spin on them."""
        port = free_port()
        pid, fd = pty.fork()
        if pid == 0:
            # the shell's part: the server as a background job of this terminal
            os.chdir(self.dir)
            g = os.fork()
            if g == 0:
                os.setpgid(0, 0)
                os.execv(SRV, [SRV, "-p", str(port)])
            os.setpgid(g, g)
            os.write(1, b"job %d\n" % g)
            _, status = os.waitpid(g, 0)
            os._exit(os.waitstatus_to_exitcode(status) & 0xFF)
        job, ended = None, False
        try:
            seen = b""
            end = time.time() + 10
            while b"\n" not in seen and time.time() < end:
                if select.select([fd], [], [], 0.1)[0]:
                    seen += os.read(fd, 100)
            job = int(re.search(rb"job (\d+)", seen).group(1))
            before = termios.tcgetattr(fd)
            log = os.path.join(self.dir, "WISPSrv.log")
            self.assertTrue(wait_for(lambda: any(t.startswith("InitSock Listening")
                                                 for t in log_texts(log_text(log)))))
            os.write(fd, b"q\n")   # a whole line: readable in the terminal's line mode
            cpu0 = cpu_ticks(job)
            time.sleep(0.6)
            self.assertEqual(os.waitpid(pid, os.WNOHANG), (0, 0), "the job read the key")
            # a loop woken by the waiting key over and over would use much of the 0.6 s
            self.assertLess(cpu_ticks(job) - cpu0, 0.05 * os.sysconf("SC_CLK_TCK"))
            self.assertEqual(termios.tcgetattr(fd), before)
            os.kill(job, signal.SIGTERM)
            _, status = os.waitpid(pid, 0)
            ended = True
            self.assertEqual(os.waitstatus_to_exitcode(status), 255)
            self.assertEqual(self.log("WISPSrv.log")[-1], "DoneModule rc 255")
        finally:
            if not ended:
                for p in (job, pid):
                    try:
                        if p:
                            os.kill(p, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                os.waitpid(pid, 0)
            os.close(fd)

    def test_leaving_from_the_background_does_not_stop_on_the_terminal(self):
        # A little job-control shell of our own on a pty runs the server as a
        # job: in the foreground, then Ctrl-Z and bg; or started with &. The
        # server must end on SIGTERM, not stop on SIGTTOU when it would put
        # the terminal's modes back from the background.
        for how in ("bg", "&"):
            with self.subTest(how=how):
                pid, fd = pty.fork()
                if pid == 0:
                    job_shell(how, free_port(), self.dir)
                try:
                    out = b""
                    end = time.time() + 30
                    while time.time() < end:
                        if select.select([fd], [], [], 0.5)[0]:
                            try:
                                chunk = os.read(fd, 4096)
                            except OSError:   # the shell has ended
                                break
                            if not chunk:
                                break
                            out += chunk
                    _, status = os.waitpid(pid, 0)
                    text = out.decode("latin-1")
                    self.assertEqual(os.waitstatus_to_exitcode(status), 0, text)
                    self.assertIn("job: exit 255", text)
                finally:
                    end_pty_child(pid, fd)

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
