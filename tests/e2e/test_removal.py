"""Deletions both ways, catching up and reconciliation in the whole daemon,
against the real reference server (tide-refsyncd): changes are made on the
disk by ordinary programs and on the server through its admin command line,
and the tests wait for both sides to agree."""

import glob
import os
import shutil
import signal
import subprocess
import unittest

import harness
import refserver
from harness import LOG_FILE, USER_DB, read, write, wait_until

REF_HOME = "/volume1/@refsyncd"
ALICE = "/volume1/homes/alice"
WORK_DIR = "/volume1/@tmp/tide-clientd.tmp.dir"
FREEZE_FILE = "/tmp/tdwl_diskfull_freeze_2"
PHOTOS = "/volume1/photos"
ALICE_VIEW = 10
PHOTOS_VIEW = 20
LEVELS = ("client_debug=7\nworker_debug=6\nprogress_syncer_debug=7\nsyncer_debug=6\n"
          "event_mgr_debug=4\ndetector_debug=4\n")
CTL = os.path.join(harness.BUILD, "tide-clientctl")

userdb = harness.load_user_db_tool()
local_db = harness.LocalDb()
progress_rows = local_db.progress


def local_tree(root):
    """{path: 'd' or 'f'} of everything below root, as the server names it."""
    nodes = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d.lower() != "@eadir"]
        rel = folder[len(root):]
        for d in dirs:
            nodes[rel + "/" + d] = "d"
        for f in files:
            nodes[rel + "/" + f] = "f"
    return nodes


def write_file(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


class RemovalTest(harness.DaemonTestCase):
    def setUp(self):
        super().setUp()
        local_db.remove()
        if os.path.exists(USER_DB):
            os.unlink(USER_DB)
        if os.path.exists(FREEZE_FILE):
            os.unlink(FREEZE_FILE)
        for folder in (ALICE, PHOTOS, REF_HOME):
            shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(ALICE)
        os.makedirs(PHOTOS)
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", ALICE_VIEW)
        userdb.add_share(conn, "photos", PHOTOS_VIEW, PHOTOS)
        conn.close()
        write(harness.LEVEL_FILE, LEVELS)
        self.server = refserver.RefServer(REF_HOME).start()
        self.server.add_view(ALICE_VIEW, ALICE)
        self.server.add_view(PHOTOS_VIEW, PHOTOS)

    def tearDown(self):
        self.server.stop()
        result = self._outcome.result
        if any(test is self for test, _ in result.failures + result.errors):
            print("\n---- client log ----\n%s" % read(LOG_FILE)[-30000:])
            print("\n---- refsyncd log ----\n%s" % self.server.log()[-6000:])
        super().tearDown()

    def start_daemon(self):
        return self.start("")

    def ctl(self, *args):
        subprocess.run([CTL] + list(args), check=True, capture_output=True, timeout=60)

    settle_seconds = int(os.environ.get("TIDE_SETTLE_SECONDS", "90"))

    def assertSettles(self, predicate, message):
        self.assertTrue(wait_until(predicate, timeout=self.settle_seconds, interval=0.2), message)

    def assertInSync(self, root, view):
        self.assertSettles(lambda: local_tree(root) == self.server.kinds(view),
                           "disk and server differ: %s vs %s" % (local_tree(root), self.server.kinds(view)))

    def test_local_deletions_reach_the_server(self):
        self.start_daemon()
        write_file(ALICE + "/single.txt", "one")
        for d in range(3):
            for f in range(4):
                write_file("%s/tree/sub%d/deeper/f%d.txt" % (ALICE, d, f), "x" * f)
        self.assertSettles(lambda: len(self.server.kinds(ALICE_VIEW)) == 1 + 1 + 3 * 2 + 12, "uploads not done")
        os.unlink(ALICE + "/single.txt")
        self.assertSettles(lambda: "/single.txt" not in self.server.kinds(ALICE_VIEW), "file not removed on server")
        shutil.rmtree(ALICE + "/tree")
        self.assertSettles(lambda: self.server.kinds(ALICE_VIEW) == {}, "tree not removed on server")

    def test_server_deletions_reach_the_disk(self):
        self.start_daemon()
        source = "/tmp/upload-src"
        write_file(source + "/a.txt", "a")
        write_file(source + "/dir/b.txt", "bb")
        write_file(source + "/dir/inner/c.txt", "ccc")
        self.server.admin("put", ALICE_VIEW, source + "/a.txt", "/a.txt")
        self.server.admin("put", ALICE_VIEW, source + "/dir", "/dir")
        self.assertSettles(lambda: os.path.exists(ALICE + "/dir/inner/c.txt") and os.path.exists(ALICE + "/a.txt"),
                           "server files not downloaded")
        self.server.admin("rm", ALICE_VIEW, "/a.txt")
        self.assertSettles(lambda: not os.path.exists(ALICE + "/a.txt"), "file not removed locally")
        self.server.admin("rm", ALICE_VIEW, "/dir")
        self.assertSettles(lambda: not os.path.exists(ALICE + "/dir"), "tree not removed locally")
        self.assertInSync(ALICE, ALICE_VIEW)

    def ref_pid(self):
        return self.server.pid

    def hold_share(self):
        """Puts the share to catch up while the server is frozen (SIGSTOP),
        so no pull can end its catch-up before the caller's changes are in
        the server's history (the admin commands write it directly). The
        share's watch goes and its events wait until release_share()."""
        os.kill(self.ref_pid(), signal.SIGSTOP)
        self.ctl("hxm-disable", "--share", "photos")
        self.assertSettles(lambda: PHOTOS_VIEW in (progress_rows() or {}), "share not catching up")

    def release_share(self):
        os.kill(self.ref_pid(), signal.SIGCONT)
        # The progress syncer pulls the share's changes; they wait while the
        # share is held.
        self.assertSettles(lambda: "view id<%d> has pending server events" % PHOTOS_VIEW in read(LOG_FILE),
                           "the progress syncer did not pull the share's changes")
        self.ctl("hxm-enable", "--share", "photos")

    def test_edited_file_survives_a_server_deletion(self):
        self.start_daemon()
        write_file(PHOTOS + "/keep.txt", "synced")
        write_file(PHOTOS + "/dir/edited.txt", "synced")
        write_file(PHOTOS + "/dir/plain.txt", "synced")
        self.assertSettles(lambda: len(self.server.kinds(PHOTOS_VIEW)) == 4, "uploads not done")
        self.hold_share()
        # Edited while the daemon does not look, deleted on the server meanwhile.
        write_file(PHOTOS + "/keep.txt", "edited locally, longer")
        write_file(PHOTOS + "/dir/edited.txt", "edited locally, longer")
        self.server.admin("rm", PHOTOS_VIEW, "/keep.txt")
        self.server.admin("rm", PHOTOS_VIEW, "/dir")
        self.release_share()
        def kept(pattern):
            found = glob.glob(PHOTOS + "/" + pattern)
            return found and read(found[0]) == "edited locally, longer"
        # The edits survive whichever comes first. When the removals are
        # handled first, an edited file is kept under a conflict name, and
        # the directory goes whole or not at all: with local work inside it
        # is kept, under a conflict name. When the re-enabled watch's rescan
        # uploads an edit first, the server has the path again, newer than
        # its removal, and the edit stays where it is.
        self.assertSettles(lambda: kept("keep_ADMIN_*_Conflict.txt") or kept("keep.txt"), "edited file lost")
        self.assertSettles(lambda: kept("dir_ADMIN_*_Conflict/edited.txt") or kept("dir/edited.txt"),
                           "edited file inside the directory lost")
        self.assertInSync(PHOTOS, PHOTOS_VIEW)
        self.assertSettles(lambda: progress_rows() == {}, "share still catching up")

    def test_share_catches_up_then_follows_the_global_stream(self):
        self.start_daemon()
        self.hold_share()
        source = "/tmp/upload-src"
        write_file(source + "/while-held.txt", "held")
        self.server.admin("put", PHOTOS_VIEW, source + "/while-held.txt", "/while-held.txt")
        self.release_share()
        self.assertSettles(lambda: read(PHOTOS + "/while-held.txt") == "held", "catch-up did not download")
        self.assertSettles(lambda: "UptoDate: Remove view_id %d from cache" % PHOTOS_VIEW in read(LOG_FILE),
                           "catch-up did not end")
        self.assertSettles(lambda: progress_rows() == {}, "progress row left behind")
        write_file(source + "/after.txt", "after")
        self.server.admin("put", PHOTOS_VIEW, source + "/after.txt", "/after.txt")
        self.assertSettles(lambda: read(PHOTOS + "/after.txt") == "after", "global stream did not deliver")
        self.assertInSync(PHOTOS, PHOTOS_VIEW)

    def test_frozen_share_catches_up_after_space_is_freed(self):
        self.start_daemon()
        # The workers' copies land on a volume of 1 MiB: a bigger download
        # fills it and freezes the share.
        os.makedirs(WORK_DIR, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tide-full", WORK_DIR], check=True)
        try:
            source = "/tmp/upload-src"
            write_file(source + "/big.bin", "b" * (3 << 20))
            write_file(source + "/later.txt", "later")
            self.server.admin("put", PHOTOS_VIEW, source + "/big.bin", "/big.bin")
            self.assertSettles(lambda: " %d\n" % PHOTOS_VIEW in read(FREEZE_FILE), "share not frozen")
            self.assertSettles(lambda: PHOTOS_VIEW in (progress_rows() or {}), "frozen share not catching up")
            self.server.admin("put", PHOTOS_VIEW, source + "/later.txt", "/later.txt")
            self.assertSettles(lambda: "view id<%d> has pending server events" % PHOTOS_VIEW in read(LOG_FILE),
                               "the progress syncer did not pull for the frozen share")
            self.assertFalse(os.path.exists(PHOTOS + "/later.txt"))
        finally:
            subprocess.run(["umount", WORK_DIR], check=False)
        # Space is freed, and with it the freeze.
        os.unlink(FREEZE_FILE)
        self.assertSettles(lambda: read(PHOTOS + "/later.txt") == "later" and
                           os.path.getsize(PHOTOS + "/big.bin") == 3 << 20 if os.path.exists(PHOTOS + "/big.bin")
                           else False, "frozen share did not catch up")
        self.assertSettles(lambda: progress_rows() == {}, "catch-up did not end")
        self.assertInSync(PHOTOS, PHOTOS_VIEW)

    def test_start_over_existing_folder_and_database_reconciles(self):
        write_file(ALICE + "/stays.txt", "s")
        write_file(ALICE + "/edited.txt", "e")
        write_file(ALICE + "/deleted.txt", "d")
        write_file(ALICE + "/olddir/inside.txt", "i")
        daemon = self.start_daemon()
        self.assertInSync(ALICE, ALICE_VIEW)
        self.assertEqual(0, daemon.stop())
        # While the daemon is down.
        write_file(ALICE + "/edited.txt", "edited while down")
        os.unlink(ALICE + "/deleted.txt")
        shutil.rmtree(ALICE + "/olddir")
        write_file(ALICE + "/new/born.txt", "n")
        self.start_daemon()
        self.assertInSync(ALICE, ALICE_VIEW)
        self.assertSettles(lambda: self.server.get(ALICE_VIEW, "/edited.txt") == b"edited while down",
                           "edit not uploaded")


if __name__ == "__main__":
    unittest.main()
