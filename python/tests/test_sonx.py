"""The Python module against velconv's own output."""
import json
import os
import pathlib
import struct
import subprocess
import wave

import numpy as np
import pytest

import sonx

ROOT = pathlib.Path(__file__).resolve().parents[2]
SPEECH = ROOT / "tests" / "data" / "speech_8k.wav"
VELCONV = os.environ.get("VELCONV", str(ROOT / "build-test" / "velconv"))


def wav_samples(path):
    with wave.open(str(path)) as file:
        return np.frombuffer(file.readframes(file.getnframes()), dtype="<i2"), file.getframerate()


def wav_file(path, frames, rate):
    """A WAV file holding `frames` (1-D, or frames x channels) as they are:
    integer PCM, or IEEE float for a float array."""
    channels = frames.shape[1] if frames.ndim == 2 else 1
    width = frames.dtype.itemsize
    tag = 3 if frames.dtype.kind == "f" else 1
    data = frames.astype(frames.dtype.newbyteorder("<")).tobytes()
    fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * channels * width, channels * width, width * 8)
    path.write_bytes(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + struct.pack("<I", len(fmt)) + fmt
                     + b"data" + struct.pack("<I", len(data)) + data)
    return path


@pytest.fixture(scope="module")
def velconv_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("velconv")
    qcp, back = folder / "v.qcp", folder / "v.wav"
    subprocess.run([VELCONV, "-f", str(SPEECH), str(qcp)], check=True)
    subprocess.run([VELCONV, "-f", str(qcp), str(back)], check=True)
    return qcp, back


def test_decode_and_encode_match_velconv(velconv_files):
    qcp, back = velconv_files
    for source in (str(qcp), qcp.read_bytes()):
        pcm, rate = sonx.decode(source)
        expected, _ = wav_samples(back)
        assert rate == 8000 and pcm.dtype == np.int16
        assert np.array_equal(pcm, expected)
    samples, rate = wav_samples(SPEECH)
    assert sonx.encode(samples, rate) == qcp.read_bytes()


def test_decode_to_another_rate_matches_velconv(velconv_files, tmp_path):
    qcp, back = velconv_files
    wide = tmp_path / "wide.wav"
    subprocess.run([VELCONV, "-r", "16000", str(qcp), str(wide)], check=True)
    pcm, rate = sonx.decode(qcp, rate=16000)
    expected, expected_rate = wav_samples(wide)
    assert rate == expected_rate == 16000 and np.array_equal(pcm, expected)
    assert len(pcm) == 2 * len(wav_samples(back)[0])


def test_info_and_chunks(velconv_files, tmp_path):
    qcp, _ = velconv_files
    copy = tmp_path / "c.qcp"
    copy.write_bytes(qcp.read_bytes())
    facts = sonx.info(copy)
    assert (facts["codec"], facts["rateset"], facts["samplerate"]) == ("QCELP-13K", "vfr", 8000)
    told = json.loads(subprocess.run([VELCONV, "-i", "--json", str(copy)], check=True, capture_output=True).stdout)
    assert facts["packets_by_rate"] == told["packetsByRate"] and sum(told["packetsByRate"].values()) > 0
    assert facts["samples"] == len(sonx.decode(copy)[0]) and not facts["cut_short"]
    sonx.write_chunks(copy, {"labl": "kitchen", "text": b"take two"})
    chunks = sonx.read_chunks(copy)
    assert chunks["labl"].rstrip(b"\0") == b"kitchen" and chunks["text"] == b"take two"
    assert sonx.info(copy.read_bytes())["label"] == "kitchen"


def test_errors_carry_codes(velconv_files):
    qcp, _ = velconv_files
    with pytest.raises(sonx.SonxError) as failure:
        sonx.info(b"this is no RIFF file at all")
    assert failure.value.code == 5
    # A 'data' length running past the end: refused, then salvaged.
    cut = qcp.read_bytes()[:-4000]
    with pytest.raises(sonx.DamagedFileError):
        sonx.decode(cut)
    pcm, rate, report = sonx.decode(cut, salvage=True, with_report=True)
    assert report["salvaged"] and 0 < report["blocks_read"] < report["blocks_promised"]
    assert len(pcm) == report["blocks_read"] * 160
    with pytest.raises(ValueError):
        sonx.encode(np.zeros(160, np.int16), 8000, rateset="xyz")


SPEECH_SAMPLES = wav_samples(SPEECH)[0]
# Each array encodes to the bytes of velconv's conversion of a WAV file that
# holds it: float full scale at +-1.0, int32 at its limits (rounded, ties to
# even, never wrapped), channels mixed down as a WAV file's are.
ARRAYS = {
    "float32": ((SPEECH_SAMPLES / 32768).astype(np.float32), 8000),
    "float64 past full scale, clipped": (SPEECH_SAMPLES * 4 / 32768, 8000),
    "int32 halfway between steps": ((SPEECH_SAMPLES.astype(np.int32) << 16) | 0x8000, 8000),
    "int32 at its limits": (np.clip(SPEECH_SAMPLES * 131072.0, -2**31, 2**31 - 1).astype(np.int32), 44100),
    "int16 stereo": (np.stack([SPEECH_SAMPLES, SPEECH_SAMPLES[::-1]], axis=1), 8000),
    "float32 3 channels": ((np.stack([SPEECH_SAMPLES, -(SPEECH_SAMPLES // 2), SPEECH_SAMPLES[::-1]], axis=1)
                            / 32768).astype(np.float32), 16000),
}


@pytest.mark.parametrize("name", ARRAYS)
def test_arrays_encode_as_wav_files_of_them(name, tmp_path):
    frames, rate = ARRAYS[name]
    qcp = tmp_path / "v.qcp"
    subprocess.run([VELCONV, "-f", str(wav_file(tmp_path / "in.wav", frames, rate)), str(qcp)], check=True)
    encoded = sonx.encode(frames, rate)
    assert encoded == qcp.read_bytes()
    assert np.abs(sonx.decode(encoded)[0].astype(np.int32)).max() > 5000  # speech, not near-silence


def test_bad_inputs_are_refused_before_c(velconv_files, tmp_path):
    qcp = tmp_path / "n.qcp"
    qcp.write_bytes(velconv_files[0].read_bytes())
    silence = np.zeros(160, np.float32)
    cases = [
        (lambda: sonx.encode(silence.astype(np.complex64), 8000), TypeError, "complex64"),
        (lambda: sonx.encode(np.array([0, 0.5], dtype=object), 8000), TypeError, "object"),
        (lambda: sonx.encode(np.array([0, np.nan], np.float32), 8000), ValueError, "NaN"),
        (lambda: sonx.encode(np.array([0, -np.inf]), 8000), ValueError, "infinity"),
        (lambda: sonx.encode(silence, 2**32 + 8000), ValueError, "4294975296"),
        (lambda: sonx.encode(silence, 0), ValueError, "1 to 384000"),
        (lambda: sonx.encode(silence, True), TypeError, "bool"),
        (lambda: sonx.encode(silence, 8000.0), TypeError, "float"),
        (lambda: sonx.decode(3), TypeError, "int"),
        (lambda: sonx.decode(qcp, rate=7999), ValueError, "8000 to 48000"),
        (lambda: sonx.decode(qcp, rate=16000.0), TypeError, "float"),
        (lambda: sonx.info(str(qcp) + "\0.bak"), ValueError, "NUL"),
        (lambda: sonx.read_chunks(str(qcp) + "\0.bak"), ValueError, "NUL"),
        (lambda: sonx.write_chunks(str(qcp) + "\0.bak", {"labl": "x"}), ValueError, "NUL"),
        (lambda: sonx.write_chunks(qcp, {"text": "kept", "labl": 5}), TypeError, "labl"),
    ]
    for call, refusal, named in cases:
        with pytest.raises(refusal, match=named):
            call()
    assert qcp.read_bytes() == velconv_files[0].read_bytes()
