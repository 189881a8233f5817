#!/usr/bin/env bash
# The demo's steps inside the sandbox (see demo.sh).
set -euo pipefail

seconds=${TIDE_DEMO_SECONDS:-5}
log=/var/log/tdwl/client.log
config=/tmp/tide-clientd.conf

cat > "$config" <<CONF
# tide-clientd configuration for the demo; every other key keeps its default.
worker_count = 4
is_daemon = true
CONF

echo "== appliance layout"
echo "db-path.conf: $(cat /var/packages/Tidewell/etc/db-path.conf)"
echo "shares.conf:  $(cat /var/packages/Tidewell/etc/shares.conf)"
echo "configuration ($config):"; sed 's/^/  /' "$config"

echo "== starting tide-clientd"
"$TIDE_BUILD/tide-clientd" "$config"
for _ in $(seq 1 100); do
  grep -q "main thread starts receiving events" "$log" 2>/dev/null && break
  sleep 0.1
done
pid=$(cat /var/run/tide-clientd.pid)
echo "running as pid $pid with $(ls /proc/"$pid"/task | wc -l) threads; watching for ${seconds}s"
sleep "$seconds"

echo "== stopping (SIGTERM)"
kill -TERM "$pid"
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
