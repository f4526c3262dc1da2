/* WebAssembly is little-endian; glibc's tables pick their word order by these. */
#pragma once
#include_next <endian.h>
#undef BIG_ENDI
#undef LITTLE_ENDI
#define LITTLE_ENDI 1
#define HIGH_HALF 1
#define LOW_HALF 0
