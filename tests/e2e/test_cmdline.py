"""Command lines of WISPCli and WISPSrv, run as a user would run them.

Every run happens in a fresh temporary directory, under a time limit; a
program still running at the end is stopped by its PID. Programs given a
valid command line go on to open their socket: the server gets a free
loopback port, the client a port where no server listens, and both are
stopped with SIGTERM once their configuration is in the log.
"""
import os
import shutil
import tempfile
import time
import unittest

from wisp_test_util import CLI, LOG_PREFIX, SRV, Program, free_port, key_pair, secure_pair

VERSION = "19"
DATE = "2026-06-21"

CLI_HELP = [
    "(* WISPCli v19 (2026-06-21): WISP Client. *)",
    "syntax = 'WISPCli' { option } mode [ name ] .",
    "mode = 'get' | 'put' .",
    "",
    "option = '-h'      (* show this info and exit *)",
    "       | '-a' adr  (* set remote IP address *)",
    "       | '-p' prt  (* set remote UDP port *)",
    "       | '-u' dtu  (* set update period in ms *)",
    "       | '-f' fpu  (* set fragment requests per update *)",
    "       | '-d'      (* switch on debug mode *)",
    "       | '-o'      (* switch on local overwriting *)",
    "       | '-r'      (* switch on re-requests after the round trip in a get *)",
    "       | '-c'      (* switch on a request rate that adapts to the path in a get *)",
    "       | '-x'      (* switch on the extended exchange: files of any size *)",
    "       | '-e' dir  (* switch on secure mode with the keys in dir *)",
    "       | '-k'      (* switch on keeping an interrupted get to resume it *)",
    "       | '-v'      (* switch on verbose mode *) .",
    "(* the request is repeated until the server answers; key 'q' quits *)",
]

SRV_HELP = [
    "(* WISPSrv v19 (2026-06-21): WISP Server. *)",
    "syntax = 'WISPSrv' { option } .",
    "option = '-h'      (* show this info and exit *)",
    "       | '-a' adr  (* set local IP address *)",
    "       | '-p' prt  (* set local UDP port *)",
    "       | '-u' dtu  (* set shortest update period granted in ms *)",
    "       | '-f' fpu  (* set most fragment requests granted per update *)",
    "       | '-d'      (* switch on debug mode *)",
    "       | '-o'      (* switch on local overwriting *)",
    "       | '-r'      (* switch on re-requests after the round trip in uploads *)",
    "       | '-c'      (* switch on a request rate that adapts to the path in uploads *)",
    "       | '-n' net  (* serve only the client networks given *)",
    "       | '-g'      (* switch on gets only *)",
    "       | '-s' cnt  (* set most sessions per client address *)",
    "       | '-x'      (* switch on the extended exchange: files of any size *)",
    "       | '-e' dir  (* switch on secure mode with the keys in dir *)",
    "       | '-k'      (* switch on keeping interrupted puts to resume them *)",
    "       | '-v'      (* switch on verbose mode *) .",
]

# Client command lines that must fail: (parameters, message, quoted text or None).
CLI_ERRORS = [
    ([], "Invalid mode", None),
    (["-y", "get"], "Invalid option", "y"),
    # "/" and anything but an option word is a path: here in the mode's place.
    (["/x", "get"], "Invalid mode", "/x"),
    (["/tmp/x.bin"], "Invalid mode", "/tmp/x.bin"),
    (["get", "/tmp/x.bin", "/hv"], "Unexpected argument", "/hv"),
    (["-dv", "get"], "Invalid option", "dv"),
    (["-cr", "get"], "Invalid option", "cr"),
    (["-V", "get"], "Invalid option", "V"),
    (["-p667", "get"], "Invalid option", "p667"),
    (["--v", "get"], "Invalid option", "-v"),
    (["get", "-y"], "Invalid option", "y"),
    (["get", "a", "-y"], "Invalid option", "y"),
    (["xget"], "Invalid mode", "xget"),
    (["-"], "Invalid mode", "-"),
    (["/"], "Invalid mode", "/"),
    (["-v"], "Invalid mode", None),
    ([""], "Invalid mode", None),
    (["get", "a", "b"], "Unexpected argument", "b"),
    (["put", "a", "-v", "b"], "Unexpected argument", "b"),
    (["-a", "1.2.3", "get"], "Invalid IP address", "1.2.3"),
    (["-a", "1.2.3.256", "get"], "Invalid IP address", "1.2.3.256"),
    (["-a", "-v", "get"], "Invalid IP address", "v"),
    (["get", "-a"], "Invalid IP address", None),
    (["-p", "x", "get"], "Invalid port number", "x"),
    (["-p", "-1", "get"], "Invalid port number", "1"),
    (["-p", "+1", "get"], "Invalid port number", "+1"),
    (["-p", "4294967296", "get"], "Invalid port number", "4294967296"),
    (["get", "-p"], "Invalid port number", None),
    (["-p", "65536", "get"], "Port number out of range", "65536"),
    (["-p", "4294967295", "get"], "Port number out of range", "4294967295"),
    (["-u", "get"], "Invalid update period", "get"),
    (["-u", "-v", "get"], "Invalid update period", "v"),
    (["-u", "1x", "get"], "Invalid update period", "1x"),
    (["get", "x", "-u"], "Invalid update period", None),
    (["-u", "0", "get"], "Update period out of range", "0"),
    (["-u", "10001", "get"], "Update period out of range", "10001"),
    (["-f", "put", "x"], "Invalid fragment count", "put"),
    (["-f", "", "put", "x"], "Invalid fragment count", None),
    (["put", "-f"], "Invalid fragment count", None),
    (["-f", "256", "put", "x"], "Fragment count out of range", "256"),
    (["-f", "0", "put", "x"], "Fragment count out of range", "0"),
    (["get", "-e"], "Invalid key directory", None),
    (["-e", "", "get"], "Invalid key directory", None),
    # An error before the help wins.
    (["-y", "-h"], "Invalid option", "y"),
    (["get", "a", "b", "-h"], "Unexpected argument", "b"),
]

SRV_ERRORS = [
    (["-y"], "Invalid option", "y"),
    (["/x"], "Unexpected argument", "/x"),
    (["-V"], "Invalid option", "V"),
    (["-vd"], "Invalid option", "vd"),
    (["-c1"], "Invalid option", "c1"),
    (["-p667"], "Invalid option", "p667"),
    (["file.txt"], "Unexpected argument", "file.txt"),
    (["-v", "-"], "Unexpected argument", "-"),
    (["-a", "1.2.3"], "Invalid IP address", "1.2.3"),
    (["-a", "-p", "1"], "Invalid IP address", "p"),
    (["-a"], "Invalid IP address", None),
    (["-p", "x"], "Invalid port number", "x"),
    (["-p", "-1"], "Invalid port number", "1"),
    (["-p", "+"], "Invalid port number", "+"),
    (["-p", "4294967296"], "Invalid port number", "4294967296"),
    (["-p"], "Invalid port number", None),
    (["-p", "65536"], "Port number out of range", "65536"),
    (["-p", "+65536"], "Port number out of range", "+65536"),
    (["-p", "4294967295"], "Port number out of range", "4294967295"),
    (["-u", "x"], "Invalid update period", "x"),
    (["-u", "-v"], "Invalid update period", "v"),
    (["-u"], "Invalid update period", None),
    (["-u", "0"], "Update period out of range", "0"),
    (["-u", "1001"], "Update period out of range", "1001"),
    (["-f", "1x"], "Invalid fragment count", "1x"),
    (["-f", ""], "Invalid fragment count", None),
    (["-f"], "Invalid fragment count", None),
    (["-f", "0"], "Fragment count out of range", "0"),
    (["-f", "256"], "Fragment count out of range", "256"),
    (["-n"], "Invalid network", None),
    (["-n", "-g"], "Invalid network", "g"),
    (["-n", "192.168.1/24"], "Invalid network", "192.168.1/24"),
    (["-n", "192.168.1.0/"], "Invalid network", "192.168.1.0/"),
    (["-n", "fileserver"], "Invalid network", "fileserver"),
    (["-n", "192.168.1.0/33"], "Prefix length out of range", "192.168.1.0/33"),
    (["-n", "::/129"], "Prefix length out of range", "::/129"),
    (["-n", "10.0.0.0/8"] * 32 + ["-n", "::1"], "Too many networks", "::1"),
    (["-s"], "Invalid session count", None),
    (["-s", "two"], "Invalid session count", "two"),
    (["-s", "0"], "Session count out of range", "0"),
    (["-s", "17"], "Session count out of range", "17"),
    (["-e"], "Invalid key directory", None),
    (["-gs"], "Invalid option", "gs"),
    (["-y", "-h"], "Invalid option", "y"),
    (["file.txt", "-h"], "Unexpected argument", "file.txt"),
]

CLI_HELPS = [["-h"], ["/h"], ["-?"], ["/?"], ["-h", "-x"], ["-v", "-h", "xget"],
             ["get", "-h", "a", "b"], ["get", "a", "/?", "b"], ["-p", "1", "-h", "-p", "70000"]]
SRV_HELPS = [["-h"], ["/h"], ["-?"], ["/?"], ["-h", "-x"], ["-v", "-?", "file.txt"],
             ["-p", "1", "-h", "-p", "70000"], ["-f", "7", "-u", "5", "/h", "-u", "0"]]

RUN_LIMIT = 10.0     # seconds a program that should stop by itself may take
START_LIMIT = 10.0   # seconds until a running program has its configuration in the log


def config_lines(log):
    """The texts of the Config module's lines of a log, after their prefix."""
    lines = []
    for line in log.split("\r\n"):
        if len(line) >= LOG_PREFIX and line[29:37].rstrip() == "Config":
            lines.append((line[38], line[LOG_PREFIX:]))
    return lines


class CmdLineCase(unittest.TestCase):
    def setUp(self):
        for prog in (CLI, SRV):
            if not os.access(prog, os.X_OK):
                self.fail("WISP_CLI and WISP_SRV must name the built programs")
        self.runs = []

    def tearDown(self):
        for r in self.runs:
            r.stop()

    def start(self, prog, args, cwd=None):
        """The program in a scratch directory of its own (or in cwd)."""
        r = Program(prog, *args, cwd=cwd)
        self.runs.append(r)
        return r

    def run_to_end(self, prog, args):
        r = self.start(prog, args)
        r.finish(RUN_LIMIT)   # fails the test when it does not end by itself
        return r

    def wait_for_config(self, r, logname, last_field):
        """Polls the log until the print-out's last field line is in it."""
        deadline = time.monotonic() + START_LIMIT
        while time.monotonic() < deadline:
            lines = config_lines(r.log_text(logname))
            if any(t.startswith("  " + last_field + " ") for _, t in lines):
                return lines
            if r.p.poll() is not None:
                break
            time.sleep(0.05)
        r.terminate(RUN_LIMIT)
        self.fail(f"no configuration print-out in {logname}; rc {r.rc}, stderr {r.err!r}")

    def check_error(self, prog, name, args, msg, quoted):
        r = self.run_to_end(prog, args)
        first = "Error: " + msg + ("" if quoted is None else ": '" + quoted + "'")
        self.assertEqual(r.err, first + "\nTry '" + name + " -h' for help.\n", args)
        self.assertEqual(r.out, "", args)
        self.assertEqual(r.rc, 255, args)
        return r

    def check_help(self, prog, args, lines):
        r = self.run_to_end(prog, args)
        self.assertEqual(r.out.split("\n"), lines + [""], args)
        self.assertEqual(r.err, "", args)
        self.assertEqual(r.rc, 0, args)


class ClientCmdLine(CmdLineCase):
    def test_help(self):
        for args in CLI_HELPS:
            with self.subTest(args=args):
                self.check_help(CLI, args, CLI_HELP)

    def test_errors(self):
        for args, msg, quoted in CLI_ERRORS:
            with self.subTest(args=args):
                r = self.check_error(CLI, "WISPCli", args, msg, quoted)
                # Stopped before the file to transfer was touched: at most the log is there.
                self.assertLessEqual(set(os.listdir(r.cwd)), {"WISPCli.log"}, args)
                self.assertNotIn("SrvIO", r.log_text("WISPCli.log"), args)

    def test_long_parameter_is_cut(self):
        # The error text is built in 128 characters: the parameter fills the
        # rest of it and the hint line is lost.
        r = self.run_to_end(CLI, ["-" + "y" * 300, "get"])
        full = "Error: Invalid option: '" + "y" * 300 + "'"
        self.assertEqual(r.err, full[:128] + "\n")
        self.assertEqual(r.rc, 255)

    def test_names_too_long(self):
        # A name is never cut to a shorter one: a get's name and a put's last
        # component fill at most the 128 characters of the resource id, a
        # put's path at most what the system takes (4095 characters).
        cases = [("get", "n" * 129), ("put", "d/" + "n" * 129), ("put", "/" + "d/" * 2047 + "n")]
        for mode, name in cases:
            with self.subTest(mode=mode, length=len(name)):
                r = self.run_to_end(CLI, [mode, name])
                self.assertEqual(r.err, ("Error: Name too long: '" + name)[:128] + "\n")
                self.assertEqual(r.rc, 255)
        port = free_port()
        for mode, name in (("get", "n" * 128), ("put", "/" + "d/" * 1983 + "n" * 128)):
            with self.subTest(mode=mode, length=len(name)):
                r = self.start(CLI, ["-p", str(port), mode, name])
                texts = [t for _, t in self.wait_for_config(r, "WISPCli.log", "cgc")]
                r.terminate(RUN_LIMIT)
                self.assertEqual(texts[-3:], [("  rnm '" + name)[:128], "  rtt 0", "  cgc 0"])

    def test_defaults_in_log(self):
        port = free_port()   # nobody listens there
        r = self.start(CLI, ["-p", str(port), "get"])
        lines = self.wait_for_config(r, "WISPCli.log", "cgc")
        r.terminate(RUN_LIMIT)   # fails the test when the client does not stop
        self.assertEqual([m for m, _ in lines], ["M"] * 18)
        self.assertEqual([t for _, t in lines], [
            "WISPCli v19 (2026-06-21): WISP Client.",
            "data",
            "  prg 'WISPCli'",
            "  ver 19",
            "  ext '2026-06-21'",
            "  dir '" + r.cwd[:127] + "'",
            "  dbg 0",
            "  vrb 0",
            "  ovr 0",
            "  wrt 0",
            "  pro 1",
            "  adr 127.0.0.1",
            "  prt " + str(port),
            "  dtu 1",
            "  fpu 10",
            "  rnm 'WISPSrv.exe'",
            "  rtt 0",
            "  cgc 0",
        ])
        self.assertNotIn("Config", r.out)

    def test_options_everywhere_verbose(self):
        # Options before the mode, between mode and name and after the name;
        # values at their limits; a lone "-" as the name; verbose echo.
        port = free_port()
        r = self.start(CLI, ["-u", "10000", "/d", "-a", "127.0.0.1", "Put", "-r", "-f", "255", "-",
                             "-o", "-p", str(port), "-v", "-x", "-k"])
        lines = self.wait_for_config(r, "WISPCli.log", "kpt")
        r.terminate(RUN_LIMIT)   # fails the test when the client does not stop
        texts = [t for _, t in lines]
        self.assertEqual(texts[6:], ["  dbg 1", "  vrb 1", "  ovr 1", "  wrt 1", "  pro 1",
                                     "  adr 127.0.0.1", "  prt " + str(port), "  dtu 10000",
                                     "  fpu 255", "  rnm '-'", "  rtt 1", "  cgc 0", "  xtd 1", "  kpt 1"])
        # On the console: mark, module name, text.
        echoed = [l for l in r.out.split("\n") if l.startswith("M Config ")]
        self.assertEqual(echoed, ["M Config " + t for t in texts])

    def test_adaptive_rate_asks_for_the_most_unless_told(self):
        # -c without -f asks for 255 fragments per update, wherever it stands;
        # a -f before or after it is kept.
        port = free_port()
        for args, fpu in ((["-c", "get"], "255"), (["get", "x", "-c"], "255"), (["-f", "7", "-c", "put", "x"], "7"),
                          (["-c", "get", "-f", "1"], "1")):
            with self.subTest(args=args):
                r = self.start(CLI, ["-p", str(port)] + args)
                texts = [t for _, t in self.wait_for_config(r, "WISPCli.log", "cgc")]
                r.terminate(RUN_LIMIT)
                self.assertIn("  fpu " + fpu, texts)
                self.assertEqual(texts[-1], "  cgc 1")

    def test_mode_words_and_port_zero(self):
        port = free_port()
        for mode, wrt in (("GET", "0"), ("go", "0"), ("g", "0"), ("PUT", "1"), ("p", "1")):
            with self.subTest(mode=mode):
                r = self.start(CLI, ["-p", str(port), mode, "-p", "0", "x"])
                texts = [t for _, t in self.wait_for_config(r, "WISPCli.log", "cgc")]
                r.terminate(RUN_LIMIT)
                self.assertIn("  wrt " + wrt, texts)
                self.assertIn("  prt 0", texts)
                self.assertIn("  rnm 'x'", texts)


class ServerCmdLine(CmdLineCase):
    def test_help(self):
        for args in SRV_HELPS:
            with self.subTest(args=args):
                self.check_help(SRV, args, SRV_HELP)

    def test_errors(self):
        for args, msg, quoted in SRV_ERRORS:
            with self.subTest(args=args):
                r = self.check_error(SRV, "WISPSrv", args, msg, quoted)
                self.assertLessEqual(set(os.listdir(r.cwd)), {"WISPSrv.log"}, args)
                log = r.log_text("WISPSrv.log")
                self.assertNotIn("CliIO", log, args)
                self.assertNotIn("Server", log, args)

    def test_defaults_in_log(self):
        port = free_port()
        r = self.start(SRV, ["-p", str(port)])
        lines = self.wait_for_config(r, "WISPSrv.log", "spa")
        r.terminate(RUN_LIMIT)   # fails the test when the server does not stop
        self.assertEqual([m for m, _ in lines], ["M"] * 18)
        self.assertEqual([t for _, t in lines], [
            "WISPSrv v19 (2026-06-21): WISP Server.",
            "data",
            "  prg 'WISPSrv'",
            "  ver 19",
            "  ext '2026-06-21'",
            "  dir '" + r.cwd[:127] + "'",
            "  dbg 0",
            "  vrb 0",
            "  ovr 0",
            "  adr 0.0.0.0",
            "  prt " + str(port),
            "  dtu 1",
            "  fpu 10",
            "  rtt 0",
            "  cgc 0",
            "  net any",
            "  get 0",
            "  spa 16",
        ])
        self.assertNotIn("Config", r.out)

    def test_switches_verbose(self):
        # Networks in the order given, host bits cleared, a bare address as
        # its host, a mapped prefix as the IPv4 network it names.
        port = free_port()
        r = self.start(SRV, ["-a", "10.0.0.1", "-a", "127.0.0.1", "/v", "-d", "-o", "-p", "1",
                             "-p", "+" + str(port), "-u", "1000", "/f", "255", "/r", "-c", "-n", "192.168.1.77/24",
                             "/g", "-s", "4", "-n", "2001:DB8::/32", "-n", "::1", "-n", "::ffff:10.0.0.0/104",
                             "/s", "2", "-x", "-k"])
        lines = self.wait_for_config(r, "WISPSrv.log", "kpt")
        r.terminate(RUN_LIMIT)   # fails the test when the server does not stop
        texts = [t for _, t in lines]
        self.assertEqual(texts[6:], ["  dbg 1", "  vrb 1", "  ovr 1", "  adr 127.0.0.1",
                                     "  prt " + str(port), "  dtu 1000", "  fpu 255", "  rtt 1", "  cgc 1",
                                     "  net 192.168.1.0/24", "  net 2001:db8::/32", "  net ::1/128",
                                     "  net 10.0.0.0/8", "  get 1", "  spa 2", "  xtd 1", "  kpt 1"])
        echoed = [l for l in r.out.split("\n") if l.startswith("M Config ")]
        self.assertEqual(echoed, ["M Config " + t for t in texts])

    def test_long_directory_is_cut(self):
        # The directory field holds 127 characters and the print-out line 128,
        # so a deep working directory shows cut, without its closing quote.
        base = os.path.realpath(tempfile.mkdtemp(prefix="wisp-cmdline-"))
        try:
            deep = os.path.join(base, *(["d" * 40] * 4))
            os.makedirs(deep)
            self.assertGreater(len(deep), 127)
            r = self.start(SRV, ["-p", str(free_port())], cwd=deep)
            texts = [t for _, t in self.wait_for_config(r, "WISPSrv.log", "spa")]
            r.terminate(RUN_LIMIT)
            self.assertEqual(texts[5], ("  dir '" + deep[:127] + "'")[:128])
        finally:
            shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()


class KeyFiles(CmdLineCase):
    """The secure mode's key directory: a new key pair, and every fault with
    the keys stops the program before its socket opens, with the file (and
    line) named and exit code 255; no output ever holds the private key."""

    def key_error(self, prog, args, first):
        r = self.run_to_end(prog, args)
        self.assertEqual((r.rc, r.err), (255, first + "\n"), args)
        log = r.log_text(os.path.basename(prog) + ".log")
        self.assertNotIn("CliIO", log)
        self.assertNotIn("SrvIO", log)
        return r

    def test_faults_stop_before_the_socket(self):
        base = tempfile.mkdtemp(prefix="wisp-keys-")
        self.addCleanup(shutil.rmtree, base, True)
        # A new key pair: the private key only for its owner, the public
        # line on the console (then the missing list stops it).
        new = os.path.join(base, "new")
        r = self.key_error(SRV, ["-e", new, "-p", "0"], "Error: Cannot read key file: '%s/clients'" % new)
        with open(os.path.join(new, "key.pub")) as f:
            pub = f.read()
        self.assertEqual(r.out, pub)
        self.assertRegex(pub, r"^[A-Za-z0-9+/]{43}= WISPSrv@\S+\n$")
        self.assertEqual(os.stat(os.path.join(new, "key")).st_mode & 0o777, 0o600)
        sd, cd, sk, ck = secure_pair(base, name="bob")
        port = str(free_port())
        with open(os.path.join(sd, "key")) as f:
            secret = f.read().split()[0]
        outs = []
        cases = [
            # A list line that is not "<key> <name>".
            (SRV, ["-e", sd, "-p", port], "clients", "%s bob\n%s\n" % (ck, ck[:-2]),
             "Error: Malformed key line: '%s/clients' line 2" % sd),
            (CLI, ["-e", cd, "-p", port, "get"], "servers", "# servers\nnot-a-key 127.0.0.1\n",
             "Error: Malformed key line: '%s/servers' line 2" % cd),
            # No line for the address the client is given (the default's text included).
            (CLI, ["-e", cd, "-p", port, "get"], "servers", "%s 127.0.0.2\n" % sk,
             "Error: No key line for server '127.0.0.1': '%s/servers'" % cd),
            (CLI, ["-e", cd, "-a", "::1", "-p", port, "get"], "servers", "%s 127.0.0.1\n" % sk,
             "Error: No key line for server '::1': '%s/servers'" % cd),
        ]
        for prog, args, name, text, first in cases:
            with self.subTest(args=args, text=text):
                path = os.path.join(sd if prog == SRV else cd, name)
                with open(path) as f:
                    keep = f.read()
                with open(path, "w") as f:
                    f.write(text)
                outs.append(self.key_error(prog, args, first))
                with open(path, "w") as f:
                    f.write(keep)
        # A private key others can read, one that is no key, one missing.
        for prog, d, args in ((SRV, sd, ["-p", port]), (CLI, cd, ["-p", port, "get"])):
            key = os.path.join(d, "key")
            with self.subTest(prog=prog, fault="mode"):
                os.chmod(key, 0o640)
                outs.append(self.key_error(prog, ["-e", d] + args, "Error: Private key open to others: '%s'" % key))
                os.chmod(key, 0o600)
            with open(key) as f:
                keep = f.read()
            with self.subTest(prog=prog, fault="text"):
                with open(key, "w") as f:
                    f.write("not a key\n")
                outs.append(self.key_error(prog, ["-e", d] + args, "Error: Invalid private key: '%s'" % key))
            with self.subTest(prog=prog, fault="another key"):
                # The first character's top bit: byte 0's bit 7, which the
                # X25519 clamping keeps (it clears bits 0..2).
                b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
                with open(key, "w") as f:
                    f.write(b64[b64.index(keep[0]) ^ 32] + keep[1:])
                outs.append(self.key_error(prog, ["-e", d] + args,
                                           "Error: Public key does not match private key: '%s.pub'" % key))
            with self.subTest(prog=prog, fault="missing"):
                os.remove(key)
                outs.append(self.key_error(prog, ["-e", d] + args, "Error: Cannot read key file: '%s'" % key))
            with open(key, "w") as f:
                f.write(keep)
            os.chmod(key, 0o600)
        for r in outs:
            self.assertNotIn(secret, r.out + r.err + r.log_text(os.path.basename(r.args[0]) + ".log"))
