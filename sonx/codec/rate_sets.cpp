#include "sonx/codec/rate_sets.h"

#include <cstring>

namespace sonx {

int32_t qcelpPayloadBytes(uint8_t rateOctet) {
    switch (rateOctet) {
        case RATE_BLANK: return 0;
        case RATE_EIGHTH: return 3;
        case RATE_QUARTER: return 7;
        case RATE_HALF: return 16;
        case RATE_FULL: return 34;
        case RATE_ERASURE: return 0;
        default: return -1;
    }
}

namespace {
// The first four in sonx_rate_set order: the rate sets a QCP file is written in.
const RateSetInfo kRateSets[] = {
    {&RATE_SET_VFR, "vfr", "variable rate, full rate max", 1, 4, true, 35, 14399, true},
    {&RATE_SET_VHR, "vhr", "variable rate, half rate max", 1, 3, true, 17, 7199, true},
    {&RATE_SET_FFR, "ffr", "fixed full rate", 4, 4, true, 35, 14399, true},
    {&RATE_SET_FHR, "fhr", "fixed half rate", 3, 3, true, 17, 7199, true},
    {&RATE_SET_VFR_SLOTTED, nullptr, nullptr, 1, 4, true, 35, 14399, false},
    {&RATE_SET_VHR_SLOTTED, nullptr, nullptr, 1, 3, true, 17, 7199, false},
    {&DATA_FORMAT_SAMPLES, nullptr, nullptr, 4, 4, false, 34, 14399, false},
    {&RATE_SET_FHR_BARE, nullptr, nullptr, 3, 3, false, 16, 7199, false},
};

const RateSetInfo* qcpRateSet(int rateSet) {
    return rateSet >= SONX_RATE_VFR && rateSet <= SONX_RATE_FHR ? &kRateSets[rateSet] : nullptr;
}

const char* const kPacketRateNames[SONX_PACKET_RATES] = {"full", "half", "quarter", "eighth", "blank", "erasure"};
}  // namespace

const RateSetInfo* findRateSet(const Guid& dataFormat) {
    for (const RateSetInfo& r : kRateSets)
        if (*r.id == dataFormat) return &r;
    return nullptr;
}

bool isFixedBlockFormat(const Guid& dataFormat) {
    if (dataFormat == RATE_SET_VFR || dataFormat == RATE_SET_VHR) return false;
    if (dataFormat == DATA_FORMAT_FIXED_1 || dataFormat == DATA_FORMAT_FIXED_2) return true;
    return findRateSet(dataFormat) != nullptr;
}

}  // namespace sonx

extern "C" {

const char* sonx_rate_set_name(int rate_set) {
    const sonx::RateSetInfo* row = sonx::qcpRateSet(rate_set);
    return row ? row->token : nullptr;
}

const char* sonx_rate_set_words(int rate_set) {
    const sonx::RateSetInfo* row = sonx::qcpRateSet(rate_set);
    return row ? row->words : nullptr;
}

int sonx_rate_set_by_name(const char* name) {
    for (int rateSet = SONX_RATE_VFR; name && rateSet <= SONX_RATE_FHR; ++rateSet)
        if (std::strcmp(name, sonx::qcpRateSet(rateSet)->token) == 0) return rateSet;
    return SONX_RATE_NONE;
}

int sonx_rate_set_identity(int rate_set, unsigned char identity[16]) {
    const sonx::RateSetInfo* row = sonx::qcpRateSet(rate_set);
    if (!row || !identity) return SONX_ERR_INVALID;
    std::memcpy(identity, row->id->bytes, 16);
    return SONX_OK;
}

int sonx_rate_set_of_identity(const unsigned char identity[16]) {
    for (int rateSet = SONX_RATE_VFR; identity && rateSet <= SONX_RATE_FHR; ++rateSet)
        if (std::memcmp(identity, sonx::qcpRateSet(rateSet)->id->bytes, 16) == 0) return rateSet;
    return SONX_RATE_NONE;
}

const char* sonx_packet_rate_name(int rate) {
    return rate >= 0 && rate < SONX_PACKET_RATES ? sonx::kPacketRateNames[rate] : nullptr;
}

}  // extern "C"
