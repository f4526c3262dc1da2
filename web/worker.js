// The page's worker: runs the WebAssembly library off the page's thread.
//
// build-web.sh puts the module's loader (createSonxModule) and the module
// itself (SONX_WASM_BASE64) in front of this file, and the page starts the
// whole as a worker from a Blob, which works from file:// as well as from a
// server. Nothing here touches the network.
"use strict";

// sonx_web_convert's and sonx_web_describe's option bit for damaged files.
const SALVAGE = 1;
// The longest WAV a row hands back (about 2 h 20 min at 8 kHz): the result,
// its copy for the page and the player's each take this much memory.
const MAX_WAV_BYTES = 128 * 1024 * 1024;
// The longest encode that gets a player of how its QCP sounds (about 35 min):
// past it an encode's memory stays the same whatever the input's length.
const MAX_PREVIEW_BYTES = 32 * 1024 * 1024;

function decodeBase64(text) {
  const raw = atob(text);
  const bytes = new Uint8Array(raw.length);
  for (let i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
  return bytes;
}

const wasmBinary = decodeBase64(SONX_WASM_BASE64);
let sonx = null;
let onProgress = () => {};

// `salvage` is the library's report on the input's lengths, where it has
// one; `code` the failure's sonx_status.
class LibraryError extends Error {
  constructor(message, salvage, code = 0) {
    super(message);
    this.salvage = salvage;
    this.code = code;
  }
}

async function library() {
  if (!sonx) {
    try {
      sonx = await createSonxModule({
        wasmBinary,
        onProgress: (percent) => onProgress(percent),
        print: () => {},
        printErr: () => {},
      });
    } catch (error) {
      throw new LibraryError("This browser cannot run the converter: it needs WebAssembly with SIMD and " +
        `exception handling (${error.message || error})`);
    }
  }
  return sonx;
}

// Copies `bytes` into the module's memory for the length of `body`.
function withInput(lib, bytes, body) {
  const pointer = lib._malloc(Math.max(bytes.length, 1));
  if (!pointer) throw new LibraryError("Out of memory");
  lib.HEAPU8.set(bytes, pointer);
  try {
    return body(pointer, bytes.length);
  } finally {
    lib._free(pointer);
  }
}

// What the last describe or convert found of its input's lengths.
function salvageReport(lib) {
  return JSON.parse(lib.UTF8ToString(lib._sonx_web_salvage()));
}

function lastError(lib) {
  return new LibraryError(lib.UTF8ToString(lib._sonx_web_error()), salvageReport(lib), lib._sonx_web_error_code());
}

// Calls `body` with `text` as a C string in the module's memory.
function withText(lib, text, body) {
  return withInput(lib, new Uint8Array([...new TextEncoder().encode(text), 0]), (pointer) => body(pointer));
}

// velconv's explaining line after the last failure, for an input named
// `name` (a QCP file of another codec), without its "velconv: "; or "".
function failureNote(lib, name) {
  return withText(lib, name, (pointer) => lib.UTF8ToString(lib._sonx_web_failure_note(pointer)).replace(/^velconv: /, ""));
}

// The sentence in plain words that goes before a failure's own text, by its
// status number; "" when there is none.
function plainWords(lib, code) {
  return lib.UTF8ToString(lib._sonx_web_plain_words(code));
}

function rateSetName(lib, rateSet) {
  return lib.UTF8ToString(lib._sonx_rate_set_name(rateSet));
}

// Makes `file` the module's input, read a window at a time as the library
// asks for it: a conversion never holds the whole file. Read as strings:
// a worker collects those as it goes, while the array buffers
// readAsArrayBuffer makes pile up to hundreds of MB before they are freed.
function useInput(lib, file) {
  const reader = new FileReaderSync();
  lib.inputSize = file.size;
  lib.readInput = (position, length) => reader.readAsBinaryString(file.slice(position, position + length));
}

// The file's facts, as velconv -i --json gives them.
function describeInput(lib, name, flags) {
  const json = withText(lib, name, (pointer) => lib._sonx_web_describe_input(pointer, flags));
  if (!json) throw lastError(lib);
  return JSON.parse(lib.UTF8ToString(json));
}

// The converted file, its waveform when it is a WAV (drawn where it lies,
// before it is copied out), the time taken in ms, and what the library found
// of the input's lengths. A WAV comes as a Blob made straight from the
// module's memory: the page plays and saves it without another copy.
function takeResult(lib, ok, ms, columns) {
  if (!ok) throw lastError(lib);
  const salvage = salvageReport(lib);
  let peaks = null;
  if (columns) {
    const pointer = lib._sonx_web_output_waveform(columns);
    if (!pointer) throw lastError(lib);
    peaks = new Int16Array(lib.HEAPU8.buffer.slice(pointer, pointer + columns * 4));
  }
  const out = lib._sonx_web_output();
  const view = lib.HEAPU8.subarray(out, out + lib._sonx_web_output_length());
  const result = columns ? new Blob([view], { type: "audio/wav" }) : view.slice();
  lib._sonx_web_free_output();
  return { bytes: result, ms, salvage, peaks };
}

function convertInput(lib, rateSet, sampleRate, flags, columns) {
  const start = performance.now();
  const ok = lib._sonx_web_convert_input(rateSet, flags, sampleRate);
  return takeResult(lib, ok, performance.now() - start, columns);
}

// The WAV a QCP file's packets make, in samples of 16 bits at `sampleRate`.
function wavBytesOf(info, sampleRate = 8000) {
  return Math.ceil((info.samples * sampleRate) / 8000) * 2;
}

function tooLarge(name, bytes) {
  return new LibraryError(`This memo would make a WAV of ${Math.round(bytes / 1048576)} MB, more than the browser ` +
    `converter holds. The velconv command converts it: velconv "${name}"`);
}

function describe(lib, bytes, name, flags) {
  return withInput(lib, bytes, (pointer, length) => {
    const json = withText(lib, name, (namePointer) => lib._sonx_web_describe(pointer, length, namePointer, flags));
    if (!json) throw lastError(lib);
    return JSON.parse(lib.UTF8ToString(json));
  });
}

// Returns the converted file, the time the library took, in ms, and what
// it found of the input's lengths.
function convert(lib, bytes, rateSet, sampleRate, flags, columns) {
  return withInput(lib, bytes, (pointer, length) => {
    const start = performance.now();
    const ok = lib._sonx_web_convert(pointer, length, rateSet, flags, sampleRate);
    return takeResult(lib, ok, performance.now() - start, columns);
  });
}

// One row's work: describe the file, convert it, and for a WAV decode the
// new QCP again so the page can play how it will sound. With `salvage` a
// damaged input gives what it holds; `recovered` then says how much.
async function processFile({ id, job, file, rateSet, sampleRate, columns, salvage }) {
  const lib = await library();
  const post = (message, transfer) => postMessage({ id, job, ...message }, transfer || []);
  let phase = "";
  onProgress = (percent) => post({ type: "progress", phase, percent });

  const flags = salvage ? SALVAGE : 0;
  useInput(lib, file);
  const info = describeInput(lib, file.name, flags);
  post({ type: "info", info });
  if (info.container === "qcp") {
    const wavBytes = wavBytesOf(info, sampleRate);
    if (wavBytes > MAX_WAV_BYTES) throw tooLarge(file.name, wavBytes);
    phase = "decoding";
    lib._sonx_web_reserve_output(wavBytes + 65536);
    const wav = convertInput(lib, 0, sampleRate, flags, columns);
    post({ type: "done", wav: wav.bytes, decodeMs: wav.ms, peaks: wav.peaks, recovered: wav.salvage.recovered },
      [wav.peaks.buffer]);
  } else {
    phase = "encoding";
    const qcp = convertInput(lib, rateSet, 8000, flags, 0);
    const qcpInfo = describe(lib, qcp.bytes, file.name, 0);
    const message = { type: "done", rateSet: rateSetName(lib, rateSet), qcp: qcp.bytes, qcpInfo, encodeMs: qcp.ms,
      recovered: qcp.salvage.recovered };
    const transfer = [qcp.bytes.buffer];
    // How the QCP will sound, for a memo short enough to hold twice.
    if (wavBytesOf(qcpInfo) <= MAX_PREVIEW_BYTES) {
      phase = "decoding again";
      lib._sonx_web_reserve_output(wavBytesOf(qcpInfo) + 65536);
      const wav = convert(lib, qcp.bytes, 0, 8000, 0, columns);
      Object.assign(message, { wav: wav.bytes, decodeMs: wav.ms, peaks: wav.peaks });
      transfer.push(wav.peaks.buffer);
    }
    post(message, transfer);
  }
}

// Requests run one after another, in the order the page sent them.
let queue = Promise.resolve();
self.onmessage = (event) => {
  const request = event.data;
  queue = queue.then(async () => {
    try {
      await processFile(request);
    } catch (error) {
      // A trap leaves the module unusable: start a fresh one next time.
      if (!(error instanceof LibraryError)) sonx = null;
      // A length that runs past the end (or none at all) failed it: the
      // page can offer to read the file for what it holds.
      const report = error instanceof LibraryError && error.salvage;
      const cutShort = Boolean(report && report.lengthDamaged && !report.salvaged);
      const note = error instanceof LibraryError && sonx ? failureNote(sonx, request.name || "") : "";
      // A file cut short has its own paragraph and rescue button instead.
      const plain = !cutShort && error instanceof LibraryError && sonx ? plainWords(sonx, error.code) : "";
      postMessage({ id: request.id, job: request.job, type: "error", message: String(error && error.message || error),
        cutShort, note, plain });
    }
  });
};
