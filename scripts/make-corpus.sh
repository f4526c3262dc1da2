#!/usr/bin/env bash
# Seeds the fuzz corpora from the test speech: short WAV files of each kind,
# QCP files of each rate set (encoded with the given velconv), their packet
# streams, and command lines.
# Usage: scripts/make-corpus.sh path/to/velconv corpus-dir
set -euo pipefail
velconv=$1
out=$2
data=${SONX_TESTDATA_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/shared/testdata}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"/fuzz_convert "$out"/fuzz_decoder "$out"/fuzz_chunks "$out"/fuzz_cli

python3 - "$data" "$tmp" <<'PY'
import struct, sys, os
data, tmp = sys.argv[1], sys.argv[2]
def chunks(b):
    pos = 12
    while pos + 8 <= len(b):
        cid, n = b[pos:pos+4], struct.unpack('<I', b[pos+4:pos+8])[0]
        yield cid, pos, n
        pos += 8 + n + (n & 1)
# Cut each WAV to about 0.3 s so the fuzzers run many inputs per second.
for name in os.listdir(data):
    if not name.endswith('.wav'): continue
    b = open(os.path.join(data, name), 'rb').read()
    for cid, pos, n in chunks(b):
        if cid == b'data':
            keep = min(n, 4800)
            head = bytearray(b[:pos+8] + b[pos+8:pos+8+keep])
            struct.pack_into('<I', head, pos+4, keep)
            struct.pack_into('<I', head, 4, len(head) - 8)
            open(os.path.join(tmp, 'short_' + name), 'wb').write(head)
PY

cp "$tmp"/short_*.wav "$out"/fuzz_convert/
for rate in vfr vhr ffr fhr; do
  if "$velconv" -r "$rate" "$tmp/short_speech_8k.wav" "$tmp/$rate.qcp" 2>/dev/null; then
    cp "$tmp/$rate.qcp" "$out/fuzz_convert/$rate.qcp"
    cp "$tmp/$rate.qcp" "$out/fuzz_chunks/$rate.qcp"
    # The packet stream alone, after the 194-byte header.
    tail -c +195 "$tmp/$rate.qcp" > "$out/fuzz_decoder/$rate.packets"
  fi
done
printf -- '-r\0vhr\0in.wav\0out.qcp' > "$out/fuzz_cli/rate"
printf -- '--mode=3\0in.qcp' > "$out/fuzz_cli/mode"
printf -- '-hv\0--ra\0x' > "$out/fuzz_cli/cluster"
printf -- 'a\0-r\0x\0b\0c' > "$out/fuzz_cli/groups"
