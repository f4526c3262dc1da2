// Converts a file with the WebAssembly build of the library, as the browser
// page does: a QCP file into a WAV file, or a WAV file (RF64 and BW64 too)
// into a QCP file.
//
//   node examples/node-convert.mjs [-s] [-r HZ] in.qcp out.wav
//   node examples/node-convert.mjs [-s] [-r vfr|vhr|ffr|fhr] in.wav out.qcp
//
// -s rescues a damaged file (cut short, or with no usable length) as
// velconv -s does: it converts what the file holds and warns how much that was.
// -r HZ decodes to HZ samples per second (8000 to 48000), as velconv -r HZ does.
//
// Build the module first with scripts/build-web.sh (it lands in build-web/).
import { readFileSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";
import path from "node:path";

const here = path.dirname(fileURLToPath(import.meta.url));
const moduleFile = process.env.SONX_WEB_MODULE || path.join(here, "..", "build-web", "sonx_web.js");
const SALVAGE = 1;

const createSonxModule = createRequire(import.meta.url)(moduleFile);
// The module's own loader would use Node's fetch, which cannot read files:
// hand it the WebAssembly binary directly.
const wasmBinary = readFileSync(moduleFile.replace(/\.js$/, ".wasm"));
const sonx = await createSonxModule({ wasmBinary });
// The rate sets by the library's names, in the numbering sonx_web_convert takes.
const RATE_SETS = [0, 1, 2, 3].map((rateSet) => sonx.UTF8ToString(sonx._sonx_rate_set_name(rateSet)));

function usage() {
  console.error("usage: node-convert.mjs [-s] [-r vfr|vhr|ffr|fhr|HZ] input output");
  process.exit(2);
}

let args = process.argv.slice(2);
let rateSet = 0;
let sampleRate = 0;
let flags = 0;
for (;;) {
  if (args[0] === "-r" && /^[0-9]+$/.test(args[1] || "")) {
    sampleRate = Math.min(Number(args[1]), 0xffffffff);  // a larger number must not wrap to a rate
    args = args.slice(2);
  } else if (args[0] === "-r") {
    rateSet = RATE_SETS.indexOf(args[1]);
    if (rateSet < 0) usage();
    args = args.slice(2);
  } else if (args[0] === "-s") {
    flags |= SALVAGE;
    args = args.slice(1);
  } else {
    break;
  }
}
if (args.length !== 2) usage();
const [inputName, outputName] = args;

const input = readFileSync(inputName);
const inputPtr = sonx._malloc(input.length || 1);
sonx.HEAPU8.set(input, inputPtr);
const ok = sonx._sonx_web_convert(inputPtr, input.length, rateSet, flags, sampleRate);
sonx._free(inputPtr);
const salvage = JSON.parse(sonx.UTF8ToString(sonx._sonx_web_salvage()));
if (!ok) {
  console.error("ERROR: " + sonx.UTF8ToString(sonx._sonx_web_error()));
  if (salvage.lengthDamaged && !salvage.salvaged) console.error("node-convert: the file looks cut short; -s decodes what it holds");
  process.exit(1);
}
if (salvage.recovered) console.error(`WARNING: '${inputName}' is damaged: ${salvage.recovered}`);
const outPtr = sonx._sonx_web_output();
const outLength = sonx._sonx_web_output_length();
writeFileSync(outputName, sonx.HEAPU8.subarray(outPtr, outPtr + outLength));
sonx._sonx_web_free_output();
