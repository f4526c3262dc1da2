#include "sonx/codec/qcelp_codec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "sonx/qcelp/decoder.h"

#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
#include <emmintrin.h>
#define SONX_PCM_SSE2 1
#endif

namespace sonx {

namespace {
constexpr float kClipLimit = 8191.0f;
}  // namespace

QcelpCodec::QcelpCodec(bool secondForm)
    : rateSet_(RATE_SET_VFR), rateSetInfo_(findRateSet(RATE_SET_VFR)), secondForm_(secondForm) {}

QcelpCodec::~QcelpCodec() = default;

void* QcelpCodec::QueryInterface(const Guid& iid) {
    AddRef();
    if (iid == IID_ISonxCodec || iid == IID_ISonxPacketCodec) return static_cast<ISonxPacketCodec*>(this);
    if (iid == IID_ISonxError) return static_cast<ISonxError*>(this);
    if (iid == IID_ISonxUnknown) return static_cast<ISonxUnknown*>(static_cast<ISonxPacketCodec*>(this));
    Release();
    return nullptr;
}

uint8_t QcelpCodec::SetRateSet(const Guid& rateSet, int32_t) {
    clearError();
    const RateSetInfo* info = findRateSet(rateSet);
    if (!info) {
        // The earlier rate set, configuration and states stay in force.
        setError("Unsupported rate set selected for QCELP codec", SONX_ERR_UNSUPPORTED);
        return 0;
    }
    std::unique_ptr<QcelpDecoderState> decoder(new (std::nothrow) QcelpDecoderState);
    if (!decoder) {
        setError("Out of memory allocating QCELP codec state", SONX_ERR_NO_MEMORY);
        return 0;
    }
    initDecoderState(*decoder);

    rateSet_ = rateSet;
    rateSetInfo_ = info;
    QcelpConfig config;
    config.lowestRate = info->minRate;
    config.highestRate = info->maxRate;
    config.targetRateKbps = info->maxRate == 4 ? 14.4f : 7.2f;
    if (secondForm_) {
        config.rateReductionMode = 3;
        config.targetRateKbps = 9.0f;
    }
    config_ = config;

    decoder_ = std::move(decoder);
    resetEncoder();
    if (errorSet()) return 0;
    statesAllocated_ = true;

    std::fill(std::begin(packet_.params.lsp), std::end(packet_.params.lsp), 0u);
    frameCounter_ = 0;
    std::fill(speech_, speech_ + kLookAheadSamples, 0.0f);
    return 1;
}

void QcelpCodec::GetFormats(AudioFormat* pcmSide, AudioFormat* codedSide) {
    if (pcmSide) {
        pcmSide->codec = CODEC_PCM;
        pcmSide->dataFormat = DATA_FORMAT_SAMPLES;
        pcmSide->packetBytes = 2;
        pcmSide->blockSamples = 1;
        pcmSide->sampleRate = 8000;
        pcmSide->sampleBits = 16;
    }
    if (codedSide) {
        codedSide->codec = secondForm_ ? CODEC_QCELP13K_ALT : CODEC_QCELP13K;
        codedSide->dataFormat = rateSet_;
        codedSide->packetBytes = rateSetInfo_->maxPacketBytes;
        codedSide->blockSamples = kFrameSamples;
        codedSide->sampleRate = 8000;
        codedSide->sampleBits = 16;
    }
}

int32_t QcelpCodec::PacketSize(uint8_t rateOctet) {
    return qcelpPayloadBytes(rateOctet);
}

uint32_t QcelpCodec::AverageBitRate() {
    return rateSetInfo_->bitRate;
}

uint32_t QcelpCodec::CountPackets(const uint8_t* data, uint32_t length, uint32_t* rest, uint32_t limit) {
    uint32_t count = 0;
    uint32_t pos = 0;
    if (rateSetInfo_->rateOctet && !isFixedBlockFormat(rateSet_)) {
        while (pos < length && (limit == 0 || count < limit)) {
            const int32_t size = qcelpPayloadBytes(data[pos]);
            if (size < 0) {  // a stray byte: stepped over, no packet
                ++pos;
                continue;
            }
            if (static_cast<uint64_t>(pos) + 1 + static_cast<uint32_t>(size) > length) break;
            pos += 1 + static_cast<uint32_t>(size);
            ++count;
        }
    } else {
        const uint32_t size = rateSetInfo_->maxPacketBytes;
        count = length / size;
        if (limit != 0) count = std::min(count, limit);
        pos = count * size;
    }
    if (rest) *rest = length - pos;
    return count;
}

uint32_t QcelpCodec::Process(uint8_t* out, const uint8_t* in, uint32_t count, uint8_t encode,
                             uint32_t* coded) {
    clearError();
    if (!statesAllocated_) {
        if (coded) *coded = 0;
        setError("QCELP codec used before a rate set was chosen", SONX_ERR_INVALID);
        return 0;
    }
    return encode ? encodePackets(out, in, count, coded) : decodePackets(out, in, count, coded);
}

// ---- Decoding path ----

int16_t qcelpSampleToPcm16(float y) {
    // NaN and infinities are mapped first: converting them would be undefined.
    if (!(y == y)) return 0;
    y = y < -kClipLimit ? -kClipLimit : (y > kClipLimit ? kClipLimit : y);
    return static_cast<int16_t>(y * 4.0f);
}

void qcelpFrameToPcm16(const float* frame, uint8_t* dest) {
#ifdef SONX_PCM_SSE2
    // Eight samples at a time: the same clip, scale and truncation, and x86
    // stores the 16-bit words little-endian already.
    const __m128 low = _mm_set1_ps(-kClipLimit), high = _mm_set1_ps(kClipLimit), four = _mm_set1_ps(4.0f);
    for (int n = 0; n < kFrameSamples; n += 8) {
        __m128i words[2];
        for (int half = 0; half < 2; ++half) {
            const __m128 y = _mm_loadu_ps(frame + n + 4 * half);
            // max and min give the clip limit for a NaN; the mask then makes it 0.
            const __m128 clipped = _mm_and_ps(_mm_min_ps(_mm_max_ps(y, low), high), _mm_cmpord_ps(y, y));
            words[half] = _mm_cvttps_epi32(_mm_mul_ps(clipped, four));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 2 * n), _mm_packs_epi32(words[0], words[1]));
    }
#else
    for (int n = 0; n < kFrameSamples; ++n) {
        const uint16_t s = static_cast<uint16_t>(qcelpSampleToPcm16(frame[n]));
        dest[2 * n] = static_cast<uint8_t>(s & 0xFF);
        dest[2 * n + 1] = static_cast<uint8_t>(s >> 8);
    }
#endif
}

uint32_t QcelpCodec::decodePackets(uint8_t* out, const uint8_t* in, uint32_t count, uint32_t* coded) {
    const bool octets = rateSetInfo_->rateOctet;
    const bool variable = octets && !isFixedBlockFormat(rateSet_);
    const uint32_t fixedPayload = rateSetInfo_->maxPacketBytes - (octets ? 1u : 0u);
    uint32_t pos = 0;
    for (uint32_t done = 0; done < count;) {
        uint32_t payloadBytes = fixedPayload;
        if (octets) {
            const uint8_t octet = in[pos];
            if (variable) {
                const int32_t size = qcelpPayloadBytes(octet);
                if (size < 0) {  // not a rate octet: skipped, no packet
                    ++pos;
                    continue;
                }
                payloadBytes = static_cast<uint32_t>(size);
            }
            packet_.rateOctet = octet;
            ++pos;
        } else {
            packet_.rateOctet = rateSetInfo_->maxRate;
        }
        std::memcpy(packet_.payload, in + pos, payloadBytes);
        std::memset(packet_.payload + payloadBytes, 0, sizeof packet_.payload - payloadBytes);
        pos += payloadBytes;

        decodeFrame(output_, packet_, config_, *decoder_);

        qcelpFrameToPcm16(output_, out + static_cast<size_t>(done) * kFrameSamples * 2);
        ++done;
    }
    if (coded) *coded = pos;
    return count * kFrameSamples;
}

ISonxUnknown* newQcelpCodec(bool secondForm) {
    return static_cast<ISonxUnknown*>(static_cast<ISonxPacketCodec*>(new QcelpCodec(secondForm)));
}

// ---- Encoding path ----

void QcelpCodec::resetEncoder() {
    std::unique_ptr<QcelpEncoderState> encoder(new (std::nothrow) QcelpEncoderState);
    if (!encoder) {
        setError("Out of memory allocating QCELP codec state", SONX_ERR_NO_MEMORY);
        return;
    }
    initEncoderState(*encoder, config_);
    encoder_ = std::move(encoder);
    // A new stream starts its eighth-rate noise from the same seed.
    packet_.params.seed = 0;
}

uint32_t QcelpCodec::encodePackets(uint8_t* out, const uint8_t* in, uint32_t count, uint32_t* coded) {
    const uint32_t frames = count / kFrameSamples;
    const bool octets = rateSetInfo_->rateOctet;
    const bool variable = octets && !isFixedBlockFormat(rateSet_);
    const uint32_t fixedPayload = rateSetInfo_->maxPacketBytes - (octets ? 1u : 0u);
    uint32_t pos = 0;
    for (uint32_t f = 0; f < frames; ++f) {
        const uint8_t* pcm = in + static_cast<size_t>(f) * kFrameSamples * 2;
        for (int n = 0; n < kFrameSamples; ++n) {
            const int16_t x = static_cast<int16_t>(pcm[2 * n] | (pcm[2 * n + 1] << 8));
            speech_[kLookAheadSamples + n] = static_cast<float>(x / 4);  // truncates toward zero
        }
        encodeFrame(speech_, packet_, config_, *encoder_);

        uint32_t payloadBytes = fixedPayload;
        if (variable) payloadBytes = static_cast<uint32_t>(std::max(qcelpPayloadBytes(packet_.rateOctet), 0));
        if (octets) out[pos++] = packet_.rateOctet;
        std::memcpy(out + pos, packet_.payload, payloadBytes);
        pos += payloadBytes;

        std::copy(speech_ + kFrameSamples, speech_ + kSpeechBufferSamples, speech_);
        encoder_->rate.frameCounter = static_cast<int32_t>(++frameCounter_);
    }
    if (coded) *coded = pos;
    return frames;
}

}  // namespace sonx
