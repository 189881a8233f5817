"""The server's change stream in the whole daemon: against the real
tide-refsyncd, the daemon connects through its one pooled connection, pulls
the changes, has its workers carry them out, and stores the position only
then; a restart resumes from the stored position."""

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
REF_DIR = "/tmp/refsyncd"
REFSYNCD = os.path.join(harness.BUILD, "tide-refsyncd")
VIEW = 10

userdb = harness.load_user_db_tool()


def ref(*args):
    """Runs tide-refsyncd (server or admin command) on the test's store."""
    return subprocess.run([REFSYNCD, "--db", REF_DIR + "/db.sqlite", "--store", REF_DIR + "/store"] + list(args),
                          check=True, capture_output=True, text=True, timeout=120).stdout


def stored_sync_id():
    try:
        conn = sqlite3.connect("file:%s?mode=ro" % LOCAL_DB, uri=True, timeout=5)
        try:
            row = conn.execute("SELECT value FROM config_table WHERE key = 'sync_id'").fetchone()
        finally:
            conn.close()
    except sqlite3.Error:
        return None
    return int(row[0]) if row else None


class ServerSyncerTest(harness.DaemonTestCase):
    def setUp(self):
        super().setUp()
        for path in (USER_DB, LOCAL_DB, LOCAL_DB + "-wal", LOCAL_DB + "-shm"):
            if os.path.exists(path):
                os.unlink(path)
        shutil.rmtree(ALICE, ignore_errors=True)
        shutil.rmtree(REF_DIR, ignore_errors=True)
        os.makedirs(REF_DIR + "/store")
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", VIEW)
        conn.close()
        harness.write(harness.LEVEL_FILE, "client_debug=6\nsyncer_debug=7\nworker_debug=6\n")
        # Detaches once its socket accepts connections.
        ref("--pid-file", REF_DIR + "/pid", "--log", REF_DIR + "/refsyncd.log")
        ref("view-add", str(VIEW), ALICE)

    def tearDown(self):
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
        ref("put", str(VIEW), source, "/" + name)
        return int(ref("sync-id").strip())

    def test_position_follows_the_server_and_survives_a_restart(self):
        self.put("a.txt", "one")
        ref("mkdir", str(VIEW), "/docs")
        server = self.put("docs/b.txt", "two")
        daemon = self.start("")
        self.assertTrue(wait_until(lambda: stored_sync_id() == server),
                        "stored %s, server %d" % (stored_sync_id(), server))
        self.assertIn("connection with server #", read(LOG_FILE))
        self.assertNotIn("Syncer: failed to pull events", read(LOG_FILE))

        # A change made while the daemon idles is picked up by its poll.
        server = self.put("c.txt", "three")
        self.assertTrue(wait_until(lambda: stored_sync_id() == server),
                        "stored %s, server %d" % (stored_sync_id(), server))

        daemon.stop()
        self.start("")
        self.assertTrue(wait_until(lambda: "Syncer: start working with sync id %d" % server in read(LOG_FILE)))


if __name__ == "__main__":
    import unittest
    unittest.main()
