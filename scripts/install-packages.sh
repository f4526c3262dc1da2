#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing.
#   scripts/install-packages.sh [--no-recommends] PACKAGE...
set -euo pipefail
recommends=()
if [ "${1:-}" = --no-recommends ]; then recommends=(--no-install-recommends); shift; fi
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "Installing: ${missing[*]}"
SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${recommends[@]}" "${missing[@]}" >/dev/null
