#!/usr/bin/env bash
# Installs the dependencies, builds, and runs every test:
#   1. plain build (warnings are errors): unit and whole-daemon tests;
#   2. AddressSanitizer + UndefinedBehaviorSanitizer: unit tests;
#   3. ThreadSanitizer: unit tests, then the whole-daemon tests of the
#      synchronisation engine (TIDE_SKIP_TSAN=1 leaves both out);
#   4. clang with the lock annotations checked (-Wthread-safety): unit tests;
#   5. clang with libFuzzer: every fuzz target built and run a few seconds
#      over its seed corpus (TIDE_FUZZ_SECONDS, default 5);
#   6. a Release build of the programs, as a packager builds them (warnings
#      stay warnings there).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

jobs=$(nproc 2>/dev/null || echo 2)
bash scripts/deps.sh

echo "== plain build: unit and whole-daemon tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDE_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: unit tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTIDE_SANITIZE=ON -DTIDE_WERROR=ON -DTIDE_E2E=OFF \
  -DTIDE_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -L unit

if [ "${TIDE_SKIP_TSAN:-0}" != 1 ]; then
  echo "== ThreadSanitizer: unit tests"
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDE_TSAN=ON -DTIDE_WERROR=ON -DTIDE_E2E=OFF \
    -DTIDE_BENCH=OFF >/dev/null
  cmake --build build-tsan -j"$jobs"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L unit
  echo "== ThreadSanitizer: whole-daemon tests of the engine"
  bash scripts/e2e-tsan.sh --engine
fi

echo "== clang, lock annotations checked: unit tests"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=Debug -DTIDE_THREAD_SAFETY=ON -DTIDE_WERROR=ON \
  -DTIDE_E2E=OFF -DTIDE_BENCH=OFF >/dev/null
cmake --build build-clang -j"$jobs"
ctest --test-dir build-clang --output-on-failure -j"$jobs" -L unit

echo "== clang, libFuzzer: every fuzz target built and run briefly"
bash scripts/fuzz.sh "${TIDE_FUZZ_SECONDS:-5}"

echo "== Release build of the programs, as a packager builds them"
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTIDE_TESTS=OFF -DTIDE_E2E=OFF -DTIDE_BENCH=OFF >/dev/null
cmake --build build-release -j"$jobs" --target tide-clientd tide-clientctl tide-refsyncd
