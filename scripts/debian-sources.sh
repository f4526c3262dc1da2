#!/usr/bin/env bash
# Fetches, into the folder given, the Debian sources that the WebAssembly and
# Windows builds compile themselves: libsoxr (DIR/soxr-src) and the few files
# of glibc that make its sin and cos (DIR/glibc-src), which native libsoxr
# designs its filters with (see web/libm/README.md). Each is fetched once;
# deb-src entries for the machine's own archive are added if it has none.
#
#   scripts/debian-sources.sh build-web-deps
set -euo pipefail
cd "$(dirname "$0")/.."
deps=${1:?usage: $0 DIR}
SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo

have_soxr() { [ -f "$deps/soxr-src/CMakeLists.txt" ]; }
have_glibc() { [ -f "$deps/glibc-src/COPYING.LIB" ] && [ -f "$deps/glibc-src/sysdeps/ieee754/dbl-64/s_sincos.c" ]; }
have_soxr && have_glibc && exit 0

src_list=/etc/apt/sources.list.d/sonx-deb-src.sources
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$src_list" >/dev/null
  else
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $SUDO tee /etc/apt/sources.list.d/sonx-deb-src.list >/dev/null
  fi
  $SUDO apt-get update -qq
fi

mkdir -p "$deps"
if ! have_soxr; then
  rm -rf "$deps/apt-src" && mkdir -p "$deps/apt-src"
  (cd "$deps/apt-src" && apt-get source -qq libsoxr >/dev/null)
  src=$(find "$deps/apt-src" -maxdepth 1 -mindepth 1 -type d -name 'libsoxr-*' | head -n1)
  rm -rf "$deps/soxr-src" && mv "$src" "$deps/soxr-src"
  rm -rf "$deps/apt-src"
fi

# Only the sin and cos sources (and their licence) are kept, taken from the release the machine
# runs where the archive still has it.
glibc_files=(
  COPYING.LIB
  sysdeps/ieee754/flt-32/{s_sinf.c,s_cosf.c,s_sincosf.c,s_sincosf.h,s_sincosf_data.c,sincosf_poly.h,math_config.h}
  sysdeps/ieee754/dbl-64/{s_sin.c,s_sincos.c,branred.c,branred.h,sincostab.c,usncs.h,dla.h,mydefs.h}
)
if ! have_glibc; then
  rm -rf "$deps/glibc-apt" && mkdir -p "$deps/glibc-apt"
  libc_version=$(dpkg-query -W -f='${Version}' libc6 2>/dev/null || true)
  (cd "$deps/glibc-apt" &&
    { apt-get source -qq "glibc=$libc_version" >/dev/null 2>&1 ||
      { echo "glibc $libc_version source not in the archive; taking its current one" >&2
        apt-get source -qq glibc >/dev/null; }; })
  src=$(find "$deps/glibc-apt" -maxdepth 1 -mindepth 1 -type d -name 'glibc-*' | head -n1)
  rm -rf "$deps/glibc-src"
  for f in "${glibc_files[@]}"; do
    mkdir -p "$deps/glibc-src/$(dirname "$f")"
    cp "$src/$f" "$deps/glibc-src/$f"
  done
  rm -rf "$deps/glibc-apt"
fi
