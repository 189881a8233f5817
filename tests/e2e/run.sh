#!/usr/bin/env bash
# Runs one whole-daemon test module inside the sandbox's namespace:
#   run.sh test_startup
set -euo pipefail
cd "$TIDE_SRC/tests/e2e"
exec python3 -m unittest -v "$@"
