#!/usr/bin/env bash
# The demo's steps inside the sandbox (see demo.sh): an appliance with one
# user home and one shared folder, the daemon registering both, detecting
# changes made by ordinary programs, obeying tide-clientctl, stopping cleanly.
set -euo pipefail

seconds=${TIDE_DEMO_SECONDS:-5}
log=/var/log/tdwl/client.log
config=/tmp/tide-clientd.conf
ctl="$TIDE_BUILD/tide-clientctl"

python3 "$TIDE_SRC/scripts/make-user-db.py" --user alice:1001 --share public:2001:/volume1/public --files 2
# Show registration, detection and the event manager's hand-offs.
cat > /var/packages/Tidewell/target/etc/syncfolder_c.debug <<LEVELS
client_debug=7
detector_debug=6
event_mgr_debug=7
LEVELS
cat > "$config" <<CONF
# tide-clientd configuration for the demo; every other key keeps its default.
worker_count = 4
is_daemon = true
CONF

echo "== appliance layout"
echo "db-path.conf: $(cat /var/packages/Tidewell/etc/db-path.conf)"
echo "shares.conf:  $(cat /var/packages/Tidewell/etc/shares.conf)"
echo "views in the user database: alice (home, view 1001), public (share, view 2001)"
echo "configuration ($config):"; sed 's/^/  /' "$config"

echo "== starting tide-clientd"
"$TIDE_BUILD/tide-clientd" "$config"
for _ in $(seq 1 200); do
  grep -q "main thread starts receiving events" "$log" 2>/dev/null && break
  sleep 0.1
done
pid=$(cat /var/run/tide-clientd.pid)
echo "running as pid $pid with $(ls /proc/"$pid"/task | wc -l) threads"

echo "== changing files in the views"
echo "hello" > /volume1/homes/alice/new.txt
mkdir -p /volume1/public/photos/2026
cp /volume1/homes/alice/new.txt /volume1/public/photos/2026/copy.txt
mv /volume1/homes/alice/file0.txt /volume1/homes/alice/renamed.txt
rm /volume1/public/file1.txt
sleep 2

echo "== tide-clientctl pause, resume, dump"
"$ctl" pause && "$ctl" resume && "$ctl" dump
echo "watching for ${seconds}s"
sleep "$seconds"

echo "== stopping (tide-clientctl stop)"
"$ctl" stop
for _ in $(seq 1 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "daemon did not stop" >&2
  exit 1
fi
echo "== $log"
cat "$log"
