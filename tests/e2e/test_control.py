"""Views and control: start-up registration from the user database, the
control socket driven with tide-clientctl, and the effects in the log and
the local database."""

import os
import signal
import socket
import stat
import subprocess
import time
import unittest

import harness
from harness import LOCAL_DB, LOG_FILE, USER_DB, read, wait_until

CTL = os.path.join(harness.BUILD, "tide-clientctl")
CONTROL = "/tmp/tide-clientd-control"

userdb = harness.load_user_db_tool()


def ctl(*args, user=None):
    command = CTL
    if user == "nobody":
        # Another user cannot reach the build tree through our descriptors.
        command = "/tmp/tide-clientctl"
        subprocess.run(["install", "-m", "0755", CTL, command], check=True)

    def drop():
        os.setgid(65534)
        os.setuid(65534)
    return subprocess.run([command] + list(args), capture_output=True, text=True, timeout=30,
                          preexec_fn=drop if user == "nobody" else None)


local_db = harness.LocalDb()


root_rows = local_db.root_views


class ControlTest(harness.DaemonTestCase):
    def setUp(self):
        super().setUp()
        for path in (USER_DB, LOCAL_DB, LOCAL_DB + "-wal", LOCAL_DB + "-shm"):
            if os.path.exists(path):
                os.unlink(path)
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", 10, files=3)
        userdb.add_user(conn, "bob", 11, disabled=True)
        userdb.add_share(conn, "photos", 20, "/volume1/photos", files=2)
        userdb.add_share(conn, "old", 21, "/volume1/old", disabled=True)
        conn.close()

    def log_has(self, text, offset=0):
        return wait_until(lambda: text in read(LOG_FILE)[offset:])

    def send(self, *args):
        """Runs tide-clientctl and waits until the daemon has read the message."""
        offset = len(read(LOG_FILE))
        result = ctl(*args)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertTrue(self.log_has(">>> ", offset), "message not received")
        return offset

    def wait_log(self, text, offset=0):
        self.assertTrue(self.log_has(text, offset), "missing in log: " + text)

    def test_start_up_registers_enabled_views(self):
        daemon = self.start("")
        log = read(LOG_FILE)
        for line in ("Register user 'alice' (with view 10) at /volume1/homes/alice",
                     "Register user 'bob' (with view 11) at /volume1/homes/bob",
                     "Register shared folder 'photos' (with view 20) at /volume1/photos",
                     "Skipping disabled shared folder 'old'"):
            self.assertIn(line, log)
        self.assertLess(log.find("Register shared folder 'photos'"), log.find(harness.STARTED))
        # Root rows for every registered view, the disabled user included.
        self.assertEqual({10, 11, 20}, root_rows())
        # Only root and the daemon's own user may use the socket.
        self.assertTrue(stat.S_ISSOCK(os.stat(CONTROL).st_mode))
        self.assertEqual(0o600, stat.S_IMODE(os.stat(CONTROL).st_mode))
        refused = ctl("stop", user="nobody")
        self.assertNotEqual(0, refused.returncode)
        self.assertIn("not listening on " + CONTROL, refused.stderr)

        self.send("stop")
        self.assertEqual(0, daemon.wait_exit())
        self.assertFalse(os.path.exists(CONTROL))
        self.assertIn("main thread down", read(LOG_FILE))

    def test_start_up_fails_without_a_watchable_home(self):
        subprocess.run(["rm", "-rf", "/volume1/homes/alice"], check=True)
        daemon = self.launch("")
        self.assertEqual(0, daemon.wait_launcher())  # the detached child fails on its own
        self.wait_log("Failed to add watch for user 'alice' (10) at '/volume1/homes/alice'")
        self.assertNotIn(harness.STARTED, read(LOG_FILE))

    def test_instructions(self):
        daemon = self.start("")
        at = self.send("pause")
        self.wait_log('>>> {"action": "pause"}', at)
        at = self.send("resume")
        self.wait_log('>>> {"action": "resume"}', at)
        self.send("dump")

        # reload picks up a user added since start-up.
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "carol", 12)
        conn.close()
        at = self.send("reload")
        self.wait_log("Register user 'carol' (with view 12) at /volume1/homes/carol", at)
        self.wait_log("Skipping user 'alice' (already in registry)", at)
        self.assertIn(12, root_rows())

        # hxm-disable: the view catches up from a progress row at the
        # global sync id.
        local_db.write("UPDATE config_table SET value = '42' WHERE key = 'sync_id'")
        at = self.send("hxm-disable", "--user", "alice")
        self.wait_log("user of view_id 10 is hxm disabled", at)
        self.assertTrue(wait_until(lambda: 10 in (local_db.progress() or {})))
        self.assertEqual(42, local_db.progress()[10])
        at = self.send("hxm-enable", "--user", "alice")
        self.wait_log("Add watch user 'alice', watch_path '/volume1/homes/alice'", at)

        # disable forgets a view's records; enable brings the view back.
        at = self.send("disable", "--share", "photos", "--share", "ghost")
        self.wait_log("share ghost not found", at)
        self.assertNotIn(20, root_rows())
        at = self.send("enable", "--share", "photos")
        self.wait_log("Register shared folder 'photos' (with view 20) at '/volume1/photos'", at)
        self.assertIn(20, root_rows())

        # A removed user loses its rows at the next reload.
        conn = userdb.create(USER_DB)
        conn.execute("DELETE FROM user_table WHERE view_id = 12")
        conn.close()
        at = self.send("reload")
        self.wait_log("user of view_id 12 is removed", at)
        self.assertNotIn(12, root_rows())
        self.assertIn("user of view_id 11 is disabled", read(LOG_FILE)[at:])

        self.assertEqual(0, daemon.stop())

    def test_many_instructions_on_one_connection(self):
        daemon = self.start("")
        # {"action": "pause"} then {"action": "resume"}, written by hand.
        def message(action):
            body = b"\x10\x00\x06action" + b"\x10" + len(action).to_bytes(2, "big") + action.encode()
            return b"\x42" + body + b"\x40"
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
            client.connect(CONTROL)
            client.sendall(message("pause") + message("resume") + message("reload_list"))
            self.wait_log("no user list")
        log = read(LOG_FILE)
        self.assertLess(log.find('>>> {"action": "pause"}'), log.find('>>> {"action": "resume"}'))
        self.assertEqual(0, daemon.stop())

    def test_silent_client_does_not_block_shutdown_forever(self):
        daemon = self.start("")
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
            client.connect(CONTROL)
            self.wait_log("waiting for instructions")
            os.kill(daemon.pid, signal.SIGTERM)
            # The read gives up after the channel's 60-second time-out.
            self.assertEqual(0, daemon.wait_exit(timeout=150))
        self.assertFalse(os.path.exists(CONTROL))

    def test_ctl_usage_and_absent_daemon(self):
        self.assertEqual(0, ctl("--help").returncode)
        self.assertIn("hxm-disable", ctl("--help").stdout)
        for args in ([], ["frobnicate"], ["enable"], ["stop", "--user", "x"], ["--socket"]):
            with self.subTest(args=args):
                self.assertEqual(2, ctl(*args).returncode)
        result = ctl("--socket", "/tmp/nothing-here", "stop")
        self.assertEqual(1, result.returncode)
        self.assertIn("tide-clientd is not listening on /tmp/nothing-here", result.stderr)


if __name__ == "__main__":
    unittest.main()
