// Measures the start of an encoded steady tone: per 20 ms of the decoded
// tone (the codec's 60-sample delay taken off), its peak, its RMS and the
// share of its energy above 1.5 kHz. The tone may follow a silent lead-in
// (the coder then meets the onset already running) and may fade in.
// Usage: start_burst [Hz [amplitude [vfr|vhr|ffr|fhr [lead-in ms [fade-in ms]]]]]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sonx/sonx.h"

namespace {

constexpr int kRate = 8000, kFrame = 160, kFrames = 12, kDelay = 60;

struct FrameFacts {
    double peak = 0, rms = 0, highShare = 0;
};

// Peak, RMS and the energy share above `splitHz` of one frame (plain DFT).
FrameFacts measure(const float* x, double splitHz) {
    FrameFacts f;
    double total = 0, high = 0, energy = 0;
    for (int i = 0; i < kFrame; ++i) {
        f.peak = std::max(f.peak, std::fabs(double(x[i])));
        energy += double(x[i]) * x[i];
    }
    f.rms = std::sqrt(energy / kFrame);
    for (int k = 1; k < kFrame / 2; ++k) {
        double re = 0, im = 0;
        for (int i = 0; i < kFrame; ++i) {
            re += x[i] * std::cos(2 * M_PI * k * i / kFrame);
            im -= x[i] * std::sin(2 * M_PI * k * i / kFrame);
        }
        const double power = re * re + im * im;
        total += power;
        if (double(k) * kRate / kFrame > splitHz) high += power;
    }
    f.highShare = total > 0 ? high / total : 0;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const double hz = argc > 1 ? std::atof(argv[1]) : 1000, amplitude = argc > 2 ? std::atof(argv[2]) : 0.5;
    const char* rateName = argc > 3 ? argv[3] : "vfr";
    const int leadIn = argc > 4 ? std::atoi(argv[4]) * kRate / 1000 : 0;
    const int fadeIn = argc > 5 ? std::atoi(argv[5]) * kRate / 1000 : 0;
    const sonx::Guid rateSet = std::strcmp(rateName, "vhr") == 0   ? sonx::RATE_SET_VHR
                               : std::strcmp(rateName, "ffr") == 0 ? sonx::RATE_SET_FFR
                               : std::strcmp(rateName, "fhr") == 0 ? sonx::RATE_SET_FHR
                                                                   : sonx::RATE_SET_VFR;
    // Whole frames, with room for the delay at the end.
    const int total = (leadIn + kDelay + kFrame * kFrames + kFrame - 1) / kFrame * kFrame;
    std::vector<int16_t> tone(static_cast<size_t>(total));
    for (int i = leadIn; i < total; ++i) {
        const double t = i - leadIn;
        const double ramp = fadeIn > 0 && t < fadeIn ? t / fadeIn : 1.0;
        tone[i] = int16_t(std::lround(32767 * amplitude * ramp * std::sin(2 * M_PI * hz * t / kRate)));
    }

    auto* encoder = sonx::createInstance<sonx::ISonxCodec>(sonx::CODEC_QCELP13K);
    auto* decoder = sonx::createInstance<sonx::ISonxCodec>(sonx::CODEC_QCELP13K);
    if (!encoder || !decoder || !encoder->SetRateSet(rateSet, 0) || !decoder->SetRateSet(rateSet, 0)) {
        std::fprintf(stderr, "no codec\n");
        return 1;
    }
    std::vector<uint8_t> packets(36 * tone.size() / kFrame);
    uint32_t coded = 0;
    const uint32_t count = encoder->Process(packets.data(), reinterpret_cast<const uint8_t*>(tone.data()),
                                            uint32_t(tone.size()), 1, &coded);
    std::vector<int16_t> decoded(tone.size());
    const uint32_t samples =
        decoder->Process(reinterpret_cast<uint8_t*>(decoded.data()), packets.data(), count, 0, &coded);
    std::printf("%.0f Hz at %.2f of full scale, %s, lead-in %d, fade-in %d samples: %u packets\n", hz, amplitude,
                rateName, leadIn, fadeIn, count);
    std::printf("rates from the first tone frame:");
    size_t at = 0;
    for (uint32_t frame = 0; frame < count; ++frame) {
        if (int(frame + 1) * kFrame > leadIn) std::printf(" %u", packets[at]);
        at += 1 + size_t(encoder->PacketSize(packets[at]));
    }
    std::printf("\n20ms  peak   rms    >1.5kHz   (input: peak rms >1.5kHz)\n");
    std::vector<float> x(kFrame), in(kFrame);
    for (int window = 0; window < kFrames && leadIn + kDelay + (window + 1) * kFrame <= int(samples); ++window) {
        for (int i = 0; i < kFrame; ++i) {
            x[i] = decoded[leadIn + kDelay + window * kFrame + i] / 32768.0f;
            in[i] = tone[leadIn + window * kFrame + i] / 32768.0f;
        }
        const FrameFacts f = measure(x.data(), 1500), g = measure(in.data(), 1500);
        std::printf("%4d  %.3f  %.3f  %5.1f%%    (%.3f %.3f %5.1f%%)\n", window, f.peak, f.rms, 100 * f.highShare,
                    g.peak, g.rms, 100 * g.highShare);
    }
    encoder->Release();
    decoder->Release();
    return 0;
}
