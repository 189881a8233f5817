#!/usr/bin/env bash
# Runs the whole-daemon tests against a ThreadSanitizer build of every
# program. A race the daemon meets does not fail a test by itself (the
# daemon detaches and keeps running), so every report is written under
# build-tsan/tsan-reports/ and this script fails when any was written.
#   bash scripts/e2e-tsan.sh [ctest arguments, e.g. -R e2e_test_sync]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

jobs=$(nproc 2>/dev/null || echo 2)
bash scripts/deps.sh
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDE_TSAN=ON -DTIDE_TESTS=ON -DTIDE_E2E=ON \
  -DTIDE_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
rm -rf build-tsan/tsan-reports
mkdir -p build-tsan/tsan-reports
# tests/e2e/run.sh points TSAN_OPTIONS' log_path into the build tree as the
# sandbox reaches it.
TIDE_TSAN_REPORTS=1 ctest --test-dir build-tsan --output-on-failure --no-tests=error -L e2e "$@"
if compgen -G "build-tsan/tsan-reports/*" >/dev/null; then
  echo "ThreadSanitizer reports:"
  cat build-tsan/tsan-reports/*
  exit 1
fi
echo "no ThreadSanitizer reports"
