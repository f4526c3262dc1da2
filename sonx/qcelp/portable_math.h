// Logarithms and powers of ten for the encoder's decisions, made of IEEE
// additions, multiplications and divisions only. C libraries differ in the
// last bit of log10 and pow, and a decision at a threshold can turn on that
// bit; with these, every build (native, WebAssembly) encodes the same bytes.
#ifndef SONX_QCELP_PORTABLE_MATH_H
#define SONX_QCELP_PORTABLE_MATH_H

namespace sonx {

// log10(x) within two units in the last place; -inf for 0, NaN below 0.
double portableLog10(double x);

// 10 to the power y within two units in the last place.
double portablePow10(double y);

}  // namespace sonx

#endif  // SONX_QCELP_PORTABLE_MATH_H
