// The converter page in headless Chromium, against native velconv.
//
//   node tests/web/browser_test.mjs <site folder> <velconv> <work folder>
//
// Serves the site on 127.0.0.1, gives the page the sample WAV, a QCP made by
// native velconv and damaged files, and checks that the downloads hold the
// bytes velconv writes for the same inputs, that the damaged files' rows show
// velconv's error text, that a QCP cut short is rescued as velconv -s does
// it, and that no request left 127.0.0.1. Then the same sample from file://,
// and the time to encode and decode ten minutes of speech.
import { execFileSync, spawnSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import puppeteer from "puppeteer-core";
import { wavBuffer, writeVariedSpeech, writeVariedSpeechPeriod } from "./varied_speech.mjs";

const [siteDir, velconv, workDir] = process.argv.slice(2).map((p) => path.resolve(p));
const repo = path.resolve(path.dirname(new URL(import.meta.url).pathname), "../..");
const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";
const TIMEOUT = 120000;

let failures = 0;
let passes = 0;
function check(ok, what) {
  console.log(`${ok ? "ok  " : "FAIL"} ${what}`);
  if (ok) passes++;
  else failures++;
}

// ---- Inputs and native results ----------------------------------------------

fs.rmSync(workDir, { recursive: true, force: true });
const inputs = path.join(workDir, "inputs");
const native = path.join(workDir, "native");
const downloads = path.join(workDir, "downloads");
for (const dir of [inputs, native, downloads]) fs.mkdirSync(dir, { recursive: true });

function velconvRun(...args) {
  return spawnSync(velconv, args, { encoding: "utf8" });
}

// A 16-bit mono WAV of ten minutes: the test speech over and over.
function repeatedSpeech(source, seconds, target) {
  const wav = fs.readFileSync(source);
  const dataAt = wav.indexOf("data", 12);
  const pcm = wav.subarray(dataAt + 8, dataAt + 8 + wav.readUInt32LE(dataAt + 4));
  const bytes = seconds * 8000 * 2;
  const out = wavBuffer(8000, 1, bytes);
  for (let at = 0; at < bytes; at += pcm.length) pcm.copy(out, 44 + at, 0, Math.min(pcm.length, bytes - at));
  fs.writeFileSync(target, out);
}

// A RIFF file with one more chunk at its end.
function withChunk(riff, id, data) {
  const chunk = Buffer.alloc(8 + data.length + (data.length & 1));
  chunk.write(id, 0);
  chunk.writeUInt32LE(data.length, 4);
  data.copy(chunk, 8);
  const out = Buffer.concat([riff, chunk]);
  out.writeUInt32LE(out.length - 8, 4);
  return out;
}

const sampleWav = path.join(inputs, "speech.wav");
fs.copyFileSync(path.join(repo, "samples/speech.wav"), sampleWav);
// A phone's voice memo: velconv's QCP with a label and a note.
const memoQcp = path.join(inputs, "memo.qcp");
execFileSync(velconv, [sampleWav, memoQcp]);
const label = Buffer.alloc(48);
label.write("Voice memo 12");
const note = Buffer.from("Call Anna back about the tickets — Tuesday");
fs.writeFileSync(memoQcp, withChunk(withChunk(fs.readFileSync(memoQcp), "labl", label), "text", note));
// Cut at half its bytes, inside the packets: the 'data' chunk claims more
// than there is, which can be rescued; cut inside the 'fmt ' chunk, which
// cannot.
const memoBytes = fs.readFileSync(memoQcp);
const damagedQcp = path.join(inputs, "damaged.qcp");
fs.writeFileSync(damagedQcp, memoBytes.subarray(0, Math.floor(memoBytes.length / 2)));
const brokenFmtQcp = path.join(inputs, "broken-fmt.qcp");
fs.writeFileSync(brokenFmtQcp, memoBytes.subarray(0, 40));
const notAudio = path.join(inputs, "notes.wav");
fs.writeFileSync(notAudio, "Shopping: milk, bread\n");
const longWav = path.join(inputs, "ten-minutes.wav");
repeatedSpeech(path.join(repo, "tests/data/speech_8k.wav"), 600, longWav);
const hourWav = path.join(inputs, "an-hour.wav");
repeatedSpeech(path.join(repo, "tests/data/speech_8k.wav"), 3600, hourWav);
const longQcp = path.join(inputs, "ten-minutes-memo.qcp");
execFileSync(velconv, [longWav, longQcp]);

// An hour of 44.1 kHz stereo (635 MB): ten seconds of voices over and over.
const hugeWav = path.join(inputs, "an-hour-44k-stereo.wav");
{
  const period = path.join(inputs, "period.wav");
  writeVariedSpeechPeriod(period);
  const wav = fs.readFileSync(period);
  const pcm = wav.subarray(44);
  const bytes = 3600 * 44100 * 4;
  const header = Buffer.from(wav.subarray(0, 44));
  header.writeUInt32LE(36 + bytes, 4);
  header.writeUInt32LE(bytes, 40);
  const fd = fs.openSync(hugeWav, "w");
  fs.writeSync(fd, header);
  for (let left = bytes; left > 0; left -= Math.min(left, pcm.length)) fs.writeSync(fd, pcm, 0, Math.min(left, pcm.length));
  fs.closeSync(fd);
  fs.rmSync(period);
}
// Ten hours of memo: the ten-minute QCP's packets sixty times.
const tenHoursQcp = path.join(inputs, "ten-hours.qcp");
{
  const qcp = fs.readFileSync(longQcp);
  const dataAt = qcp.indexOf("data", 12);
  const vratAt = qcp.indexOf("vrat", 12);
  const packets = qcp.subarray(dataAt + 8, dataAt + 8 + qcp.readUInt32LE(dataAt + 4));
  const head = Buffer.from(qcp.subarray(0, dataAt + 8));
  head.writeUInt32LE(packets.length * 60, dataAt + 4);
  head.writeUInt32LE(head.readUInt32LE(vratAt + 12) * 60, vratAt + 12);
  const whole = Buffer.concat([head, ...Array(60).fill(packets)]);
  whole.writeUInt32LE(whole.length - 8, 4);
  fs.writeFileSync(tenHoursQcp, whole);
}

// Resampled on the way in, which must not change the bytes either.
const wideWav = path.join(inputs, "speech-16k.wav");
fs.copyFileSync(path.join(repo, "tests/data/speech_16k.wav"), wideWav);
// The same samples declared 11025 Hz: another ratio, other filters and FFT sizes.
const oddRateWav = path.join(inputs, "speech-11k.wav");
const oddRate = fs.readFileSync(wideWav);
oddRate.writeUInt32LE(11025, 24);
oddRate.writeUInt32LE(11025 * 2, 28);
fs.writeFileSync(oddRateWav, oddRate);
// The 16 kHz speech as an RF64 file: its lengths in a 'ds64' chunk, the
// 32-bit ones 0xFFFFFFFF, as recorders and ffmpeg write past 4 GiB.
const rf64Wav = path.join(inputs, "speech-16k-rf64.wav");
{
  const wav = fs.readFileSync(wideWav);
  const dataAt = wav.indexOf("data", 12);
  const ds64 = Buffer.alloc(8 + 28);
  ds64.write("ds64", 0);
  ds64.writeUInt32LE(28, 4);
  ds64.writeBigUInt64LE(BigInt(wav.readUInt32LE(dataAt + 4)), 16);
  const body = Buffer.concat([wav.subarray(0, 12), ds64, wav.subarray(12)]);
  body.write("RF64", 0);
  body.writeUInt32LE(0xffffffff, 4);
  body.writeBigUInt64LE(BigInt(body.length - 8), 20);
  body.writeUInt32LE(0xffffffff, dataAt + ds64.length + 4);
  fs.writeFileSync(rf64Wav, body);
}

const nativeOf = (input, extension) => {
  const out = path.join(native, path.basename(input).replace(/\.[^.]*$/, extension));
  execFileSync(velconv, [input, out]);
  return fs.readFileSync(out);
};
const expected = {
  "speech.qcp": nativeOf(sampleWav, ".qcp"),
  "memo.wav": nativeOf(memoQcp, ".wav"),
  "ten-minutes.qcp": nativeOf(longWav, ".qcp"),
  "ten-minutes-memo.wav": nativeOf(longQcp, ".wav"),
  "speech-16k.qcp": nativeOf(wideWav, ".qcp"),
  "speech-11k.qcp": nativeOf(oddRateWav, ".qcp"),
};
// Varied speech (a short clip, a quiet voice, 44.1 kHz stereo, several
// voices at once) for the page; tests/web/equivalence.mjs takes all of it
// through the module in Node.
const varied = path.join(inputs, "varied");
writeVariedSpeech(repo, varied);
const variedNames = ["clip-2s.wav", "quiet-8k.wav", "stereo-44k.wav", "crowd-44k.wav"];
for (const name of variedNames) expected[name.replace(".wav", ".qcp")] = nativeOf(path.join(varied, name), ".qcp");

// velconv's error for a file, without its "ERROR: ".
function velconvError(input) {
  const run = velconvRun(input, path.join(native, "failed.out"));
  const line = run.stderr.split("\n").find((l) => l.startsWith("ERROR: "));
  return run.status === 0 || !line ? "(no error)" : line.slice("ERROR: ".length);
}
// velconv -s on a damaged file: its output and its warning without "WARNING: ".
// Run beside the file, so the warning names it as the page does.
function velconvSalvage(input, extension) {
  const out = path.join(native, path.basename(input).replace(/\.[^.]*$/, extension));
  const run = spawnSync(velconv, ["-s", path.basename(input), out], { encoding: "utf8", cwd: path.dirname(input) });
  const line = run.stderr.split("\n").find((l) => l.startsWith("WARNING: "));
  return { bytes: run.status === 0 ? fs.readFileSync(out) : Buffer.alloc(0),
    warning: line ? line.slice("WARNING: ".length) : "(no warning)" };
}
const salvaged = velconvSalvage(damagedQcp, ".wav");

// A phone's folder: memos with their recording dates, one in a subfolder,
// one coded with EVRC, and a note that is no speech file.
const phone = path.join(inputs, "phone");
fs.mkdirSync(path.join(phone, "2009"), { recursive: true });
const folderMemos = { "kitchen.qcp": memoQcp, "2009/bus.qcp": longQcp, "greeting.wav": sampleWav };
let memoDay = Date.UTC(2009, 4, 1, 8, 15, 42) / 1000;
for (const [name, source] of Object.entries(folderMemos)) {
  const target = path.join(phone, name);
  fs.copyFileSync(source, target);
  fs.utimesSync(target, memoDay, memoDay);
  memoDay += 86400 + 3 * 3600;
}
const evrcQcp = path.join(phone, "evrc.qcp");
const evrcBytes = Buffer.from(memoBytes);
Buffer.from("8dd489e67690b54691ef736a5100ceb4", "hex").copy(evrcBytes, evrcBytes.indexOf("fmt ") + 10);
fs.writeFileSync(evrcQcp, evrcBytes);
fs.writeFileSync(path.join(phone, "readme.txt"), "not a memo\n");
// velconv's line naming the codec, without its "velconv: ".
const evrcNote = (() => {
  const run = spawnSync(velconv, ["evrc.qcp", path.join(native, "evrc.wav")], { encoding: "utf8", cwd: phone });
  const line = run.stderr.split("\n").find((l) => l.startsWith("velconv: "));
  return line ? line.slice("velconv: ".length) : "(no line naming the codec)";
})();

// The stored entries of a .zip: name, bytes and the extended timestamp's
// modification time, read from its central directory.
function zipEntries(zip) {
  const end = zip.lastIndexOf(Buffer.from([0x50, 0x4b, 0x05, 0x06]));
  if (end < 0) return [];
  const entries = [];
  for (let at = zip.readUInt32LE(end + 16), n = zip.readUInt16LE(end + 10); n > 0; n--) {
    const nameLength = zip.readUInt16LE(at + 28), extraLength = zip.readUInt16LE(at + 30);
    const commentLength = zip.readUInt16LE(at + 32), local = zip.readUInt32LE(at + 42);
    const name = zip.toString("utf8", at + 46, at + 46 + nameLength);
    const extra = zip.subarray(at + 46 + nameLength, at + 46 + nameLength + extraLength);
    const modified = extra.length >= 9 && extra.readUInt16LE(0) === 0x5455 ? extra.readUInt32LE(5) : -1;
    const size = zip.readUInt32LE(at + 24);
    const dataAt = local + 30 + zip.readUInt16LE(local + 26) + zip.readUInt16LE(local + 28);
    entries.push({ name, modified, bytes: zip.subarray(dataAt, dataAt + size) });
    at += 46 + nameLength + extraLength + commentLength;
  }
  return entries;
}

// ---- Server and browser ---------------------------------------------------------

const served = [];
const server = http.createServer((request, response) => {
  served.push(request.url);
  let file = path.join(siteDir, decodeURIComponent(new URL(request.url, "http://x").pathname));
  if (file.startsWith(siteDir) && fs.existsSync(file) && fs.statSync(file).isDirectory()) file = path.join(file, "index.html");
  if (!file.startsWith(siteDir) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
    response.writeHead(404).end();
    return;
  }
  const types = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".wasm": "application/wasm",
    ".webmanifest": "application/manifest+json", ".svg": "image/svg+xml" };
  response.writeHead(200, { "Content-Type": types[path.extname(file)] || "application/octet-stream" });
  fs.createReadStream(file).pipe(response);
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const origin = `http://127.0.0.1:${server.address().port}`;

// Everything not bound for 127.0.0.1 goes through this proxy, whichever
// page, worker or part of the browser sends it; it answers nothing. Chromium
// itself still asks Google's update, time and sign-in services now and then,
// whatever the flags; those are the browser's, not the page's.
const BROWSER_SERVICES = /^(https?:\/\/)?(update\.googleapis\.com|accounts\.google\.com|clients2\.google\.com)[:/]/;
const escaped = [];
const trap = http.createServer((request, response) => {
  escaped.push(request.url);
  response.writeHead(502).end();
});
trap.on("connect", (request, socket) => {
  escaped.push(request.url);
  socket.destroy();
});
await new Promise((resolve) => trap.listen(0, "127.0.0.1", resolve));

const browser = await puppeteer.launch({
  executablePath: CHROMIUM,
  headless: true,
  userDataDir: path.join(workDir, "profile"),
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
    "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
    `--proxy-server=http://127.0.0.1:${trap.address().port}`],
});

// Downloads land in one folder for the whole browser.
const browserSession = await browser.target().createCDPSession();
await browserSession.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });

// Every request any page or worker makes, as the browser's network layer
// sees it, plus what CSP blocked before it got there.
const requests = [];
const consoleErrors = [];
async function watch(page) {
  const session = await page.createCDPSession();
  await session.send("Network.enable");
  session.on("Network.requestWillBeSent", (e) => requests.push(e.request.url));
  page.on("request", (r) => requests.push(r.url()));
  page.on("console", (m) => m.type() === "error" && consoleErrors.push(m.text()));
  page.on("pageerror", (e) => consoleErrors.push(String(e)));
  return session;
}

async function addFiles(page, files) {
  const picker = await page.$("#picker");
  await picker.uploadFile(...files);
}

// Waits until `count` rows have finished (done or error).
async function settled(page, count) {
  await page.waitForFunction(
    (n) => {
      const rows = [...document.querySelectorAll(".row")];
      return rows.length === n && rows.every((r) => r.dataset.state === "done" || r.dataset.state === "error");
    },
    { timeout: TIMEOUT },
    count);
}

async function rowOf(page, name) {
  const row = await page.evaluateHandle(
    (n) => [...document.querySelectorAll(".row")].find((r) => r.querySelector(".name").textContent === n), name);
  return row.asElement();
}

async function download(page, name, fileName) {
  const target = path.join(downloads, fileName);
  fs.rmSync(target, { force: true });
  const row = await rowOf(page, name);
  await (await row.$(".download")).click();
  const deadline = Date.now() + TIMEOUT;
  while (!fs.existsSync(target) && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
  return fs.existsSync(target) ? fs.readFileSync(target) : Buffer.alloc(0);
}

async function field(page, name, selector, attribute) {
  const row = await rowOf(page, name);
  return row.evaluate((r, s, a) => {
    const e = s ? r.querySelector(s) : r;
    return a ? e.dataset[a] : e.textContent;
  }, selector, attribute);
}

try {
  // Step 1: the sample both ways and a damaged file, served from 127.0.0.1.
  const page = await browser.newPage();
  await page.setViewport({ width: 900, height: 900 });
  await watch(page);
  await page.goto(`${origin}/index.html`, { waitUntil: "load" });
  await addFiles(page, [sampleWav, memoQcp, damagedQcp, brokenFmtQcp, notAudio]);
  await settled(page, 5);
  for (const name of ["speech.wav", "memo.qcp"]) {
    check((await field(page, name, null, "state")) === "done",
      `the ${name} row is done: "${await field(page, name, ".status")}" ${consoleErrors.join(" | ")}`);
  }
  check(expected["speech.qcp"].equals(await download(page, "speech.wav", "speech.qcp")),
    "the QCP downloaded for the sample WAV equals native velconv's");
  check(expected["memo.wav"].equals(await download(page, "memo.qcp", "memo.wav")),
    "the WAV downloaded for the QCP equals native velconv's");
  const facts = await field(page, "memo.qcp", ".facts");
  check(/Rate set.*vfr/.test(facts) && /Format.*QCELP-13K/.test(facts) && /Duration/.test(facts),
    `the QCP row describes the file (${facts})`);
  const chunks = await field(page, "memo.qcp", ".chunks");
  check(chunks.includes("Voice memo 12") && chunks.includes(note.toString()), `the QCP row shows its chunks (${chunks})`);
  // Only the file cut short is offered a rescue.
  for (const [name, file, rescue] of [["damaged.qcp", damagedQcp, true], ["broken-fmt.qcp", brokenFmtQcp, false],
    ["notes.wav", notAudio, false]]) {
    const status = await field(page, name, ".status");
    const offered = await (await rowOf(page, name)).evaluate((r) => !r.querySelector(".rescue").hidden);
    // velconv's own text, after a sentence in plain words where the text is
    // in the file format's terms (the file cut short has its rescue paragraph).
    const plainFirst = name === "broken-fmt.qcp";
    const lines = status.split("\n");
    check((await field(page, name, null, "state")) === "error" && lines.at(-1) === velconvError(file) &&
      lines.length === (plainFirst ? 2 : 1) && offered === rescue,
    `${name} shows velconv's own error: "${status}", ${offered ? "with" : "without"} the rescue button`);
  }
  await page.screenshot({ path: path.join(siteDir, "screenshot.png"), fullPage: true });
  await page.setViewport({ width: 390, height: 844 });
  await page.screenshot({ path: path.join(siteDir, "screenshot-phone.png"), fullPage: true });
  await page.setViewport({ width: 900, height: 900 });

  // Step 2: the rescue button reads the file cut short as velconv -s does.
  await (await (await rowOf(page, "damaged.qcp")).$(".rescue-button")).click();
  const focusAfterRescue = await page.evaluate(() => `${document.activeElement.tagName} ${document.activeElement.textContent}`);
  check(focusAfterRescue === "H2 damaged.qcp", `focus stays on the rescued row's name (${focusAfterRescue})`);
  await settled(page, 5);
  check((await field(page, "damaged.qcp", null, "state")) === "done" && salvaged.bytes.length > 44 &&
    salvaged.bytes.equals(await download(page, "damaged.qcp", "damaged.wav")),
  "the rescued QCP gives native velconv -s's WAV");
  const warning = await field(page, "damaged.qcp", ".warning");
  check(warning === salvaged.warning, `the rescued row warns as velconv -s does: "${warning}"`);

  // Step 3: the page opened from file:// works the same.
  const local = await browser.newPage();
  await watch(local);
  await local.goto(`file://${path.join(siteDir, "index.html")}`, { waitUntil: "load" });
  await addFiles(local, [sampleWav]);
  await settled(local, 1);
  check(expected["speech.qcp"].equals(await download(local, "speech.wav", "speech.qcp")),
    "from file:// the sample WAV gives native velconv's QCP");
  await local.close();

  // Step 4: speech at 16 and 11.025 kHz, and ten minutes of speech each way, timed inside the worker.
  await addFiles(page, [wideWav, oddRateWav, rf64Wav, longWav, longQcp, ...variedNames.map((n) => path.join(varied, n))]);
  await settled(page, 10 + variedNames.length);
  for (const name of variedNames) {
    const qcp = name.replace(".wav", ".qcp");
    check(expected[qcp].equals(await download(page, name, qcp)), `varied speech ${name} encoded in the page equals native velconv's QCP`);
  }
  check(expected["speech-16k.qcp"].equals(await download(page, "speech-16k.wav", "speech-16k.qcp")),
    "16 kHz speech encoded in the page equals native velconv's QCP");
  check(expected["speech-11k.qcp"].equals(await download(page, "speech-11k.wav", "speech-11k.qcp")),
    "11.025 kHz speech encoded in the page equals native velconv's QCP");
  check(expected["speech-16k.qcp"].equals(await download(page, "speech-16k-rf64.wav", "speech-16k-rf64.qcp")),
    "the same speech as an RF64 file encodes in the page to the same QCP");
  const encodeMs = Number(await field(page, "ten-minutes.wav", null, "encodeMs"));
  const decodeMs = Number(await field(page, "ten-minutes-memo.qcp", null, "decodeMs"));
  check(expected["ten-minutes.qcp"].equals(await download(page, "ten-minutes.wav", "ten-minutes.qcp")),
    "ten minutes encoded in the page equal native velconv's QCP");
  check(expected["ten-minutes-memo.wav"].equals(await download(page, "ten-minutes-memo.qcp", "ten-minutes-memo.wav")),
    "ten minutes decoded in the page equal native velconv's WAV");
  console.log(`time for ten minutes of speech in headless Chromium: encode (vfr) ${(encodeMs / 1000).toFixed(2)} s ` +
    `(target 3 s), decode ${(decodeMs / 1000).toFixed(2)} s (target 0.5 s)`);

  // Step 5: a dropped folder adds its speech files; every result comes back
  // in one zip, dated like its input; the EVRC memo is named as velconv names it.
  const folderPage = await browser.newPage();
  await watch(folderPage);
  await folderPage.goto(`${origin}/index.html`, { waitUntil: "load" });
  const dropSession = await folderPage.createCDPSession();
  const dropData = { items: [], files: [phone], dragOperationsMask: 1 };
  for (const type of ["dragEnter", "dragOver", "drop"])
    await dropSession.send("Input.dispatchDragEvent", { type, x: 200, y: 200, data: dropData });
  await settled(folderPage, 4);
  const names = await folderPage.evaluate(() => [...document.querySelectorAll(".row .name")].map((e) => e.textContent));
  check(names.join(",") === "bus.qcp,evrc.qcp,greeting.wav,kitchen.qcp",
    `the dropped folder adds its four speech files, not the text file (${names.join(", ")})`);
  const evrcStatus = await field(folderPage, "evrc.qcp", ".status");
  check(evrcStatus.endsWith(`\n${evrcNote}`) && evrcNote.includes("EVRC"), `the EVRC memo is named as velconv names it: "${evrcStatus}"`);
  fs.rmSync(path.join(downloads, "velconv.zip"), { force: true });
  await folderPage.click("#download-all");
  const zipPath = path.join(downloads, "velconv.zip");
  for (const deadline = Date.now() + TIMEOUT; !fs.existsSync(zipPath) && Date.now() < deadline;)
    await new Promise((r) => setTimeout(r, 50));
  const zipped = zipEntries(fs.existsSync(zipPath) ? fs.readFileSync(zipPath) : Buffer.alloc(0));
  const wanted = Object.entries(folderMemos).map(([name, source]) => {
    const input = path.join(phone, name);
    const output = path.join(native, "phone-" + path.basename(name).replace(/\.[^.]*$/, source.endsWith(".wav") ? ".qcp" : ".wav"));
    fs.rmSync(output, { force: true });
    execFileSync(velconv, [input, output]);
    return { name: path.basename(output).slice("phone-".length), bytes: fs.readFileSync(output),
      modified: Math.floor(fs.statSync(input).mtimeMs / 1000) };
  }).sort((a, b) => a.name.localeCompare(b.name));
  zipped.sort((a, b) => a.name.localeCompare(b.name));
  check(zipped.length === wanted.length && wanted.every((w, n) => zipped[n].name === w.name &&
    zipped[n].bytes.equals(w.bytes) && zipped[n].modified === w.modified),
  `the zip holds native velconv's outputs under their names and input dates (${zipped.map((e) => e.name).join(", ")})`);
  await folderPage.close();

  // Step 6: accessibility and contrast, on the rows of steps 1 to 4.
  const tree = (await (await page.createCDPSession()).send("Accessibility.getFullAXTree")).nodes;
  const named = (role, name) => tree.some((n) => n.role && n.role.value === role && n.name && n.name.value === name);
  const unnamed = tree.filter((n) => n.role && ["button", "combobox"].includes(n.role.value) && !(n.name && n.name.value));
  const missing = [["heading", "speech.wav"], ["button", "Remove speech.wav"], ["combobox", "Rate set for speech.wav"],
    ["button", "Remove damaged.qcp"]].filter(([role, name]) => !named(role, name));
  check(missing.length === 0 && unnamed.length === 0, "each row's name is a heading and its controls are named by its file" +
    (missing.length ? `; missing: ${missing.join(" | ")}` : "") + (unnamed.length ? `; ${unnamed.length} unnamed` : ""));
  // The lowest contrast of the page's texts on their backgrounds, as WCAG counts it.
  const lowestContrast = () => page.evaluate(() => {
    const luminance = (color) => {
      const [r, g, b] = color.match(/[\d.]+/g).slice(0, 3).map((v) => {
        const c = Number(v) / 255;
        return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
      });
      return 0.2126 * r + 0.7152 * g + 0.0722 * b;
    };
    const background = (element) => {
      for (let e = element; e; e = e.parentElement) {
        const color = getComputedStyle(e).backgroundColor;
        if (!/rgba\(.*, 0\)$/.test(color) && color !== "transparent") return color;
      }
      return getComputedStyle(document.documentElement).backgroundColor;
    };
    let lowest = { ratio: 99, what: "" };
    for (const e of document.querySelectorAll(".status, .kind, .button, .name, .facts dt, .drop-sub, .legend, footer")) {
      if (!e.offsetParent || !e.textContent.trim()) continue;
      const [a, b] = [luminance(getComputedStyle(e).color), luminance(background(e))].sort((x, y) => y - x);
      const ratio = (a + 0.05) / (b + 0.05);
      if (ratio < lowest.ratio) lowest = { ratio, what: `${e.className} "${e.textContent.slice(0, 30)}"` };
    }
    return lowest;
  });
  for (const scheme of ["light", "dark"]) {
    await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: scheme }]);
    const lowest = await lowestContrast();
    check(lowest.ratio >= 4.5, `${scheme} mode: every text at least 4.5:1 (lowest ${lowest.ratio.toFixed(2)}:1, ${lowest.what})`);
  }
  await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: "light" }]);

  // Step 7: removing a row stops its conversion; rate-set changes run one
  // encode; focus and announcements.
  const cancelPage = await browser.newPage();
  await watch(cancelPage);
  await cancelPage.goto(`${origin}/index.html`, { waitUntil: "load" });
  const tenMinutesMs = Number(await field(page, "ten-minutes.wav", null, "encodeMs"));
  const working = (name) => cancelPage.waitForFunction((n) => [...document.querySelectorAll(".row")].some(
    (r) => r.querySelector(".name").textContent === n && r.querySelector(".progress").value > 3), { timeout: TIMEOUT }, name);
  await addFiles(cancelPage, [hourWav]);
  await working("an-hour.wav");
  const hourRow = await rowOf(cancelPage, "an-hour.wav");
  await (await hourRow.$(".remove")).focus();
  await cancelPage.keyboard.press("Enter");
  const removedAt = Date.now();
  const focusAfterRemove = await cancelPage.evaluate(() => document.activeElement.id);
  await addFiles(cancelPage, [sampleWav]);
  await settled(cancelPage, 1);
  const sampleAfter = Date.now() - removedAt;
  // The hour left behind would take about six times ten minutes.
  check(sampleAfter < 3 * tenMinutesMs + 1500,
    `a file added after removing an hour-long encode is done in ${sampleAfter} ms (an hour takes about ${(6 * tenMinutesMs).toFixed(0)} ms)`);
  check(focusAfterRemove === "picker", `focus goes to the file picker after the last row is removed (${focusAfterRemove || "body"})`);

  const announcements = [];
  await cancelPage.exposeFunction("announced", (text) => announcements.push(text));
  await cancelPage.evaluate(() => new MutationObserver(() => window.announced(document.getElementById("announcer").textContent))
    .observe(document.getElementById("announcer"), { childList: true, characterData: true, subtree: true }));
  await addFiles(cancelPage, [hourWav]);
  await working("an-hour.wav");
  const select = await (await rowOf(cancelPage, "an-hour.wav")).$(".rateset");
  for (const value of ["1", "2", "3"]) {
    await select.select(value);
    await new Promise((r) => setTimeout(r, 200));
  }
  const changedAt = Date.now();
  await settled(cancelPage, 2);
  const afterChanges = Date.now() - changedAt;
  const hourMs = Number(await field(cancelPage, "an-hour.wav", null, "encodeMs"));
  check(await field(cancelPage, "an-hour.wav", null, "rateSet") === "fhr" && afterChanges < 1.6 * hourMs + 2000,
    `three quick rate-set changes run one encode, the last (${afterChanges} ms after the last change; one encode ${hourMs.toFixed(0)} ms)`);
  const forHour = announcements.filter((a) => a.includes("an-hour.wav"));
  check(forHour.length <= 5 && forHour.at(-1) === "an-hour.wav: encoded, ready to download",
    `a conversion is announced a handful of times, not at every step (${forHour.length}: ${forHour.join(" / ")})`);
  await cancelPage.close();

  // Step 8: memory. The page alone in a browser context of its own, so in a
  // renderer process of its own (found through the DevTools protocol as the
  // one that was not there before); that process's peak resident memory,
  // reset once the page has loaded, while an hour of 44.1 kHz stereo is
  // encoded. Ten hours of memo are refused in words.
  const rendererIds = async () => (await browserSession.send("SystemInfo.getProcessInfo")).processInfo
    .filter((p) => p.type === "renderer").map((p) => p.id);
  const before = new Set(await rendererIds());
  const memoryContext = await browser.createBrowserContext();
  const memoryPage = await memoryContext.newPage();
  await watch(memoryPage);
  await memoryPage.goto(`${origin}/index.html`, { waitUntil: "load" });
  const own = (await rendererIds()).filter((id) => !before.has(id));
  for (const id of own) fs.writeFileSync(`/proc/${id}/clear_refs`, "5");
  await addFiles(memoryPage, [hugeWav, tenHoursQcp]);
  await settled(memoryPage, 2);
  const peakMiB = Math.max(...own.map((id) =>
    Number(/VmHWM:\s+(\d+)/.exec(fs.readFileSync(`/proc/${id}/status`, "utf8"))[1]) / 1024));
  check(await field(memoryPage, "an-hour-44k-stereo.wav", null, "state") === "done" && own.length > 0 && peakMiB < 400,
    `an hour of 44.1 kHz stereo (635 MB) encodes with the tab's memory peaking at ${peakMiB.toFixed(0)} MiB (under 400)`);
  const tenHours = await field(memoryPage, "ten-hours.qcp", ".status");
  check(tenHours.includes("velconv \"ten-hours.qcp\"") && !/memory/i.test(tenHours),
    `ten hours of memo are refused in words, with the command to use: "${tenHours}"`);
  await memoryContext.close();

  // Step 9: served over http, the page keeps its files and works with the
  // network off.
  const offlinePage = await browser.newPage();
  await watch(offlinePage);
  await offlinePage.goto(`${origin}/index.html`, { waitUntil: "load" });
  const keeper = await offlinePage.evaluate(() => navigator.serviceWorker.ready.then((r) => r.active.scriptURL));
  await offlinePage.setOfflineMode(true);
  await offlinePage.reload({ waitUntil: "load" });
  await addFiles(offlinePage, [sampleWav]);
  await settled(offlinePage, 1);
  check(keeper.endsWith("/sw.js") && expected["speech.qcp"].equals(await download(offlinePage, "speech.wav", "speech.qcp")),
    "with the network off the page reloads from its service worker and converts as native velconv does");
  await offlinePage.setOfflineMode(false);
  await offlinePage.close();

  // Step 10: nothing left this machine.
  const fromPage = requests.filter((url) => !url.startsWith(origin + "/") && !/^(blob|data|file):/.test(url));
  const unexplained = escaped.filter((url) => !BROWSER_SERVICES.test(url));
  const outside = [...fromPage, ...unexplained];
  check(outside.length === 0, `no request left 127.0.0.1 (${requests.length} from the pages, ` +
    `${escaped.length - unexplained.length} of Chromium's own services${outside.length ? "; outside: " + outside.join(", ") : ""})`);
  check(consoleErrors.length === 0, `no errors in the console${consoleErrors.length ? ": " + consoleErrors.join(" | ") : ""}`);
} catch (error) {
  console.log(`FAIL ${error.stack || error}`);
  failures++;
  for (const open of await browser.pages()) {
    const states = await open.evaluate(() => [...document.querySelectorAll(".row")].map(
      (r) => `${r.querySelector(".name").textContent}: ${r.dataset.state} "${r.querySelector(".status").textContent}"`));
    console.log(`rows of ${open.url()}:\n  ${states.join("\n  ")}`);
  }
  if (consoleErrors.length) console.log(`console: ${consoleErrors.join(" | ")}`);
} finally {
  await browser.close();
  server.close();
  trap.close();
}
console.log(`browser: ${passes} passed, ${failures} failed`);
process.exit(failures ? 1 : 0);
