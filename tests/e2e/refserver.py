"""The reference server beside the daemon in the sandbox: start, stop, admin
commands, its history and log; plus an AppleDouble reader, to check what the
server holds. Every whole-daemon test that needs a server uses this one.

The server listens on /tmp/sfsock, where the daemon looks for it. Its store
sits on the volume by default, so that upload copies enter it by hard link
as they would on the appliance."""

import os
import signal
import sqlite3
import struct
import subprocess

import harness
from harness import read, wait_until

SOCKET = "/tmp/sfsock"
LOG = "/tmp/refsyncd.log"
PID_FILE = "/tmp/refsyncd.pid"
BINARY = os.path.join(harness.BUILD, "tide-refsyncd")


class RefServer:
    def __init__(self, home="/volume1/@refsyncd", log_level=6, trace=None):
        self.home = home
        self.db = os.path.join(home, "history.sqlite")
        self.store = os.path.join(home, "store")
        self.log_level = log_level
        self.trace = trace
        self.pid = None

    def start(self):
        if os.path.exists(LOG):
            os.unlink(LOG)
        # Detached: the command returns once the socket accepts connections.
        subprocess.run([BINARY, "--db", self.db, "--store", self.store, "--socket", SOCKET, "--log", LOG,
                        "--log-level", str(self.log_level), "--pid-file", PID_FILE]
                       + (["--trace", self.trace] if self.trace else []),
                       check=True, timeout=60, stdin=subprocess.DEVNULL)
        self.pid = int(read(PID_FILE).strip())
        return self

    def stop(self):
        if self.pid is None:
            return
        try:
            # A test may have frozen it (SIGSTOP) to hold its history still.
            os.kill(self.pid, signal.SIGCONT)
            os.kill(self.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        statuses = []
        wait_until(lambda: statuses.append(harness.reap(self.pid)) or statuses[-1] is not None
                   or not harness.pid_alive(self.pid), 30)
        self.pid = None

    def admin(self, *args, check=True):
        result = subprocess.run([BINARY, "--db", self.db, "--store", self.store] + [str(a) for a in args],
                                capture_output=True, text=True, timeout=120)
        if check and result.returncode != 0:
            raise AssertionError("tide-refsyncd %s: %s" % (" ".join(map(str, args)), result.stderr))
        return result.stdout

    def add_view(self, view_id, watch_path):
        self.admin("view-add", view_id, watch_path)

    def tree(self, view_id):
        """{path: (kind, sync_id, size, hash)} of every live node."""
        nodes = {}
        for line in self.admin("tree", view_id).splitlines():
            kind, sync_id, _node, size, digest, path = line.split(None, 5)
            nodes[path] = (kind, int(sync_id), int(size), digest)
        return nodes

    def kinds(self, view_id):
        """{path: "d" or "f"} of every live node below the view's root."""
        return {path: node[0] for path, node in self.tree(view_id).items() if path != "/"}

    def put(self, view_id, path, data):
        """Stores `data` (bytes or text) at `path` as a remote client would;
        returns the server's sync id after it."""
        source = os.path.join(self.home, "put-source")
        with open(source, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
        self.admin("put", view_id, source, path)
        os.unlink(source)
        return self.sync_id()

    def get(self, view_id, path):
        dest = "/tmp/refsyncd-get"
        self.admin("get", view_id, path, dest)
        with open(dest, "rb") as f:
            data = f.read()
        os.unlink(dest)
        return data

    def sync_id(self):
        return int(self.admin("sync-id").strip())

    def node_row(self, view_id, path):
        """The node's row in the history, as a dict (mac_hash and the like)."""
        conn = sqlite3.connect(self.db, timeout=30)
        conn.row_factory = sqlite3.Row
        try:
            row = conn.execute("SELECT * FROM nodes WHERE view_id = ? AND path = ? AND deleted = 0",
                               (view_id, path)).fetchone()
            return dict(row) if row else None
        finally:
            conn.close()

    def object_bytes(self, digest):
        with open(os.path.join(self.store, "objects", digest[:2], digest), "rb") as f:
            return f.read()

    def log(self):
        return read(LOG)


class AppleDouble:
    """What an AppleDouble version 2 file says: the 32 bytes of Finder
    information, the extended attributes kept after them, the resource fork."""

    def __init__(self, data):
        magic, version = struct.unpack(">II", data[:8])
        if magic != 0x00051607 or version != 0x00020000:
            raise ValueError("not an AppleDouble v2 file")
        (count,) = struct.unpack(">H", data[24:26])
        entries = {}
        for i in range(count):
            entry_id, offset, length = struct.unpack(">III", data[26 + 12 * i:38 + 12 * i])
            entries[entry_id] = (offset, length)
        offset, length = entries.get(9, (0, 0))
        self.finder_info = data[offset:offset + 32] if length >= 32 else b""
        self.attributes = {}
        attr = offset + 34  # Finder information, then 2 bytes of padding
        if length > 34 + 36 and data[attr:attr + 4] == b"ATTR":
            (num_attrs,) = struct.unpack(">H", data[attr + 34:attr + 36])
            pos = attr + 36
            for _ in range(num_attrs):
                value_offset, value_length, _flags, name_length = struct.unpack(">IIHB", data[pos:pos + 11])
                name = data[pos + 11:pos + 11 + name_length].rstrip(b"\0").decode()
                self.attributes[name] = data[value_offset:value_offset + value_length]
                pos = (pos + 11 + name_length + 3) & ~3
        offset, length = entries.get(2, (0, 0))
        self.resource_fork = data[offset:offset + length]

    @staticmethod
    def of_file(path):
        with open(path, "rb") as f:
            return AppleDouble(f.read())
