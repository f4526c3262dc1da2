// The QCELP-13K codec object: configuration by rate set, packet framing of
// every rate set, and the decoding and encoding paths around the speech core.
#ifndef SONX_CODEC_QCELP_CODEC_H
#define SONX_CODEC_QCELP_CODEC_H

#include <cstdint>
#include <memory>

#include "sonx/codec/rate_sets.h"
#include "sonx/component/component.h"
#include "sonx/qcelp/decoder_state.h"
#include "sonx/qcelp/encoder.h"
#include "sonx/qcelp/qcelp_types.h"
#include "sonx/sonx.h"

namespace sonx {

inline constexpr int kSpeechBufferSamples = 220;  // 60 carried + 160 new
inline constexpr int kLookAheadSamples = 60;

// A decoded sample on the 14-bit scale as 16-bit PCM: clipped to +-8191,
// times 4, truncated toward zero; NaN gives 0.
int16_t qcelpSampleToPcm16(float y);

// A decoded frame (160 samples) as 16-bit little-endian PCM bytes, each
// sample converted exactly as qcelpSampleToPcm16 does.
void qcelpFrameToPcm16(const float* frame, uint8_t* dest);

class QcelpCodec : public ISonxPacketCodec, public ISonxError, public ComponentBase {
public:
    explicit QcelpCodec(bool secondForm);
    ~QcelpCodec() override;

    int32_t AddRef() override { return addRef(); }
    int32_t Release() override { return release(); }
    void* QueryInterface(const Guid& iid) override;

    uint8_t hasError() override { return errorSet(); }
    const char* errorText() override { return errorCString(); }
    int32_t errorCode() override { return errorStatus(); }

    uint8_t SetRateSet(const Guid& rateSet, int32_t option) override;
    void GetFormats(AudioFormat* pcmSide, AudioFormat* codedSide) override;
    int32_t PacketSize(uint8_t rateOctet) override;
    const char* Name() override { return "Qcelp 13K"; }
    uint16_t Version() override { return 2; }
    uint32_t AverageBitRate() override;
    uint32_t Process(uint8_t* out, const uint8_t* in, uint32_t count, uint8_t encode,
                     uint32_t* coded) override;
    uint32_t CountPackets(const uint8_t* data, uint32_t length, uint32_t* rest, uint32_t limit) override;

    const QcelpConfig& config() const { return config_; }

private:
    uint32_t decodePackets(uint8_t* out, const uint8_t* in, uint32_t count, uint32_t* coded);

    // Encoding path: state creation and the per-frame loop.
    void resetEncoder();
    uint32_t encodePackets(uint8_t* out, const uint8_t* in, uint32_t count, uint32_t* coded);

    Guid rateSet_;
    const RateSetInfo* rateSetInfo_;
    bool secondForm_;
    QcelpConfig config_;
    QcelpPacket packet_;
    float speech_[kSpeechBufferSamples] = {};
    float output_[kFrameSamples] = {};
    std::unique_ptr<QcelpDecoderState> decoder_;
    bool statesAllocated_ = false;
    uint32_t frameCounter_ = 0;

    // Encoder state (owned by the encoding path).
    std::unique_ptr<QcelpEncoderState> encoder_;
};

}  // namespace sonx

#endif  // SONX_CODEC_QCELP_CODEC_H
