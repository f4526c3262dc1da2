/* As on x86: a quiet NaN has the high mantissa bit set. */
#pragma once
#define HIGH_ORDER_BIT_IS_SET_FOR_SNAN 0
