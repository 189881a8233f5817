"""Helpers for whole-daemon tests.

Every test file runs inside scripts/sandbox.sh: a private mount namespace with
tmpfs over /tmp, /var/run, /volume1, /var/log/tdwl and /var/packages and the
appliance's files generated there. TIDE_BUILD and TIDE_SRC point at the build
and source trees. Tests start the real tide-clientd, wait for conditions with
generous upper bounds (never timing assertions), and print the daemon's log
when they fail.
"""

import ctypes
import ctypes.util
import hashlib
import importlib.util
import os
import re
import signal
import sqlite3
import struct
import subprocess
import time
import unittest

BUILD = os.environ.get("TIDE_BUILD", "")
SRC = os.environ.get("TIDE_SRC", "")
DAEMON = os.path.join(BUILD, "tide-clientd")
LOG_FILE = "/var/log/tdwl/client.log"
PID_FILE = "/var/run/tide-clientd.pid"
PACKAGE_ETC = "/var/packages/Tidewell/etc"
TARGET_ETC = "/var/packages/Tidewell/target/etc"
LEVEL_FILE = TARGET_ETC + "/syncfolder_c.debug"
FILTER_FILE = TARGET_ETC + "/filter"
DB_PATH_CONF = PACKAGE_ETC + "/db-path.conf"
SHARES_CONF = PACKAGE_ETC + "/shares.conf"
LOCAL_DB = "/volume1/@tidewell/@clientd/db.sqlite"
USER_DB = "/volume1/@tidewell/@sync/user-db.sqlite"
STARTED = "main thread starts receiving events"
# Generous bound for anything the daemon does at start or stop.
WAIT_SECONDS = 60

# Daemonised processes are re-parented to us instead of to init, so their
# exit status can be collected and no zombie outlives a test.
PR_SET_CHILD_SUBREAPER = 36
ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def in_sandbox():
    return bool(BUILD) and os.path.ismount("/volume1")


def load_user_db_tool():
    """scripts/make-user-db.py as a module, to build the user database."""
    module_spec = importlib.util.spec_from_file_location("make_user_db", os.path.join(SRC, "scripts", "make-user-db.py"))
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def wait_until(predicate, timeout=WAIT_SECONDS, interval=0.02):
    """Polls predicate() until it is truthy; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def read(path, default=""):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except OSError:
        return default


def keep_logs(folder_name, name, server_log=""):
    """Copies the daemon's whole logs (and the server's) to a folder of the
    build tree, which outlives the sandbox; returns the file's path."""
    folder = os.path.join(BUILD, folder_name)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name + ".log")
    with open(path, "w") as f:
        for entry in sorted(os.listdir("/var/log/tdwl"), reverse=True):
            f.write("---- %s ----\n%s" % (entry, read(os.path.join("/var/log/tdwl", entry))))
        f.write("---- reference server ----\n%s" % server_log)
    return path


def write(path, text, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    if mode is not None:
        os.chmod(path, mode)
    return path


def write_config(text, name="client.conf"):
    return write(os.path.join("/tmp", name), text)


def pid_alive(pid):
    """True while `pid` exists and is not a zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def read_parent(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except (OSError, ValueError, IndexError):
        return None


def reap(pid):
    """Exit status of a child or re-parented process, or None if running."""
    try:
        done, status = os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        return None
    if done == 0:
        return None
    return os.waitstatus_to_exitcode(status)


def _libcrypto_md4():
    """MD4 straight from libcrypto: OpenSSL 3 keeps it out of hashlib, and
    the pure-Python digest takes seconds per megabyte."""
    try:
        lib = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
        lib.MD4.restype = ctypes.c_void_p
        lib.MD4.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p]
    except (OSError, AttributeError, TypeError):
        return None

    def digest(data):
        out = ctypes.create_string_buffer(16)
        lib.MD4(bytes(data), len(data), out)
        return out.raw.hex()
    return digest


def _python_md4(data):
    def f(x, y, z): return (x & y) | (~x & z)
    def g(x, y, z): return (x & y) | (x & z) | (y & z)
    def h(x, y, z): return x ^ y ^ z
    def rotl(v, s): return ((v << s) | (v >> (32 - s))) & 0xFFFFFFFF

    message = bytearray(data)
    bit_length = (8 * len(data)) & 0xFFFFFFFFFFFFFFFF
    message.append(0x80)
    while len(message) % 64 != 56:
        message.append(0)
    message += struct.pack("<Q", bit_length)
    a, b, c, d = 0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476
    for offset in range(0, len(message), 64):
        x = struct.unpack("<16I", message[offset:offset + 64])
        aa, bb, cc, dd = a, b, c, d
        for i in (0, 4, 8, 12):
            a = rotl((a + f(b, c, d) + x[i]) & 0xFFFFFFFF, 3)
            d = rotl((d + f(a, b, c) + x[i + 1]) & 0xFFFFFFFF, 7)
            c = rotl((c + f(d, a, b) + x[i + 2]) & 0xFFFFFFFF, 11)
            b = rotl((b + f(c, d, a) + x[i + 3]) & 0xFFFFFFFF, 19)
        for i in (0, 1, 2, 3):
            a = rotl((a + g(b, c, d) + x[i] + 0x5A827999) & 0xFFFFFFFF, 3)
            d = rotl((d + g(a, b, c) + x[i + 4] + 0x5A827999) & 0xFFFFFFFF, 5)
            c = rotl((c + g(d, a, b) + x[i + 8] + 0x5A827999) & 0xFFFFFFFF, 9)
            b = rotl((b + g(c, d, a) + x[i + 12] + 0x5A827999) & 0xFFFFFFFF, 13)
        for i in (0, 2, 1, 3):
            a = rotl((a + h(b, c, d) + x[i] + 0x6ED9EBA1) & 0xFFFFFFFF, 3)
            d = rotl((d + h(a, b, c) + x[i + 8] + 0x6ED9EBA1) & 0xFFFFFFFF, 9)
            c = rotl((c + h(d, a, b) + x[i + 4] + 0x6ED9EBA1) & 0xFFFFFFFF, 11)
            b = rotl((b + h(c, d, a) + x[i + 12] + 0x6ED9EBA1) & 0xFFFFFFFF, 15)
        a, b, c, d = (a + aa) & 0xFFFFFFFF, (b + bb) & 0xFFFFFFFF, (c + cc) & 0xFFFFFFFF, (d + dd) & 0xFFFFFFFF
    return struct.pack("<4I", a, b, c, d).hex()


_md4_impl = _libcrypto_md4() or _python_md4
_md4_cache = {}


def md4(data):
    """MD4 as 32 lowercase hex digits, the digest the daemon and the server
    record. Trees are hashed at every poll, so digests are kept by a cheaper
    key."""
    key = hashlib.sha1(data).digest()
    if key not in _md4_cache:
        _md4_cache[key] = _md4_impl(data)
    return _md4_cache[key]


def file_md4(path):
    with open(path, "rb") as f:
        return md4(f.read())


class LocalDb:
    """The daemon's local database as the tests look into it: opened read
    only for every query, as another process would, so the daemon keeps
    owning the file. A query of a database that is missing, locked for too
    long or not yet created answers None."""

    def __init__(self, path=LOCAL_DB, timeout=30):
        self.path = path
        self.timeout = timeout

    def rows(self, sql, args=()):
        try:
            conn = sqlite3.connect("file:%s?mode=ro" % self.path, uri=True, timeout=self.timeout)
        except sqlite3.Error:
            return None
        try:
            return conn.execute(sql, args).fetchall()
        except sqlite3.Error:
            return None
        finally:
            conn.close()

    def value(self, sql, args=()):
        """The first column of the first row; None without one."""
        rows = self.rows(sql, args)
        return rows[0][0] if rows else None

    def global_sync_id(self):
        value = self.value("SELECT value FROM config_table WHERE key = 'sync_id'")
        return int(value) if value is not None else None

    def progress(self):
        """{view id: sync id} of the views still catching up."""
        rows = self.rows("SELECT view_id, sync_id FROM progress_table")
        return dict(rows) if rows is not None else None

    def node(self, view, path):
        """The node's row as a dict, or None."""
        rows = self.rows("SELECT node_id, parent_id, view_id, attribute, sync_id, mtime, size, mode, hash, "
                         "mac_hash, name, path FROM node_table WHERE view_id = ? AND path = ?", (view, path))
        if not rows:
            return None
        names = ("node_id", "parent_id", "view_id", "attribute", "sync_id", "mtime", "size", "mode", "hash",
                 "mac_hash", "name", "path")
        return dict(zip(names, rows[0]))

    def tree(self, view):
        """{path: ("d",) | ("f", size, md4)} of the view's rows below its root."""
        tree = {}
        for path, attribute, size, digest in self.rows(
                "SELECT path, attribute, size, hash FROM node_table WHERE view_id = ?", (view,)) or []:
            if path in ("", "/", None):
                continue
            tree[path] = ("d",) if attribute & 2 else ("f", size, (digest or "").lower())
        return tree

    def view_ids(self):
        """Views with any row (a root row at least)."""
        return {row[0] for row in self.rows("SELECT DISTINCT view_id FROM node_table") or []}

    def root_views(self):
        return {row[0] for row in self.rows("SELECT view_id FROM node_table WHERE path = '/'") or []}

    def integrity(self):
        return self.value("PRAGMA integrity_check")

    def write(self, sql, args=()):
        """Changes the database behind the daemon's back (a test staging a
        state the daemon must cope with)."""
        conn = sqlite3.connect(self.path, isolation_level=None, timeout=self.timeout)
        try:
            conn.execute(sql, args)
        finally:
            conn.close()

    def remove(self):
        """Deletes the database with its WAL files (before the daemon starts)."""
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(self.path + suffix):
                os.unlink(self.path + suffix)


class Daemon:
    """One run of tide-clientd: foreground (is_daemon=false) or detached."""

    def __init__(self, args, stderr_path):
        self.stderr_path = stderr_path
        # Only log lines written after this run began count as its own.
        self.log_offset = len(read(LOG_FILE))
        with open(stderr_path, "w") as err, open("/dev/null") as devnull:
            self.launcher = subprocess.Popen([DAEMON] + list(args), stdin=devnull, stdout=err, stderr=err)
        self.pid = None
        self.status = None

    def stderr(self):
        return read(self.stderr_path)

    def wait_launcher(self, timeout=WAIT_SECONDS):
        return self.launcher.wait(timeout)

    def wait_started(self, detached):
        """Waits for this run's start-up line; returns the daemon's pid or None."""
        if detached:
            if self.wait_launcher() != 0:
                return None
            # The detached child writes its PID file after the launcher exits;
            # it is ours once it is alive and re-parented to us.
            def started():
                pid = self._pid_from_file()
                if pid and pid_alive(pid) and read_parent(pid) == os.getpid():
                    return pid if STARTED in read(LOG_FILE)[self.log_offset:] else None
                return None
            self.pid = wait_until(started)
        else:
            wait_until(lambda: STARTED in self.stderr() or self.launcher.poll() is not None)
            self.pid = self.launcher.pid if self.launcher.poll() is None else None
        return self.pid

    def _pid_from_file(self):
        try:
            return int(read(PID_FILE).strip() or 0)
        except ValueError:
            return 0

    def thread_count(self):
        """The daemon's own threads. A ThreadSanitizer build runs one more,
        the runtime's background thread, from the first thread the program
        starts on; it is not counted."""
        count = len(os.listdir("/proc/%d/task" % self.pid))
        if count > 1 and self._thread_sanitized():
            count -= 1
        return count

    def _thread_sanitized(self):
        try:
            with open("/proc/%d/maps" % self.pid) as f:
                return "libtsan" in f.read()
        except OSError:
            return False

    def stop(self, sig=signal.SIGTERM, timeout=WAIT_SECONDS):
        """Signals the daemon and returns its exit status."""
        if self.pid is None:
            return self.launcher.wait(timeout)
        os.kill(self.pid, sig)
        return self.wait_exit(timeout)

    def wait_exit(self, timeout=WAIT_SECONDS):
        if self.pid == self.launcher.pid:
            try:
                self.status = self.launcher.wait(timeout)
            except subprocess.TimeoutExpired:
                self.status = None
        else:
            statuses = []
            wait_until(lambda: statuses.append(reap(self.pid)) or statuses[-1] is not None, timeout)
            self.status = statuses[-1]
        return self.status

    def kill(self):
        for pid in {self.pid, self.launcher.pid} - {None}:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            reap(pid)


class DaemonTestCase(unittest.TestCase):
    """Resets the daemon's own files between tests and cleans up daemons."""

    def setUp(self):
        if not in_sandbox():
            self.skipTest("needs the sandbox (scripts/sandbox.sh)")
        self.daemons = []
        for path in (PID_FILE,):
            if os.path.lexists(path):
                os.unlink(path)
        for name in os.listdir("/var/log/tdwl"):
            os.unlink(os.path.join("/var/log/tdwl", name))
        self._saved = {p: read(p, None) for p in (DB_PATH_CONF, SHARES_CONF, LEVEL_FILE, FILTER_FILE)}

    def tearDown(self):
        for daemon in self.daemons:
            daemon.kill()
        for path, text in self._saved.items():
            if text is None:
                if os.path.exists(path):
                    os.unlink(path)
            else:
                write(path, text)
        if self.failed():
            print("\n---- %s ----\n%s" % (LOG_FILE, read(LOG_FILE)[-20000:]))
            for daemon in self.daemons:
                print("---- stderr ----\n%s" % daemon.stderr()[-20000:])

    def failed(self):
        """True in tearDown when the test failed. Since Python 3.11 a failure
        goes straight to the result and leaves the outcome's flag alone."""
        if not self._outcome.success:
            return True
        result = getattr(self._outcome, "result", None)
        return result is not None and any(test is self for test, _ in result.failures + result.errors)

    def launch(self, config_text=None, args=None, name="daemon"):
        """Starts tide-clientd with `config_text` as its configuration file."""
        if args is None:
            args = [write_config(config_text)] if config_text is not None else []
        daemon = Daemon(args, "/tmp/%s.stderr" % name)
        self.daemons.append(daemon)
        return daemon

    def start(self, config_text=None, detached=None):
        """Starts the daemon and waits until it serves; fails the test if not."""
        if detached is None:
            detached = not (config_text and re.search(r"^is_daemon\s*=\s*\S", config_text, re.M)
                            and not re.search(r"^is_daemon\s*=\s*true\s*$", config_text, re.M))
        daemon = self.launch(config_text)
        pid = daemon.wait_started(detached)
        self.assertTrue(pid, "daemon did not start")
        return daemon

    def assertLogContains(self, text, log=None):
        log = read(LOG_FILE) if log is None else log
        self.assertIn(text, log)
