"""Randomised two-sided runs of the daemon: a seeded generator of operations on
the disk and on the server, an executor that applies them and records what it
really wrote, a model of what must survive, and the checks made once
everything has settled.

The generator keeps its own idea of which paths exist, fed only by its own
operations, so a seed always yields the same sequence whatever the daemon did
in between; the executor then skips an operation whose target is not there.
What must survive is judged from what the executor observed, never from what
the generator intended."""

import json
import os
import random
import re
import shutil
import subprocess
import time

import harness
from harness import md4

ROOT_DIRS = ["d1", "d2", "d1/e", "d2/f/g"]
FILE_NAMES = ["a.txt", "b.bin", "c", "x y.txt", "n\u00e9.md"]
# Atomic saves write here first; the filter keeps the extension out of
# synchronisation, as editors' temporary names usually are.
TEMP_SUFFIX = ".part"
# A conflict copy: stem + "_ADMIN_<Mon-DD-HHMM-YYYY>_<reason>" [+ "_N"] + extension.
CONFLICT = re.compile(r"^(.*?)_ADMIN_[A-Za-z]{3}-\d{2}-\d{4}-\d{4}_[A-Za-z]+(?:_\d+)?(\.[^./]*)?$")
# Names the daemon never synchronises (its own companions and filtered names).
IGNORED = re.compile(r"(^|/)(@eaDir|@tmp|tide-clientd\.tmp\.dir)(/|$)|\.(tmp|part)$")


def original_path(path):
    """The path a file had before conflict renames of it or of its folders."""
    parts = []
    for name in path.split("/"):
        match = CONFLICT.match(name)
        parts.append(match.group(1) + (match.group(2) or "") if match else name)
    return "/".join(parts)


def under(path, top):
    return path == top or path.startswith(top + "/")


# ---------------------------------------------------------------- generator

class Generator:
    """Seeded operation sequences. Operations are plain lists, printable as
    JSON, so a failing run can show exactly what it did."""

    LOCAL_WEIGHTS = [("create", 6), ("overwrite", 4), ("append", 3), ("truncate", 2), ("delete", 3),
                     ("rename", 3), ("move_dir", 1), ("atomic", 3), ("link", 2), ("touch", 2),
                     ("mkdirp", 2), ("rmr", 1)]
    SERVER_WEIGHTS = [("put", 6), ("mkdir", 1), ("rm", 2)]

    def __init__(self, seed, family="plain"):
        self.rng = random.Random(seed)
        self.family = family
        # The generator's own idea of the tree, fed by its own operations.
        self.files = set()
        self.dirs = set()

    def data(self):
        r = self.rng.random()
        size = 0 if r < 0.05 else self.rng.randint(1, 200) if r < 0.6 else \
            self.rng.randint(200, 20000) if r < 0.95 else self.rng.randint(100000, 400000)
        return self.rng.randbytes(size // 2 + 1).hex()[:size]

    def new_path(self):
        folder = self.rng.choice([""] * 3 + ROOT_DIRS)
        return "/" + (folder + "/" if folder else "") + self.rng.choice(FILE_NAMES)

    def some_file(self):
        return self.rng.choice(sorted(self.files)) if self.files and self.rng.random() < 0.85 else self.new_path()

    def some_dir(self):
        return self.rng.choice(sorted(self.dirs)) if self.dirs else "/" + self.rng.choice(ROOT_DIRS)

    def _created(self, path):
        self.files.add(path)
        parent = os.path.dirname(path)
        while parent != "/":
            self.dirs.add(parent)
            parent = os.path.dirname(parent)

    def _removed(self, top):
        self.files = {p for p in self.files if not under(p, top)}
        self.dirs = {p for p in self.dirs if not under(p, top)}

    def _pick(self, weights):
        total = sum(w for _, w in weights)
        x = self.rng.uniform(0, total)
        for name, weight in weights:
            x -= weight
            if x <= 0:
                return name
        return weights[-1][0]

    def local_op(self):
        kind = self._pick(self.LOCAL_WEIGHTS)
        if kind in ("create", "overwrite", "append", "atomic"):
            path = self.new_path() if kind == "create" else self.some_file()
            self._created(path)
            return ["L-" + kind, path, self.data()]
        if kind == "truncate":
            path = self.some_file()
            return ["L-truncate", path, self.rng.randint(0, 100)]
        if kind == "delete":
            path = self.some_file()
            self._removed(path)
            return ["L-delete", path]
        if kind == "rename":
            src, dst = self.some_file(), self.new_path()
            self._removed(src)
            self._created(dst)
            return ["L-rename", src, dst]
        if kind == "move_dir":
            src = self.some_dir()
            dst = "/" + self.rng.choice(["m1", "m2", "d1/m3"])
            moved = {dst + p[len(src):] for p in self.files if under(p, src)}
            self._removed(src)
            for p in moved:
                self._created(p)
            return ["L-move", src, dst]
        if kind == "link":
            src, dst = self.some_file(), self.new_path()
            self._created(dst)
            return ["L-link", src, dst]
        if kind == "touch":
            return ["L-touch", self.some_file()]
        if kind == "mkdirp":
            path = "/" + self.rng.choice(ROOT_DIRS) + "/" + self.rng.choice(["p", "q/r"])
            self.dirs.add(path)
            return ["L-mkdirp", path]
        path = self.some_dir()
        self._removed(path)
        return ["L-rmr", path]

    def server_op(self):
        kind = self._pick(self.SERVER_WEIGHTS)
        if kind == "put":
            path = self.some_file() if self.rng.random() < 0.6 else self.new_path()
            self._created(path)
            return ["S-put", path, self.data()]
        if kind == "mkdir":
            path = "/" + self.rng.choice(ROOT_DIRS) + "/s"
            self.dirs.add(path)
            return ["S-mkdir", path]
        path = self.some_file() if self.rng.random() < 0.7 else self.some_dir()
        self._removed(path)
        return ["S-rm", path]

    def _fill_path(self):
        path = self.new_path()
        self._created(path)
        return path

    def sequence(self, count):
        ops = []
        fault_at = self.rng.randint(count // 4, max(count // 4, count - 3)) if count else 0
        for i in range(count):
            if i == fault_at and self.family in ("kill", "server_kill", "overflow", "full_volume"):
                ops.append({"kill": ["kill-daemon"], "server_kill": ["kill-server"],
                            "overflow": ["burst", "/" + self.rng.choice(["burst", "d1/burst"]),
                                         self.rng.randint(300, 600)],
                            "full_volume": ["fill-volume", [[self._fill_path(), self.rng.randint(2, 4) << 20,
                                                             self.rng.randrange(1 << 30)]
                                                            for _ in range(self.rng.randint(2, 3))]]}[self.family])
                continue
            r = self.rng.random()
            if r < 0.08:
                path = self.some_file()
                self._created(path)
                ops.append(["collide", path, self.data(), self.data()])
            elif r < 0.6:
                ops.append(self.local_op())
            else:
                ops.append(self.server_op())
            if self.rng.random() < 0.35:
                ops.append(["sleep", round(self.rng.choice([0.05, 0.2, 0.5, 1.0, 2.5]) * self.rng.random(), 2)])
        return ops


# ---------------------------------------------------------------- model

class Model:
    """What each operation really did: writes with the MD4 of the content
    read back, and removals of whole paths, in the order they happened."""

    def __init__(self):
        self.records = []  # (seq, kind, side, path, digest, group)

    def write(self, side, path, data, group=None):
        self.records.append((len(self.records), "write", side, path, md4(data), group))

    def remove(self, side, path):
        self.records.append((len(self.records), "remove", side, path, None, None))

    def must_survive(self):
        """{path: set of MD4} that must be found at the path or under a
        conflict name of it. Only the newest write to a path counts (an older
        one may have been replaced by a later version in order), unless the
        two came together from both sides while the daemon was paused: then
        neither saw the other and both are kept. A later removal of the path
        or a folder above it, on either side, lets it go."""
        last = {}
        for record in self.records:
            seq, kind, _side, path, _digest, _group = record
            if kind == "write":
                last[path] = record
            else:
                for p in [p for p in last if under(p, path)]:
                    del last[p]
        survive = {}
        for path, record in last.items():
            digests = {record[4]}
            if record[5] is not None:
                digests |= {r[4] for r in self.records if r[5] == record[5] and r[3] == path}
            survive[path] = digests
        return survive


# ---------------------------------------------------------------- trees

def inodes(root):
    """{relative path: inode number} of the files of the view on the disk."""
    found = {}
    for folder, _dirs, names in os.walk(root):
        for name in names:
            try:
                found[os.path.join(folder, name)[len(root):]] = os.stat(os.path.join(folder, name)).st_ino
            except OSError:
                pass
    return found


def disk_tree(root):
    """{relative path: ("d",) | ("f", size, md4)} of the view on the disk."""
    tree = {}
    for folder, dirs, names in os.walk(root):
        rel = folder[len(root):]
        dirs[:] = [d for d in dirs if not IGNORED.search(rel + "/" + d)]
        for d in dirs:
            tree[rel + "/" + d] = ("d",)
        for name in names:
            path = rel + "/" + name
            if IGNORED.search(path):
                continue
            try:
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
            except OSError:
                continue
            tree[path] = ("f", len(data), md4(data))
    return tree


def server_tree(server, view):
    return {p: ("d",) if n[0] == "d" else ("f", n[2], n[3]) for p, n in server.tree(view).items() if p != "/"}


def db_tree(db_path, view):
    return harness.LocalDb(db_path).tree(view)


def db_check(db_path):
    return harness.LocalDb(db_path).integrity()


def db_views(db_path):
    return harness.LocalDb(db_path).view_ids()


# The reference server's own download copies: it keeps each until the
# worker that asked for it comes back or the connection ends, so an idle
# daemon legitimately leaves the last one of each worker in place.
SERVER_COPY_PREFIX = "refsyncd-"


def temporary_files(view_root, temp_dirs):
    """The daemon's files left in the temporary folders, or temporary names
    in the view."""
    left = []
    for top in temp_dirs:
        for folder, _dirs, names in os.walk(top):
            left += [os.path.join(folder, n) for n in names if not n.startswith(SERVER_COPY_PREFIX)]
    for folder, _dirs, names in os.walk(view_root):
        left += [os.path.join(folder, n) for n in names if n.endswith(TEMP_SUFFIX) or n.endswith(".tmp")]
        if os.path.basename(folder) == "tide-clientd.tmp.dir":
            left.append(folder)
    return left


def differences(a, b, names=("disk", "server"), tolerated=()):
    out = []
    for path in sorted(set(a) | set(b)):
        if a.get(path) != b.get(path) and path not in tolerated:
            out.append("%s: %s %s, %s %s" % (path, names[0], a.get(path), names[1], b.get(path)))
    return out


def lost(survive, tree):
    """Versions of `survive` found neither at their path nor under a
    conflict name of it."""
    found = {}
    for path, node in tree.items():
        if node[0] == "f":
            found.setdefault(original_path(path), set()).add(node[2])
    # A version may itself sit under a conflict name when an operation
    # moved the daemon's conflict copy along with its folder.
    return ["%s: md4 %s" % (p, d) for p, digests in sorted(survive.items())
            for d in sorted(digests) if d not in found.get(original_path(p), set())]


def dump_ops(ops):
    """One line per operation, long contents shortened."""
    lines = []
    for i, op in enumerate(ops):
        shown = [a if not (isinstance(a, str) and len(a) > 40) else "<%d bytes>" % len(a) for a in op]
        lines.append("%4d %s" % (i, json.dumps(shown, ensure_ascii=False)))
    return "\n".join(lines)


# ---------------------------------------------------------------- executor

class Executor:
    """Applies operations to the view on the disk and to the server, and
    records in the model what really happened. `hooks` carries what only
    the test case can do: pause/resume the daemon, kill and restart the
    daemon or the server, fill the volume."""

    def __init__(self, root, server, view, hooks, model):
        self.root = root
        self.server = server
        self.view = view
        self.hooks = hooks
        self.model = model
        self.collisions = 0
        self.notes = []
        self.unseen_inodes = set()
        self.unseen_paths = set()
        self.written = None   # os.stat of the file the last local write reached

    def local(self, path):
        return self.root + path

    def _record_tree(self, top):
        """Records every file now under the local path `top` as written."""
        full = self.local(top)
        if os.path.isfile(full):
            self._record_file(top)
            return
        for folder, _dirs, names in os.walk(full):
            for name in names:
                self._record_file(os.path.join(folder, name)[len(self.root):])

    def _record_file(self, path, group=None, recorded_as=None):
        if IGNORED.search(path):
            return
        try:
            with open(self.local(path), "rb") as f:
                self.model.write("local", recorded_as or path, f.read(), group)
        except OSError:
            pass

    def _record_links(self, path):
        """An in-place write reaches every hard link of the file, but change
        notification names only the path written: the other names change
        unseen until a full rescan. Their inode is kept so the checks can
        tell that known gap from a real fault."""
        # The inode written, not the one at the path now: the daemon may
        # already have moved the written file aside (a conflict) and put
        # another in its place.
        st = self.written
        if st is None or st.st_nlink < 2:
            return
        self.unseen_inodes.add(st.st_ino)
        # The other names hold the new content too: locally it is their
        # newest version, whatever the server may know of it.
        for folder, _dirs, names in os.walk(self.root):
            for name in names:
                full = os.path.join(folder, name)
                try:
                    same = os.stat(full).st_ino == st.st_ino
                except OSError:
                    continue
                if same and full != self.local(path):
                    name = full[len(self.root):]
                    self.unseen_paths.add(name)
                    self._record_file(name)
                    # The daemon may have moved that name to a conflict name
                    # since an earlier write was recorded under the name it
                    # had: the file holding that write now holds this one.
                    if original_path(name) != name:
                        self.unseen_paths.add(original_path(name))
                        self._record_file(name, recorded_as=original_path(name))

    def _write(self, path, data, how, group=None):
        """Writes `data` through one open file: "create" replaces the
        content (making the file when missing), "append" adds to it (making
        it too), "overwrite" writes over the start and cuts the file there.
        What the written file then holds is read back through the same
        descriptor, not the path: the daemon may move the file to a conflict
        name, or put a download in its place, between the open and a second
        look at the path, and what the write reached must survive wherever
        the file went. A write that leaves an existing file's content as it
        was is no version of its own: the daemon rightly sees nothing to
        keep."""
        full = self.local(path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        try:
            fd = os.open(full, os.O_RDWR)
            before = None
        except FileNotFoundError:
            if how == "overwrite":
                raise
            fd = os.open(full, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
            before = b""
        try:
            if before is None:
                before = os.pread(fd, os.fstat(fd).st_size, 0)
                existed = True
            else:
                existed = False
            if how == "create":
                os.ftruncate(fd, 0)
                offset = 0
            elif how == "append":
                offset = os.fstat(fd).st_size
            else:
                offset = 0
            view = memoryview(data)
            while view:
                done = os.pwrite(fd, view, offset)
                view, offset = view[done:], offset + done
            if how == "overwrite":
                os.ftruncate(fd, len(data))
            self.written = os.fstat(fd)
            content = os.pread(fd, self.written.st_size, 0)
        finally:
            os.close(fd)
        changed = not (existed and content == before)
        if changed and not IGNORED.search(path):
            self.model.write("local", path, content, group)
        return changed

    def _server_put(self, path, data, group=None):
        source = "/tmp/random-put"
        with open(source, "wb") as f:
            f.write(data)
        result = self.server.admin("put", self.view, source, path, check=False)
        if result.strip():
            self.model.write("server", path, data, group)
        else:
            self.notes.append("server put %s refused" % path)

    def apply(self, op):
        """Applies one operation; a missing target or a refusal is noted and
        skipped (the other side may have moved it first)."""
        try:
            self._apply(op)
        except (OSError, shutil.Error) as error:
            self.notes.append("%s: %s" % (op[0], error))

    def _apply(self, op):
        kind, args = op[0], op[1:]
        if kind == "sleep":
            time.sleep(args[0])
        elif kind == "L-create" or kind == "L-overwrite":
            path, data = args[0], args[1].encode()
            full = self.local(path)
            if os.path.isdir(full):
                return
            # An overwrite in place, as an editor saving without a
            # temporary file does it: open, write, ftruncate, close.
            overwrite = kind == "L-overwrite" and os.path.isfile(full)
            if self._write(path, data, "overwrite" if overwrite else "create"):
                self._record_links(path)
        elif kind == "L-append":
            if os.path.isfile(self.local(args[0])):
                if self._write(args[0], args[1].encode(), "append"):
                    self._record_links(args[0])
        elif kind == "L-truncate":
            # As the shell's tool does it: open, ftruncate, close.
            if os.path.isfile(self.local(args[0])):
                with open(self.local(args[0]), "r+b") as f:
                    before = os.pread(f.fileno(), os.fstat(f.fileno()).st_size, 0)
                    f.truncate(args[1])
                    self.written = os.fstat(f.fileno())
                    content = os.pread(f.fileno(), self.written.st_size, 0)
                if content != before:
                    self.model.write("local", args[0], content)
                    self._record_links(args[0])
        elif kind == "L-atomic":
            path, data = args[0], args[1].encode()
            if os.path.isdir(self.local(path)):
                return
            try:
                with open(self.local(path), "rb") as f:
                    before = f.read()
            except OSError:
                before = None
            self._write(path + TEMP_SUFFIX, data, "create")
            os.rename(self.local(path + TEMP_SUFFIX), self.local(path))
            # What was renamed into place, wherever the daemon moves it
            # next; the same content again is no version of its own.
            if data != before:
                self.model.write("local", path, data)
        elif kind == "L-delete":
            if os.path.isfile(self.local(args[0])):
                os.unlink(self.local(args[0]))
                self.model.remove("local", args[0])
        elif kind in ("L-rename", "L-move"):
            src, dst = args
            if not os.path.exists(self.local(src)) or under(dst, src) or os.path.exists(self.local(dst)):
                return
            os.makedirs(os.path.dirname(self.local(dst)), exist_ok=True)
            os.rename(self.local(src), self.local(dst))
            self.model.remove("local", src)
            self._record_tree(dst)
        elif kind == "L-link":
            src, dst = args
            if os.path.isfile(self.local(src)) and not os.path.exists(self.local(dst)):
                os.makedirs(os.path.dirname(self.local(dst)), exist_ok=True)
                os.link(self.local(src), self.local(dst))
                self._record_file(dst)
        elif kind == "L-touch":
            if os.path.exists(self.local(args[0])):
                os.utime(self.local(args[0]))
        elif kind == "L-mkdirp":
            os.makedirs(self.local(args[0]), exist_ok=True)
        elif kind == "L-rmr":
            if os.path.isdir(self.local(args[0])):
                # A download landing inside while it runs can make the last
                # rmdir fail; what was there is gone all the same.
                try:
                    shutil.rmtree(self.local(args[0]))
                finally:
                    self.model.remove("local", args[0])
        elif kind == "S-put":
            self._server_put(args[0], args[1].encode())
        elif kind == "S-mkdir":
            self.server.admin("mkdir", self.view, args[0], check=False)
        elif kind == "S-rm":
            out = self.server.admin("rm", self.view, args[0], check=False)
            if out.startswith("removed") and out.split()[1] != "0":
                self.model.remove("server", args[0])
        elif kind == "collide":
            # Neither side sees the other's version before both are written.
            path, local_data, server_data = args[0], args[1].encode(), args[2].encode()
            if os.path.isdir(self.local(path)):
                return
            self.collisions += 1
            self.hooks.pause()
            try:
                if self._write(path, local_data, "create", group=self.collisions):
                    self._record_links(path)
                self._server_put(path, server_data, group=self.collisions)
            finally:
                self.hooks.resume()
        elif kind == "burst":
            folder, count = args
            for i in range(count):
                data = ("burst %d of %s\n" % (i, folder)).encode()
                self._write("%s/f%04d" % (folder, i), data, "create")
        elif kind == "kill-daemon":
            self.hooks.kill_daemon()
        elif kind == "kill-server":
            self.hooks.kill_server()
        elif kind == "fill-volume":
            # Big server files arrive on a volume with too little room left:
            # the view freezes until space is freed, then catches up.
            self.hooks.fill_volume()
            try:
                for path, size, data_seed in args[0]:
                    self._server_put(path, random.Random(data_seed).randbytes(size))
                self.hooks.wait_frozen()
            finally:
                self.hooks.free_volume()
        else:
            raise ValueError("unknown operation %r" % (kind,))


def run_quiet(args):
    return subprocess.run(args, capture_output=True, text=True, timeout=60)
