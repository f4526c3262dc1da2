// The AVX2 forms of the coder's kernels, chosen at run time, write the same
// bytes as the baseline forms that other CPUs and the WebAssembly build
// run: velconv with and without SONX_QCELP_BASELINE, which keeps the
// baseline forms, encodes and decodes the test speech at every rate set.
#include <gtest/gtest.h>

#include <string>

#include "support/process.h"
#include "support/test_support.h"

namespace sonx {
namespace {

TEST(WideForms, EncodeAndDecodeTheBytesOfTheBaselineForms) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "this CPU runs the baseline forms only";
    test::TempDir dir;
    std::string script = "true";
    for (const char* input : {"speech_8k.wav", "speech_16k.wav"}) {
        for (const char* rateSet : {"vfr", "vhr", "ffr", "fhr"}) {
            const std::string encode = std::string("$V -q -r ") + rateSet + " " + test::testDataPath(input);
            script += " && " + encode + " wide.qcp && SONX_QCELP_BASELINE=1 " + encode + " baseline.qcp" +
                      " && cmp wide.qcp baseline.qcp && $V -q wide.qcp wide.wav" +
                      " && SONX_QCELP_BASELINE=1 $V -q wide.qcp baseline.wav && cmp wide.wav baseline.wav" +
                      " && rm wide.* baseline.*";
        }
    }
    const test::RunResult r = test::runShell(script, dir.path());
    EXPECT_EQ(r.exitStatus, 0) << r.errorOutput;
#else
    GTEST_SKIP() << "this build has the baseline forms only";
#endif
}

}  // namespace
}  // namespace sonx
