// The converter page: one row per file, the work done by one worker.
"use strict";

const RATE_SET_NAMES = {
  vfr: "vfr — variable, up to full rate",
  vhr: "vhr — variable, up to half rate",
  ffr: "ffr — fixed full rate",
  fhr: "fhr — fixed half rate",
};
// The browser's memory for one module is 2 GB; input and results share it.
const MAX_FILE_BYTES = 512 * 1024 * 1024;
const WAVE_COLUMNS = 600;

const rowsElement = document.getElementById("rows");
const template = document.getElementById("row-template");
const rows = new Map();
let nextId = 1;

// The worker's source comes with the page as a script (sonx-worker.js), so
// it starts from a Blob: a page opened from file:// may not load a worker
// or a WebAssembly file by URL.
const worker = new Worker(URL.createObjectURL(new Blob([SONX_WORKER_SOURCE], { type: "text/javascript" })));
worker.onmessage = (event) => {
  const row = rows.get(event.data.id);
  if (row && row.job === event.data.job) row.handle(event.data);
};
worker.onerror = (event) => {
  for (const row of rows.values()) if (row.busy) row.fail(event.message || "The converter stopped unexpectedly");
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

// Chunk texts arrive as bytes (one char per byte); most are ASCII or UTF-8.
function chunkText(text) {
  const bytes = Uint8Array.from(text, (c) => c.charCodeAt(0));
  try {
    return new TextDecoder("utf-8", { fatal: true }).decode(bytes);
  } catch {
    return new TextDecoder("latin1").decode(bytes);
  }
}

// velconv's output name: the extension after the last dot swapped.
function outputName(name, extension) {
  const dot = name.lastIndexOf(".");
  return (dot > 0 ? name.slice(0, dot) : name) + extension;
}

function durationOf(info) {
  return (info.blocks * (info.blockSamples || 1)) / (info.sampleRate || 8000);
}

// QCP files do not name their rate set; the packets show which one made them.
function rateSetOf(rates) {
  const used = ["eighth", "quarter", "half", "full"].filter((r) => rates[r] > 0);
  if (used.length === 1 && used[0] === "full") return "ffr";
  if (used.length === 1 && used[0] === "half") return "fhr";
  if (!used.includes("full") && used.length > 0) return "vhr";
  return "vfr";
}

function formatOf(info) {
  if (info.codec === "PCM") return `PCM, ${info.sampleBits}-bit`;
  if (info.codec === "G.711 mu-law") return "G.711 mu-law, 8-bit";
  return info.codec;
}

function bitRateOf(info) {
  const seconds = durationOf(info);
  return seconds > 0 ? `${((info.payloadBytes * 8) / seconds / 1000).toFixed(1)} kbit/s average` : "–";
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
    this.busy = false;
    // Set once the user asks to rescue a damaged file; kept for later runs
    // of the row (another rate set).
    this.salvage = false;
    this.element = template.content.firstElementChild.cloneNode(true);
    this.element.dataset.id = String(this.id);
    this.part = (name) => this.element.querySelector(`.${name}`);
    this.part("name").textContent = file.name;
    this.part("kind").textContent = "…";
    this.part("remove").addEventListener("click", () => this.remove());
    this.part("rateset").addEventListener("change", () => this.start());
    this.part("rescue-button").addEventListener("click", () => {
      this.salvage = true;
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

  async start() {
    this.job++;
    this.result = null;
    updateDownloadAll();
    this.busy = true;
    this.releaseUrls();
    this.element.dataset.state = "working";
    this.element.classList.remove("failed");
    this.part("actions").hidden = true;
    this.part("rescue").hidden = true;
    this.part("warning").hidden = true;
    if (this.info && this.info.kind === "wav") this.part("rates").hidden = true;
    this.part("progress").hidden = false;
    this.part("progress").value = 0;
    this.setStatus("Reading…");
    if (this.file.size > MAX_FILE_BYTES) {
      this.fail(`File is too large for the browser converter (${formatBytes(this.file.size)}; at most ${formatBytes(MAX_FILE_BYTES)})`);
      return;
    }
    const job = this.job;
    let bytes;
    try {
      bytes = new Uint8Array(await this.file.arrayBuffer());
    } catch (error) {
      this.fail(`Unable to read the file: ${error.message}`);
      return;
    }
    if (job !== this.job) return;
    const rateSet = Number(this.part("rateset").value);
    worker.postMessage({ id: this.id, job, name: this.file.name, bytes, rateSet, columns: WAVE_COLUMNS, salvage: this.salvage },
      [bytes.buffer]);
  }

  handle(message) {
    if (message.type === "info") this.showInfo(message.info);
    else if (message.type === "progress") this.showProgress(message.phase, message.percent);
    else if (message.type === "done") this.showResult(message);
    else if (message.type === "error") this.fail(message.note ? `${message.message}\n${message.note}` : message.message, message.cutShort);
  }

  showInfo(info) {
    this.info = info;
    this.element.dataset.kind = info.kind;
    this.part("kind").textContent = info.kind.toUpperCase();
    const facts = [
      ["Duration", formatDuration(durationOf(info))],
      ["Sample rate", `${info.sampleRate || 8000} Hz`],
      ["Format", formatOf(info)],
    ];
    if (info.kind === "qcp") {
      facts.push(["Rate set", RATE_SET_NAMES[rateSetOf(info.rates)]]);
      facts.push(["Bit rate", bitRateOf(info)]);
      fillRateBar(this.part("rates"), info.rates, `Packets (${info.blocks})`);
      this.showChunks(info);
    } else {
      this.part("encode").hidden = false;
    }
    this.setFacts(facts);
  }

  showChunks(info) {
    const list = this.part("chunks");
    list.replaceChildren();
    for (const [id, label] of [["labl", "Label"], ["text", "Text"]]) {
      if (info[id] === undefined || info[id] === "") continue;
      const item = document.createElement("div");
      const dt = document.createElement("dt");
      const dd = document.createElement("dd");
      dt.textContent = `${label} ('${id}')`;
      dd.textContent = chunkText(info[id]);
      item.append(dt, dd);
      list.append(item);
    }
    list.hidden = list.childElementCount === 0;
  }

  showProgress(phase, percent) {
    const encoding = this.info && this.info.kind === "wav";
    // A WAV row encodes, then decodes the result again (a fraction of the work).
    const value = !encoding ? percent : phase === "encoding" ? percent * 0.85 : 85 + percent * 0.15;
    this.part("progress").value = value;
    this.setStatus(`${phase[0].toUpperCase()}${phase.slice(1)}… ${percent}%`);
  }

  showResult(message) {
    this.busy = false;
    const qcpRow = this.info.kind === "qcp";
    this.result = {
      name: outputName(this.file.name, qcpRow ? ".wav" : ".qcp"),
      bytes: qcpRow ? message.wav : message.qcp,
      modified: this.file.lastModified,
    };
    updateDownloadAll();
    this.element.dataset.state = "done";
    this.part("progress").value = 100;
    const wavUrl = this.keepUrl(new Blob([message.wav], { type: "audio/wav" }));
    const player = this.part("player");
    player.src = wavUrl;
    const link = this.part("download");
    if (this.info.kind === "qcp") {
      link.href = wavUrl;
      link.download = outputName(this.file.name, ".wav");
      link.textContent = `Download WAV (${formatBytes(message.wav.length)})`;
      this.element.dataset.decodeMs = message.decodeMs.toFixed(1);
      this.setStatus(`Decoded in ${formatSeconds(message.decodeMs)}.`);
      player.title = "The decoded speech";
    } else {
      link.href = this.keepUrl(new Blob([message.qcp], { type: "audio/qcelp" }));
      link.download = outputName(this.file.name, ".qcp");
      link.textContent = `Download QCP (${formatBytes(message.qcp.length)})`;
      this.element.dataset.encodeMs = message.encodeMs.toFixed(1);
      this.element.dataset.rateSet = message.rateSet;
      fillRateBar(this.part("rates"), message.qcpInfo.rates, `Packets in the QCP (${message.qcpInfo.blocks})`);
      this.setStatus(`Encoded (${message.rateSet}, ${bitRateOf(message.qcpInfo)}) in ${formatSeconds(message.encodeMs)}. ` +
        "Play it to hear how the QCP will sound.");
      player.title = "How the QCP will sound";
    }
    if (message.recovered) {
      // velconv's warning, word for word, without its "WARNING: ".
      const warning = this.part("warning");
      warning.textContent = `'${this.file.name}' is damaged: ${message.recovered}`;
      warning.hidden = false;
    }
    this.part("actions").hidden = false;
    drawWaveform(this.part("wave"), message.peaks);
  }

  // `cutShort`: the library found the file's lengths damaged, so reading it
  // for what it holds may work where the plain conversion failed.
  fail(text, cutShort = false) {
    this.busy = false;
    this.element.dataset.state = "error";
    this.element.classList.add("failed");
    this.part("progress").hidden = true;
    this.part("actions").hidden = true;
    this.part("wave").hidden = true;
    if (!this.info) this.part("kind").textContent = "Error";
    this.setStatus(text);
    this.part("rescue").hidden = !cutShort || this.salvage;
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
    this.job++;
    this.releaseUrls();
    this.element.remove();
    rows.delete(this.id);
    updateDownloadAll();
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
downloadAll.addEventListener("click", () => {
  const results = finishedResults();
  const names = uniqueNames(results.map((result) => result.name));
  let zip;
  try {
    zip = makeZip(results.map((result, n) => ({ ...result, name: names[n] })));
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
