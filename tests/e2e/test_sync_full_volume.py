"""A download onto a full volume freezes the view instead of failing again
and again. Its own module, for a small volume: a real full disk.
sandbox-options: --volume-size 32m
"""

import fcntl
import os
import re
import signal

import harness
from harness import wait_until
from test_sync import ALICE, SYNC_SECONDS, VIEW, SyncTestCase, local, read_bytes, write_bytes

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
        # A frozen view's events wait; nothing asks for the file again, and
        # the wait is not logged again and again. The window is only for
        # watching, not a bound on anything.
        wait_until(lambda: "is in freeze mode" in harness.read(harness.LOG_FILE))
        waits = harness.read(harness.LOG_FILE).count("is in freeze mode")
        wait_until(lambda: False, 10)
        self.assertLessEqual(len(downloads.findall(self.server.log())), attempts + 1)
        self.assertEqual(waits, harness.read(harness.LOG_FILE).count("is in freeze mode"))
        self.assertTrue(harness.pid_alive(self.daemon.pid), "the daemon stopped")
        self.assertNotEqual(BIG, len(read_bytes(local("/big.bin")) or b""))
        self.assertIn("small.txt", os.listdir(ALICE))
        # No half copies left eating the little space there is.
        self.assertGreater(free_bytes(), 2 * 1024 * 1024)


    def test_a_full_disk_met_before_the_freeze_is_lifted_does_not_freeze_again(self):
        """A worker whose copy met the full disk, but who records the freeze
        only after the package has freed space and lifted the freeze: the
        view must not stay frozen (the lift does not come twice). The test
        holds the freeze file's lock to put the lift in that gap."""
        write_bytes(local("/small.txt"), b"fits\n")
        self.wait_for(lambda: self.server_has("/small.txt", b"fits\n"), "a first upload")
        for attempt in range(5):
            name = "/big%d.bin" % attempt
            with open(FILLER, "wb") as f:
                f.write(b"\0" * max(0, free_bytes() - 1024 * 1024))
            data = os.urandom(BIG)
            write_bytes("/tmp/big.bin", data)
            log_start = len(harness.read(harness.LOG_FILE))
            full_copies = lambda: harness.read(harness.LOG_FILE)[log_start:].count("No space left on device")
            started = "downloading '%s' start" % local(name)
            self.server.admin("put", VIEW, "/tmp/big.bin", name)
            self.assertTrue(wait_until(lambda: started in harness.read(harness.LOG_FILE)[log_start:],
                                       SYNC_SECONDS, interval=0.002), "the download never began")
            # Hold the server while the freeze file is created and locked, so
            # the worker's copy cannot fail before the lock is in place.
            os.kill(self.server.pid, signal.SIGSTOP)
            try:
                fd = os.open(FREEZE_FILE, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
            except FileExistsError:
                fd = None  # the copy had already failed and frozen the view
            if fd is not None:
                fcntl.flock(fd, fcntl.LOCK_EX)
            os.kill(self.server.pid, signal.SIGCONT)
            if fd is None:
                self.lift()
                self.wait_for(lambda: read_bytes(local(name)) == data, "%s after the lift" % name)
                continue
            # The copy fails on the full disk; the worker waits for the lock.
            self.wait_for(lambda: full_copies() > 0, "a copy meeting the full disk")
            self.lift()
            fcntl.flock(fd, fcntl.LOCK_UN)
            os.close(fd)
            self.wait_for(lambda: read_bytes(local(name)) == data, "%s after the lift" % name)
            self.assertNotIn(VIEW, frozen_views())
            return
        self.skipTest("every copy failed before the freeze file could be locked")

    def lift(self):
        """What the package does once the disk has room again."""
        os.unlink(FILLER)
        harness.write(FREEZE_FILE, "")


if __name__ == "__main__":
    import unittest
    unittest.main()
