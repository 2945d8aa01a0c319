"""The server's systemd unit: systemd-analyze accepts it without a word, and
its sandbox stays tight. No systemd needs to run: both checks work offline."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
UNIT = os.path.join(ROOT, "contrib", "wispsrv.service")
SRV = os.path.abspath(os.environ.get("WISP_SRV", os.path.join(ROOT, "build-test", "WISPSrv")))


class UnitTest(unittest.TestCase):
    def setUp(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed (Debian package systemd)")
        self.dir = tempfile.mkdtemp(prefix="wisp-unit-")
        # verify also checks that the program exists and that the pages named
        # in Documentation= are found: point it at the build and the sources.
        man1 = os.path.join(self.dir, "man", "man1")
        os.makedirs(man1)
        for p in ("WISPSrv.1", "WISPCli.1"):
            shutil.copy(os.path.join(ROOT, "man", p), man1)
        self.env = dict(os.environ, MANPATH=os.path.join(self.dir, "man"))

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def unit_copy(self, extra=""):
        with open(UNIT, encoding="utf-8") as f:
            text = f.read()
        self.assertIn("ExecStart=/usr/bin/WISPSrv ", text)
        text = text.replace("/usr/bin/WISPSrv", SRV) + extra
        path = os.path.join(self.dir, "wispsrv.service")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def verify(self, path):
        r = subprocess.run(["systemd-analyze", "verify", path], capture_output=True,
                           text=True, env=self.env, timeout=60)
        return r.returncode, (r.stdout + r.stderr).strip()

    def test_verify_accepts_the_unit_without_a_warning(self):
        self.assertEqual(self.verify(self.unit_copy()), (0, ""))

    def test_verify_speaks_up_on_a_bad_unit(self):
        # verify returns 0 even for unknown keys; the silence checked above
        # is what tells a clean unit, and here it must break.
        code, out = self.verify(self.unit_copy("BogusKey=1\n"))
        self.assertIn("BogusKey", out)
        path = self.unit_copy()
        with open(path, encoding="utf-8") as f:
            text = f.read()
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(SRV, SRV + "-missing"))
        code, out = self.verify(path)
        self.assertNotEqual(code, 0)
        self.assertIn("WISPSrv-missing", out)

    def test_service_settings(self):
        # The sandbox as systemd's own parser reads it (the offline security
        # report): an unprivileged user, no new privileges, a read-only
        # system, a private /tmp, no administrator rights, IP sockets only.
        r = subprocess.run(["systemd-analyze", "security", "--offline=true", "--no-pager",
                            self.unit_copy()], capture_output=True, text=True, env=self.env,
                           timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        report = r.stdout
        for ok in ["NoNewPrivileges=", "PrivateTmp=", "ProtectSystem=", "User=/DynamicUser=",
                   "CapabilityBoundingSet=~CAP_SYS_ADMIN", "RestrictAddressFamilies=~AF_PACKET"]:
            with self.subTest(setting=ok):
                self.assertRegex(report, r"\u2713 %s" % re.escape(ok))
        m = re.search(r"Overall exposure level for \S+: ([0-9.]+)", report)
        self.assertIsNotNone(m, report)
        self.assertLessEqual(float(m.group(1)), 4.0, report)


if __name__ == "__main__":
    unittest.main()
