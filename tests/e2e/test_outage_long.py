"""An outage longer than the 30 s session time-out, in the middle of a get and
of a put at the same time: the server frees both sessions by time-out and
keeps no partial upload, the clients give up on the silent server and keep
no partial download, and the server goes on serving."""
import os
import shutil
import tempfile
import time
import unittest

from wisp_test_util import SUCCESS, Client, Relay, Server, leftovers, read, wait_for, write

SIZE = 4 * 1048576


class LongOutageTest(unittest.TestCase):
    def test_sessions_time_out_and_leave_no_partial_upload(self):
        root = tempfile.mkdtemp(prefix="wisp-lout-")
        sdir, gdir, pdir = (os.path.join(root, n) for n in ("srv", "get", "put"))
        for d in (sdir, gdir, pdir):
            os.mkdir(d)
        srv = Server(sdir)
        relays, clients = [], []
        try:
            write(os.path.join(sdir, "g.bin"), os.urandom(SIZE))
            write(os.path.join(pdir, "p.bin"), os.urandom(SIZE))
            # Slow transfers (one fragment per 5 ms), so the outage surely falls inside them.
            relays = [Relay(srv.port, seed=31, outages=["@40:36"]), Relay(srv.port, seed=32, outages=["@40:36"])]
            g = Client(gdir, "-p", relays[0].port, "-u", "5", "-f", "1", "get", "g.bin")
            p = Client(pdir, "-p", relays[1].port, "-u", "5", "-f", "1", "put", "p.bin")
            clients = [g, p]
            t0 = time.time()

            def freed():
                lines = [l for l in srv.log() if l.startswith("Free idx ")]
                return [l for l in lines if " ok 0 " in l]

            self.assertTrue(wait_for(lambda: len(freed()) == 2, 45, 0.2), srv.log()[-10:])
            dt = time.time() - t0
            # Freed by the time-out: about 30 s after the last datagram arrived.
            self.assertGreater(dt, 29)
            lines = freed()
            self.assertTrue(any(" wrt 1 rid 'p.bin'" in l for l in lines), lines)
            self.assertTrue(any(" wrt 0 rid 'g.bin'" in l for l in lines), lines)
            # No partial upload, not even a temporary file.
            self.assertEqual(leftovers(sdir, keep=("WISPSrv.log", "g.bin")), [])
            # The clients have heard nothing from the server for as long.
            for c in clients:
                rc, out, err = c.finish(20)
                self.assertEqual(rc, 255, out[-500:] + err)
                self.assertIn("F Client DoData: No answer from the server.", out)
                self.assertNotIn("successful", out)
            # The client's partial download is gone too.
            self.assertEqual(leftovers(gdir), [])
            # The server still serves, straight to it.
            self.assertTrue(srv.alive())
            c = Client(gdir, "-p", srv.port, "get", "g.bin")
            clients.append(c)
            rc, out, err = c.finish(30)
            self.assertEqual(rc, 0, out + err)
            self.assertIn(SUCCESS % SIZE, out)
            self.assertEqual(read(os.path.join(gdir, "g.bin")), read(os.path.join(sdir, "g.bin")))
        finally:
            for c in clients:
                c.stop()
            for r in relays:
                r.stop()
            srv.stop()
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
