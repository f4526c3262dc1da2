#include "sonx/codec/rate_sets.h"

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
const RateSetInfo kRateSets[] = {
    {&RATE_SET_VFR, "vfr", 1, 4, true, 35, 14399, true},
    {&RATE_SET_VHR, "vhr", 1, 3, true, 17, 7199, true},
    {&RATE_SET_FFR, "ffr", 4, 4, true, 35, 14399, true},
    {&RATE_SET_FHR, "fhr", 3, 3, true, 17, 7199, true},
    {&RATE_SET_VFR_SLOTTED, nullptr, 1, 4, true, 35, 14399, false},
    {&RATE_SET_VHR_SLOTTED, nullptr, 1, 3, true, 17, 7199, false},
    {&DATA_FORMAT_SAMPLES, nullptr, 4, 4, false, 34, 14399, false},
    {&RATE_SET_FHR_BARE, nullptr, 3, 3, false, 16, 7199, false},
};
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
