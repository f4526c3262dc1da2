#!/usr/bin/env bash
# Installs what the web build and its browser test need: Debian's emscripten
# and chromium, the Debian sources of libsoxr and of glibc's sin and cos (built
# for the web by build-web.sh; fetched by debian-sources.sh), and the node
# packages pinned in package-lock.json.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo

want=(emscripten chromium dpkg-dev)
# A node from outside Debian brings its own npm; Debian's would conflict.
command -v npm >/dev/null || want+=(npm)
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

scripts/debian-sources.sh build-web-deps

if [ -f tests/web/package-lock.json ]; then
  (cd tests/web && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --silent)
fi
