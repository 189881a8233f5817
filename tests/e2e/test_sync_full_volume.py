"""A download onto a full volume freezes the view instead of failing again
and again. Its own module, for a small volume: a real full disk.
sandbox-options: --volume-size 32m
"""

import os
import re

import harness
from harness import wait_until
from test_sync import ALICE, VIEW, SyncTestCase, local, read_bytes, write_bytes

FREEZE_FILE = "/tmp/tdwl_diskfull_freeze_2"
FILLER = "/volume1/filler"
BIG = 12 * 1024 * 1024


def frozen_views():
    return {int(n) for n in re.findall(r"\d+", harness.read(FREEZE_FILE))}


def free_bytes(path="/volume1"):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


class FullVolumeTest(SyncTestCase):
    # The server keeps its history off the volume, as it would on another disk.
    server_home = "/tmp/@refsyncd"

    def test_download_onto_a_full_volume_freezes_the_view(self):
        write_bytes(local("/small.txt"), b"fits\n")
        self.wait_for(lambda: self.server_has("/small.txt", b"fits\n"), "a first upload")

        # Leave room for the database's small writes, not for the big file.
        with open(FILLER, "wb") as f:
            f.truncate(0)
            f.write(b"\0" * max(0, free_bytes() - 4 * 1024 * 1024))
        self.assertLess(free_bytes(), BIG)
        write_bytes("/tmp/big.bin", os.urandom(BIG))
        self.server.admin("put", VIEW, "/tmp/big.bin", "/big.bin")

        self.wait_for(lambda: VIEW in frozen_views(), "view %d in the freeze file" % VIEW)
        downloads = re.compile(r"session \d+: download view %d '/big.bin'" % VIEW)
        attempts = len(downloads.findall(self.server.log()))
        self.assertGreaterEqual(attempts, 1)
        # A frozen view's events wait; nothing asks for the file again. The
        # window is only for watching, not a bound on anything.
        wait_until(lambda: False, 10)
        self.assertLessEqual(len(downloads.findall(self.server.log())), attempts + 1)
        self.assertTrue(harness.pid_alive(self.daemon.pid), "the daemon stopped")
        self.assertNotEqual(BIG, len(read_bytes(local("/big.bin")) or b""))
        self.assertIn("small.txt", os.listdir(ALICE))
        # No half copies left eating the little space there is.
        self.assertGreater(free_bytes(), 2 * 1024 * 1024)


if __name__ == "__main__":
    import unittest
    unittest.main()
