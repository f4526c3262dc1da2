// The encoder's own log10 and powers of ten against the C library's, over
// the whole range of doubles and at the edges.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "sonx/qcelp/portable_math.h"

namespace sonx {
namespace {

// Distance in units in the last place between two finite doubles.
int64_t ulps(double a, double b) {
    int64_t ia, ib;
    std::memcpy(&ia, &a, 8);
    std::memcpy(&ib, &b, 8);
    if (ia < 0) ia = std::numeric_limits<int64_t>::min() - ia;
    if (ib < 0) ib = std::numeric_limits<int64_t>::min() - ib;
    return ia > ib ? ia - ib : ib - ia;
}

TEST(PortableMath, WithinTwoUnitsOfTheLibrary) {
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> exponent(-300.0, 300.0), power(-300.0, 300.0);
    int64_t worstLog = 0, worstPow = 0;
    for (int i = 0; i < 200000; ++i) {
        const double x = std::pow(10.0, exponent(random)) * (1.0 + 1e-3 * (i % 7));
        worstLog = std::max(worstLog, ulps(portableLog10(x), std::log10(x)));
        const double y = power(random);
        worstPow = std::max(worstPow, ulps(portablePow10(y), std::pow(10.0, y)));
    }
    // Near 1, where log10 is small and relative error shows most.
    for (double x = 0.99; x < 1.01; x += 1e-6)
        if (x != 1.0) worstLog = std::max(worstLog, ulps(portableLog10(x), std::log10(x)));
    EXPECT_LE(worstLog, 2);
    EXPECT_LE(worstPow, 2);
}

TEST(PortableMath, Edges) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(portableLog10(0.0), -inf);
    EXPECT_TRUE(std::isnan(portableLog10(-1.0)));
    EXPECT_EQ(portableLog10(inf), inf);
    EXPECT_EQ(portableLog10(1.0), 0.0);
    EXPECT_EQ(portableLog10(1000.0), 3.0);
    EXPECT_NEAR(portableLog10(std::numeric_limits<double>::denorm_min()), -323.3062153431158, 1e-12);
    EXPECT_EQ(portablePow10(0.0), 1.0);
    EXPECT_EQ(portablePow10(2.0), 100.0);
    EXPECT_EQ(portablePow10(400.0), inf);
    EXPECT_EQ(portablePow10(-400.0), 0.0);
}

}  // namespace
}  // namespace sonx
