#!/usr/bin/env bash
# Installs velconv and sonx into a temporary prefix and checks the result:
# the installed files, the shared library's SONAME and exports, the man page
# against the usage text, programs built against the shared and the static
# library through find_package(sonx) and through pkg-config, and velconv
# converting from another folder.
#
#   scripts/check-install.sh [build-dir]
#
# Without a build folder a fresh one is made in the temporary folder.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/sonx-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
build=${1:-$work/build}
prefix=$work/prefix
jobs=$(nproc)

fail() { echo "check-install: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "Build and install into $prefix"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DSONX_BUILD_TESTS=OFF -DSONX_BUILD_BENCH=OFF -DSONX_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target sonx sonx_shared velconv
cmake --install "$build" --prefix "$prefix" >/dev/null

step "Installed files"
libdir=$(dirname "$(find "$prefix" -name libsonx.a -print -quit)")
[ -f "$libdir/libsonx.a" ] || fail "libsonx.a not installed"
for f in bin/velconv include/sonx/sonx.h share/man/man1/velconv.1; do
  [ -f "$prefix/$f" ] || fail "$f not installed"
done
for f in libsonx.so libsonx.so.3 libsonx.so.3.5.0 \
         cmake/sonx/sonxConfig.cmake cmake/sonx/sonxConfigVersion.cmake cmake/sonx/sonxTargets.cmake \
         cmake/sonx/sonxStaticTargets.cmake pkgconfig/sonx.pc; do
  [ -e "$libdir/$f" ] || fail "${libdir#"$prefix"/}/$f not installed"
done
headers=$(cd "$prefix/include" && find . -type f | sort)
[ "$headers" = "$(printf '%s\n' ./sonx/sonx.h ./sonx/sonx_c.h)" ] ||
  fail "only sonx/sonx.h and sonx/sonx_c.h may be installed, found: $headers"

step "Shared library: SONAME and exports"
soname=$(readelf -d "$libdir/libsonx.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libsonx.so.3" ] || fail "libsonx.so has SONAME '$soname', expected libsonx.so.3"
[ "$(readlink "$libdir/libsonx.so")" = "libsonx.so.3" ] || fail "libsonx.so does not point to libsonx.so.3"
exports=$(nm -D --defined-only -C "$libdir/libsonx.so" | sed 's/^[0-9a-f]* [A-Za-z] //' | sort)
# The functions of its Windows section are sonx.dll's only.
c_functions=$(sed '/^#ifdef _WIN32$/,/^#endif/d' "$src/sonx/sonx_c.h" | grep -o 'SONX_C_API [^(]*sonx_[a-z_]*(' |
  sed -E 's/.*[ *](sonx_[a-z_]+)\($/\1/')
# The C++ functions sonx.h marks SONX_API, by name (their arguments are the
# header's own types), beside the C functions of sonx_c.h.
cxx_functions=$(grep -oE '^SONX_API [^(]*[ *&]([A-Za-z_]+)\(' "$src/sonx/sonx.h" | sed -E 's/.*[ *&]([A-Za-z_]+)\($/sonx::\1/')
exported_names=$(sed -E 's/^(sonx::[A-Za-z_]+)\(.*/\1/' <<<"$exports" | sort)
expected=$( { echo "$cxx_functions"; echo "$c_functions"; } | sort)
[ "$exported_names" = "$expected" ] || fail "libsonx.so exports more or less than its headers declare: $exports"

step "velconv -v and -h from other folders"
velconv=$prefix/bin/velconv
version=$(cd / && "$velconv" -v 2>&1 >/dev/null) || fail "velconv -v failed"
[ "$version" = "3.5.0" ] || fail "velconv -v printed '$version'"
usage=$(cd "$work" && PATH="$prefix/bin:$PATH" velconv -h 2>&1 >/dev/null) || fail "velconv -h failed"

step "Man page against the usage text"
man=$prefix/share/man/man1/velconv.1
warnings=$(groff -man -ww -z "$man" 2>&1) || fail "man page does not render"
[ -z "$warnings" ] || fail "man page warnings: $warnings"
# One long line per paragraph and no hyphenation, so phrases stay whole.
page=$(groff -man -Tascii -rLL=400n -rHY=0 -P-cbou "$man" 2>/dev/null)
grep -q "velconv $version" <<<"$page" || fail "man page does not carry version $version"
synopsis=$(grep -A1 '^SYNOPSIS' <<<"$page" | tail -n1 | tr -s ' ' | sed 's/^ //')
usage_line=$(grep -A1 '^Usage :' <<<"$usage" | tr -s ' \n' ' ' | sed 's/^Usage : //; s/ $//; s/[<>]//g')
[ "$synopsis" = "$usage_line" ] || fail "man synopsis '$synopsis' differs from usage '$usage_line'"
# Every option and rate set of the usage text, with its description.
while IFS= read -r line; do
  key=$(sed -E 's/^ *([-a-z]+) *[:=] .*/\1/' <<<"$line")
  text=$(sed -E 's/^[^:=]*[:=] *//; s/ *\((usage|default)\).*//; s/ information$//' <<<"$line")
  grep -q -- "$key" <<<"$page" || fail "man page lacks $key"
  grep -qi -- "$text" <<<"$page" || fail "man page lacks the text for $key: '$text'"
done < <(grep -E '^ +(-[a-z]|vfr|vhr|ffr|fhr|infile|outfile) *[:=] ' <<<"$usage")

mkdir "$work/run"
cp "$src/samples/speech.wav" "$work/run/talk.wav"

# The programs to build: the examples, else the tiny consumer of tests/install.
# Each takes an input WAV file and an output name.
sources=("$src"/examples/*.cpp)
[ -e "${sources[0]}" ] || sources=("$src/tests/install/consumer.cpp")
export PKG_CONFIG_PATH=$libdir/pkgconfig

# Which libsonx a program needs at run time: "shared" or "static".
linkage() {
  if readelf -d "$1" | grep -q 'NEEDED.*\[libsonx\.so\.3\]'; then echo shared; else echo static; fi
}

for source in "${sources[@]}"; do
  name=$(basename "$source" .cpp)
  for link in shared static; do
    step "Build $name through find_package(sonx), $link"
    cmake -S "$src/tests/install" -B "$work/cmake-$link-$name" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCONSUMER_SOURCE="$source" -DCONSUMER_LINK="$link" >/dev/null
    cmake --build "$work/cmake-$link-$name" -j"$jobs" >/dev/null
    ln -s "$work/cmake-$link-$name/consumer" "$work/cmake-$link-$name-program"
  done

  step "Build $name through pkg-config, shared and static"
  flags=$(pkg-config --cflags sonx)
  libs=$(pkg-config --libs sonx)
  static_libs=$(pkg-config --static --libs sonx)
  # libsonx.so sits beside libsonx.a: name the archive to get it.
  static_libs=${static_libs/-lsonx/-l:libsonx.a}
  # shellcheck disable=SC2086 # the flags are lists of words
  c++ -std=c++17 $flags "$source" -o "$work/pc-shared-$name-program" $libs
  # shellcheck disable=SC2086
  c++ -std=c++17 $flags "$source" -o "$work/pc-static-$name-program" $static_libs

  step "Run the four builds of $name"
  for link in shared static; do
    for how in cmake pc; do
      program=$work/$how-$link-$name-program
      [ "$(linkage "$program")" = "$link" ] || fail "$how-$link build of $name is not linked $link"
      out=$work/run/out-$how-$link-$name
      # CMake gives its build an RPATH to the installed library; pkg-config does not.
      search=""; [ "$how" = pc ] && search=$libdir
      LD_LIBRARY_PATH=$search "$program" "$work/run/talk.wav" "$out" 2>"$out.log" ||
        fail "$how-$link build of $name failed: $(cat "$out.log")"
      [ -s "$out" ] || fail "$how-$link build of $name wrote nothing"
    done
  done
done

step "A C99 program through pkg-config, shared and static"
c_static_libs=$(pkg-config --static --libs sonx)
# shellcheck disable=SC2086
gcc -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags sonx) "$src/tests/capi/sonx_c_test.c" \
  -o "$work/c99-shared" $(pkg-config --libs sonx)
# shellcheck disable=SC2086
gcc -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags sonx) "$src/tests/capi/sonx_c_test.c" \
  -o "$work/c99-static" ${c_static_libs/-lsonx/-l:libsonx.a} -lstdc++ -lm
for link in shared static; do
  mkdir -p "$work/c99-$link-run"
  [ "$(linkage "$work/c99-$link")" = "$link" ] || fail "C99 program is not linked $link"
  LD_LIBRARY_PATH=$libdir "$work/c99-$link" "$work/run/talk.wav" "$prefix/bin/velconv" "$work/c99-$link-run" ||
    fail "C99 program, $link, failed"
done

step "A C++ program built with LLVM's libc++ against the shared library (built with libstdc++)"
SONX_WANT_LIBCXX=1 "$src/scripts/deps.sh"
consumer=$src/tests/install/consumer.cpp
# shellcheck disable=SC2086
c++ -std=c++17 $(pkg-config --cflags sonx) "$consumer" -o "$work/gnu-consumer" $(pkg-config --libs sonx)
# shellcheck disable=SC2086
clang++ -std=c++17 -stdlib=libc++ -Wall -Wextra -Werror $(pkg-config --cflags sonx) "$consumer" \
  -o "$work/llvm-consumer" $(pkg-config --libs sonx)
readelf -d "$work/llvm-consumer" | grep -q 'NEEDED.*\[libc++\.so' || fail "the libc++ build does not use libc++"
for lib in gnu llvm; do
  LD_LIBRARY_PATH=$libdir "$work/$lib-consumer" "$work/run/talk.wav" "$work/run/$lib.qcp" >"$work/run/$lib.txt" ||
    fail "the $lib consumer failed"
done
"$velconv" "$work/run/talk.wav" "$work/run/velconv.qcp" 2>/dev/null
cmp -s "$work/run/llvm.qcp" "$work/run/velconv.qcp" || fail "the libc++ build's QCP differs from velconv's"
cmp -s "$work/run/llvm.txt" "$work/run/gnu.txt" || fail "the libc++ build describes its file otherwise"
grep -q '^QCELP-13K {5E7F6D41-B115-11D0-BA91-00805FB4B97E} [1-9][0-9]* packets$' "$work/run/llvm.txt" ||
  fail "the libc++ build printed: $(cat "$work/run/llvm.txt")"

step "The Python module against the installed library"
pysite=$(find "$prefix" -type d -name sonx -path '*python*' -print -quit)
[ -n "$pysite" ] || fail "the Python module was not installed"
(cd "$work/run" && PYTHONPATH=$(dirname "$pysite") LD_LIBRARY_PATH=$libdir /usr/bin/python3 - "$velconv" <<'PYEOF') ||
import subprocess, sys, wave
import numpy as np
import sonx
subprocess.run([sys.argv[1], "-f", "talk.wav", "py.qcp"], check=True)
subprocess.run([sys.argv[1], "-f", "py.qcp", "py.wav"], check=True)
pcm, rate = sonx.decode("py.qcp")
with wave.open("py.wav") as w:
    assert rate == 8000 and np.array_equal(pcm, np.frombuffer(w.readframes(w.getnframes()), "<i2"))
with wave.open("talk.wav") as w:
    talk = np.frombuffer(w.readframes(w.getnframes()), "<i2")
assert sonx.encode(talk, 8000) == open("py.qcp", "rb").read()
print(sonx.info("py.qcp")["codec"])
PYEOF
  fail "the Python example failed"

step "velconv converts in another folder"
(cd "$work/run" && PATH="$prefix/bin:$PATH" &&
  velconv talk.wav && velconv -r fhr talk.wav half.qcp && velconv talk.qcp back.wav) ||
  fail "conversion in another folder failed"
for f in talk.qcp half.qcp back.wav; do
  [ -s "$work/run/$f" ] || fail "conversion left no $f"
done
echo "install check passed"
