#include "sonx/fileio/packet_pump.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "sonx/component/status.h"
#include "sonx/fileio/sample_convert.h"

namespace sonx {

namespace {

// Each work buffer holds about two seconds of audio; anything larger comes
// from a format no speech file has and is refused instead of allocated.
constexpr uint64_t kMaxBufferBytes = 8u << 20;

// Frames of a mixed-down WAV read at a time: at most 64 bytes each.
constexpr uint32_t kFramesPerPiece = 4096;

constexpr const char* kBuffersTooSmall = "Conversion buffers are too small for the audio format";

[[noreturn]] void fail(const std::string& text) {
    failWith(SONX_ERR_FAILED, text);
}

uint32_t advance(uint32_t position, uint64_t bytes) {
    if (position + bytes > UINT32_MAX) failWith(SONX_ERR_TOO_LARGE, "Audio data would grow beyond 4 GB");
    return static_cast<uint32_t>(position + bytes);
}

std::string codecText(ISonxError* error) {
    const char* text = error ? error->errorText() : nullptr;
    return text ? text : "";
}

void checkSide(const AudioFormat& format, const char* what) {
    const std::string side = what;
    if (format.sampleRate == 0 || format.sampleRate > kMaxSampleRate)
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: " + side + " sample rate of " +
                                           std::to_string(format.sampleRate) + " samples per second");
    if (format.blockSamples == 0)
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: " + side + " blocks of 0 samples");
    if (format.blockSamples > 2ull * format.sampleRate)
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: " + side + " blocks of " +
                                           std::to_string(format.blockSamples) +
                                           " samples are longer than two seconds");
    if (format.packetBytes == 0)
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: " + side + " blocks of 0 bytes");
    if (format.codec == CODEC_PCM) checkPcmFormat(format, what);
}

void checkSamples(const AudioFormat& format, const char* what) {
    const std::string side = what;
    if (format.sampleRate == 0 || format.sampleRate > kMaxSampleRate)
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: " + side + " sample rate of " +
                                           std::to_string(format.sampleRate) + " samples per second");
    if (!isConvertibleFormat(format.sampleRate, format.sampleBits))
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: " + side + " samples of " +
                                           std::to_string(format.sampleBits) +
                                           " bits (only 8 and 16 are supported)");
}

void grow(std::vector<uint8_t>& buffer, uint64_t bytes) {
    if (buffer.size() < bytes) buffer.resize(static_cast<size_t>(bytes));
}

// Sequential reading from a block read ahead, for packet streams: one read
// per block instead of one per rate octet and one per payload. A block
// never reaches past the end of the file, so a stream cut short fails where
// reading packet by packet would.
class ReadAhead {
public:
    // The file must be positioned at `position`.
    ReadAhead(AudioFile& file, uint32_t position) : file_(file), position_(position) {}

    // Copies the next `wanted` bytes of the file to dest.
    void take(uint8_t* dest, uint32_t wanted) {
        while (wanted > 0) {
            if (used_ == filled_) refill(wanted);
            const uint32_t piece = std::min(wanted, filled_ - used_);
            std::memcpy(dest, block_ + used_, piece);
            used_ += piece;
            dest += piece;
            wanted -= piece;
            position_ += piece;
        }
    }

private:
    void refill(uint32_t wanted) {
        const uint64_t end = file_.fileFormat.size;
        const uint64_t bytes = end > position_ ? std::min<uint64_t>(sizeof block_, end - position_)
                                               : std::min<uint64_t>(sizeof block_, wanted);
        readFile(file_, block_, static_cast<uint32_t>(bytes));
        filled_ = static_cast<uint32_t>(bytes);
        used_ = 0;
    }

    AudioFile& file_;
    uint64_t position_;
    uint8_t block_[4096];
    uint32_t filled_ = 0;
    uint32_t used_ = 0;
};

}  // namespace

uint32_t fixedBlockBytes(const AudioFormat& format) {
    return isFixedBlockFormat(format.dataFormat) ? format.packetBytes : 0;
}

void checkPcmFormat(const AudioFormat& format, const char* what) {
    checkSamples(format, what);
    if (format.packetBytes != format.sampleBits / 8)
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: " + std::string(what) +
                                           " block alignment of " + std::to_string(format.packetBytes) +
                                           " bytes does not match mono " + std::to_string(format.sampleBits) +
                                           "-bit samples");
}

bool needsSampleConversion(const AudioFormat& decoderFormat, const AudioFormat& encoderFormat) {
    return decoderFormat.sampleRate != encoderFormat.sampleRate ||
           decoderFormat.sampleBits != encoderFormat.sampleBits;
}

bool isPassThrough(const AudioFile& input, const AudioFile& output) {
    return input.decoder != nullptr && output.encoder == input.decoder;
}

void readBlocks(uint32_t fixedBytes, AudioFile& file, ISonxCodec* codec, uint8_t* dest, uint32_t count,
                uint32_t* bytesOut, uint32_t destCapacity) {
    seekFile(file, file.dataPosition);
    uint64_t stored = 0;
    uint32_t position = file.dataPosition;
    if (file.frames.active()) {
        stored = uint64_t{count} * 2;
        if (stored > destCapacity) fail("Audio blocks do not fit the buffer given");
        const uint32_t frameBytes = file.frames.frameBytes();
        position = advance(position, uint64_t{count} * frameBytes);
        // Frames come in through a piece of bounded size, whatever the count.
        std::vector<uint8_t> piece(std::min<size_t>(count, kFramesPerPiece) * frameBytes);
        for (uint32_t done = 0; done < count;) {
            const uint32_t frames = std::min<uint32_t>(count - done, kFramesPerPiece);
            readFile(file, piece.data(), frames * frameBytes);
            framesToMono16(file.frames, piece.data(), frames, dest + 2 * size_t{done});
            done += frames;
        }
    } else if (fixedBytes != 0) {
        stored = uint64_t{count} * fixedBytes;
        if (stored > destCapacity) fail("Audio blocks do not fit the buffer given");
        position = advance(position, stored);
        if (stored) readFile(file, dest, static_cast<uint32_t>(stored));
    } else {
        if (!codec) fail("No codec to look up packet sizes with");
        ReadAhead ahead(file, position);
        for (uint32_t i = 0; i < count;) {
            if (stored + 1 > destCapacity) fail("Audio blocks do not fit the buffer given");
            uint8_t* packet = dest + stored;
            ahead.take(packet, 1);
            position = advance(position, 1);
            const int32_t size = codec->PacketSize(packet[0]);
            if (size < 0) continue;  // stray byte: try the next one
            if (stored + 1 + static_cast<uint32_t>(size) > destCapacity)
                fail("Audio blocks do not fit the buffer given");
            if (size > 0) ahead.take(packet + 1, static_cast<uint32_t>(size));
            position = advance(position, static_cast<uint32_t>(size));
            stored += 1 + static_cast<uint32_t>(size);
            ++i;
        }
    }
    file.dataPosition = position;
    file.blocksDone += count;
    if (bytesOut) *bytesOut = static_cast<uint32_t>(stored);
}

void writeBlocks(ISonxCodec* codec, const uint8_t* source, uint32_t count, uint32_t* bytesOut,
                 uint32_t fixedBytes, AudioFile& file, uint32_t sourceLength) {
    if (count == 0) {
        if (bytesOut) *bytesOut = 0;
        return;
    }
    seekFile(file, file.dataPosition);
    uint64_t written = 0;
    uint64_t consumed = 0;
    if (fixedBytes != 0) {
        const uint64_t bytes = uint64_t{count} * fixedBytes;
        if (bytes > sourceLength) failWith(SONX_ERR_DAMAGED, "Audio blocks run past the data given");
        advance(file.dataPosition, bytes);
        writeFile(file, source, static_cast<uint32_t>(bytes));
        written = consumed = bytes;
    } else {
        if (!codec) fail("No codec to look up packet sizes with");
        // Walk the packets once to check them before anything is written.
        uint64_t stray = 0;
        for (uint32_t i = 0; i < count;) {
            if (consumed >= sourceLength) failWith(SONX_ERR_DAMAGED, "Audio blocks run past the data given");
            const int32_t size = codec->PacketSize(source[consumed]);
            if (size < 0) {
                ++consumed;
                ++stray;
                continue;
            }
            consumed += 1 + static_cast<uint32_t>(size);
            if (consumed > sourceLength) failWith(SONX_ERR_DAMAGED, "Audio blocks run past the data given");
            ++i;
        }
        advance(file.dataPosition, consumed - stray);
        if (stray == 0) {
            writeFile(file, source, static_cast<uint32_t>(consumed));
            written = consumed;
        } else {
            // Whole runs of packets go out in one write each; stray bytes split runs.
            uint64_t at = 0, runStart = 0;
            const auto flush = [&] {
                if (at > runStart) writeFile(file, source + runStart, static_cast<uint32_t>(at - runStart));
                written += at - runStart;
            };
            while (at < consumed) {
                const int32_t size = codec->PacketSize(source[at]);
                if (size < 0) {
                    flush();
                    runStart = ++at;
                } else {
                    at += 1 + static_cast<uint32_t>(size);
                }
            }
            flush();
        }
    }
    file.dataPosition = advance(file.dataPosition, written);
    file.blocksDone += count;

    // The header follows the data in an order that leaves a consistent file
    // after every single write, should the writer stop anywhere: the data
    // (with its pad byte) first, then the lengths that cover it. None claims
    // what is not there. An output that takes its name only once complete
    // is never seen unfinished: closing it writes its pad byte and lengths.
    if (file.fileFormat.fileType == FILE_TYPE_QCP || file.fileFormat.fileType == FILE_TYPE_WAV) {
        const uint32_t end = advance(file.dataPosition, file.dataPosition & 1u);
        if (end != file.dataPosition && !file.lengthsAtClose) {
            static const uint8_t zero = 0;
            writeFile(file, &zero, 1);
        }
        file.riff.size = end;
        if (!file.lengthsAtClose) writeHeaderLengths(file);
    }
    file.fileFormat.size = file.dataPosition;
    if (bytesOut) *bytesOut = static_cast<uint32_t>(consumed);
}

void sizeBuffers(const AudioFormat& outputSide, const AudioFormat& inputSide,
                 const AudioFormat& decoderFormat, const AudioFormat& encoderFormat, PumpBuffers& buffers) {
    checkSide(inputSide, "input");
    checkSide(outputSide, "output");
    checkSamples(decoderFormat, "decoded");
    checkSamples(encoderFormat, "encoder");

    const uint64_t decBytes = decoderFormat.sampleBits / 8;
    const uint64_t encBytes = encoderFormat.sampleBits / 8;
    const uint64_t inBlocks = 2ull * inputSide.sampleRate / inputSide.blockSamples;
    // Samples one pass (or one single-file step) may decode, and what they
    // become after rate conversion, with a sample of rounding slack.
    const uint64_t decodedSamples =
        std::max<uint64_t>(inBlocks * inputSide.blockSamples, 2ull * decoderFormat.sampleRate);
    const uint64_t convertedSamples = std::max<uint64_t>(
        convertedSampleCount(decodedSamples, decoderFormat.sampleRate, encoderFormat.sampleRate) + 1,
        2ull * encoderFormat.sampleRate);
    const uint64_t outBlocks =
        std::max<uint64_t>((outputSide.blockSamples + convertedSamples) / outputSide.blockSamples,
                           2ull * outputSide.sampleRate / outputSide.blockSamples);

    const uint64_t packet = inputSide.packetBytes * inBlocks;
    const uint64_t conversion = decBytes * decodedSamples;
    const uint64_t sample = encBytes * (outputSide.blockSamples + convertedSamples);
    const uint64_t output = outputSide.packetBytes * outBlocks;
    const uint64_t largest = std::max({packet, conversion, sample, output});
    if (largest > kMaxBufferBytes)
        failWith(SONX_ERR_UNSUPPORTED, "Unsupported audio format: conversion buffers of " +
                                           std::to_string(largest) + " bytes would be needed");
    try {
        grow(buffers.packet, packet);
        grow(buffers.conversion, conversion);
        grow(buffers.sample, sample);
        grow(buffers.output, output);
    } catch (const std::bad_alloc&) {
        failWith(SONX_ERR_NO_MEMORY, "Out of memory allocating conversion buffers");
    }
}

SampleSpace spaceBehind(std::vector<uint8_t>& buffer, uint32_t used, uint32_t sampleBytes) {
    return {buffer.data() + size_t{used} * sampleBytes, buffer.size() / sampleBytes - used};
}

void readSamples(AudioFile& input, uint32_t blocks, std::vector<uint8_t>& packetSpace, SampleSpace samples) {
    if (blocks == 0) return;
    const AudioFormat& format = input.fileFormat;
    if (uint64_t{blocks} * format.blockSamples > samples.room) fail(kBuffersTooSmall);
    if (input.decoder) {
        readBlocks(fixedBlockBytes(format), input, input.decoder, packetSpace.data(), blocks, nullptr,
                   static_cast<uint32_t>(packetSpace.size()));
        decodeBlocks(input, packetSpace.data(), blocks, format.blockSamples, samples);
    } else {
        const uint64_t roomBytes = samples.room * (input.decoderFormat.sampleBits / 8);
        readBlocks(fixedBlockBytes(format), input, nullptr, samples.at, blocks, nullptr,
                   static_cast<uint32_t>(std::min<uint64_t>(roomBytes, UINT32_MAX)));
    }
}

uint32_t decodeBlocks(const AudioFile& coder, const uint8_t* packets, uint32_t blocks, uint32_t blockSamples,
                      SampleSpace samples) {
    if (blocks == 0) return 0;
    const uint64_t count = uint64_t{blocks} * blockSamples;
    if (count > samples.room) fail(kBuffersTooSmall);
    uint32_t packetBytes = 0;
    if (coder.decoder->Process(samples.at, packets, blocks, 0, &packetBytes) != count)
        fail("Error decoding audio packets: " + codecText(coder.decoderError));
    return packetBytes;
}

void copySamples(const uint8_t* source, uint32_t count, uint32_t sampleBytes, SampleSpace samples) {
    if (count == 0) return;
    if (count > samples.room) fail(kBuffersTooSmall);
    std::memcpy(samples.at, source, size_t{count} * sampleBytes);
}

uint32_t convertSamples(const AudioFormat& from, const uint8_t* source, uint32_t count, StreamEnd end,
                        SampleConverter& converter, const AudioFormat& to, SampleSpace dest) {
    return converter.convert(source, count, {from.sampleRate, from.sampleBits}, end, dest.at,
                             static_cast<uint32_t>(std::min<uint64_t>(dest.room, UINT32_MAX)),
                             {to.sampleRate, to.sampleBits});
}

StreamEnd streamEndOf(const AudioFile& input) {
    return input.blocksDone >= input.blockCount ? StreamEnd::Ends : StreamEnd::Continues;
}

EncodedBlocks encodeWholeBlocks(const AudioFile& coder, const uint8_t* samples, uint32_t count,
                                const AudioFormat& coded, uint8_t* packets, uint64_t packetRoom) {
    EncodedBlocks encoded;
    encoded.blocks = count / coded.blockSamples;
    if (encoded.blocks == 0) return encoded;
    if (uint64_t{encoded.blocks} * coded.packetBytes > packetRoom) fail(kBuffersTooSmall);
    if (coder.encoder->Process(packets, samples, encoded.blocks * coded.blockSamples, 1, &encoded.bytes) !=
        encoded.blocks)
        fail("Error encoding audio packets: " + codecText(coder.encoderError));
    return encoded;
}

uint32_t carryRest(uint32_t held, uint32_t used, uint32_t sampleBytes, std::vector<uint8_t>& buffer) {
    const uint32_t left = held - used;
    if (used > 0)
        std::memmove(buffer.data(), buffer.data() + size_t{used} * sampleBytes, size_t{left} * sampleBytes);
    return left;
}

uint32_t padToBlock(uint32_t held, uint32_t blockSamples, uint32_t sampleBits, std::vector<uint8_t>& buffer) {
    const uint32_t sampleBytes = sampleBits / 8;
    if (blockSamples > buffer.size() / sampleBytes) fail(kBuffersTooSmall);
    // 8-bit PCM is unsigned: its silence is 128.
    std::memset(buffer.data() + size_t{held} * sampleBytes, sampleBits == 8 ? 0x80 : 0,
                size_t{blockSamples - held} * sampleBytes);
    return blockSamples;
}

uint32_t writeWholeBlocks(PumpBuffers& buffers, uint32_t& held, AudioFile& output) {
    const AudioFormat& coded = output.fileFormat;
    const uint32_t sampleBytes = output.encoderFormat.sampleBits / 8;
    const uint32_t blocks = held / coded.blockSamples;
    if (output.encoder) {
        encodeWholeBlocks(output, buffers.sample.data(), held, coded, buffers.output.data(),
                          buffers.output.size());
        writeBlocks(output.encoder, buffers.output.data(), blocks, nullptr, fixedBlockBytes(coded), output,
                    static_cast<uint32_t>(buffers.output.size()));
    } else {
        writeBlocks(nullptr, buffers.sample.data(), blocks, nullptr, fixedBlockBytes(coded), output,
                    held * sampleBytes);
    }
    held = carryRest(held, blocks * coded.blockSamples, sampleBytes, buffers.sample);
    return blocks;
}

uint32_t convertPass(AudioFile& input, AudioFile& output, PumpBuffers& buffers, uint32_t& carried) {
    const AudioFormat& inFormat = input.fileFormat;
    const uint32_t remaining = input.blockCount > input.blocksDone ? input.blockCount - input.blocksDone : 0;
    uint32_t blocks =
        std::min<uint64_t>(remaining, 2ull * input.decoderFormat.sampleRate / inFormat.blockSamples);

    if (isPassThrough(input, output)) {
        // Same codec on both sides: the coded blocks are copied as they are,
        // without a decode and re-encode that would only lose quality.
        blocks = std::min<uint64_t>(blocks, buffers.packet.size() / inFormat.packetBytes);
        if (blocks == 0) return 0;
        uint32_t bytes = 0;
        readBlocks(fixedBlockBytes(inFormat), input, input.decoder, buffers.packet.data(), blocks, &bytes,
                   static_cast<uint32_t>(buffers.packet.size()));
        writeBlocks(output.encoder, buffers.packet.data(), blocks, nullptr,
                    fixedBlockBytes(output.fileFormat), output, bytes);
        return blocks;
    }

    const AudioFormat& decoderFormat = input.decoderFormat;
    const AudioFormat& encoderFormat = output.encoderFormat;
    const bool converting = needsSampleConversion(decoderFormat, encoderFormat);
    const uint32_t encodedSampleBytes = encoderFormat.sampleBits / 8;
    if (carried > buffers.sample.size() / encodedSampleBytes) fail(kBuffersTooSmall);
    const SampleSpace toEncodeSpace = spaceBehind(buffers.sample, carried, encodedSampleBytes);
    const uint32_t decodedCount = blocks * inFormat.blockSamples;

    readSamples(
        input, blocks, buffers.packet,
        converting ? spaceBehind(buffers.conversion, 0, decoderFormat.sampleBits / 8) : toEncodeSpace);
    // A pass that reads nothing ends the stream: the converter gives what it still holds.
    const StreamEnd end = blocks == 0 ? StreamEnd::Ends : streamEndOf(input);
    if (converting)
        carried += convertSamples(decoderFormat, buffers.conversion.data(), decodedCount, end,
                                  buffers.converter, encoderFormat, toEncodeSpace);
    else
        carried += decodedCount;
    // The output is not complete yet: its last block is finished with silence.
    if (blocks == 0 && carried < output.fileFormat.blockSamples)
        carried =
            padToBlock(carried, output.fileFormat.blockSamples, encoderFormat.sampleBits, buffers.sample);
    return writeWholeBlocks(buffers, carried, output);
}

uint32_t totalOutputBlocks(const AudioFile& input, const AudioFile& output) {
    const uint32_t inRate = input.decoderFormat.sampleRate;
    const uint32_t outBlock = output.fileFormat.blockSamples;
    if (inRate == 0 || outBlock == 0) return 0;
    const uint64_t inputSamples = uint64_t{input.blockCount} * input.fileFormat.blockSamples;
    const uint64_t samples = convertedSampleCount(inputSamples, inRate, output.encoderFormat.sampleRate);
    const uint64_t blocks = samples / outBlock + (samples % outBlock != 0);
    // A count beyond 32 bits cannot be written anyway; saturate rather than wrap.
    return blocks > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(blocks);
}

}  // namespace sonx
