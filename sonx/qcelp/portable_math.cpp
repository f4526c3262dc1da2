#include "sonx/qcelp/portable_math.h"

#include <cmath>
#include <limits>

namespace sonx {

namespace {

// ln 2 in two parts: k * kLn2High is exact for every exponent of a double.
constexpr double kLn2High = 6.93147180369123816490e-01;
constexpr double kLn2Low = 1.90821492927058770002e-10;
// ln 10 and 1 / ln 10 as a double and the rest.
constexpr double kLn10High = 2.302585092994046;
constexpr double kLn10Low = -2.1707562233822494e-16;
constexpr double kInverseLn10High = 0.4342944819032518;
constexpr double kInverseLn10Low = 1.098319650216765e-17;

// a * b as a double and its rounding error, by Dekker's splitting.
struct Product {
    double value, error;
};
Product exactProduct(double a, double b) {
    const auto split = [](double x, double& high, double& low) {
        const double c = 134217729.0 * x;  // 2^27 + 1
        high = c - (c - x);
        low = x - high;
    };
    double aHigh, aLow, bHigh, bLow;
    split(a, aHigh, aLow);
    split(b, bHigh, bLow);
    const double p = a * b;
    return {p, ((aHigh * bHigh - p) + aHigh * bLow + aLow * bHigh) + aLow * bLow};
}

}  // namespace

double portableLog10(double x) {
    if (std::isnan(x) || x < 0.0) return std::numeric_limits<double>::quiet_NaN();
    if (x == 0.0) return -std::numeric_limits<double>::infinity();
    if (std::isinf(x)) return x;
    int exponent = 0;
    double m = std::frexp(x, &exponent);  // exact: m in [0.5, 1)
    if (m < 0.70710678118654752440) {
        m *= 2.0;
        --exponent;
    }
    // ln(1 + f) = f - (f^2/2 - s (f^2/2 + R)) with s = f / (2 + f) and
    // R = 2s^2/3 + 2s^4/5 + ...; f is exact and s^2 < 0.03.
    const double f = m - 1.0;
    const double s = f / (2.0 + f);
    const double z = s * s;
    double series = 2.0 / 29.0;
    for (int k = 27; k >= 3; k -= 2) series = series * z + 2.0 / k;
    const double r = z * series;
    const double halfSquare = 0.5 * f * f;
    const double e = exponent;
    // ln x as high + low, where high = e ln2 (high part) is exact.
    const double high = e * kLn2High;
    const double low = (e * kLn2Low + s * (halfSquare + r)) - halfSquare + f;
    const double sum = high + low;
    const double sumError = (high - sum) + low;
    const Product main = exactProduct(sum, kInverseLn10High);
    return main.value + (main.error + sum * kInverseLn10Low + sumError * kInverseLn10High);
}

double portablePow10(double y) {
    if (std::isnan(y)) return y;
    if (y > 310.0) return std::numeric_limits<double>::infinity();
    if (y < -330.0) return 0.0;
    // y ln 10 = x + xError, nearly exactly; x = k ln 2 + r with |r| < 0.35.
    const Product product = exactProduct(y, kLn10High);
    const double x = product.value;
    const double xError = product.error + y * kLn10Low;
    const double k = std::nearbyint(x * 1.44269504088896338700);
    const double r = ((x - k * kLn2High) - k * kLn2Low) + xError;
    // e^r = 1 + r (1 + r/2 (1 + r/3 (...))).
    double sum = 1.0;
    for (int n = 20; n >= 1; --n) sum = 1.0 + sum * r / n;
    return std::ldexp(sum, static_cast<int>(k));
}

}  // namespace sonx
