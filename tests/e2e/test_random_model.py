"""The judge of the randomised runs, checked on its own: what the model says
must survive, how conflict names map back to their paths, and that a seed
always yields the same operations. A wrong judge would pass a daemon that
loses files, or fail a sound one."""

import os
import tempfile
import unittest

import randomsync
from randomsync import Generator, Model


class ConflictNameTest(unittest.TestCase):
    def test_conflict_names_map_back_to_the_path_they_came_from(self):
        cases = [
            ("/a_ADMIN_Dec-10-1312-2026_Conflict.txt", "/a.txt"),
            ("/a_ADMIN_Dec-10-1312-2026_Conflict_3.txt", "/a.txt"),
            ("/c_ADMIN_Jan-02-0005-2027_Conflict", "/c"),
            ("/d1_ADMIN_Dec-10-1312-2026_Conflict/x y_ADMIN_Dec-10-1313-2026_Conflict.txt", "/d1/x y.txt"),
            ("/n\u00e9_ADMIN_Dec-10-1312-2026_Conflict.md", "/n\u00e9.md"),
            # Not conflict names: left alone.
            ("/a_ADMIN_.txt", "/a_ADMIN_.txt"),
            ("/d1/plain.txt", "/d1/plain.txt"),
        ]
        for name, original in cases:
            with self.subTest(name=name):
                self.assertEqual(original, randomsync.original_path(name))


class ModelTest(unittest.TestCase):
    def survivors(self, steps):
        model = Model()
        for step in steps:
            if step[0] == "write":
                model.write(step[1], step[2], step[3], step[4] if len(step) > 4 else None)
            else:
                model.remove(step[1], step[2])
        return {p: sorted(d) for p, d in model.must_survive().items()}

    def test_what_must_survive(self):
        m = randomsync.md4
        cases = [
            ("newest write wins over an older one from the other side",
             [("write", "local", "/a", b"1"), ("write", "server", "/a", b"2")], {"/a": [m(b"2")]}),
            ("a removal on either side lets the path go",
             [("write", "local", "/a", b"1"), ("remove", "server", "/a")], {}),
            ("a removal of a folder lets everything below go, not its neighbours",
             [("write", "local", "/d/a", b"1"), ("write", "server", "/dd/b", b"2"), ("remove", "local", "/d")],
             {"/dd/b": [m(b"2")]}),
            ("a write after a removal must survive again",
             [("remove", "server", "/a"), ("write", "local", "/a", b"3")], {"/a": [m(b"3")]}),
            ("both halves of a collision survive",
             [("write", "local", "/a", b"L", 1), ("write", "server", "/a", b"S", 1)],
             {"/a": sorted([m(b"L"), m(b"S")])}),
            ("a collision overtaken by a later write is not required",
             [("write", "local", "/a", b"L", 1), ("write", "server", "/a", b"S", 1), ("write", "local", "/a", b"N")],
             {"/a": [m(b"N")]}),
        ]
        for what, steps, expected in cases:
            with self.subTest(what):
                self.assertEqual(expected, self.survivors(steps))

    def test_lost_finds_a_version_only_at_its_path_or_conflict_name(self):
        m = randomsync.md4
        tree = {"/a.txt": ("f", 1, m(b"S")), "/a_ADMIN_Dec-10-1312-2026_Conflict.txt": ("f", 1, m(b"L")),
                "/b.txt": ("f", 1, m(b"B"))}
        self.assertEqual([], randomsync.lost({"/a.txt": {m(b"S"), m(b"L")}}, tree))
        # The right content at the wrong path is still a loss.
        self.assertEqual(["/c.txt: md4 %s" % m(b"B")], randomsync.lost({"/c.txt": {m(b"B")}}, tree))
        # A conflict copy moved on by the user is looked for under its own name too.
        self.assertEqual([], randomsync.lost({"/a_ADMIN_Dec-10-1300-2026_Conflict.txt": {m(b"L")}}, tree))


class MovedAsideExecutor(randomsync.Executor):
    """Moves the file being written to a conflict name the moment the write
    is done, before the executor looks again, as the daemon does when a
    download or a refused upload meets a local change."""

    CONFLICT_NAME = "/a_ADMIN_Dec-11-0910-2026_Conflict.txt"

    @property
    def written(self):
        return self._written

    @written.setter
    def written(self, st):
        self._written = st
        if st is not None and os.path.exists(self.root + "/a.txt"):
            os.rename(self.root + "/a.txt", self.root + self.CONFLICT_NAME)


class ExecutorTest(unittest.TestCase):
    def test_a_write_is_judged_by_the_file_it_reached_wherever_it_went(self):
        # An overwrite in place reaches one file; had the executor looked at
        # the path again it would have found nothing there (or the daemon's
        # download), and required the old content that it had itself
        # overwritten.
        m = randomsync.md4
        for op in (["L-overwrite", "/a.txt", "new"], ["L-append", "/a.txt", "+"], ["L-truncate", "/a.txt", 3],
                   ["L-create", "/a.txt", "created"]):
            with self.subTest(op[0]), tempfile.TemporaryDirectory() as root:
                with open(root + "/a.txt", "wb") as f:
                    f.write(b"old content")
                model = Model()
                model.write("local", "/a.txt", b"old content")
                executor = MovedAsideExecutor(root, None, 1, None, model)
                executor.apply(op)
                self.assertEqual([], executor.notes)
                disk = randomsync.disk_tree(root)
                self.assertEqual([MovedAsideExecutor.CONFLICT_NAME], sorted(disk))
                self.assertEqual([], randomsync.lost(model.must_survive(), disk))
                self.assertNotIn(m(b"old content"), model.must_survive()["/a.txt"])


class PausedExecutor(randomsync.Executor):
    """Collides with a stand-in server that takes every version."""

    class Server:
        def admin(self, *args, check=True):
            return "100001\n"

    class Hooks:
        def pause(self):
            pass

        resume = pause

    def __init__(self, root, model):
        super().__init__(root, self.Server(), 1, self.Hooks(), model)


class NoChangeTest(unittest.TestCase):
    def test_a_write_that_leaves_the_content_as_it_was_is_no_version(self):
        # The local half of a collision that writes again what the file held
        # (an empty file emptied) collides with nothing: the daemon rightly
        # replaces it with the server's version. A new file is a version
        # even when empty.
        m = randomsync.md4
        cases = [
            ("an empty file emptied again", b"", ["collide", "/a.txt", "", "server"], {"/a.txt": [m(b"server")]}),
            ("a real local change, which reaches the other name too", b"old", ["collide", "/a.txt", "", "server"],
             {"/a.txt": sorted([m(b""), m(b"server")]), "/link": [m(b"")]}),
            ("the same bytes over themselves", b"same", ["L-overwrite", "/a.txt", "same"], {"/a.txt": [m(b"old")]}),
            ("a truncation to the size it had", b"same", ["L-truncate", "/a.txt", 4], {"/a.txt": [m(b"old")]}),
            ("the same content saved whole", b"same", ["L-atomic", "/a.txt", "same"], {"/a.txt": [m(b"old")]}),
            ("a new empty file", None, ["L-create", "/a.txt", ""], {"/a.txt": [m(b"")]}),
            # Nor does it reach the file's other names: one the server removed
            # meanwhile is not required back.
            ("nothing appended through another name", b"same", ["L-append", "/a.txt", ""], {"/a.txt": [m(b"old")]}),
        ]
        for what, held, op, expected in cases:
            with self.subTest(what), tempfile.TemporaryDirectory() as root:
                model = Model()
                if held is not None:
                    with open(root + "/a.txt", "wb") as f:
                        f.write(held)
                    model.write("local", "/a.txt", b"old")  # an earlier version the model knows of
                if held is not None:
                    os.link(root + "/a.txt", root + "/link")
                    model.write("local", "/link", b"old link")
                    model.remove("server", "/link")
                PausedExecutor(root, model).apply(op)
                self.assertEqual(expected, {p: sorted(d) for p, d in model.must_survive().items()})


class MovedLinkTest(unittest.TestCase):
    def test_a_write_through_a_link_supersedes_the_version_its_moved_name_held(self):
        # A write recorded under /d/b.bin; the daemon then moves /d to a
        # conflict name; a write through another name of the same file
        # replaces that version wherever the file now is.
        m = randomsync.md4
        with tempfile.TemporaryDirectory() as root:
            moved = "/d_ADMIN_Dec-11-0928-2026_Conflict"
            os.makedirs(root + moved)
            with open(root + moved + "/b.bin", "wb") as f:
                f.write(b"first")
            os.link(root + moved + "/b.bin", root + "/link")
            model = Model()
            model.write("local", "/d/b.bin", b"first")
            PausedExecutor(root, model).apply(["L-overwrite", "/link", "second"])
            survive = model.must_survive()
            self.assertEqual({m(b"second")}, survive["/d/b.bin"])
            self.assertEqual([], randomsync.lost(survive, randomsync.disk_tree(root)))


class GeneratorTest(unittest.TestCase):
    def test_a_seed_replays_the_same_operations_and_families_add_their_fault(self):
        for family, fault in [("plain", None), ("kill", "kill-daemon"), ("server_kill", "kill-server"),
                              ("overflow", "burst"), ("full_volume", "fill-volume")]:
            with self.subTest(family):
                ops = Generator(77, family).sequence(40)
                self.assertEqual(ops, Generator(77, family).sequence(40))
                faults = [op for op in ops if op[0] in ("kill-daemon", "kill-server", "burst", "fill-volume")]
                self.assertEqual([fault] if fault else [], [op[0] for op in faults])

    def test_sequences_touch_both_sides_and_collide(self):
        kinds = {op[0] for seed in range(20) for op in Generator(seed).sequence(50)}
        for kind in ("L-create", "L-rename", "L-atomic", "L-link", "L-rmr", "S-put", "S-rm", "collide", "sleep"):
            self.assertIn(kind, kinds)


if __name__ == "__main__":
    unittest.main()
