#!/usr/bin/env bash
# Builds every libFuzzer target (tests/fuzz/fuzz_<subject>.cpp) with clang and
# runs each for a few seconds over its seed corpus, so that none can stop
# compiling or start crashing unnoticed. Fails when a target does not build
# or when one crashes, leaks, hangs or runs out of memory; the input that did
# it is kept in build-fuzz/artifacts/ and printed.
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 5)
# New inputs a run finds go to build-fuzz/corpus/<subject>/, never into the
# seed corpus in the source tree: add one there by hand when it is worth
# keeping (a crash, once fixed, always is).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-5}
jobs=$(nproc 2>/dev/null || echo 2)
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDE_FUZZ=ON \
  -DTIDE_WERROR=ON >/dev/null
# The fuzz targets only: the programs are built (and tested) elsewhere.
targets=()
for source in tests/fuzz/fuzz_*.cpp; do targets+=(--target "$(basename "$source" .cpp)"); done
cmake --build build-fuzz -j"$jobs" "${targets[@]}"

rm -rf build-fuzz/artifacts
mkdir -p build-fuzz/artifacts
failed=()
for source in tests/fuzz/fuzz_*.cpp; do
  name=$(basename "$source" .cpp)
  subject=${name#fuzz_}
  seeds=tests/fuzz/corpus/$subject
  found=build-fuzz/corpus/$subject
  mkdir -p "$found"
  [ -d "$seeds" ] || { echo "$name: no seed corpus at $seeds" >&2; failed+=("$name"); continue; }
  echo "== $name: ${seconds}s over $seeds"
  # The first corpus folder receives what the run finds; -timeout catches
  # an input that makes a target hang.
  if ! "build-fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/artifacts/$name-" "$found" "$seeds" > "build-fuzz/$name.log" 2>&1; then
    failed+=("$name")
    tail -n 60 "build-fuzz/$name.log"
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added):' "build-fuzz/$name.log" | tr '\n' ' ' || true
  echo
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}" >&2
  for artifact in build-fuzz/artifacts/*; do
    [ -e "$artifact" ] || continue
    echo "-- $artifact:"
    od -A d -t x1z -v "$artifact" | head -n 20
  done
  exit 1
fi
echo "every fuzz target ran ${seconds}s without a failure"
