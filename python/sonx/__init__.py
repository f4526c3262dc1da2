"""sonx: QCP (QCELP-13K) speech files from Python, over libsonx's C interface.

ctypes over the installed libsonx.so: no compiler and no download needed.
SONX_LIBRARY names the library to load when it is not where the system
looks for libraries.
"""
import ctypes
import ctypes.util
import os

import numpy as np

__all__ = ["decode", "encode", "info", "read_chunks", "write_chunks", "SonxError", "DamagedFileError"]

SONX_ERR_DAMAGED = 7
_RATE_SETS = {"vfr": 0, "vhr": 1, "ffr": 2, "fhr": 3}
_RATE_NAMES = {v: k for k, v in _RATE_SETS.items()}


def _load():
    path = os.environ.get("SONX_LIBRARY") or ctypes.util.find_library("sonx") or "libsonx.so.3"
    return ctypes.CDLL(path)


_lib = _load()


class _Report(ctypes.Structure):
    _fields_ = [("length_damaged", ctypes.c_int), ("salvaged", ctypes.c_int), ("promise_known", ctypes.c_int),
                ("blocks_read", ctypes.c_uint64), ("blocks_promised", ctypes.c_uint64)]


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
_lib.sonx_version_string.restype = ctypes.c_char_p
_lib.sonx_decode.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.POINTER(ctypes.c_void_p),
                             ctypes.POINTER(ctypes.c_size_t), ctypes.POINTER(_Report)]
_lib.sonx_encode.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint32, ctypes.c_int,
                             ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]
_lib.sonx_free.argtypes = [ctypes.c_void_p]
_lib.sonx_get_info.argtypes = [ctypes.c_char_p, ctypes.POINTER(_Info)]
_lib.sonx_get_info_memory.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(_Info)]
_lib.sonx_get_chunk.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t,
                                ctypes.POINTER(ctypes.c_size_t)]
_lib.sonx_set_chunk.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t]
_lib.sonx_last_error.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]

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


def _bytes_of(path_or_bytes):
    if isinstance(path_or_bytes, (bytes, bytearray, memoryview)):
        return bytes(path_or_bytes)
    with open(path_or_bytes, "rb") as file:
        return file.read()


def _report(report):
    return {"length_damaged": bool(report.length_damaged), "salvaged": bool(report.salvaged),
            "blocks_read": report.blocks_read,
            "blocks_promised": report.blocks_promised if report.promise_known else None}


def decode(path_or_bytes, salvage=False, with_report=False):
    """QCP file (path or bytes) -> (int16 samples, 8000); with_report adds
    what was found of a damaged file's lengths as a third item."""
    data = _bytes_of(path_or_bytes)
    pcm, count, report = ctypes.c_void_p(), ctypes.c_size_t(), _Report()
    _check(_lib.sonx_decode(data, len(data), int(salvage), ctypes.byref(pcm), ctypes.byref(count),
                            ctypes.byref(report)))
    try:
        samples = np.ctypeslib.as_array(ctypes.cast(pcm, ctypes.POINTER(ctypes.c_int16)), (count.value,)).copy() \
            if count.value else np.zeros(0, dtype=np.int16)
    finally:
        _lib.sonx_free(pcm)
    return (samples, 8000, _report(report)) if with_report else (samples, 8000)


def encode(samples, samplerate, rateset="vfr"):
    """Mono 16-bit samples at any rate -> the bytes of a QCP file."""
    if rateset not in _RATE_SETS:
        raise ValueError("rateset must be one of " + ", ".join(_RATE_SETS))
    pcm = np.ascontiguousarray(samples, dtype=np.int16)
    if pcm.ndim != 1:
        raise ValueError("samples must be one channel")
    out, length = ctypes.c_void_p(), ctypes.c_size_t()
    _check(_lib.sonx_encode(pcm.ctypes.data, pcm.size, int(samplerate), _RATE_SETS[rateset], ctypes.byref(out),
                            ctypes.byref(length)))
    try:
        return ctypes.string_at(out, length.value)
    finally:
        _lib.sonx_free(out)


def info(path_or_bytes):
    """What a QCP or WAV file holds, as `velconv -i` tells it, as a dict."""
    facts = _Info()
    if isinstance(path_or_bytes, (bytes, bytearray, memoryview)):
        data = bytes(path_or_bytes)
        _check(_lib.sonx_get_info_memory(data, len(data), ctypes.byref(facts)))
    else:
        _check(_lib.sonx_get_info(os.fsencode(path_or_bytes), ctypes.byref(facts)))
    return {"container": "QCP" if facts.kind == 1 else "WAV", "codec": facts.codec.decode(),
            "decodable": bool(facts.decodable), "samplerate": facts.sample_rate, "bits": facts.sample_bits,
            "channels": facts.channels, "samples": facts.samples, "duration": facts.duration,
            "samples_promised": facts.samples_promised if facts.promise_known else None,
            "rateset": _RATE_NAMES.get(facts.rate_set), "packets": facts.packets,
            "packets_by_rate": list(facts.packets_by_rate), "stray_bytes": facts.stray_bytes,
            "average_bitrate": facts.average_bit_rate, "cut_short": bool(facts.cut_short),
            "label": facts.label.decode(errors="replace"), "text": facts.text.decode(errors="replace")}


_CHUNKS = ("labl", "text", "cnfg")


def read_chunks(path):
    """The 'labl', 'text' and 'cnfg' chunks of a QCP file that has them, as bytes."""
    found = {}
    for chunk in _CHUNKS:
        stored = ctypes.c_size_t()
        status = _lib.sonx_get_chunk(os.fsencode(path), chunk.encode(), None, 0, ctypes.byref(stored))
        if status == 8:  # SONX_ERR_NO_CHUNK
            continue
        _check(status)
        buffer = ctypes.create_string_buffer(max(stored.value, 1))
        _check(_lib.sonx_get_chunk(os.fsencode(path), chunk.encode(), buffer, stored.value, ctypes.byref(stored)))
        found[chunk] = buffer.raw[:stored.value]
    return found


def write_chunks(path, chunks):
    """Replaces or adds the given chunks ({'labl': b'...', ...}) in place."""
    for chunk, value in chunks.items():
        if chunk not in _CHUNKS:
            raise ValueError("chunk must be one of " + ", ".join(_CHUNKS))
        data = value.encode() if isinstance(value, str) else bytes(value)
        _check(_lib.sonx_set_chunk(os.fsencode(path), chunk.encode(), data, len(data)))
