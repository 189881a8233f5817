"""Whole-daemon removal figures, run in the sandbox against tide-refsyncd:

  scripts/sandbox.sh --build build -- python3 "$TIDE_SRC/bench/removal_figures.py" [FILES] [DIRS]

`rm -r` of a synchronised tree (default 10,000 files in 500 folders): the time
until the server holds none of it and the number of remove exchanges it took
(one removal of the top folder would be the ideal).

A share catching up (default 10,000 files, set with TIDE_CATCHUP_FILES): the
files are put on the server while the share is held, then the share is let go;
the time until its catch-up ends and until every file is on the disk, beside
`rsync -a` of the same tree on the same volume.

TIDE_PERF_DIR=DIR (a folder outside the sandbox's /tmp) adds perf profiles of
the daemon and of the server during the catch-up.

A burst of server changes (default 200 files, set with TIDE_BURST_FILES): the
files are put on the server at once, which hands them out 20 per pull
(TIDE_BURST_BATCH); the time until every one is on the disk.

Run one figure with its name, e.g. `... removal_figures.py Figures.test_burst`."""

import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.environ["TIDE_SRC"], "tests", "e2e"))
import harness  # noqa: E402
import refserver  # noqa: E402
import test_removal  # noqa: E402
from harness import LOG_FILE, read  # noqa: E402
from test_removal import ALICE, ALICE_VIEW, PHOTOS, PHOTOS_VIEW, local_tree  # noqa: E402

NUMBERS = [int(a) for a in sys.argv[1:] if a.isdigit()]
FILES = NUMBERS[0] if NUMBERS else 10000
DIRS = NUMBERS[1] if len(NUMBERS) > 1 else 500


class Figures(test_removal.RemovalTest):
    settle_seconds = 1800

    def test_rm_tree(self):
        self.start_daemon()
        per_dir = FILES // DIRS
        for d in range(DIRS):
            folder = "%s/tree/d%03d" % (ALICE, d)
            os.makedirs(folder)
            for f in range(per_dir):
                with open("%s/f%d.txt" % (folder, f), "w") as out:
                    out.write("x")
        start = time.monotonic()
        self.assertSettles(lambda: len(self.server.kinds(ALICE_VIEW)) == 1 + DIRS + FILES, "upload not done")
        uploaded = time.monotonic() - start
        before = self.server.log().count(": remove view")
        start = time.monotonic()
        shutil.rmtree(ALICE + "/tree")
        self.assertSettles(lambda: self.server.kinds(ALICE_VIEW) == {}, "tree not removed on the server")
        removed = time.monotonic() - start
        log = self.server.log()
        exchanges = log.count(": remove view") - before
        refused = log.count("modified after base")
        print("\nupload of %d files in %d folders: %.1f s" % (FILES, DIRS, uploaded))
        print("rm -r: %.1f s until the server held none of it, %d remove exchanges (%d refused as modified)"
              % (removed, exchanges, refused))


    def test_catch_up(self):
        files = int(os.environ.get("TIDE_CATCHUP_FILES", "10000"))
        # Timed as both sides run by default, without a log line per file:
        # only the start-up line and the progress syncer's line that the
        # catch-up ended are needed.
        harness.write(harness.LEVEL_FILE, "client_debug=7\nprogress_syncer_debug=7\n")
        self.server.stop()
        self.server = refserver.RefServer(self.server.home, log_level=4).start()
        daemon = self.start_daemon()
        source = "/tmp/catch-up-src"
        for d in range(max(1, files // 100)):
            folder = "%s/d%04d" % (source, d)
            os.makedirs(folder)
            for f in range(min(100, files - d * 100)):
                with open("%s/f%d.txt" % (folder, f), "w") as out:
                    out.write("y")
        self.hold_share()
        self.server.admin("put", PHOTOS_VIEW, source, "/all")
        profiles = self.profile_catch_up(daemon.pid)
        start = time.monotonic()
        self.release_share()
        done = "UptoDate: Remove view_id %d from cache" % PHOTOS_VIEW
        self.assertSettles(lambda: done in read(LOG_FILE), "catch-up did not end")
        ended = time.monotonic() - start
        self.assertSettles(lambda: len(local_tree(PHOTOS)) == len(self.server.kinds(PHOTOS_VIEW)), "files not all down")
        arrived = time.monotonic() - start
        for perf in profiles:
            perf.send_signal(signal.SIGINT)
            perf.wait(120)
        start = time.monotonic()
        subprocess.run(["rsync", "-a", source + "/", "/volume1/rsync-copy/"], check=True)
        rsync_seconds = time.monotonic() - start
        shutil.rmtree("/volume1/rsync-copy")
        print("\ncatch-up of a share of %d files: ended after %.1f s, every file on disk after %.1f s; "
              "rsync -a of the tree %.2f s (ratio %.3f)" % (files, ended, arrived, rsync_seconds,
                                                            rsync_seconds / arrived))

    def profile_catch_up(self, daemon_pid):
        """With TIDE_PERF_DIR set, perf profiles of the daemon and of the
        server from the share's release until every file is down, written
        there as catch-up-daemon.data and catch-up-server.data (read them
        with perf report outside the sandbox)."""
        folder = os.environ.get("TIDE_PERF_DIR")
        if not folder:
            return []
        profiles = []
        for name, pid in (("daemon", daemon_pid), ("server", self.server.pid)):
            profiles.append(subprocess.Popen(["perf", "record", "-F", "999", "-g", "-o",
                                              os.path.join(folder, "catch-up-%s.data" % name), "-p", str(pid)],
                                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(0.5)
        return profiles

    def test_burst(self):
        files = int(os.environ.get("TIDE_BURST_FILES", "200"))
        batch = int(os.environ.get("TIDE_BURST_BATCH", "20"))
        # A server that answers a pull with at most `batch` changes: the
        # syncer meets the burst in several pulls and waits for its workers
        # between two of them.
        self.server.stop()
        subprocess.run([refserver.BINARY, "--db", self.server.db, "--store", self.server.store, "--socket",
                        refserver.SOCKET, "--log", refserver.LOG, "--pid-file", refserver.PID_FILE, "--batch",
                        str(batch)], check=True, timeout=60, stdin=subprocess.DEVNULL)
        self.server.pid = int(read(refserver.PID_FILE).strip())
        self.start_daemon()
        source = "/tmp/burst-src"
        os.makedirs(source, exist_ok=True)
        for f in range(files):
            with open("%s/f%d.txt" % (source, f), "w") as out:
                out.write("z%d" % f)
        self.assertSettles(lambda: os.path.isdir(ALICE), "home folder missing")

        def on_disk():
            try:
                return len(os.listdir(ALICE + "/burst"))
            except OSError:
                return 0

        start = time.monotonic()
        self.server.admin("put", ALICE_VIEW, source, "/burst")
        put = time.monotonic() - start
        # The syncer polls an idle server every few seconds, so the first
        # arrival is reported apart from the carrying of the burst itself.
        first = None
        count = 0
        deadline = start + self.settle_seconds
        while time.monotonic() < deadline:
            count = on_disk()
            if count and first is None:
                first = time.monotonic() - start
            if count >= files:
                break
            time.sleep(0.02)
        arrived = time.monotonic() - start
        self.assertGreaterEqual(count, files, "burst not all on the disk")
        print("\nburst of %d files put on the server (%.2f s), pulled %d at a time: first on the disk after "
              "%.2f s, all after %.2f s (%.2f s from the first)" % (files, put, batch, first, arrived, arrived - first))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + [a for a in sys.argv[1:] if not a.isdigit()], verbosity=2)
