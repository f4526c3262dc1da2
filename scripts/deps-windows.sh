#!/usr/bin/env bash
# Installs what the Windows build and its Wine test need: Debian's mingw-w64
# cross compiler (the POSIX thread model, for std::thread), wine64, the
# GoogleTest sources, and the Debian sources of libsoxr and of glibc's sin and
# cos (built for Windows by build-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

want=(cmake make g++-mingw-w64-x86-64-posix wine64 googletest dpkg-dev zip unzip)
scripts/install-packages.sh --no-recommends "${want[@]}"

scripts/debian-sources.sh build-windows-deps
