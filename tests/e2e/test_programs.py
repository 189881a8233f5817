"""Real programs at work in a view, against the reference server: copying a
system tree and removing half of it, tar with links, rsync twice, in-place
editors, git, make, a pair of names that differ only by case, and a server
stopped in the middle of an upload. After each program the test waits until
both sides are still, then checks that the disk, the server and the local
database agree (paths, kinds, MD4), that what the program left is there, that
no temporary file of the daemon is left and that no ERROR line was logged.

Checks that still fail for a known fault are marked in KNOWN with the fault
they wait for: such a check is reported, not failed; once it passes the test
says so, and the mark is to be dropped."""

import os
import shutil
import signal
import stat
import subprocess
import sys
import time

import harness
import randomsync
import test_sync
from harness import wait_until
from harness import md4
from test_sync import ALICE, LOCAL_DB, VIEW, SyncTestCase, local, read_bytes, write_bytes

SETTLE_BOUND = 600     # generous bound for both sides to go still
STILL_POLLS = 3        # unchanged polls with everything agreeing
STUCK_POLLS = 30       # unchanged polls without agreement: judge anyway
WORK = "/tmp/programs-work"   # sources and archives, outside the view
SYSTEM_TREE = "/usr/include/linux"

# What the filter keeps out of synchronisation (the sandbox's filter file).
BLACK_CHARS = set('\\/:*?"<>|')
BLACK_NAMES = {"thumbs.db", "desktop.ini", ".ds_store", "@eadir", "#recycle", "@tmp", "tide-clientd.tmp.dir"}
BLACK_EXTS = (".tmp", ".part")

# check ("agree" or "errors") -> {program: the fault it waits for}. Empty:
# every check holds for every program.
KNOWN = {}


def filtered(path):
    name = path.rsplit("/", 1)[-1]
    return (BLACK_CHARS & set(name) or name.lower() in BLACK_NAMES or name.lower().endswith(BLACK_EXTS)
            or name.startswith(("~$", ".~lock.")) or len(name.encode()) > 255)


def disk_tree(root=ALICE):
    """{path: ("d",) | ("f", size, md4)} of the regular files and folders
    the filter lets through; links and special files are never synchronised."""
    tree = {}
    for folder, dirs, names in os.walk(root):
        rel = folder[len(root):]
        kept = []
        for d in dirs:
            path = rel + "/" + d
            if filtered(path) or os.path.islink(os.path.join(folder, d)):
                continue
            kept.append(d)
            tree[path] = ("d",)
        dirs[:] = kept
        for name in names:
            path = rel + "/" + name
            full = os.path.join(folder, name)
            try:
                if filtered(path) or not stat.S_ISREG(os.lstat(full).st_mode):
                    continue
                with open(full, "rb") as f:
                    data = f.read()
            except OSError:
                continue
            tree[path] = ("f", len(data), md4(data))
    return tree


def run(args, cwd=None, **kwargs):
    return subprocess.run(args, cwd=cwd, check=True, capture_output=True, timeout=600, **kwargs)


class ProgramsTest(SyncTestCase):
    def setUp(self):
        # The upload's own steps (DEBUG) show when its request goes out.
        levels, test_sync.LEVELS = test_sync.LEVELS, test_sync.LEVELS.replace("worker_debug=6", "worker_debug=7")
        try:
            super().setUp()
        finally:
            test_sync.LEVELS = levels
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
        self.log_start = 0
        self.known_seen = []

    # ------------------------------------------------------------ checks

    def log_since_start(self):
        return harness.read(harness.LOG_FILE)[self.log_start:]

    def begin(self):
        """Marks where the program's log lines begin."""
        self.log_start = len(harness.read(harness.LOG_FILE))
        self.started = time.monotonic()

    def settle(self):
        """Polls until the disk, the server and the database agree and stay
        still; returns the last snapshot."""
        last, same = None, 0
        deadline = time.monotonic() + SETTLE_BOUND
        while time.monotonic() < deadline:
            time.sleep(1)
            now = (disk_tree(), randomsync.server_tree(self.server, VIEW), randomsync.db_tree(LOCAL_DB, VIEW))
            same = same + 1 if now == last else 0
            last = now
            if (now[0] == now[1] == now[2] and same >= STILL_POLLS) or same >= STUCK_POLLS:
                break
        return last

    def judge(self, program, check, problems):
        reason = KNOWN.get(check, {}).get(program)
        if problems and reason:
            self.known_seen.append("%s/%s: %s" % (program, check, reason))
            print("\n%s: %s fails as known (%s):\n  %s" % (program, check, reason, "\n  ".join(problems[:20])),
                  file=sys.stderr)
            return []
        if reason:
            print("\n%s: %s passes now: drop its mark (%s)" % (program, check, reason), file=sys.stderr)
        return problems

    def check_after(self, program, expected=None):
        """Waits for stillness, then the checks every program must pass.
        expected: {path: bytes} the program left that must be found."""
        disk, server, db = self.settle()
        settled = time.monotonic() - self.started
        problems = []
        agree = ["disk/server " + d for d in randomsync.differences(disk, server)]
        agree += ["disk/database " + d for d in randomsync.differences(disk, db, ("disk", "database"))]
        problems += self.judge(program, "agree", agree)
        for path, data in (expected or {}).items():
            if disk.get(path) != ("f", len(data), md4(data)):
                problems.append("lost: %s (disk %s)" % (path, disk.get(path)))
        left = randomsync.temporary_files(ALICE, ["/volume1/@tmp"])
        if left:
            problems.append("temporary files left: %s" % left[:10])
        integrity = randomsync.db_check(LOCAL_DB)
        if integrity != "ok":
            problems.append("database integrity: " + integrity)
        errors = [l for l in self.log_since_start().splitlines() if "[ERROR]" in l or "[CRIT]" in l]
        problems += self.judge(program, "errors", ["%d ERROR/CRIT lines, first: %s" % (len(errors), errors[0])]
                               if errors else [])
        print("\n%s: settled in %.0fs, %d paths, %d differences, %d ERROR lines" % (
            program, settled, len(disk), len(agree), len(errors)), file=sys.stderr)
        if problems:
            print("whole logs: " + harness.keep_logs("program-failures", program, self.server.log()), file=sys.stderr)
        self.assertEqual([], problems, program)

    # ------------------------------------------------------------ programs

    def test_cp_a_of_a_system_tree_then_rm_rf_of_half(self):
        if not os.path.isdir(SYSTEM_TREE):
            self.skipTest(SYSTEM_TREE + " is missing")
        self.begin()
        run(["cp", "-a", SYSTEM_TREE, local("/include")])
        self.check_after("cp")
        self.begin()
        folders = sorted(d for d in os.listdir(local("/include")) if os.path.isdir(local("/include/" + d)))
        files = sorted(f for f in os.listdir(local("/include")) if not os.path.isdir(local("/include/" + f)))
        run(["rm", "-rf"] + [local("/include/" + n) for n in folders[::2] + files[::2]])
        self.check_after("rm")

    def test_tar_with_symbolic_and_hard_links(self):
        src = WORK + "/src"
        write_bytes(src + "/pkg/lib/data.bin", os.urandom(200 * 1024))
        write_bytes(src + "/pkg/doc/readme.txt", b"read me\n")
        os.link(src + "/pkg/doc/readme.txt", src + "/pkg/doc/README")
        os.symlink("../lib/data.bin", src + "/pkg/doc/data-link")   # a target with ".."
        os.symlink("readme.txt", src + "/pkg/doc/plain-link")
        run(["tar", "-cf", WORK + "/pkg.tar", "-C", src, "pkg"])
        self.begin()
        run(["tar", "-xf", WORK + "/pkg.tar", "-C", ALICE])
        self.check_after("tar", {"/pkg/doc/README": b"read me\n", "/pkg/doc/readme.txt": b"read me\n"})
        self.assertTrue(os.path.islink(local("/pkg/doc/data-link")))

    def test_rsync_twice(self):
        src = WORK + "/rs/"
        for i in range(40):
            write_bytes(src + "d%d/f%02d.txt" % (i % 4, i), ("file %d\n" % i).encode() * (i + 1))
        self.begin()
        run(["rsync", "-a", src, local("/rs/")])
        self.check_after("rsync")
        for i in range(0, 40, 3):
            write_bytes(src + "d%d/f%02d.txt" % (i % 4, i), ("changed %d\n" % i).encode())
        os.unlink(src + "d1/f01.txt")
        self.begin()
        run(["rsync", "-a", "--delete", src, local("/rs/")])
        self.check_after("rsync", {"/rs/d0/f00.txt": b"changed 0\n"})

    def test_sed_i_os_replace_and_vim(self):
        files = {"/ed/f%02d.txt" % i: ("line %d alpha\n" % i).encode() * 5 for i in range(50)}
        for path, data in files.items():
            write_bytes(local(path), data)
        self.begin()
        self.check_after("write", files)
        self.begin()
        run(["sed", "-i", "s/alpha/beta/"] + [local(p) for p in sorted(files)])
        tmp = local("/ed/replaced.txt.new")
        write_bytes(tmp, b"written aside, then moved in place\n")
        os.replace(tmp, local("/ed/f00.txt"))
        run(["vim", "-u", "NONE", "-N", "-es", "-c", "%s/beta/gamma/", "-c", "wq", local("/ed/f01.txt")])
        expected = {p: d.replace(b"alpha", b"beta") for p, d in files.items()}
        expected["/ed/f00.txt"] = b"written aside, then moved in place\n"
        expected["/ed/f01.txt"] = files["/ed/f01.txt"].replace(b"alpha", b"gamma")
        self.check_after("editors", expected)

    def test_git_commit_branch_checkout_and_gc(self):
        repo = local("/repo")
        os.makedirs(repo)
        git = ["git", "-c", "user.name=T", "-c", "user.email=t@example.invalid", "-c", "init.defaultBranch=main"]
        self.begin()
        run(git + ["init", "-q"], cwd=repo)
        for i in range(20):
            write_bytes(repo + "/src/m%02d.c" % i, ("int m%d(void) { return %d; }\n" % (i, i)).encode())
        run(git + ["add", "-A"], cwd=repo)
        run(git + ["commit", "-q", "-m", "first"], cwd=repo)
        run(git + ["checkout", "-q", "-b", "topic"], cwd=repo)
        for i in range(0, 20, 2):
            write_bytes(repo + "/src/m%02d.c" % i, ("int m%d(void) { return -%d; }\n" % (i, i)).encode())
        write_bytes(repo + "/src/new.c", b"int fresh;\n")
        run(git + ["commit", "-q", "-am", "topic work"], cwd=repo)
        run(git + ["add", "-A"], cwd=repo)
        run(git + ["commit", "-q", "-m", "new file"], cwd=repo)
        for branch in ("main", "topic", "main"):
            run(git + ["checkout", "-q", branch], cwd=repo)
        run(git + ["gc", "-q"], cwd=repo)
        self.check_after("git", {"/repo/src/m00.c": b"int m0(void) { return 0; }\n"})
        self.assertFalse(os.path.exists(repo + "/src/new.c"))

    def test_make_and_make_clean(self):
        proj = local("/proj")
        for i in range(8):
            write_bytes(proj + "/p%d.c" % i, ("int p%d(void) { return %d; }\n" % (i, i)).encode())
        write_bytes(proj + "/main.c", b"int main(void) { return 0; }\n")
        objects = " ".join("p%d.o" % i for i in range(8))
        write_bytes(proj + "/Makefile", ("prog: main.o %s\n\tcc -o $@ $^\n\nclean:\n\trm -f prog *.o\n" % objects).encode())
        self.begin()
        run(["make", "-s", "-j2"], cwd=proj)
        self.check_after("make")
        self.begin()
        run(["make", "-s", "clean"], cwd=proj)
        self.check_after("make", {"/proj/main.c": b"int main(void) { return 0; }\n"})

    def test_a_pair_of_names_that_differ_only_by_case(self):
        self.begin()
        write_bytes(local("/A.txt"), b"upper\n")
        self.check_after("case")
        self.begin()
        write_bytes(local("/a.txt"), b"lower\n")
        self.check_after("case")
        self.begin()
        with open(local("/A.txt"), "ab") as f:
            f.write(b"edit\n")
        self.check_after("case", {"/A.txt": b"upper\nedit\n"})
        copies = [n for n in os.listdir(ALICE) if n.startswith("a_") and read_bytes(local("/" + n)) == b"lower\n"]
        self.assertEqual(1, len(copies), os.listdir(ALICE))

    def test_a_server_stopped_in_the_middle_of_an_upload(self):
        size = 128 * 1024 * 1024
        write_bytes(WORK + "/video", os.urandom(1024 * 1024) * (size // (1024 * 1024)))
        data_md4 = md4(read_bytes(WORK + "/video"))
        self.begin()
        shutil.copyfile(WORK + "/video", local("/video.incoming"))
        uploading = "uploading '%s' start" % local("/video.incoming")
        self.assertTrue(wait_until(lambda: uploading in self.log_since_start(), 300, interval=0.01))
        # Once the daemon has its copy and checksum, the request goes out.
        sending = "upload: %s (with request" % local("/video.incoming")
        self.assertTrue(wait_until(lambda: sending in self.log_since_start(), 300, interval=0.005))
        # Let the request reach the server, which then works on the copy.
        time.sleep(0.1)
        os.kill(self.server.pid, signal.SIGSTOP)
        try:
            time.sleep(2.5)
            os.rename(local("/video.incoming"), local("/video.mp4"))
        finally:
            os.kill(self.server.pid, signal.SIGCONT)
        self.check_after("server_stopped")
        self.assertEqual(("f", size, data_md4), disk_tree().get("/video.mp4"))
        back = ["the old name came back"] if os.path.exists(local("/video.incoming")) else []
        self.assertEqual([], self.judge("server_stopped", "agree", back))

    def tearDown(self):
        if self.known_seen:
            print("\nknown failures: %s" % self.known_seen, file=sys.stderr)
        super().tearDown()


if __name__ == "__main__":
    import unittest
    unittest.main()
