"""tide-clientctl status against the real daemon, and the daemon's log
staying free of errors when control clients simply hang up."""

import json
import os
import re
import subprocess

import harness
from harness import LOCAL_DB, LOG_FILE, USER_DB, read, wait_until

CTL = os.path.join(harness.BUILD, "tide-clientctl")
STATUS_FILE = "/var/run/tide-clientd.status"

userdb = harness.load_user_db_tool()


def ctl(*args):
    return subprocess.run([CTL] + list(args), capture_output=True, text=True, timeout=60)


def status_json():
    result = ctl("status", "--json")
    return result.returncode, json.loads(result.stdout)


class StatusTest(harness.DaemonTestCase):
    def setUp(self):
        super().setUp()
        for path in (USER_DB, LOCAL_DB, LOCAL_DB + "-wal", LOCAL_DB + "-shm", STATUS_FILE):
            if os.path.exists(path):
                os.unlink(path)
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", 10)
        userdb.add_share(conn, "photos", 20, "/volume1/photos")
        userdb.add_share(conn, "old", 21, "/volume1/old", disabled=True)
        conn.close()

    def test_status_of_a_running_then_stopped_daemon(self):
        daemon = self.start("")
        # The first publication follows the start within the loop's wake-up.
        self.assertTrue(wait_until(lambda: os.path.exists(STATUS_FILE)), "no status file")
        code, status = status_json()
        self.assertEqual(0, code)
        self.assertTrue(status["running"])
        self.assertEqual(daemon.pid, status["pid"])
        self.assertFalse(status["paused"])
        self.assertTrue(status["control_socket"]["present"])
        self.assertEqual(0, status["global_sync_id"])
        views = {v["view_id"]: v for v in status["views"]}
        self.assertEqual({10, 20, 21}, set(views))
        self.assertEqual(("user", "alice", "/volume1/homes/alice", True),
                         (views[10]["type"], views[10]["name"], views[10]["path"], views[10]["served"]))
        self.assertEqual(("share", "photos"), (views[20]["type"], views[20]["name"]))
        self.assertEqual((False, False), (views[21]["enabled"], views[21]["served"]))

        self.assertEqual(0, ctl("pause").returncode)
        self.assertTrue(wait_until(lambda: status_json()[1]["paused"]), "pause not shown")
        text = ctl("status")
        self.assertEqual(0, text.returncode)
        self.assertRegex(text.stdout, r"tide-clientd: running \(pid %d\), paused" % daemon.pid)
        self.assertRegex(text.stdout, r"\n  10 user alice /volume1/homes/alice: ")
        self.assertIn("21 share old /volume1/old: disabled", text.stdout)
        self.assertEqual(0, ctl("resume").returncode)
        self.assertTrue(wait_until(lambda: not status_json()[1]["paused"]), "resume not shown")

        # Every tide-clientctl use above was one message and a hang-up: no
        # failed read of the control stream (there is no server here, so the
        # engine's failed connects are expected).
        self.assertEqual(0, ctl("stop").returncode)
        self.assertEqual(0, daemon.wait_exit())
        errors = [l for l in read(LOG_FILE).splitlines() if re.search(r"\[(ERROR|CRIT)\]", l)
                  and re.search(r" stream\(|connection closed by peer|select says the socket is readable", l)]
        self.assertEqual([], errors)

        self.assertFalse(os.path.exists(STATUS_FILE))
        code, status = status_json()
        self.assertEqual(3, code)
        self.assertFalse(status["running"])
        self.assertFalse(status["control_socket"]["present"])
        # The databases still tell what is known.
        self.assertEqual({10, 20, 21}, {v["view_id"] for v in status["views"]})

    def test_last_errors_come_from_the_log(self):
        harness.write(LOG_FILE, "Dec 10 12:00:00 [ERROR] worker(1): first\n"
                      + "Dec 10 12:00:01 [INFO] worker(2): not an error\n"
                      + "".join("Dec 10 12:00:0%d [CRIT] worker(3): crit %d\n" % (i, i) for i in range(6)))
        code, status = status_json()
        self.assertEqual(3, code)
        self.assertEqual(["crit %d" % i for i in range(1, 6)], [l.rsplit(": ", 1)[1] for l in status["last_errors"]])


if __name__ == "__main__":
    import unittest
    unittest.main()
