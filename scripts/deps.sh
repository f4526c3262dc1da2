#!/usr/bin/env bash
# Installs the Debian packages the build needs, but only those missing.
set -euo pipefail
want=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev libsoxr-dev python3-numpy python3-pytest python3-pip python3-venv)
[ "${SONX_WANT_CLANG:-0}" = 1 ] && want+=(clang libclang-rt-14-dev)
[ "${SONX_WANT_LIBCXX:-0}" = 1 ] && want+=(clang libc++-dev libc++abi-dev)
"$(dirname "$0")/install-packages.sh" "${want[@]}"
