#!/usr/bin/env bash
# A/B timing of the QCELP-13K coder: a base commit against the working tree,
# both built the same way (Release, the project's own flags), on the same
# input in the same run.
#
#   bench/ab.sh [--rounds N] [--minutes M] [--decode-repeat K] [--no-count] [COMMIT]
#
# COMMIT (default bb0e3fd) is exported with `git archive` and built under
# build-ab/ beside the working tree's own build-ab/work. The input is the
# test speech repeated to M minutes (default 10). Each round times encoding
# and then decoding with A and B in turn, alternating which goes first, in
# CPU seconds of a fresh process (the codec alone, through
# ISonxPacketCodec::Process); decoding runs K times per measurement (default
# 5) so that it is not lost in process start-up. Prints the medians and the
# ratio A/B. Then checks the bytes (velconv, every rate set): decoding must
# be identical; an encoding that differs must keep bit rate and SNR within
# bench/encode_quality.py's limits. Last, counts instructions of one minute
# of speech under callgrind, a measure other jobs on the machine do not
# disturb.
set -euo pipefail

rounds=7
minutes=10
decodeRepeat=5
count=1
base=bb0e3fd
while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) rounds=$2; shift 2 ;;
        --minutes) minutes=$2; shift 2 ;;
        --decode-repeat) decodeRepeat=$2; shift 2 ;;
        --no-count) count=0; shift ;;
        -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
        -*) echo "ab.sh: unknown option $1" >&2; exit 2 ;;
        *) base=$1; shift ;;
    esac
done

root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
sha=$(git -C "$root" rev-parse --short "$base")
top=${AB_DIR:-$root/build-ab}
baseDir=$top/base-$sha
workBuild=$top/work
data=$top/data
mkdir -p "$top" "$data"

configure() {  # source build
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DSONX_BUILD_TESTS=OFF -DSONX_BUILD_EXAMPLES=OFF \
        >"$2.log" 2>&1 || { cat "$2.log" >&2; exit 1; }
    cmake --build "$2" -j2 --target throughput velconv >>"$2.log" 2>&1 || { tail -30 "$2.log" >&2; exit 1; }
}

if [ ! -x "$baseDir/build/bench/throughput" ]; then
    echo "building $sha in $baseDir"
    rm -rf "$baseDir"
    mkdir -p "$baseDir/src"
    git -C "$root" archive "$sha" | tar -x -C "$baseDir/src"
    configure "$baseDir/src" "$baseDir/build"
fi
echo "building the working tree in $workBuild"
configure "$root" "$workBuild"

A=$baseDir/build
B=$workBuild

# The input, made once per length by the base build's tool.
input=$data/$minutes
if [ ! -s "$input/long_vfr.qcp" ]; then
    mkdir -p "$input"
    "$A/bench/throughput" --minutes "$minutes" --repeat 1 --only codec-decode --keep "$input" >/dev/null
fi

# CPU seconds (user + system) of `throughput --job ARGS`, run `times` times,
# to the microsecond: /usr/bin/time's hundredths are a tenth of a decode.
cpu() {
    local build=$1 times=$2
    shift 2
    /usr/bin/python3 - "$times" "$build/bench/throughput" --job "$@" <<'PY'
import os, subprocess, sys
times, argv = int(sys.argv[1]), sys.argv[2:]
total = 0.0
with open(os.devnull, "wb") as null:
    for _ in range(times):
        child = subprocess.Popen(argv, stdout=null, stderr=null)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            sys.exit(f"ab.sh: {' '.join(argv)} failed")
        total += usage.ru_utime + usage.ru_stime
print(f"{total:.4f}")
PY
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

encA=() encB=() decA=() decB=()
for ((r = 1; r <= rounds; ++r)); do
    if ((r % 2)); then order="A B"; else order="B A"; fi
    for side in $order; do
        build=$A; [ "$side" = B ] && build=$B
        e=$(cpu "$build" 1 codec-encode "$input/long.wav")
        d=$(cpu "$build" "$decodeRepeat" codec-decode "$input/long_vfr.qcp")
        if [ "$side" = A ]; then encA+=("$e"); decA+=("$d"); else encB+=("$e"); decB+=("$d"); fi
    done
    printf 'round %d: encode A %s B %s s, decode x%d A %s B %s s\n' "$r" "${encA[-1]}" "${encB[-1]}" \
        "$decodeRepeat" "${decA[-1]}" "${decB[-1]}"
done
mEA=$(printf '%s\n' "${encA[@]}" | median)
mEB=$(printf '%s\n' "${encB[@]}" | median)
mDA=$(printf '%s\n' "${decA[@]}" | median)
mDB=$(printf '%s\n' "${decB[@]}" | median)
echo "A = $sha, B = working tree ($(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet || echo ' + changes'))"
awk -v ea="$mEA" -v eb="$mEB" -v da="$mDA" -v db="$mDB" -v m="$minutes" -v k="$decodeRepeat" 'BEGIN {
    printf "median encode of %s min: A %.3f s  B %.3f s  speed-up %.2fx\n", m, ea, eb, ea / eb
    printf "median decode of %s min x%d: A %.3f s  B %.3f s  speed-up %.2fx\n", m, k, da, db, da / db
}'

# Same bytes from both builds.
same=1
differing=()
check=$top/check
rm -rf "$check"
mkdir -p "$check"
for wav in "$root"/tests/data/*.wav "$input/long.wav"; do
    name=$(basename "$wav" .wav)
    for set in vfr vhr ffr fhr; do
        [ "$name" = long ] && [ "$set" != vfr ] && continue
        for side in A B; do
            build=$A; [ "$side" = B ] && build=$B
            "$build/velconv" -q -r "$set" "$wav" "$check/$name-$set-$side.qcp"
            "$build/velconv" -q "$check/$name-$set-$side.qcp" "$check/$name-$set-$side.wav"
        done
        # The encoder may round differently (within the limits that
        # encode_quality.py checks); the decoder may not.
        if ! cmp -s "$check/$name-$set-A.qcp" "$check/$name-$set-B.qcp"; then
            echo "encodings differ: $name $set"
            case " ${differing[*]} " in *" $wav "*) ;; *) differing+=("$wav") ;; esac
        elif ! cmp -s "$check/$name-$set-A.wav" "$check/$name-$set-B.wav"; then
            echo "DIFFERENT: decode of $name $set"
            same=0
        fi
    done
done
if [ ${#differing[@]} -gt 0 ]; then
    /usr/bin/python3 "$root/bench/encode_quality.py" "$A/velconv" "$B/velconv" "${differing[@]}" || same=0
fi
# The base's encoding of the long input decoded by both.
"$B/velconv" -q "$input/long_vfr.qcp" "$check/base-decoded-B.wav"
"$A/velconv" -q "$input/long_vfr.qcp" "$check/base-decoded-A.wav"
cmp -s "$check/base-decoded-A.wav" "$check/base-decoded-B.wav" || { echo "DIFFERENT: decode of the base's QCP"; same=0; }
[ "$same" = 1 ] && echo "bytes: decoding identical; encoding identical or within the quality limits (every test WAV and rate set, and $minutes min)"
rm -rf "$check"

if [ "$count" = 1 ] && command -v valgrind >/dev/null; then
    short=$data/1
    if [ ! -s "$short/long_vfr.qcp" ]; then
        mkdir -p "$short"
        "$A/bench/throughput" --minutes 1 --repeat 1 --only codec-decode --keep "$short" >/dev/null
    fi
    instructions() {
        valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1/bench/throughput" --job "$2" "$3" 2>&1 |
            awk '/Collected/ { print $NF }'
    }
    iEA=$(instructions "$A" codec-encode "$short/long.wav")
    iEB=$(instructions "$B" codec-encode "$short/long.wav")
    iDA=$(instructions "$A" codec-decode "$short/long_vfr.qcp")
    iDB=$(instructions "$B" codec-decode "$short/long_vfr.qcp")
    awk -v ea="$iEA" -v eb="$iEB" -v da="$iDA" -v db="$iDB" 'BEGIN {
        printf "instructions, encode of 1 min: A %d  B %d  ratio %.2fx\n", ea, eb, ea / eb
        printf "instructions, decode of 1 min: A %d  B %d  ratio %.2fx\n", da, db, da / db
    }'
fi
[ "$same" = 1 ]
