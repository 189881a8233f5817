#!/usr/bin/env bash
# Start-up time of tide-clientd in the sandbox: from launch until the log
# holds "main thread starts receiving events". Prints each run and the
# median of the runs (default 10).
#
#   bench/startup.sh [RUNS]        (after cmake --build build)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
runs=${1:-10}
exec scripts/sandbox.sh -- python3 - "$runs" <<'PY'
import ctypes, os, signal, statistics, subprocess, sys, time
# Detached daemons are re-parented to us, so each one can be reaped before the
# next start (a zombie would still look alive to the PID-file check).
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
daemon = os.path.join(os.environ["TIDE_BUILD"], "tide-clientd")
log, pid_file = "/var/log/tdwl/client.log", "/var/run/tide-clientd.pid"
marker = "main thread starts receiving events"
times = []
for run in range(int(sys.argv[1])):
    offset = os.path.getsize(log) if os.path.exists(log) else 0
    start = time.monotonic()
    subprocess.run([daemon], check=True)
    while True:
        with open(log, errors="replace") as f:
            f.seek(offset)
            if marker in f.read():
                break
        time.sleep(0.0005)
    times.append((time.monotonic() - start) * 1000)
    pid = int(open(pid_file).read())
    os.kill(pid, signal.SIGTERM)
    os.waitpid(pid, 0)
    print("run %2d: %.1f ms" % (run + 1, times[-1]))
print("median start-up: %.1f ms over %d runs" % (statistics.median(times), len(times)))
PY
