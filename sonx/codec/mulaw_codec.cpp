#include "sonx/codec/mulaw_codec.h"

#include <new>

namespace sonx {

namespace {
constexpr int kBias = 132;
constexpr int kClip = 32635;
}  // namespace

uint8_t muLawEncode(int16_t sample) {
    int magnitude = sample;
    uint8_t sign = 0;
    if (magnitude < 0) {
        sign = 0x80;
        magnitude = -magnitude;
    }
    if (magnitude > kClip) magnitude = kClip;
    magnitude += kBias;
    // Segment: highest set bit among bits 7..14 of the biased magnitude.
    int segment = 7;
    while (segment > 0 && !(magnitude & (0x80 << segment))) --segment;
    const int step = (magnitude >> (segment + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (segment << 4) | step));
}

int16_t muLawDecode(uint8_t code) {
    const int u = static_cast<uint8_t>(~code);
    int t = ((u & 0x0F) << 3) + kBias;
    t <<= (u & 0x70) >> 4;
    return static_cast<int16_t>((u & 0x80) ? kBias - t : t - kBias);
}

int16_t aLawDecode(uint8_t code) {
    // Even bits are sent inverted; the sign bit set means positive.
    const int a = code ^ 0x55;
    const int segment = (a & 0x70) >> 4;
    int t = (a & 0x0F) << 4;
    if (segment == 0) {
        t += 8;
    } else {
        t += 0x108;
        t <<= segment - 1;
    }
    return static_cast<int16_t>((a & 0x80) ? t : -t);
}

void* MuLawCodec::QueryInterface(const Guid& iid) {
    AddRef();
    if (iid == IID_ISonxCodec) return static_cast<ISonxCodec*>(this);
    if (iid == IID_ISonxError) return static_cast<ISonxError*>(this);
    if (iid == IID_ISonxUnknown) return static_cast<ISonxUnknown*>(static_cast<ISonxCodec*>(this));
    Release();
    return nullptr;
}

uint8_t MuLawCodec::SetRateSet(const Guid& rateSet, int32_t) {
    clearError();
    if (!(rateSet == DATA_FORMAT_SAMPLES)) {
        setError("Unsupported rate set selected for mu-law codec", SONX_ERR_UNSUPPORTED);
        return 0;
    }
    return 1;
}

void MuLawCodec::GetFormats(AudioFormat* pcmSide, AudioFormat* codedSide) {
    // G.711 codes each sample alone, so it has no rate of its own: both sides
    // keep the rate the coded side states (a WAV file's), 8000 when none.
    const uint32_t rate = codedSide && codedSide->sampleRate ? codedSide->sampleRate : 8000;
    auto fill = [rate](AudioFormat* f, const Guid& codec, uint32_t packetBytes, uint32_t bits) {
        if (!f) return;
        f->codec = codec;
        f->dataFormat = DATA_FORMAT_SAMPLES;
        f->packetBytes = packetBytes;
        f->blockSamples = 1;
        f->sampleRate = rate;
        f->sampleBits = bits;
    };
    fill(pcmSide, CODEC_PCM, 2, 16);
    fill(codedSide, CODEC_G711_ULAW, 1, 8);
}

int32_t MuLawCodec::PacketSize(uint8_t) {
    return 1;
}

uint32_t MuLawCodec::Process(uint8_t* out, const uint8_t* in, uint32_t count, uint8_t encode,
                             uint32_t* coded) {
    if (encode) {
        for (uint32_t i = 0; i < count; ++i)
            out[i] = muLawEncode(static_cast<int16_t>(in[2 * i] | (in[2 * i + 1] << 8)));
    } else {
        for (uint32_t i = 0; i < count; ++i) {
            const uint16_t s = static_cast<uint16_t>(muLawDecode(in[i]));
            out[2 * i] = static_cast<uint8_t>(s);
            out[2 * i + 1] = static_cast<uint8_t>(s >> 8);
        }
    }
    if (coded) *coded = count;
    return count;
}

ISonxUnknown* newMuLawCodec() {
    auto* codec = new (std::nothrow) MuLawCodec;
    return codec ? static_cast<ISonxUnknown*>(static_cast<ISonxCodec*>(codec)) : nullptr;
}

}  // namespace sonx
