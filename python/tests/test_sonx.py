"""The Python module against velconv's own output."""
import os
import pathlib
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


def test_info_and_chunks(velconv_files, tmp_path):
    qcp, _ = velconv_files
    copy = tmp_path / "c.qcp"
    copy.write_bytes(qcp.read_bytes())
    facts = sonx.info(copy)
    assert (facts["codec"], facts["rateset"], facts["samplerate"]) == ("QCELP-13K", "vfr", 8000)
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
