#!/usr/bin/env bash
# Installs what is missing, builds velconv, and converts the bundled sample:
# samples/speech.wav -> build/speech.qcp -> build/speech.wav. A build folder
# configured before is reused as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
if [ ! -f build/cmake_install.cmake ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DSONX_BUILD_TESTS=OFF >/dev/null
fi
cmake --build build -j"$(nproc)"
build/velconv samples/speech.wav build/speech.qcp
build/velconv build/speech.qcp build/speech.wav
ls -l samples/speech.wav build/speech.qcp build/speech.wav
