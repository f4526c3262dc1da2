"""convert_file keeps the promises velconv's outputs keep: whatever fails or
stops it, the output holds its old bytes or the whole conversion, keeps what
makes it that file, and no temporary file stays behind."""
import errno
import os
import pathlib
import signal
import subprocess
import sys
import time
import wave

import numpy as np
import pytest

import sonx

ROOT = pathlib.Path(__file__).resolve().parents[2]
SPEECH = ROOT / "tests" / "data" / "speech_8k.wav"
SHIM = os.environ.get("FAULT_SHIM")
OLD = b"old bytes\n"
# A conversion in a child process, reporting as velconv does. SIGINT is put
# back to its default: Python's own handler would be left alone, and let the
# conversion finish.
CHILD = ("import signal, sys, sonx\n"
         "signal.signal(signal.SIGINT, signal.SIG_DFL)\n"
         "try:\n"
         "    if sys.argv[1] == 'edit':\n"
         "        sonx.write_chunks('out.qcp', {'text': 'a comment ' * 1000})\n"
         "    else:\n"
         "        sonx.convert_file('in.wav', 'out.qcp')\n"
         "except sonx.SonxError as e:\n"
         "    print('ERROR:', e, file=sys.stderr)\n"
         "    sys.exit(255)\n")


def leftovers(folder):
    return [p.name for p in folder.iterdir() if "velconv-" in p.name]


def child(folder, fault=None, wait=True, operation="convert"):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(sonx.__file__))))
    if fault is not None:
        env.update(fault, LD_PRELOAD=SHIM)
    run = subprocess.Popen([sys.executable, "-c", CHILD, operation], cwd=folder, env=env,
                           stderr=subprocess.PIPE, text=True)
    if not wait:
        return run
    _, errors = run.communicate(timeout=120)
    return run.returncode, errors


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "in.wav").write_bytes(SPEECH.read_bytes())
    sonx.convert_file(tmp_path / "in.wav", tmp_path / "reference.qcp")
    return tmp_path


def prepare(folder, second_name, old):
    for name in ("out.qcp", "other.qcp"):
        (folder / name).unlink(missing_ok=True)
    (folder / "out.qcp").write_bytes(old)
    if second_name:
        os.link(folder / "out.qcp", folder / "other.qcp")


def write_calls(folder, operation, second_name, old):
    prepare(folder, second_name, old)
    assert child(folder, {"FAULT_COUNTS": "counts"}, operation=operation)[0] == 0
    counts = dict(line.split() for line in (folder / "counts").read_text().splitlines())
    (folder / "counts").unlink()
    return int(counts["write"]), (folder / "out.qcp").read_bytes()


# (call, which of them: first, middle or last, errno or 0, signal or 0)
FAULTS = [("write", "first", errno.EIO, 0), ("write", "middle", errno.ENOSPC, 0), ("write", "last", errno.EIO, 0),
          ("fsync", "first", errno.EIO, 0), ("rename", "first", errno.EIO, 0), ("ftruncate", "first", errno.EIO, 0),
          ("write", "middle", 0, signal.SIGTERM), ("write", "last", 0, signal.SIGINT)]


@pytest.mark.skipif(not SHIM, reason="FAULT_SHIM names no fault library")
@pytest.mark.parametrize("operation", ["convert", "edit"], ids=["convert_file", "write_chunks"])
@pytest.mark.parametrize("second_name", [False, True], ids=["renamed over", "in place"])
def test_a_fault_keeps_the_old_bytes_or_gives_the_whole_output(folder, operation, second_name):
    old = OLD if operation == "convert" else (folder / "reference.qcp").read_bytes()
    writes, whole = write_calls(folder, operation, second_name, old)
    failed = 0
    for call, which, error, sig in FAULTS:
        at = {"first": 1, "middle": max(1, writes // 2), "last": writes}[which] if call == "write" else 1
        prepare(folder, second_name, old)
        fault = {"FAULT_CALL": call, "FAULT_AT": str(at)}
        fault.update({"FAULT_ERRNO": str(error)} if error else {"FAULT_SIGNAL": str(int(sig))})
        status, errors = child(folder, fault, operation=operation)
        out = (folder / "out.qcp").read_bytes()
        what = f"{call} #{at}: status {status}, {errors!r}"
        if status == 0:
            assert out == whole, what
        elif status == 255:
            failed += 1
            assert errors.startswith("ERROR: ") and os.strerror(error) in errors, what
            assert out == old, what
        else:
            assert status == -sig, what
            assert out in (old, whole), what
        if second_name:
            assert (folder / "other.qcp").read_bytes() == out, "the names parted: " + what
        assert leftovers(folder) == [], what
    assert failed >= 3


def long_speech(path, seconds):
    with wave.open(str(SPEECH)) as source:
        speech = np.frombuffer(source.readframes(source.getnframes()), dtype="<i2")
    with wave.open(str(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(8000)
        out.writeframes(np.resize(speech, 8000 * seconds).astype("<i2").tobytes())


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_a_signal_half_way_removes_the_temporary_file_and_keeps_the_output(tmp_path, sig):
    long_speech(tmp_path / "in.wav", 120)
    (tmp_path / "out.qcp").write_bytes(OLD)
    run = child(tmp_path, wait=False)
    deadline = time.monotonic() + 60
    while not any((tmp_path / name).stat().st_size > 40000 for name in leftovers(tmp_path)):
        assert run.poll() is None and time.monotonic() < deadline, "the conversion ended before it could be stopped"
        time.sleep(0.001)
    run.send_signal(sig)
    assert run.wait(timeout=60) == -sig
    assert (tmp_path / "out.qcp").read_bytes() == OLD
    assert leftovers(tmp_path) == []


def with_attributes(folder):
    out = folder / "out.qcp"
    os.chmod(out, 0o640)
    try:
        os.setxattr(out, "user.note", b"kept")
    except OSError:
        pytest.skip("no user attributes here")


def hard_link(folder):
    os.link(folder / "out.qcp", folder / "other.qcp")


def link_to_a_file_not_made_yet(folder):
    (folder / "out.qcp").unlink()
    (folder / "made").mkdir()
    (folder / "out.qcp").symlink_to("made/target.qcp")


def kept_attributes(folder):
    out = folder / "out.qcp"
    assert os.stat(out).st_mode & 0o7777 == 0o640
    assert os.getxattr(out, "user.note") == b"kept"


def kept_link(folder):
    assert os.path.samefile(folder / "out.qcp", folder / "other.qcp")
    assert os.stat(folder / "out.qcp").st_nlink == 2


def kept_symbolic_link(folder):
    assert (folder / "out.qcp").is_symlink()
    assert (folder / "made" / "target.qcp").is_file()


@pytest.mark.parametrize("prepare_output, check", [(with_attributes, kept_attributes), (hard_link, kept_link),
                                                   (link_to_a_file_not_made_yet, kept_symbolic_link)],
                         ids=["mode and attributes", "a second hard link", "a symbolic link"])
def test_a_replaced_file_keeps_what_makes_it_that_file(folder, prepare_output, check):
    (folder / "out.qcp").write_bytes(OLD)
    prepare_output(folder)
    sonx.convert_file(folder / "in.wav", folder / "out.qcp")
    assert (folder / "out.qcp").read_bytes() == (folder / "reference.qcp").read_bytes()
    check(folder)
    assert leftovers(folder) == []


@pytest.mark.parametrize("make_name", [lambda f: "in.wav", lambda f: "./in.wav",
                                       lambda f: os.link("in.wav", "hard.wav") or "hard.wav",
                                       lambda f: os.symlink("in.wav", "soft.wav") or "soft.wav"],
                         ids=["the same name", "another spelling", "a hard link", "a symbolic link"])
def test_an_output_that_is_the_input_is_refused(folder, monkeypatch, make_name):
    monkeypatch.chdir(folder)
    before = (folder / "in.wav").read_bytes()
    with pytest.raises(sonx.SonxError) as refused:
        sonx.convert_file("in.wav", make_name(folder))
    assert refused.value.code == 1  # SONX_ERR_INVALID
    assert (folder / "in.wav").read_bytes() == before
    assert leftovers(folder) == []


def test_keep_date_dates_the_output_like_its_input(folder):
    os.utime(folder / "in.wav", ns=(1_000_000_000_000_000_000, 1_234_567_890_000_000_500))
    sonx.convert_file(folder / "in.wav", folder / "dated.qcp", keep_date=True)
    sonx.convert_file(folder / "in.wav", folder / "now.qcp")
    assert os.stat(folder / "dated.qcp").st_mtime_ns == 1_234_567_890_000_000_500
    assert os.stat(folder / "now.qcp").st_mtime_ns != 1_234_567_890_000_000_500
