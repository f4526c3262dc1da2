#!/usr/bin/env bash
# The browser test: the page in headless Chromium against native velconv,
# the module in Node against it, and one table of inputs through velconv,
# the C interface, the Python module and the module in Node.
# Needs scripts/deps-web.sh and scripts/build-web.sh first. Leaves
# build-web/screenshot.png (and screenshot-phone.png) behind.
set -euo pipefail
cd "$(dirname "$0")/.."

# Native velconv, libsonx and the C driver of the four-front-end table: the
# ones the test suite built (or SONX_NATIVE_BUILD names), else a build of
# their own.
native="${SONX_NATIVE_BUILD:-build-test}"
if [ ! -x "$native/velconv" ] || [ ! -x "$native/tests/fourway_c" ]; then
  cmake -S . -B build-web-native -DSONX_BUILD_TESTS=ON -DSONX_BUILD_BENCH=OFF -DSONX_BUILD_EXAMPLES=OFF >/dev/null
  cmake --build build-web-native -j"${SONX_JOBS:-2}" --target velconv fourway_c >/dev/null
  native=build-web-native
fi
velconv="${SONX_VELCONV:-$native/velconv}"
[ -d tests/web/node_modules ] || { echo "node packages missing: run scripts/deps-web.sh" >&2; exit 1; }

node tests/web/browser_test.mjs build-web "$velconv" build-web-test

# Half an hour of varied speech through the module in Node.js: every byte as native.
node tests/web/equivalence.mjs build-web "$velconv" build-web-test

# The same module in Node.js, on the QCP the browser test made with velconv.
node examples/node-convert.mjs build-web-test/inputs/memo.qcp build-web-test/node-memo.wav
cmp build-web-test/node-memo.wav build-web-test/native/memo.wav
echo "ok   examples/node-convert.mjs gives native velconv's WAV"

# One table of inputs through velconv, the C interface, the Python module and
# the module in Node: the same bytes, status numbers and file facts.
fourway=build-web-test/fourway
rm -rf "$fourway"
PYTHONPATH=python SONX_LIBRARY="$native/libsonx.so.3" /usr/bin/python3 tests/fourway/fourway_test.py \
  "$velconv" "$native/tests/fourway_c" "$fourway" build-web/sonx_web.js
