// The page's worker: runs the WebAssembly library off the page's thread.
//
// build-web.sh puts the module's loader (createSonxModule) and the module
// itself (SONX_WASM_BASE64) in front of this file, and the page starts the
// whole as a worker from a Blob, which works from file:// as well as from a
// server. Nothing here touches the network.
"use strict";

const RATE_SETS = ["vfr", "vhr", "ffr", "fhr"];
// sonx_web_convert's and sonx_web_describe's option bit for damaged files.
const SALVAGE = 1;

function decodeBase64(text) {
  const raw = atob(text);
  const bytes = new Uint8Array(raw.length);
  for (let i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
  return bytes;
}

const wasmBinary = decodeBase64(SONX_WASM_BASE64);
let sonx = null;
let onProgress = () => {};

// `salvage` is the library's report on the input's lengths, where it has one.
class LibraryError extends Error {
  constructor(message, salvage) {
    super(message);
    this.salvage = salvage;
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
  return new LibraryError(lib.UTF8ToString(lib._sonx_web_error()), salvageReport(lib));
}

// velconv's explaining line after the last failure, for an input named
// `name` (a QCP file of another codec), without its "velconv: "; or "".
function failureNote(lib, name) {
  const text = new TextEncoder().encode(name);
  return withInput(lib, new Uint8Array([...text, 0]),
    (pointer) => lib.UTF8ToString(lib._sonx_web_failure_note(pointer)).replace(/^velconv: /, ""));
}

function describe(lib, bytes, flags) {
  return withInput(lib, bytes, (pointer, length) => {
    const json = lib._sonx_web_describe(pointer, length, flags);
    if (!json) throw lastError(lib);
    return JSON.parse(lib.UTF8ToString(json));
  });
}

// Returns the converted file, the time the library took, in ms, and what
// it found of the input's lengths.
function convert(lib, bytes, rateSet, flags) {
  return withInput(lib, bytes, (pointer, length) => {
    const start = performance.now();
    const ok = lib._sonx_web_convert(pointer, length, rateSet, flags);
    const ms = performance.now() - start;
    if (!ok) throw lastError(lib);
    const salvage = salvageReport(lib);
    const out = lib._sonx_web_output();
    const result = lib.HEAPU8.slice(out, out + lib._sonx_web_output_length());
    lib._sonx_web_free_output();
    return { bytes: result, ms, salvage };
  });
}

function waveform(lib, wavBytes, columns) {
  return withInput(lib, wavBytes, (pointer, length) => {
    const peaks = lib._sonx_web_waveform(pointer, length, columns);
    if (!peaks) throw lastError(lib);
    return new Int16Array(lib.HEAPU8.buffer.slice(peaks, peaks + columns * 4));
  });
}

// One row's work: describe the file, convert it, and for a WAV decode the
// new QCP again so the page can play how it will sound. With `salvage` a
// damaged input gives what it holds; `recovered` then says how much.
async function processFile({ id, job, bytes, rateSet, columns, salvage }) {
  const lib = await library();
  const post = (message, transfer) => postMessage({ id, job, ...message }, transfer || []);
  let phase = "";
  onProgress = (percent) => post({ type: "progress", phase, percent });

  const flags = salvage ? SALVAGE : 0;
  const info = describe(lib, bytes, flags);
  post({ type: "info", info });
  if (info.kind === "qcp") {
    phase = "decoding";
    const wav = convert(lib, bytes, 0, flags);
    const peaks = waveform(lib, wav.bytes, columns);
    post({ type: "done", wav: wav.bytes, decodeMs: wav.ms, peaks, recovered: wav.salvage.recovered },
      [wav.bytes.buffer, peaks.buffer]);
  } else {
    phase = "encoding";
    const qcp = convert(lib, bytes, rateSet, flags);
    const qcpInfo = describe(lib, qcp.bytes, 0);
    phase = "decoding again";
    const wav = convert(lib, qcp.bytes, 0, 0);
    const peaks = waveform(lib, wav.bytes, columns);
    post(
      { type: "done", rateSet: RATE_SETS[rateSet], qcp: qcp.bytes, qcpInfo, encodeMs: qcp.ms, wav: wav.bytes,
        decodeMs: wav.ms, peaks, recovered: qcp.salvage.recovered },
      [qcp.bytes.buffer, wav.bytes.buffer, peaks.buffer]);
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
      postMessage({ id: request.id, job: request.job, type: "error", message: String(error && error.message || error),
        cutShort, note });
    }
  });
};
