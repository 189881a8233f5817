#!/usr/bin/env bash
# Installs the dependencies, builds, and shows the daemon's main job in a
# throw-away appliance (scripts/sandbox.sh): the reference server and
# tide-clientd on built-in defaults, and a live two-way synchronisation.
# Each step prints one line; a step that does not see what it expects says
# so and the demo exits non-zero.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tide-clientd tide-clientctl tide-refsyncd >/dev/null
# The script is reached through the sandbox's link: the tree may live under /tmp.
exec scripts/sandbox.sh -- bash -c 'exec bash "$TIDE_SRC/scripts/demo-inside.sh"'
