"""tide-clientctl status against the real daemon, and the daemon's log
staying free of errors when control clients simply hang up."""

import json
import os
import random
import re
import shutil
import signal
import subprocess

import harness
import refserver
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


class SyncProgressTest(harness.DaemonTestCase):
    """The progress figures during a synchronisation of a few hundred files
    found by the start-up rescan, frozen by a pause to be looked at."""

    ALICE = "/volume1/homes/alice"
    FILES = 400

    def setUp(self):
        super().setUp()
        server_home = "/volume1/@refsyncd"
        for path in (USER_DB, LOCAL_DB, LOCAL_DB + "-wal", LOCAL_DB + "-shm", STATUS_FILE):
            if os.path.exists(path):
                os.unlink(path)
        shutil.rmtree(self.ALICE, ignore_errors=True)
        shutil.rmtree(server_home, ignore_errors=True)
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", 10)
        conn.close()
        self.server = refserver.RefServer(server_home)
        self.server.start()
        self.addCleanup(self.server.stop)
        self.server.add_view(10, self.ALICE)
        rng = random.Random(7)
        self.sizes = {}
        for i in range(self.FILES):
            path = "/d%d/f%03d.bin" % (i % 8, i)
            self.sizes[path] = rng.randrange(1, 64 * 1024)
            os.makedirs(self.ALICE + os.path.dirname(path), exist_ok=True)
            with open(self.ALICE + path, "wb") as f:
                f.write(rng.randbytes(self.sizes[path]))

    def view(self):
        code, status = status_json()
        self.assertEqual(0, code)
        return {v["view_id"]: v for v in status["views"]}[10]

    def assertConsistent(self, view):
        self.assertEqual((view["done"], view["found"]), (view["files_done"], view["files_found"]), view)
        self.assertGreaterEqual(view["files_found"], view["files_done"], view)
        self.assertGreaterEqual(view["bytes_found"], view["bytes_done"], view)
        self.assertLessEqual(view["bytes_found"], sum(self.sizes.values()), view)
        if view["files_per_second"] is None:
            self.assertIsNone(view["seconds_left"], view)
        elif view["seconds_left"] is not None:
            self.assertGreaterEqual(view["seconds_left"], 0, view)

    def synced(self):
        tree = self.server.tree(10)
        return all(p in tree and tree[p][2] == n for p, n in self.sizes.items())

    def test_files_and_bytes_found_and_done_during_a_synchronisation(self):
        # A few hundred small files take a moment only: the server is held
        # (SIGSTOP) until the start-up rescan has found them all, and the
        # daemon is paused before the server goes on, which freezes a state
        # with work found and not done.
        os.kill(self.server.pid, signal.SIGSTOP)
        self.addCleanup(os.kill, self.server.pid, signal.SIGCONT)
        self.start("")
        everything = self.FILES + 8
        self.assertTrue(wait_until(lambda: self.view()["files_found"] == everything, 120), "not all found")
        found = self.view()
        self.assertConsistent(found)
        # Each upload found by the rescan carries its file's size.
        self.assertEqual(sum(self.sizes.values()), found["bytes_found"], found)
        self.assertEqual(0, ctl("pause").returncode)
        os.kill(self.server.pid, signal.SIGCONT)
        views = []
        self.assertTrue(wait_until(lambda: status_json()[1]["paused"] and views.append(self.view()) is None
                                   and len(views) > 3 and views[-1] == views[-4], 120), "no paused state")
        frozen = views[-1]
        self.assertConsistent(frozen)
        self.assertEqual(everything, frozen["files_found"], frozen)
        self.assertIsNone(frozen["files_per_second"], frozen)  # a paused view has no rate
        text = ctl("status").stdout
        self.assertRegex(text, r"\n    %d of %d files, [0-9.]+ (B|KiB|MiB) of [0-9.]+ MiB\n"
                         % (frozen["files_done"], frozen["files_found"]))

        self.assertEqual(0, ctl("resume").returncode)
        samples = []

        def synced():
            samples.append(self.view())
            self.assertConsistent(samples[-1])
            return self.synced()

        self.assertTrue(wait_until(synced, 300, 0.2), "not synchronised")
        # Once the work is over the view is idle: done caught up with found.
        self.assertTrue(wait_until(lambda: self.view()["waiting"] == 0 and self.view()["with_workers"] == 0, 120))
        end = self.view()
        self.assertEqual((end["files_found"], end["bytes_found"]), (end["files_done"], end["bytes_done"]), end)
        self.assertIsNone(end["seconds_left"], end)

if __name__ == "__main__":
    import unittest
    unittest.main()
