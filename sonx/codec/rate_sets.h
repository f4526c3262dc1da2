// Rate sets, rate octets and packet sizes of the coded data formats.
#ifndef SONX_CODEC_RATE_SETS_H
#define SONX_CODEC_RATE_SETS_H

#include <cstdint>

#include "sonx/sonx.h"

namespace sonx {

// Rate octets of QCELP-13K packets.
enum RateOctet : uint8_t {
    RATE_BLANK = 0,
    RATE_EIGHTH = 1,
    RATE_QUARTER = 2,
    RATE_HALF = 3,
    RATE_FULL = 4,
    RATE_ERASURE = 14,
};

// Payload bytes after a QCELP-13K rate octet, -1 for a byte that is none.
int32_t qcelpPayloadBytes(uint8_t rateOctet);

struct RateSetInfo {
    const Guid* id;
    const char* token;        // command-line token (sonx_rate_set_name), or null
    const char* words;        // what it is, for people (sonx_rate_set_words), or null
    uint8_t minRate;          // lowest rate octet the encoder may use (1..4)
    uint8_t maxRate;          // highest
    bool rateOctet;           // each packet starts with its rate octet
    uint32_t maxPacketBytes;  // largest packet in the stream, rate octet included
    uint32_t bitRate;         // average bit rate the codec reports
    bool validInQcp;
};

// The rate sets QCELP-13K accepts, or null for any other identity.
const RateSetInfo* findRateSet(const Guid& dataFormat);

// Fixed-size blocks: every known data format except the two variable ones.
bool isFixedBlockFormat(const Guid& dataFormat);

}  // namespace sonx

#endif  // SONX_CODEC_RATE_SETS_H
