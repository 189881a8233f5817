"""Synchronisation of the whole daemon against the reference server: local
changes reach the server, server changes reach the disk, conflicts keep both
versions, a restart resumes without transferring again, Mac metadata makes
the round trip, and removals of whole trees converge."""

import os
import re
import shutil
import subprocess

import harness
import refserver
from harness import LOCAL_DB, USER_DB, file_md4, md4, wait_until
from refserver import AppleDouble

ALICE = "/volume1/homes/alice"
VIEW = 10
LEVELS = "client_debug=7\nworker_debug=6\nsyncer_debug=6\n"
# Long enough for a loaded machine; the tests never time anything.
SYNC_SECONDS = 120
FIXTURES = [os.path.join(harness.SRC, "tests", "fixtures", "appledouble"), "/work/shared/fixtures/appledouble"]

userdb = harness.load_user_db_tool()


def local(path):
    return os.path.join(ALICE, path.lstrip("/"))


def write_bytes(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def fixture(name):
    for folder in FIXTURES:
        if os.path.exists(os.path.join(folder, name)):
            return os.path.join(folder, name)
    raise FileNotFoundError(name)


class SyncTestCase(harness.DaemonTestCase):
    """A fresh user database with alice's home (view 10), an empty local
    database, the reference server with the view recorded, and the daemon."""

    server_home = "/volume1/@refsyncd"

    def setUp(self):
        super().setUp()
        for path in (USER_DB, LOCAL_DB, LOCAL_DB + "-wal", LOCAL_DB + "-shm", "/tmp/tdwl_diskfull_freeze_2"):
            if os.path.exists(path):
                os.unlink(path)
        shutil.rmtree(ALICE, ignore_errors=True)
        os.makedirs(ALICE)
        shutil.rmtree(self.server_home, ignore_errors=True)
        conn = userdb.create(USER_DB)
        userdb.add_user(conn, "alice", VIEW)
        conn.close()
        harness.write(harness.LEVEL_FILE, LEVELS)
        self.server = refserver.RefServer(self.server_home)
        self.server.start()
        self.addCleanup(self.server.stop)
        self.server.add_view(VIEW, ALICE)
        self.daemon = self.start("")

    def tearDown(self):
        if self.failed():
            print("\n---- %s ----\n%s" % (refserver.LOG, self.server.log()[-20000:]))
        super().tearDown()

    def restart(self):
        self.assertEqual(0, self.daemon.stop())
        self.daemon = self.start("")

    def wait_for(self, predicate, what):
        self.assertTrue(wait_until(predicate, SYNC_SECONDS), "not reached: " + what)

    def server_has(self, path, data):
        node = self.server.tree(VIEW).get(path)
        return node is not None and node[0] == "f" and node[2] == len(data) and node[3] == md4(data)

    def synced(self, files):
        """True once the server holds every {path: bytes} with that MD4."""
        tree = self.server.tree(VIEW)
        return all(p in tree and tree[p][0] == "f" and tree[p][3] == md4(d) for p, d in files.items())


class LocalToServerTest(SyncTestCase):
    def test_files_folders_and_nested_trees_arrive_with_their_content(self):
        files = {
            "/top.txt": b"hello\n",
            "/empty.bin": b"",
            "/a/b/c/deep.bin": os.urandom(300 * 1024),
            "/a/b/side.txt": b"beside\n" * 1000,
            "/with blank/na\u00efve.txt": "caf\u00e9\n".encode(),
        }
        os.makedirs(local("/folder/inner"))
        for path, data in files.items():
            write_bytes(local(path), data)
        self.wait_for(lambda: self.synced(files), "every file on the server")
        tree = self.server.tree(VIEW)
        for folder in ("/a", "/a/b", "/a/b/c", "/folder", "/folder/inner", "/with blank"):
            self.assertEqual("d", tree.get(folder, ("?",))[0], folder)
        for path, data in files.items():
            self.assertEqual(len(data), tree[path][2], path)
            self.assertEqual(data, self.server.get(VIEW, path), path)

        # A rewrite is a new version of the same node.
        before = tree["/a/b/side.txt"]
        write_bytes(local("/a/b/side.txt"), b"rewritten\n")
        self.wait_for(lambda: self.server_has("/a/b/side.txt", b"rewritten\n"), "the rewrite on the server")
        self.assertGreater(self.server.tree(VIEW)["/a/b/side.txt"][1], before[1])


class ServerToLocalTest(SyncTestCase):
    def test_server_files_arrive_with_content_time_stamp_and_owner(self):
        source = "/tmp/remote-src"
        write_bytes(source + "/report.txt", b"from far away\n")
        write_bytes(source + "/tree/x/y.bin", os.urandom(64 * 1024))
        # server path: (source, time stamp, owner)
        expected = {
            "/inbox/report.txt": (source + "/report.txt", 1500000000, (1234, 5678)),
            "/tree/x/y.bin": (source + "/tree/x/y.bin", 1600000123, (4321, 100)),
        }
        for src, stamp, owner in expected.values():
            os.chown(src, *owner)
            os.utime(src, (stamp, stamp))
        self.server.admin("put", VIEW, source + "/report.txt", "/inbox/report.txt")
        self.server.admin("put", VIEW, source + "/tree", "/tree")
        self.wait_for(lambda: all(read_bytes(local(p)) == read_bytes(e[0]) for p, e in expected.items()),
                      "both files on the disk")
        for path, (_src, stamp, owner) in expected.items():
            st = os.stat(local(path))
            self.assertEqual(stamp, int(st.st_mtime), path)
            self.assertEqual(owner, (st.st_uid, st.st_gid), path)
        self.assertTrue(os.path.isdir(local("/tree/x")))


class ConflictTest(SyncTestCase):
    def test_edit_on_both_sides_keeps_the_servers_version_and_the_local_one_aside(self):
        write_bytes(local("/doc.txt"), b"first version\n")
        self.wait_for(lambda: self.server_has("/doc.txt", b"first version\n"), "the first version on the server")
        # Both sides change while the daemon is down, so neither has seen
        # the other's edit when it starts again.
        self.assertEqual(0, self.daemon.stop())
        write_bytes(local("/doc.txt"), b"edited on the appliance\n")
        write_bytes("/tmp/server-edit", b"edited by a remote client, longer\n")
        self.server.admin("put", VIEW, "/tmp/server-edit", "/doc.txt")
        self.daemon = self.start("")

        conflict = re.compile(r"^doc_ADMIN_.*_Conflict.*\.txt$")

        def settled():
            names = [n for n in os.listdir(ALICE) if conflict.match(n)]
            return (read_bytes(local("/doc.txt")) == b"edited by a remote client, longer\n" and len(names) == 1
                    and read_bytes(local(names[0])) == b"edited on the appliance\n") and names[0]

        self.wait_for(settled, "the server's version in place and the local one under its conflict name")
        name = settled()
        # The local version is not lost for the other side either.
        self.wait_for(lambda: self.server_has("/" + name, b"edited on the appliance\n"),
                      "the conflict copy on the server")
        self.assertTrue(self.server_has("/doc.txt", b"edited by a remote client, longer\n"))


class RestartTest(SyncTestCase):
    TRANSFERS = re.compile(r"session \d+: (upload|download) \w* ?view \d+ '([^']*)'")
    PULL = re.compile(r"session \d+: pull view \d+ since (\d+)")

    def test_restart_resumes_from_the_stored_sync_id_without_transferring_again(self):
        files = {"/r%d.txt" % i: ("file %d\n" % i).encode() for i in range(5)}
        for path, data in files.items():
            write_bytes(local(path), data)
        write_bytes("/tmp/remote-one", b"came from the server\n")
        self.server.admin("put", VIEW, "/tmp/remote-one", "/remote-one.txt")
        self.wait_for(lambda: self.synced(files) and read_bytes(local("/remote-one.txt")) == b"came from the server\n",
                      "both directions settled")
        position = self.server.sync_id()

        self.assertEqual(0, self.daemon.stop())
        log_offset = len(self.server.log())
        self.daemon = self.start("")
        # Markers both ways: once they have crossed, the start-up rescan and
        # the first pulls are behind us.
        write_bytes("/tmp/remote-marker", b"marker\n")
        self.server.admin("put", VIEW, "/tmp/remote-marker", "/zz-remote-marker.txt")
        write_bytes(local("/zz-local-marker.txt"), b"marker\n")
        self.wait_for(lambda: read_bytes(local("/zz-remote-marker.txt")) == b"marker\n"
                      and self.server_has("/zz-local-marker.txt", b"marker\n"), "the markers crossed")

        since_restart = self.server.log()[log_offset:]
        transferred = {m.group(2) for m in self.TRANSFERS.finditer(since_restart)}
        self.assertEqual(set(), transferred - {"/zz-remote-marker.txt", "/zz-local-marker.txt"})
        pulls = [int(p) for p in self.PULL.findall(since_restart)]
        self.assertTrue(pulls, "no pull after the restart")
        # The stored position is the last batch's end, or one before it (the
        # last event is asked for again); never the start of the history.
        self.assertGreaterEqual(pulls[0], position - 1)


class MacMetadataTest(SyncTestCase):
    # Filtered attribute names (the sandbox's filter) never reach the disk.
    FILTERED = {"com.apple.quarantine"}

    def companions(self, path):
        folder, name = os.path.split(local(path))
        return (os.path.join(folder, "@eaDir", name + "@VarnEAStream"),
                os.path.join(folder, "@eaDir", name + "@VarnResource"))

    def test_appledouble_from_a_mac_arrives_as_companions_and_goes_back_unchanged(self):
        for fixture_name in ("mac-bsdtar-4xattrs-file.ad", "mac-zip-rsrc-file.ad", "mac-zip-acl-file.ad"):
            with self.subTest(fixture=fixture_name):
                mac = AppleDouble.of_file(fixture(fixture_name))
                expected_attributes = {k: v for k, v in mac.attributes.items() if k not in self.FILTERED}
                path = "/mac/" + fixture_name.replace(".ad", ".txt")
                write_bytes("/tmp/mac-data", b"data fork of " + fixture_name.encode() + b"\n")
                self.server.admin("put", VIEW, "/tmp/mac-data", path, "--mac", fixture(fixture_name))
                stream, resource = self.companions(path)

                def arrived():
                    if read_bytes(local(path)) != b"data fork of " + fixture_name.encode() + b"\n":
                        return False
                    if not os.path.exists(stream):
                        return False
                    if mac.resource_fork and not os.path.exists(resource):
                        return False
                    return True

                self.wait_for(arrived, "the file and its attribute companions")
                on_disk = AppleDouble.of_file(stream)
                self.assertEqual(mac.finder_info, on_disk.finder_info)
                self.assertEqual(expected_attributes, on_disk.attributes)
                if mac.resource_fork:
                    self.assertEqual(mac.resource_fork, AppleDouble.of_file(resource).resource_fork)

                # A local edit goes up with the same Mac metadata.
                before = self.server.node_row(VIEW, path)
                with open(local(path), "ab") as f:
                    f.write(b"edited here\n")
                self.wait_for(lambda: (self.server.node_row(VIEW, path) or before)["sync_id"] > before["sync_id"],
                              "the edit on the server")
                row = self.server.node_row(VIEW, path)
                self.assertEqual(file_md4(local(path)), row["hash"])
                self.assertTrue(row["mac_hash"], "the upload carried no AppleDouble data")
                uploaded = AppleDouble(self.server.object_bytes(row["mac_hash"]))
                self.assertEqual(mac.finder_info, uploaded.finder_info)
                self.assertEqual(expected_attributes, uploaded.attributes)
                self.assertEqual(mac.resource_fork, uploaded.resource_fork)


class RemovalTest(SyncTestCase):
    def sync_tree(self, root, names):
        files = {"%s/%s" % (root, n): ("%s\n" % n).encode() for n in names}
        for path, data in files.items():
            write_bytes(local(path), data)
        self.wait_for(lambda: self.synced(files), "the tree on the server")
        return files

    def under(self, root):
        return {p for p in self.server.tree(VIEW) if p == root or p.startswith(root + "/")}

    def test_rm_r_of_a_synchronised_tree_converges_on_the_server(self):
        self.sync_tree("/gone", ["a.txt", "b.txt", "sub/c.txt", "sub/deeper/d.txt", "other/e.txt"])
        write_bytes(local("/stays.txt"), b"stays\n")
        self.wait_for(lambda: self.server_has("/stays.txt", b"stays\n"), "the neighbour on the server")
        subprocess.run(["rm", "-r", local("/gone")], check=True)
        self.wait_for(lambda: not self.under("/gone"), "nothing left of /gone on the server")
        self.assertTrue(self.server_has("/stays.txt", b"stays\n"))

    def test_a_file_added_remotely_inside_a_folder_being_removed_survives(self):
        self.sync_tree("/keep", ["a.txt", "sub/b.txt"])
        # Paused, the daemon sees neither side's change until both are made.
        ctl = os.path.join(harness.BUILD, "tide-clientctl")
        subprocess.run([ctl, "pause"], check=True, timeout=60)
        write_bytes("/tmp/late", b"added remotely\n")
        self.server.admin("put", VIEW, "/tmp/late", "/keep/late.txt")
        subprocess.run(["rm", "-r", local("/keep")], check=True)
        subprocess.run([ctl, "resume"], check=True, timeout=60)

        # Which comes first after the resume, the removal or the download of
        # the new file, is up to the threads. Either way the remote file
        # outlives the removal of its folder, on both sides, and what the
        # local removal took is gone from the server.
        def local_files():
            found = set()
            for folder, _dirs, names in os.walk(local("/keep")):
                if "@eaDir" not in folder:
                    found |= {os.path.join(folder, n)[len(ALICE):] for n in names}
            return found

        def converged():
            remote = {p for p, node in self.server.tree(VIEW).items() if p.startswith("/keep/") and node[0] == "f"}
            return remote == {"/keep/late.txt"} and local_files() == remote

        self.wait_for(converged, "only the remote file left under /keep, on both sides")
        self.assertEqual(b"added remotely\n", self.server.get(VIEW, "/keep/late.txt"))


if __name__ == "__main__":
    import unittest
    unittest.main()
