"""Whole-daemon removal figures, run in the sandbox against tide-refsyncd:

  scripts/sandbox.sh --build build -- python3 "$TIDE_SRC/bench/removal_figures.py" [FILES] [DIRS]

`rm -r` of a synchronised tree (default 10,000 files in 500 folders): the time
until the server holds none of it and the number of remove exchanges it took
(one removal of the top folder would be the ideal)."""

import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.environ["TIDE_SRC"], "tests", "e2e"))
import test_removal  # noqa: E402
from test_removal import ALICE, ALICE_VIEW, REF_DIR, read, server_tree, wait_until  # noqa: E402

FILES = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
DIRS = int(sys.argv[2]) if len(sys.argv) > 2 else 500


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


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
