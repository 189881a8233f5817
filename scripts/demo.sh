#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the daemon's main job in a
# throw-away appliance (scripts/sandbox.sh): it starts tide-clientd on a
# generated configuration, shows what it logs, and stops it cleanly.
#
#   scripts/demo.sh            run for 5 seconds
#   TIDE_DEMO_SECONDS=60 scripts/demo.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tide-clientd tide-clientctl
# The script is reached through the sandbox's link: the tree may live under /tmp.
exec scripts/sandbox.sh -- bash -c 'exec bash "$TIDE_SRC/scripts/demo-inside.sh"'
