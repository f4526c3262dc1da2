#!/usr/bin/env bash
# Installs what the web build and its browser test need: Debian's emscripten
# and chromium, libsoxr's Debian source package (built for the web by
# build-web.sh), and the node packages pinned in package-lock.json.
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

# libsoxr's source comes from the Debian archive the machine already uses.
src_list=/etc/apt/sources.list.d/sonx-deb-src.sources
need_update=0
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$src_list" >/dev/null
  else
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $SUDO tee /etc/apt/sources.list.d/sonx-deb-src.list >/dev/null
  fi
  need_update=1
fi
if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ]; then
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p build-web-deps
if ! ls build-web-deps/soxr-src/CMakeLists.txt >/dev/null 2>&1; then
  rm -rf build-web-deps/apt-src && mkdir -p build-web-deps/apt-src
  (cd build-web-deps/apt-src && apt-get source -qq libsoxr >/dev/null)
  src=$(find build-web-deps/apt-src -maxdepth 1 -mindepth 1 -type d -name 'libsoxr-*' | head -n1)
  rm -rf build-web-deps/soxr-src && mv "$src" build-web-deps/soxr-src
  rm -rf build-web-deps/apt-src
fi

if [ -f tests/web/package-lock.json ]; then
  (cd tests/web && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --silent)
fi
