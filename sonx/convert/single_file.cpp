#include "sonx/convert/single_file.h"
#include "sonx/component/status.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "sonx/fileio/sample_convert.h"

namespace sonx {

namespace {

[[noreturn]] void fail(const std::string& text) {
    throw std::runtime_error(text);
}

std::string codecText(ISonxError* error) {
    const char* text = error ? error->errorText() : nullptr;
    return text ? text : "";
}

uint32_t sampleBytes(const AudioFormat& f) {
    return f.sampleBits / 8;
}

// Blocks of `blockSamples` that make up two seconds at `rate`; never 0, or a
// loop over them would not advance.
uint32_t stepBlocks(uint32_t rate, uint32_t blockSamples) {
    const uint64_t blocks = blockSamples ? 2ull * rate / blockSamples : 0;
    if (blocks == 0) failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: blocks longer than two seconds");
    return static_cast<uint32_t>(std::min<uint64_t>(blocks, UINT32_MAX));
}

void loadPending(SingleFile& s) {
    const size_t bytes = size_t{s.pendingSamples} * sampleBytes(s.file.encoderFormat);
    if (bytes > s.buffers.sample.size()) fail("Conversion buffers are too small for the audio format");
    if (bytes) std::memcpy(s.buffers.sample.data(), s.pending.data(), bytes);
}

void savePending(SingleFile& s, uint32_t samples) {
    const size_t bytes = size_t{samples} * sampleBytes(s.file.encoderFormat);
    s.pending.assign(s.buffers.sample.begin(), s.buffers.sample.begin() + static_cast<std::ptrdiff_t>(bytes));
    s.pendingSamples = samples;
}

// Drops `used` samples from the front of the sample buffer, keeping `left` after them.
void shiftSamples(SingleFile& s, uint32_t used, uint32_t left) {
    const uint32_t bytes = sampleBytes(s.file.encoderFormat);
    std::memmove(s.buffers.sample.data(), s.buffers.sample.data() + size_t{used} * bytes,
                 size_t{left} * bytes);
}

// Encodes (with a file encoder) and writes the whole file blocks among the
// g samples at the front of the sample buffer, moves the rest to the front
// and returns how many remain. `written` grows by the blocks written.
uint32_t writeWholeBlocks(SingleFile& s, uint32_t g, uint32_t& written) {
    AudioFile& f = s.file;
    const uint32_t fileBlock = f.fileFormat.blockSamples;
    const uint32_t u = g / fileBlock;
    if (f.encoder) {
        uint32_t coded = 0;
        if (u > 0) {
            if (uint64_t{u} * f.fileFormat.packetBytes > s.buffers.output.size())
                fail("Conversion buffers are too small for the audio format");
            if (f.encoder->Process(s.buffers.output.data(), s.buffers.sample.data(), u * fileBlock, 1,
                                   &coded) != u)
                fail("Error encoding audio packets: " + codecText(f.encoderError));
        }
        writeBlocks(f.encoder, s.buffers.output.data(), u, nullptr, fixedBlockBytes(f.fileFormat), f,
                    static_cast<uint32_t>(s.buffers.output.size()));
    } else {
        writeBlocks(nullptr, s.buffers.sample.data(), u, nullptr, fixedBlockBytes(f.fileFormat), f,
                    g * sampleBytes(f.encoderFormat));
    }
    written += u;
    const uint32_t rest = g - u * fileBlock;
    shiftSamples(s, u * fileBlock, rest);
    return rest;
}

}  // namespace

void SingleFile::forgetCarried() {
    pending.clear();
    pendingSamples = 0;
    buffers.converter.reset();
}

bool isFastPath(const AudioFile& file) {
    return file.clientFormat.codec == file.fileFormat.codec &&
           file.clientFormat.dataFormat == file.fileFormat.dataFormat &&
           !needsSampleConversion(file.decoderFormat, file.encoderFormat);
}

uint32_t readSingle(SingleFile& s, uint32_t count, uint8_t* buffer, uint32_t* bytesOut, uint32_t& delivered) {
    AudioFile& f = s.file;
    delivered = 0;
    const uint32_t left = f.blockCount > f.blocksDone ? f.blockCount - f.blocksDone : 0;
    const uint32_t n = std::min(count, left);

    if (isFastPath(f)) {
        if (!buffer) {
            // The largest packet bounds the bytes of a variable-size stream.
            if (bytesOut)
                *bytesOut = static_cast<uint32_t>(
                    std::min<uint64_t>(uint64_t{n} * f.fileFormat.packetBytes, UINT32_MAX));
            return n;
        }
        uint32_t bytes = 0;
        readBlocks(fixedBlockBytes(f.fileFormat), f, f.decoder, buffer, n, &bytes);
        delivered = n;
        if (bytesOut) *bytesOut = bytes;
        return n;
    }

    const AudioFormat& dec = f.decoderFormat;
    const AudioFormat& enc = f.encoderFormat;
    const AudioFormat& client = f.clientFormat;
    if (dec.sampleRate == 0 || client.blockSamples == 0) failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: no sample rate");

    const bool converting = needsSampleConversion(dec, enc);
    SampleConverter& converter = s.buffers.converter;
    if (!buffer) {
        // The converter has given out no more than its stream's count for the
        // samples taken so far, so the count for the samples taken after this
        // read, less what it gave out, plus the carried samples bounds what
        // the read delivers; for the read that ends the file it is exact.
        const uint64_t fresh = uint64_t{n} * f.fileFormat.blockSamples;
        uint64_t coming = fresh;
        if (converting) {
            const uint64_t streamEnd =
                convertedSampleCount(converter.samplesIn() + fresh, dec.sampleRate, enc.sampleRate);
            coming = streamEnd > converter.samplesOut() ? streamEnd - converter.samplesOut() : 0;
        }
        const uint64_t blocks = (coming + s.pendingSamples) / client.blockSamples;
        const uint32_t result = blocks > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(blocks);
        if (bytesOut)
            *bytesOut =
                static_cast<uint32_t>(std::min<uint64_t>(uint64_t{result} * client.packetBytes, UINT32_MAX));
        return result;
    }

    ISonxCodec* clientEncoder = f.encoder;
    const uint32_t decBytes = sampleBytes(dec);
    const uint32_t encBytes = sampleBytes(enc);
    const uint64_t sampleRoom = s.buffers.sample.size() / encBytes;
    const uint32_t step = stepBlocks(f.fileFormat.sampleRate, f.fileFormat.blockSamples);

    loadPending(s);
    uint32_t w = s.pendingSamples;
    s.pendingSamples = 0;  // back in the sample buffer; saved again at the end
    uint64_t bytesDelivered = 0;
    // Once the file is read, converted samples that found no room still follow.
    for (uint32_t remaining = n; remaining > 0 || (converting && converter.queued() > 0);) {
        const uint32_t m = std::min(remaining, step);
        const uint64_t decoded = uint64_t{m} * f.fileFormat.blockSamples;
        uint8_t* dest;
        uint64_t destRoom = UINT32_MAX;  // the client's buffer: sized by the caller
        if (converting) {
            dest = s.buffers.conversion.data();
            destRoom = s.buffers.conversion.size() / decBytes;
        } else if (clientEncoder) {
            dest = s.buffers.sample.data() + size_t{w} * encBytes;
            destRoom = sampleRoom - w;
        } else {
            dest = buffer + bytesDelivered;
        }
        if (decoded > destRoom) fail("Conversion buffers are too small for the audio format");

        if (m == 0) {
            // Only collecting what the converter holds.
        } else if (f.decoder) {
            readBlocks(fixedBlockBytes(f.fileFormat), f, f.decoder, s.buffers.packet.data(), m, nullptr,
                       static_cast<uint32_t>(s.buffers.packet.size()));
            uint32_t consumed = 0;
            if (f.decoder->Process(dest, s.buffers.packet.data(), m, 0, &consumed) != decoded)
                fail("Error decoding audio packets: " + codecText(f.decoderError));
        } else {
            readBlocks(fixedBlockBytes(f.fileFormat), f, nullptr, dest, m, nullptr,
                       static_cast<uint32_t>(std::min<uint64_t>(destRoom * decBytes, UINT32_MAX)));
        }

        if (converting) {
            uint8_t* to =
                clientEncoder ? s.buffers.sample.data() + size_t{w} * encBytes : buffer + bytesDelivered;
            const uint64_t room = clientEncoder ? sampleRoom - w : UINT32_MAX;
            // The read that reaches the end of the file ends the stream.
            w += converter.convert(enc.sampleRate, dec.sampleBits, to, s.buffers.conversion.data(),
                                   static_cast<uint32_t>(decoded), enc.sampleBits, dec.sampleRate,
                                   static_cast<uint32_t>(room), f.blocksDone >= f.blockCount);
        } else {
            w += static_cast<uint32_t>(decoded);
        }

        if (clientEncoder) {
            const uint32_t k = w / client.blockSamples;
            if (k > 0) {
                uint32_t coded = 0;
                if (clientEncoder->Process(buffer + bytesDelivered, s.buffers.sample.data(),
                                           k * client.blockSamples, 1, &coded) != k)
                    fail("Error encoding audio packets: " + codecText(f.encoderError));
                delivered += k;
                bytesDelivered += coded;
                const uint32_t rest = w - k * client.blockSamples;
                shiftSamples(s, k * client.blockSamples, rest);
                w = rest;
            }
        } else {
            delivered += w;
            bytesDelivered += uint64_t{w} * client.packetBytes;
            w = 0;
        }
        remaining -= m;
    }
    savePending(s, w);
    if (bytesOut) *bytesOut = static_cast<uint32_t>(bytesDelivered);
    return delivered;
}

uint32_t writeSingle(SingleFile& s, uint32_t count, const uint8_t* data, uint32_t* bytesOut,
                     uint32_t& written) {
    AudioFile& f = s.file;
    written = 0;
    if (count > 0 && !data) failWith(SONX_ERR_INVALID, "No data given to write");

    if (isFastPath(f)) {
        uint32_t bytes = 0;
        writeBlocks(f.encoder, data, count, &bytes, fixedBlockBytes(f.fileFormat), f);
        written = count;
        if (bytesOut) *bytesOut = bytes;
        return count;
    }

    const AudioFormat& dec = f.decoderFormat;
    const AudioFormat& enc = f.encoderFormat;
    const AudioFormat& client = f.clientFormat;
    const bool converting = needsSampleConversion(dec, enc);
    ISonxCodec* clientDecoder = f.decoder;
    const uint32_t decBytes = sampleBytes(dec);
    const uint32_t encBytes = sampleBytes(enc);
    const uint32_t fileBlock = f.fileFormat.blockSamples;
    if (fileBlock == 0) failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: output blocks of 0 samples");
    const uint64_t sampleRoom = s.buffers.sample.size() / encBytes;
    const uint32_t step = stepBlocks(dec.sampleRate, client.blockSamples);

    loadPending(s);
    uint32_t g = s.pendingSamples;
    s.pendingSamples = 0;
    uint64_t consumed = 0;
    SampleConverter& converter = s.buffers.converter;
    // Converted samples that found no room are collected after the client's.
    for (uint32_t remaining = count; remaining > 0 || (converting && converter.queued() > 0);) {
        const uint32_t l = std::min(remaining, step);
        const uint64_t samples = uint64_t{l} * client.blockSamples;
        uint8_t* sampleEnd = s.buffers.sample.data() + size_t{g} * encBytes;
        const uint8_t* source = data + consumed;  // the client's samples when there is no decoder

        if (l == 0) {
            // Only collecting what the converter holds.
        } else if (clientDecoder) {
            uint8_t* dest = converting ? s.buffers.conversion.data() : sampleEnd;
            const uint64_t room = converting ? s.buffers.conversion.size() / decBytes : sampleRoom - g;
            if (samples > room) fail("Conversion buffers are too small for the audio format");
            uint32_t coded = 0;
            if (clientDecoder->Process(dest, data + consumed, l, 0, &coded) != samples)
                fail("Error decoding audio packets: " + codecText(f.decoderError));
            consumed += coded;
        } else {
            consumed += uint64_t{l} * client.packetBytes;
            if (!converting) {
                if (samples > sampleRoom - g) fail("Conversion buffers are too small for the audio format");
                std::memcpy(sampleEnd, source, static_cast<size_t>(samples) * decBytes);
            }
        }

        if (converting) {
            // The stream ends only when the file is closed with a flush.
            g += converter.convert(enc.sampleRate, dec.sampleBits, sampleEnd,
                                   clientDecoder ? s.buffers.conversion.data() : source,
                                   static_cast<uint32_t>(samples), enc.sampleBits, dec.sampleRate,
                                   static_cast<uint32_t>(sampleRoom - g), false);
        } else {
            g += static_cast<uint32_t>(samples);
        }
        g = writeWholeBlocks(s, g, written);
        remaining -= l;
    }
    savePending(s, g);
    if (bytesOut) *bytesOut = static_cast<uint32_t>(std::min<uint64_t>(consumed, UINT32_MAX));
    return written;
}

void flushSingle(SingleFile& s) {
    AudioFile& f = s.file;
    const AudioFormat& dec = f.decoderFormat;
    const AudioFormat& enc = f.encoderFormat;
    const uint32_t block = f.fileFormat.blockSamples;
    const uint32_t bits = enc.sampleBits;
    const uint64_t sampleRoom = s.buffers.sample.size() / (bits / 8);
    if (block == 0 || block > sampleRoom) fail("Conversion buffers are too small for the audio format");
    loadPending(s);
    uint32_t g = s.pendingSamples;
    s.pendingSamples = 0;
    s.pending.clear();
    uint32_t written = 0;
    if (needsSampleConversion(dec, enc)) {
        // End the converter's stream: its filter tail belongs to the file.
        SampleConverter& converter = s.buffers.converter;
        do {
            g += converter.convert(enc.sampleRate, dec.sampleBits,
                                   s.buffers.sample.data() + size_t{g} * (bits / 8), nullptr, 0, bits,
                                   dec.sampleRate, static_cast<uint32_t>(sampleRoom - g), true);
            g = writeWholeBlocks(s, g, written);
        } while (converter.queued() > 0);
    }
    g = writeWholeBlocks(s, g, written);
    if (g == 0) return;
    // The samples short of a block are completed with silence to one block.
    const size_t have = size_t{g} * (bits / 8);
    const size_t full = size_t{block} * (bits / 8);
    std::memset(s.buffers.sample.data() + have, bits == 8 ? 0x80 : 0, full - have);
    writeWholeBlocks(s, block, written);
}

uint32_t seekSingle(SingleFile& s, uint32_t block, uint32_t& reached) {
    AudioFile& f = s.file;
    const uint32_t n = std::min(block, f.blockCount);
    // Carried samples and the converter's stream belong to the old position.
    s.forgetCarried();
    // A mixed-down WAV's blocks are its frames on disk.
    const uint32_t fixed = f.frames.active() ? f.frames.frameBytes() : fixedBlockBytes(f.fileFormat);
    if (fixed != 0) {
        const uint64_t position = f.dataStart + uint64_t{n} * fixed;
        if (position > UINT32_MAX) failWith(SONX_ERR_TOO_LARGE, "Seek position beyond 4 GB");
        seekFile(f, static_cast<uint32_t>(position));
        f.blocksDone = n;
        f.dataPosition = static_cast<uint32_t>(position);
        reached = n;
        return n;
    }
    if (!f.decoder) fail("No codec to look up packet sizes with");
    uint32_t counted = 0;
    uint64_t position = f.dataStart;
    reached = 0;
    try {
        while (counted < n) {
            if (position > UINT32_MAX) failWith(SONX_ERR_TOO_LARGE, "Seek position beyond 4 GB");
            seekFile(f, static_cast<uint32_t>(position));
            uint8_t octet = 0;
            readFile(f, &octet, 1);
            const int32_t size = f.decoder->PacketSize(octet);
            if (size < 0) {
                ++position;
                continue;
            }
            position += 1 + static_cast<uint32_t>(size);
            ++counted;
        }
    } catch (...) {
        f.blocksDone = counted;
        f.dataPosition = static_cast<uint32_t>(std::min<uint64_t>(position, UINT32_MAX));
        reached = counted;
        throw;
    }
    f.blocksDone = counted;
    f.dataPosition = static_cast<uint32_t>(position);
    reached = counted;
    return counted;
}

}  // namespace sonx
