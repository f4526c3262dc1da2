// The WebAssembly module in Node.js against native velconv on varied speech
// (about half an hour: several rates, stereo, voices, levels, noise): every
// QCP byte must be the same, in every rate set for the short clip.
//
//   node tests/web/equivalence.mjs <module folder> <velconv> <work folder>
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";
import { writeVariedSpeech } from "./varied_speech.mjs";

const [moduleDir, velconv, workDir] = process.argv.slice(2).map((p) => path.resolve(p));
const repo = path.resolve(path.dirname(new URL(import.meta.url).pathname), "../..");
const RATE_SETS = ["vfr", "vhr", "ffr", "fhr"];

const inputs = path.join(workDir, "varied");
fs.rmSync(inputs, { recursive: true, force: true });
const names = writeVariedSpeech(repo, inputs);

const moduleFile = path.join(moduleDir, "sonx_web.js");
const createSonxModule = createRequire(import.meta.url)(moduleFile);
const sonx = await createSonxModule({ wasmBinary: fs.readFileSync(moduleFile.replace(/\.js$/, ".wasm")) });

function encodeInModule(input, rateSet) {
  const pointer = sonx._malloc(input.length);
  sonx.HEAPU8.set(input, pointer);
  const ok = sonx._sonx_web_convert(pointer, input.length, rateSet, 0);
  sonx._free(pointer);
  if (!ok) return Buffer.from("failed: " + sonx.UTF8ToString(sonx._sonx_web_error()));
  const out = Buffer.from(sonx.HEAPU8.subarray(sonx._sonx_web_output(), sonx._sonx_web_output() + sonx._sonx_web_output_length()));
  sonx._sonx_web_free_output();
  return out;
}

let failures = 0;
let seconds = 0;
for (const name of names) {
  const file = path.join(inputs, name);
  const input = fs.readFileSync(file);
  seconds += input.readUInt32LE(40) / input.readUInt32LE(28);
  for (const rateSet of name.startsWith("clip") ? [0, 1, 2, 3] : [0]) {
    const out = path.join(inputs, `${name}.${RATE_SETS[rateSet]}.qcp`);
    const run = spawnSync(velconv, ["-r", RATE_SETS[rateSet], file, out], { encoding: "utf8" });
    const native = run.status === 0 ? fs.readFileSync(out) : Buffer.from("failed: " + run.stderr);
    const web = encodeInModule(input, rateSet);
    let firstDifference = -1;
    for (let i = 0; i < Math.max(native.length, web.length) && firstDifference < 0; i++)
      if (native[i] !== web[i]) firstDifference = i;
    const same = firstDifference < 0;
    if (!same) failures++;
    console.log(`${same ? "ok  " : "FAIL"} ${name} -r ${RATE_SETS[rateSet]}: the module's QCP ` +
      (same ? `equals native velconv's (${native.length} bytes)` : `differs from byte ${firstDifference} of ${native.length}`));
  }
}
console.log(`${seconds >= 1800 ? "ok  " : "FAIL"} ${(seconds / 60).toFixed(1)} minutes of varied speech compared`);
if (seconds < 1800) failures++;
process.exit(failures ? 1 : 0);
