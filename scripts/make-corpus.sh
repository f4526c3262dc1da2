#!/usr/bin/env bash
# Seeds the fuzz corpora from the test speech: short WAV files of each kind,
# QCP files of each rate set (encoded with the given velconv), their packet
# streams, and command lines.
# Usage: scripts/make-corpus.sh path/to/velconv corpus-dir
set -euo pipefail
velconv=$1
out=$2
data=${SONX_TESTDATA_DIR:-$(cd "$(dirname "$0")/.." && pwd)/tests/data}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"/fuzz_convert "$out"/fuzz_decoder "$out"/fuzz_chunks "$out"/fuzz_cli "$out"/fuzz_capi

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

# QCP files built directly, so the QCP seeds do not depend on the encoder:
# packets of every rate with arbitrary payload bits (the decoder conceals
# what does not make sense), one plain, one with the optional chunks.
def chunk(cid, body):
    return cid + struct.pack('<I', len(body)) + body + (b'\0' if len(body) & 1 else b'')
sizes = {0: 0, 1: 3, 2: 7, 3: 16, 4: 34, 14: 0}
seed, packets, count = 1, bytearray(), 0
for i in range(60):
    rate = [4, 4, 3, 2, 1, 1, 0, 14, 4, 3][i % 10]
    packets.append(rate)
    for _ in range(sizes[rate]):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        packets.append(seed >> 16 & 0xFF)
    count += 1
codec = bytes.fromhex('416d7f5e15b1d011ba9100805fb4b97e')  # CODEC_QCELP13K in file order
fmt = bytearray(150)
fmt[0] = 1
fmt[2:18] = codec
struct.pack_into('<H', fmt, 18, 2)
fmt[20:29] = b'Qcelp 13K'
struct.pack_into('<HHHHHI', fmt, 100, 14399, 35, 160, 8000, 16, 4)
fmt[114:122] = bytes([3, 1, 7, 2, 16, 3, 34, 4])
def qcp(extra_after_vrat=b'', extra_after_data=b''):
    body = (b'QLCM' + chunk(b'fmt ', bytes(fmt)) + chunk(b'vrat', struct.pack('<II', 1, count)) +
            extra_after_vrat + chunk(b'data', bytes(packets)) + extra_after_data)
    return b'RIFF' + struct.pack('<I', len(body)) + body
open(os.path.join(tmp, 'built.qcp'), 'wb').write(qcp())
# Damaged copies for the salvage path: cut inside a packet, and a 'data'
# length a streaming writer leaves.
whole = qcp()
open(os.path.join(tmp, 'built_cut.qcp'), 'wb').write(whole[:len(whole) * 2 // 3])
unset = bytearray(whole)
struct.pack_into('<I', unset, whole.find(b'data') + 4, 0xFFFFFFFF)
open(os.path.join(tmp, 'built_unset.qcp'), 'wb').write(bytes(unset))
open(os.path.join(tmp, 'built_chunks.qcp'), 'wb').write(
    qcp(chunk(b'labl', b'label'.ljust(48, b'\0')),
        chunk(b'cnfg', struct.pack('<H', 0x1234)) + chunk(b'text', b'some text')))

# The other WAV forms, from the start of the 8 kHz speech: several channels,
# 8/24/32-bit integers, 32/64-bit floats, A-law and mu-law, the extensible
# 'fmt ' (with a sub-format that is refused too), other rates.
def wav_data(name):
    b = open(os.path.join(data, name), 'rb').read()
    for cid, pos, n in chunks(b):
        if cid == b'data':
            return b[pos+8:pos+8+min(n, 4800)]
speech = struct.unpack('<%dh' % (len(wav_data('speech_8k.wav')) // 2), wav_data('speech_8k.wav'))
law = wav_data('speech_8k_mulaw.wav')
def form_wav(tag, channels, bits, body, rate=8000, extensible=False):
    align = channels * bits // 8
    body = body[:max(align, 8000 // align * align)]  # the fuzzer skips inputs beyond 8 KiB
    fmt = struct.pack('<HHIIHH', 0xFFFE if extensible else tag, channels, rate, rate * align, align, bits)
    if extensible:
        fmt += struct.pack('<HHI', 22, bits, 0) + struct.pack('<I', tag) + bytes.fromhex('000010008000' '00aa00389b71')
    return b'RIFF' + struct.pack('<I', 4 + len(chunk(b'fmt ', fmt)) + len(chunk(b'data', body))) + b'WAVE' + \
        chunk(b'fmt ', fmt) + chunk(b'data', body)
def frames(fmt, per_sample):
    return b''.join(struct.pack(fmt, *per_sample(s)) for s in speech)
forms = {
    'stereo16': form_wav(1, 2, 16, frames('<hh', lambda s: (s, s // 2))),
    'stereo8': form_wav(1, 2, 8, frames('<BB', lambda s: ((s >> 8) + 128, 128))),
    'int24_ext': form_wav(1, 1, 24, b''.join(struct.pack('<i', s * 256)[:3] for s in speech), extensible=True),
    'int32_3ch': form_wav(1, 3, 32, frames('<iii', lambda s: (s << 16, -(s << 15), s << 14))),
    'float32': form_wav(3, 1, 32, frames('<f', lambda s: (s / 32768,))),
    'float64_6ch_ext': form_wav(3, 6, 64, frames('<6d', lambda s: (s / 32768,) * 6), 44100, True),
    'alaw': form_wav(6, 1, 8, law),
    'mulaw_stereo': form_wav(7, 2, 8, bytes(b for x in law for b in (x, x))),
    'mulaw_16k': form_wav(7, 1, 8, law, 16000),
    'alaw_11k': form_wav(6, 1, 8, law, 11025),
    'adpcm_ext': form_wav(0x11, 1, 16, bytes(64), extensible=True),
}
for name, image in forms.items():
    open(os.path.join(tmp, 'short_form_' + name + '.wav'), 'wb').write(image)
PY

cp "$tmp"/short_*.wav "$tmp"/built*.qcp "$out"/fuzz_convert/
# The chunk fuzzer reads a few operation bytes up to 0xFF before the file.
for f in "$tmp"/built*.qcp; do
  { printf '\x00\x05\x0a\x03\xff'; cat "$f"; } > "$out/fuzz_chunks/$(basename "$f")"
done
# The C interface fuzzer takes one steering byte before the file.
for f in "$tmp"/short_*.wav "$tmp"/built*.qcp; do
  { printf '\x02'; cat "$f"; } > "$out/fuzz_capi/$(basename "$f")"
done
for rate in vfr vhr ffr fhr; do
  if "$velconv" -r "$rate" "$tmp/short_speech_8k.wav" "$tmp/$rate.qcp" 2>/dev/null; then
    cp "$tmp/$rate.qcp" "$out/fuzz_convert/$rate.qcp"
    { printf '\x01\x06\x0b\x04\xff'; cat "$tmp/$rate.qcp"; } > "$out/fuzz_chunks/$rate.qcp"
    # The packet stream alone, after the 194-byte header.
    tail -c +195 "$tmp/$rate.qcp" > "$out/fuzz_decoder/$rate.packets"
  fi
done
# Command lines: a leading NUL byte runs the front end, a leading 0x01 the
# option parser alone (see fuzz/fuzz_cli.cpp).
printf -- '\0-r\0vhr\0in.wav\0out.qcp' > "$out/fuzz_cli/rate"
printf -- '\0--mode=3\0in.qcp' > "$out/fuzz_cli/mode"
printf -- '\0in.qcp' > "$out/fuzz_cli/decode"
printf -- '\0-r=ffr\0in.wav' > "$out/fuzz_cli/encode"
printf -- '\0-hv\0--ra\0x' > "$out/fuzz_cli/cluster"
printf -- '\0a\0-r\0x\0b\0c' > "$out/fuzz_cli/groups"
printf -- '\0tiny' > "$out/fuzz_cli/tiny"
printf -- '\0-s\0cut.qcp' > "$out/fuzz_cli/salvage"
printf -- '\0--salvage\0-r\0vhr\0cut.wav\0out.qcp' > "$out/fuzz_cli/salvage_wav"
# Parser alone: flags, 2 rows (bit, mutex, depend, names), names, arguments.
printf -- '\x03\x01\x01\x00\x00\x00\x00\x03\x01\x00\x00\x03h\0help\0m\0mode\0-hm=1\0--mo\0x' \
  > "$out/fuzz_cli/parser"
