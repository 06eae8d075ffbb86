#pragma once
// The companions' one front end: Unicode arguments, one table of options that
// both parse and print their usage from, --help and --version, the log, and
// the exit codes. Names and paths stay Unicode up to the edge where the
// pass's ANSI contract begins; ToAnsi is that edge.
#include "companion/ExitCodes.h"

#include <stddef.h>

#include <string>
#include <vector>

// What a command line gave, option by option.
struct Arguments {
    std::wstring workSet; // --work-set; empty: none given
    int toolBits = 32;    // --view: the tool's bitness, and its registry view
    std::wstring kind;    // --kind; empty: picked from each file
    std::wstring name;    // --name
    std::wstring tool;    // --tool; empty: the default
    bool strict = false;  // --strict
    std::wstring log;     // --log; empty: none
    bool json = false;    // --format=json
    std::vector<std::wstring> operands;
    // Each --replace=NEW|TARGET, as given.
    std::vector<std::wstring> replacements;
};

// The options of the table, as bits: a verb lists those it takes.
enum OptionBit : unsigned {
    kWorkSetOption = 1u << 0,
    kViewOption = 1u << 1,
    kKindOption = 1u << 2,
    kNameOption = 1u << 3,
    kToolOption = 1u << 4,
    kReplaceOption = 1u << 5,
    kStrictOption = 1u << 6,
    kLogOption = 1u << 7,
    kFormatOption = 1u << 8,
};

// One verb: what it takes, and what its usage says of it. The inspector is a
// program of one verb without a name.
struct Verb {
    const wchar_t* name; // nullptr: the program's only verb
    // The options it takes, in the order its usage names them, and those it
    // cannot do without.
    const OptionBit* options;
    size_t optionCount;
    unsigned required;
    // Its operands as the usage names them ("" for none), and how many.
    const char* operands;
    size_t fewest;
    size_t most;
    // What the usage says under its synopsis; may be empty.
    const char* help;
    int (*run)(const Arguments& arguments);
};

struct Program {
    const char* name; // "pendreg-record": the usage, --version and every complaint
    const Verb* verbs;
    size_t verbCount;
    // The usage's text after the verbs.
    const char* about;
    // Files that its log must never be; nullptr: none but the program.
    std::vector<std::wstring> (*reservedFromLog)();
    // Runs last, while the log is still open (the JSON document goes there
    // too); nullptr: nothing.
    void (*finish)(int exitCode) = nullptr;
};

// The text in the ANSI code page; false when the code page cannot hold every
// character of it exactly. The pass reads every name and path through the
// ANSI functions, so nothing is taken that would come back as another one.
bool ToAnsi(const std::wstring& text, std::string* ansi);

// Why a work set's name cannot be used, in the words both companions refuse
// it with; nullptr when it can, with its ANSI form in ansi.
const char* WorkSetNameProblem(const std::wstring& name, std::string* ansi);

// The usage, made from the verbs' options.
std::string UsageText(const Program& program);

// "pendreg-record 0.1.0": the release's version.
std::string VersionText(const Program& program);

// Runs the program: parses the command line, opens the log (--log=FILE),
// answers --help and --version, refuses a mistake in the command line with
// one line and the usage (kExitRefused), and otherwise has start run the
// verb. --log, --help and --version go with any verb, before it too. Returns
// the exit code, the log closed with it.
int RunCompanion(const Program& program, int argc, wchar_t** argv,
                 int (*start)(const Verb& verb, const Arguments& arguments));
