"""Start-up and shutdown of the whole daemon: arguments, configuration,
PID file, detaching, signals, logging."""

import os
import re
import signal
import stat
import subprocess
import unittest

import harness
from harness import LOG_FILE, PID_FILE, read, write, wait_until

FOREGROUND = "is_daemon=false\n"
TIME_STAMP = r"[A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d "


def thread_names(pid):
    names = []
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                names.append(f.read().strip())
        except OSError:
            pass  # the thread ended meanwhile
    return sorted(names)


class StartupTest(harness.DaemonTestCase):
    def test_more_than_one_argument_exits_255_silently(self):
        daemon = self.launch(args=["a.conf", "b.conf"])
        self.assertEqual(255, daemon.wait_launcher())
        self.assertEqual("", daemon.stderr())
        self.assertFalse(os.path.exists(PID_FILE))
        self.assertFalse(os.path.exists(LOG_FILE))

    def test_task_table_follows_worker_count(self):
        # One thread per task, the main thread and the database's commit
        # thread.
        cases = [("worker_count=2\n", 5), ("worker_count=abc\n", 3), ("", 9)]
        for line, tasks in cases:
            with self.subTest(line=line):
                daemon = self.start(FOREGROUND + line)
                try:
                    self.assertTrue(wait_until(lambda: daemon.thread_count() == tasks + 2, timeout=10),
                                    "%d threads" % daemon.thread_count())
                    # Every task's thread carries its name; the main thread,
                    # which serves the control socket, keeps the program's.
                    workers = ["worker-%d" % n for n in range(1, tasks - 3 + 1)]
                    self.assertTrue(wait_until(lambda: thread_names(daemon.pid) == sorted(
                        ["tide-clientd", "db-commit", "detector", "syncer", "progress"] + workers), timeout=10),
                        thread_names(daemon.pid))
                finally:
                    # The next case needs the PID file free, whatever happened here.
                    self.assertEqual(0, daemon.stop())

    def test_huge_worker_count_is_bounded(self):
        daemon = self.start(FOREGROUND + "worker_count=4294967295\n")
        self.assertIn("worker_count 4294967295 is above the limit; using 256 workers", daemon.stderr())
        self.assertTrue(wait_until(lambda: daemon.thread_count() == 256 + 3 + 2))
        self.assertEqual(0, daemon.stop())

    def test_foreground_logs_to_stderr(self):
        # Only "true" is true: "yes" runs in the foreground.
        daemon = self.start("is_daemon=yes\n")
        self.assertEqual(daemon.pid, daemon.launcher.pid)
        err = daemon.stderr()
        self.assertRegex(err, r"(?m)^" + TIME_STAMP + r"\[INFO\] client\(\d+\): " + harness.STARTED + "$")
        self.assertFalse(os.path.exists(LOG_FILE))
        self.assertEqual(0, daemon.stop(signal.SIGINT))
        self.assertIn("[INFO] client", daemon.stderr().split(harness.STARTED)[1])
        self.assertIn("main thread down", daemon.stderr())

    def test_detached_daemon_pid_file_log_and_sigterm(self):
        daemon = self.start("")
        self.assertNotEqual(daemon.pid, daemon.launcher.pid)
        self.assertEqual("%d\n" % daemon.pid, read(PID_FILE))
        self.assertEqual(0o644, stat.S_IMODE(os.stat(PID_FILE).st_mode))
        self.assertEqual(0o640, stat.S_IMODE(os.stat(LOG_FILE).st_mode))
        # Detached: no terminal, working directory "/", a session of its own.
        self.assertEqual("/", os.readlink("/proc/%d/cwd" % daemon.pid))
        self.assertEqual(os.getsid(daemon.pid), daemon.pid)
        log = read(LOG_FILE)
        order = ["db_path: /volume1/@tidewell/@clientd/db.sqlite", "pid_file_path: /var/run/tide-clientd.pid",
                 "log_file_path: /var/log/tdwl/client.log", "log_level_file_path: ", "filter_path: ",
                 "freeze_file_path: ", "work_dir_name: tide-clientd.tmp.dir", "worker_count: 6",
                 "client_socket: /tmp/sfsock", "service_socket: /tmp/tide-service",
                 "control_socket: /tmp/tide-clientd-control", "is_daemon: true", harness.STARTED]
        positions = [log.find(text) for text in order]
        self.assertNotIn(-1, positions, log)
        self.assertEqual(sorted(positions), positions)
        self.assertRegex(log, r"(?m)^" + TIME_STAMP + r"\[DEBUG\] client\(\d+\): is_daemon: true$")
        self.assertEqual(0, daemon.stop(signal.SIGTERM))
        log = read(LOG_FILE)
        self.assertLess(log.find("stopping all tasks"), log.find("main thread down"))
        self.assertEqual("%d\n" % daemon.pid, read(PID_FILE))  # left in place

    def test_start_empties_the_work_folder_a_killed_run_left(self):
        # Upload copies and a folder parked for removal, as a SIGKILL in the
        # middle of a transfer leaves them; nothing else would remove them.
        work = "/volume1/@tmp/tide-clientd.tmp.dir"
        write(work + "/u2EeTc", "an upload copy\n")
        write(work + "/rm.0badcafe/d/f", "a parked folder\n")
        daemon = self.start("")
        try:
            # The detector may have made its companion folder meanwhile.
            self.assertEqual([], sorted(set(os.listdir(work)) - {"@eaDir"}))
        finally:
            self.assertEqual(0, daemon.stop())

    def test_live_pid_file_refuses_start(self):
        write(PID_FILE, "%d\n" % os.getpid())
        daemon = self.launch(FOREGROUND)
        self.assertEqual(255, daemon.wait_launcher())
        self.assertIn("[ERROR] client", daemon.stderr())
        self.assertIn("client is alive (pid = %d)" % os.getpid(), daemon.stderr())

    def test_stale_pid_file_is_overwritten(self):
        gone = subprocess.Popen(["true"])
        gone.wait()
        # An instance that exited but was not yet collected by its parent
        # (a zombie still answers signal 0) is no live daemon either.
        exited = subprocess.Popen(["true"])
        harness.wait_until(lambda: not harness.pid_alive(exited.pid))
        for pid in (gone.pid, exited.pid):
            with self.subTest(pid=pid):
                write(PID_FILE, "%d\n" % pid)
                daemon = self.start(FOREGROUND)
                self.assertEqual("%d\n" % daemon.pid, read(PID_FILE))
                self.assertEqual(0, daemon.stop())
        exited.wait()

    def test_pid_file_is_not_written_through_a_link(self):
        victim = write("/tmp/victim", "precious\n")
        os.symlink(victim, PID_FILE)
        daemon = self.launch(FOREGROUND)
        self.assertEqual(255, daemon.wait_launcher())
        self.assertIn("become_daemon: fopen: ", daemon.stderr())
        self.assertEqual("precious\n", read(victim))

    def test_database_volume_from_homes_share(self):
        os.unlink(harness.DB_PATH_CONF)
        write(harness.SHARES_CONF, "homes=/volume1/vol3/homes\n")
        os.makedirs("/volume1/vol3/homes", exist_ok=True)
        # The package keeps its user database on the same volume.
        os.makedirs("/volume1/vol3/@tidewell/@sync", exist_ok=True)
        daemon = self.start(FOREGROUND)
        self.assertIn("db_path: /volume1/vol3/@tidewell/@clientd/db.sqlite", daemon.stderr())
        self.assertEqual(0, daemon.stop())

    def test_invalid_configuration_keeps_defaults(self):
        # A key alone on a line spoils the file: worker_count stays 6 and the
        # daemon detaches as by default.
        daemon = self.start("worker_count=2\nis_daemon=false\nlonely_key\n", detached=True)
        self.assertIn("worker_count: 6", read(LOG_FILE))
        self.assertEqual(0, daemon.stop())

    def test_existing_log_is_appended_not_counted(self):
        # What the log already holds when the daemon starts does not count
        # towards rotation: a 2 MiB log is appended to, not rotated.
        write(LOG_FILE, "x" * (2 * 1024 * 1024) + "\n", mode=0o640)
        daemon = self.start("")
        self.assertEqual(0, daemon.stop())
        self.assertFalse(os.path.exists(LOG_FILE + "_0"))
        log = read(LOG_FILE)
        self.assertTrue(log.startswith("x" * 1000))
        self.assertIn("main thread down", log)

if __name__ == "__main__":
    unittest.main()
