"""Shared parts of the whole-daemon benchmarks (bench_latency.py,
bench_initial_sync.py): entering the sandbox, installing the comparison
tools, the daemon and the reference server set up as in the whole-daemon
tests, the server's request trace, and inotify for the comparison's side."""

import ctypes
import os
import select
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(HERE)

ALICE = "/volume1/homes/alice"
VIEW = 10
USER_DB = "/volume1/@tidewell/@sync/user-db.sqlite"
TRACE = "/tmp/refsyncd.trace"
CMD_UPLOAD = 2


def ensure_tools(*packages):
    """Installs the Debian packages of the comparison when missing."""
    missing = [p for p in packages if shutil.which(p) is None]
    if missing:
        print("installing %s" % " ".join(missing), flush=True)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "install", "-y", "-q"] + missing, check=True, env=env,
                       stdout=subprocess.DEVNULL)


def sandbox_command(script, args, build, volume_size="1g", volume_image=None):
    """The command that runs `script --inside ARGS` in scripts/sandbox.sh,
    on a tmpfs volume of `volume_size` or on the file system image
    `volume_image` mounted as the volume."""
    if os.geteuid() != 0:
        sys.exit("%s needs root (the sandbox mounts tmpfs)" % os.path.basename(script))
    if not os.path.exists(os.path.join(build, "tide-clientd")):
        sys.exit("no %s/tide-clientd: build it first (cmake --build %s)" % (build, build))
    volume = ["--volume-image", volume_image] if volume_image else ["--volume-size", volume_size]
    return [os.path.join(SRC, "scripts", "sandbox.sh")] + volume + ["--build", build, "--",
            "bash", "-c", 'exec python3 "$TIDE_SRC/bench/%s" --inside "$@"' % os.path.basename(script),
            "bench"] + list(args)


def enter_sandbox(script, args, build, volume_size="1g"):
    """Re-runs `script` inside scripts/sandbox.sh (never returns)."""
    command = sandbox_command(script, args, build, volume_size)
    os.execv(command[0], command)


def inside_modules():
    """The whole-daemon test helpers (harness, refserver) as modules."""
    sys.path.insert(0, os.path.join(os.environ["TIDE_SRC"], "tests", "e2e"))
    import harness
    import refserver
    return harness, refserver


def prepare_view(harness, levels="client_debug=6\n"):
    """A user database with alice's home as view 10; logging at the
    default threshold, since the log is not what is measured (start-up
    keeps INFO: its "started" line is how a start is recognised)."""
    userdb = harness.load_user_db_tool()
    conn = userdb.create(USER_DB)
    userdb.add_user(conn, "alice", VIEW)
    conn.close()
    harness.write(harness.LEVEL_FILE, levels)


def start_daemon(harness):
    daemon = harness.Daemon([], "/tmp/daemon.stderr")
    if not daemon.wait_started(True):
        sys.exit("daemon did not start:\n" + harness.read(harness.LOG_FILE)[-4000:])
    return daemon


class Trace:
    """Reads the server's request trace as it grows."""

    def __init__(self, path=TRACE):
        self.path = path
        self.offset = 0
        self.partial = ""

    def new_lines(self):
        """(arrived_ns, answered_ns, command, path) of the lines added since."""
        try:
            with open(self.path) as f:
                f.seek(self.offset)
                text = f.read()
                self.offset = f.tell()
        except FileNotFoundError:
            return []
        text = self.partial + text
        lines = text.split("\n")
        self.partial = lines.pop()
        out = []
        for line in lines:
            arrived, answered, command, path = line.split(" ", 3)
            out.append((int(arrived), int(answered), int(command), path))
        return out

    def all_lines(self):
        self.offset, self.partial = 0, ""
        return self.new_lines()


class Inotify:
    """Just enough inotify to be told when a name appears in a folder."""

    IN_MODIFY = 0x2
    IN_CLOSE_WRITE = 0x8
    IN_MOVED_TO = 0x80
    IN_CREATE = 0x100

    def __init__(self):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")

    def watch(self, path, mask):
        """The watch descriptor, which read(with_wd=True) reports."""
        wd = self.libc.inotify_add_watch(self.fd, path.encode(), mask)
        if wd < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + path)
        return wd

    def read(self, timeout, with_wd=False):
        """[(mask, name)] of the events ready within `timeout` seconds, or
        [(wd, mask, name)] with `with_wd`."""
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return []
        data = os.read(self.fd, 65536)
        events, pos = [], 0
        while pos < len(data):
            wd, mask, _cookie, length = struct.unpack_from("iIII", data, pos)
            name = data[pos + 16:pos + 16 + length].rstrip(b"\0").decode(errors="replace")
            events.append((wd, mask, name) if with_wd else (mask, name))
            pos += 16 + length
        return events

    def close(self):
        os.close(self.fd)


def percentile(values, fraction):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(values)
    rank = max(1, min(len(ordered), int(-(-fraction * len(ordered) // 1))))
    return ordered[rank - 1]


def now_ns():
    return time.time_ns()
