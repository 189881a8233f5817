#!/usr/bin/env bash
# Runs one whole-daemon test module inside the sandbox's namespace:
#   run.sh test_startup
set -euo pipefail
cd "$TIDE_SRC/tests/e2e"
# The tree may sit under a folder the sandbox covers, where its real path no
# longer leads anywhere: import the tests through the sandbox's link instead.
export PYTHONPATH="$TIDE_SRC/tests/e2e${PYTHONPATH:+:$PYTHONPATH}"
# Under scripts/e2e-tsan.sh every program's race reports go to the build
# tree, where the script looks for them after the run.
if [ "${TIDE_TSAN_REPORTS:-0}" = 1 ]; then
  export TSAN_OPTIONS="log_path=$TIDE_BUILD/tsan-reports/report halt_on_error=0 ${TSAN_OPTIONS:-}"
fi
exec python3 -m unittest -v "$@"
