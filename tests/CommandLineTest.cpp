// The command-line grammar: what the scan finds, and the exit code the tool
// gives for the very same line.
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "main/CommandLine.h"

#include <gtest/gtest.h>

namespace {

struct GrammarCase {
    const char* name;
    const char* commandLine;
    bool hasSwitch;
    char letter;
    const char* path; // for D and T
};

const GrammarCase kGrammarCases[] = {
    {"OnlyUnquotedName", "pendreg.exe", false, 0, nullptr},
    {"OnlyQuotedName", "\"C:\\t\\pendreg.exe\"", false, 0, nullptr},
    {"EmptyLine", "", false, 0, nullptr},
    {"UnclosedQuoteRunsToEnd", "\"C:\\t\\pendreg.exe /DC:\\x.dll", false, 0, nullptr},
    {"SwitchRightAfterClosingQuote", "\"C:\\t\\pendreg.exe\"/DC:\\x.dll", true, 'D', "C:\\x.dll"},
    {"SeveralSpacesSkipped", "pendreg.exe     /TC:\\x.tlb", true, 'T', "C:\\x.tlb"},
    {"TabAfterQuotedNameIsNoSeparator", "\"C:\\t\\p.exe\"\t/DC:\\x.dll", false, 0, nullptr},
    {"TabAfterUnquotedNameIsPartOfIt", "pendreg.exe\t/DC:\\x.dll", false, 0, nullptr},
    {"NameWithTabRunsToNextSpace", "pendreg.exe\t/X /DC:\\y.dll", true, 'D', "C:\\y.dll"},
    {"LineStartingWithSpaceHasEmptyName", " /DC:\\x.dll", true, 'D', "C:\\x.dll"},
    {"LowerCaseS", "pendreg.exe /s", true, 's', nullptr},
    {"LowerCaseD", "pendreg.exe /dC:\\x.dll", true, 'd', nullptr},
    {"LowerCaseT", "pendreg.exe /tC:\\x.tlb", true, 't', nullptr},
    {"SlashAlone", "pendreg.exe /", true, 0, nullptr},
    {"OtherLetter", "pendreg.exe /Q", true, 'Q', nullptr},
    {"PassWithTrailingText", "pendreg.exe /Sanything at all", true, 'S', nullptr},
    {"SwitchGluedToUnquotedName", "pendreg.exe/S", false, 0, nullptr},
    {"GluedNameThenLaterSwitch", "pendreg.exe/S /Q", true, 'Q', nullptr},
    {"FirstArgumentWithoutSlash", "pendreg.exe D /DC:\\x.dll", false, 0, nullptr},
    {"PathKeepsLeadingSpace", "pendreg.exe /D C:\\x.dll", true, 'D', " C:\\x.dll"},
    {"PathKeepsInnerAndTrailingSpaces", "pendreg.exe /DC:\\Program Files\\a.dll  ", true, 'D',
     "C:\\Program Files\\a.dll  "},
    {"PathKeepsQuotes", "pendreg.exe /T\"C:\\x.tlb\"", true, 'T', "\"C:\\x.tlb\""},
    {"EmptyPath", "\"C:\\p.exe\" /D", true, 'D', ""},
};

class Grammar : public testing::TestWithParam<GrammarCase> {};

TEST_P(Grammar, ScanFindsTheFirstArgument) {
    const GrammarCase& row = GetParam();
    ToolCommand command = ScanCommandLine(row.commandLine);
    EXPECT_EQ(row.hasSwitch, command.hasSwitch);
    if (row.hasSwitch) {
        EXPECT_EQ(row.letter, command.letter);
    }
    if (row.path != nullptr) {
        EXPECT_STREQ(row.path, command.path);
    }
}

// The exit code says only whether the first argument began with "/". The
// tool gets the line exactly as written, whatever its first token says. It
// runs from a scratch copy: a "/S" line schedules the tool's own deletion.
TEST_P(Grammar, ExitCodeSaysWhetherTheFirstArgumentIsASwitch) {
    const GrammarCase& row = GetParam();
    harness::SavedRenames renames;
    harness::ScratchFolder scratch;
    std::string tool = scratch.Copy(harness::ToolPath(), "pendreg.exe");
    harness::RunResult result = harness::Run(row.commandLine, tool.c_str(), scratch.path().c_str());
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(row.hasSwitch ? 0u : 1u, result.exitCode);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, Grammar, testing::ValuesIn(kGrammarCases),
                         [](const testing::TestParamInfo<GrammarCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
