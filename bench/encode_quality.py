#!/usr/bin/python3
"""Bit rate and SNR of two velconv builds' encodings of the same speech.

    bench/encode_quality.py VELCONV_A VELCONV_B FILE.wav...

Each WAV (8 kHz mono: 16-bit, 8-bit or mu-law) is encoded by both builds at every rate set and
decoded by build B, so that only the encoders differ. Prints, per file and
rate set, the bit rate of the QCP's packets and the SNR of the decoded speech
against the input (at the alignment that maximises it), and the differences
B - A. Exits 1 when a difference passes the limits given by --rate-limit
(per cent, default 0.5) or --snr-limit (dB, default 0.05).
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

import numpy


def riff_chunks(data):
    at = 12
    while at + 8 <= len(data):
        tag, size = data[at:at + 4], struct.unpack('<I', data[at + 4:at + 8])[0]
        yield tag, data[at + 8:at + 8 + size]
        at += 8 + size + (size & 1)


def packet_bytes(qcp_path):
    with open(qcp_path, 'rb') as f:
        data = f.read()
    for tag, body in riff_chunks(data):
        if tag == b'data':
            return len(body)
    raise ValueError(qcp_path + ': no data chunk')


def mulaw_to_linear(codes):
    """G.711 mu-law codes to 16-bit values."""
    u = ~codes.astype(numpy.int32) & 0xFF
    magnitude = ((((u & 0x0F) << 3) + 0x84) << ((u >> 4) & 0x07)) - 0x84
    return numpy.where(u & 0x80, -magnitude, magnitude)


def samples(wav_path):
    """The 16-bit samples the coder takes from an 8 kHz mono WAV: PCM
    16-bit as it is, 8-bit and mu-law widened."""
    with open(wav_path, 'rb') as f:
        data = f.read()
    chunks = dict(riff_chunks(data)) if data[:4] == b'RIFF' and data[8:12] == b'WAVE' else {}
    if b'fmt ' not in chunks or b'data' not in chunks:
        raise ValueError('not a WAV file')
    tag, channels, rate = struct.unpack('<HHI', chunks[b'fmt '][:8])
    bits = struct.unpack('<H', chunks[b'fmt '][14:16])[0]
    body = chunks[b'data']
    if rate != 8000 or channels != 1:
        raise ValueError('not 8 kHz mono, the SNR needs the coder\'s own input')
    if tag == 1 and bits == 16:
        return numpy.frombuffer(body[:len(body) // 2 * 2], dtype='<i2').astype(numpy.float64)
    if tag == 1 and bits == 8:
        return (numpy.frombuffer(body, dtype=numpy.uint8).astype(numpy.float64) - 128.0) * 256.0
    if tag == 7 and bits == 8:
        return mulaw_to_linear(numpy.frombuffer(body, dtype=numpy.uint8)).astype(numpy.float64)
    raise ValueError('a sample format this script does not widen')


def snr_db(reference, decoded, max_delay=400):
    """SNR at the codec's delay, found on the first ten seconds."""
    probe = min(len(reference), 80000)
    best_delay, best = 0, -1e9
    for delay in range(min(max_delay, len(decoded) - probe) + 1):
        x, y = reference[:probe], decoded[delay:delay + probe]
        noise = numpy.sum((x - y) ** 2)
        snr = 10 * numpy.log10(numpy.sum(x ** 2) / noise) if noise > 0 else 1e9
        if snr > best:
            best_delay, best = delay, snr
    n = min(len(reference), len(decoded) - best_delay)
    x, y = reference[:n], decoded[best_delay:best_delay + n]
    return 10 * numpy.log10(numpy.sum(x ** 2) / numpy.sum((x - y) ** 2))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('velconv_a')
    parser.add_argument('velconv_b')
    parser.add_argument('wavs', nargs='+')
    parser.add_argument('--rate-limit', type=float, default=0.5)
    parser.add_argument('--snr-limit', type=float, default=0.05)
    args = parser.parse_args()
    within = True
    with tempfile.TemporaryDirectory() as work:
        print('%-16s %-4s %12s %12s %8s %9s %9s %8s' %
              ('file', 'set', 'A bit/s', 'B bit/s', 'rate %', 'A SNR dB', 'B SNR dB', 'dSNR'))
        for wav in args.wavs:
            try:
                reference = samples(wav)
            except ValueError as error:
                print('%s: skipped (%s)' % (os.path.basename(wav), error))
                continue
            seconds = len(reference) / 8000.0
            for rate_set in ('vfr', 'vhr', 'ffr', 'fhr'):
                result = {}
                for side, tool in (('A', args.velconv_a), ('B', args.velconv_b)):
                    qcp = os.path.join(work, side + '.qcp')
                    decoded = os.path.join(work, side + '.wav')
                    subprocess.run([tool, '-q', '-f', '-r', rate_set, wav, qcp], check=True)
                    subprocess.run([args.velconv_b, '-q', '-f', qcp, decoded], check=True)
                    bits = packet_bytes(qcp) * 8
                    snr = snr_db(reference, samples(decoded))
                    result[side] = (bits / seconds, snr)
                rate_change = 100.0 * (result['B'][0] - result['A'][0]) / result['A'][0]
                snr_change = result['B'][1] - result['A'][1]
                if abs(rate_change) > args.rate_limit or abs(snr_change) > args.snr_limit:
                    within = False
                print('%-16s %-4s %12.1f %12.1f %+8.3f %9.3f %9.3f %+8.3f' %
                      (os.path.basename(wav)[:16], rate_set, result['A'][0], result['B'][0], rate_change,
                       result['A'][1], result['B'][1], snr_change))
    print('within limits' if within else 'OUTSIDE LIMITS')
    return 0 if within else 1


if __name__ == '__main__':
    sys.exit(main())
