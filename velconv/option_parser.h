// A small table-driven command-line parser.
//
// A program describes its options in a static table of OptionSpec rows. The
// parser reads an argument vector once and returns a ParseResult: the bits of
// every option seen, the value-taking options in command-line order, and for
// each of them the plain arguments that followed it. Short options (-r, with
// clusters such as -hv) and long options (--rate, resolved by unique prefix)
// are accepted; values follow as the next argument or after "=".
#ifndef SONX_VELCONV_OPTION_PARSER_H
#define SONX_VELCONV_OPTION_PARSER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

namespace sonx::velconv {

struct OptionSpec {
    const char* shortName;  // after a single dash, or null
    uint32_t bit;           // non-zero
    uint32_t mutexMask;     // options that must not have been seen before this one
    const char* longName;   // after two dashes, or null
    const void* reserved;   // not read
    uint32_t dependMask;    // options that must all be seen by the end of the parse
};

// The texts of the command-line errors are the offending names (see the
// parser); they carry nothing beyond their message.
class UnknownOptionEx : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class MutexOptionEx : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class DependFailOptEx : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class AmbiguousOptionEx : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// All strings point into the caller's argument vector.
struct ParseResult {
    struct Entry {
        const OptionSpec* row = nullptr;  // null for the arguments before the first queued option
        const char* value = nullptr;      // text after "=", or null
        std::deque<const char*> arguments;
    };

    std::deque<Entry> entries;  // queued entries not yet taken
    uint32_t accumulatedBits = 0;
    const OptionSpec* currentRow = nullptr;
    const char* currentValue = nullptr;
    std::deque<const char*> currentArguments;

    // Takes the next queued option and makes its group current; returns its
    // bit, or 0 when none is left. Unread arguments of the previous group are
    // dropped.
    uint32_t nextOption();
    // Pops the first plain argument of the current group, or null.
    const char* nextArgument();
};

class OptionParser {
public:
    // Throws std::runtime_error on a malformed row. Options in flagOnlyMask
    // are only accumulated, never queued; options in attachedValueMask take
    // the rest of a short cluster as their value and have no long name.
    OptionParser(const OptionSpec* table, std::size_t rowCount, uint32_t flagOnlyMask,
                 uint32_t attachedValueMask);

    // Argument 0 is skipped. wholeTokenShortLookup first tries the whole text
    // after a single dash as one short name; ignoreUnknown skips unknown
    // names instead of throwing. With dashOperands a lone "-" is a plain
    // argument and "--" ends the options: every argument after it is plain.
    // Throws the *OptionEx classes.
    ParseResult parse(int argc, const char* const* argv, bool wholeTokenShortLookup, bool ignoreUnknown,
                      bool dashOperands = false);

private:
    struct ExactLess {
        bool operator()(const char* a, const char* b) const;
    };
    enum class Walk { Continue, Stop };

    void resolveLong(const char* name, bool ignoreUnknown);
    Walk clusterStep(const char* c, bool ignoreUnknown);
    void take(const OptionSpec* row, const char* value);

    uint32_t flagOnlyMask_;
    uint32_t attachedValueMask_;
    std::map<const char*, const OptionSpec*, ExactLess> shortNames_;
    // Kept in prefix-comparison order; equivalent names in reverse table order.
    std::vector<std::pair<const char*, const OptionSpec*>> longNames_;
    ParseResult working_;
};

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_OPTION_PARSER_H
