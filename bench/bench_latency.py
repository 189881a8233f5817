#!/usr/bin/env python3
"""Latency of one local change, whole daemon in the sandbox: from a file's
close to its upload request arriving at tide-refsyncd, over COUNT
single-file writes (each waits for the previous one to arrive), median and
99th percentile. In the same run, the same writes through lsyncd (Debian's
package, delay = 0, rsync to a local folder on the same volume): from the
close to the copy appearing at the target.

    bench/bench_latency.py [COUNT] [BUILD_DIR]      (root; default 200 build)

The close is stamped just before close() is called. The server stamps a
request's arrival in its trace (--trace) when it reads
the command code; lsyncd's side is stamped when inotify reports the copy
renamed into place. Figures are printed, never judged."""

import os
import statistics
import subprocess
import sys
import time

import sandbox_bench as sb

PAYLOAD = b"x" * 100
# Bounds for a single change to arrive; only against hanging, not measured.
ARRIVAL_SECONDS = 30


def report(name, latencies_ns):
    ms = [v / 1e6 for v in latencies_ns]
    print("%-34s n=%d  median %.3f ms  p99 %.3f ms  mean %.3f ms  min %.3f ms  max %.3f ms" % (
        name, len(ms), statistics.median(ms), sb.percentile(ms, 0.99), statistics.mean(ms), min(ms), max(ms)),
        flush=True)
    return statistics.median(ms), sb.percentile(ms, 0.99)


def write_file(path):
    """Writes the file; returns the time just before its close. Taken after
    the close, the stamp could fall behind the arrival itself whenever this
    process is descheduled first (the daemon reacts within microseconds):
    before it, a figure can only come out a little long."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.write(fd, PAYLOAD)
    closing = sb.now_ns()
    os.close(fd)
    return closing


def run_daemon(count, harness, refserver):
    sb.prepare_view(harness)
    open(sb.TRACE, "w").close()
    server = refserver.RefServer("/volume1/@refsyncd", log_level=4, trace=sb.TRACE).start()
    server.add_view(sb.VIEW, sb.ALICE)
    daemon = sb.start_daemon(harness)
    trace = sb.Trace()
    # Woken by the trace growing rather than polling it: the poller's CPU
    # would be taken from the daemon on a small machine.
    inotify = sb.Inotify()
    inotify.watch(sb.TRACE, sb.Inotify.IN_MODIFY)

    def arrival(rel_path, timeout=ARRIVAL_SECONDS):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for arrived, _answered, command, path in trace.new_lines():
                if command == sb.CMD_UPLOAD and path == rel_path:
                    return arrived
            inotify.read(0.5)
        raise SystemExit("upload of %s never arrived; daemon log:\n%s" % (
            rel_path, harness.read(harness.LOG_FILE)[-4000:]))

    try:
        # The folder's own upload goes first.
        os.makedirs(sb.ALICE + "/lat")
        arrival("/lat")
        write_file(sb.ALICE + "/lat/warm-up")
        arrival("/lat/warm-up")
        time.sleep(0.5)
        latencies = []
        for i in range(count):
            name = "/lat/f%04d" % i
            closed = write_file(sb.ALICE + name)
            latencies.append(arrival(name) - closed)
            # Let the answer and the database row settle: one change at a time.
            time.sleep(0.02)
        rss = harness.read("/proc/%d/status" % daemon.pid)
        peak = [line for line in rss.splitlines() if line.startswith("VmHWM")]
    finally:
        inotify.close()
        daemon.stop()
        server.stop()
    print("tide-clientd peak resident memory: %s" % (peak[0].split(":")[1].strip() if peak else "?"))
    return latencies


def run_lsyncd(count):
    source, target = "/volume1/lsrc", "/volume1/ldst"
    os.makedirs(source + "/lat", exist_ok=True)
    os.makedirs(target, exist_ok=True)
    config = "/tmp/lsyncd.conf"
    with open(config, "w") as f:
        f.write('settings { nodaemon = true, logfile = "/tmp/lsyncd.log", statusFile = "/tmp/lsyncd.status" }\n'
                'sync { default.rsync, source = "%s", target = "%s", delay = 0 }\n' % (source, target))
    proc = subprocess.Popen(["lsyncd", config], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    inotify = sb.Inotify()
    try:
        deadline = time.monotonic() + ARRIVAL_SECONDS
        while not os.path.isdir(target + "/lat"):
            if time.monotonic() > deadline or proc.poll() is not None:
                raise SystemExit("lsyncd did not start:\n" + open("/tmp/lsyncd.log").read()[-4000:])
            time.sleep(0.01)
        inotify.watch(target + "/lat", sb.Inotify.IN_MOVED_TO | sb.Inotify.IN_CLOSE_WRITE)

        def appeared(name):
            deadline = time.monotonic() + ARRIVAL_SECONDS
            while time.monotonic() < deadline:
                for _mask, got in inotify.read(1.0):
                    if got == name:
                        return sb.now_ns()
            raise SystemExit("lsyncd never copied %s" % name)

        write_file(source + "/lat/warm-up")
        appeared("warm-up")
        time.sleep(0.5)
        latencies = []
        for i in range(count):
            name = "f%04d" % i
            closed = write_file(source + "/lat/" + name)
            latencies.append(appeared(name) - closed)
            time.sleep(0.02)
    finally:
        inotify.close()
        proc.terminate()
        proc.wait(30)
    return latencies


def main():
    args = [a for a in sys.argv[1:] if a != "--inside"]
    count = int(args[0]) if args else 200
    if "--inside" not in sys.argv:
        build = os.path.abspath(args[1] if len(args) > 1 else os.path.join(sb.SRC, "build"))
        sb.ensure_tools("lsyncd", "rsync")
        sb.enter_sandbox(__file__, [str(count)], build)
    harness, refserver = sb.inside_modules()
    print("bench_latency: %d single-file writes of %d bytes, close -> arrival" % (count, len(PAYLOAD)), flush=True)
    ours = report("tide-clientd -> tide-refsyncd", run_daemon(count, harness, refserver))
    theirs = report("lsyncd (delay 0) -> rsync, local", run_lsyncd(count))
    print("median ratio tide-clientd / lsyncd: %.2f" % (ours[0] / theirs[0]))


if __name__ == "__main__":
    main()
