// Files in and out of the page in bulk: the files of a dropped folder, and
// every result in one .zip.
"use strict";

// ---- A dropped folder -----------------------------------------------------------

const SPEECH_FILE = /\.(qcp|wav)$/i;

// The entries of a drop, taken while the event lasts: the browser forgets
// them once the handler returns.
function droppedEntries(dataTransfer) {
  const entries = [];
  for (const item of dataTransfer.items || []) {
    const entry = item.kind === "file" && item.webkitGetAsEntry ? item.webkitGetAsEntry() : null;
    if (entry) entries.push(entry);
  }
  return entries;
}

function entryFile(entry) {
  return new Promise((resolve, reject) => entry.file(resolve, reject));
}

// A folder reader hands out its entries in batches until one comes back empty.
async function folderEntries(folder) {
  const reader = folder.createReader();
  const all = [];
  for (;;) {
    const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
    if (batch.length === 0) return all;
    all.push(...batch);
  }
}

// Files dropped by themselves are all taken (the row says what is wrong with
// one that is not speech); from folders, at any depth, only .qcp and .wav
// files, in name order, as a phone's folder also holds pictures and notes.
async function filesOfEntries(entries) {
  const files = [];
  const walk = async (entry, inFolder) => {
    if (entry.isDirectory) {
      const children = await folderEntries(entry);
      children.sort((a, b) => a.name.localeCompare(b.name, undefined, { numeric: true }));
      for (const child of children) await walk(child, true);
    } else if (!inFolder || SPEECH_FILE.test(entry.name)) {
      files.push(await entryFile(entry));
    }
  };
  for (const entry of entries) await walk(entry, false);
  return files;
}

// ---- One .zip of many results ---------------------------------------------------
//
// Stored, not deflated: QCP is already compressed and speech PCM gains
// little, so a store-only writer keeps the page small and the zip instant.

const CRC_TABLE = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

function crc32(bytes) {
  let crc = 0xffffffff;
  for (let i = 0; i < bytes.length; i++) crc = CRC_TABLE[(crc ^ bytes[i]) & 0xff] ^ (crc >>> 8);
  return (crc ^ 0xffffffff) >>> 0;
}

// MS-DOS time and date fields are local time with two-second steps; zip
// readers without the extended timestamp use them.
function dosDateTime(date) {
  const year = Math.min(Math.max(date.getFullYear(), 1980), 2107);
  return {
    time: (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1),
    date: ((year - 1980) << 9) | ((date.getMonth() + 1) << 5) | date.getDate(),
  };
}

const ZIP_LIMIT = 0xffffffff;  // sizes and offsets of a zip without zip64
const UTF8_NAMES = 0x0800;
const EXTENDED_TIMESTAMP = 0x5455;

// A .zip Blob of `entries` ({name, blob, modified: ms since 1970}), each
// dated with its `modified` time: in the DOS fields and, to the second in
// UTC, in an extended timestamp that unzip and 7-Zip restore. Each entry is
// read once for its checksum and joins the zip as the Blob it is, so only
// one result at a time is in the page's memory. Throws when the whole would
// need zip64.
async function makeZip(entries) {
  const encoder = new TextEncoder();
  const parts = [];
  const central = [];
  let offset = 0;
  for (const entry of entries) {
    const name = encoder.encode(entry.name);
    const when = new Date(entry.modified);
    const { time, date } = dosDateTime(when);
    const crc = crc32(new Uint8Array(await entry.blob.arrayBuffer()));
    const size = entry.blob.size;
    if (size >= ZIP_LIMIT || offset + 30 + name.length + 9 + size >= ZIP_LIMIT)
      throw new Error("The results are too large for one .zip; download them one by one");
    const extra = new DataView(new ArrayBuffer(9));
    extra.setUint16(0, EXTENDED_TIMESTAMP, true);
    extra.setUint16(2, 5, true);
    extra.setUint8(4, 1);  // modification time present
    extra.setUint32(5, Math.max(0, Math.floor(entry.modified / 1000)) >>> 0, true);

    const local = new DataView(new ArrayBuffer(30));
    local.setUint32(0, 0x04034b50, true);
    local.setUint16(4, 20, true);
    local.setUint16(6, UTF8_NAMES, true);
    local.setUint16(8, 0, true);  // stored
    local.setUint16(10, time, true);
    local.setUint16(12, date, true);
    local.setUint32(14, crc, true);
    local.setUint32(18, size, true);
    local.setUint32(22, size, true);
    local.setUint16(26, name.length, true);
    local.setUint16(28, extra.byteLength, true);
    parts.push(local, name, extra, entry.blob);

    const header = new DataView(new ArrayBuffer(46));
    header.setUint32(0, 0x02014b50, true);
    header.setUint16(4, 20, true);
    header.setUint16(6, 20, true);
    header.setUint16(8, UTF8_NAMES, true);
    header.setUint16(10, 0, true);
    header.setUint16(12, time, true);
    header.setUint16(14, date, true);
    header.setUint32(16, crc, true);
    header.setUint32(20, size, true);
    header.setUint32(24, size, true);
    header.setUint16(28, name.length, true);
    header.setUint16(30, extra.byteLength, true);
    header.setUint32(42, offset, true);
    central.push(header, name, extra);
    offset += 30 + name.length + extra.byteLength + size;
  }
  const centralSize = central.reduce((sum, part) => sum + part.byteLength, 0);
  if (entries.length > 0xffff || offset + centralSize >= ZIP_LIMIT)
    throw new Error("The results are too large for one .zip; download them one by one");
  const end = new DataView(new ArrayBuffer(22));
  end.setUint32(0, 0x06054b50, true);
  end.setUint16(8, entries.length, true);
  end.setUint16(10, entries.length, true);
  end.setUint32(12, centralSize, true);
  end.setUint32(16, offset, true);
  return new Blob([...parts, ...central, end], { type: "application/zip" });
}

// Names made unique within one zip: a second "memo.wav" becomes "memo (2).wav".
function uniqueNames(names) {
  const taken = new Set();
  return names.map((name) => {
    let candidate = name;
    const dot = name.lastIndexOf(".");
    const stem = dot > 0 ? name.slice(0, dot) : name;
    const extension = dot > 0 ? name.slice(dot) : "";
    for (let n = 2; taken.has(candidate.toLowerCase()); n++) candidate = `${stem} (${n})${extension}`;
    taken.add(candidate.toLowerCase());
    return candidate;
  });
}
