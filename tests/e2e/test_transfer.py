"""Uploads and downloads in the whole daemon, against the real tide-refsyncd:
files written on the appliance reach the server, files stored on the server
reach the disk, and a full disk stops what it has to stop."""

import os
import shutil
import subprocess

import harness
import refserver
from harness import LOG_FILE, USER_DB, read, wait_until

ALICE = "/volume1/homes/alice"
VOLUME_TMP = "/volume1/@tmp"
WORK_DIR = VOLUME_TMP + "/tide-clientd.tmp.dir"
FREEZE_FILE = "/tmp/tdwl_diskfull_freeze_2"
# Off the volume: the full-disk tests shrink the volume's folders, and the
# server's store must not be what fills them.
REF_HOME = "/tmp/refsyncd"
VIEW = 10

userdb = harness.load_user_db_tool()
local_db = harness.LocalDb()


def mount_small_tmpfs(path, size):
    os.makedirs(path, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tide-e2e-full", path], check=True)


class TransferTest(harness.DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.mounts = []
        local_db.remove()
        for path in (USER_DB, FREEZE_FILE):
            if os.path.exists(path):
                os.unlink(path)
        shutil.rmtree(ALICE, ignore_errors=True)
        os.makedirs(ALICE)
        shutil.rmtree(REF_HOME, ignore_errors=True)
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", VIEW)
        conn.close()
        harness.write(harness.LEVEL_FILE, "client_debug=6\nsyncer_debug=6\nworker_debug=6\n")
        self.server = refserver.RefServer(REF_HOME).start()
        self.server.add_view(VIEW, ALICE)

    def tearDown(self):
        for daemon in self.daemons:
            daemon.kill()
        for path in reversed(self.mounts):
            subprocess.run(["umount", "-l", path], check=False)
        self.server.stop()
        if not self._outcome.success:
            print("\n---- refsyncd ----\n%s" % self.server.log()[-10000:])
        super().tearDown()

    def put(self, name, text):
        self.server.put(VIEW, name, text)

    def server_paths(self):
        return set(self.server.tree(VIEW))

    def test_files_travel_both_ways(self):
        self.start("")
        with open(ALICE + "/report.txt", "w") as f:
            f.write("written on the appliance")
        os.makedirs(ALICE + "/photos")
        self.assertTrue(wait_until(lambda: {"/report.txt", "/photos"} <= self.server_paths()),
                        "server has %s" % self.server_paths())
        self.assertEqual(b"written on the appliance", self.server.get(VIEW, "/report.txt"))
        self.assertTrue(wait_until(lambda: local_db.node(VIEW, "/report.txt") is not None))

        self.put("/docs/from-server.txt", "stored by another client")
        self.assertTrue(wait_until(lambda: read(ALICE + "/docs/from-server.txt") == "stored by another client"))
        self.assertTrue(wait_until(lambda: local_db.node(VIEW, "/docs/from-server.txt") is not None))
        # The download is not sent back up as a change of its own.
        self.assertNotIn("ProcessUploadResponse", read(LOG_FILE))
        self.assertNotIn("upload conflict", read(LOG_FILE))

    def test_full_disk_on_upload_stops_the_daemon(self):
        mount_small_tmpfs(VOLUME_TMP, "1m")
        self.mounts.append(VOLUME_TMP)
        daemon = self.start("")
        with open(ALICE + "/big.bin", "wb") as f:
            f.write(b"b" * (3 * 1024 * 1024))
        self.assertTrue(wait_until(lambda: daemon.wait_exit(timeout=0.1) is not None),
                        "the daemon kept running")
        self.assertIn("disk full and terminate native client", read(LOG_FILE))
        self.assertEqual(" 0\n", read(FREEZE_FILE))
        self.assertNotIn("/big.bin", self.server_paths())

    def test_full_disk_on_download_freezes_the_view(self):
        mount_small_tmpfs(WORK_DIR, "1m")
        self.mounts.append(WORK_DIR)
        daemon = self.start("")
        self.put("/big.bin", "d" * (3 * 1024 * 1024))
        self.assertTrue(wait_until(lambda: read(FREEZE_FILE) == " %d\n" % VIEW), "freeze file: %r" % read(FREEZE_FILE))
        self.assertTrue(wait_until(lambda: "is in freeze mode" in read(LOG_FILE)))
        self.assertFalse(os.path.exists(ALICE + "/big.bin"))
        self.assertIsNone(daemon.wait_exit(timeout=0.5), "only the view stops, not the daemon")
        self.assertIn(VIEW, local_db.progress() or {}, "no progress row for the frozen view")


if __name__ == "__main__":
    import unittest
    unittest.main()
