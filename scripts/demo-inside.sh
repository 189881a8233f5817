#!/usr/bin/env bash
# The demo's steps inside the sandbox (see demo.sh): the reference server and
# tide-clientd on built-in defaults, and a live two-way synchronisation of a
# user home and a shared folder. Every step prints one line of what it did
# and what it saw; a step that does not see what it expects says so and the
# demo exits non-zero (the whole-daemon tests run this script too).
set -euo pipefail

build=${TIDE_BUILD:?run through scripts/demo.sh or scripts/sandbox.sh}
ctl="$build/tide-clientctl"
refsyncd="$build/tide-refsyncd"
client_log=/var/log/tdwl/client.log
server_home=/volume1/@refsyncd
server_log=/tmp/refsyncd.log
alice=/volume1/homes/alice
public=/volume1/public
ALICE_VIEW=1001
PUBLIC_VIEW=2001
# Generous: a loaded machine is slow, and a step ends as soon as it sees
# what it waits for.
wait_seconds=${TIDE_DEMO_WAIT:-90}

step_no=0
step() { step_no=$((step_no + 1)); printf '%2d. %s\n' "$step_no" "$*"; }
show() { sed 's/^/      /'; }
fail() {
  printf '%2d. FAILED: %s\n' "$step_no" "$*"
  echo "    logs: $client_log, $server_log"
  exit 1
}
# Polls a command until it succeeds; false after wait_seconds.
wait_for() {
  local deadline=$((SECONDS + wait_seconds))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}
server() { "$refsyncd" --db "$server_home/history.sqlite" --store "$server_home/store" "$@"; }
# The server holds PATH of VIEW as a file whose content is TEXT.
server_has() {
  local view=$1 path=$2 text=$3 got=/tmp/demo-get
  server get "$view" "$path" "$got" 2>/dev/null && [ "$(cat "$got")" = "$text" ]
}
server_lacks() { ! server tree "$1" | awk '{print $6}' | grep -qxF "$2"; }
disk_has() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }
daemon_pid() { cat /var/run/tide-clientd.pid 2>/dev/null; }
# Gone, or a zombie (a caller that reaps orphans may not have collected it yet).
daemon_gone() { ! kill -0 "$1" 2>/dev/null || [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ]; }
start_daemon() {
  local from
  from=$(stat -c %s "$client_log" 2>/dev/null || echo 0)
  "$build/tide-clientd"
  wait_for started_since "$from" || fail "tide-clientd did not start (see $client_log)"
}
started_since() { tail -c +"$(($1 + 1))" "$client_log" | grep -q "main thread starts receiving events"; }
stop_daemon() {
  local pid
  pid=$(daemon_pid)
  "$ctl" stop
  wait_for daemon_gone "$pid" || fail "tide-clientd (pid $pid) did not stop"
}

# The appliance: alice's home and the shared folder "public" in the user
# database, both recorded as views on the server; the daemon's log shows
# its start-up and every transfer.
python3 "$TIDE_SRC/scripts/make-user-db.py" --user "alice:$ALICE_VIEW" --share "public:$PUBLIC_VIEW:$public" >/dev/null
printf 'client_debug=6\nworker_debug=6\nsyncer_debug=6\n' > /var/packages/Tidewell/target/etc/syncfolder_c.debug
echo "first file" > "$alice/hello.txt"

server --socket /tmp/sfsock --log "$server_log" --pid-file /tmp/refsyncd.pid
server view-add "$ALICE_VIEW" "$alice" >/dev/null
server view-add "$PUBLIC_VIEW" "$public" >/dev/null
start_daemon
step "started tide-refsyncd (pid $(cat /tmp/refsyncd.pid), store $server_home) and tide-clientd (pid $(daemon_pid)) on built-in defaults"
wait_for server_has "$ALICE_VIEW" /hello.txt "first file" || fail "hello.txt, there before the start, did not reach the server"
step "the first synchronisation carried alice's hello.txt to the server"
"$ctl" status | show

# Appliance to server: files and a folder written by ordinary programs.
mkdir -p "$alice/photos/2026"
echo "notes, version 1" > "$alice/notes.txt"
head -c 20000 /dev/urandom > "$alice/photos/2026/beach.jpg"
cp "$alice/notes.txt" "$public/shared-notes.txt"
wait_for server_has "$ALICE_VIEW" /notes.txt "notes, version 1" || fail "notes.txt did not reach the server"
wait_for server_has "$PUBLIC_VIEW" /shared-notes.txt "notes, version 1" || fail "public/shared-notes.txt did not reach the server"
wait_for server get "$ALICE_VIEW" /photos/2026/beach.jpg /tmp/demo-beach || fail "photos/2026/beach.jpg did not reach the server"
cmp -s /tmp/demo-beach "$alice/photos/2026/beach.jpg" || fail "the server's beach.jpg differs from the disk's"
step "wrote notes.txt and photos/2026/beach.jpg in alice's home, shared-notes.txt in public: all on the server (its tree of alice):"
server tree "$ALICE_VIEW" | show

# Server to appliance: files a remote client put on the server.
echo "written by a remote client" > /tmp/demo-remote
server put "$ALICE_VIEW" /tmp/demo-remote /from-far-away.txt >/dev/null
server put "$PUBLIC_VIEW" /tmp/demo-remote /inbox/remote.txt >/dev/null
wait_for disk_has "$alice/from-far-away.txt" "written by a remote client" || fail "from-far-away.txt did not reach the disk"
wait_for disk_has "$public/inbox/remote.txt" "written by a remote client" || fail "inbox/remote.txt did not reach public"
step "put from-far-away.txt (alice) and inbox/remote.txt (public) on the server: both on the disk:"
{ ls -l "$alice/from-far-away.txt" "$public/inbox/remote.txt"; echo "content: $(cat "$public/inbox/remote.txt")"; } | show

# An edit on both sides: neither side has seen the other's when the daemon
# comes back, so the server's version wins and the local one is kept aside.
stop_daemon
echo "notes, edited on the appliance" > "$alice/notes.txt"
echo "notes, edited by a remote client" > /tmp/demo-remote
server put "$ALICE_VIEW" /tmp/demo-remote /notes.txt >/dev/null
start_daemon
conflict_copy() {
  local name
  name=$(cd "$alice" && ls | grep -E '^notes_.*Conflict.*\.txt$' | head -1)
  [ -n "$name" ] && disk_has "$alice/$name" "notes, edited on the appliance" && echo "$name"
}
wait_for disk_has "$alice/notes.txt" "notes, edited by a remote client" || fail "the server's notes.txt did not replace the local edit"
wait_for conflict_copy || fail "the local edit of notes.txt was not kept under a conflict name"
step "edited notes.txt on both sides while the daemon was stopped: the server's version is in place, the local one kept as $(conflict_copy)"

# A deletion each way.
rm "$alice/hello.txt"
server rm "$PUBLIC_VIEW" /inbox/remote.txt >/dev/null
wait_for server_lacks "$ALICE_VIEW" /hello.txt || fail "the removal of hello.txt did not reach the server"
wait_for test ! -e "$public/inbox/remote.txt" || fail "the server's removal of inbox/remote.txt did not reach the disk"
step "removed hello.txt on the disk and inbox/remote.txt on the server: gone on the other side too"

# Pause: a change waits until resume.
"$ctl" pause
echo "written while paused" > "$public/while-paused.txt"
sleep 3
server_lacks "$PUBLIC_VIEW" /while-paused.txt || fail "while-paused.txt reached the server although the daemon was paused"
step "tide-clientctl pause, then wrote public/while-paused.txt: it waits (status below)"
"$ctl" status | show
"$ctl" resume
wait_for server_has "$PUBLIC_VIEW" /while-paused.txt "written while paused" || fail "while-paused.txt did not reach the server after resume"
step "tide-clientctl resume: while-paused.txt arrived on the server"
"$ctl" status | show

# A clean stop.
pid=$(daemon_pid)
stop_daemon
[ ! -e /var/run/tide-clientd.status ] || fail "the status file outlived the daemon"
status=0
"$ctl" status >/dev/null || status=$?
[ "$status" = 3 ] || fail "tide-clientctl status said $status after the stop, not 3"
kill "$(cat /tmp/refsyncd.pid)"
step "tide-clientctl stop: tide-clientd (pid $pid) stopped in order; tide-clientctl status now exits with 3"
step "logs: $client_log (tide-clientd), $server_log (tide-refsyncd)"
