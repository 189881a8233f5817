#!/usr/bin/env bash
# Installs the dependencies, builds, and runs every test: the unit and
# whole-daemon tests of a plain build, then the unit tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

jobs=$(nproc 2>/dev/null || echo 2)
bash scripts/deps.sh

echo "== plain build: unit and whole-daemon tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: unit tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTIDE_SANITIZE=ON -DTIDE_E2E=OFF -DTIDE_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -L unit
