"""Uploads and downloads in the whole daemon, against the real tide-refsyncd:
files written on the appliance reach the server, files stored on the server
reach the disk, and a full disk stops what it has to stop."""

import os
import shutil
import signal
import sqlite3
import subprocess

import harness
from harness import LOG_FILE, read, wait_until

LOCAL_DB = "/volume1/@tidewell/@clientd/db.sqlite"
USER_DB = "/volume1/@tidewell/@sync/user-db.sqlite"
ALICE = "/volume1/homes/alice"
VOLUME_TMP = "/volume1/@tmp"
WORK_DIR = VOLUME_TMP + "/tide-clientd.tmp.dir"
FREEZE_FILE = "/tmp/tdwl_diskfull_freeze_2"
REF_DIR = "/tmp/refsyncd"
REFSYNCD = os.path.join(harness.BUILD, "tide-refsyncd")
VIEW = 10

userdb = harness.load_user_db_tool()


def ref(*args):
    """Runs tide-refsyncd (server or admin command) on the test's store."""
    return subprocess.run([REFSYNCD, "--db", REF_DIR + "/db.sqlite", "--store", REF_DIR + "/store"] + list(args),
                          check=True, capture_output=True, text=True, timeout=120).stdout


def server_paths():
    """Paths of the view's live nodes on the server."""
    return {line.split(None, 5)[5] for line in ref("tree", str(VIEW)).splitlines() if line.strip()}


def server_content(path):
    dest = os.path.join(REF_DIR, "fetched")
    ref("get", str(VIEW), path, dest)
    return read(dest)


def local_row(path):
    try:
        conn = sqlite3.connect("file:%s?mode=ro" % LOCAL_DB, uri=True, timeout=5)
        try:
            return conn.execute("SELECT node_id, sync_id, size FROM node_table WHERE view_id = ? AND path = ?",
                                (VIEW, path)).fetchone()
        finally:
            conn.close()
    except sqlite3.Error:
        return None


def mount_small_tmpfs(path, size):
    os.makedirs(path, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tide-e2e-full", path], check=True)


class TransferTest(harness.DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.mounts = []
        for path in (USER_DB, LOCAL_DB, LOCAL_DB + "-wal", LOCAL_DB + "-shm", FREEZE_FILE):
            if os.path.exists(path):
                os.unlink(path)
        shutil.rmtree(ALICE, ignore_errors=True)
        os.makedirs(ALICE)
        shutil.rmtree(REF_DIR, ignore_errors=True)
        os.makedirs(REF_DIR + "/store")
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", VIEW)
        conn.close()
        harness.write(harness.LEVEL_FILE, "client_debug=6\nsyncer_debug=6\nworker_debug=6\n")
        ref("--pid-file", REF_DIR + "/pid", "--log", REF_DIR + "/refsyncd.log")
        ref("view-add", str(VIEW), ALICE)

    def tearDown(self):
        for daemon in self.daemons:
            daemon.kill()
        for path in reversed(self.mounts):
            subprocess.run(["umount", "-l", path], check=False)
        try:
            os.kill(int(read(REF_DIR + "/pid").strip()), signal.SIGTERM)
        except (OSError, ValueError):
            pass
        if not self._outcome.success:
            print("\n---- refsyncd ----\n%s" % read(REF_DIR + "/refsyncd.log")[-10000:])
        super().tearDown()

    def put(self, name, text):
        source = os.path.join(REF_DIR, "source")
        with open(source, "w") as f:
            f.write(text)
        ref("put", str(VIEW), source, name)

    def test_files_travel_both_ways(self):
        self.start("")
        with open(ALICE + "/report.txt", "w") as f:
            f.write("written on the appliance")
        os.makedirs(ALICE + "/photos")
        self.assertTrue(wait_until(lambda: {"/report.txt", "/photos"} <= server_paths()),
                        "server has %s" % server_paths())
        self.assertEqual("written on the appliance", server_content("/report.txt"))
        self.assertTrue(wait_until(lambda: local_row("/report.txt") is not None))

        self.put("/docs/from-server.txt", "stored by another client")
        self.assertTrue(wait_until(lambda: read(ALICE + "/docs/from-server.txt") == "stored by another client"))
        self.assertTrue(wait_until(lambda: local_row("/docs/from-server.txt") is not None))
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
        self.assertNotIn("/big.bin", server_paths())

    def test_full_disk_on_download_freezes_the_view(self):
        mount_small_tmpfs(WORK_DIR, "1m")
        self.mounts.append(WORK_DIR)
        daemon = self.start("")
        self.put("/big.bin", "d" * (3 * 1024 * 1024))
        self.assertTrue(wait_until(lambda: read(FREEZE_FILE) == " %d\n" % VIEW), "freeze file: %r" % read(FREEZE_FILE))
        self.assertTrue(wait_until(lambda: "is in freeze mode" in read(LOG_FILE)))
        self.assertFalse(os.path.exists(ALICE + "/big.bin"))
        self.assertIsNone(daemon.wait_exit(timeout=0.5), "only the view stops, not the daemon")
        conn = sqlite3.connect("file:%s?mode=ro" % LOCAL_DB, uri=True, timeout=5)
        try:
            row = conn.execute("SELECT sync_id FROM progress_table WHERE view_id = ?", (VIEW,)).fetchone()
        finally:
            conn.close()
        self.assertIsNotNone(row, "no progress row for the frozen view")


if __name__ == "__main__":
    import unittest
    unittest.main()
