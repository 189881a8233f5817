#!/usr/bin/env bash
# Runs the whole-daemon tests against a ThreadSanitizer build of every
# program. A race the daemon meets does not fail a test by itself (the
# daemon detaches and keeps running), so every report is written under
# build-tsan/tsan-reports/ and this script fails when any was written.
#   bash scripts/e2e-tsan.sh [--engine] [ctest arguments, e.g. -R e2e_test_sync]
# --engine runs only the modules of the synchronisation engine, where the
# threads meet most (syncers, workers, progress syncer and detector): what
# CI runs, about two minutes on two cores.
#
# Left out, and why:
#   test_random_full_volume  its seed fills a 40 MB volume while transfers
#                            run; under the sanitizer's slow-down the view
#                            was still frozen when the checks ran (seed
#                            full_volume:1001, after "create progress view
#                            failed" on the full database), so the module
#                            fails here for a reason of its own. It runs in
#                            the plain build.
# test_startup runs: the harness does not count the sanitizer runtime's own
# background thread among the daemon's threads.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

ENGINE='^e2e_test_(sync|transfer|removal|server_syncer)$'
EXCLUDED='^e2e_test_random_full_volume$'

selection=(-E "$EXCLUDED")
if [ "${1:-}" = "--engine" ]; then
  shift
  selection=(-R "$ENGINE")
fi

jobs=$(nproc 2>/dev/null || echo 2)
bash scripts/deps.sh
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDE_TSAN=ON -DTIDE_TESTS=ON -DTIDE_E2E=ON \
  -DTIDE_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
rm -rf build-tsan/tsan-reports
mkdir -p build-tsan/tsan-reports
# tests/e2e/run.sh points TSAN_OPTIONS' log_path into the build tree as the
# sandbox reaches it.
TIDE_TSAN_REPORTS=1 ctest --test-dir build-tsan --output-on-failure --no-tests=error -L e2e "${selection[@]}" "$@"
if compgen -G "build-tsan/tsan-reports/*" >/dev/null; then
  echo "ThreadSanitizer reports:"
  cat build-tsan/tsan-reports/*
  exit 1
fi
echo "no ThreadSanitizer reports"
