"""Change detection in the whole daemon: real programs change files in a
view, and the events that reach the event manager are read from its debug
log ("Push local event [...]", "Push expand event [...]").

Every scenario runs with both detectors: the inotify watch tree (forced with
TIDE_DETECTOR=inotify) and the volume-wide one where the kernel offers it.
They differ where the volume watch makes a walk needless: a directory that
is created gets no EXPAND there, since its contents are reported one by one."""

import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import unittest

import harness
import pvalue
from harness import LOCAL_DB, LOG_FILE, USER_DB, read, write, wait_until

ALICE = "/volume1/homes/alice"
PHOTOS = "/volume1/photos"
WORK_DIR = "/volume1/@tmp/tide-clientd.tmp.dir"
HANDLER_SOCKET = "/tmp/user_db_handler_sock"
LEVELS = "client_debug=7\ndetector_debug=7\nevent_mgr_debug=7\n"

userdb = harness.load_user_db_tool()

PUSH = re.compile(r"Push (?:local|expand) event \[Event<(\w+)>: \[\d+\] (.*?) \((?:local|server),(file|dir)")


def whole_log():
    """Every generation of the log, oldest first, so offsets survive rotation."""
    parts = [read("%s_%d" % (LOG_FILE, k)) for k in range(9, -1, -1)]
    return "".join(parts) + read(LOG_FILE)


def pushes(text):
    """(type, path, 'dir'|'file') of every event pushed into the manager."""
    return [m.groups() for m in PUSH.finditer(text)]


def run(*args, cwd=None):
    return subprocess.run(list(args), cwd=cwd, check=True, capture_output=True, text=True, timeout=120)


class HandlerStub:
    """The user-database handler: answers every request with {"result": 0}."""

    def __init__(self, path=HANDLER_SOCKET):
        if os.path.exists(path):
            os.unlink(path)
        self.requests = []
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(path)
        self.server.listen(4)
        self.server.settimeout(1)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.server.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with conn:
                conn.settimeout(10)
                try:
                    self.requests.append(pvalue.recv(conn))
                    pvalue.send(conn, {"result": 0})
                except (OSError, EOFError, ValueError):
                    pass

    def close(self):
        self.running = False
        self.thread.join(5)
        self.server.close()


class DetectorScenarios:
    """The scenarios; a subclass picks the detector."""

    # Whether a created directory is walked (EXPAND) rather than reported
    # entry by entry.
    walks_created_directories = True

    def choose_detector(self):
        raise NotImplementedError

    def setUp(self):
        super().setUp()
        self.choose_detector()
        for path in (USER_DB, LOCAL_DB, LOCAL_DB + "-wal", LOCAL_DB + "-shm"):
            if os.path.exists(path):
                os.unlink(path)
        # Scratch left by the other detector's run of the same scenario too.
        for folder in (ALICE, PHOTOS, "/tmp/src", "/tmp/tree", "/tmp/repo"):
            shutil.rmtree(folder, ignore_errors=True)
        if os.path.exists("/tmp/tree.tar"):
            os.unlink("/tmp/tree.tar")
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", 10)
        userdb.add_share(conn, "photos", 20, PHOTOS)
        conn.close()
        write(harness.LEVEL_FILE, LEVELS)
        self.marks = 0
        # These tests read what the detector pushes. With no server to talk
        # to, workers would only copy every file into the volume's temporary
        # folder and retry, which the volume watch sees too: keep them out.
        self.daemon = self.start("worker_count = 0\n")
        self.check_detector()
        # Both views are watched once their first rescans are queued.
        self.assertTrue(wait_until(lambda: len([p for p in pushes(whole_log()) if p[0] == "RESCAN_SYNC"]) >= 2))

    def offset(self):
        return len(whole_log())

    def since(self, offset):
        return pushes(whole_log()[offset:])

    def settle(self, offset, folder=ALICE):
        """Writes a marker file and waits for its upload: every event caused
        before it has then been handled. Returns the pushes since `offset`,
        without the marker's own."""
        self.marks += 1
        name = "zz-mark-%d" % self.marks
        with open(os.path.join(folder, name), "w") as f:
            f.write("m")
        self.assertTrue(wait_until(lambda: ("UPLOAD_LOCAL", "/" + name, "file") in self.since(offset)),
                        "marker %s not seen" % name)
        events = self.since(offset)
        return events[:events.index(("UPLOAD_LOCAL", "/" + name, "file"))]

    def wait_push(self, offset, event):
        self.assertTrue(wait_until(lambda: event in self.since(offset)), "not pushed: %s" % (event,))

    def test_new_file_uploads_once_and_hard_link_at_creation(self):
        start = self.offset()
        run("sh", "-c", "echo hello > new.txt", cwd=ALICE)
        self.assertEqual([("UPLOAD_LOCAL", "/new.txt", "file")], self.settle(start))
        start = self.offset()
        run("ln", "new.txt", "second.txt", cwd=ALICE)
        self.assertEqual([("UPLOAD_LOCAL", "/second.txt", "file")], self.settle(start))
        self.assertIn("could be created by hard link", whole_log())

    def test_rename_inside_a_view_and_move_out_of_all_views(self):
        run("sh", "-c", "echo 1 > before.txt", cwd=ALICE)
        self.settle(self.offset())
        start = self.offset()
        run("mv", "before.txt", "after.txt", cwd=ALICE)
        self.assertEqual([("REMOVE_REMOTE", "/before.txt", "file"), ("UPLOAD_LOCAL", "/after.txt", "file")],
                         self.settle(start))
        # Out of every view: a removal once the queue has gone quiet.
        start = self.offset()
        # (on the same file system: a move to another one is a copy and a deletion)
        run("mv", os.path.join(ALICE, "after.txt"), "/volume1/after.txt")
        self.wait_push(start, ("REMOVE_REMOTE", "/after.txt", "file"))
        # Into another view: an upload there at once.
        run("sh", "-c", "echo 2 > moving.txt", cwd=ALICE)
        start = self.offset()
        run("mv", os.path.join(ALICE, "moving.txt"), os.path.join(PHOTOS, "moved.txt"))
        self.wait_push(start, ("UPLOAD_LOCAL", "/moved.txt", "file"))
        self.wait_push(start, ("REMOVE_REMOTE", "/moving.txt", "file"))

    def test_directories_made_and_filled(self):
        start = self.offset()
        run("mkdir", "-p", "a/b/c", cwd=ALICE)
        events = self.settle(start)
        self.assertStartsTree(events, "/a", ["/a/b", "/a/b/c"])
        # A filled directory copied in: uploaded and walked; its inside is watched.
        os.makedirs("/tmp/src/sub/deeper")
        for name in ("one", "sub/two", "sub/deeper/three"):
            write("/tmp/src/" + name, name)
        start = self.offset()
        run("cp", "-r", "/tmp/src", os.path.join(ALICE, "copy"))
        events = self.settle(start)
        self.assertStartsTree(events, "/copy", [])
        if not self.walks_created_directories:
            for path in ("/copy/one", "/copy/sub/two", "/copy/sub/deeper/three"):
                self.assertIn(("UPLOAD_LOCAL", path, "file"), events)
        start = self.offset()
        write(os.path.join(ALICE, "copy/sub/deeper/later"), "x")
        write(os.path.join(ALICE, "a/b/c/later"), "x")
        self.assertEqual([("UPLOAD_LOCAL", "/copy/sub/deeper/later", "file"),
                          ("UPLOAD_LOCAL", "/a/b/c/later", "file")], self.settle(start))

    def test_editor_atomic_save(self):
        write(os.path.join(ALICE, "doc.txt"), "draft\n")
        self.settle(self.offset())
        # sed -i writes a temporary file beside the original and renames it over.
        start = self.offset()
        run("sed", "-i", "s/draft/final/", "doc.txt", cwd=ALICE)
        events = self.settle(start)
        self.assertEqual(3, len(events), events)
        temp = events[0][1]
        self.assertNotEqual("/doc.txt", temp)
        self.assertEqual([("UPLOAD_LOCAL", temp, "file"), ("REMOVE_REMOTE", temp, "file"),
                          ("UPLOAD_LOCAL", "/doc.txt", "file")], events)
        self.assertEqual("final\n", read(os.path.join(ALICE, "doc.txt")))

    def test_tar_extract_of_a_tree(self):
        os.makedirs("/tmp/tree/x/y")
        for i in range(20):
            write("/tmp/tree/x/y/f%d" % i, str(i))
        run("tar", "-cf", "/tmp/tree.tar", "-C", "/tmp", "tree")
        start = self.offset()
        run("tar", "-xf", "/tmp/tree.tar", cwd=ALICE)
        events = self.settle(start)
        self.assertStartsTree(events, "/tree", ["/tree/x", "/tree/x/y"])
        # Every file is covered: uploaded by its own event or inside a walked folder.
        expanded = [p for t, p, _ in events if t == "EXPAND"]
        for i in range(20):
            path = "/tree/x/y/f%d" % i
            self.assertTrue(("UPLOAD_LOCAL", path, "file") in events or
                            any(path.startswith(d + "/") for d in expanded), path)
        start = self.offset()
        write(os.path.join(ALICE, "tree/x/y/new"), "1")
        self.assertEqual([("UPLOAD_LOCAL", "/tree/x/y/new", "file")], self.settle(start))

    def test_git_clone_and_checkout(self):
        git = ["git", "-c", "user.name=t", "-c", "user.email=t@example.com", "-c", "init.defaultBranch=main"]
        run(*git, "init", "-q", "/tmp/repo")
        write("/tmp/repo/common.txt", "common\n")
        write("/tmp/repo/change.txt", "main\n")
        run(*git, "add", ".", cwd="/tmp/repo")
        run(*git, "commit", "-q", "-m", "one", cwd="/tmp/repo")
        run(*git, "checkout", "-q", "-b", "other", cwd="/tmp/repo")
        write("/tmp/repo/change.txt", "other\n")
        write("/tmp/repo/added/new.txt", "new\n")
        run(*git, "add", ".", cwd="/tmp/repo")
        run(*git, "commit", "-q", "-m", "two", cwd="/tmp/repo")
        run(*git, "checkout", "-q", "main", cwd="/tmp/repo")

        start = self.offset()
        run(*git, "clone", "-q", "/tmp/repo", os.path.join(ALICE, "clone"))
        events = self.settle(start)
        self.assertStartsTree(events, "/clone", [])
        start = self.offset()
        run(*git, "checkout", "-q", "other", cwd=os.path.join(ALICE, "clone"))
        events = self.settle(start)
        self.assertIn(("UPLOAD_LOCAL", "/clone/change.txt", "file"), events)
        self.assertIn(("UPLOAD_LOCAL", "/clone/added", "dir"), events)
        if self.walks_created_directories:
            self.assertIn(("EXPAND", "/clone/added", "dir"), events)
        else:
            self.assertIn(("UPLOAD_LOCAL", "/clone/added/new.txt", "file"), events)
        # git replaces its index through a lock file renamed into place.
        self.assertIn(("UPLOAD_LOCAL", "/clone/.git/index", "file"), events)

    def test_file_moved_in_from_the_working_directory_is_silent(self):
        self.assertTrue(os.path.isdir(WORK_DIR + "/@eaDir"))
        if self.walks_created_directories:
            self.assertIn("Tidewell workingDir add watch at [%s]." % WORK_DIR, whole_log())
        write(WORK_DIR + "/download.tmp", "from the server")
        start = self.offset()
        os.rename(WORK_DIR + "/download.tmp", os.path.join(ALICE, "downloaded.txt"))
        self.assertEqual([], self.settle(start))
        self.assertIn("This event comes from working directory.skipping ...", whole_log()[start:])

    def test_companion_change_uploads_the_master_file(self):
        write(os.path.join(ALICE, "pic.jpg"), "jpeg")
        os.makedirs(os.path.join(ALICE, "@eaDir"))
        self.settle(self.offset())
        start = self.offset()
        write(os.path.join(ALICE, "@eaDir/pic.jpg@VarnEAStream"), "attributes")
        self.assertEqual([("UPLOAD_LOCAL", "/pic.jpg", "file")], self.settle(start))
        self.assertIn("it is Varn EA event!!", whole_log()[start:])

    def test_deleting_a_view_folder_withdraws_the_view(self):
        handler = HandlerStub()
        self.addCleanup(handler.close)
        write(os.path.join(PHOTOS, "p1"), "1")
        local_db = harness.LocalDb()
        rows_of_view = "SELECT count(*) FROM node_table WHERE view_id = 20"
        self.assertTrue(local_db.value(rows_of_view) >= 1)
        start = self.offset()
        shutil.rmtree(PHOTOS)
        self.assertTrue(wait_until(lambda: "NotifyWatchRemoved: <<< " in whole_log()[start:]), "no withdrawal")
        self.assertIn(self.withdrawal_line, whole_log()[start:])
        name = re.search(r"Register shared folder '(.*)' \(with view 20\)", whole_log()).group(1)
        self.assertEqual([{"action": 3, "user_name": name, "user_type": 0}], handler.requests)
        self.assertTrue(wait_until(lambda: local_db.value(rows_of_view) == 0))
        # The other view is still watched.
        self.settle(self.offset())

    def test_queue_overflow_rescans_every_view(self):
        with open(self.queue_limit_file) as f:
            limit = int(f.read())
        os.makedirs(os.path.join(ALICE, "burst"))
        self.settle(self.offset())
        # The daemon is stopped while far more events than the queue holds
        # happen in a watched folder (two per file: creation and close); new folders
        # appear meanwhile.
        os.kill(self.daemon.pid, signal.SIGSTOP)
        try:
            os.makedirs(os.path.join(ALICE, "burst/inner/deep"))
            for i in range(limit + 1000):
                with open(os.path.join(ALICE, "burst/f%d" % i), "w") as f:
                    f.write("x")
        finally:
            os.kill(self.daemon.pid, signal.SIGCONT)
        marker = "Event queue overflow, rescan watch"
        self.assertTrue(wait_until(lambda: marker in whole_log()), "no overflow")

        # Both views are rescanned from their roots (a second overflow while
        # the burst drains may add another round). The log is searched anew
        # each time: with workers copying the burst it may rotate meanwhile,
        # which shifts every offset taken before.
        def rescans_after_overflow():
            log = whole_log()
            return pushes(log[log.find(marker):]).count(("RESCAN_SYNC", "/", "dir")) >= 2 if marker in log else False

        self.assertTrue(wait_until(rescans_after_overflow))
        # Folders made while events were lost are watched too.
        offset = self.offset()
        write(os.path.join(ALICE, "burst/inner/deep/after"), "1")
        self.assertIn(("UPLOAD_LOCAL", "/burst/inner/deep/after", "file"), self.settle(offset))

    def assertStartsTree(self, events, top, inner):
        """The first pushes for a directory tree made at `top`: a walk of it,
        or (volume watch) its directories `inner` reported in turn."""
        if self.walks_created_directories:
            expected = [("UPLOAD_LOCAL", top, "dir"), ("EXPAND", top, "dir")]
        else:
            expected = [("UPLOAD_LOCAL", path, "dir") for path in [top] + inner]
        self.assertEqual(expected, events[:len(expected)])


class InotifyDetectorTest(DetectorScenarios, harness.DaemonTestCase):
    withdrawal_line = "watch root (20) is changed"
    queue_limit_file = "/proc/sys/fs/inotify/max_queued_events"

    def choose_detector(self):
        os.environ["TIDE_DETECTOR"] = "inotify"
        self.addCleanup(os.environ.pop, "TIDE_DETECTOR", None)

    def check_detector(self):
        self.assertIn("Not Support Varnotify", whole_log())


class VolumeDetectorTest(DetectorScenarios, harness.DaemonTestCase):
    walks_created_directories = False
    withdrawal_line = "remove watch folder: '%s'" % PHOTOS
    queue_limit_file = "/proc/sys/fs/fanotify/max_queued_events"

    def choose_detector(self):
        os.environ.pop("TIDE_DETECTOR", None)

    def check_detector(self):
        if "Not Support Varnotify" in whole_log():
            self.skipTest("the kernel offers no volume-wide notification here")
        self.assertIn("Support Varnotify", whole_log())


class LogRotationTest(harness.DaemonTestCase):
    def test_log_rotates_past_one_mebibyte_in_one_run(self):
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", 10)
        conn.close()
        write(harness.LEVEL_FILE, LEVELS)
        self.start("")
        self.assertFalse(os.path.exists(LOG_FILE + "_0"))
        # A few lines per event at DEBUG: a burst of files makes megabytes.
        os.makedirs(os.path.join(ALICE, "many"), exist_ok=True)
        for i in range(4000):
            with open(os.path.join(ALICE, "many/f%d" % i), "w") as f:
                f.write("x")
        self.assertTrue(wait_until(lambda: os.path.exists(LOG_FILE + "_0")), "log did not rotate")
        self.assertTrue(os.path.exists(LOG_FILE))
        self.assertGreater(os.path.getsize(LOG_FILE + "_0"), 1 << 20)


if __name__ == "__main__":
    unittest.main()
