"""One table of inputs through every front end: velconv, the C interface
(fourway_c.c), the Python module and, when given the WebAssembly build, the
module in Node (fourway_wasm.mjs). Each row must give the same outcome from
all of them: the output's bytes, the status number of a failure, and the
input's file facts.

    fourway_test.py VELCONV FOURWAY_C WORK_FOLDER [SONX_WEB_JS]

The suite runs the three native front ends (ctest fourway_native);
scripts/test-web.sh runs all four once the web build is there. The Python
module is the one on PYTHONPATH, over the library SONX_LIBRARY names.

Where the front ends differ by design, the test compares through the
documented mapping: velconv's exit status is 255 for any failure (not the
status number); its messages and the page's come from one words module, the
C interface's and the Python module's from the library, so messages are
compared within each pair; the Python module names its facts in its own
words (samplerate, packets_by_rate, ...), mapped below onto velconv -i
--json's.
"""
import json
import pathlib
import struct
import subprocess
import sys
import uuid

import numpy as np

import sonx

VELCONV, C_DRIVER, WORK = sys.argv[1], sys.argv[2], pathlib.Path(sys.argv[3])
WASM = sys.argv[4] if len(sys.argv) > 4 else None
DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
SECONDS = 2
SONX_ERR_INVALID = 1

# ---- Inputs, made from the test speech ----------------------------------------


def chunk(tag, data):
    return tag + struct.pack("<I", len(data)) + data + b"\0" * (len(data) & 1)


def riff(body, form=b"WAVE", head=b"RIFF", size=None):
    return head + struct.pack("<I", len(body) + 4 if size is None else size) + form + body


def speech(name="speech_8k.wav"):
    data = (DATA / name).read_bytes()
    rate = struct.unpack_from("<I", data, 24)[0]
    start = data.index(b"data") + 8
    return np.frombuffer(data[start:start + SECONDS * rate * 2], dtype="<i2").astype(np.int64), rate


def wav(frames, rate, tag=1, bits=16, channels=1, extensible=None, extra=b"", sizes=None, head=b"RIFF"):
    """A WAV file of the given frame bytes; `extensible` is the sub-format's
    tag; `sizes` (RIFF, data) replaces the true lengths; RF64/BW64 `head`
    puts the lengths in a ds64 chunk."""
    align = channels * bits // 8
    fmt = struct.pack("<HHIIHH", 0xFFFE if extensible else tag, channels, rate, rate * align, align, bits)
    if extensible:
        guid = uuid.UUID(f"{extensible:08x}-0000-0010-8000-00aa00389b71").bytes_le
        fmt += struct.pack("<HHI", 22, bits, (1 << channels) - 1) + guid
    body = chunk(b"fmt ", fmt) + extra + chunk(b"data", frames)
    if head != b"RIFF":
        ds64 = struct.pack("<QQQI", len(body) + 40, len(frames), len(frames) // align, 0)
        body = chunk(b"ds64", ds64) + body[:-len(frames) - 4] + b"\xff\xff\xff\xff" + frames
        return riff(body, head=head, size=0xFFFFFFFF)
    if sizes:
        body = body[:-len(frames) - 4] + struct.pack("<I", sizes[1]) + frames
        return riff(body, size=sizes[0])
    return riff(body)


def pcm(samples, bits):
    if bits <= 16:
        return (samples // 256 + 128).astype(np.uint8).tobytes() if bits == 8 else samples.astype("<i2").tobytes()
    wide = (samples << (bits - 16)).astype("<i4").tobytes()
    return wide if bits == 32 else b"".join(wide[i:i + 3] for i in range(0, len(wide), 4))


def stereo(left, right):
    return np.stack([left, right], axis=1).reshape(-1)


def info_list(label, text):
    return chunk(b"LIST", b"INFO" + chunk(b"INAM", label.encode() + b"\0") + chunk(b"ICMT", text.encode() + b"\0"))


def with_chunks(qcp, *chunks):
    body = qcp[12:] + b"".join(chunks)
    return riff(body, form=b"QLCM")


def make_inputs():
    """Name -> bytes of every input of the table."""
    s8, _ = speech()
    s16, _ = speech("speech_16k.wav")
    mulaw = (DATA / "speech_8k_mulaw.wav").read_bytes()
    law = mulaw[mulaw.index(b"data") + 8:][:SECONDS * 8000]
    pcm16 = wav(pcm(s8, 16), 8000)
    inputs = {
        "pcm16": pcm16,
        "pcm8": wav(pcm(s8, 8), 8000, bits=8),
        "pcm24 stereo 16k": wav(pcm(stereo(s16, s16 // 3), 24), 16000, bits=24, channels=2),
        "pcm32 11025": wav(pcm(s8, 32), 11025, bits=32),
        "float32 stereo 44100": wav((stereo(s8, -s8) / 32768).astype("<f4").tobytes(), 44100, 3, 32, 2),
        "float64": wav((s8 / 32768).astype("<f8").tobytes(), 8000, 3, 64),
        "a-law": wav(law, 8000, 6, 8),
        "mu-law": wav(law, 8000, 7, 8),
        "extensible pcm16 stereo 48000": wav(pcm(stereo(s8, s8), 16), 48000, bits=16, channels=2, extensible=1),
        "extensible float": wav((s8 / 32768).astype("<f4").tobytes(), 8000, bits=32, extensible=3),
        "adpcm": wav(law, 8000, 2, 4),
        "rf64": wav(pcm(s8, 16), 8000, head=b"RF64"),
        "bw64": wav(pcm(s8, 16), 8000, head=b"BW64"),
        "pipe 0xFFFFFFFF": wav(pcm(s8, 16), 8000, sizes=(0xFFFFFFFF, 0xFFFFFFFF)),
        "pipe 0": wav(pcm(s8, 16), 8000, sizes=(0, 0)),
        "wav with INFO": wav(pcm(s8, 16), 8000, extra=info_list("Memo \u00e9t\u00e9", "said twice")),
        "long label": wav(pcm(s8, 16), 8000, extra=info_list("\u00c9t\u00e9 " * 12, "")),
        "no samples": wav(b"", 8000),
        "not audio": b"These bytes are no audio file at all.\n" * 4,
        "empty": b"",
        "junk first": riff(chunk(b"JUNK", bytes(28)) + pcm16[12:]),
        "9 channels": wav(pcm(np.repeat(s8, 9), 16), 8000, channels=9),
        "qcp header only": riff(b"", form=b"QLCM"),
        "avi": riff(chunk(b"avih", bytes(56)), form=b"AVI "),
    }
    # The QCP inputs start from velconv's encodes, which the WAV rows below
    # hold to the other front ends.
    for source, rate_set, name in (("pcm16", "vfr", "qcp vfr"), ("pcm16", "fhr", "qcp fhr"),
                                   ("no samples", "vfr", "qcp no packets")):
        (WORK / "source.wav").write_bytes(inputs[source])
        subprocess.run([VELCONV, "-f", "-r", rate_set, WORK / "source.wav", WORK / "source.qcp"], check=True)
        inputs[name] = (WORK / "source.qcp").read_bytes()
    qcp = inputs["qcp vfr"]
    label = "Caf\u00e9 memo".encode().ljust(48, b"\0")
    inputs["qcp labelled"] = with_chunks(qcp, chunk(b"labl", label), chunk(b"text", b"Call back on Monday"))
    inputs["qcp cut"] = qcp[:len(qcp) * 3 // 5]
    qcelp, evrc = (uuid.UUID(g).bytes_le for g in ("5E7F6D41-B115-11D0-BA91-00805FB4B97E",
                                                   "E689D48D-9076-46B5-91EF-736A5100CEB4"))
    assert qcelp in qcp, "the codec identity sits in the QCP's 'fmt ' chunk"
    inputs["qcp evrc"] = qcp.replace(qcelp, evrc, 1)
    return inputs


# Input, rate set, decode rate (0: the default), salvage.
TABLE = [
    # WAV -> QCP, every form, in every rate set
    ("pcm16", "vfr", 0, 0), ("pcm8", "vhr", 0, 0), ("pcm24 stereo 16k", "ffr", 0, 0), ("pcm32 11025", "fhr", 0, 0),
    ("float32 stereo 44100", "vfr", 0, 0), ("float64", "vhr", 0, 0), ("a-law", "vfr", 0, 0), ("mu-law", "fhr", 0, 0),
    ("extensible pcm16 stereo 48000", "vfr", 0, 0), ("extensible float", "ffr", 0, 0), ("rf64", "vfr", 0, 0),
    ("bw64", "vhr", 0, 0), ("wav with INFO", "vfr", 0, 0), ("long label", "vfr", 0, 0), ("no samples", "vfr", 0, 0),
    ("junk first", "vfr", 0, 0), ("pipe 0xFFFFFFFF", "vfr", 0, 0), ("pipe 0xFFFFFFFF", "vfr", 0, 1),
    ("pipe 0", "vfr", 0, 0), ("pipe 0", "vfr", 0, 1),
    # refused
    ("adpcm", "vfr", 0, 0), ("pcm16", "vfr", 16000, 0), ("not audio", "vfr", 0, 0), ("empty", "vfr", 0, 0),
    ("avi", "vfr", 0, 0), ("9 channels", "vfr", 0, 0), ("qcp header only", "vfr", 0, 0), ("qcp evrc", "vfr", 0, 0),
    ("qcp vfr", "vfr", 96000, 0), ("qcp cut", "vfr", 0, 0),
    # QCP -> WAV, at 8 kHz and resampled
    ("qcp vfr", "vfr", 0, 0), ("qcp vfr", "vfr", 16000, 0), ("qcp vfr", "vfr", 44100, 0), ("qcp fhr", "vfr", 0, 0),
    ("qcp no packets", "vfr", 0, 0), ("qcp no packets", "vfr", 16000, 0), ("qcp labelled", "vfr", 0, 0),
    ("qcp labelled", "vfr", 16000, 0), ("qcp cut", "vfr", 0, 1), ("qcp cut", "vfr", 16000, 1),
]

# ---- The front ends -------------------------------------------------------------
# Each gives {"convert": {status, message}, "info": {status, message},
# "facts": {...} (velconv -i --json's names), "output": bytes or None}.


def shared_facts(facts):
    """The facts every front end reports, in velconv -i --json's names."""
    keys = ["container", "decodable", "sampleRate", "samples", "duration", "label", "text", "cutShort"]
    keys += ["codec", "rateSet", "packets", "packetsByRate", "packetsPromised", "averageBitRate"] \
        if facts["container"] == "qcp" else ["channels", "sampleBits"]
    return {key: facts[key] for key in keys}


def run_velconv(row, input_file, output):
    _, rate_set, decode_rate, salvage = row
    options = ["-f", "-r", rate_set] + (["-r", str(decode_rate)] if decode_rate else []) + (["-s"] if salvage else [])
    done = subprocess.run([VELCONV, *options, input_file, output], capture_output=True, text=True)
    described = subprocess.run([VELCONV, "-i", "--json", input_file], capture_output=True, text=True)
    facts = json.loads(described.stdout)

    def outcome(run):
        lines = run.stderr.splitlines() if run.returncode else [""]
        return {"status": run.returncode, "message": lines[0].removeprefix("ERROR: ").removeprefix(f"'{input_file}': "),
                "notes": lines[1:]}
    warning = f"WARNING: '{input_file}' is damaged: "
    recovered = [line.removeprefix(warning) for line in done.stderr.splitlines() if line.startswith(warning)]
    return {"convert": outcome(done), "info": outcome(described), "facts": None if "error" in facts else facts,
            "recovered": "".join(recovered)}


def run_c(row, input_file, output):
    _, rate_set, decode_rate, salvage = row
    done = subprocess.run([C_DRIVER, input_file, output, rate_set, str(decode_rate), str(salvage)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def python_facts(found):
    facts = {"container": found["container"].lower(), "sampleRate": found["samplerate"],
             "sampleBits": found["bits"], "duration": round(found["duration"], 3), "rateSet": found["rateset"],
             "averageBitRate": found["average_bitrate"],
             "packetsByRate": found["packets_by_rate"], "packetsPromised": found["packets_promised"],
             "cutShort": found["cut_short"]}
    return {**{key: found[key] for key in ("codec", "decodable", "samples", "channels", "packets", "label", "text")},
            **facts}


def run_python(row, input_file, output):
    _, rate_set, decode_rate, salvage = row
    outcome = {}

    def attempt(step, call):
        try:
            result = call()
            outcome[step] = {"status": 0, "message": ""}
            return result
        except sonx.SonxError as failure:
            outcome[step] = {"status": failure.code, "message": str(failure)}
        except ValueError:  # the module's own check of an argument, in its own words
            outcome[step] = {"status": SONX_ERR_INVALID, "message": None}
    attempt("convert", lambda: sonx.convert_file(input_file, output, rate_set, bool(salvage), rate=decode_rate or 8000))
    found = attempt("info", lambda: sonx.info(input_file))
    outcome["facts"] = python_facts(found) if found else None
    if input_file.read_bytes()[8:12] == b"QLCM":
        decoded = attempt("decode", lambda: sonx.decode(input_file, bool(salvage), True, rate=decode_rate or 8000))
        outcome["samples"] = decoded[0].tobytes() if decoded else b""
        if decoded:
            found = decoded[2]
            outcome["report"] = {"lengthDamaged": found["length_damaged"], "salvaged": found["salvaged"],
                                 "blocksRead": found["blocks_read"], "blocksPromised": found["blocks_promised"]}
    return outcome


def run_wasm(jobs):
    (WORK / "jobs.json").write_text(json.dumps(jobs))
    done = subprocess.run(["node", pathlib.Path(__file__).with_name("fourway_wasm.mjs"), WASM, WORK / "jobs.json"],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


# ---- The comparison ---------------------------------------------------------------


def wav_samples(wav_bytes):
    if not wav_bytes:
        return b""
    start = wav_bytes.index(b"data") + 8
    return wav_bytes[start:start + struct.unpack_from("<I", wav_bytes, start - 4)[0]]


def disagreements(row, found, outputs, eight_khz):
    """What in one row's outcomes is not the same across the front ends."""
    problems = []
    for front, outcome in found.items():
        outcome["output"] = outputs[front].read_bytes() if outputs[front].exists() else None
    status = found["c"]["convert"]["status"]
    for step in ("convert", "info"):
        # velconv's exit status says only whether a conversion or a description failed.
        if found["velconv"][step]["status"] != (255 if found["c"][step]["status"] else 0):
            problems.append(f"velconv's {step} exit status {found['velconv'][step]['status']}")
        for front in found.keys() - {"velconv", "c"}:
            if found[front][step]["status"] != found["c"][step]["status"]:
                problems.append(f"{front}'s {step} status {found[front][step]['status']}, "
                                f"C's {found['c'][step]['status']}")
    # velconv words a decode rate given for an encode after its own -r.
    velconv_words_option = row[2] and not row[0].startswith("qcp")
    for one, other in (("c", "python"), ("velconv", "wasm")):
        said = found[one]["convert"]["message"], found.get(other, {}).get("convert", {}).get("message")
        if None not in said and said[0] != said[1] and not (one == "velconv" and velconv_words_option):
            problems.append(f"{one} says {said[0]!r}, {other} {said[1]!r}")
    for front in ("python", "wasm"):
        if "report" in found.get(front, {}) and found[front]["report"] != found["c"]["report"]:
            problems.append(f"{front} finds {found[front]['report']} of the input's lengths, C {found['c']['report']}")
    if "wasm" in found and found["velconv"]["recovered"] != found["wasm"]["recovered"]:
        problems.append(f"velconv warns {found['velconv']['recovered']!r}, the page {found['wasm']['recovered']!r}")
    note = found.get("wasm", {}).get("convert", {}).get("note")
    if note and note not in found["velconv"]["convert"]["notes"]:
        problems.append(f"the page notes {note!r}, velconv {found['velconv']['convert']['notes']}")
    expected = found["c"]["output"] if status == 0 else None
    if status == 0 and not expected:
        problems.append("the C interface wrote no output")
    for front, outcome in found.items():
        if outcome["output"] != expected:
            problems.append(f"{front}'s output differs from the C interface's")
    facts = {front: outcome.get("facts") and shared_facts(outcome["facts"]) for front, outcome in found.items()}
    for front, described in facts.items():
        if described != facts["c"]:
            problems.append(f"{front}'s facts {described} differ from the C interface's {facts['c']}")
    if "decode" in found["c"]:
        decoded = outputs["c"].with_suffix(".out.pcm").read_bytes()
        if found["c"]["decode"]["status"] != status or found["python"]["decode"]["status"] != status:
            problems.append("the memory decodes fail otherwise than the file conversion")
        elif status == 0 and not decoded == found["python"]["samples"] == wav_samples(expected):
            problems.append("the memory decodes give other samples than the file conversion")
        if status == 0 and row[2] == 0:
            eight_khz[row[0], row[3]] = len(decoded) // 2
        if status == 0 and row[2] == 16000 and len(decoded) // 2 != 2 * eight_khz.get((row[0], row[3]), -1):
            problems.append(f"{len(decoded) // 2} samples at 16 kHz, not twice the 8 kHz decode's")
    return problems


def main():
    WORK.mkdir(parents=True, exist_ok=True)
    inputs = make_inputs()
    rows, jobs = [], []
    for number, row in enumerate(TABLE):
        input_file = WORK / f"{number}.in"
        input_file.write_bytes(inputs[row[0]])
        outputs = {front: WORK / f"{number}.{front}.out" for front in ("velconv", "c", "python", "wasm")}
        for output in outputs.values():
            output.unlink(missing_ok=True)
        found = {"velconv": run_velconv(row, input_file, outputs["velconv"]),
                 "c": run_c(row, input_file, outputs["c"]),
                 "python": run_python(row, input_file, outputs["python"])}
        rows.append((row, found, outputs))
        jobs.append({"input": str(input_file), "output": str(outputs["wasm"]), "rateSet": row[1],
                     "sampleRate": row[2], "salvage": row[3]})
    if WASM:
        for (_, found, _), outcome in zip(rows, run_wasm(jobs)):
            found["wasm"] = outcome
    failures, eight_khz = 0, {}
    for row, found, outputs in rows:
        problems = disagreements(row, found, outputs, eight_khz)
        failures += bool(problems)
        what = f"{row[0]} -r {row[1]}" + (f" -r {row[2]}" if row[2] else "") + (" -s" if row[3] else "")
        output = found["c"]["output"]
        outcome = f"status {found['c']['convert']['status']}" + (f", {len(output)} bytes" if output else "")
        print(f"{'FAIL' if problems else 'ok  '} {what}: {outcome} from {', '.join(found)}")
        for problem in problems:
            print(f"       {problem}")
    print(f"{len(rows) - failures} of {len(rows)} rows agree across {', '.join(rows[0][1])}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
