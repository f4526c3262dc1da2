#include "sonx/convert/single_file.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "sonx/component/status.h"
#include "sonx/fileio/sample_convert.h"

namespace sonx {

namespace {

[[noreturn]] void fail(const std::string& text) {
    throw std::runtime_error(text);
}

uint32_t sampleBytes(const AudioFormat& format) {
    return format.sampleBits / 8;
}

// Blocks of `blockSamples` that make up two seconds at `rate`; never 0, or a
// loop over them would not advance.
uint32_t stepBlocks(uint32_t rate, uint32_t blockSamples) {
    const uint64_t blocks = blockSamples ? 2ull * rate / blockSamples : 0;
    if (blocks == 0)
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: blocks longer than two seconds");
    return static_cast<uint32_t>(std::min<uint64_t>(blocks, UINT32_MAX));
}

// Puts the samples carried from the last call back at the front of the
// sample buffer and returns how many they are.
uint32_t takePending(SingleFile& single) {
    const size_t bytes = size_t{single.pendingSamples} * sampleBytes(single.file.encoderFormat);
    if (bytes > single.buffers.sample.size()) fail("Conversion buffers are too small for the audio format");
    if (bytes) std::memcpy(single.buffers.sample.data(), single.pending.data(), bytes);
    const uint32_t held = single.pendingSamples;
    single.pendingSamples = 0;  // saved again by keepPending
    return held;
}

void keepPending(SingleFile& single, uint32_t held) {
    const size_t bytes = size_t{held} * sampleBytes(single.file.encoderFormat);
    single.pending.assign(single.buffers.sample.begin(),
                          single.buffers.sample.begin() + static_cast<std::ptrdiff_t>(bytes));
    single.pendingSamples = held;
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

uint32_t readSingle(SingleFile& single, uint32_t count, uint8_t* buffer, uint32_t* bytesOut,
                    uint32_t& delivered) {
    AudioFile& file = single.file;
    delivered = 0;
    const uint32_t unread = file.blockCount > file.blocksDone ? file.blockCount - file.blocksDone : 0;
    const uint32_t toRead = std::min(count, unread);

    if (isFastPath(file)) {
        if (!buffer) {
            // The largest packet bounds the bytes of a variable-size stream.
            if (bytesOut)
                *bytesOut = static_cast<uint32_t>(
                    std::min<uint64_t>(uint64_t{toRead} * file.fileFormat.packetBytes, UINT32_MAX));
            return toRead;
        }
        uint32_t bytes = 0;
        readBlocks(fixedBlockBytes(file.fileFormat), file, file.decoder, buffer, toRead, &bytes);
        delivered = toRead;
        if (bytesOut) *bytesOut = bytes;
        return toRead;
    }

    const AudioFormat& decoderFormat = file.decoderFormat;
    const AudioFormat& encoderFormat = file.encoderFormat;
    const AudioFormat& client = file.clientFormat;
    if (decoderFormat.sampleRate == 0 || client.blockSamples == 0)
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: no sample rate");

    const bool converting = needsSampleConversion(decoderFormat, encoderFormat);
    SampleConverter& converter = single.buffers.converter;
    if (!buffer) {
        // The converter has given out no more than its stream's count for the
        // samples taken so far, so the count for the samples taken after this
        // read, less what it gave out, plus the carried samples bounds what
        // the read delivers; for the read that ends the file it is exact.
        const uint64_t fresh = uint64_t{toRead} * file.fileFormat.blockSamples;
        uint64_t coming = fresh;
        if (converting) {
            const uint64_t streamEnd = convertedSampleCount(
                converter.samplesIn() + fresh, decoderFormat.sampleRate, encoderFormat.sampleRate);
            coming = streamEnd > converter.samplesOut() ? streamEnd - converter.samplesOut() : 0;
        }
        const uint64_t blocks = (coming + single.pendingSamples) / client.blockSamples;
        const uint32_t result = blocks > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(blocks);
        if (bytesOut)
            *bytesOut =
                static_cast<uint32_t>(std::min<uint64_t>(uint64_t{result} * client.packetBytes, UINT32_MAX));
        return result;
    }

    ISonxCodec* clientEncoder = file.encoder;
    const uint32_t encodedSampleBytes = sampleBytes(encoderFormat);
    const uint32_t step = stepBlocks(file.fileFormat.sampleRate, file.fileFormat.blockSamples);

    uint32_t held = takePending(single);
    uint64_t bytesDelivered = 0;
    // Once the file is read, converted samples that found no room still follow.
    for (uint32_t remaining = toRead; remaining > 0 || (converting && converter.queued() > 0);) {
        const uint32_t blocks = std::min(remaining, step);
        const uint32_t decodedCount = blocks * file.fileFormat.blockSamples;
        // Samples wait for the client's encoder in the sample buffer, or go
        // straight into the client's buffer (sized by the caller).
        const SampleSpace clientSamples = clientEncoder
                                              ? spaceBehind(single.buffers.sample, held, encodedSampleBytes)
                                              : SampleSpace{buffer + bytesDelivered, UINT32_MAX};
        readSamples(file, blocks, single.buffers.packet,
                    converting ? spaceBehind(single.buffers.conversion, 0, sampleBytes(decoderFormat))
                               : clientSamples);
        if (converting)
            held += convertSamples(decoderFormat, single.buffers.conversion.data(), decodedCount,
                                   streamEndOf(file), converter, encoderFormat, clientSamples);
        else
            held += decodedCount;

        if (clientEncoder) {
            const EncodedBlocks encoded = encodeWholeBlocks(file, single.buffers.sample.data(), held, client,
                                                            buffer + bytesDelivered, UINT64_MAX);
            delivered += encoded.blocks;
            bytesDelivered += encoded.bytes;
            held = carryRest(held, encoded.blocks * client.blockSamples, encodedSampleBytes,
                             single.buffers.sample);
        } else {
            delivered += held;
            bytesDelivered += uint64_t{held} * client.packetBytes;
            held = 0;
        }
        remaining -= blocks;
    }
    keepPending(single, held);
    if (bytesOut) *bytesOut = static_cast<uint32_t>(bytesDelivered);
    return delivered;
}

uint32_t writeSingle(SingleFile& single, uint32_t count, const uint8_t* data, uint32_t* bytesOut,
                     uint32_t& written) {
    AudioFile& file = single.file;
    written = 0;
    if (count > 0 && !data) failWith(SONX_ERR_INVALID, "No data given to write");

    if (isFastPath(file)) {
        uint32_t bytes = 0;
        writeBlocks(file.encoder, data, count, &bytes, fixedBlockBytes(file.fileFormat), file);
        written = count;
        if (bytesOut) *bytesOut = bytes;
        return count;
    }

    const AudioFormat& decoderFormat = file.decoderFormat;
    const AudioFormat& encoderFormat = file.encoderFormat;
    const AudioFormat& client = file.clientFormat;
    const bool converting = needsSampleConversion(decoderFormat, encoderFormat);
    ISonxCodec* clientDecoder = file.decoder;
    const uint32_t decodedSampleBytes = sampleBytes(decoderFormat);
    const uint32_t encodedSampleBytes = sampleBytes(encoderFormat);
    if (file.fileFormat.blockSamples == 0)
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: output blocks of 0 samples");
    const uint32_t step = stepBlocks(decoderFormat.sampleRate, client.blockSamples);

    uint32_t held = takePending(single);
    uint64_t consumed = 0;
    SampleConverter& converter = single.buffers.converter;
    // Converted samples that found no room are collected after the client's.
    for (uint32_t remaining = count; remaining > 0 || (converting && converter.queued() > 0);) {
        const uint32_t blocks = std::min(remaining, step);
        const uint32_t clientCount = blocks * client.blockSamples;
        const SampleSpace toEncodeSpace = spaceBehind(single.buffers.sample, held, encodedSampleBytes);
        const uint8_t* clientBlocks = data + consumed;
        // Without a decoder the client's blocks are its samples.
        const uint8_t* decoded = clientBlocks;
        if (clientDecoder) {
            decoded = single.buffers.conversion.data();
            consumed += decodeBlocks(
                file, clientBlocks, blocks, client.blockSamples,
                converting ? spaceBehind(single.buffers.conversion, 0, decodedSampleBytes) : toEncodeSpace);
        } else {
            consumed += uint64_t{blocks} * client.packetBytes;
            if (!converting) copySamples(clientBlocks, clientCount, decodedSampleBytes, toEncodeSpace);
        }

        // The stream ends only when the file is closed with a flush.
        if (converting)
            held += convertSamples(decoderFormat, decoded, clientCount, StreamEnd::Continues, converter,
                                   encoderFormat, toEncodeSpace);
        else
            held += clientCount;
        written += writeWholeBlocks(single.buffers, held, file);
        remaining -= blocks;
    }
    keepPending(single, held);
    if (bytesOut) *bytesOut = static_cast<uint32_t>(std::min<uint64_t>(consumed, UINT32_MAX));
    return written;
}

void flushSingle(SingleFile& single) {
    AudioFile& file = single.file;
    const AudioFormat& decoderFormat = file.decoderFormat;
    const AudioFormat& encoderFormat = file.encoderFormat;
    const uint32_t block = file.fileFormat.blockSamples;
    if (block == 0 || block > single.buffers.sample.size() / sampleBytes(encoderFormat))
        fail("Conversion buffers are too small for the audio format");
    uint32_t held = takePending(single);
    single.pending.clear();
    if (needsSampleConversion(decoderFormat, encoderFormat)) {
        // End the converter's stream: its filter tail belongs to the file.
        SampleConverter& converter = single.buffers.converter;
        do {
            held += convertSamples(decoderFormat, nullptr, 0, StreamEnd::Ends, converter, encoderFormat,
                                   spaceBehind(single.buffers.sample, held, sampleBytes(encoderFormat)));
            writeWholeBlocks(single.buffers, held, file);
        } while (converter.queued() > 0);
    }
    writeWholeBlocks(single.buffers, held, file);
    if (held == 0) return;
    // The samples short of a block are completed with silence to one block.
    held = padToBlock(held, block, encoderFormat.sampleBits, single.buffers.sample);
    writeWholeBlocks(single.buffers, held, file);
}

uint32_t seekSingle(SingleFile& single, uint32_t block, uint32_t& reached) {
    AudioFile& file = single.file;
    const uint32_t target = std::min(block, file.blockCount);
    // Carried samples and the converter's stream belong to the old position.
    single.forgetCarried();
    // A mixed-down WAV's blocks are its frames on disk.
    const uint32_t fixed = file.frames.active() ? file.frames.frameBytes() : fixedBlockBytes(file.fileFormat);
    if (fixed != 0) {
        const uint64_t position = file.dataStart + uint64_t{target} * fixed;
        if (position > UINT32_MAX) failWith(SONX_ERR_TOO_LARGE, "Seek position beyond 4 GB");
        seekFile(file, static_cast<uint32_t>(position));
        file.blocksDone = target;
        file.dataPosition = static_cast<uint32_t>(position);
        reached = target;
        return target;
    }
    if (!file.decoder) fail("No codec to look up packet sizes with");
    uint32_t counted = 0;
    uint64_t position = file.dataStart;
    reached = 0;
    try {
        while (counted < target) {
            if (position > UINT32_MAX) failWith(SONX_ERR_TOO_LARGE, "Seek position beyond 4 GB");
            seekFile(file, static_cast<uint32_t>(position));
            uint8_t octet = 0;
            readFile(file, &octet, 1);
            const int32_t size = file.decoder->PacketSize(octet);
            if (size < 0) {
                ++position;
                continue;
            }
            position += 1 + static_cast<uint32_t>(size);
            ++counted;
        }
    } catch (...) {
        file.blocksDone = counted;
        file.dataPosition = static_cast<uint32_t>(std::min<uint64_t>(position, UINT32_MAX));
        reached = counted;
        throw;
    }
    file.blocksDone = counted;
    file.dataPosition = static_cast<uint32_t>(position);
    reached = counted;
    return counted;
}

}  // namespace sonx
