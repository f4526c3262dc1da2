#!/usr/bin/env bash
# Runs the Windows build under Wine: the cross-built unit suite, then a
# table of command-line runs of velconv.exe whose outputs must be the Linux
# build's bytes. Run scripts/build-windows.sh first; a Linux velconv is
# taken from $SONX_LINUX_VELCONV, else build-test/ (scripts/test.sh), else
# built into build-linux-ref/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build-windows
export WINEPREFIX="$root/$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -f "$build/velconv.exe" ] || { echo "run scripts/build-windows.sh first" >&2; exit 1; }
step() { echo "== $1"; step_start=$SECONDS; }
took() { echo "   ($((SECONDS - step_start)) s)"; }

step "Wine prefix"
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
took

if [ -f "$build/CTestTestfile.cmake" ] && [ -d "$build/tests" ]; then
  step "Unit suite under Wine"
  ctest --test-dir "$build" --output-on-failure -j"${SONX_JOBS:-2}"
  took
fi

step "Linux velconv for the reference bytes"
linux=${SONX_LINUX_VELCONV:-build-test/velconv}
if [ ! -x "$linux" ]; then
  linux=build-linux-ref/velconv
  [ -f build-linux-ref/cmake_install.cmake ] ||
    cmake -S . -B build-linux-ref -DCMAKE_BUILD_TYPE=Release -DSONX_BUILD_TESTS=OFF -DSONX_BUILD_BENCH=OFF \
      -DSONX_BUILD_EXAMPLES=OFF >/dev/null
  cmake --build build-linux-ref -j"${SONX_JOBS:-2}" --target velconv >/dev/null
fi
linux="$root/$linux"
took

step "Command-line table through wine64 velconv.exe"
work="$root/$build/cli-test"
rm -rf "$work" && mkdir -p "$work/win" "$work/linux"
exe="$root/$build/velconv.exe"
hold="$root/$build/tests/hold_open.exe"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
win() { "$wine" "$exe" "$@" </dev/null; }
same() {  # same NAME: the file in win/ and in linux/ hold the same bytes
  if cmp -s "$work/win/$1" "$work/linux/$1"; then pass "$1 matches Linux"; else fail "$1 differs from Linux"; fi
}

# The AVX2 kernels leave for SSE code with clean upper halves here too.
if OBJDUMP=x86_64-w64-mingw32-objdump python3 tests/qcelp/upper_state_check.py "$exe"; then
  pass "AVX2 kernels clear the upper halves on leaving"
else
  fail "AVX2 code leaves with dirty upper halves"
fi

# Inputs: the test speech, and resampled forms made here.
for f in speech_8k.wav speech_16k.wav speech_8k_u8.wav speech_8k_mulaw.wav; do
  cp "tests/data/$f" "$work/win/" && cp "tests/data/$f" "$work/linux/"
done
python3 - "$work/win/speech_44k_stereo.wav" tests/data/speech_16k.wav <<'PY'
import array, math, sys, wave
w = wave.open(sys.argv[2]); n = w.getnframes(); x = array.array('h', w.readframes(n)); w.close()
out = array.array('h')
for i in range(int(n * 44100 / 16000)):
    p = i * 16000 / 44100; k = int(p); v = x[k] + (x[min(k + 1, n - 1)] - x[k]) * (p - k)
    out.append(max(-32768, min(32767, round(v))))
    out.append(max(-32768, min(32767, round(0.6 * v + 300 * math.sin(2 * math.pi * 440 * i / 44100)))))
o = wave.open(sys.argv[1], 'wb'); o.setnchannels(2); o.setsampwidth(2); o.setframerate(44100)
o.writeframes(out.tobytes()); o.close()
PY
cp "$work/win/speech_44k_stereo.wav" "$work/linux/"

# Both directions, named files.
for f in speech_8k speech_16k speech_8k_u8 speech_8k_mulaw speech_44k_stereo; do
  (cd "$work/win" && win "$f.wav" "$f.qcp" 2>/dev/null) || fail "$f.wav did not convert"
  (cd "$work/linux" && "$linux" "$f.wav" "$f.qcp" 2>/dev/null)
  same "$f.qcp"
done
# The coder's baseline kernels, which CPUs without AVX2 run, give the same bytes.
(cd "$work/win" && SONX_QCELP_BASELINE=1 win speech_16k.wav baseline.qcp 2>/dev/null) || fail "baseline forms failed"
cp "$work/linux/speech_16k.qcp" "$work/linux/baseline.qcp"
same baseline.qcp
(cd "$work/win" && win speech_8k.qcp back.wav 2>/dev/null) || fail "speech_8k.qcp did not convert"
(cd "$work/linux" && "$linux" speech_8k.qcp back.wav 2>/dev/null)
same back.wav
for rate in vhr ffr fhr; do
  (cd "$work/win" && win -r $rate speech_8k.wav "$rate.qcp" 2>/dev/null) || fail "-r $rate did not convert"
  (cd "$work/linux" && "$linux" -r $rate speech_8k.wav "$rate.qcp" 2>/dev/null)
  same "$rate.qcp"
done

# Pipes in both directions.
(cd "$work/win" && "$wine" "$exe" - piped.qcp <speech_8k.wav 2>/dev/null) || fail "standard input did not convert"
cp "$work/linux/speech_8k.qcp" "$work/linux/piped.qcp"
same piped.qcp
(cd "$work/win" && "$wine" "$exe" speech_8k.qcp - </dev/null >piped.wav 2>/dev/null) || fail "standard output failed"
cp "$work/linux/back.wav" "$work/linux/piped.wav"
same piped.wav

# A folder batch with -d, and a Korean name through -d and -i.
korean="회의 메모"
for side in win linux; do
  mkdir -p "$work/$side/memos"
  cp tests/data/speech_8k.wav "$work/$side/memos/a.wav"
  cp tests/data/speech_16k.wav "$work/$side/memos/$korean.wav"
  cp "$work/linux/speech_8k.qcp" "$work/$side/memos/c.qcp"
done
(cd "$work/win" && win -q -d out memos/a.wav "memos/$korean.wav" memos/c.qcp 2>/dev/null) || fail "-d batch failed"
(cd "$work/linux" && "$linux" -q -d out memos/a.wav "memos/$korean.wav" memos/c.qcp 2>/dev/null)
for f in out/a.qcp "out/$korean.qcp" out/c.wav; do same "$f"; done
(cd "$work/win" && win -i --json "out/$korean.qcp" memos/c.qcp 2>/dev/null >info.json) || fail "-i --json failed"
(cd "$work/linux" && "$linux" -i --json "out/$korean.qcp" memos/c.qcp 2>/dev/null >info.json)
same info.json
(cd "$work/win" && win -i "out/$korean.qcp" 2>/dev/null >info.txt) || fail "-i failed"
(cd "$work/linux" && "$linux" -i "out/$korean.qcp" 2>/dev/null >info.txt)
same info.txt

# Windows spellings: backslashes, a drive letter, a name past 260 characters.
mkdir -p "$work/win/sub"
cp tests/data/speech_8k.wav "$work/win/sub/slashed.wav"
(cd "$work/win" && win 'sub\slashed.wav' 2>/dev/null) || fail "a backslashed name did not convert"
cp "$work/linux/speech_8k.qcp" "$work/linux/slashed.qcp" && cp "$work/win/sub/slashed.qcp" "$work/win/" 2>/dev/null
same slashed.qcp
cp tests/data/speech_8k.wav "$work/win/sub/drive.wav"
win "Z:$work/win/sub/drive.wav" 2>/dev/null || fail "a name with a drive letter did not convert"
cp "$work/linux/speech_8k.qcp" "$work/linux/drive.qcp" && cp "$work/win/sub/drive.qcp" "$work/win/" 2>/dev/null
same drive.qcp
deep="$work/win/$(printf 'folder-with-a-long-name-%02d/' 1 2 3 4 5 6 7 8 9 10 11 12)"
mkdir -p "$deep" && cp tests/data/speech_8k.wav "$deep/long.wav"
(cd "$work/win" && win "Z:$deep/long.wav" 2>/dev/null) || fail "a ${#deep}-character name did not convert"
cp "$work/linux/speech_8k.qcp" "$work/linux/long.qcp" && cp "$deep/long.qcp" "$work/win/" 2>/dev/null
same long.qcp

# Reserved device names are refused with a reason.
if (cd "$work/win" && win speech_8k.wav NUL.qcp 2>err.txt); then fail "NUL.qcp was accepted"
elif grep -q "a name Windows keeps for a device" "$work/win/err.txt"; then pass "NUL.qcp refused"
else fail "NUL.qcp refused without the reason: $(cat "$work/win/err.txt")"; fi

# -f replaces an existing output under a derived name; without it the file stays.
printf 'old' >"$work/win/speech_16k.qcp"
if (cd "$work/win" && win speech_16k.wav 2>/dev/null); then fail "an existing output was replaced without -f"
elif [ "$(cat "$work/win/speech_16k.qcp")" = old ]; then pass "an existing output is kept without -f"
else fail "an existing output changed without -f"; fi
(cd "$work/win" && win -f speech_16k.wav 2>/dev/null) || fail "-f did not replace the output"
same speech_16k.qcp

# An output another program holds open is refused with its reason, the old file intact.
printf 'old bytes' >"$work/win/held.wav"
rm -f "$work/win/held.flag"
"$wine" "$hold" "$work/win/held.wav" "$work/win/held.flag" </dev/null &
holder=$!
for _ in $(seq 1 100); do [ -f "$work/win/held.flag" ] && break; sleep 0.1; done
if (cd "$work/win" && win speech_8k.qcp held.wav 2>err.txt); then fail "a held output was written"
elif ! grep -q "in use by another program" "$work/win/err.txt"; then fail "a held output refused without the reason: $(cat "$work/win/err.txt")"
elif [ "$(cat "$work/win/held.wav")" != "old bytes" ]; then fail "a held output changed"
elif ls "$work/win"/held.wav.velconv-* >/dev/null 2>&1; then fail "a held output left a temporary file"
else pass "a held output is refused as in use by another program, the old file intact"; fi
rm -f "$work/win/held.flag"
wait $holder || true

# Ctrl-C while an output is written removes its temporary file, and the file
# it would have replaced stays as it was.
python3 - tests/data/speech_8k.wav "$work/win/long.wav" <<'PY'
import sys, wave
w = wave.open(sys.argv[1]); params = w.getparams(); frames = w.readframes(w.getnframes()); w.close()
out = wave.open(sys.argv[2], 'wb'); out.setparams(params); out.writeframes(frames * 40); out.close()
PY
printf 'old bytes' >"$work/win/long.qcp"
if ! code=$(cd "$work/win" && "$wine" "$root/$build/tests/press_ctrl_c.exe" long.qcp.velconv- . "$exe" -f long.wav long.qcp </dev/null 2>err.txt); then
  fail "Ctrl-C could not be pressed: $(cat "$work/win/err.txt")"
elif [ "$(cat "$work/win/long.qcp")" != "old bytes" ]; then fail "Ctrl-C left another long.qcp (exit code $code)"
elif ls "$work/win"/long.qcp.velconv-* >/dev/null 2>&1; then fail "Ctrl-C left a temporary file"
else pass "Ctrl-C removes the temporary file and keeps the old output"; fi

took
if [ $failures -gt 0 ]; then echo "$failures command-line checks failed"; exit 1; fi
echo "All command-line checks passed"
