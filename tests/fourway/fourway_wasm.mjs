// The WebAssembly module's column of the four-front-end table
// (fourway_test.py), in Node as examples/node-convert.mjs loads it:
//   node fourway_wasm.mjs <sonx_web.js> <jobs.json>
// Each job {input, output, rateSet, sampleRate, salvage} is converted with
// sonx_web_convert (the result written to `output`, what it found of the
// input's lengths from sonx_web_salvage) and its input described
// with sonx_web_describe; one JSON array of outcomes goes to standard output.
import fs from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";

const [moduleFile, jobsFile] = process.argv.slice(2).map((name) => path.resolve(name));
const createSonxModule = createRequire(import.meta.url)(moduleFile);
const sonx = await createSonxModule({ wasmBinary: fs.readFileSync(moduleFile.replace(/\.js$/, ".wasm")) });
const SALVAGE = 1;
const rateSetNumber = (name) => [0, 1, 2, 3].find((n) => sonx.UTF8ToString(sonx._sonx_rate_set_name(n)) === name);

const failure = () => ({ status: sonx._sonx_web_error_code(), message: sonx.UTF8ToString(sonx._sonx_web_error()) });

const outcomes = JSON.parse(fs.readFileSync(jobsFile, "utf8")).map((job) => {
  const input = fs.readFileSync(job.input);
  const pointer = sonx._malloc(input.length || 1);
  sonx.HEAPU8.set(input, pointer);
  const flags = job.salvage ? SALVAGE : 0;
  const outcome = {};
  const converted = sonx._sonx_web_convert(pointer, input.length, rateSetNumber(job.rateSet), flags, job.sampleRate);
  const found = JSON.parse(sonx.UTF8ToString(sonx._sonx_web_salvage()));
  outcome.report = { lengthDamaged: found.lengthDamaged, salvaged: found.salvaged, blocksRead: found.blocksRead,
    blocksPromised: found.promiseKnown ? found.blocksPromised : null };
  outcome.recovered = found.recovered || "";
  if (converted) {
    const start = sonx._sonx_web_output();
    fs.writeFileSync(job.output, sonx.HEAPU8.subarray(start, start + sonx._sonx_web_output_length()));
    sonx._sonx_web_free_output();
    outcome.convert = { status: 0, message: "" };
  } else {
    outcome.convert = failure();
    // The line velconv prints after the error of a file it cannot decode.
    const name = Buffer.from(job.input + "\0");
    const namePointer = sonx._malloc(name.length);
    sonx.HEAPU8.set(name, namePointer);
    outcome.convert.note = sonx.UTF8ToString(sonx._sonx_web_failure_note(namePointer));
    sonx._free(namePointer);
  }
  // The page describes a damaged file only when asked to salvage it, as its
  // conversion reads it; velconv -i and the others describe it as it is.
  // No name: the facts are compared without it.
  const facts = sonx._sonx_web_describe(pointer, input.length, 0, SALVAGE);
  outcome.info = facts ? { status: 0, message: "" } : failure();
  if (facts) outcome.facts = JSON.parse(sonx.UTF8ToString(facts));
  sonx._free(pointer);
  return outcome;
});
process.stdout.write(JSON.stringify(outcomes) + "\n");
