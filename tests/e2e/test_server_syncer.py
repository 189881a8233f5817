"""The server's change stream in the whole daemon: against the real
tide-refsyncd, the daemon connects through its one pooled connection, pulls
the changes, has its workers carry them out, and stores the position only
then; a restart resumes from the stored position."""

import os
import shutil

import harness
import refserver
from harness import LOG_FILE, USER_DB, read, wait_until

ALICE = "/volume1/homes/alice"
REF_HOME = "/tmp/refsyncd"
VIEW = 10

userdb = harness.load_user_db_tool()
local_db = harness.LocalDb()
stored_sync_id = local_db.global_sync_id


class ServerSyncerTest(harness.DaemonTestCase):
    def setUp(self):
        super().setUp()
        local_db.remove()
        if os.path.exists(USER_DB):
            os.unlink(USER_DB)
        shutil.rmtree(ALICE, ignore_errors=True)
        shutil.rmtree(REF_HOME, ignore_errors=True)
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", VIEW)
        conn.close()
        harness.write(harness.LEVEL_FILE, "client_debug=6\nsyncer_debug=7\nworker_debug=6\n")
        self.server = refserver.RefServer(REF_HOME).start()
        self.server.add_view(VIEW, ALICE)

    def tearDown(self):
        self.server.stop()
        if not self._outcome.success:
            print("\n---- refsyncd ----\n%s" % self.server.log()[-10000:])
        super().tearDown()

    def put(self, name, text):
        return self.server.put(VIEW, "/" + name, text)

    def test_position_follows_the_server_and_survives_a_restart(self):
        self.put("a.txt", "one")
        self.server.admin("mkdir", VIEW, "/docs")
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
