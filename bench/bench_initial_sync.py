#!/usr/bin/env python3
"""A first synchronisation, whole daemon in the sandbox: FILES files of
4 KiB in DIRS folders already in alice's home when the daemon starts, carried
by registration's rescan until the server holds them all. Files per second,
as a ratio to `rsync -a` of the same tree on the same file system in the
same run; where the time goes; the daemon's peak resident memory.

    bench/bench_initial_sync.py [FILES] [DIRS] [BUILD_DIR] [--profile | --strace]
                                          (root; default 100000 5000 build)

Where the time goes: the server's own share comes from its request trace
(time between reading a request and answering it, per command); the
daemon's share from its threads' CPU time (workers: copy, MD4, database,
exchange; syncer; detector) and, with --profile, from a perf profile of the
daemon by library and by function; with --strace, the daemon's and the
server's system calls per file (strace -c -f; it slows both down, so its
run's times say nothing). Figures are printed, never judged."""

import collections
import os
import sqlite3
import subprocess
import sys
import time

import sandbox_bench as sb

FILE_SIZE = 4096
# Only against hanging: the run itself is what is measured.
SYNC_SECONDS = 3 * 3600
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
# Where --profile keeps its data (kept after the run when it is outside the
# sandbox's own /tmp), and what else is asked of perf record, for instance
# "--call-graph dwarf" for stacks through code built without frame pointers.
PERF_DATA = os.environ.get("TIDE_BENCH_PERF_DATA", "/tmp/perf.data")
PERF_EXTRA = os.environ.get("TIDE_BENCH_PERF_ARGS", "").split()
# TIDE_BENCH_PERF_SERVER=1: --profile looks at the server instead of the daemon.


def make_tree(root, files, dirs):
    per_dir = -(-files // dirs)
    made = 0
    block = bytearray(os.urandom(FILE_SIZE))
    for d in range(dirs):
        folder = os.path.join(root, "d%05d" % d)
        os.makedirs(folder, exist_ok=True)
        for f in range(per_dir):
            if made == files:
                return
            # Every file different, so that the store cannot share contents.
            block[:8] = made.to_bytes(8, "little")
            with open(os.path.join(folder, "f%03d" % f), "wb") as out:
                out.write(block)
            made += 1


def timed_rsync(source, files):
    target = "/volume1/rsync-copy"
    started = time.monotonic()
    subprocess.run(["rsync", "-a", source + "/", target + "/"], check=True)
    elapsed = time.monotonic() - started
    subprocess.run(["rm", "-rf", target], check=True)
    return elapsed


def thread_cpu(pid):
    """{thread name: seconds of CPU} of a process's threads."""
    totals = collections.Counter()
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                text = f.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        totals[name] += (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
    return totals


def process_cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) / CLOCK_TICKS, int(fields[12]) / CLOCK_TICKS


def context_switches(pid):
    """(voluntary, involuntary) context switches of all of a process's threads."""
    totals = [0, 0]
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        totals[0] += int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches:"):
                        totals[1] += int(line.split()[1])
        except OSError:
            continue
    return totals


def queued_seconds(pid):
    """Seconds a process's threads were ready to run but waited for a CPU."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[1])
        except (OSError, IndexError, ValueError):
            continue
    return total / 1e9


def status_field(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return line.split(":", 1)[1].strip()
    return "?"


def live_files(db):
    conn = sqlite3.connect("file:%s?mode=ro" % db, uri=True, timeout=30)
    try:
        return conn.execute("SELECT COUNT(*) FROM nodes WHERE view_id = ? AND is_dir = 0 AND deleted = 0",
                            (sb.VIEW,)).fetchone()[0]
    except sqlite3.OperationalError:
        return 0
    finally:
        conn.close()


def perf_summary(data):
    out = []
    for sort, lines in (("dso", 12), ("dso,sym", 25)):
        result = subprocess.run(["perf", "report", "-i", data, "--no-children", "--sort", sort, "--stdio", "-q",
                                 "-g", "none", "--percent-limit", "0.5"], capture_output=True, text=True)
        body = [line for line in result.stdout.splitlines() if line.strip() and not line.startswith("#")]
        out.append("perf, by %s:\n%s" % (sort, "\n".join(body[:lines])))
    return "\n".join(out)


def main():
    args = [a for a in sys.argv[1:] if a not in ("--inside", "--profile", "--strace")]
    files = int(args[0]) if args else 100000
    dirs = int(args[1]) if len(args) > 1 else 5000
    profile = "--profile" in sys.argv
    trace_calls = "--strace" in sys.argv
    if "--inside" not in sys.argv:
        build = os.path.abspath(args[2] if len(args) > 2 else os.path.join(sb.SRC, "build"))
        sb.ensure_tools("rsync")
        if profile and subprocess.run(["which", "perf"], capture_output=True).returncode != 0:
            sys.exit("--profile needs perf")
        # Room for the tree, rsync's copy of it, the daemon's temporary
        # copies and both databases (the store takes the copies by link).
        size_mb = max(256, files * FILE_SIZE * 3 // (1024 * 1024) + 256)
        if trace_calls:
            sb.ensure_tools("strace")
        sb.enter_sandbox(__file__, [str(files), str(dirs)] + (["--profile"] if profile else []) +
                         (["--strace"] if trace_calls else []), build, volume_size="%dm" % size_mb)
    harness, refserver = sb.inside_modules()
    print("bench_initial_sync: %d files of %d bytes in %d folders" % (files, FILE_SIZE, dirs), flush=True)

    started = time.monotonic()
    make_tree(sb.ALICE, files, dirs)
    print("tree written in %.1f s" % (time.monotonic() - started), flush=True)
    rsync_seconds = timed_rsync(sb.ALICE, files)
    print("rsync -a:      %8.2f s  %9.0f files/s" % (rsync_seconds, files / rsync_seconds), flush=True)

    sb.prepare_view(harness)
    open(sb.TRACE, "w").close()
    server = refserver.RefServer("/volume1/@refsyncd", log_level=4, trace=sb.TRACE).start()
    server.add_view(sb.VIEW, sb.ALICE)
    launched_ns = sb.now_ns()
    daemon = sb.start_daemon(harness)
    perf = None
    if profile:
        profiled = server.pid if os.environ.get("TIDE_BENCH_PERF_SERVER") else daemon.pid
        perf = subprocess.Popen(["perf", "record", "-F", "199", "-g", "-o", PERF_DATA, "-p", str(profiled)] +
                                PERF_EXTRA,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    tracers = []
    if trace_calls:
        for name, pid in (("daemon", daemon.pid), ("server", server.pid)):
            tracers.append((name, subprocess.Popen(["strace", "-c", "-f", "-p", str(pid), "-o",
                                                    "/tmp/strace-%s.txt" % name],
                                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)))
    try:
        deadline = time.monotonic() + SYNC_SECONDS
        count = 0
        while count < files:
            if time.monotonic() > deadline or not harness.pid_alive(daemon.pid):
                raise SystemExit("stopped at %d of %d files; daemon log:\n%s" % (
                    count, files, harness.read(harness.LOG_FILE)[-4000:]))
            time.sleep(1)
            count = live_files(server.db)
        if perf:
            perf.send_signal(2)
            perf.wait(120)
        for _name, tracer in tracers:
            tracer.send_signal(2)
            tracer.wait(120)
        daemon_threads = thread_cpu(daemon.pid)
        daemon_user, daemon_sys = process_cpu(daemon.pid)
        server_user, server_sys = process_cpu(server.pid)
        peak = status_field(daemon.pid, "VmHWM")
        switches = {"daemon": context_switches(daemon.pid), "server": context_switches(server.pid)}
        queued = {"daemon": queued_seconds(daemon.pid), "server": queued_seconds(server.pid)}
    finally:
        daemon.stop()
        server.stop()

    lines = sb.Trace().all_lines()
    uploads = [l for l in lines if l[2] == sb.CMD_UPLOAD]
    finished_ns = max(l[1] for l in uploads)
    seconds = (finished_ns - launched_ns) / 1e9
    print("tide-clientd:  %8.2f s  %9.0f files/s  (from launch to the last upload answered)" % (
        seconds, files / seconds))
    print("ratio to rsync -a: %.3f" % ((files / seconds) / (files / rsync_seconds)))
    print("daemon peak resident memory (VmHWM): %s" % peak)

    first = min(l[0] for l in uploads)
    print("\nwhere the time goes (wall %.2f s; first upload arrived after %.2f s):" % (
        seconds, (first - launched_ns) / 1e9))
    by_command = collections.defaultdict(lambda: [0, 0])
    for arrived, answered, command, _path in lines:
        by_command[command][0] += 1
        by_command[command][1] += answered - arrived
    names = {1: "connect", 2: "upload", 3: "download", 4: "remove", 5: "pull", 6: "keep alive"}
    busy = sum(v[1] for v in by_command.values()) / 1e9
    for command, (n, ns) in sorted(by_command.items()):
        print("  server, %-10s %7d requests  %8.2f s  (%.0f us each)" % (
            names.get(command, str(command)), n, ns / 1e9, ns / 1e3 / max(n, 1)))
    print("  server busy %.2f s of the wall time (%.0f%%); CPU user %.2f s, system %.2f s" % (
        busy, 100 * busy / seconds, server_user, server_sys))
    print("  daemon CPU user %.2f s, system %.2f s" % (daemon_user, daemon_sys))
    for name, (voluntary, involuntary) in switches.items():
        print("  %s context switches: %.1f voluntary, %.1f involuntary per file; its threads waited %.2f s"
              " in all for a CPU" % (name, voluntary / files, involuntary / files, queued[name]))
    if len(daemon_threads) > 1:
        for name, cpu in daemon_threads.most_common():
            print("    thread %-16s %8.2f s" % (name, cpu))
    print("  (one connection is shared by every worker: while the server is busy, workers wait for it;\n"
          "   the rest of the wall time is the daemon's copy, MD4, database and exchange work)")
    if perf:
        print("\n" + perf_summary(PERF_DATA))
    for name, _tracer in tracers:
        print("\nsystem calls of the %s (strace -c -f), %d files:" % (name, files))
        with open("/tmp/strace-%s.txt" % name) as f:
            table = f.read().splitlines()
        for line in table:
            fields = line.split()
            if len(fields) >= 5 and fields[3].isdigit():
                print("  %s  (%.1f per file)" % (line, int(fields[3]) / files))
            elif "total" in line:
                print("  " + line)


if __name__ == "__main__":
    main()
