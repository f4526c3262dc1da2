#!/usr/bin/env bash
# Installs what the web build and its browser test need: Debian's emscripten
# and chromium, the Debian sources of libsoxr and of glibc's sin and cos (built
# for the web by build-web.sh; fetched by debian-sources.sh), and the node
# packages pinned in package-lock.json.
set -euo pipefail
cd "$(dirname "$0")/.."

want=(emscripten chromium dpkg-dev)
# A node from outside Debian brings its own npm; Debian's would conflict.
command -v npm >/dev/null || want+=(npm)
scripts/install-packages.sh --no-recommends "${want[@]}"

scripts/debian-sources.sh build-web-deps

if [ -f tests/web/package-lock.json ]; then
  (cd tests/web && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --silent)
fi
