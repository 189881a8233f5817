"""Names and kinds the server sees differently from the disk: names that
differ only by case (the server and the local database compare names without
case, the disk does not), and a synchronised file that becomes a symbolic
link or another special file (which is never synchronised)."""

import os
import sqlite3
import stat

from test_sync import ALICE, LOCAL_DB, VIEW, SyncTestCase, local, read_bytes, write_bytes
from harness import md4


def db_rows():
    """{path: (kind, hash)} of the view's rows, paths exactly as stored."""
    conn = sqlite3.connect(LOCAL_DB, timeout=30)
    try:
        rows = conn.execute("SELECT path, attribute, hash FROM node_table WHERE view_id = ?", (VIEW,)).fetchall()
    finally:
        conn.close()
    return {p: ("d" if a & 2 else "f", h) for p, a, h in rows}


def disk_files():
    """{path: bytes} of every regular file in the view."""
    files = {}
    for folder, _dirs, names in os.walk(ALICE):
        for name in names:
            path = os.path.join(folder, name)
            if stat.S_ISREG(os.lstat(path).st_mode):
                with open(path, "rb") as f:
                    files["/" + os.path.relpath(path, ALICE)] = f.read()
    return files


class SpecialFileTest(SyncTestCase):
    def test_a_file_replaced_by_a_link_or_special_file_leaves_the_server(self):
        # How each program puts the new kind in the file's place.
        def link_over(path):           # tar: the placeholder goes, the link comes
            os.unlink(path)
            os.symlink("../elsewhere/target", path)

        def link_renamed_over(path):   # ln -sf: a link under a temporary name, renamed
            os.symlink("target", path + ".new")
            os.rename(path + ".new", path)

        def fifo_over(path):
            os.unlink(path)
            os.mkfifo(path)

        cases = {"/tar-placeholder": link_over, "/d/renamed": link_renamed_over, "/fifo": fifo_over}
        files = {path: ("content of %s\n" % path).encode() for path in cases}
        files["/kept.txt"] = b"stays\n"
        for path, data in files.items():
            write_bytes(local(path), data)
        self.wait_for(lambda: self.synced(files), "every file on the server")

        for path, replace in cases.items():
            replace(local(path))
        self.wait_for(lambda: not set(cases) & set(self.server.tree(VIEW)), "the replaced files gone from the server")
        self.wait_for(lambda: not set(cases) & set(db_rows()), "the replaced files gone from the database")
        self.assertTrue(os.path.islink(local("/tar-placeholder")))
        self.assertTrue(stat.S_ISFIFO(os.lstat(local("/fifo")).st_mode))
        self.assertEqual(b"stays\n", self.server.get(VIEW, "/kept.txt"))


class CaseOnlyNamesTest(SyncTestCase):
    def test_names_that_differ_only_by_case_both_stay_synchronised(self):
        write_bytes(local("/A.txt"), b"upper\n")
        self.wait_for(lambda: self.server_has("/A.txt", b"upper\n"), "A.txt on the server")
        write_bytes(local("/a.txt"), b"lower\n")
        # a.txt cannot have a node of its own on the server: it is kept under
        # a conflict name that is itself synchronised.
        self.wait_for(lambda: self.conflict_copies("a", b"lower\n"), "a.txt kept under a conflict name")
        with open(local("/A.txt"), "ab") as f:
            f.write(b"edit\n")
        self.wait_for(lambda: self.server_has("/A.txt", b"upper\nedit\n"), "the edit of A.txt on the server")
        self.wait_for(self.agree, "disk, server and database agreeing")
        self.assertEqual(b"upper\nedit\n", read_bytes(local("/A.txt")))
        self.assertEqual(1, len(self.conflict_copies("a", b"lower\n")))
        self.assertEqual([], self.conflict_copies("A", b"upper\nedit\n"))

        # A second pair: the conflict name of the one must not meet a name
        # the folder already has, with or without case.
        write_bytes(local("/B.txt"), b"one\n")
        self.wait_for(lambda: self.server_has("/B.txt", b"one\n"), "B.txt on the server")
        write_bytes(local("/b.txt"), b"two\n")
        self.wait_for(lambda: self.conflict_copies("b", b"two\n"), "b.txt kept under a conflict name")
        write_bytes(local("/b.TXT"), b"three\n")
        self.wait_for(lambda: self.conflict_copies("b", b"three\n"), "b.TXT kept under a conflict name")
        self.wait_for(self.agree, "disk, server and database agreeing")
        names = [n.lower() for n in os.listdir(ALICE)]
        self.assertEqual(len(names), len(set(names)), sorted(os.listdir(ALICE)))

    def conflict_copies(self, stem, data):
        """Paths of conflict copies of stem*.txt on disk holding data."""
        return sorted(p for p, d in disk_files().items()
                      if p.startswith("/" + stem + "_") and "_Conflict" in p and d == data)

    def agree(self):
        disk = {p: md4(d) for p, d in disk_files().items()}
        server = {p: n[3] for p, n in self.server.tree(VIEW).items() if n[0] == "f"}
        db = {p: h for p, (k, h) in db_rows().items() if k == "f"}
        return disk == server == db


if __name__ == "__main__":
    import unittest
    unittest.main()
