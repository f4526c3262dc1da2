#!/usr/bin/env bash
# Installs what the Windows build and its Wine test need: Debian's mingw-w64
# cross compiler (the POSIX thread model, for std::thread), wine64, the
# GoogleTest sources, and the Debian sources of libsoxr and of glibc's sin and
# cos (built for Windows by build-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo

want=(cmake make g++-mingw-w64-x86-64-posix wine64 googletest dpkg-dev zip unzip)
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

scripts/debian-sources.sh build-windows-deps
