#include "velconv/option_parser.h"

#include <cstring>
#include <string>

namespace sonx::velconv {

namespace {

// Names end at a NUL or at the "=" that introduces a value.
bool nameEnd(char c) {
    return c == '\0' || c == '=';
}

signed char sc(char c) {
    return static_cast<signed char>(c);
}

// Ordering of long names in which a non-empty prefix of a name is equivalent
// to it, so that typed abbreviations find their option. Returns <0, 0, >0.
int prefixCompare(const char* a, const char* b) {
    std::size_t i = 0;
    for (;; ++i) {
        const bool endA = nameEnd(a[i]);
        const bool endB = nameEnd(b[i]);
        if (endA || endB) {
            if (i > 0 || (endA && endB)) return 0;
            return endA ? -1 : 1;  // an empty name sorts first
        }
        if (a[i] != b[i]) return sc(a[i]) < sc(b[i]) ? -1 : 1;
    }
}

std::string nameText(const char* name) {
    std::size_t n = 0;
    while (!nameEnd(name[n])) ++n;
    return std::string(name, n);
}

// Short name if there is one, else the long name.
std::string rowName(const OptionSpec* row) {
    return row->shortName ? row->shortName : row->longName;
}

}  // namespace

bool OptionParser::ExactLess::operator()(const char* a, const char* b) const {
    for (std::size_t i = 0;; ++i) {
        const bool endA = nameEnd(a[i]);
        const bool endB = nameEnd(b[i]);
        if (endA || endB) return endA && !endB;
        if (a[i] != b[i]) return sc(a[i]) < sc(b[i]);
    }
}

uint32_t ParseResult::nextOption() {
    while (!entries.empty()) {
        Entry entry = std::move(entries.front());
        entries.pop_front();
        currentRow = entry.row;
        currentValue = entry.value;
        currentArguments = std::move(entry.arguments);
        if (currentRow) return currentRow->bit;
    }
    return 0;
}

const char* ParseResult::nextArgument() {
    if (currentArguments.empty()) return nullptr;
    const char* argument = currentArguments.front();
    currentArguments.pop_front();
    return argument;
}

OptionParser::OptionParser(const OptionSpec* table, std::size_t rowCount, uint32_t flagOnlyMask,
                           uint32_t attachedValueMask)
    : flagOnlyMask_(flagOnlyMask), attachedValueMask_(attachedValueMask) {
    // Last row first, so the first row with a given short name wins and
    // equivalent long names end up in reverse table order.
    for (std::size_t n = rowCount; n-- > 0;) {
        const OptionSpec* row = &table[n];
        if (row->bit == 0) throw std::runtime_error("invalid option/mask specified");
        if (row->mutexMask & row->dependMask)
            throw std::runtime_error("option cannot share the same mutex and dependency option(s)");
        if (row->shortName) shortNames_[row->shortName] = row;
        if (row->longName && !(row->bit & attachedValueMask_)) {
            auto pos = longNames_.begin();
            while (pos != longNames_.end() && prefixCompare(row->longName, pos->first) >= 0) ++pos;
            longNames_.insert(pos, {row->longName, row});
        }
        if (!row->shortName && !row->longName)
            throw std::runtime_error("atleast one of the options must be valid");
    }
}

ParseResult OptionParser::parse(int argc, const char* const* argv, bool wholeTokenShortLookup,
                                bool ignoreUnknown, bool dashOperands) {
    working_ = ParseResult{};
    working_.entries.emplace_back();

    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-' || optionsEnded || (dashOperands && arg[1] == '\0')) {
            working_.entries.back().arguments.push_back(arg);
        } else if (arg[1] == '-' && arg[2] == '\0') {
            if (dashOperands)
                optionsEnded = true;
            else if (!ignoreUnknown)
                throw UnknownOptionEx("--");
        } else if (arg[1] == '-') {
            resolveLong(arg + 2, ignoreUnknown);
        } else {
            if (wholeTokenShortLookup) {
                auto found = shortNames_.find(arg + 1);
                if (found != shortNames_.end()) {
                    const char* eq = std::strchr(arg + 1, '=');
                    take(found->second, eq ? eq + 1 : nullptr);
                    continue;
                }
            }
            if (arg[1] == '\0') {
                clusterStep(arg, ignoreUnknown);
            } else {
                for (const char* c = arg + 1; *c; ++c)
                    if (clusterStep(c, ignoreUnknown) == Walk::Stop) break;
            }
        }
    }

    for (const auto& entry : working_.entries)
        if (entry.row && (entry.row->dependMask & working_.accumulatedBits) != entry.row->dependMask)
            throw DependFailOptEx(rowName(entry.row));

    // The first entry, holding the arguments before any queued option, starts
    // out current.
    ParseResult::Entry& first = working_.entries.front();
    working_.currentRow = first.row;
    working_.currentValue = first.value;
    working_.currentArguments = std::move(first.arguments);
    working_.entries.pop_front();
    return working_;
}

void OptionParser::resolveLong(const char* name, bool ignoreUnknown) {
    std::vector<const std::pair<const char*, const OptionSpec*>*> matches;
    if (!nameEnd(name[0]))
        for (const auto& candidate : longNames_)
            if (prefixCompare(name, candidate.first) == 0) matches.push_back(&candidate);

    if (matches.empty()) {
        if (!ignoreUnknown) throw UnknownOptionEx(name);
        return;
    }
    if (matches.size() > 1) {
        std::string text =
            "Unable to resolve option '--" + nameText(name) + "'. Possible completions include: ";
        for (const auto* m : matches) text += std::string(m->first) + ", ";
        text.resize(text.size() - 2);
        throw AmbiguousOptionEx(text);
    }
    const char* eq = std::strchr(name, '=');
    take(matches.front()->second, eq ? eq + 1 : nullptr);
}

OptionParser::Walk OptionParser::clusterStep(const char* c, bool ignoreUnknown) {
    if (*c == '=') return Walk::Stop;
    const char name[2] = {*c, '\0'};
    auto found = shortNames_.find(name);
    if (found == shortNames_.end()) {
        if (!ignoreUnknown) throw UnknownOptionEx(name);
        return Walk::Continue;
    }
    const OptionSpec* row = found->second;
    if (row->bit & attachedValueMask_) {
        take(row, c + 1);
        return Walk::Stop;
    }
    if (c[1] == '=') {
        take(row, c + 2);
        return Walk::Stop;
    }
    take(row, nullptr);
    return Walk::Continue;
}

void OptionParser::take(const OptionSpec* row, const char* value) {
    if (row->mutexMask & working_.accumulatedBits) throw MutexOptionEx(rowName(row));
    working_.accumulatedBits |= row->bit;
    if (row->bit & flagOnlyMask_) return;
    working_.entries.push_back(ParseResult::Entry{row, value, {}});
}

}  // namespace sonx::velconv
