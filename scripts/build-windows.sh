#!/usr/bin/env bash
# Cross-builds velconv for 64-bit Windows with Debian's mingw-w64: libsoxr
# and glibc's sin and cos for Windows (once, into build-windows-deps/), then
# the library, velconv.exe (one file: the C++ runtime, winpthreads and
# libsoxr inside), sonx.dll with its import library, and the unit tests,
# into build-windows/; then the zip users download.
#
#   scripts/build-windows.sh   -> build-windows/velconv-windows-x86_64.zip
#   SONX_WINDOWS_TESTS=OFF     leaves the unit tests out
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs="${SONX_JOBS:-2}"
scripts/deps-windows.sh

cc=x86_64-w64-mingw32-gcc-posix
deps=build-windows-deps
toolchain="$root/cmake/mingw-w64.cmake"

if [ ! -f "$deps/soxr/lib/libsoxr.a" ]; then
  echo "== libsoxr for Windows"
  # The engines the Linux library resamples 16-bit audio with (SSE, 32-bit).
  rm -rf "$deps/soxr-build"
  cmake -S "$deps/soxr-src" -B "$deps/soxr-build" -Wno-dev -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF \
    -DWITH_OPENMP=OFF -DWITH_LSR_BINDINGS=OFF -DWITH_CR32=OFF -DWITH_CR64S=OFF -DWITH_DEV_TRACE=OFF \
    -DCMAKE_INSTALL_PREFIX="$root/$deps/soxr" >"$deps/soxr-build.log" 2>&1 ||
    { cat "$deps/soxr-build.log"; exit 1; }
  cmake --build "$deps/soxr-build" -j"$jobs" >>"$deps/soxr-build.log" 2>&1 || { cat "$deps/soxr-build.log"; exit 1; }
  cmake --install "$deps/soxr-build" >>"$deps/soxr-build.log" 2>&1
fi

libm="$deps/libm/libglibc-sincos.a"
if [ ! -f "$libm" ]; then
  echo "== glibc's sin and cos for Windows"
  # mingw's C library rounds some sines and cosines differently from glibc,
  # which would move resampled samples; these are glibc's own, built with
  # the Linux build's floating-point settings (SSE2, no fused multiply-add).
  ieee="$deps/glibc-src/sysdeps/ieee754"
  mkdir -p "$deps/libm/include" && rm -f "$deps/libm"/*.o "$libm"
  # mingw has no <endian.h>; the stand-ins in web/libm take the byte order from it.
  printf '%s\n' '#pragma once' '#define __LITTLE_ENDIAN 1234' '#define __BIG_ENDIAN 4321' \
    '#define __BYTE_ORDER __LITTLE_ENDIAN' '#define __FLOAT_WORD_ORDER __BYTE_ORDER' >"$deps/libm/include/endian.h"
  # GCC for mingw joins a sin and a cos of one angle into one sincos call,
  # so glibc's sincos and sincosf (the same code as its sin and cos) come too.
  for f in flt-32/s_sinf flt-32/s_cosf flt-32/s_sincosf flt-32/s_sincosf_data dbl-64/s_sin dbl-64/s_sincos \
    dbl-64/branred dbl-64/sincostab web:invalid; do
    case $f in web:*) in=web/libm/${f#web:}.c ;; *) in=$ieee/$f.c ;; esac
    $cc -O2 -ffp-contract=off -w -Iweb/libm -I"$deps/libm/include" -I"$ieee/flt-32" -I"$ieee/dbl-64" \
      -D__sin=sin -D__cos=cos -D__sincos=sincos -DSINF=sinf -DCOSF=cosf -DSINCOSF=sincosf -c "$in" -o "$deps/libm/$(basename "${f#web:}").o"
  done
  x86_64-w64-mingw32-ar rcs "$libm" "$deps/libm"/*.o
fi

echo "== Library, velconv.exe and sonx.dll"
build=build-windows
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DSOXR_PREFIX="$root/$deps/soxr" -DSONX_WINDOWS_LIBM="$root/$libm" \
  -DSONX_BUILD_TESTS="${SONX_WINDOWS_TESTS:-ON}" -DSONX_BUILD_BENCH=OFF -DSONX_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$jobs"

echo "== Zip"
name=velconv-windows-x86_64
package="$build/$name"
rm -rf "$package" "$build/$name.zip"
mkdir -p "$package/include/sonx" "$package/lib" "$package/licences"
cp "$build/velconv.exe" "$build/sonx.dll" "$package/"
cp "$build/libsonx.dll.a" "$package/lib/"
cp sonx/sonx.h sonx/sonx_c.h "$package/include/sonx/"
cp README.md "$package/"
cp "$deps/soxr-src/LICENCE" "$package/licences/libsoxr-LICENCE.txt"
cp "$deps/soxr-src/COPYING.LGPL" "$package/licences/libsoxr-COPYING.LGPL.txt"
cp "$deps/glibc-src/COPYING.LIB" "$package/licences/glibc-COPYING.LIB.txt"
cp /usr/share/doc/mingw-w64-common/copyright "$package/licences/mingw-w64-runtime-and-winpthreads.txt"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$package/licences/gcc-runtime.txt"
(cd "$build" && zip -qr "$name.zip" "$name")
echo "Built $build/$name.zip ($(du -h "$build/$name.zip" | cut -f1))"
