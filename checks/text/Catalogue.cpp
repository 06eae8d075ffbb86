#include "checks/text/Catalogue.h"

#include "checks/text/Text.h"

namespace {

struct Definition {
    const char* code;
    Outcome outcome;
    CountedAs counted;
    const char* words;
};

// Constant data only: nothing is built when a companion starts.
const Definition kDefinitions[] = {
#define PENDREG_CODE_DEFINITION(name, code, outcome, counted, words)                               \
    {code, Outcome::outcome, CountedAs::counted, words},
    PENDREG_FINDING_CODES(PENDREG_CODE_DEFINITION)
#undef PENDREG_CODE_DEFINITION
};

const Definition& DefinitionOf(FindingCode code) {
    return kDefinitions[static_cast<unsigned>(code)];
}

void AppendDecimal(std::string& text, uint64_t number) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0) {
        text += digits[--count];
    }
}

void AppendHex(std::string& text, uint64_t number) {
    static const char kDigits[] = "0123456789ABCDEF";
    text += "0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += kDigits[(number >> shift) & 0xF];
    }
}

} // namespace

const unsigned kFindingCodeCount = sizeof(kDefinitions) / sizeof(kDefinitions[0]);

// The builders stay calls: inlined into each of the checks' hundred-odd
// findings, they made each 32-bit companion about 1.5 KB larger.

__attribute__((noinline)) FindingArgument Path(const std::string& shown) {
    return {ArgumentKind::Path, shown, 0};
}

__attribute__((noinline)) FindingArgument Path(const std::wstring& path) {
    return Path(ReportText(path));
}

__attribute__((noinline)) FindingArgument Words(const std::string& words) {
    return {ArgumentKind::Words, words, 0};
}

__attribute__((noinline)) FindingArgument Number(uint64_t number) {
    return {ArgumentKind::Number, std::string(), number};
}

__attribute__((noinline)) FindingArgument About(const std::string& shown) {
    return {ArgumentKind::About, shown, 0};
}

__attribute__((noinline)) FindingArgument About(const std::wstring& path) {
    return About(ReportText(path));
}

__attribute__((noinline)) Finding MakeFinding(FindingCode code,
                                              std::initializer_list<FindingArgument> arguments) {
    return {code, DefinitionOf(code).outcome, arguments};
}

const char* CodeName(FindingCode code) {
    return DefinitionOf(code).code;
}

Outcome OutcomeOf(FindingCode code) {
    return DefinitionOf(code).outcome;
}

CountedAs CountedAsOf(FindingCode code) {
    return DefinitionOf(code).counted;
}

const char* OutcomeName(Outcome outcome) {
    static const char* const kNames[] = {"ok", "fail", "warn", "refuse"};
    return kNames[static_cast<int>(outcome)];
}

bool Fails(Outcome outcome) {
    return outcome == Outcome::Fail || outcome == Outcome::Refuse;
}

std::string FindingText(const Finding& finding) {
    std::string text;
    auto next = finding.arguments.begin();
    auto end = finding.arguments.end();
    for (const char* at = DefinitionOf(finding.code).words; *at != '\0'; ++at) {
        if (*at != '%' || (at[1] != 's' && at[1] != 'u' && at[1] != 'x')) {
            text += *at;
            continue;
        }
        char conversion = *++at;
        while (next != end && next->kind == ArgumentKind::About) {
            ++next;
        }
        if (next == end) {
            // A template with more blanks than arguments shows where.
            text += "<missing>";
            continue;
        }
        if (conversion == 's') {
            text += next->text;
        } else if (conversion == 'u') {
            AppendDecimal(text, next->number);
        } else {
            AppendHex(text, next->number);
        }
        ++next;
    }
    return text;
}
