"""Whole-daemon removal figures, run in the sandbox against tide-refsyncd:

  scripts/sandbox.sh --build build -- python3 "$TIDE_SRC/bench/removal_figures.py" [FILES] [DIRS]

`rm -r` of a synchronised tree (default 10,000 files in 500 folders): the time
until the server holds none of it and the number of remove exchanges it took
(one removal of the top folder would be the ideal).

A share catching up (default 10,000 files, set with TIDE_CATCHUP_FILES): the
files are put on the server while the share is held, then the share is let go;
the time until its catch-up ends and until every file is on the disk."""

import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.environ["TIDE_SRC"], "tests", "e2e"))
import test_removal  # noqa: E402
from test_removal import (ALICE, ALICE_VIEW, LOG_FILE, PHOTOS, PHOTOS_VIEW, REF_DIR, local_tree, read, ref,  # noqa: E402
                          server_tree)

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
        self.assertSettles(lambda: len(server_tree(ALICE_VIEW)) == 1 + DIRS + FILES, "upload not done")
        uploaded = time.monotonic() - start
        before = read(REF_DIR + "/refsyncd.log").count(": remove view")
        start = time.monotonic()
        shutil.rmtree(ALICE + "/tree")
        self.assertSettles(lambda: server_tree(ALICE_VIEW) == {}, "tree not removed on the server")
        removed = time.monotonic() - start
        log = read(REF_DIR + "/refsyncd.log")
        exchanges = log.count(": remove view") - before
        refused = log.count("modified after base")
        print("\nupload of %d files in %d folders: %.1f s" % (FILES, DIRS, uploaded))
        print("rm -r: %.1f s until the server held none of it, %d remove exchanges (%d refused as modified)"
              % (removed, exchanges, refused))


    def test_catch_up(self):
        files = int(os.environ.get("TIDE_CATCHUP_FILES", "10000"))
        self.start_daemon()
        source = "/tmp/catch-up-src"
        for d in range(max(1, files // 100)):
            folder = "%s/d%04d" % (source, d)
            os.makedirs(folder)
            for f in range(min(100, files - d * 100)):
                with open("%s/f%d.txt" % (folder, f), "w") as out:
                    out.write("y")
        self.hold_share()
        ref("put", PHOTOS_VIEW, source, "/all")
        start = time.monotonic()
        self.release_share()
        done = "UptoDate: Remove view_id %d from cache" % PHOTOS_VIEW
        self.assertSettles(lambda: done in read(LOG_FILE), "catch-up did not end")
        ended = time.monotonic() - start
        self.assertSettles(lambda: len(local_tree(PHOTOS)) == len(server_tree(PHOTOS_VIEW)), "files not all down")
        arrived = time.monotonic() - start
        print("\ncatch-up of a share of %d files: ended after %.1f s, every file on disk after %.1f s"
              % (files, ended, arrived))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + [a for a in sys.argv[1:] if not a.isdigit()], verbosity=2)
