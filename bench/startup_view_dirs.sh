#!/usr/bin/env bash
# Start-up of tide-clientd on one view of DIRS directories (default 100000),
# in the sandbox, with each detector in turns: the inotify watch tree
# (TIDE_DETECTOR=inotify) and the volume watch. Measures launch → "main
# thread starts receiving events" (registration sets up the watches), and
# the kernel side once started: the watches or marks the daemon's
# notification descriptor holds (its fdinfo) and the growth of the kernel's
# unreclaimable slab.
#
#   bench/startup_view_dirs.sh [DIRS] [RUNS] [BUILD_DIR]   (defaults 100000, 3, build)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
dirs=${1:-100000}
runs=${2:-3}
build=${3:-build}
exec scripts/sandbox.sh --volume-size 2g --build "$build" -- python3 - "$dirs" "$runs" <<'PY'
import ctypes, functools, os, signal, statistics, subprocess, sys, time
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER: reap the detached daemon
dirs, runs = int(sys.argv[1]), int(sys.argv[2])
print = functools.partial(print, flush=True)
src, build = os.environ["TIDE_SRC"], os.environ["TIDE_BUILD"]
log, pid_file = "/var/log/tdwl/client.log", "/var/run/tide-clientd.pid"
with open("/var/packages/Tidewell/target/etc/syncfolder_c.debug", "w") as f:
    f.write("client_debug=7\n")
subprocess.run([sys.executable, os.path.join(src, "scripts/make-user-db.py"), "--user", "alice:10"], check=True)
home = "/volume1/homes/alice"
# Two levels: 100 folders of (dirs / 100 - 1) sub-folders each, `dirs` in all.
for top in range(100):
    base = os.path.join(home, "d%03d" % top)
    os.makedirs(base, exist_ok=True)
    for sub in range(dirs // 100 - 1):
        os.mkdir(os.path.join(base, "s%d" % sub))
print("view: %d directories below %s" % (sum(len(d) for _, d, _ in os.walk(home)), home))


def unreclaimable_kb():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("SUnreclaim:"):
                return int(line.split()[1])
    return -1


def descriptor_lines(pid):
    """(inotify watches, fanotify file-system marks) over the daemon's descriptors."""
    watches = marks = 0
    for fd in os.listdir("/proc/%d/fdinfo" % pid):
        try:
            with open("/proc/%d/fdinfo/%s" % (pid, fd)) as f:
                for line in f:
                    watches += line.startswith("inotify wd:")
                    marks += line.startswith("fanotify sdev:")
        except OSError:
            pass
    return watches, marks


def one_run(detector):
    env = dict(os.environ)
    env.pop("TIDE_DETECTOR", None)
    if detector == "inotify":
        env["TIDE_DETECTOR"] = "inotify"
    offset = os.path.getsize(log) if os.path.exists(log) else 0
    slab = unreclaimable_kb()
    start = time.monotonic()
    subprocess.run([os.path.join(build, "tide-clientd")], check=True, env=env)
    while True:
        with open(log, errors="replace") as f:
            f.seek(offset)
            text = f.read()
        if "main thread starts receiving events" in text:
            break
        time.sleep(0.005)
    elapsed = (time.monotonic() - start) * 1000
    pid = int(open(pid_file).read())
    watches, marks = descriptor_lines(pid)
    growth = unreclaimable_kb() - slab
    chosen = "inotify" if "Not Support Varnotify" in text else "volume"
    os.kill(pid, signal.SIGTERM)
    os.waitpid(pid, 0)
    return elapsed, chosen, watches, marks, growth


results = {"inotify": [], "volume": []}
for run in range(runs):
    for detector in ("inotify", "volume"):
        elapsed, chosen, watches, marks, growth = one_run(detector)
        results[detector].append(elapsed)
        print("run %d %-7s (%s detector): start-up %.0f ms, inotify watches %d, file-system marks %d, "
              "unreclaimable slab +%d KiB" % (run + 1, detector, chosen, elapsed, watches, marks, growth))
for detector, times in results.items():
    print("median start-up, %s: %.0f ms" % (detector, statistics.median(times)))
PY
