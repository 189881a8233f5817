#!/usr/bin/env bash
# Runs one whole-daemon test module inside the sandbox's namespace:
#   run.sh test_startup
set -euo pipefail
cd "$TIDE_SRC/tests/e2e"
# The tree may sit under a folder the sandbox covers, where its real path no
# longer leads anywhere: import the tests through the sandbox's link instead.
export PYTHONPATH="$TIDE_SRC/tests/e2e${PYTHONPATH:+:$PYTHONPATH}"
exec python3 -m unittest -v "$@"
