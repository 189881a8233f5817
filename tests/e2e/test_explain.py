"""tide-clientctl explain against the real daemon and server: one case per
state it can report, failed events that survive a restart and go once their
cause is gone, and questions the daemon must refuse without harm."""

import json
import os
import signal
import socket
import subprocess

import harness
import pvalue
from harness import USER_DB, wait_until
from test_sync import ALICE, VIEW, SyncTestCase, local, write_bytes

CTL = os.path.join(harness.BUILD, "tide-clientctl")
FREEZE_FILE = "/tmp/tdwl_diskfull_freeze_2"


def explain(path, *options):
    result = subprocess.run([CTL, "explain", path, "--json"] + list(options), capture_output=True, timeout=60)
    return result.returncode, json.loads(result.stdout.decode())


def state_of(path):
    return explain(path)[1]["state"]


class ExplainTest(SyncTestCase):
    def setUp(self):
        if os.path.exists(FREEZE_FILE):
            os.unlink(FREEZE_FILE)
        super().setUp()
        self.addCleanup(lambda: os.path.exists(FREEZE_FILE) and os.unlink(FREEZE_FILE))

    def test_every_state_is_reported(self):
        write_bytes(local("/synced.txt"), b"in sync\n")
        write_bytes(local("/report_ADMIN_Dec-06-1641-2026_Conflict.txt"), b"kept aside\n")
        write_bytes(local("/Thumbs.db"), b"never synchronised\n")
        os.symlink("synced.txt", local("/link"))
        self.wait_for(lambda: self.synced({"/synced.txt": b"in sync\n",
                                           "/report_ADMIN_Dec-06-1641-2026_Conflict.txt": b"kept aside\n"}),
                      "the files on the server")
        self.wait_for(lambda: state_of(local("/synced.txt")) == "in_sync", "synced.txt in sync")

        # Held back: a frozen view hands its events back, so they wait.
        harness.write(FREEZE_FILE, " %d\n" % VIEW)
        write_bytes(local("/held.txt"), b"waits for the freeze to lift\n")
        self.wait_for(lambda: state_of(local("/held.txt")) == "waiting", "held.txt waiting")

        cases = [
            # path, state, exit status, what else the answer must say
            (local("/synced.txt"), "in_sync", 0, {"kind": "file"}),
            (local("/report_ADMIN_Dec-06-1641-2026_Conflict.txt"), "conflict_copy", 0, {"original": "/report.txt"}),
            (local("/Thumbs.db"), "excluded", 1, {"rule": 'black_name "Thumbs.db"', "section": "Common"}),
            (local("/link"), "not_synchronised", 1, {"kind": "symlink"}),
            ("/tmp", "outside", 1, {"view": None}),
            (local("/held.txt"), "waiting", 1, {"event": "UPLOAD_LOCAL"}),
        ]
        for path, state, code, fields in cases:
            with self.subTest(path=path):
                got_code, answer = explain(path)
                self.assertEqual((state, code), (answer["state"], got_code), answer)
                for key, value in fields.items():
                    self.assertEqual(value, answer[key], answer)
        self.assertTrue(explain(local("/held.txt"))[1]["view"]["frozen"])
        self.assertEqual(VIEW, explain(local("/synced.txt"))[1]["view"]["view_id"])
        self.assertIsNotNone(explain(local("/synced.txt"))[1]["record"]["md4"])
        os.unlink(FREEZE_FILE)
        self.wait_for(lambda: state_of(local("/held.txt")) == "in_sync", "held.txt in sync once the freeze lifted")

        # Seen by nobody yet: every task paused, the detector included.
        self.assertEqual(0, subprocess.run([CTL, "pause"]).returncode)
        write_bytes(local("/unseen.txt"), b"nobody looked yet\n")
        self.assertEqual("not_yet_seen", state_of(local("/unseen.txt")))
        self.assertEqual(0, subprocess.run([CTL, "resume"]).returncode)

        # Carried out now: the server stalls while the upload is under way.
        os.kill(self.server.pid, signal.SIGSTOP)
        try:
            write_bytes(local("/stalled.bin"), os.urandom(1 << 20))
            self.wait_for(lambda: state_of(local("/stalled.bin")) == "in_progress", "stalled.bin in progress")
        finally:
            os.kill(self.server.pid, signal.SIGCONT)
        self.wait_for(lambda: state_of(local("/stalled.bin")) == "in_sync", "stalled.bin in sync")

        # --verify reads the content back and compares it with the record.
        code, answer = explain(local("/synced.txt"), "--verify")
        self.assertEqual((0, "in_sync"), (code, answer["state"]), answer)
        self.assertEqual(answer["record"]["md4"], answer["disk_md4"])

    def test_a_failed_item_survives_a_restart_and_goes_once_its_cause_is_gone(self):
        # The cause: the server is gone, so every upload fails.
        self.server.stop()
        path = local("/offline.txt")
        write_bytes(path, b"written while the server is down\n")
        gone = local("/gone-while-stopped.txt")
        write_bytes(gone, b"removed while the daemon is stopped\n")
        self.wait_for(lambda: state_of(path) == "failed", "the upload failed")
        self.wait_for(lambda: state_of(gone) == "failed", "the second upload failed")
        code, answer = explain(path)
        self.assertEqual(1, code)
        self.assertTrue(answer["reason"], answer)
        self.assertEqual("UPLOAD_LOCAL", answer["event"])
        self.assertGreaterEqual(answer["attempts"], 1)
        self.assertLessEqual(answer["first_time"], answer["last_time"])
        status = json.loads(subprocess.run([CTL, "status", "--json"], capture_output=True, timeout=60).stdout)
        self.assertIn("/offline.txt", [item["path"] for item in status["failed_items"]])
        self.assertGreaterEqual({v["view_id"]: v for v in status["views"]}[VIEW]["failed"], 1)
        text = subprocess.run([CTL, "status"], capture_output=True, text=True, timeout=60).stdout
        self.assertIn("/offline.txt", text)
        self.assertRegex(text, r"nothing succeeds: \d+ failed, the last because .+")

        self.assertEqual(0, self.daemon.stop())
        code, answer = explain(path)
        self.assertEqual((3, "failed"), (code, answer["state"]), answer)
        self.assertFalse(answer["daemon_running"])
        os.unlink(gone)
        self.daemon = self.start("")
        self.wait_for(lambda: explain(path)[1].get("attempts", 0) > answer["attempts"], "a retry after the restart")
        self.assertEqual(answer["first_time"], explain(path)[1]["first_time"])
        # Nothing will be queued again for a file that went away meanwhile.
        self.assertEqual("not_yet_seen", state_of(gone))

        self.server.start()
        self.wait_for(lambda: state_of(path) == "in_sync", "the file in sync once the server is back")
        status = json.loads(subprocess.run([CTL, "status", "--json"], capture_output=True, timeout=60).stdout)
        self.assertEqual([], status["failed_items"])

    def test_odd_and_overlong_paths_are_answered_without_harm(self):
        odd = local("/odd-\x01-\udcff-name")
        with open(odd.encode("utf-8", "surrogateescape"), "wb") as f:
            f.write(b"odd bytes\n")
        self.wait_for(lambda: explain(odd.encode("utf-8", "surrogateescape"))[1]["state"] == "in_sync",
                      "the odd name in sync")
        for path in (local("/" + "x" * 300), local("/" + "/".join(["d" * 200] * 30)), "relative/../../x"):
            with self.subTest(length=len(path)):
                result = subprocess.run([CTL, "explain", path, "--json"], capture_output=True, timeout=60)
                self.assertIn(result.returncode, (1, 2), result)
        # Questions a client could send by hand: refused with an answer.
        for request in ({"action": "explain", "view_id": VIEW, "path": "/../../etc/passwd"},
                        {"action": "explain", "view_id": VIEW, "path": "/" + "y" * 5000},
                        {"action": "explain", "path": "/a"},
                        {"action": "explain", "view_id": VIEW, "path": "/a\x00b"}):
            with socket.socket(socket.AF_UNIX) as sock:
                sock.connect("/tmp/tide-clientd-control")
                pvalue.send(sock, request)
                reply = pvalue.recv(sock)
                self.assertIn("error", reply)
        self.assertTrue(harness.pid_alive(self.daemon.pid))
        write_bytes(local("/after.txt"), b"still serving\n")
        self.wait_for(lambda: state_of(local("/after.txt")) == "in_sync", "the daemon still at work")
