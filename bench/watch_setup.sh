#!/usr/bin/env bash
# Watch set-up time for a tree of directories: the daemon's watch tree
# (bench_detector setup) against inotifywait -r on the same tree, and the
# volume watch (bench_detector setup-varn, one kernel mark) beside them, in
# turns, each measured from launch until it reports its watches established.
# Prints every run (with the kernel memory figures the bench reports), the
# medians and their ratios.
#
#   bench/watch_setup.sh [DIRS] [RUNS] [BUILD]    (defaults 50000, 5, build)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
dirs=${1:-50000}
runs=${2:-5}
build=${3:-build}
bench="$build/bench/bench_detector"
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
command -v inotifywait >/dev/null || { echo "inotifywait (inotify-tools) is missing" >&2; exit 1; }

tree=$(mktemp -d "${TMPDIR:-/tmp}/tide-watch-setup-XXXXXX")
trap 'rm -rf "$tree"' EXIT

exec python3 - "$tree" "$dirs" "$runs" "$bench" <<'PY'
import os, statistics, subprocess, sys, time

tree, dirs, runs, bench = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
# Two levels: 100 folders of (dirs / 100 - 1) sub-folders each, `dirs` in all.
per = dirs // 100 - 1
for top in range(100):
    base = os.path.join(tree, "d%03d" % top)
    os.mkdir(base)
    for sub in range(per):
        os.mkdir(os.path.join(base, "s%d" % sub))
total = sum(len(d) for _, d, _ in os.walk(tree))
print("tree: %d directories below %s" % (total, tree))


def until(command, stream_name, marker):
    start = time.monotonic()
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    stream = proc.stdout if stream_name == "stdout" else proc.stderr
    for line in stream:
        if marker in line:
            elapsed = (time.monotonic() - start) * 1000
            break
    else:
        raise SystemExit("%s never reported %r" % (command[0], marker))
    proc.kill()
    proc.wait()
    return elapsed, line.strip()


ours, theirs, volume = [], [], []
for run in range(runs):
    ms, report = until([bench, "setup", tree], "stdout", "setup_ms")
    ours.append(ms)
    print("run %d: watch tree %.0f ms (%s)" % (run + 1, ms, report))
    ms, report = until([bench, "setup-varn", tree], "stdout", "setup_ms")
    volume.append(ms)
    print("run %d: volume watch %.1f ms (%s)" % (run + 1, ms, report))
    ms, _ = until(["inotifywait", "-r", "-m", "-e", "create", tree], "stderr", "Watches established")
    theirs.append(ms)
    print("run %d: inotifywait -r %.0f ms" % (run + 1, ms))
    sys.stdout.flush()
mine, other, vol = statistics.median(ours), statistics.median(theirs), statistics.median(volume)
print("median: watch tree %.0f ms, inotifywait -r %.0f ms, ratio %.2f" % (mine, other, mine / other))
print("median: volume watch %.1f ms, watch tree / volume watch %.0f" % (vol, mine / vol))
PY
