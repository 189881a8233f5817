"""The reference server beside the daemon in the sandbox: start, stop, admin
commands, its history and log; plus the MD4 of files and an AppleDouble
reader, to check what the server holds.

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


def md4(data):
    """MD4 as 32 lowercase hex digits (OpenSSL 3 may not offer it to hashlib)."""
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


def file_md4(path):
    with open(path, "rb") as f:
        return md4(f.read())


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
