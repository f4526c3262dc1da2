// The converter page: one row per file, the work done by one worker.
"use strict";

const RATE_SET_NAMES = {
  vfr: "vfr — best quality, size follows the speech",
  vhr: "vhr — smaller file, size follows the speech",
  ffr: "ffr — best quality, fixed size (for older devices)",
  fhr: "fhr — smallest fixed size (for older devices)",
};
// The library reads files through 32-bit positions; the input is read a
// piece at a time, so its size costs no memory.
const MAX_FILE_BYTES = 2 ** 31 - 1;
const WAVE_COLUMNS = 600;

const rowsElement = document.getElementById("rows");
const template = document.getElementById("row-template");
const announcer = document.getElementById("announcer");
const rows = new Map();
let nextId = 1;

// The module needs WebAssembly SIMD and exception handling: a browser
// without them is told so in words at once, not after the first file.
const WASM_SIMD = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 10, 1, 8, 0, 65, 0,
  253, 15, 253, 98, 11]);
const WASM_EXCEPTIONS = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 4, 1, 96, 0, 0, 3, 2, 1, 0, 10, 8, 1, 6, 0, 6, 64,
  25, 11, 11]);
if (typeof WebAssembly !== "object" || !WebAssembly.validate(WASM_SIMD) || !WebAssembly.validate(WASM_EXCEPTIONS)) {
  document.getElementById("unsupported").hidden = false;
  for (const input of document.querySelectorAll("input[type=file]")) input.disabled = true;
}

// Served over http(s), the page keeps its files for offline use and can be
// installed as an app; from file:// there is nothing to keep.
if ("serviceWorker" in navigator && /^https?:$/.test(location.protocol)) {
  const manifest = document.createElement("link");
  manifest.rel = "manifest";
  manifest.href = "manifest.webmanifest";
  document.head.append(manifest);
  navigator.serviceWorker.register("sw.js").catch(() => {});
}

// Said once by a screen reader: a conversion's start, end or failure.
function announce(text) {
  announcer.textContent = text;
}

// ---- The converter ------------------------------------------------------------

// Conversions run one at a time in a worker, in the order asked. A running
// conversion is a call into WebAssembly that no message can interrupt (and a
// page from file:// has no shared memory to signal through), so stopping one
// ends the worker; a fresh worker takes the rest of the queue. A worker with
// nothing left to do is ended too, which gives all its memory back.
// The worker's source comes with the page as a script (sonx-worker.js), so
// it starts from a Blob: a page opened from file:// may not load a worker
// or a WebAssembly file by URL.
const converter = {
  worker: null,
  running: null,  // the request in the worker, or null
  waiting: [],    // requests not yet sent, oldest first

  submit(request) {
    this.waiting.push(request);
    this.next();
  },

  // Stops row `id`'s conversion, running or waiting.
  cancel(id) {
    this.waiting = this.waiting.filter((request) => request.id !== id);
    if (this.running && this.running.id === id) {
      this.running = null;
      this.endWorker();
      this.next();
    }
  },

  next() {
    if (this.running) return;
    const request = this.waiting.shift();
    if (!request) {
      this.endWorker();
      return;
    }
    this.running = request;
    rows.get(request.id).setStatus("Reading…");
    // The worker reads the File itself, a piece at a time.
    this.startWorker().postMessage({ ...request, name: request.file.name });
  },

  startWorker() {
    if (!this.worker) {
      this.worker = new Worker(URL.createObjectURL(new Blob([SONX_WORKER_SOURCE], { type: "text/javascript" })));
      this.worker.onmessage = (event) => this.receive(event.data);
      this.worker.onerror = (event) => {
        const request = this.running;
        this.running = null;
        this.endWorker();
        if (request && rows.has(request.id)) rows.get(request.id).fail(event.message || "The converter stopped unexpectedly");
        this.next();
      };
    }
    return this.worker;
  },

  endWorker() {
    if (this.worker) this.worker.terminate();
    this.worker = null;
  },

  receive(message) {
    const request = this.running;
    if (!request || request.id !== message.id || request.job !== message.job) return;
    const finished = message.type === "done" || message.type === "error";
    if (finished) this.running = null;
    const row = rows.get(message.id);
    if (row && row.job === message.job) row.handle(message);
    if (finished) this.next();
  },
};

// ---- Formatting ---------------------------------------------------------------

function formatDuration(seconds) {
  if (!isFinite(seconds)) return "–";
  const minutes = Math.floor(seconds / 60);
  const rest = seconds - minutes * 60;
  const hours = Math.floor(minutes / 60);
  const secondsText = rest.toFixed(1).padStart(4, "0");
  if (hours > 0) return `${hours}:${String(minutes % 60).padStart(2, "0")}:${secondsText}`;
  return `${minutes}:${secondsText}`;
}

function formatBytes(n) {
  if (n < 1024) return `${n} B`;
  if (n < 1024 * 1024) return `${(n / 1024).toFixed(1)} KB`;
  return `${(n / 1024 / 1024).toFixed(1)} MB`;
}

function formatSeconds(ms) {
  return ms < 1000 ? `${Math.round(ms)} ms` : `${(ms / 1000).toFixed(2)} s`;
}

// velconv's output name: the extension after the last dot swapped. A file
// whose name already has the output's extension (a WAV called x.qcp) is
// not offered back under its own name.
function outputName(name, extension) {
  const dot = name.lastIndexOf(".");
  const base = dot > 0 ? name.slice(0, dot) : name;
  return (base + extension).toLowerCase() === name.toLowerCase() ? `${base} (converted)${extension}` : base + extension;
}

// WAVE format tags: what the samples are, in words.
const WAV_FORMATS = { 1: "PCM", 3: "floating point", 6: "G.711 A-law", 7: "G.711 mu-law", 0xfffe: "PCM" };

// `info` is a file's facts: the JSON object velconv -i --json prints.
function formatOf(info) {
  if (info.container === "wav") {
    const what = WAV_FORMATS[info.formatTag] || `format ${info.formatTag}`;
    const channels = info.channels === 1 ? "mono" : info.channels === 2 ? "stereo" : `${info.channels} channels`;
    return `${what}, ${info.sampleBits}-bit, ${channels}`;
  }
  return info.codec || info.codecId;
}

function bitRateOf(info) {
  return info.duration > 0 ? `${(info.averageBitRate / 1000).toFixed(1)} kbit/s average` : "–";
}

// ---- Drawing ------------------------------------------------------------------

function fillRateBar(container, rates, caption) {
  container.querySelector(".rates-caption").textContent = caption;
  const bar = container.querySelector(".bar");
  const legend = container.querySelector(".legend");
  bar.replaceChildren();
  legend.replaceChildren();
  // Blank and erased frames only show where a file has them (damaged or
  // cut voicemail); the four rates always do.
  const kinds = ["full", "half", "quarter", "eighth", "blank", "erasure"].filter(
    (k) => rates[k] > 0 || !["blank", "erasure"].includes(k));
  const total = kinds.reduce((sum, k) => sum + rates[k], 0) || 1;
  const summary = [];
  for (const kind of kinds) {
    const segment = document.createElement("span");
    segment.className = `rate-${kind}`;
    segment.style.flexGrow = String(rates[kind]);
    bar.append(segment);
    const item = document.createElement("li");
    item.className = `rate-${kind}`;
    item.textContent = `${kind} ${rates[kind]} (${Math.round((100 * rates[kind]) / total)}%)`;
    legend.append(item);
    summary.push(`${rates[kind]} ${kind}`);
  }
  bar.setAttribute("aria-label", `Packets: ${summary.join(", ")}`);
  container.hidden = false;
}

function drawWaveform(canvas, peaks) {
  const context = canvas.getContext("2d");
  const { width, height } = canvas;
  context.clearRect(0, 0, width, height);
  context.fillStyle = getComputedStyle(canvas).color;
  const columns = peaks.length / 2;
  const middle = height / 2;
  for (let i = 0; i < columns; i++) {
    const low = peaks[2 * i] / 32768;
    const high = peaks[2 * i + 1] / 32768;
    const top = middle - high * middle;
    const x = (i * width) / columns;
    context.fillRect(x, top, Math.max(1, width / columns), Math.max(1, (high - low) * middle));
  }
  canvas.hidden = false;
}

// ---- Rows ---------------------------------------------------------------------

class Row {
  constructor(file) {
    this.id = nextId++;
    this.job = 0;
    this.file = file;
    this.urls = [];
    // Set once the user asks to rescue a damaged file; kept for later runs
    // of the row (another rate set).
    this.salvage = false;
    this.element = template.content.firstElementChild.cloneNode(true);
    this.element.dataset.id = String(this.id);
    this.part = (name) => this.element.querySelector(`.${name}`);
    this.part("name").textContent = file.name;
    this.part("kind").textContent = "…";
    // Every control says which file it is for.
    this.part("remove").setAttribute("aria-label", `Remove ${file.name}`);
    this.part("progress").setAttribute("aria-label", `Progress of ${file.name}`);
    this.part("rateset").setAttribute("aria-label", `Rate set for ${file.name}`);
    this.part("samplerate").setAttribute("aria-label", `Sample rate of the WAV made of ${file.name}`);
    this.part("rescue-button").setAttribute("aria-label", `Rescue what ${file.name} holds`);
    this.part("remove").addEventListener("click", () => this.remove());
    this.part("rateset").addEventListener("change", () => this.start());
    this.part("samplerate").addEventListener("change", () => this.start());
    this.part("rescue-button").addEventListener("click", () => {
      this.salvage = true;
      // The button goes while the file is read again: focus stays in the row.
      this.part("name").focus();
      this.start();
    });
    rowsElement.append(this.element);
    rows.set(this.id, this);
  }

  setFacts(pairs) {
    const list = this.part("facts");
    list.replaceChildren();
    for (const [term, value] of pairs) {
      const item = document.createElement("div");
      const dt = document.createElement("dt");
      const dd = document.createElement("dd");
      dt.textContent = term;
      dd.textContent = value;
      item.append(dt, dd);
      list.append(item);
    }
  }

  setStatus(text) {
    this.part("status").textContent = text;
  }

  start() {
    converter.cancel(this.id);
    this.job++;
    this.result = null;
    updateDownloadAll();
    this.releaseUrls();
    this.element.dataset.state = "working";
    this.element.classList.remove("failed");
    this.part("actions").hidden = true;
    this.part("rescue").hidden = true;
    this.part("warning").hidden = true;
    if (this.info && this.info.container === "wav") this.part("rates").hidden = true;
    this.part("progress").hidden = false;
    this.part("progress").value = 0;
    this.setStatus("Waiting…");
    if (this.file.size > MAX_FILE_BYTES) {
      this.fail(`File is too large for the browser converter (${formatBytes(this.file.size)}; at most 2 GB). ` +
        `The velconv command converts it: velconv "${this.file.name}"`);
      return;
    }
    announce(`Converting ${this.file.name}`);
    converter.submit({ id: this.id, job: this.job, file: this.file, rateSet: Number(this.part("rateset").value),
      sampleRate: Number(this.part("samplerate").value), columns: WAVE_COLUMNS, salvage: this.salvage });
  }

  handle(message) {
    if (message.type === "info") this.showInfo(message.info);
    else if (message.type === "progress") this.showProgress(message.phase, message.percent);
    else if (message.type === "done") this.showResult(message);
    else if (message.type === "error") {
      const lines = [message.plain, message.message, message.note].filter(Boolean);
      this.fail(lines.join("\n"), message.cutShort);
    }
  }

  showInfo(info) {
    this.info = info;
    this.element.dataset.kind = info.container;
    this.part("kind").textContent = info.container.toUpperCase();
    const facts = [
      ["Duration", formatDuration(info.duration)],
      ["Sample rate", `${info.sampleRate || 8000} Hz`],
      ["Format", formatOf(info)],
    ];
    if (info.container === "qcp") {
      if (info.rateSet) facts.push(["Rate set", RATE_SET_NAMES[info.rateSet]]);
      facts.push(["Bit rate", bitRateOf(info)]);
      fillRateBar(this.part("rates"), info.packetsByRate, `Packets (${info.packets})`);
      this.showChunks(info);
      this.part("decode").hidden = false;
    } else {
      this.part("encode").hidden = false;
    }
    this.setFacts(facts);
  }

  showChunks(info) {
    const list = this.part("chunks");
    list.replaceChildren();
    for (const [field, id, label] of [["label", "labl", "Label"], ["text", "text", "Text"]]) {
      if (!info[field]) continue;
      const item = document.createElement("div");
      const dt = document.createElement("dt");
      const dd = document.createElement("dd");
      dt.textContent = `${label} ('${id}')`;
      dd.textContent = info[field];
      item.append(dt, dd);
      list.append(item);
    }
    list.hidden = list.childElementCount === 0;
  }

  showProgress(phase, percent) {
    const encoding = this.info && this.info.container === "wav";
    // A WAV row encodes, then decodes the result again (a fraction of the work).
    const value = !encoding ? percent : phase === "encoding" ? percent * 0.85 : 85 + percent * 0.15;
    this.part("progress").value = value;
    this.setStatus(`${phase[0].toUpperCase()}${phase.slice(1)}… ${percent}%`);
  }

  showResult(message) {
    const qcpRow = this.info.container === "qcp";
    // Results come as Blobs, which the page passes on without copying.
    const qcpBlob = qcpRow ? null : new Blob([message.qcp], { type: "audio/qcelp" });
    this.result = {
      name: outputName(this.file.name, qcpRow ? ".wav" : ".qcp"),
      blob: qcpRow ? message.wav : qcpBlob,
      modified: this.file.lastModified,
    };
    updateDownloadAll();
    this.element.dataset.state = "done";
    this.part("progress").value = 100;
    const wavUrl = message.wav ? this.keepUrl(message.wav) : "";
    const player = this.part("player");
    player.hidden = !message.wav;
    if (message.wav) player.src = wavUrl;
    const link = this.part("download");
    if (qcpRow) {
      link.href = wavUrl;
      link.download = outputName(this.file.name, ".wav");
      link.textContent = `Download WAV (${formatBytes(message.wav.size)})`;
      this.element.dataset.decodeMs = message.decodeMs.toFixed(1);
      this.setStatus(`Decoded in ${formatSeconds(message.decodeMs)}.`);
      player.title = "The decoded speech";
    } else {
      link.href = this.keepUrl(qcpBlob);
      link.download = outputName(this.file.name, ".qcp");
      link.textContent = `Download QCP (${formatBytes(message.qcp.length)})`;
      this.element.dataset.encodeMs = message.encodeMs.toFixed(1);
      this.element.dataset.rateSet = message.rateSet;
      fillRateBar(this.part("rates"), message.qcpInfo.packetsByRate, `Packets in the QCP (${message.qcpInfo.packets})`);
      this.setStatus(`Encoded (${message.rateSet}, ${bitRateOf(message.qcpInfo)}) in ${formatSeconds(message.encodeMs)}. ` +
        (message.wav ? "Play it to hear how the QCP will sound." : "Too long to play back here."));
      player.title = "How the QCP will sound";
    }
    if (message.recovered) {
      // velconv's warning, word for word, without its "WARNING: ".
      const warning = this.part("warning");
      warning.textContent = `'${this.file.name}' is damaged: ${message.recovered}`;
      warning.hidden = false;
    }
    this.part("actions").hidden = false;
    if (message.peaks) drawWaveform(this.part("wave"), message.peaks);
    announce(`${this.file.name}: ${qcpRow ? "decoded" : "encoded"}, ready to download`);
  }

  // `cutShort`: the library found the file's lengths damaged, so reading it
  // for what it holds may work where the plain conversion failed.
  fail(text, cutShort = false) {
    this.element.dataset.state = "error";
    this.element.classList.add("failed");
    this.part("progress").hidden = true;
    this.part("actions").hidden = true;
    this.part("wave").hidden = true;
    if (!this.info) this.part("kind").textContent = "Error";
    this.setStatus(text);
    this.part("rescue").hidden = !cutShort || this.salvage;
    announce(`${this.file.name} failed: ${text.split("\n")[0]}`);
  }

  keepUrl(blob) {
    const url = URL.createObjectURL(blob);
    this.urls.push(url);
    return url;
  }

  releaseUrls() {
    for (const url of this.urls) URL.revokeObjectURL(url);
    this.urls = [];
  }

  remove() {
    converter.cancel(this.id);
    this.job++;
    // Focus goes to the next row's remove button, else the previous row's,
    // else the file picker: never lost to the page.
    const neighbour = this.element.nextElementSibling || this.element.previousElementSibling;
    const hadFocus = this.element.contains(document.activeElement);
    this.releaseUrls();
    this.element.remove();
    rows.delete(this.id);
    updateDownloadAll();
    if (hadFocus) (neighbour ? neighbour.querySelector(".remove") : picker).focus();
    announce(`${this.file.name} removed`);
  }
}

function addFiles(files) {
  for (const file of files) new Row(file).start();
}

// ---- Every result at once ---------------------------------------------------------

const downloadAll = document.getElementById("download-all");

function finishedResults() {
  return [...rows.values()].filter((row) => row.result).map((row) => row.result);
}

function updateDownloadAll() {
  const count = finishedResults().length;
  downloadAll.hidden = count < 2;
  downloadAll.textContent = `Download all ${count} results (.zip)`;
}

// One .zip of every finished result, each dated like its input, so a
// memo's recording date survives the trip.
downloadAll.addEventListener("click", async () => {
  const results = finishedResults();
  const names = uniqueNames(results.map((result) => result.name));
  let zip;
  try {
    zip = await makeZip(results.map((result, n) => ({ ...result, name: names[n] })));
  } catch (error) {
    downloadAll.textContent = error.message;
    return;
  }
  const link = document.createElement("a");
  link.href = URL.createObjectURL(zip);
  link.download = "velconv.zip";
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
});

// ---- Picking and dropping -------------------------------------------------------

const picker = document.getElementById("picker");
picker.addEventListener("change", () => {
  addFiles(picker.files);
  picker.value = "";
});

const drop = document.getElementById("drop");
for (const type of ["dragenter", "dragover"]) {
  document.addEventListener(type, (event) => {
    event.preventDefault();
    drop.classList.add("dragging");
  });
}
for (const type of ["dragleave", "drop"]) {
  document.addEventListener(type, () => drop.classList.remove("dragging"));
}
document.addEventListener("drop", (event) => {
  event.preventDefault();
  const transfer = event.dataTransfer;
  if (!transfer) return;
  const entries = droppedEntries(transfer);
  if (entries.some((entry) => entry.isDirectory)) {
    filesOfEntries(entries).then(addFiles, (error) => console.error(`Unable to read the dropped folder: ${error.message || error}`));
  }
  else if (transfer.files.length) addFiles(transfer.files);
});

// A chosen folder gives every file in it; only its memos and WAVs are taken.
const folderPicker = document.getElementById("folder-picker");
folderPicker.addEventListener("change", () => {
  const files = [...folderPicker.files].filter((file) => SPEECH_FILE.test(file.name));
  files.sort((a, b) => a.webkitRelativePath.localeCompare(b.webkitRelativePath, undefined, { numeric: true }));
  addFiles(files);
  folderPicker.value = "";
});
