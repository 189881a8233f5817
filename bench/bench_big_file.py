#!/usr/bin/env python3
"""One big file each way, whole daemon in the sandbox, on a tmpfs volume and
on an ext4 or btrfs image mounted by loop as the volume (btrfs shares
blocks: the copies there are clones): its time against the best of
three `cp` of the same file on the same file system plus librsync's MD4 of
it, ratio = (cp + MD4) / transfer; where the time goes.

    bench/bench_big_file.py [SIZE_MIB] [BUILD_DIR] [--fs tmpfs|ext4|btrfs|both|all]
                            [--rounds N] [--profile] [--cold]
                            (root; default 1024 build --fs both --rounds 2;
                             both: tmpfs and ext4; all: the three)

Upload: a random file written outside the view on the same file system is
copied into alice's home with `cp` (what a user does); the transfer runs
from cp's end (the file complete in the view) to the server's answer to the
upload that made it list the file with the file's MD4 (checked with the
admin `tree`).
Download: a random file is stored with the admin `put`; the transfer runs
from the daemon's download request reaching the server to the file renamed
into place in the view (checked afterwards: size and MD4). The wait before
that request (the syncer's next pull of the server's changes) is shown
apart: it is polling, not moving data.

Time stamps of the server come from its request trace; CPU of the daemon and
the server from /proc/PID/stat, from the start of the step to its end (for
the upload, from cp's start: whatever the daemon did for the file). With
--profile, a perf profile of the daemon during each transfer. The page cache
stays warm (the source was just written) for cp, MD4 and the daemon alike.
Before every timed step, 8 x SIZE_MIB of memory is written and freed, so
that the copies land on memory the virtual machine has touched lately (see
warm_memory); --cold leaves that out. Figures are printed, never judged."""

import ctypes
import os
import shutil
import subprocess
import sys
import time

import sandbox_bench as sb
from bench_initial_sync import process_cpu, thread_cpu

MIB = 1 << 20
# Only against hanging: the run itself is what is measured.
TRANSFER_SECONDS = 600
IMAGE = "/var/tmp/tide-bench-big-file-%d.img"
SOURCES = "/volume1/bench-big"
CMD_DOWNLOAD = 3
WORK_DIR = "/volume1/@tmp/tide-clientd.tmp.dir"


class Md4:
    """librsync's MD4, read in 1 MiB pieces as the daemon reads."""

    def __init__(self):
        self.lib = ctypes.CDLL("librsync.so.2")
        self.buffer = bytearray(MIB)
        self.view = (ctypes.c_char * MIB).from_buffer(self.buffer)

    def of_file(self, path):
        state = ctypes.create_string_buffer(512)
        digest = ctypes.create_string_buffer(16)
        self.lib.rs_mdfour_begin(state)
        with open(path, "rb", buffering=0) as f:
            while True:
                got = f.readinto(self.buffer)
                if not got:
                    break
                self.lib.rs_mdfour_update(state, self.view, ctypes.c_size_t(got))
        self.lib.rs_mdfour_result(state, digest)
        return digest.raw.hex()


def write_random(path, size_mib):
    with open(path, "wb") as f:
        for _ in range(size_mib):
            f.write(os.urandom(MIB))
        f.flush()
        os.fsync(f.fileno())


def warm_memory(size_mib):
    """Writes and frees a file of `size_mib` in the sandbox's /tmp. In a
    virtual machine, memory the guest has not touched lately can cost
    several times a memory copy on first use (the host backs it then):
    without this, whoever allocates page cache first pays for it, and the
    comparison measures the host rather than the copies. Done before every
    timed step, so that cp, the daemon and the server meet the same."""
    subprocess.run(["dd", "if=/dev/zero", "of=/tmp/warm", "bs=1M", "count=%d" % size_mib, "status=none"],
                   check=True)
    os.unlink("/tmp/warm")


def timed(body):
    started = time.monotonic()
    result = body()
    return time.monotonic() - started, result


def baseline(source, md4, warm_mib):
    """(best cp s, best cp + sync s, best MD4 s, digest) of the file."""
    target = SOURCES + "/cp-copy"
    cp_runs, cp_sync_runs, md4_runs = [], [], []
    def copy(then_sync):
        subprocess.run(["cp", source, target], check=True)
        if then_sync:
            subprocess.run(["sync", target], check=True)

    for _ in range(3):
        for then_sync, runs in ((False, cp_runs), (True, cp_sync_runs)):
            subprocess.run(["sync"], check=True)
            warm_memory(warm_mib)
            runs.append(timed(lambda: copy(then_sync))[0])
            os.unlink(target)
    subprocess.run(["sync"], check=True)
    digest = None
    for _ in range(3):
        seconds, digest = timed(lambda: md4.of_file(source))
        md4_runs.append(seconds)
    return min(cp_runs), min(cp_sync_runs), min(md4_runs), digest


class Watcher:
    """The server's trace and the view's folder, woken by inotify rather
    than polled: a poller's CPU would be taken from the daemon."""

    def __init__(self):
        self.trace = sb.Trace()
        self.trace.new_lines()
        self.inotify = sb.Inotify()
        self.inotify.watch(sb.TRACE, sb.Inotify.IN_MODIFY)
        self.view_wd = self.inotify.watch(sb.ALICE, sb.Inotify.IN_MOVED_TO | sb.Inotify.IN_CLOSE_WRITE |
                                          sb.Inotify.IN_CREATE)
        # The daemon's temporary files: their creation is when its copy
        # begins.
        self.work_wd = self.inotify.watch(WORK_DIR, sb.Inotify.IN_CREATE)
        self.created = []

    def wait(self, done, harness, what):
        """Waits until done(view events, new trace lines) is true; the time
        it became so (ns)."""
        deadline = time.monotonic() + TRANSFER_SECONDS
        while time.monotonic() < deadline:
            events = self.inotify.read(0.5, with_wd=True)
            stamp = sb.now_ns()
            self.created.extend(stamp for wd, _mask, _name in events if wd == self.work_wd)
            lines = self.trace.new_lines()
            if done([(mask, name) for wd, mask, name in events if wd == self.view_wd], lines):
                return stamp
        raise SystemExit("%s never finished; daemon log:\n%s" % (what, harness.read(harness.LOG_FILE)[-4000:]))

    def close(self):
        self.inotify.close()


class Usage:
    """CPU of the daemon, its threads and the server between two moments."""

    def __init__(self, daemon_pid, server_pid):
        self.pids = daemon_pid, server_pid
        self.start = self.sample()

    def sample(self):
        return process_cpu(self.pids[0]), process_cpu(self.pids[1]), thread_cpu(self.pids[0])

    def finish(self):
        end = self.sample()
        (du0, ds0), (su0, ss0), threads0 = self.start
        (du1, ds1), (su1, ss1), threads1 = end
        threads = sorted(((threads1[n] - threads0.get(n, 0), n) for n in threads1), reverse=True)
        return {"daemon": (du1 - du0, ds1 - ds0), "server": (su1 - su0, ss1 - ss0),
                "threads": [(n, s) for s, n in threads if s >= 0.01][:4]}


def perf_summary(data):
    """Shares by library and by function; the addresses of a library
    without symbols (librsync's MD4 rounds) count as one entry."""
    result = subprocess.run(["perf", "report", "-i", data, "--no-children", "--sort", "dso,sym", "--stdio", "-q",
                             "-g", "none"], capture_output=True, text=True)
    by_dso, by_sym = {}, {}
    for line in result.stdout.splitlines():
        fields = line.split()
        if len(fields) < 4 or not fields[0].endswith("%"):
            continue
        share, dso, symbol = float(fields[0][:-1]), fields[1], " ".join(fields[3:])
        if symbol.startswith("0x"):
            symbol = "(no symbols)"
        by_dso[dso] = by_dso.get(dso, 0) + share
        by_sym[(dso, symbol)] = by_sym.get((dso, symbol), 0) + share
    top = sorted(by_sym.items(), key=lambda item: -item[1])[:10]
    return "perf, by library: %s\nperf, by function:\n%s" % (
        ", ".join("%s %.1f%%" % (d, v) for d, v in sorted(by_dso.items(), key=lambda item: -item[1]) if v >= 0.5),
        "\n".join("  %5.1f%%  %-20s %s" % (v, d, f) for (d, f), v in top))


class Profile:
    def __init__(self, enabled, pid, name):
        self.data = "/tmp/perf-%s.data" % name
        self.proc = None
        if enabled:
            self.proc = subprocess.Popen(["perf", "record", "-F", "499", "-g", "-o", self.data, "-p", str(pid)],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)

    def stop(self):
        if self.proc:
            self.proc.send_signal(2)
            self.proc.wait(120)
            return perf_summary(self.data)
        return None


def upload(name, source, digest, size, harness, server, daemon, watcher, profile, warm_mib):
    path = "/" + name
    warm_memory(warm_mib)
    usage = Usage(daemon.pid, server.pid)
    perf = Profile(profile, daemon.pid, "upload-" + name)
    watcher.created.clear()
    cp_started = sb.now_ns()
    subprocess.run(["cp", source, sb.ALICE + path], check=True)
    complete = sb.now_ns()
    uploads = []

    def listed(_events, lines):
        fresh = [l for l in lines if l[2] == sb.CMD_UPLOAD and l[3] == path]
        uploads.extend(fresh)
        if not fresh:
            return False
        node = server.tree(sb.VIEW).get(path)
        return node is not None and node[2] == size and node[3] == digest

    watcher.wait(listed, harness, "upload of " + path)
    cpu = usage.finish()
    report = perf.stop()
    finished = uploads[-1][1]
    # The daemon's last temporary file before the request is its copy.
    copying = max([c for c in watcher.created if c <= uploads[-1][0]] or [complete])
    return {
        "transfer": (finished - complete) / 1e9,
        "steps": [("cp into the view (not counted)", (complete - cp_started) / 1e9),
                  ("daemon: from cp's end to its temporary copy begun", (copying - complete) / 1e9),
                  ("daemon: copy + MD4, fsync, to the upload request", (uploads[-1][0] - copying) / 1e9),
                  ("server: link, MD4 check, history (request to answer)", (finished - uploads[-1][0]) / 1e9)],
        "requests": len(uploads), "cpu": cpu, "perf": report}


def download(name, source, digest, size, harness, server, daemon, watcher, profile, warm_mib):
    path = "/" + name
    warm_memory(warm_mib)
    # Measured from before the put: the daemon may pull the change before
    # the admin command has exited.
    usage = Usage(daemon.pid, server.pid)
    perf = Profile(profile, daemon.pid, "download-" + name)
    put_seconds, _ = timed(lambda: server.admin("put", sb.VIEW, source, path))
    put_done = sb.now_ns()
    downloads = []
    seen = []

    def placed(events, lines):
        downloads.extend(l for l in lines if l[2] == CMD_DOWNLOAD and l[3] == path)
        seen.extend(n for _mask, n in events if n == name)
        if not downloads or not seen:
            return False
        try:
            return os.stat(sb.ALICE + path).st_size == size
        except FileNotFoundError:
            return False

    whole = watcher.wait(placed, harness, "download of " + path)
    cpu = usage.finish()
    report = perf.stop()
    got = Md4().of_file(sb.ALICE + path)
    if got != digest:
        raise SystemExit("download of %s: MD4 %s, expected %s" % (path, got, digest))
    arrived, answered = downloads[-1][0], downloads[-1][1]
    return {
        "transfer": (whole - arrived) / 1e9,
        "steps": [("admin put (not counted)", put_seconds),
                  ("put's end to the download request: syncer's pull (not counted)", (arrived - put_done) / 1e9),
                  ("server: places its copy (request to answer)", (answered - arrived) / 1e9),
                  ("daemon: copy + MD4 check, fsync, rename (answer to renamed)", (whole - answered) / 1e9)],
        "requests": len(downloads), "cpu": cpu, "perf": report}


def print_result(fs, direction, round_no, result, base):
    cp_s, cp_sync_s, md4_s = base
    print("\n%s %s, round %d: transfer %.3f s; cp %.3f s (cp + sync %.3f s), MD4 %.3f s; "
          "ratio (cp + MD4) / transfer = %.2f" % (fs, direction, round_no, result["transfer"], cp_s, cp_sync_s,
                                                   md4_s, (cp_s + md4_s) / result["transfer"]))
    for label, seconds in result["steps"]:
        print("    %-66s %8.3f s" % (label, seconds))
    cpu = result["cpu"]
    print("    daemon CPU user %.2f s, system %.2f s; server CPU user %.2f s, system %.2f s; %d %s request(s)" % (
        cpu["daemon"] + cpu["server"] + (result["requests"], direction)))
    print("    daemon threads: " + ", ".join("%s %.2f s" % t for t in cpu["threads"]))
    if result["perf"]:
        print("\n".join("    " + line for line in result["perf"].splitlines()))
    sys.stdout.flush()
    return "%-6s %-8s %d  %8.3f %7.3f %8.3f %7.3f %6.2f  %5.2f/%-5.2f  %5.2f/%-5.2f" % (
        fs, direction, round_no, result["transfer"], cp_s, cp_sync_s, md4_s, (cp_s + md4_s) / result["transfer"],
        cpu["daemon"][0], cpu["daemon"][1], cpu["server"][0], cpu["server"][1])


def inside(size_mib, rounds, profile, image, cold):
    if image:
        # The loop device holds the image open: its name can go now, and
        # nothing is left on the host whatever happens next.
        os.unlink(image)
    harness, refserver = sb.inside_modules()
    fs = [l.split()[2] for l in open("/proc/self/mounts") if l.split()[1] == "/volume1"][-1]
    size = size_mib * MIB
    print("bench_big_file: %d MiB each way on %s (volume %s)" % (size_mib, fs, image or "tmpfs"), flush=True)
    os.makedirs(SOURCES)
    sb.prepare_view(harness)
    open(sb.TRACE, "w").close()
    server = refserver.RefServer("/volume1/@refsyncd", log_level=4, trace=sb.TRACE).start()
    server.add_view(sb.VIEW, sb.ALICE)
    daemon = sb.start_daemon(harness)
    md4 = Md4()
    # Well beyond the copies a step makes (the download's three: the
    # store's, the placed one, the daemon's): the allocator does not hand
    # the freed memory back in order.
    warm_mib = 0 if cold else 8 * size_mib
    rows = []
    try:
        time.sleep(2)  # the view's registration settles
        watcher = Watcher()
        for round_no in range(1, rounds + 1):
            for direction, short, transfer in (("upload", "up", upload), ("download", "down", download)):
                source = "%s/%s-%d" % (SOURCES, short, round_no)
                write_random(source, size_mib)
                cp_s, cp_sync_s, md4_s, digest = baseline(source, md4, warm_mib)
                subprocess.run(["sync"], check=True)
                result = transfer("big-%s-%d.bin" % (short, round_no), source, digest, size, harness, server, daemon,
                                  watcher, profile, warm_mib)
                rows.append(print_result(fs, direction, round_no, result, (cp_s, cp_sync_s, md4_s)))
                os.unlink(source)
            # Room for the next round; the removals are the daemon's to send,
            # so let them go out before anything is measured again.
            for name in ("big-up-%d.bin" % round_no, "big-down-%d.bin" % round_no):
                os.unlink(sb.ALICE + "/" + name)
            harness.wait_until(lambda: not any(p.startswith("/big-") for p in server.tree(sb.VIEW)), 120, 0.5)
            subprocess.run(["sync"], check=True)
        watcher.close()
    finally:
        daemon.stop()
        server.stop()
    print("\nfs     dir      #  transfer      cp  cp+sync     MD4  ratio  daemon u/s   server u/s")
    print("\n".join(rows), flush=True)


def main():
    argv = sys.argv[1:]
    options = {"--fs": "both", "--rounds": "2", "--image": ""}
    args = []
    while argv:
        arg = argv.pop(0)
        if arg in options:
            options[arg] = argv.pop(0)
        elif arg not in ("--inside", "--profile", "--cold"):
            args.append(arg)
    size_mib = int(args[0]) if args else 1024
    rounds = int(options["--rounds"])
    profile = "--profile" in sys.argv
    if "--inside" in sys.argv:
        inside(size_mib, rounds, profile, options["--image"], "--cold" in sys.argv)
        return
    build = os.path.abspath(args[1] if len(args) > 1 else os.path.join(sb.SRC, "build"))
    if options["--fs"] not in ("tmpfs", "ext4", "btrfs", "both", "all"):
        sys.exit("--fs is tmpfs, ext4, btrfs, both or all")
    if profile and subprocess.run(["which", "perf"], capture_output=True).returncode != 0:
        print("installing linux-perf", flush=True)
        subprocess.run(["apt-get", "install", "-y", "-q", "linux-perf"], check=True, stdout=subprocess.DEVNULL,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    kinds = {"both": ["tmpfs", "ext4"], "all": ["tmpfs", "ext4", "btrfs"]}.get(options["--fs"], [options["--fs"]])
    if "btrfs" in kinds and shutil.which("mkfs.btrfs") is None:
        print("installing btrfs-progs", flush=True)
        subprocess.run(["apt-get", "install", "-y", "-q", "btrfs-progs"], check=True, stdout=subprocess.DEVNULL,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    passed = [str(size_mib), "--rounds", str(rounds)] + (["--profile"] if profile else []) + \
        (["--cold"] if "--cold" in sys.argv else [])
    status = 0
    for kind in kinds:
        # Room for both sources, the copy in the view, the store's objects
        # (a round's two stay in the history), the placed copy and the
        # daemon's temporary copy.
        room_mib = size_mib * (5 + 2 * rounds) + 1024
        if kind == "tmpfs":
            command = sb.sandbox_command(__file__, passed, build, volume_size="%dm" % room_mib)
        else:
            # On the host's disk, not in memory: the volume of a real appliance.
            image = IMAGE % os.getpid()
            subprocess.run(["truncate", "-s", "%dM" % room_mib, image], check=True)
            mkfs = ["mkfs.ext4", "-q", "-F"] if kind == "ext4" else ["mkfs.btrfs", "-q", "-f"]
            subprocess.run(mkfs + [image], check=True)
            command = sb.sandbox_command(__file__, passed + ["--image", image], build, volume_image=image)
        try:
            status = subprocess.run(command).returncode or status
        finally:
            if kind != "tmpfs" and os.path.exists(image):
                os.unlink(image)
    sys.exit(status)


if __name__ == "__main__":
    main()
