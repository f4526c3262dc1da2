#!/usr/bin/env bash
# Builds everything and runs the whole test suite. A build folder configured
# before is reused as it is, so a second run only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# cmake_install.cmake appears only once a configure has completed.
if [ ! -f build-test/cmake_install.cmake ]; then
  cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j"$(nproc)"
