"""sonx: QCP (QCELP-13K) speech files from Python, over libsonx's C interface.

ctypes over libsonx.so: no compiler and no download needed. The library is
looked for beside this module first (a package installed with pip carries
the one it was built with), then at SONX_LIBRARY, then where the system
looks for libraries.

Samples follow python-soundfile: float arrays are full scale at +-1.0,
int16 and int32 at their limits, and a 2-D array is frames x channels.
"""
import ctypes
import numbers
import os

import numpy as np

__all__ = ["convert_file", "decode", "encode", "info", "read_chunks", "write_chunks", "SonxError",
           "DamagedFileError"]

SONX_ERR_DAMAGED = 7
SONX_ERR_NO_CHUNK = 8
_LIBRARY = "libsonx.so.3"


def _load():
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), _LIBRARY)
    path = beside if os.path.isfile(beside) else os.environ.get("SONX_LIBRARY") or _LIBRARY
    try:
        return ctypes.CDLL(path)
    except OSError as failure:
        raise ImportError(f"sonx: {failure} (install the module with pip after scripts/setup.sh, "
                          "or name the library in SONX_LIBRARY)") from failure


_lib = _load()


class _Report(ctypes.Structure):
    _fields_ = [("length_damaged", ctypes.c_int), ("salvaged", ctypes.c_int), ("promise_known", ctypes.c_int),
                ("blocks_read", ctypes.c_uint64), ("blocks_promised", ctypes.c_uint64)]


class _Options(ctypes.Structure):
    _fields_ = [("output_type", ctypes.c_int), ("rate_set", ctypes.c_int), ("salvage", ctypes.c_int),
                ("keep_date", ctypes.c_int), ("sample_rate", ctypes.c_uint32)]


class _Info(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("codec", ctypes.c_char * 40), ("decodable", ctypes.c_int),
                ("sample_rate", ctypes.c_uint32), ("sample_bits", ctypes.c_uint32), ("channels", ctypes.c_uint32),
                ("samples", ctypes.c_uint64), ("samples_promised", ctypes.c_uint64),
                ("promise_known", ctypes.c_int), ("duration", ctypes.c_double), ("rate_set", ctypes.c_int),
                ("packets_by_rate", ctypes.c_uint32 * 6), ("packets", ctypes.c_uint32),
                ("packets_promised", ctypes.c_uint32), ("stray_bytes", ctypes.c_uint32),
                ("average_bit_rate", ctypes.c_uint32), ("cut_short", ctypes.c_int),
                ("label", ctypes.c_char * 256), ("text", ctypes.c_char * 1024)]


_lib.sonx_strerror.restype = ctypes.c_char_p
_lib.sonx_rate_set_name.restype = ctypes.c_char_p
_lib.sonx_packet_rate_name.restype = ctypes.c_char_p
# The names are the library's, as velconv's -r and -i give them.
_RATE_NAMES = {rate_set: _lib.sonx_rate_set_name(rate_set).decode() for rate_set in range(4)}
_RATE_SETS = {name: rate_set for rate_set, name in _RATE_NAMES.items()}
# In the order of sonx_info.packets_by_rate.
_PACKET_RATES = tuple(_lib.sonx_packet_rate_name(rate).decode() for rate in range(6))
_lib.sonx_version_string.restype = ctypes.c_char_p
_lib.sonx_decode_rate.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_uint32,
                                  ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t),
                                  ctypes.POINTER(_Report)]
_lib.sonx_encode.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint32, ctypes.c_int,
                             ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]
_lib.sonx_free.argtypes = [ctypes.c_void_p]
_lib.sonx_get_info.argtypes = [ctypes.c_char_p, ctypes.POINTER(_Info)]
_lib.sonx_get_info_memory.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(_Info)]
_lib.sonx_get_chunk.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t,
                                ctypes.POINTER(ctypes.c_size_t)]
_lib.sonx_set_chunk.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t]
_lib.sonx_last_error.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
_lib.sonx_convert_file.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(_Options), ctypes.c_void_p,
                                   ctypes.c_void_p, ctypes.c_void_p]

__version__ = _lib.sonx_version_string().decode()


class SonxError(Exception):
    """A failure of the library; `code` is its sonx_status number."""

    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


class DamagedFileError(SonxError):
    """The file's structure or lengths are damaged (try salvage=True)."""


def _check(status):
    if status == 0:
        return
    text = ctypes.create_string_buffer(1024)
    _lib.sonx_last_error(None, text, len(text))
    message = text.value.decode(errors="replace") or _lib.sonx_strerror(status).decode()
    raise (DamagedFileError if status == SONX_ERR_DAMAGED else SonxError)(status, message)


# How a sample of each dtype (kind, bytes) reaches the 16-bit scale: as the
# library reads WAV frames of the same type, so an array encodes to the bytes
# of a WAV file holding it. Float is scaled by 32768, the inverse of reading
# int16 as float, so int16 -> float -> encode is exact; +1.0 clips to 32767.
_TO_16_BITS = {("i", 2): 1.0, ("i", 4): 1.0 / 65536, ("f", 4): 32768.0, ("f", 8): 32768.0}
_MAX_CHANNELS = 8  # as many as a WAV input may have
_FRAMES_PER_BLOCK = 1 << 16  # bounds the float copy a long array needs


def _mono16(samples):
    """The samples as mono int16, mixed down as a WAV file's frames are: the
    channels' average, rounded to the nearest step (ties to even), clipped."""
    array = np.asarray(samples)
    scale = _TO_16_BITS.get((array.dtype.kind, array.dtype.itemsize))
    if scale is None:
        raise TypeError(f"samples must be float32, float64, int16 or int32, not {array.dtype}")
    if array.ndim not in (1, 2):
        raise ValueError(f"samples must be 1-D (frames) or 2-D (frames x channels), not {array.ndim}-D")
    frames = array if array.ndim == 2 else array[:, np.newaxis]
    channels = frames.shape[1]
    if not 1 <= channels <= _MAX_CHANNELS:
        raise ValueError(f"samples have {channels} channels; a 2-D array is frames x channels, "
                         f"of 1 to {_MAX_CHANNELS} channels")
    if channels == 1 and scale == 1.0:
        return np.ascontiguousarray(frames[:, 0], dtype=np.int16)
    mono = np.empty(len(frames), dtype=np.int16)
    for start in range(0, len(frames), _FRAMES_PER_BLOCK):
        block = frames[start:start + _FRAMES_PER_BLOCK].astype(np.float64) * scale
        if not np.isfinite(block).all():
            raise ValueError("samples hold NaN or infinity")
        # Channel by channel, in the order the library adds them.
        total = block[:, 0].copy()
        for channel in range(1, channels):
            total += block[:, channel]
        mono[start:start + len(block)] = np.clip(np.rint(total / channels), -32768, 32767)
    return mono


def _sample_rate(samplerate, lowest=1, highest=384000, name="samplerate"):
    if isinstance(samplerate, bool) or not isinstance(samplerate, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(samplerate).__name__}")
    if not lowest <= samplerate <= highest:
        raise ValueError(f"{name} must be {lowest} to {highest} Hz, not {samplerate}")
    return int(samplerate)


def _file_name(name):
    """A name as the NUL-terminated bytes C takes: str, bytes or os.PathLike.
    An int is refused: it would be taken for a file descriptor."""
    if not isinstance(name, (str, bytes, os.PathLike)):
        raise TypeError(f"a file name must be str, bytes or os.PathLike, not {type(name).__name__}")
    encoded = os.fsencode(name)
    if b"\0" in encoded:
        raise ValueError(f"file name {name!r} holds a NUL byte")
    return encoded


def _contents(file):
    """The bytes of `file`: a bytes-like object is the file itself, anything
    else names it."""
    if isinstance(file, (bytes, bytearray, memoryview)):
        return bytes(file)
    with open(_file_name(file), "rb") as opened:
        return opened.read()


def _report(report):
    return {"length_damaged": bool(report.length_damaged), "salvaged": bool(report.salvaged),
            "blocks_read": report.blocks_read,
            "blocks_promised": report.blocks_promised if report.promise_known else None}


def decode(path_or_bytes, salvage=False, with_report=False, rate=8000):
    """QCP file (a str or os.PathLike name, or the file's bytes) -> (int16
    samples, rate): at 8000 Hz, or resampled to `rate` (8000 to 48000);
    with_report adds what was found of a damaged file's lengths as a third
    item."""
    rate = _sample_rate(rate, 8000, 48000, "rate")
    data = _contents(path_or_bytes)
    pcm, count, report = ctypes.c_void_p(), ctypes.c_size_t(), _Report()
    _check(_lib.sonx_decode_rate(data, len(data), int(salvage), rate, ctypes.byref(pcm), ctypes.byref(count),
                                 ctypes.byref(report)))
    try:
        samples = np.ctypeslib.as_array(ctypes.cast(pcm, ctypes.POINTER(ctypes.c_int16)), (count.value,)).copy() \
            if count.value else np.zeros(0, dtype=np.int16)
    finally:
        _lib.sonx_free(pcm)
    return (samples, rate, _report(report)) if with_report else (samples, rate)


def encode(samples, samplerate, rateset="vfr"):
    """Samples at any rate from 1 to 384000 Hz -> the bytes of a QCP file.
    `samples` is float32 or float64 (full scale at +-1.0, clipped beyond),
    int16 or int32 (full scale at their limits); 1-D, or 2-D frames x
    channels mixed down to one as a WAV input's are."""
    if rateset not in _RATE_SETS:
        raise ValueError("rateset must be one of " + ", ".join(_RATE_SETS))
    rate = _sample_rate(samplerate)
    pcm = _mono16(samples)
    out, length = ctypes.c_void_p(), ctypes.c_size_t()
    _check(_lib.sonx_encode(pcm.ctypes.data, pcm.size, rate, _RATE_SETS[rateset], ctypes.byref(out),
                            ctypes.byref(length)))
    try:
        return ctypes.string_at(out, length.value)
    finally:
        _lib.sonx_free(out)


def info(path_or_bytes):
    """What a QCP or WAV file (a name, or the file's bytes) holds, as
    `velconv -i` tells it, as a dict; packets_by_rate is named by rate."""
    facts = _Info()
    if isinstance(path_or_bytes, (bytes, bytearray, memoryview)):
        data = bytes(path_or_bytes)
        _check(_lib.sonx_get_info_memory(data, len(data), ctypes.byref(facts)))
    else:
        _check(_lib.sonx_get_info(_file_name(path_or_bytes), ctypes.byref(facts)))
    return {"container": "QCP" if facts.kind == 1 else "WAV", "codec": facts.codec.decode(),
            "decodable": bool(facts.decodable), "samplerate": facts.sample_rate, "bits": facts.sample_bits,
            "channels": facts.channels, "samples": facts.samples, "duration": facts.duration,
            "samples_promised": facts.samples_promised if facts.promise_known else None,
            "rateset": _RATE_NAMES.get(facts.rate_set), "packets": facts.packets,
            "packets_by_rate": dict(zip(_PACKET_RATES, facts.packets_by_rate)), "stray_bytes": facts.stray_bytes,
            "average_bitrate": facts.average_bit_rate, "cut_short": bool(facts.cut_short),
            "label": facts.label.decode(errors="replace"), "text": facts.text.decode(errors="replace")}


_CHUNKS = ("labl", "text", "cnfg")


def read_chunks(path):
    """The 'labl', 'text' and 'cnfg' chunks of a QCP file that has them, as bytes."""
    name = _file_name(path)
    found = {}
    for chunk in _CHUNKS:
        stored = ctypes.c_size_t()
        status = _lib.sonx_get_chunk(name, chunk.encode(), None, 0, ctypes.byref(stored))
        if status == SONX_ERR_NO_CHUNK:
            continue
        _check(status)
        buffer = ctypes.create_string_buffer(max(stored.value, 1))
        _check(_lib.sonx_get_chunk(name, chunk.encode(), buffer, stored.value, ctypes.byref(stored)))
        found[chunk] = buffer.raw[:stored.value]
    return found


def write_chunks(path, chunks):
    """Replaces or adds the given chunks ({'labl': b'...', ...}; str values
    are written as UTF-8) in place. Every name and value is checked before
    the file is touched."""
    name = _file_name(path)
    values = {}
    for chunk, value in chunks.items():
        if chunk not in _CHUNKS:
            raise ValueError("chunk must be one of " + ", ".join(_CHUNKS))
        if not isinstance(value, (str, bytes, bytearray, memoryview)):
            raise TypeError(f"chunk {chunk!r} must be str or bytes, not {type(value).__name__}")
        values[chunk] = value.encode() if isinstance(value, str) else bytes(value)
    for chunk, data in values.items():
        _check(_lib.sonx_set_chunk(name, chunk.encode(), data, len(data)))


def convert_file(input, output, rateset="vfr", salvage=False, keep_date=False):
    """Converts the QCP or WAV file `input` into `output` of the other kind,
    as velconv does. `output` is replaced only once the conversion is
    complete, keeping the old file's mode, owner and attributes; a failure
    or a signal leaves it as it was. With keep_date the output is dated like
    the input."""
    if rateset not in _RATE_SETS:
        raise ValueError("rateset must be one of " + ", ".join(_RATE_SETS))
    options = _Options(0, _RATE_SETS[rateset], int(bool(salvage)), int(bool(keep_date)))
    _check(_lib.sonx_convert_file(_file_name(input), _file_name(output), ctypes.byref(options), None, None, None))
