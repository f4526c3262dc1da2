#include "velconv/option_parser.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

namespace sonx::velconv {
namespace {

static_assert(std::is_base_of_v<std::runtime_error, UnknownOptionEx>);
static_assert(std::is_base_of_v<std::runtime_error, MutexOptionEx>);
static_assert(std::is_base_of_v<std::runtime_error, DependFailOptEx>);
static_assert(std::is_base_of_v<std::runtime_error, AmbiguousOptionEx>);

// The command line's own table.
constexpr OptionSpec kVelconv[] = {
    {"h", 1, 0, "help", nullptr, 0},
    {"v", 2, 0, "version", nullptr, 0},
    {"m", 8, 0, "mode", nullptr, 0},
    {"r", 128, 0, "rate", nullptr, 0},
};

// Arguments are string literals, so the result's pointers stay valid.
ParseResult parse(OptionParser& parser, std::initializer_list<const char*> args, bool wholeToken = true,
                  bool ignoreUnknown = false) {
    std::vector<const char*> argv{"prog"};
    argv.insert(argv.end(), args);
    return parser.parse(static_cast<int>(argv.size()), argv.data(), wholeToken, ignoreUnknown);
}

OptionParser velconvParser() {
    return OptionParser(kVelconv, std::size(kVelconv), 3, 0);
}

template <class Ex>
std::string thrownText(OptionParser& parser, std::initializer_list<const char*> args,
                       bool wholeToken = true) {
    try {
        parse(parser, args, wholeToken);
    } catch (const Ex& e) {
        return e.what();
    }
    ADD_FAILURE() << "expected exception not thrown";
    return "";
}

std::vector<std::string> drain(ParseResult& r) {
    std::vector<std::string> out;
    while (const char* a = r.nextArgument()) out.emplace_back(a);
    return out;
}

TEST(OptionParser, LongNamesResolveByPrefixAndMayRunPast) {
    OptionParser p = velconvParser();
    for (const char* arg : {"--ra", "--r", "--rate", "--rates"}) {
        ParseResult r = parse(p, {arg, "vhr"});
        EXPECT_EQ(r.accumulatedBits, 128u) << arg;
        ASSERT_EQ(r.nextOption(), 128u) << arg;
        EXPECT_EQ(r.currentValue, nullptr);
        EXPECT_STREQ(r.nextArgument(), "vhr");
    }
    EXPECT_EQ(parse(p, {"--h"}).accumulatedBits, 1u);
    EXPECT_EQ(parse(p, {"--helpme"}).accumulatedBits, 1u);

    ParseResult r = parse(p, {"--ra=ffr"});
    ASSERT_EQ(r.nextOption(), 128u);
    EXPECT_STREQ(r.currentValue, "ffr");
}

TEST(OptionParser, UnknownLongNamesCarryTheWholeText) {
    OptionParser p = velconvParser();
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"--x"}), "x");
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"--=x"}), "=x");
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"--foo=bar"}), "foo=bar");
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"--"}), "--");
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"-"}), "-");
}

TEST(OptionParser, AmbiguousPrefixesListTheCompletions) {
    constexpr OptionSpec table[] = {{nullptr, 1, 0, "mode", nullptr, 0}, {nullptr, 2, 0, "mods", nullptr, 0}};
    OptionParser p(table, 2, 0, 0);
    EXPECT_EQ(thrownText<AmbiguousOptionEx>(p, {"--mo"}),
              "Unable to resolve option '--mo'. Possible completions include: mode, mods");
    EXPECT_EQ(thrownText<AmbiguousOptionEx>(p, {"--mod=3"}),
              "Unable to resolve option '--mod'. Possible completions include: mode, mods");
    ParseResult r = parse(p, {"--mode", "--mods=x"});
    ASSERT_EQ(r.nextOption(), 1u);
    ASSERT_EQ(r.nextOption(), 2u);
    EXPECT_STREQ(r.currentValue, "x");

    // One name a prefix of the other: the shorter is ambiguous when typed in
    // full; equivalent names are listed in reverse table order.
    constexpr OptionSpec nested[] = {{nullptr, 1, 0, "mode", nullptr, 0},
                                     {nullptr, 2, 0, "model", nullptr, 0}};
    OptionParser q(nested, 2, 0, 0);
    EXPECT_EQ(thrownText<AmbiguousOptionEx>(q, {"--mode"}),
              "Unable to resolve option '--mode'. Possible completions include: model, mode");
    // A typed name may run past a long name, so no spelling reaches model alone.
    EXPECT_EQ(thrownText<AmbiguousOptionEx>(q, {"--models"}),
              "Unable to resolve option '--models'. Possible completions include: model, mode");
}

TEST(OptionParser, DuplicateLongNamesAreAlwaysAmbiguous) {
    constexpr OptionSpec table[] = {{"a", 1, 0, "rate", nullptr, 0}, {"b", 2, 0, "rate", nullptr, 0}};
    OptionParser p(table, 2, 0, 0);
    EXPECT_EQ(thrownText<AmbiguousOptionEx>(p, {"--r"}),
              "Unable to resolve option '--r'. Possible completions include: rate, rate");
    EXPECT_EQ(thrownText<AmbiguousOptionEx>(p, {"--rate"}),
              "Unable to resolve option '--rate'. Possible completions include: rate, rate");
}

TEST(OptionParser, ShortClusters) {
    OptionParser p = velconvParser();
    EXPECT_EQ(parse(p, {"-hv"}).accumulatedBits, 3u);
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"-hx"}), "x");
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"-rate"}), "a");
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"-m3"}), "3");
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"-m", "-1"}), "1");

    // Flag-only options are never queued; the others queue once per mention.
    ParseResult r = parse(p, {"-hmr"});
    EXPECT_EQ(r.accumulatedBits, 1u | 8u | 128u);
    EXPECT_EQ(r.nextOption(), 8u);
    EXPECT_EQ(r.nextOption(), 128u);
    EXPECT_EQ(r.nextOption(), 0u);
}

TEST(OptionParser, EqualsValues) {
    OptionParser p = velconvParser();
    ParseResult r = parse(p, {"-r=vhr"});
    ASSERT_EQ(r.nextOption(), 128u);
    EXPECT_STREQ(r.currentValue, "vhr");

    r = parse(p, {"-hr=vhr"});
    EXPECT_EQ(r.accumulatedBits, 129u);
    ASSERT_EQ(r.nextOption(), 128u);
    EXPECT_STREQ(r.currentValue, "vhr");

    // Without the whole-token lookup the cluster walk finds the same value.
    r = parse(p, {"-r=fhr"}, false);
    ASSERT_EQ(r.nextOption(), 128u);
    EXPECT_STREQ(r.currentValue, "fhr");

    r = parse(p, {"-m="});
    ASSERT_EQ(r.nextOption(), 8u);
    EXPECT_STREQ(r.currentValue, "");
}

TEST(OptionParser, PlainArgumentsBelongToTheGroupTheyFollow) {
    OptionParser p = velconvParser();
    ParseResult r = parse(p, {"a", "-r", "x", "b", "c"});
    ASSERT_EQ(r.nextOption(), 128u);
    EXPECT_EQ(r.currentValue, nullptr);
    EXPECT_EQ(drain(r), (std::vector<std::string>{"x", "b", "c"}));
    EXPECT_EQ(r.nextOption(), 0u);
    EXPECT_EQ(r.nextArgument(), nullptr);

    // Before any nextOption the leading group is current.
    r = parse(p, {"a", "b", "-m", "1", "c"});
    EXPECT_STREQ(r.nextArgument(), "a");
    ASSERT_EQ(r.nextOption(), 8u);  // the rest of the leading group is dropped
    EXPECT_EQ(drain(r), (std::vector<std::string>{"1", "c"}));

    // Flag-only options do not open a group.
    r = parse(p, {"-r", "x", "-h", "y"});
    ASSERT_EQ(r.nextOption(), 128u);
    EXPECT_EQ(drain(r), (std::vector<std::string>{"x", "y"}));

    r = parse(p, {});
    EXPECT_EQ(r.accumulatedBits, 0u);
    EXPECT_EQ(r.nextOption(), 0u);
    EXPECT_EQ(r.nextArgument(), nullptr);

    r = parse(p, {"in", "out"});
    EXPECT_EQ(r.nextOption(), 0u);
    EXPECT_EQ(drain(r), (std::vector<std::string>{"in", "out"}));
}

TEST(OptionParser, TableErrors) {
    auto constructError = [](std::initializer_list<OptionSpec> rows) -> std::string {
        std::vector<OptionSpec> table(rows);
        try {
            OptionParser p(table.data(), table.size(), 0, 0);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "(none)";
    };
    EXPECT_EQ(constructError({{"a", 1, 0, nullptr, nullptr, 0}, {"b", 0, 0, nullptr, nullptr, 0}}),
              "invalid option/mask specified");
    EXPECT_EQ(constructError({{"a", 1, 6, nullptr, nullptr, 2}}),
              "option cannot share the same mutex and dependency option(s)");
    EXPECT_EQ(constructError({{"a", 1, 0, nullptr, nullptr, 0}, {nullptr, 2, 0, nullptr, nullptr, 0}}),
              "atleast one of the options must be valid");
    EXPECT_EQ(constructError({{"a", 1, 2, nullptr, nullptr, 4}}), "(none)");
}

TEST(OptionParser, FirstRowWithAShortNameWins) {
    constexpr OptionSpec table[] = {{"x", 4, 0, nullptr, nullptr, 0}, {"x", 8, 0, nullptr, nullptr, 0}};
    OptionParser p(table, 2, 0, 0);
    EXPECT_EQ(parse(p, {"-x"}).accumulatedBits, 4u);
}

TEST(OptionParser, MutexLooksOnlyBackwards) {
    constexpr OptionSpec table[] = {
        {"a", 1, 2, nullptr, nullptr, 0},
        {"b", 2, 0, nullptr, nullptr, 0},
        {nullptr, 4, 2, "long", nullptr, 0},
    };
    OptionParser p(table, 3, 0, 0);
    EXPECT_EQ(thrownText<MutexOptionEx>(p, {"-b", "-a"}), "a");
    EXPECT_EQ(thrownText<MutexOptionEx>(p, {"-ba"}), "a");
    EXPECT_EQ(thrownText<MutexOptionEx>(p, {"-b", "--long"}), "long");
    EXPECT_EQ(parse(p, {"-a", "-b"}).accumulatedBits, 3u);
}

TEST(OptionParser, DependenciesAreCheckedAtTheEnd) {
    constexpr OptionSpec table[] = {
        {"a", 1, 0, nullptr, nullptr, 2},
        {"b", 2, 0, nullptr, nullptr, 0},
        {nullptr, 4, 0, "needy", nullptr, 8},
        {"f", 8, 0, nullptr, nullptr, 16},  // flag-only: its own dependency is not checked
    };
    OptionParser p(table, 4, 8, 0);
    EXPECT_EQ(thrownText<DependFailOptEx>(p, {"-a"}), "a");
    EXPECT_EQ(thrownText<DependFailOptEx>(p, {"--needy"}), "needy");
    EXPECT_EQ(parse(p, {"-a", "-b"}).accumulatedBits, 3u);
    EXPECT_EQ(parse(p, {"-b", "-a"}).accumulatedBits, 3u);
    EXPECT_EQ(parse(p, {"--needy", "-f"}).accumulatedBits, 12u);
}

TEST(OptionParser, AttachedValuesTakeTheRestOfTheCluster) {
    constexpr OptionSpec table[] = {{"o", 1, 0, "output", nullptr, 0}, {"q", 2, 0, nullptr, nullptr, 0}};
    OptionParser p(table, 2, 0, 1);
    ParseResult r = parse(p, {"-qofile.txt"});
    ASSERT_EQ(r.nextOption(), 2u);
    ASSERT_EQ(r.nextOption(), 1u);
    EXPECT_STREQ(r.currentValue, "file.txt");
    r = parse(p, {"-o"}, false);
    ASSERT_EQ(r.nextOption(), 1u);
    EXPECT_STREQ(r.currentValue, "");
    r = parse(p, {"-o"});  // found whole, so no attached text at all
    ASSERT_EQ(r.nextOption(), 1u);
    EXPECT_EQ(r.currentValue, nullptr);
    // Its long name is not registered.
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"--output"}), "output");
}

TEST(OptionParser, WholeTokenLookupFindsLongShortNames) {
    constexpr OptionSpec table[] = {{"ab", 1, 0, nullptr, nullptr, 0}, {"b", 2, 0, nullptr, nullptr, 0}};
    OptionParser p(table, 2, 0, 0);
    EXPECT_EQ(parse(p, {"-ab"}).accumulatedBits, 1u);
    EXPECT_EQ(thrownText<UnknownOptionEx>(p, {"-ab"}, false), "a");
}

TEST(OptionParser, IgnoreUnknownSkipsWhatItCannotPlace) {
    OptionParser p = velconvParser();
    ParseResult r = parse(p, {"--", "--nope=1", "-qhz", "-", "f"}, true, true);
    EXPECT_EQ(r.accumulatedBits, 1u);
    EXPECT_EQ(drain(r), (std::vector<std::string>{"f"}));
}

TEST(OptionParser, ReusableAfterAFailedParse) {
    OptionParser p = velconvParser();
    EXPECT_THROW(parse(p, {"-r", "x", "-h", "--bogus"}), UnknownOptionEx);
    ParseResult r = parse(p, {"y"});
    EXPECT_EQ(r.accumulatedBits, 0u);
    EXPECT_EQ(r.nextOption(), 0u);
    EXPECT_EQ(drain(r), (std::vector<std::string>{"y"}));
}

TEST(OptionParser, DashOperandsMakeDashPlainAndDoubleDashEndTheOptions) {
    OptionParser p = velconvParser();
    const char* argv[] = {"prog", "-r", "vhr", "-", "--", "-h", "--", "--rate", "-"};
    ParseResult r = p.parse(static_cast<int>(std::size(argv)), argv, true, false, true);
    EXPECT_EQ(r.accumulatedBits, 128u) << "nothing after -- is an option";
    EXPECT_EQ(r.nextOption(), 128u);
    EXPECT_EQ(drain(r), (std::vector<std::string>{"vhr", "-", "-h", "--", "--rate", "-"}));
}

}  // namespace
}  // namespace sonx::velconv
