"""The Debian package that cpack builds from the build tree: what it holds,
what it depends on, and that the programs in it run."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("WISP_BUILD")


class DebTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = None
        missing = [t for t in ("cpack", "dpkg-deb", "dpkg-shlibdeps") if shutil.which(t) is None]
        if missing or not BUILD:
            return
        cls.dir = tempfile.mkdtemp(prefix="wisp-deb-")
        # A package directory of its own, so the test leaves the build tree
        # as it was and may run beside other tests.
        r = subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                            "-B", cls.dir], capture_output=True, text=True, timeout=240)
        cls.cpack_out = r.stdout + r.stderr
        debs = [f for f in os.listdir(cls.dir) if f.endswith(".deb")]
        if r.returncode == 0 and len(debs) == 1:
            cls.deb = os.path.join(cls.dir, debs[0])

    @classmethod
    def tearDownClass(cls):
        if hasattr(cls, "dir"):
            shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        if not BUILD:
            self.skipTest("WISP_BUILD is not set (run through ctest)")
        missing = [t for t in ("cpack", "dpkg-deb", "dpkg-shlibdeps") if shutil.which(t) is None]
        if missing:
            self.skipTest("not installed: " + ", ".join(missing) + " (Debian packages cmake, dpkg, dpkg-dev)")
        self.assertIsNotNone(self.deb, "cpack made no package:\n" + self.cpack_out)

    def dpkg_deb(self, *args):
        r = subprocess.run(["dpkg-deb", *args, self.deb], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def test_control(self):
        self.assertRegex(os.path.basename(self.deb), r"^wisp_[0-9][^_]*_amd64\.deb$")
        fields = {}
        for line in self.dpkg_deb("-f").splitlines():
            m = re.match(r"([\w-]+): (.*)", line)
            if m:
                fields[m.group(1)] = m.group(2)
        self.assertEqual(fields["Package"], "wisp")
        self.assertRegex(fields["Maintainer"], r".+ <[^@ ]+@[^@ ]+>$")
        self.assertTrue(fields["Description"].strip())
        deps = [d.strip().split(" ")[0] for d in fields["Depends"].split(",")]
        # From dpkg-shlibdeps: the C and C++ run-time libraries.
        self.assertIn("libc6", deps)
        self.assertIn("libstdc++6", deps)
        # The key exchange and the AEADs of the secure mode.
        self.assertIn("libsodium23", deps)
        # The maintainer scripts that create the user and /srv/wisp.
        info = self.dpkg_deb("-I")
        for script in ("postinst", "prerm", "postrm"):
            self.assertRegex(info, r"\*\s+%s\s" % script)   # executable

    def test_files_and_unit(self):
        listing = self.dpkg_deb("-c")
        files = {l.split()[-1]: l.split()[0] for l in listing.splitlines()}
        for path, mode in [("./usr/bin/WISPCli", "-rwxr-xr-x"), ("./usr/bin/WISPSrv", "-rwxr-xr-x"),
                           ("./usr/share/man/man1/WISPCli.1", "-rw-r--r--"),
                           ("./usr/share/man/man1/WISPSrv.1", "-rw-r--r--"),
                           ("./usr/lib/systemd/system/wispsrv.service", "-rw-r--r--")]:
            with self.subTest(path=path):
                self.assertEqual(files.get(path), mode)
        # Nothing from the build machine's paths ends up in the package.
        self.assertFalse([p for p in files if "/local/" in p or "_CPack" in p], listing)

    def test_unpacked_programs_run(self):
        root = tempfile.mkdtemp(prefix="wisp-root-", dir=self.dir)
        subprocess.run(["dpkg-deb", "-x", self.deb, root], check=True, timeout=60)
        with open(os.path.join(root, "usr/lib/systemd/system/wispsrv.service"), encoding="utf-8") as f:
            unit = f.read()
        self.assertRegex(unit, r"(?m)^ExecStart=/usr/bin/WISPSrv\b")
        for prog, title in [("WISPCli", "WISP Client."), ("WISPSrv", "WISP Server.")]:
            with self.subTest(prog=prog):
                work = tempfile.mkdtemp(dir=self.dir)
                r = subprocess.run([os.path.join(root, "usr/bin", prog), "-h"], cwd=work,
                                   capture_output=True, text=True, timeout=30)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn(title, r.stdout.splitlines()[0])


if __name__ == "__main__":
    unittest.main()
