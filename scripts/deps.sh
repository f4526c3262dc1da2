#!/usr/bin/env bash
# Installs the Debian packages the build needs, but only those missing.
set -euo pipefail
want=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev libsoxr-dev python3-numpy python3-pytest python3-pip python3-venv)
[ "${SONX_WANT_CLANG:-0}" = 1 ] && want+=(clang libclang-rt-14-dev)
[ "${SONX_WANT_LIBCXX:-0}" = 1 ] && want+=(clang libc++-dev libc++abi-dev)
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
