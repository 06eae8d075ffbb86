#include "companion/FrontEnd.h"

#include "checks/text/Findings.h"
#include "companion/OutputLog.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

// One option of the table: how it is written, and where its value goes.
struct Option {
    OptionBit bit;
    const wchar_t* name;
    // What the usage calls its value ("NAME"); nullptr for a flag.
    const char* value;
    // Given any number of times.
    bool repeats;
    // False when the value is not one it can have: said as an unknown option.
    bool (*take)(const wchar_t* value, Arguments* arguments);
};

// The value into its field; the table passes no empty value.
template <std::wstring Arguments::*field> bool Store(const wchar_t* value, Arguments* arguments) {
    arguments->*field = value;
    return true;
}

bool TakeView(const wchar_t* value, Arguments* arguments) {
    if (wcscmp(value, L"32") != 0 && wcscmp(value, L"64") != 0) {
        return false;
    }
    arguments->toolBits = value[0] == L'6' ? 64 : 32;
    return true;
}

bool TakeReplacement(const wchar_t* value, Arguments* arguments) {
    arguments->replacements.push_back(value);
    return true;
}

bool TakeStrict(const wchar_t*, Arguments* arguments) {
    arguments->strict = true;
    return true;
}

// One format besides the text: a JSON document.
bool TakeFormat(const wchar_t* value, Arguments* arguments) {
    arguments->json = wcscmp(value, L"json") == 0;
    return arguments->json;
}

const Option kOptions[] = {
    {kWorkSetOption, L"--work-set", "NAME", false, Store<&Arguments::workSet>},
    {kViewOption, L"--view", "32|64", false, TakeView},
    {kKindOption, L"--kind", "D|DX|E|T", false, Store<&Arguments::kind>},
    {kNameOption, L"--name", "NAME", false, Store<&Arguments::name>},
    {kToolOption, L"--tool", "PATH", false, Store<&Arguments::tool>},
    {kReplaceOption, L"--replace", "NEW|TARGET", true, TakeReplacement},
    {kStrictOption, L"--strict", nullptr, false, TakeStrict},
    {kLogOption, L"--log", "FILE", false, Store<&Arguments::log>},
    {kFormatOption, L"--format", "json", false, TakeFormat},
};

const Option& OptionOf(OptionBit bit) {
    for (const Option& option : kOptions) {
        if (option.bit == bit) {
            return option;
        }
    }
    return kOptions[0];
}

// Whether the argument gives the option, and its value when it has one; an
// empty value is no value.
bool Gives(const Option& option, const wchar_t* argument, const wchar_t** value) {
    size_t length = wcslen(option.name);
    if (wcsncmp(argument, option.name, length) != 0) {
        return false;
    }
    if (option.value == nullptr) {
        *value = L"";
        return argument[length] == L'\0';
    }
    *value = argument + length + 1;
    return argument[length] == L'=' && argument[length + 1] != L'\0';
}

// What the command line asks.
struct Parsed {
    const Verb* verb = nullptr;
    Arguments arguments;
    bool help = false;
    bool version = false;
    // The first mistake, as it is said; empty when there is none.
    std::string problem;
};

// The verb's name and a colon, in front of what is said of its command line.
std::string Before(const Verb& verb) {
    return verb.name == nullptr ? std::string() : ReportText(verb.name) + ": ";
}

// The options that go with any verb, before it too: false when the argument
// is none of them.
bool TakeAnyVerbOption(const wchar_t* argument, Parsed* parsed) {
    const wchar_t* value = nullptr;
    if (wcscmp(argument, L"--help") == 0) {
        parsed->help = true;
    } else if (wcscmp(argument, L"--version") == 0) {
        parsed->version = true;
    } else if (Gives(OptionOf(kLogOption), argument, &value)) {
        parsed->arguments.log = value;
    } else {
        return false;
    }
    return true;
}

void TakeVerbOption(const wchar_t* argument, Parsed* parsed) {
    const Verb& verb = *parsed->verb;
    for (size_t index = 0; index < verb.optionCount; ++index) {
        const Option& option = OptionOf(verb.options[index]);
        const wchar_t* value = nullptr;
        if (Gives(option, argument, &value) && option.take(value, &parsed->arguments)) {
            return;
        }
    }
    parsed->problem = Before(verb) + "unknown option: " + ReportText(argument);
}

const Verb* FindVerb(const Program& program, const wchar_t* name) {
    for (size_t index = 0; index < program.verbCount; ++index) {
        if (wcscmp(program.verbs[index].name, name) == 0) {
            return &program.verbs[index];
        }
    }
    return nullptr;
}

// A verb's argument that is neither an option nor an operand of its own:
// the verb itself, for a program of named verbs.
void TakeVerb(const Program& program, const wchar_t* argument, Parsed* parsed) {
    parsed->verb = FindVerb(program, argument);
    if (parsed->verb == nullptr) {
        parsed->problem = "unknown verb: " + ReportText(argument);
    }
}

// What the options say together, once all are read.
std::string ProblemOfWhole(const Verb& verb, const Arguments& arguments) {
    size_t count = arguments.operands.size();
    if (count < verb.fewest || count > verb.most) {
        return Before(verb) + (count < verb.fewest ? "too few operands" : "too many operands");
    }
    if ((verb.required & kWorkSetOption) != 0 && arguments.workSet.empty()) {
        return Before(verb) + "--work-set=NAME is needed";
    }
    // The name keys the product's record as much as its work set, and is
    // what the inspector judges by.
    std::string ansi;
    const char* unusable = nullptr;
    if (!arguments.workSet.empty() &&
        (unusable = WorkSetNameProblem(arguments.workSet, &ansi)) != nullptr) {
        return "work set \"" + ReportText(arguments.workSet) + "\": cannot be used: " + unusable;
    }
    const std::wstring& kind = arguments.kind;
    if (!kind.empty() && kind != L"D" && kind != L"DX" && kind != L"E" && kind != L"T") {
        return Before(verb) + "--kind is D, DX, E or T, not " + ReportText(kind);
    }
    return std::string();
}

// Reads every argument, past a mistake too, so that the log that says it is
// opened.
Parsed Parse(const Program& program, int argc, wchar_t** argv) {
    Parsed parsed;
    bool named = program.verbs[0].name != nullptr;
    parsed.verb = named ? nullptr : &program.verbs[0];
    bool optionsEnd = false;
    for (int index = 1; index < argc; ++index) {
        const wchar_t* argument = argv[index];
        bool option = !optionsEnd && argument[0] == L'-' && argument[1] == L'-';
        if (option && argument[2] == L'\0') {
            optionsEnd = true;
        } else if (option && TakeAnyVerbOption(argument, &parsed)) {
            continue;
        } else if (!parsed.problem.empty()) {
            continue;
        } else if (parsed.verb == nullptr) {
            TakeVerb(program, argument, &parsed);
        } else if (option) {
            TakeVerbOption(argument, &parsed);
        } else {
            parsed.arguments.operands.push_back(argument);
        }
    }
    if (parsed.problem.empty() && parsed.verb == nullptr) {
        parsed.problem = "no verb given";
    }
    if (parsed.problem.empty()) {
        parsed.problem = ProblemOfWhole(*parsed.verb, parsed.arguments);
    }
    return parsed;
}

// The usage's column limit: a console's width.
const size_t kUsageWidth = 80;

// The verb's options and operands after the lead ("  add", "usage:
// pendreg-inspect"), wrapped under the first of them.
std::string Synopsis(const std::string& lead, const Verb& verb) {
    std::vector<std::string> parts;
    for (size_t index = 0; index < verb.optionCount; ++index) {
        const Option& option = OptionOf(verb.options[index]);
        std::string part = ReportText(option.name);
        if (option.value != nullptr) {
            part += std::string("=") + option.value;
        }
        if ((verb.required & option.bit) == 0) {
            part = "[" + part + "]";
        }
        parts.push_back(part + (option.repeats ? "..." : ""));
    }
    if (*verb.operands != '\0') {
        parts.push_back(verb.operands);
    }
    std::string text = lead;
    size_t lineStart = 0;
    for (const std::string& part : parts) {
        if (text.size() - lineStart + 1 + part.size() > kUsageWidth) {
            text += "\n" + std::string(lead.size(), ' ');
            lineStart = text.size() - lead.size();
        }
        text += " " + part;
    }
    return text + "\n";
}

} // namespace

bool ToAnsi(const std::wstring& text, std::string* ansi) {
    if (!AnsiHolds(text)) {
        return false;
    }
    int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    ansi->assign(static_cast<size_t>(length), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &(*ansi)[0],
                            length, nullptr, nullptr);
    }
    return true;
}

const char* WorkSetNameProblem(const std::wstring& name, std::string* ansi) {
    // The registry's limit for a key's name.
    const size_t kKeyNameLimit = 255;
    if (name.empty()) {
        return "a work set needs a name";
    }
    if (name.find(L'\\') != std::wstring::npos) {
        return "a backslash would make it a key inside another";
    }
    if (name.size() > kKeyNameLimit) {
        return "longer than the registry's 255 characters";
    }
    if (!ToAnsi(name, ansi)) {
        return "the ANSI code page cannot hold it, and the pass opens work sets by their ANSI "
               "names (ASCII is safest)";
    }
    return nullptr;
}

std::string UsageText(const Program& program) {
    const Verb& first = program.verbs[0];
    std::string usage = std::string("usage: ") + program.name;
    if (first.name == nullptr) {
        std::string indent(strlen("usage:"), ' ');
        usage = Synopsis(usage, first) + indent + " " + program.name + " --help\n" + indent + " " +
                program.name + " --version\n";
    } else {
        usage += " VERB [OPTION...] [OPERAND...]\n\n";
        for (size_t index = 0; index < program.verbCount; ++index) {
            const Verb& verb = program.verbs[index];
            usage += Synopsis("  " + ReportText(verb.name), verb) + verb.help;
        }
    }
    return usage + program.about;
}

std::string VersionText(const Program& program) {
    return std::string(program.name) + " " PENDREG_VERSION;
}

int RunCompanion(const Program& program, int argc, wchar_t** argv,
                 int (*start)(const Verb& verb, const Arguments& arguments)) {
    Parsed parsed = Parse(program, argc, argv);
    std::string logError;
    // The verb and its exit code do not depend on the log: an installer's
    // step that is done must not be taken for one refused.
    std::vector<std::wstring> reserved;
    if (program.reservedFromLog != nullptr) {
        reserved = program.reservedFromLog();
    }
    if (!parsed.arguments.log.empty() &&
        !OpenOutputLog(parsed.arguments.log, reserved, &logError)) {
        EmitFormat(stderr, "%s: log %s: %s; no log is written\n", program.name,
                   ReportText(parsed.arguments.log).c_str(), logError.c_str());
    }
    int status = kExitDone;
    if (parsed.help) {
        Emit(stdout, UsageText(program).c_str());
    } else if (parsed.version) {
        EmitFormat(stdout, "%s\n", VersionText(program).c_str());
    } else if (!parsed.problem.empty()) {
        EmitFormat(stderr, "%s: %s\n%s", program.name, parsed.problem.c_str(),
                   UsageText(program).c_str());
        status = kExitRefused;
    } else {
        status = start(*parsed.verb, parsed.arguments);
    }
    if (program.finish != nullptr) {
        program.finish(status);
    }
    fflush(stdout);
    CloseOutputLog(status);
    return status;
}
