"""The manual pages: clean under mandoc's and groff's strictest checks, and
covering every option that the programs' own help lists."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
MAN = os.path.normpath(os.path.join(HERE, "..", "..", "man"))
PAGES = {"WISPCli": os.path.join(MAN, "WISPCli.1"), "WISPSrv": os.path.join(MAN, "WISPSrv.1")}
PROGS = {"WISPCli": os.environ.get("WISP_CLI", "../../build-test/WISPCli"),
         "WISPSrv": os.environ.get("WISP_SRV", "../../build-test/WISPSrv")}


def sections(path):
    """Section name -> roff source of that section."""
    out, name = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r'\.SH\s+"?([^"\n]+)"?', line)
            if m:
                name = m.group(1).strip()
                out[name] = ""
            elif name:
                out[name] += line
    return out


class LintTest(unittest.TestCase):
    def test_mandoc_lint_is_silent(self):
        if shutil.which("mandoc") is None:
            self.skipTest("mandoc is not installed (Debian package mandoc; scripts/deps.sh installs it)")
        for prog, page in PAGES.items():
            with self.subTest(page=prog):
                r = subprocess.run(["mandoc", "-T", "lint", "-W", "all", page],
                                   capture_output=True, text=True)
                self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))

    def test_groff_warns_nothing(self):
        if shutil.which("groff") is None:
            self.skipTest("groff is not installed (Debian package groff-base)")
        for prog, page in PAGES.items():
            with self.subTest(page=prog):
                r = subprocess.run(["groff", "-ww", "-man", "-z", page],
                                   capture_output=True, text=True)
                self.assertEqual((r.returncode, r.stderr), (0, ""))

    def test_lint_catches_a_broken_page(self):
        # The two checks above must be able to fail: a page with an unknown
        # macro and a section out of order makes both speak.
        if shutil.which("mandoc") is None or shutil.which("groff") is None:
            self.skipTest("mandoc or groff is not installed")
        with tempfile.NamedTemporaryFile("w", suffix=".1", delete=False) as f:
            f.write(".TH X 1 2026-01-01\n.SH DESCRIPTION\ntext\n.XY bogus\n.SH NAME\nx \\- y\n")
        try:
            m = subprocess.run(["mandoc", "-T", "lint", "-W", "all", f.name], capture_output=True, text=True)
            g = subprocess.run(["groff", "-ww", "-man", "-z", f.name], capture_output=True, text=True)
            self.assertNotEqual(m.stdout + m.stderr, "")
            self.assertNotEqual(g.stderr, "")
        finally:
            os.unlink(f.name)


class ContentTest(unittest.TestCase):
    def help_options(self, prog):
        """The option letters that the program's help lists, from a real run."""
        with tempfile.TemporaryDirectory() as d:   # the run writes its log there
            r = subprocess.run([os.path.abspath(PROGS[prog]), "-h"], cwd=d,
                               capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        opts = re.findall(r"'-(\w)'", r.stdout)
        self.assertGreaterEqual(len(opts), 6, r.stdout)
        return opts

    def test_every_option_of_the_help_is_documented(self):
        for prog, page in PAGES.items():
            opts = sections(page)["OPTIONS"]
            for o in self.help_options(prog) + ["?"]:
                with self.subTest(page=prog, option=o):
                    # A tagged paragraph of OPTIONS names the option.
                    self.assertRegex(opts, r"\.TP\n\.B[IR]? [^\n]*\\-%s(?!\w)" % re.escape(o))

    def test_pages_have_the_sections_a_reader_looks_for(self):
        for prog, page in PAGES.items():
            s = sections(page)
            with self.subTest(page=prog):
                for name in ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "KEYS",
                             "EXIT STATUS", "FILES", "EXAMPLES", "SEE ALSO"]:
                    self.assertIn(name, s)
                # Keys E and Q, the exit codes, the logs and their rotation.
                self.assertRegex(s["KEYS"], r"\.TP\n\.B E\n")
                self.assertRegex(s["KEYS"], r"\.TP\n\.B Q\n")
                for code in ["0", "1", "255"]:
                    self.assertRegex(s["EXIT STATUS"], r"\.TP\n\.B %s\n" % code)
                self.assertIn(prog + ".log", s["FILES"])
                self.assertIn(prog + "016.log", s["FILES"])
                self.assertIn("128 MiB", s["FILES"])
                self.assertIn("667", s["DESCRIPTION"] + s["OPTIONS"])


if __name__ == "__main__":
    unittest.main()
