// G.711 mu-law codec: 16-bit linear PCM to and from one byte per sample.
#ifndef SONX_CODEC_MULAW_CODEC_H
#define SONX_CODEC_MULAW_CODEC_H

#include <cstdint>

#include "sonx/component/component.h"
#include "sonx/sonx.h"

namespace sonx {

// One sample to its mu-law byte, and back.
uint8_t muLawEncode(int16_t sample);
int16_t muLawDecode(uint8_t code);
// A G.711 A-law byte to its 16-bit sample (A-law WAV files are read, not written).
int16_t aLawDecode(uint8_t code);

class MuLawCodec final : public ISonxCodec, public ISonxError, public ComponentBase {
public:
    int32_t AddRef() override { return addRef(); }
    int32_t Release() override { return release(); }
    void* QueryInterface(const Guid& iid) override;

    uint8_t hasError() override { return errorSet(); }
    const char* errorText() override { return errorCString(); }
    int32_t errorCode() override { return errorStatus(); }

    uint8_t SetRateSet(const Guid& rateSet, int32_t option) override;
    void GetFormats(AudioFormat* pcmSide, AudioFormat* codedSide) override;
    int32_t PacketSize(uint8_t rateOctet) override;
    const char* Name() override { return "G.711 mu-law"; }
    uint16_t Version() override { return 1; }
    uint32_t AverageBitRate() override { return 64000; }
    uint32_t Process(uint8_t* out, const uint8_t* in, uint32_t count, uint8_t encode,
                     uint32_t* coded) override;
};

}  // namespace sonx

#endif  // SONX_CODEC_MULAW_CODEC_H
