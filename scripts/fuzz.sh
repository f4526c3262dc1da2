#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each one for the given number of
# seconds (default 60) on a seed corpus made from the test speech.
# Usage: scripts/fuzz.sh [seconds] [target-name-filter]
# Exits non-zero when a target finds a crash, a leak or a timeout.
set -euo pipefail
cd "$(dirname "$0")/.."
# Absolute paths: fuzz_cli changes the working folder while it runs velconv.
root=$PWD
seconds=${1:-60}
filter=${2:-}
SONX_WANT_CLANG=1 scripts/deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONX_FUZZ=ON \
  -DSONX_BUILD_TESTS=OFF -DSONX_BUILD_BENCH=OFF -DSONX_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"
scripts/make-corpus.sh build-fuzz/velconv "$root/fuzz/corpus"
mkdir -p "$root/fuzz/artifacts"
status=0
ran=0
for bin in build-fuzz/fuzz/fuzz_*; do
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  name=$(basename "$bin")
  [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
  ran=$((ran + 1))
  mkdir -p "$root/fuzz/corpus/$name"
  echo "== $name for ${seconds}s"
  if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
      "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=0 \
      -artifact_prefix="$root/fuzz/artifacts/$name-" "$root/fuzz/corpus/$name" 2> "$root/fuzz/artifacts/$name.log"; then
    echo "FAILED: $name (see fuzz/artifacts/$name.log)"
    tail -40 "fuzz/artifacts/$name.log"
    status=1
  else
    grep -E '^(#[0-9]+ *DONE|Done)' "fuzz/artifacts/$name.log" | tail -1 || true
  fi
done
if [ "$ran" = 0 ]; then
  echo "No fuzz target found${filter:+ matching '$filter'}"
  exit 1
fi
exit $status
