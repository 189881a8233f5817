#!/usr/bin/env bash
# Start-up and reload time of tide-clientd with many users, in the sandbox:
# a user database of USERS enabled users (default 10000), each home holding a
# few files. Measures launch → "main thread starts receiving events", then a
# "reload" with nothing changed (sent together with an empty "reload_list",
# whose "no user list" line marks the end of the reload).
#
#   bench/startup_users.sh [USERS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
users=${1:-10000}
build=${2:-build}
exec scripts/sandbox.sh --build "$build" -- python3 - "$users" <<'PY'
import ctypes, functools, os, signal, socket, subprocess, sys, time
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER: reap the detached daemon
users = int(sys.argv[1])
print = functools.partial(print, flush=True)
src, build = os.environ["TIDE_SRC"], os.environ["TIDE_BUILD"]
log, pid_file = "/var/log/tdwl/client.log", "/var/run/tide-clientd.pid"
# INFO for the daemon's own lines (one per registered user), as shipped.
with open("/var/packages/Tidewell/target/etc/syncfolder_c.debug", "w") as f:
    f.write("client_debug=6\n")
made = time.monotonic()
subprocess.run([sys.executable, os.path.join(src, "scripts/make-user-db.py"), "--users", str(users),
                "--files", "3"], check=True)
print("user database and %d homes made in %.1f s" % (users, time.monotonic() - made))

def occurrences(text):
    # The log rotates past 1 MiB (one line per user): count over every
    # generation, which only ever grows while a run lasts.
    total = 0
    for name in [log] + ["%s_%d" % (log, k) for k in range(10)]:
        try:
            with open(name, errors="replace") as f:
                total += f.read().count(text)
        except OSError:
            pass
    return total

def wait_for(text, before):
    while occurrences(text) <= before:
        time.sleep(0.02)

start = time.monotonic()
subprocess.run([os.path.join(build, "tide-clientd")], check=True)
wait_for("main thread starts receiving events", 0)
print("start-up with %d users: %.0f ms" % (users, (time.monotonic() - start) * 1000))

def message(action):
    body = b"\x10\x00\x06action" + b"\x10" + len(action).to_bytes(2, "big") + action.encode()
    return b"\x42" + body + b"\x40"

for run in range(3):
    before = occurrences("no user list")
    start = time.monotonic()
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
        client.connect("/tmp/tide-clientd-control")
        client.sendall(message("reload") + message("reload_list"))
        wait_for("no user list", before)
    print("reload with nothing changed, run %d: %.0f ms" % (run + 1, (time.monotonic() - start) * 1000))

pid = int(open(pid_file).read())
os.kill(pid, signal.SIGTERM)
os.waitpid(pid, 0)
PY
