// Varied speech WAVs made from the test speech: other rates (8, 16, 44.1
// kHz), stereo, several voices at once, quiet and clipped levels, noise,
// pauses, and a two-second clip. Deterministic, so a failure can be re-run.
import fs from "node:fs";
import path from "node:path";

function readPcm(file) {
  const wav = fs.readFileSync(file);
  const dataAt = wav.indexOf("data", 12);
  const bytes = wav.subarray(dataAt + 8, dataAt + 8 + wav.readUInt32LE(dataAt + 4));
  const samples = new Float64Array(bytes.length / 2);
  for (let i = 0; i < samples.length; i++) samples[i] = bytes.readInt16LE(2 * i);
  return { rate: wav.readUInt32LE(24), samples };
}

// A 16-bit PCM WAV of `bytes` bytes of samples: its header, and room after
// it for the samples.
export function wavBuffer(rate, channelCount, bytes) {
  const out = Buffer.alloc(44 + bytes);
  out.write("RIFF", 0);
  out.writeUInt32LE(36 + bytes, 4);
  out.write("WAVEfmt ", 8);
  out.writeUInt32LE(16, 16);
  out.writeUInt16LE(1, 20);
  out.writeUInt16LE(channelCount, 22);
  out.writeUInt32LE(rate, 24);
  out.writeUInt32LE(rate * channelCount * 2, 28);
  out.writeUInt16LE(channelCount * 2, 32);
  out.writeUInt16LE(16, 34);
  out.write("data", 36);
  out.writeUInt32LE(bytes, 40);
  return out;
}

function writeWav(file, rate, channels) {
  const frames = channels[0].length;
  const out = wavBuffer(rate, channels.length, frames * channels.length * 2);
  for (let i = 0; i < frames; i++)
    for (let c = 0; c < channels.length; c++) {
      const v = Math.round(channels[c][i]);
      out.writeInt16LE(Math.max(-32768, Math.min(32767, v)), 44 + 2 * (i * channels.length + c));
    }
  fs.writeFileSync(file, out);
}

// A repeatable noise source.
function noise(seed) {
  let state = seed >>> 0;
  return () => {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    return state / 2147483648 - 1;
  };
}

// `seconds` of the source, read from `offset` (seconds) onward and round
// again, at the source's rate changed by `speed` (another voice's pitch and
// pace), resampled linearly to `rate`.
function voice(source, rate, seconds, { speed = 1, offset = 0, gain = 1 } = {}) {
  const out = new Float64Array(Math.round(rate * seconds));
  const step = (source.rate * speed) / rate;
  const n = source.samples.length;
  for (let i = 0; i < out.length; i++) {
    const at = offset * source.rate + i * step;
    const k = Math.floor(at);
    const frac = at - k;
    out[i] = gain * ((1 - frac) * source.samples[k % n] + frac * source.samples[(k + 1) % n]);
  }
  return out;
}

function mix(...tracks) {
  const out = new Float64Array(tracks[0].length);
  for (const t of tracks) for (let i = 0; i < out.length; i++) out[i] += t[i];
  return out;
}

function withNoise(track, level, seed) {
  const next = noise(seed);
  return track.map((v) => v + level * next());
}

// Speech broken by silences of 0.3 to 2 s.
function withPauses(track, rate, seed) {
  const next = noise(seed);
  const out = Float64Array.from(track);
  for (let at = 0; at < out.length; ) {
    at += Math.floor(rate * (3 + 4 * Math.abs(next())));
    const gap = Math.floor(rate * (0.3 + 1.7 * Math.abs(next())));
    out.fill(0, at, Math.min(out.length, at + gap));
    at += gap;
  }
  return out;
}

// Writes the set into `dir`; returns the file names, about 32 minutes in all.
export function writeVariedSpeech(repo, dir) {
  fs.mkdirSync(dir, { recursive: true });
  const narrow = readPcm(path.join(repo, "tests/data/speech_8k.wav"));
  const wide = readPcm(path.join(repo, "tests/data/speech_16k.wav"));
  const files = {
    "clip-2s.wav": [8000, [voice(narrow, 8000, 2, { offset: 3.1 })]],
    "quiet-8k.wav": [8000, [voice(narrow, 8000, 180, { gain: 0.04, offset: 1 })]],
    "loud-clipped-8k.wav": [8000, [voice(narrow, 8000, 180, { gain: 3.5, speed: 0.93 })]],
    "two-voices-8k.wav": [8000, [mix(voice(narrow, 8000, 180), voice(narrow, 8000, 180, { speed: 1.19, offset: 5, gain: 0.6 }))]],
    "noisy-16k.wav": [16000, [withNoise(voice(wide, 16000, 180, { speed: 0.88 }), 900, 7)]],
    "pauses-16k.wav": [16000, [withPauses(voice(wide, 16000, 300, { speed: 1.07 }), 16000, 11)]],
    "low-voice-44k.wav": [44100, [voice(wide, 44100, 180, { speed: 0.8, gain: 0.7 })]],
    "stereo-44k.wav": [44100, [voice(wide, 44100, 240, { speed: 1.12 }), voice(wide, 44100, 240, { offset: 4, gain: 0.5 })]],
    "crowd-44k.wav": [44100, [mix(voice(wide, 44100, 180), voice(wide, 44100, 180, { speed: 1.3, offset: 2, gain: 0.5 }),
      voice(wide, 44100, 180, { speed: 0.75, offset: 7, gain: 0.4 }))]],
    "hiss-stereo-16k.wav": [16000, [withNoise(voice(wide, 16000, 210, { gain: 0.3 }), 300, 3),
      withNoise(voice(wide, 16000, 210, { gain: 0.3, offset: 0.01 }), 300, 4)]],
  };
  for (const [name, [rate, channels]] of Object.entries(files)) writeWav(path.join(dir, name), rate, channels);
  return Object.keys(files);
}

// Ten seconds of two voices in 44.1 kHz stereo, for repeating into long files.
export function writeVariedSpeechPeriod(file) {
  const repo = path.resolve(path.dirname(new URL(import.meta.url).pathname), "../..");
  const wide = readPcm(path.join(repo, "tests/data/speech_16k.wav"));
  writeWav(file, 44100, [voice(wide, 44100, 10, { speed: 0.9 }), voice(wide, 44100, 10, { offset: 3, gain: 0.6 })]);
}
