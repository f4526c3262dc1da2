#!/usr/bin/env bash
# The browser test: the page in headless Chromium against native velconv.
# Needs scripts/deps-web.sh and scripts/build-web.sh first. Leaves
# build-web/screenshot.png (and screenshot-phone.png) behind.
set -euo pipefail
cd "$(dirname "$0")/.."

# Native velconv: the one the test suite built, else a build of its own.
velconv="${SONX_VELCONV:-}"
if [ -z "$velconv" ]; then
  if [ -x build-test/velconv ]; then
    velconv=build-test/velconv
  else
    cmake -S . -B build-web-native -DSONX_BUILD_TESTS=OFF -DSONX_BUILD_BENCH=OFF -DSONX_BUILD_EXAMPLES=OFF >/dev/null
    cmake --build build-web-native -j"${SONX_JOBS:-2}" --target velconv >/dev/null
    velconv=build-web-native/velconv
  fi
fi
[ -d tests/web/node_modules ] || { echo "node packages missing: run scripts/deps-web.sh" >&2; exit 1; }

node tests/web/browser_test.mjs build-web "$velconv" build-web-test

# Half an hour of varied speech through the module in Node.js: every byte as native.
node tests/web/equivalence.mjs build-web "$velconv" build-web-test

# The same module in Node.js, on the QCP the browser test made with velconv.
node examples/node-convert.mjs build-web-test/inputs/memo.qcp build-web-test/node-memo.wav
cmp build-web-test/node-memo.wav build-web-test/native/memo.wav
echo "ok   examples/node-convert.mjs gives native velconv's WAV"
