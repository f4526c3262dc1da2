#!/usr/bin/env bash
# Installs what the web build and its browser test need: Debian's emscripten
# and chromium, the Debian sources of libsoxr and of glibc's sin and cos (built
# for the web by build-web.sh), and the node packages pinned in package-lock.json.
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

# glibc's sin and cos, which native libsoxr designs its filters with (see
# web/libm/README.md): only those sources are kept, taken from the release
# the machine runs where the archive still has it.
glibc_files=(
  sysdeps/ieee754/flt-32/{s_sinf.c,s_cosf.c,s_sincosf.h,s_sincosf_data.c,sincosf_poly.h,math_config.h}
  sysdeps/ieee754/dbl-64/{s_sin.c,branred.c,branred.h,sincostab.c,usncs.h,dla.h,mydefs.h}
)
if ! [ -f build-web-deps/glibc-src/sysdeps/ieee754/dbl-64/s_sin.c ]; then
  rm -rf build-web-deps/glibc-apt && mkdir -p build-web-deps/glibc-apt
  libc_version=$(dpkg-query -W -f='${Version}' libc6 2>/dev/null || true)
  (cd build-web-deps/glibc-apt &&
    { apt-get source -qq "glibc=$libc_version" >/dev/null 2>&1 ||
      { echo "glibc $libc_version source not in the archive; taking its current one" >&2
        apt-get source -qq glibc >/dev/null; }; })
  src=$(find build-web-deps/glibc-apt -maxdepth 1 -mindepth 1 -type d -name 'glibc-*' | head -n1)
  rm -rf build-web-deps/glibc-src
  for f in "${glibc_files[@]}"; do
    mkdir -p "build-web-deps/glibc-src/$(dirname "$f")"
    cp "$src/$f" "build-web-deps/glibc-src/$f"
  done
  rm -rf build-web-deps/glibc-apt
fi

if [ -f tests/web/package-lock.json ]; then
  (cd tests/web && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --silent)
fi
